// The source pool's state, shared by the sound module's files and its tests.
// Not part of the sound module's interface: callers go through sound.h.
#pragma once

#include <functional>
#include <vector>

#include "sound/sound.h"

namespace seafold {

// The output device mixes at 48,000 Hz, the rate sound cards and sound
// servers run at. Voice between Seafold programs is wideband (16,000 Hz):
// mixed at 11,025 Hz it lost everything above 5.5 kHz, the linear resampler
// folded the band above that back into the speech, and each of the mixer's
// periods held 23 ms, which the output's delay paid on top.
enum : int { MixerRate = 48000 };

// What the output played, at PlayedRate, by absolute sample index (the
// pool's clock in ms times PlayedRate / 1000): the ring holds the indices
// (prepared - ring size, prepared], zeroed as `prepared` moves on.
struct PlayedRecord {
    std::vector<int16_t> ring = std::vector<int16_t>(PlayedRate / 1000 * PlayedKeptMs);
    int64_t prepared = 0;
    int64_t cursor = 0;
    bool reading = false;
};

// Adds `count` samples at `rate`, scaled by `gain`, to what plays from
// `startMs` (fractional) on.
void recordPlayed(PlayedRecord& record, const int16_t* samples, uint32_t count, uint32_t rate, double startMs,
                  float gain);

struct SoundPool::State {
    bool ready = false;                              // init succeeded and close has not run
    unsigned int sfxBuffers[SoundProfileCount] = {}; // buffer i holds catalogue sound i
    unsigned int sfxSources[MaxSoundSources] = {};   // the source pool
    std::vector<unsigned int> freeVoiceBuffers;      // free streaming buffers
    std::vector<RefPtr<SFXObject>> playList;         // objects playing or waiting
    float listenerPosition[2] = {0, 0};              // nothing moves it
    // Every streaming buffer, free or queued, so that close can delete them.
    unsigned int voiceBuffers[VoiceStreamBufferCount] = {};
    // The OpenAL device and context and the loopback device's render call,
    // kept opaque so that OpenAL's headers stay in the module's .cpp files.
    void* device = nullptr;
    void* context = nullptr;
    void* renderCall = nullptr;
    std::function<uint32_t()> clock;
    SoundSetup setup;       // what init was given, for opening again
    std::string deviceName; // the output device playing
    std::function<void(const std::string&)> notice;
    PlayedRecord played;
    // The voice stream whose buffers each source plays, or none: its record
    // of queued buffers follows what the source gives back.
    SFXObject* sourceVoice[MaxSoundSources] = {};
    bool voicesSilenced = false; // setVoicesSilenced
};

// An object's state as the source pool keeps it: callers outside the sound
// module see only what SFXObject offers.
SoundObjectState& soundState(SFXObject& object);
const SoundObjectState& soundState(const SFXObject& object);
// The pool the object plays through, or none.
SoundPool* soundPoolOf(const SFXObject& object);

// Growable arrays grow in steps of 16: n elements need n rounded up to the
// next multiple of 16 strictly above n.
template <class T> void reserveInSteps(std::vector<T>& v, size_t n)
{
    if (v.capacity() < n)
        v.reserve(n + 16 - n % 16);
}

// ---- between the pool's files (sound.cpp, voiceplayout.cpp, sounddevice.cpp) ----
// Sources and buffers are OpenAL names (ALuint), source states AL_* values.

// Returns the played buffers of source `s` to the free list.
void recycleProcessedBuffers(SoundPool::State& p, int32_t s);
// Takes the first free streaming buffer, fills it with `bytes` bytes of
// 16-bit samples and queues it on `source`. False when no buffer is free.
bool queueSamples(SoundPool::State& p, unsigned int source, const void* data, uint32_t bytes, uint32_t rate);
// The state of source `s`; stopped for -1.
int sourceState(const SoundPool::State& p, int32_t s);
// Sets where the object's source plays from and how it fades.
void applyPosition(const SoundPool::State& p, const SoundObjectState& state);
// Hands a voice stream's waiting samples to its source (voiceplayout.cpp).
void feedVoice(SoundPool::State& p, SoundObjectState& state);
// The stream ran out of samples at `now`.
void noteDry(VoiceStreamState& voice, uint32_t now);
// A voice stream gives up its source.
void releaseVoiceSource(SoundPool::State& p, SoundObjectState& state);
// Sets the listener's gain to the setup's master volume (sounddevice.cpp).
void applyMasterVolume(const SoundPool::State& p);

} // namespace seafold
