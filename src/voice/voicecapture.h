// Push-to-talk capture and the voice tick.
//
// While push-to-talk is held, a capture back end fills a one-second ring of
// 16-bit mono 8000 Hz samples; every 100 ms (the first time 250 ms after the
// press) the main loop runs voiceTick, which takes the new samples, cleans
// them (the capture processing, when the program set one: noise suppression,
// gain and, with voice activation, the gate that lets only speech through),
// evens out their loudness, encodes whole LPC-10 frames and hands them to the
// voice sender. Releasing push-to-talk runs one last tick and stops capture.
// With voice activation capture simply stays on.
//
// This module knows no connection: the application sets gVoiceSender. Nor
// does it read the clock: the main loop hands each accepted step's whole
// milliseconds to voiceTickDue. Everything runs on the main thread.
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
};

// ---- capture back ends -------------------------------------------------------------

// A source of captured samples. The back end owns the ring; readPosition
// brings it up to date and says up to where its data is complete.
class CaptureBackend {
public:
    virtual ~CaptureBackend();

    // Opens the capture device; tried once per process. When it fails,
    // error() says why.
    virtual bool openDevice() = 0;
    // Starts capturing into the ring at offset 0. False when it cannot.
    virtual bool startCapture() = 0;
    // Brings the ring up to date; returns the byte offset (0 ... 15999, even)
    // up to which it holds complete data.
    virtual uint32_t readPosition() = 0;
    // Stops capturing; the device stays open.
    virtual void stopCapture() = 0;

    const uint8_t* ring() const { return mRing; }
    // Why the device could not be opened or started, for the user; empty
    // when nothing failed.
    const std::string& error() const { return mError; }

protected:
    void setError(std::string why) { mError = std::move(why); }
    // Appends samples to the ring, wrapping; what is older than one second
    // is overwritten.
    void writeRing(const int16_t* samples, uint32_t count);
    void resetRing() { mWriteOffset = 0; }
    uint32_t writeOffset() const { return mWriteOffset; }

private:
    uint8_t mRing[CaptureRingBytes] = {};
    uint32_t mWriteOffset = 0;
    std::string mError;
};

// The default microphone through OpenAL capture at 8000 Hz mono 16-bit; a
// device that takes only another rate is captured at that rate and resampled.
std::unique_ptr<CaptureBackend> createOpenALCaptureBackend();

// Plays a WAV file (16-bit PCM, mono or stereo, any rate: resampled to the
// capture rate, channels mixed) as if it were the microphone, in real time
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
// the microphone when it is empty.
std::unique_ptr<CaptureBackend> createCaptureBackend(const std::string& captureFile);

// The back end in use (the program sets it at start-up from its options;
// tests and benchmarks set their own). Without one set, the first press
// takes the microphone.
void setCaptureBackend(std::unique_ptr<CaptureBackend> backend);

// ---- push-to-talk and the tick ----------------------------------------------------------------

// The state of the process's one capture, on the main thread. This module
// writes all of it (tests set some directly); who reads what is said on each.

// Push-to-talk is held and capture runs. Read by the session port (the talk
// level) and the display-less program's scripted speech.
extern bool gVoiceCaptureActive;
// Decaying loudness level of the gain normalisation; never reset. Read by the
// session port for the talk level shown.
extern int32_t gVoiceLevel;
// Captured samples not yet encoded; null while push-to-talk is not held.
extern RefPtr<ByteBuffer> gCapturedSamples;
// The encoded buffer of the latest tick (tests and the voice benchmark).
extern RefPtr<ByteBuffer> gLastVoicePacket;
// Byte offset in the ring up to which samples have been taken.
extern uint32_t gCaptureReadOffset;

// Receives each tick's encoded frames. Written once by the application at
// start-up (it sends them to the server), by tests and the benchmark; read by
// voiceTick. Empty: the frames are dropped.
extern std::function<void(const RefPtr<ByteBuffer>& frames)> gVoiceSender;

// Milliseconds until the next tick: 250 after a press, 100 after each tick,
// 0 before the first press.
uint32_t voiceCountdownMs();

// The main loop's accepted timing step of `elapsedMs` whole milliseconds.
// While capture is active and the countdown is not 0, the countdown shrinks
// by it; reaching 0 restarts it at 100 and returns true: voiceTick is due
// (any excess is dropped, not carried). The countdown's only writers are
// this and the press.
bool voiceTickDue(uint32_t elapsedMs);

// The process's one encoder; its analysis state lasts for the whole run.
VoiceEncoder& voiceEncoder();

// What the local user's push-to-talk has come to, for display: capture is
// off (never pressed, or released), running, or the last press found no
// capture device or could not start it ("No microphone").
enum class CaptureStatus { Off, Running, Failed };
CaptureStatus captureStatus();
// Why the last press found no capture (the back end's error()), for the
// panel and the console.
std::string captureFailure();

// What captured sound goes through before the codec (noise suppression,
// gain, voice activation): set by the program at start-up. Without it the
// codec gets the samples as captured.
void setCaptureProcessing(std::unique_ptr<CaptureProcessing> processing);
CaptureProcessing* captureProcessing();
// Capture runs and what it hears goes out: push-to-talk held, or with voice
// activation, speech heard (until the hangover ends).
bool voiceTransmitting();

// Push-to-talk pressed: starts capture; does nothing when it is already
// active or no capture is possible.
void startVoiceCapture();
// Push-to-talk released: one last tick, then capture stops.
void stopVoiceCapture();
// At shutdown: stops capture and closes the capture device (before the
// audio library goes away with the process).
void closeVoiceCapture();
// Takes the new samples, levels them, encodes whole frames and sends them.
void voiceTick();
// Appends to `buffer` what the ring received since the last read.
void readCapturedSamples(const RefPtr<ByteBuffer>& buffer);

// Levels samples[0 .. count) in place, updating gVoiceLevel.
void normaliseVoiceGain(int16_t* samples, uint32_t count);

} // namespace seafold
