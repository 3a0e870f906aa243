// Sound: the OpenAL device, the catalogue of 36 sound-effect profiles loaded
// from WAV files, and a pool of 16 sources handed out to sound objects by
// priority once per main-loop pass. Voice playback streams decoded samples
// through the same objects.
//
// Everything runs on the main thread. Every operation except initSound does
// nothing while sound is off (initSound failed or closeSound ran), so the
// program runs without sound when no device can be opened.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/bitstream.h"
#include "net/netbase.h"

namespace seafold {

enum : uint32_t {
    SoundProfileCount = 36,
    MaxSoundSources = 16,
    VoiceStreamBufferCount = 32,
    VoiceSampleRate = 8000,
};

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

// ---- WAV files ------------------------------------------------------------------

enum class WaveFormat { Mono8, Mono16, Stereo8, Stereo16 };

struct WaveData {
    WaveFormat format = WaveFormat::Mono16;
    std::vector<uint8_t> data; // whole blocks of the "data" chunk
    uint32_t rate = 22050;
    uint16_t channels = 1;
    uint16_t bitsPerSample = 16;
};

// Reads a RIFF WAV image: its "fmt " chunk (PCM, format tag 1) and its "data"
// chunk; other chunks are skipped, odd-sized ones with their pad byte.
// Returns true when sample data was found. Never reads or allocates beyond
// `size`: a "data" chunk before "fmt ", a block alignment of 0, a data size
// that is not a multiple of it, a chunk that claims more bytes than remain,
// or a truncated header fails (no data). A non-PCM format loads no data.
bool readWave(const uint8_t* bytes, size_t size, WaveData* wave);

// readWave of a whole file; false when it cannot be read or holds no data.
bool loadWaveFile(const std::string& path, WaveData* wave);

// Writes 16-bit mono PCM as a WAV file (the file capture back end's and the
// tests' counterpart of loadWaveFile).
bool writeWaveFile(const std::string& path, const int16_t* samples, size_t count, uint32_t rate);

// ---- sound objects ------------------------------------------------------------------

// Plays one catalogue sound, or streams sample buffers handed to it (voice).
// Counted: the play list holds a reference while it plays or waits.
class SFXObject : public Object {
public:
    // `samples` may be null (a catalogue sound); position is (x, y, 0).
    SFXObject(const RefPtr<ByteBuffer>& samples, float gain, float x, float y);
    ~SFXObject() override;

    // Chooses the catalogue row (0 ... 35).
    void setProfile(uint32_t index);

    // Voice: plays 16-bit mono 8000 Hz samples after what is already queued.
    // Samples that arrive while the stream waits for a source are appended
    // to the waiting ones, so every received sample is heard.
    void queueVoiceSamples(const RefPtr<ByteBuffer>& samples);

    uint32_t profileIndex = 0;
    float position[2] = {0, 0};
    RefPtr<ByteBuffer> samples;  // latest streamed samples; null for a catalogue sound
    const SoundProfile* profile; // its catalogue row
    float gain = 1.0f;           // applied only inside the attenuation band
    int32_t sourceIndex = -1;    // index into the source pool, or -1
    float priority = 0;          // recomputed each pass
};

// Puts the object on the play list (once) if it has no source.
void requestPlay(SFXObject* object);

// The gain its source gets: gainScale times 1.0 up to the full-gain
// distance, a linear fall-off scaled by the object's gain inside the band,
// and 0 from the zero-gain distance on. A relative profile always gets 1.0.
float soundGain(const SFXObject& object);
// 1.0 for a relative profile, else (500 - distance) / 500.
float soundPriority(const SFXObject& object);

// ---- start-up, each pass, shutdown --------------------------------------------------------

struct SoundSetup {
    // Where the catalogue's files are. Empty: "sfx" beside the program, or
    // "sfx" in the working folder when there is none beside the program.
    std::string sfxDirectory;
    // Renders only on demand through renderSoundSamples, mono 16-bit at
    // `loopbackRate`, instead of opening the default device (tests).
    bool loopback = false;
    uint32_t loopbackRate = VoiceSampleRate;
};

// Opens the default device, creates buffers and sources, loads the
// catalogue. A device that cannot be opened logs "Failed to intitialize
// OpenAL." and leaves sound off; a catalogue file that fails logs its name
// and leaves that one sound empty. Returns true when sound is on.
bool initSound();
bool initSound(const SoundSetup& setup);

// Once per main-loop pass: reclaims finished sources and played streaming
// buffers, sorts the play list by priority and gives the first 16 a source.
void updateSound();

// Releases every OpenAL object and closes the device; sound is off again.
void closeSound();

// The catalogue folder initSound() uses without a setup.
std::string defaultSfxDirectory();

// Loopback device only: mixes the next `frames` samples into `out`.
bool renderSoundSamples(int16_t* out, uint32_t frames);

// The gain currently set on source `index` (diagnostics and tests).
float sourceGain(uint32_t index);
// True while source `index` is playing.
bool sourcePlaying(uint32_t index);

} // namespace seafold
