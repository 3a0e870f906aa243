// Sound: the OpenAL device, the catalogue of 36 sound-effect profiles loaded
// from WAV files, and a pool of 16 sources handed out to sound objects by
// priority once per main-loop pass. Voice playback streams decoded samples
// through the same objects.
//
// The program makes one SoundPool and lends it to whatever plays: every
// sound object belongs to the pool it was made with. Everything runs on the
// main thread. Every operation except SoundPool::init does nothing while
// sound is off (init failed or close ran), so the program runs without sound
// when no device can be opened.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/bytebuffer.h"
#include "base/object.h"
#include "base/wavfile.h"

namespace seafold {

enum : uint32_t {
    SoundProfileCount = 36,
    MaxSoundSources = 16,
    VoiceSampleRate = 8000,
    // Streaming buffers one voice stream may have queued on its source at a
    // time; more samples wait in the stream and go out joined into longer
    // buffers, so a burst of short messages cannot take the whole pool.
    VoiceBuffersPerStream = 8,
    // Enough for every source to stream a voice at once.
    VoiceStreamBufferCount = MaxSoundSources * VoiceBuffersPerStream,
};

// ---- voice playback --------------------------------------------------------------------
// A voice stream plays messages that come about every 100 ms, each about as
// long as the time between them. What it still has queued when a message
// comes is its backlog: all of it is delay added between mouth and ear.

// The backlog a stream keeps: room for a message coming this much late
// (the arrival jitter of a network, a busy main loop or a slow frame)
// without running dry. Above it, the stream drains: quiet stretches waiting
// to be played are shortened, never speech.
constexpr uint32_t VoiceTargetBacklogMs = 60;
// The backlog is the least audio queued at any arrival over this long, so
// that messages held back now and then (a link paced at 96 ms carrying
// messages made every 100 ms holds one back by up to 96 ms every second or
// two) are not mistaken for a backlog.
constexpr uint32_t VoiceDrainWindowMs = 5000;
// A stream holds at most this much queued audio; beyond, the oldest that
// has not reached the device goes.
constexpr uint32_t VoiceMaxQueuedMs = 2000;
// The most audio one stream hands to its source ahead of the playing
// position. The rest waits in the stream, where it can still be drained.
// Far above a main-loop pass, so a slow frame cannot starve the source.
constexpr uint32_t VoiceLeadMs = 500;
// A stream that runs dry and gets more within this long ran dry in the
// middle of speech (an underrun); after a longer pause, new speech starts.
constexpr uint32_t VoiceUnderrunGapMs = 1000;
// After an underrun a stream starts again with as much backlog as the
// message was late, the target at least and this at most: a long stall is
// not made into a long delay for the rest of the speech.
constexpr uint32_t VoiceMaxRestartBacklogMs = 200;
// Samples within +-VoiceQuietPeak over VoiceQuietWindowSamples (5 ms) are
// quiet: above the faint noise the codec makes of silence (peaks below
// about 50), below the quietest sound it codes (RMS about 190).
constexpr int VoiceQuietPeak = 256;
constexpr uint32_t VoiceQuietWindowSamples = 40;
// A voice holding a source keeps it over a waiting one until it has been
// silent this long, so that voices do not trade sources every pass.
constexpr uint32_t VoiceHoldMs = 300;
// Positioned voices: full loudness up to the reference distance, then a
// gentle fall to about a fifth of it at the maximum distance (one and a
// half ocean widths), beyond which a voice gets no quieter: everyone stays
// audible anywhere in the scene.
constexpr float VoiceReferenceDistance = 150.0f;
constexpr float VoiceRolloffFactor = 0.5f;
constexpr float VoiceMaxDistance = 1500.0f;
// The loudest a listener may turn one voice up: twice as loud as it came.
constexpr float MaxVoiceVolume = 2.0f;

// What the output plays is kept for the echo canceller at this rate, for
// PlayedKeptMs; a reader that strays more than PlayedSlackMs from the
// clock is brought back to it.
constexpr uint32_t PlayedRate = 16000;
constexpr uint32_t PlayedKeptMs = 4000;
constexpr uint32_t PlayedSlackMs = 60;

// One catalogue row.
struct SoundProfile {
    const char* fileName;   // under "sfx/"; null in the terminator row
    bool isRelative;        // at the listener: no attenuation, priority 1.0
    float gainScale;        // multiplies every gain set on the source
    bool isLooping;         // keeps its place on the play list without a source
    float fullGainDistance; // up to here the gain is 1.0
    float zeroGainDistance; // from here on the gain is 0
};

// The 36 rows, then an all-zero terminator row. Row 0 is the voice streams'.
extern const SoundProfile gSoundProfiles[SoundProfileCount + 1];

// ---- sound objects ------------------------------------------------------------------

// What the sound module keeps for a voice stream.
struct VoiceStreamState {
    bool active = false;             // samples were queued: this object is a voice stream
    uint32_t rate = VoiceSampleRate; // samples per second of what is queued
    bool paced = false;              // its feeder keeps the backlog (setVoicePaced)
    std::vector<int16_t> pending;    // not yet handed to the source
    std::vector<uint32_t> queued;    // samples of each buffer queued on the source, oldest first
    // (time, backlog in samples) of the arrivals of the last VoiceDrainWindowMs.
    std::vector<std::pair<uint32_t, uint32_t>> backlogs;
    uint32_t lastArrivalMs = 0;
    bool started = false; // plays on its source
    bool dry = false;     // ran out of samples
    uint32_t dryAtMs = 0;
    uint32_t underruns = 0;
    bool positioned = false;
    float placement[3] = {0, 0, 0};
    float volume = 1.0f; // the listener's own setting for this voice; 0 mutes it
};

// What the sound module keeps for one sound object. Spelled out here only
// because SFXObject holds it: the module's own pass reads and writes it,
// through soundState (sound_local.h).
struct SoundObjectState {
    VoiceStreamState voice;
    uint32_t profileIndex = 0;
    float position[2] = {0, 0};
    RefPtr<ByteBuffer> samples;            // what a sound made at run time plays once; null for a catalogue sound
    const SoundProfile* profile = nullptr; // its catalogue row
    float gain = 1.0f;                     // applied only inside the attenuation band
    int32_t sourceIndex = -1;              // index into the source pool, or -1
    float priority = 0;                    // recomputed each pass
};

class SoundPool;

// Plays one catalogue sound, or streams sample buffers handed to it (voice).
// Counted: the play list holds a reference while it plays or waits.
class SFXObject : public Object {
public:
    // Plays through `pool` (not owned; it outlives the object), or nowhere
    // when null. `samples` may be null (a catalogue sound); position is
    // (x, y, 0).
    SFXObject(SoundPool* pool, const RefPtr<ByteBuffer>& samples, float gain, float x, float y);
    ~SFXObject() override;

    // Chooses the catalogue row (0 ... 35).
    void setProfile(uint32_t index);

    // The source it plays on (an index into the pool), or -1 while it has none.
    int32_t sourceIndex() const { return mState.sourceIndex; }

    // ---- voice streams ----
    // The rate of the samples queued from now on: VoiceSampleRate unless
    // set (a wideband codec's stream plays at its own rate). A change drops
    // samples of the old rate that wait here.
    void setVoiceRate(uint32_t rate);
    uint32_t voiceRate() const { return mState.voice.rate; }
    // A stream whose feeder keeps its own playout buffer and hands over each
    // frame period as it comes due: the stream neither rebuilds a backlog
    // after running dry nor drains one (both would only add to the
    // feeder's delay). Its underruns are still counted.
    void setVoicePaced(bool paced) { mState.voice.paced = paced; }
    // Plays 16-bit mono samples at the stream's rate after what is already queued. A
    // backlog above VoiceTargetBacklogMs is drained by shortening quiet
    // stretches; at most VoiceMaxQueuedMs stays queued, the oldest going
    // first. A stream that ran dry in the middle of speech starts again
    // VoiceTargetBacklogMs later, so that its backlog is rebuilt.
    void queueVoiceSamples(const RefPtr<ByteBuffer>& samples);
    // Samples queued and not yet heard: waiting here or on the source.
    uint32_t queuedVoiceSamples() const;
    // Times the stream ran dry in the middle of speech.
    uint32_t voiceUnderruns() const { return mState.voice.underruns; }
    // Where the voice comes from, relative to the listener (x to the
    // right, y up, -z ahead), fading with distance; or, unpositioned, from
    // the listener's own place at full loudness (the default).
    void setVoicePlacement(bool positioned, float x = 0, float y = 0, float z = 0);
    // How loud this listener wants the voice: 0 mutes it, 1 plays it as it
    // came, up to MaxVoiceVolume louder. Only this program's output changes.
    void setVoiceVolume(float volume);
    float voiceVolume() const { return mState.voice.volume; }

private:
    // The source pool moves objects between sources and reorders the play
    // list every pass; callers only ever ask it to play.
    friend SoundObjectState& soundState(SFXObject& object);
    friend const SoundObjectState& soundState(const SFXObject& object);
    friend SoundPool* soundPoolOf(const SFXObject& object);

    SoundPool* mPool;
    SoundObjectState mState;
};

// The gain its source gets: gainScale times 1.0 up to the full-gain
// distance, a linear fall-off scaled by the object's gain inside the band,
// and 0 from the zero-gain distance on. A relative profile always gets 1.0.
// A voice's volume (setVoiceVolume) multiplies it.
float soundGain(const SFXObject& object);
// 1.0 for a relative profile, else (500 - distance) / 500.
float soundPriority(const SFXObject& object);
// Voice streams rank above every effect: 2.0 plus up to 1.0 that falls
// the longer the voice has been silent (no samples came), counting a
// voice that holds a source VoiceHoldMs less silent. `nowMs` on the pool's time.
float voicePriority(const SFXObject& object, uint32_t nowMs);

// Removes up to `budget` samples of quiet from `samples`, earliest first:
// whole windows of VoiceQuietWindowSamples that are quiet, as are the
// windows on both sides, so that every stretch of quiet keeps a window at
// each end. Returns the number of samples removed.
uint32_t shortenQuiet(std::vector<int16_t>& samples, uint32_t budget);

// ---- start-up, each pass, shutdown --------------------------------------------------------

struct SoundSetup {
    // Where the catalogue's files are. Empty: "sfx" beside the program, or
    // "sfx" in the working folder when there is none beside the program.
    std::string sfxDirectory;
    // Renders only on demand through renderSamples, mono 16-bit at
    // `loopbackRate`, instead of opening the default device (tests).
    bool loopback = false;
    uint32_t loopbackRate = VoiceSampleRate;
    uint32_t loopbackChannels = 1; // 1 or 2 (interleaved left, right)
    // The output device by name (matchDevice); empty: the default. One
    // that is not there, or goes away while the program runs, gives way to
    // the default, and the notice says so.
    std::string device;
    // How loud everything plays, 0 (silent) to 1 (as mixed): the listener's
    // gain, over every source.
    float masterVolume = 1.0f;
};

// The catalogue folder init() uses without a setup.
std::string defaultSfxDirectory();

// The OpenAL device, its buffers and the source pool. One per program,
// made before the session and kept until after it: sound objects point at
// it.
class SoundPool {
public:
    SoundPool();
    // Closes sound if close did not.
    ~SoundPool();
    SoundPool(const SoundPool&) = delete;
    SoundPool& operator=(const SoundPool&) = delete;

    // Opens the default device, creates buffers and sources, loads the
    // catalogue. A device that cannot be opened logs "Failed to intitialize
    // OpenAL." and leaves sound off; a catalogue file that fails logs its
    // name and leaves that one sound empty. Returns true when sound is on.
    bool init();
    bool init(const SoundSetup& setup);
    // Sound is on: init succeeded and close has not run.
    bool ready() const;
    // The output device playing, as the library names it (empty while off
    // or with the loopback device).
    const std::string& deviceName() const;
    // Told, in one line for the user, when the named output device is not
    // there or went away and the default plays instead.
    void setNotice(std::function<void(const std::string&)> notice);

    // Once per main-loop pass: reclaims finished sources and played
    // streaming buffers, sorts the play list by priority and gives the first
    // 16 a source. An output device that went away (unplugged, its sink
    // removed) is closed and the default opened in its place: the voices
    // go on from what they have waiting.
    void update();

    // Releases every OpenAL object and closes the device; sound is off again.
    void close();

    // Puts the object on the play list (once) if it has no source.
    void requestPlay(SFXObject* object);

    // Everything at `volume` (SoundSetup::masterVolume), now and after the
    // device is opened again.
    void setMasterVolume(float volume);
    float masterVolume() const;
    // While on, no voice is heard here: every stream gives up its source
    // and what it held, and drops what it is given (deafened). Effects play.
    void setVoicesSilenced(bool silenced);
    bool voicesSilenced() const;

    // Loopback device only: mixes the next `frames` sample frames into `out`
    // (one sample per channel each).
    bool renderSamples(int16_t* out, uint32_t frames);

    // The pool's clock in milliseconds (voice timing): the real clock
    // unless a test sets its own; an empty function restores the real one.
    uint32_t time() const;
    void setClock(std::function<uint32_t()> clock);

    // What the output played, as one signal: the echo canceller's
    // reference. Fills `count` samples at `rate` (at most PlayedRate) with
    // what was due to play up to `samplesAfter` samples before now,
    // following on from the last read while that stays within
    // PlayedSlackMs of it. The echo of it reaches the capture later, by
    // the output's and the capture's buffering and the room's path: the
    // canceller's tail must cover that.
    void readPlayed(int16_t* out, uint32_t count, uint32_t rate, uint32_t samplesAfter);

    // The gain currently set on source `index` (diagnostics and tests).
    float sourceGain(uint32_t index) const;
    // True while source `index` is playing.
    bool sourcePlaying(uint32_t index) const;

    // The pool's state as its module and tests see it (sound_local.h).
    struct State;
    State& state() { return *mState; }
    const State& state() const { return *mState; }

private:
    // The device went away: the default takes its place. True when it did.
    bool reopenIfGone();

    std::unique_ptr<State> mState;
};

// The voice clock of whoever has `pool`: its time, or the real clock
// without one.
uint32_t soundTime(const SoundPool* pool);

} // namespace seafold
