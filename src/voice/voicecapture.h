// Push-to-talk capture and the voice tick.
//
// While push-to-talk is held, a capture back end fills a one-second ring of
// 16-bit mono samples; the main loop runs voiceTick, which takes the new
// samples, cleans them (the capture processing, when the program set one:
// noise suppression, gain and, with voice activation, the gate that lets only
// speech through), evens out their loudness, encodes whole frames and hands
// them to the voice sender. Releasing push-to-talk runs one last tick and
// stops capture. With voice activation capture simply stays on.
//
// How a press runs is its VoiceMode, asked for at the press: with LPC-10
// (the default, and what every peer understands) capture is at 8000 Hz and
// the tick comes every 100 ms, the first time 250 ms after the press; with a
// codec of fixed short frames the capture runs at the codec's rate and the
// tick at its frame cadence, so no frame waits for a batch.
//
// The program makes one VoiceCapture and lends it to what drives it (the
// session host, the main loop's voice step). It knows no connection: the
// application sets its sender. Nor does it read the clock: the main loop
// hands each accepted step's whole milliseconds to tickDue. Everything runs
// on the main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/bytebuffer.h"
#include "base/object.h"
#include "voice/voicecodec.h"
#include "voice/voiceprocessing.h"

namespace seafold {

enum : uint32_t {
    CaptureRingBytes = 16000, // one second of 16-bit mono 8000 Hz
    CaptureSampleRate = 8000,
    VoiceFirstTickMs = 250,  // from the press to the first tick
    VoiceTickPeriodMs = 100, // between ticks once capture runs
    // The fastest capture: one second of it is the most a ring holds.
    CaptureMaxRate = 16000,
    CaptureMaxRingBytes = CaptureMaxRate * 2,
};

// The codec a press encodes with, as the wire names it.
enum class VoiceCodecId : uint32_t {
    Lpc10 = 0,
    Opus = 1,
};

// How one press of push-to-talk runs.
struct VoiceMode {
    VoiceCodecId codec = VoiceCodecId::Lpc10;
    // The encoder; null: the capture's own LPC-10 encoder.
    RefPtr<VoiceEncoder> encoder;
    uint32_t sampleRate = CaptureSampleRate;
    uint32_t firstTickMs = VoiceFirstTickMs;
    uint32_t tickPeriodMs = VoiceTickPeriodMs;
    // A codec of fixed short frames: the tick runs as soon as a whole frame
    // is captured (frameDue, asked every main-loop pass), not when a
    // countdown that started at the press runs out. A countdown keeps the
    // press's phase, which is not the frames': a step that began before the
    // press makes every tick come a little before its frame is whole, and
    // each frame then waits a whole period. LPC-10 keeps the specified
    // countdown.
    bool keepCadence = false;
    // The peak the levelling lifts speech to. LPC-10's full scale is its
    // own (its frames carry no waveform to overshoot); a waveform codec
    // rebuilds a sharp start of speech with some overshoot, which at full
    // scale is clipped into a click: Opus gets OpusLevelPeak.
    float levelPeak = 32767.0f;
};

// ---- capture back ends -------------------------------------------------------------

// A source of captured samples. The back end owns the ring; readPosition
// brings it up to date and says up to where its data is complete.
class CaptureBackend {
public:
    virtual ~CaptureBackend();

    // Opens the capture device at rate(); tried once per process and rate.
    // When it fails, error() says why.
    virtual bool openDevice() = 0;
    // Starts capturing into the ring at offset 0. False when it cannot.
    virtual bool startCapture() = 0;
    // Brings the ring up to date; returns the byte offset (0 ...
    // ringBytes() - 1, even) up to which it holds complete data.
    virtual uint32_t readPosition() = 0;
    // Stops capturing; the device stays open.
    virtual void stopCapture() = 0;
    // The device is to capture at `rate` (at most CaptureMaxRate) from the
    // next openDevice on; the ring holds one second of it. A back end with
    // an open device closes it here when the rate changes.
    virtual void setRate(uint32_t rate);

    uint32_t rate() const { return mRate; }
    uint32_t ringBytes() const { return mRate * 2; }
    const uint8_t* ring() const { return mRing; }
    // Why the device could not be opened or started, for the user; empty
    // when nothing failed.
    const std::string& error() const { return mError; }
    // Lines for the user since the last call: a named device that is not
    // there or went away, and the default that captures instead.
    std::vector<std::string> takeNotices() { return std::move(mNotices); }

protected:
    void addNotice(std::string line) { mNotices.push_back(std::move(line)); }
    void setError(std::string why) { mError = std::move(why); }
    // Appends samples to the ring, wrapping; what is older than one second
    // is overwritten.
    void writeRing(const int16_t* samples, uint32_t count);
    void resetRing() { mWriteOffset = 0; }
    uint32_t writeOffset() const { return mWriteOffset; }

private:
    uint8_t mRing[CaptureMaxRingBytes] = {};
    uint32_t mWriteOffset = 0;
    uint32_t mRate = CaptureSampleRate;
    std::string mError;
    std::vector<std::string> mNotices;
};

// A microphone through OpenAL capture, mono 16-bit at the rate set; a
// device that takes only another rate is captured at that rate and
// resampled. `device` names it (matchDevice); empty, or not there, is the
// default. One that goes away while capturing gives way to the default at
// the next read.
std::unique_ptr<CaptureBackend> createOpenALCaptureBackend(const std::string& device = std::string());

// Plays a WAV file (16-bit PCM, mono or stereo, any rate: resampled to the
// capture's rate, channels mixed) as if it were the microphone, in real time
// from each start, then silence. `clockMs` gives milliseconds (default: the
// real-time clock). Opening fails when the file cannot be read or has
// another format; error() then says why.
std::unique_ptr<CaptureBackend> createFileCaptureBackend(const std::string& path,
                                                         std::function<double()> clockMs = nullptr);

// Checks that `path` can serve as capture file; false with `error` set.
bool checkCaptureFile(const std::string& path, std::string* error);
// How long the capture file at `path` plays, in milliseconds (0 when it
// cannot serve).
uint32_t captureFileMs(const std::string& path);

// The back end the program's options ask for: the file at `captureFile`, or
// the microphone `device` (empty: the default) when it is empty.
std::unique_ptr<CaptureBackend> createCaptureBackend(const std::string& captureFile,
                                                     const std::string& device = std::string());

// What the local user's push-to-talk has come to, for display: capture is
// off (never pressed, or released), running, or the last press found no
// capture device or could not start it ("No microphone").
enum class CaptureStatus { Off, Running, Failed };

// ---- push-to-talk and the tick ----------------------------------------------------------------

// The process's one capture, on the main thread: its back end, the press
// under way, the loudness level and the tick's countdown.
class VoiceCapture {
public:
    VoiceCapture();
    // Stops capture and closes the device.
    ~VoiceCapture();
    VoiceCapture(const VoiceCapture&) = delete;
    VoiceCapture& operator=(const VoiceCapture&) = delete;

    // The mode of a press: asked at every press that starts capture (with
    // voice activation, which never releases, also between utterances). Set
    // once by the application (it picks Opus when the server speaks it), by
    // tests and the benchmark; empty gives the default VoiceMode.
    void setModeChooser(std::function<VoiceMode()> chooser) { mModeChooser = std::move(chooser); }
    // Receives each tick's encoded frames. Set once by the application (it
    // sends them to the server), by tests and the benchmark. Empty: the
    // frames are dropped.
    using Sender = std::function<void(const RefPtr<ByteBuffer>& frames)>;
    void setSender(Sender sender) { mSender = std::move(sender); }
    // Receives the back end's lines for the user (a device gone, the
    // default in its place) as they come.
    void setNotice(std::function<void(const std::string&)> notice) { mNotice = std::move(notice); }

    // The back end in use (the program sets it at start-up from its
    // options; tests and benchmarks set their own). Without one set, the
    // first press takes the microphone.
    void setBackend(std::unique_ptr<CaptureBackend> backend);
    // What captured sound goes through before the codec (noise suppression,
    // gain, voice activation): set by the program at start-up. Without it
    // the codec gets the samples as captured.
    void setProcessing(std::unique_ptr<CaptureProcessing> processing);
    CaptureProcessing* processing() const { return mProcessing.get(); }

    // The microphone test: while a tap is set, capture runs whether or not
    // push-to-talk is held, each tick hands the processed samples (at the
    // capture's rate) to the tap, and nothing is encoded or sent. Capture
    // the test started ends with it, without a last tick; capture that ran
    // before (voice activation) goes on from what comes next. Empty ends
    // the test.
    using Tap = std::function<void(const int16_t* samples, size_t count, uint32_t rate)>;
    void setTest(Tap tap);
    bool testing() const { return bool(mTap); }

    // Push-to-talk pressed: starts capture; does nothing when it is already
    // active or no capture is possible.
    void start();
    // Push-to-talk released: one last tick, then capture stops.
    void stop();
    // At shutdown: stops capture and closes the capture device (before the
    // audio library goes away with the process).
    void close();
    // Takes the new samples, levels them, encodes whole frames and sends them.
    void tick();
    // With a codec of fixed frames: a whole frame waits to be encoded, so
    // the tick is due now. False otherwise.
    bool frameDue();
    // With a codec of fixed frames: about how many ms until the next frame
    // is whole (0 when one is), at most `longest`; `longest` otherwise. The
    // main loop's pause ends then.
    uint32_t msUntilFrame(uint32_t longest);
    // The main loop's accepted timing step of `elapsedMs` whole
    // milliseconds. While capture is active and the countdown is not 0, the
    // countdown shrinks by it; reaching 0 restarts it at the mode's period
    // and returns true: tick is due (any excess is dropped, not carried,
    // unless the mode keeps its cadence). The countdown's only writers are
    // this and the press.
    bool tickDue(uint32_t elapsedMs);
    // Appends to `buffer` what the ring received since the last read.
    void readCapturedSamples(const RefPtr<ByteBuffer>& buffer);

    // Push-to-talk is held and capture runs.
    bool active() const { return mActive; }
    // Capture runs and what it hears goes out: push-to-talk held, or with
    // voice activation, speech heard (until the hangover ends).
    bool transmitting() const;
    // Decaying loudness level of the gain normalisation; never reset.
    int32_t level() const { return mLevel; }
    void setLevel(int32_t level) { mLevel = level; }
    // Captured samples not yet encoded; null while push-to-talk is not held.
    const RefPtr<ByteBuffer>& capturedSamples() const { return mCapturedSamples; }
    // The encoded buffer of the latest tick (tests and the voice benchmark).
    const RefPtr<ByteBuffer>& lastPacket() const { return mLastPacket; }
    // Byte offset in the ring up to which samples have been taken.
    uint32_t readOffset() const { return mReadOffset; }
    // Milliseconds until the next tick: the mode's first wait after a press,
    // its period after each tick, 0 before the first press.
    uint32_t countdownMs() const { return mCountdownMs; }
    // The mode of the press under way, or of the last one.
    const VoiceMode& mode() const { return mMode; }
    // True during the tick that stop runs, and during the tick in which
    // voice activation closes: its frames end the speaker's talk spurt (an
    // utterance's end, not a gap in it).
    bool tickEndsSpurt() const { return mFinalTick || mGateClosed; }
    CaptureStatus status() const;
    // Why the last press found no capture (the back end's error()), for the
    // panel and the console.
    std::string failure() const;
    // The capture's LPC-10 encoder; its analysis state lasts for the whole run.
    VoiceEncoder& lpcEncoder() { return *mLpcEncoder; }

    // Levels samples[0 .. count) in place, updating level().
    void normaliseGain(int16_t* samples, uint32_t count);

private:
    bool openCapture();
    // What the chooser gives now, with the capture's own LPC-10 encoder when
    // it names none.
    VoiceMode chosenMode();
    void adoptMode(const VoiceMode& mode);
    void followModeWhileQuiet();
    // Samples waiting to be encoded: those taken and not yet encoded, and
    // those the back end holds that were not taken yet.
    uint32_t waitingSamples();
    void sendEndOfSpurt();
    void processCapturedSamples(ByteBuffer& buffer, uint32_t from);

    void passNotices();
    // The backend's write position, its notices passed on.
    uint32_t devicePosition();

    std::function<VoiceMode()> mModeChooser;
    Sender mSender;
    std::function<void(const std::string&)> mNotice;
    bool mActive = false;
    int32_t mLevel = 0;
    RefPtr<ByteBuffer> mCapturedSamples;
    RefPtr<ByteBuffer> mLastPacket;
    uint32_t mReadOffset = 0;
    // Written by the press and tickDue only.
    uint32_t mCountdownMs = 0;
    // Set by setBackend, else made at the first press.
    std::unique_ptr<CaptureBackend> mBackend;
    // The device's one opening: cleared with a new back end.
    bool mCreateTried = false;
    bool mDeviceOpen = false;
    // The back end captures: written by the press and release.
    bool mStarted = false;
    // The last press could not start capture; cleared by one that could.
    bool mFailed = false;
    // The press's mode and the level's decay per tick that goes with its period.
    VoiceMode mMode;
    double mLevelDecay = 0;
    // The final tick of a press is under way.
    bool mFinalTick = false;
    // Voice activation closed during the tick under way.
    bool mGateClosed = false;
    std::unique_ptr<CaptureProcessing> mProcessing;
    RefPtr<VoiceEncoder> mLpcEncoder;
    Tap mTap;
    bool mTestStarted = false; // the test opened capture, and closes it
};

} // namespace seafold
