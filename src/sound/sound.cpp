// OpenAL set-up and shutdown, the catalogue, and the source pool.
#include "sound/sound.h"
#include "sound/sound_local.h"

#include <AL/al.h>
#include <AL/alc.h>
#include <AL/alext.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "base/platform.h"
#include "sound/audiodevices.h"

namespace seafold {


SoundObjectState& soundState(SFXObject& object)
{
    return object.mState;
}

const SoundObjectState& soundState(const SFXObject& object)
{
    return object.mState;
}

SoundPool* soundPoolOf(const SFXObject& object)
{
    return object.mPool;
}

namespace {

using State = SoundPool::State;

ALCdevice* deviceOf(const State& p)
{
    return static_cast<ALCdevice*>(p.device);
}

ALCcontext* contextOf(const State& p)
{
    return static_cast<ALCcontext*>(p.context);
}

// The pool an object plays through, when sound is on there.
State* readyPool(const SFXObject& object)
{
    SoundPool* pool = soundPoolOf(object);
    return pool && pool->ready() ? &pool->state() : nullptr;
}

// `ms` of a voice stream's samples at its rate.
uint32_t samplesIn(const VoiceStreamState& voice, uint32_t ms)
{
    return ms * (voice.rate / 1000);
}

// Growable arrays grow in steps of 16: n elements need n rounded up to the
// next multiple of 16 strictly above n.
template <class T> void reserveInSteps(std::vector<T>& v, size_t n)
{
    if (v.capacity() < n)
        v.reserve(n + 16 - n % 16);
}

ALenum alFormat(WaveFormat format)
{
    switch (format) {
    case WaveFormat::Mono8:
        return AL_FORMAT_MONO8;
    case WaveFormat::Stereo8:
        return AL_FORMAT_STEREO8;
    case WaveFormat::Stereo16:
        return AL_FORMAT_STEREO16;
    case WaveFormat::Mono16:
        break;
    }
    return AL_FORMAT_MONO16;
}

float distanceToListener(const SFXObject& object)
{
    const SoundObjectState& state = soundState(object);
    SoundPool* pool = soundPoolOf(object);
    const float origin[2] = {0, 0};
    const float* listener = pool ? pool->state().listenerPosition : origin;
    float dx = state.position[0] - listener[0];
    float dy = state.position[1] - listener[1];
    return std::sqrt(dx * dx + dy * dy);
}

// Returns the played buffers of source `s` to the free list.
void recycleProcessedBuffers(State& p, int32_t s)
{
    if (s < 0)
        return;
    alGetError();
    ALint processed = 0;
    alGetSourcei(p.sfxSources[s], AL_BUFFERS_PROCESSED, &processed);
    for (ALint i = 0; i < processed; ++i) {
        ALuint buffer = 0;
        alSourceUnqueueBuffers(p.sfxSources[s], 1, &buffer);
        if (alGetError() != AL_NO_ERROR)
            break;
        bool catalogue = false;
        for (unsigned int b : p.sfxBuffers)
            catalogue = catalogue || b == buffer;
        if (!catalogue) {
            reserveInSteps(p.freeVoiceBuffers, p.freeVoiceBuffers.size() + 1);
            p.freeVoiceBuffers.push_back(buffer);
        }
        // Buffers come back in the order they were queued.
        if (SFXObject* stream = p.sourceVoice[s]) {
            std::vector<uint32_t>& queued = soundState(*stream).voice.queued;
            if (!queued.empty())
                queued.erase(queued.begin());
        }
    }
}

// Takes the first free streaming buffer, fills it with `bytes` bytes of
// 16-bit samples and queues it on `source`. False when no buffer is free.
bool queueSamples(State& p, ALuint source, const void* data, uint32_t bytes, uint32_t rate)
{
    if (p.freeVoiceBuffers.empty())
        return false;
    ALuint buffer = p.freeVoiceBuffers.front();
    p.freeVoiceBuffers.erase(p.freeVoiceBuffers.begin());
    // Whole samples only: an odd byte would make OpenAL refuse the buffer.
    alBufferData(buffer, AL_FORMAT_MONO16, data, ALsizei(bytes & ~1u), ALsizei(rate));
    alSourceQueueBuffers(source, 1, &buffer);
    return true;
}

ALint sourceState(const State& p, int32_t s)
{
    ALint state = AL_STOPPED;
    if (s >= 0)
        alGetSourcei(p.sfxSources[s], AL_SOURCE_STATE, &state);
    return state;
}

// Samples of a voice stream queued on its source and not yet played.
uint32_t unplayedOnSource(const State& p, const SoundObjectState& state)
{
    if (state.sourceIndex < 0 || sourceState(p, state.sourceIndex) == AL_STOPPED)
        return 0;
    uint64_t total = 0;
    for (uint32_t n : state.voice.queued)
        total += n;
    // The offset counts from the first buffer still queued, played or not.
    ALint offset = 0;
    alGetSourcei(p.sfxSources[state.sourceIndex], AL_SAMPLE_OFFSET, &offset);
    uint64_t played = offset > 0 ? uint64_t(offset) : 0;
    return played < total ? uint32_t(total - played) : 0;
}

// Hands a voice stream's waiting samples to its source, up to VoiceLeadMs
// ahead of the playing position and VoiceBuffersPerStream buffers.
void feedVoice(State& p, SoundObjectState& state)
{
    VoiceStreamState& v = state.voice;
    if (state.sourceIndex < 0 || v.pending.empty())
        return;
    ALuint source = p.sfxSources[state.sourceIndex];
    const uint32_t lead = samplesIn(v, VoiceLeadMs);
    uint32_t held = unplayedOnSource(p, state);
    while (!v.pending.empty() && held < lead && v.queued.size() < VoiceBuffersPerStream) {
        uint32_t n = uint32_t(std::min<size_t>(v.pending.size(), lead - held));
        if (!queueSamples(p, source, v.pending.data(), n * 2, v.rate))
            return;
        // Heard once what the source holds before it has played.
        const uint32_t now = p.clock ? p.clock() : getRealMilliseconds();
        recordPlayed(p.played, v.pending.data(), n, v.rate, now + double(held) * 1000.0 / v.rate, v.volume);
        v.queued.push_back(n);
        v.pending.erase(v.pending.begin(), v.pending.begin() + n);
        held += n;
    }
}

// The stream ran out of samples: noted once, with the time.
void noteDry(VoiceStreamState& voice, uint32_t now)
{
    if (voice.started && !voice.dry) {
        voice.dry = true;
        voice.dryAtMs = now;
    }
    voice.started = false;
}

// A voice stream gives up its source: what the source still had queued is
// not heard (it is not replayed either).
void releaseVoiceSource(State& p, SoundObjectState& state)
{
    int32_t s = state.sourceIndex;
    if (s < 0)
        return;
    alSourceStop(p.sfxSources[s]);
    recycleProcessedBuffers(p, s);
    p.sourceVoice[s] = nullptr;
    state.voice.queued.clear();
    state.voice.started = false;
    state.sourceIndex = -1;
}

void applyPosition(const State& p, const SoundObjectState& state)
{
    ALuint source = p.sfxSources[state.sourceIndex];
    if (state.voice.active) {
        // Relative to the listener; OpenAL's distance model fades it.
        const VoiceStreamState& v = state.voice;
        alSourcei(source, AL_SOURCE_RELATIVE, AL_TRUE);
        // A voice may be turned up above how it came (setVoiceVolume).
        alSourcef(source, AL_MAX_GAIN, MaxVoiceVolume);
        if (v.positioned) {
            alSource3f(source, AL_POSITION, v.placement[0], v.placement[1], v.placement[2]);
            alSourcef(source, AL_REFERENCE_DISTANCE, VoiceReferenceDistance);
            alSourcef(source, AL_MAX_DISTANCE, VoiceMaxDistance);
            alSourcef(source, AL_ROLLOFF_FACTOR, VoiceRolloffFactor);
        } else {
            alSource3f(source, AL_POSITION, 0, 0, 0);
            alSourcef(source, AL_ROLLOFF_FACTOR, 0);
        }
        return;
    }
    // Effects fade by soundGain alone.
    alSourcef(source, AL_ROLLOFF_FACTOR, 0);
    alSourcef(source, AL_MAX_GAIN, 1.0f);
    if (state.profile->isRelative) {
        alSourcei(source, AL_SOURCE_RELATIVE, AL_TRUE);
        alSource3f(source, AL_POSITION, 0, 0, 0);
    } else {
        alSourcei(source, AL_SOURCE_RELATIVE, AL_FALSE);
        alSource3f(source, AL_POSITION, state.position[0], state.position[1], 0);
    }
}

void applyGain(const State& p, const SFXObject& object)
{
    alSourcef(p.sfxSources[soundState(object).sourceIndex], AL_GAIN, soundGain(object));
}

void startOnSource(State& p, SFXObject& object)
{
    SoundObjectState& state = soundState(object);
    ALuint source = p.sfxSources[state.sourceIndex];
    alSourceStop(source);
    // A looping source reports no processed buffers: switch looping off so
    // that what the last object queued comes back, then detach any
    // catalogue buffer (a source holding one refuses queued buffers).
    alSourcei(source, AL_LOOPING, AL_FALSE);
    recycleProcessedBuffers(p, state.sourceIndex);
    alSourcei(source, AL_BUFFER, 0);
    if (state.voice.active) {
        p.sourceVoice[state.sourceIndex] = &object;
        state.voice.queued.clear();
        feedVoice(p, state);
        // Nothing to play (no free buffer): the next pass reclaims it.
        if (state.voice.queued.empty())
            return;
        state.voice.started = true;
        state.voice.dry = false;
    } else if (state.samples) {
        // The source stays stopped without a free buffer; the next pass
        // reclaims it.
        if (!queueSamples(p, source, state.samples->data(), state.samples->size(), VoiceSampleRate))
            return;
    } else {
        alSourcei(source, AL_BUFFER, ALint(p.sfxBuffers[state.profileIndex]));
    }
    alSourcei(source, AL_LOOPING, state.profile->isLooping ? AL_TRUE : AL_FALSE);
    applyPosition(p, state);
    applyGain(p, object);
    alSourcePlay(source);
}

bool isListed(const State& p, const SFXObject* object)
{
    for (auto& listed : p.playList)
        if (listed.get() == object)
            return true;
    return false;
}

// Removes entry i by moving the last one into its place.
void removeFromPlayList(State& p, size_t i)
{
    p.playList[i] = p.playList.back();
    p.playList.pop_back();
}

} // namespace

// ---- sound objects ---------------------------------------------------------------------

SFXObject::SFXObject(SoundPool* pool, const RefPtr<ByteBuffer>& initialSamples, float initialGain, float x, float y)
    : mPool(pool)
{
    mState.samples = initialSamples;
    mState.profile = &gSoundProfiles[0];
    mState.gain = initialGain;
    mState.position[0] = x;
    mState.position[1] = y;
}

SFXObject::~SFXObject() = default;

void SFXObject::setVoiceVolume(float volume)
{
    mState.voice.volume = std::clamp(volume, 0.0f, MaxVoiceVolume);
}

void SFXObject::setProfile(uint32_t index)
{
    SF_ASSERT(index < SoundProfileCount, "sound profile index out of range");
    mState.profileIndex = index;
    mState.profile = &gSoundProfiles[index];
}

void SFXObject::queueVoiceSamples(const RefPtr<ByteBuffer>& more)
{
    State* pool = readyPool(*this);
    if (!pool || !more || more->size() < 2)
        return;
    State& p = *pool;
    VoiceStreamState& v = mState.voice;
    v.active = true;
    const uint32_t now = mPool->time();
    v.lastArrivalMs = now;

    ALint state = sourceState(p, mState.sourceIndex);
    if (mState.sourceIndex != -1 && state == AL_STOPPED)
        noteDry(v, now); // the queue ran dry before this message came
    const bool flowing = mState.sourceIndex != -1 && v.started && state != AL_STOPPED;
    const uint32_t backlog = (flowing ? unplayedOnSource(p, mState) : 0) + uint32_t(v.pending.size());
    const uint32_t target = samplesIn(v, VoiceTargetBacklogMs);

    uint32_t drain = 0; // samples of quiet that may go
    if (v.paced) {
        if (v.dry && uint32_t(now - v.dryAtMs) < VoiceUnderrunGapMs)
            ++v.underruns;
        v.dry = false;
    } else if (v.dry) {
        // Ran dry in the middle of speech: this message came as late as the
        // stream was dry. Start again with that much backlog in hand (the
        // target at least), or the next message as late makes another gap.
        // After a longer pause this is new speech, which starts at once.
        v.dry = false;
        v.backlogs.clear();
        uint32_t dryFor = now - v.dryAtMs;
        if (dryFor < VoiceUnderrunGapMs) {
            ++v.underruns;
            uint32_t want = samplesIn(v, std::min(std::max(dryFor, VoiceTargetBacklogMs), VoiceMaxRestartBacklogMs));
            v.pending.insert(v.pending.begin(), want - std::min(want, backlog), 0);
            // This arrival found nothing queued: for a drain window the
            // rebuilt backlog stays.
            v.backlogs.emplace_back(now, 0);
        }
    } else if (flowing) {
        // What was queued at every arrival of the window, this one included,
        // above the target is a standing backlog.
        while (!v.backlogs.empty() && uint32_t(now - v.backlogs.front().first) > VoiceDrainWindowMs)
            v.backlogs.erase(v.backlogs.begin());
        v.backlogs.emplace_back(now, backlog);
        uint32_t least = backlog;
        for (auto& b : v.backlogs)
            least = std::min(least, b.second);
        drain = least > target ? least - target : 0;
    }

    size_t old = v.pending.size();
    v.pending.resize(old + more->size() / 2);
    std::memcpy(v.pending.data() + old, more->data(), (more->size() / 2) * 2);
    if (drain)
        shortenQuiet(v.pending, drain);

    // Bounded in time: the oldest samples still here go first.
    const uint32_t cap = samplesIn(v, VoiceMaxQueuedMs);
    uint32_t onSource = flowing ? unplayedOnSource(p, mState) : 0;
    if (onSource + v.pending.size() > cap) {
        size_t excess = std::min(v.pending.size(), size_t(onSource + v.pending.size() - cap));
        v.pending.erase(v.pending.begin(), v.pending.begin() + long(excess));
    }

    if (mState.sourceIndex == -1) {
        mPool->requestPlay(this);
        return;
    }
    // Playing a stopped source starts its queue from the top: take the
    // played buffers off first, or they would be heard again.
    if (state == AL_STOPPED)
        recycleProcessedBuffers(p, mState.sourceIndex);
    feedVoice(p, mState);
    if (state == AL_STOPPED && !v.queued.empty()) {
        applyPosition(p, mState);
        alSourcePlay(p.sfxSources[mState.sourceIndex]);
        v.started = true;
    }
}

uint32_t SFXObject::queuedVoiceSamples() const
{
    const State* pool = readyPool(*this);
    return (pool ? unplayedOnSource(*pool, mState) : 0) + uint32_t(mState.voice.pending.size());
}

void SFXObject::setVoiceRate(uint32_t rate)
{
    VoiceStreamState& v = mState.voice;
    if (rate == v.rate || rate < 1000)
        return;
    // Samples waiting here are of the old rate; what the source holds plays
    // out at the rate it was queued with.
    v.pending.clear();
    v.backlogs.clear();
    v.rate = rate;
}

void SFXObject::setVoicePlacement(bool positioned, float x, float y, float z)
{
    VoiceStreamState& v = mState.voice;
    v.positioned = positioned;
    v.placement[0] = x;
    v.placement[1] = y;
    v.placement[2] = z;
}

uint32_t shortenQuiet(std::vector<int16_t>& samples, uint32_t budget)
{
    const size_t w = VoiceQuietWindowSamples;
    const size_t windows = samples.size() / w;
    if (windows < 3 || budget < w)
        return 0;
    std::vector<bool> quiet(windows);
    for (size_t i = 0; i < windows; ++i) {
        bool q = true;
        for (size_t k = i * w; q && k < (i + 1) * w; ++k)
            q = std::abs(int(samples[k])) <= VoiceQuietPeak;
        quiet[i] = q;
    }
    // Windows beyond either end are unknown: taken as sound, so that quiet
    // at the edges keeps its guard window.
    size_t out = 0;
    uint32_t removed = 0;
    for (size_t i = 0; i < windows; ++i) {
        bool drop = quiet[i] && i > 0 && quiet[i - 1] && i + 1 < windows && quiet[i + 1] && removed + w <= budget;
        if (drop) {
            removed += uint32_t(w);
            continue;
        }
        if (out != i * w)
            std::memmove(&samples[out], &samples[i * w], w * sizeof(int16_t));
        out += w;
    }
    size_t tail = samples.size() - windows * w;
    if (tail && out != windows * w)
        std::memmove(&samples[out], &samples[windows * w], tail * sizeof(int16_t));
    samples.resize(out + tail);
    return removed;
}

void SoundPool::requestPlay(SFXObject* object)
{
    State& p = *mState;
    if (!p.ready || !object || object->sourceIndex() != -1 || isListed(p, object))
        return;
    reserveInSteps(p.playList, p.playList.size() + 1);
    p.playList.push_back(object);
}

float soundGain(const SFXObject& object)
{
    const SoundObjectState& state = soundState(object);
    const SoundProfile& p = *state.profile;
    float g = 1.0f;
    if (!p.isRelative) {
        float d = distanceToListener(object);
        if (d <= p.fullGainDistance)
            g = 1.0f;
        else if (d < p.zeroGainDistance)
            g = (1.0f - (d - p.fullGainDistance) / (p.zeroGainDistance - p.fullGainDistance)) * state.gain;
        else
            g = 0.0f;
    }
    return p.gainScale * g * state.voice.volume;
}

float soundPriority(const SFXObject& object)
{
    const SoundObjectState& state = soundState(object);
    if (state.profile->isRelative)
        return 1.0f;
    return (500.0f - distanceToListener(object)) / 500.0f;
}

float voicePriority(const SFXObject& object, uint32_t nowMs)
{
    const SoundObjectState& state = soundState(object);
    uint32_t silent = nowMs - state.voice.lastArrivalMs;
    uint32_t hold = state.sourceIndex != -1 ? VoiceHoldMs : 0;
    silent = silent > hold ? silent - hold : 0;
    // Above the 1.0 that is the most an effect gets.
    return 2.0f + 1.0f / (1.0f + float(silent) / 1000.0f);
}

SoundPool::SoundPool() : mState(std::make_unique<State>()) {}

SoundPool::~SoundPool()
{
    close();
}

bool SoundPool::ready() const
{
    return mState->ready;
}

uint32_t SoundPool::time() const
{
    return mState->clock ? mState->clock() : getRealMilliseconds();
}

void SoundPool::setClock(std::function<uint32_t()> clock)
{
    mState->clock = std::move(clock);
}

uint32_t soundTime(const SoundPool* pool)
{
    return pool ? pool->time() : getRealMilliseconds();
}

// ---- start-up, each pass, shutdown ------------------------------------------------------------

bool SoundPool::init()
{
    return init(SoundSetup());
}

namespace {

// Opens the device and its context into `p`; false, with nothing left open,
// when either fails.
bool openDevice(State& p, const SoundSetup& setup, const std::string& name)
{
    ALCdevice* device = nullptr;
    LPALCRENDERSAMPLESSOFT render = nullptr;
    if (setup.loopback) {
        auto openLoopback =
            reinterpret_cast<LPALCLOOPBACKOPENDEVICESOFT>(alcGetProcAddress(nullptr, "alcLoopbackOpenDeviceSOFT"));
        render = reinterpret_cast<LPALCRENDERSAMPLESSOFT>(alcGetProcAddress(nullptr, "alcRenderSamplesSOFT"));
        device = openLoopback && render ? openLoopback(nullptr) : nullptr;
    } else {
        device = alcOpenDevice(name.empty() ? nullptr : name.c_str());
    }
    if (!device)
        return false;
    ALCcontext* context = nullptr;
    if (setup.loopback) {
        const ALCint attributes[] = {ALC_FORMAT_CHANNELS_SOFT,
                                     setup.loopbackChannels == 2 ? ALC_STEREO_SOFT : ALC_MONO_SOFT,
                                     ALC_FORMAT_TYPE_SOFT,
                                     ALC_SHORT_SOFT,
                                     ALC_FREQUENCY,
                                     ALCint(setup.loopbackRate),
                                     0};
        context = alcCreateContext(device, attributes);
    } else {
        const ALCint attributes[] = {ALC_FREQUENCY, MixerRate, 0};
        context = alcCreateContext(device, attributes);
    }
    if (!context || !alcMakeContextCurrent(context)) {
        if (context)
            alcDestroyContext(context);
        alcCloseDevice(device);
        return false;
    }
    p.device = device;
    p.context = context;
    p.renderCall = reinterpret_cast<void*>(render);
    if (!setup.loopback) {
        const ALCchar* opened = alcGetString(device, enumeratesAllDevices() ? ALC_ALL_DEVICES_SPECIFIER
                                                                           : ALC_DEVICE_SPECIFIER);
        p.deviceName = opened ? opened : name;
    }
    return true;
}

// The named output device, else the default with a notice: a headset that
// is not plugged in leaves the user with sound all the same.
bool openChosenDevice(State& p, const SoundSetup& setup)
{
    if (setup.loopback || setup.device.empty())
        return openDevice(p, setup, std::string());
    const std::string name = matchDevice(playbackDevices(), setup.device);
    if (!name.empty() && openDevice(p, setup, name))
        return true;
    const bool opened = openDevice(p, setup, std::string());
    if (p.notice)
        p.notice("The sound output \"" + setup.device + "\" is not there" +
                 (opened ? ": playing on the default, \"" + p.deviceName + "\"" : std::string()));
    return opened;
}

// Loads every catalogue file into its buffer. One file that fails must not
// silence everything else (voice above all): its sound stays empty and the
// rest load.
void loadCatalogue(State& p, const std::string& directory)
{
    for (uint32_t i = 0; i < SoundProfileCount && gSoundProfiles[i].fileName; ++i) {
        const char* name = gSoundProfiles[i].fileName;
        WaveData wave;
        if (!loadWaveFile(directory + "/" + name, &wave)) {
            writeLog("Failure (1) loading sound file '%s'", name);
            continue;
        }
        alGetError();
        alBufferData(p.sfxBuffers[i], alFormat(wave.format), wave.data.data(), ALsizei(wave.data.size()),
                     ALsizei(wave.rate));
        if (alGetError() != AL_NO_ERROR)
            writeLog("Failure (2) loading sound file '%s'", name);
    }
}

} // namespace

bool SoundPool::init(const SoundSetup& setup)
{
    State& p = *mState;
    if (p.device)
        return p.ready;
    p.setup = setup;
    if (!openChosenDevice(p, setup)) {
        writeLog("Failed to intitialize OpenAL.");
        return false;
    }
    alGetError();

    alGenBuffers(SoundProfileCount, p.sfxBuffers);
    p.freeVoiceBuffers.clear();
    reserveInSteps(p.freeVoiceBuffers, VoiceStreamBufferCount);
    alGenBuffers(VoiceStreamBufferCount, p.voiceBuffers);
    p.freeVoiceBuffers.assign(p.voiceBuffers, p.voiceBuffers + VoiceStreamBufferCount);
    alGetError();
    // Voices fade with distance through OpenAL's model; every other source
    // has a rolloff of 0 and fades by soundGain alone.
    alDistanceModel(AL_INVERSE_DISTANCE_CLAMPED);
    alGetError();
    alGenSources(MaxSoundSources, p.sfxSources);
    if (alGetError() != AL_NO_ERROR) {
        writeLog("Failed to intitialize OpenAL.");
        close();
        return false;
    }
    loadCatalogue(p, setup.sfxDirectory.empty() ? defaultSfxDirectory() : setup.sfxDirectory);
    p.ready = true;
    return true;
}

namespace {

// Finished objects leave the list; the others get their priority.
void reclaimFinished(State& p, bool (&busy)[MaxSoundSources], uint32_t now)
{
    for (size_t i = 0; i < p.playList.size();) {
        SFXObject& object = *p.playList[i];
        SoundObjectState& state = soundState(object);
        if (state.sourceIndex != -1 && !busy[state.sourceIndex]) {
            if (!state.voice.active) {
                state.sourceIndex = -1;
                removeFromPlayList(p, i);
                continue;
            }
            if (state.voice.pending.empty()) {
                // Out of samples: it starts again when more come.
                noteDry(state.voice, now);
                releaseVoiceSource(p, state);
                removeFromPlayList(p, i);
                continue;
            }
            // Samples wait but the source ran out before they could go (no
            // buffer was free): the gap was heard.
            if (state.voice.started)
                ++state.voice.underruns;
        }
        state.priority = state.voice.active ? voicePriority(object, now) : soundPriority(object);
        ++i;
    }
}

// Past the first 16: give up the source; only looping objects wait. A
// voice stops at once (its samples there are not heard twice) and keeps
// what waits in it for when more come.
void dropBeyondSources(State& p, bool (&busy)[MaxSoundSources])
{
    for (size_t i = MaxSoundSources; i < p.playList.size();) {
        SFXObject& object = *p.playList[i];
        SoundObjectState& state = soundState(object);
        if (state.sourceIndex != -1) {
            busy[state.sourceIndex] = false;
            if (state.voice.active)
                releaseVoiceSource(p, state);
            state.sourceIndex = -1;
        }
        if (!state.profile->isLooping) {
            removeFromPlayList(p, i);
            continue;
        }
        ++i;
    }
}

} // namespace

bool SoundPool::reopenIfGone()
{
    State& p = *mState;
    if (p.setup.loopback || !p.device)
        return false;
    ALCint connected = ALC_TRUE;
    alcGetIntegerv(deviceOf(p), ALC_CONNECTED, 1, &connected);
    if (connected != ALC_FALSE)
        return false;
    const std::string gone = p.deviceName;
    SoundSetup fallback = p.setup;
    fallback.device.clear();
    close();
    const bool opened = init(fallback);
    if (p.notice)
        p.notice("The sound output \"" + gone + "\" went away" +
                 (opened ? ": playing on the default, \"" + p.deviceName + "\"" : ": no sound"));
    return true;
}

void SoundPool::update()
{
    State& p = *mState;
    if (!p.ready)
        return;
    if (reopenIfGone() && !p.ready)
        return;
    const uint32_t now = time();
    bool busy[MaxSoundSources];
    for (uint32_t s = 0; s < MaxSoundSources; ++s) {
        recycleProcessedBuffers(p, int32_t(s));
        ALint state = AL_STOPPED;
        alGetSourcei(p.sfxSources[s], AL_SOURCE_STATE, &state);
        busy[s] = state != AL_STOPPED && state != AL_INITIAL;
    }
    reclaimFinished(p, busy, now);

    // Insertion sort, highest first; equal priorities keep their order.
    for (size_t i = 1; i < p.playList.size(); ++i) {
        RefPtr<SFXObject> moving = p.playList[i];
        size_t j = i;
        while (j > 0 && soundState(*p.playList[j - 1]).priority < soundState(*moving).priority) {
            p.playList[j] = p.playList[j - 1];
            --j;
        }
        p.playList[j] = moving;
    }
    dropBeyondSources(p, busy);

    uint32_t next = 0;
    size_t count = std::min<size_t>(p.playList.size(), MaxSoundSources);
    for (size_t i = 0; i < count; ++i) {
        SFXObject& object = *p.playList[i];
        SoundObjectState& state = soundState(object);
        if (state.sourceIndex != -1) {
            if (state.voice.active) {
                // Positions follow the speakers; waiting samples go out,
                // and a source that ran out while they waited plays on.
                applyPosition(p, state);
                bool stopped = sourceState(p, state.sourceIndex) == AL_STOPPED;
                if (stopped)
                    recycleProcessedBuffers(p, state.sourceIndex);
                feedVoice(p, state);
                if (stopped && !state.voice.queued.empty()) {
                    alSourcePlay(p.sfxSources[state.sourceIndex]);
                    state.voice.started = true;
                }
            }
            applyGain(p, object);
            continue;
        }
        while (next < MaxSoundSources && busy[next])
            ++next;
        if (next == MaxSoundSources)
            continue;
        busy[next] = true;
        state.sourceIndex = int32_t(next);
        startOnSource(p, object);
    }
}

void SoundPool::close()
{
    State& p = *mState;
    if (!p.device)
        return;
    if (p.context) {
        for (auto& object : p.playList) {
            SoundObjectState& state = soundState(*object);
            state.sourceIndex = -1;
            state.voice.queued.clear();
            state.voice.started = false;
        }
        p.playList.clear();
        for (SFXObject*& stream : p.sourceVoice)
            stream = nullptr;
        // Sources first: a buffer still queued on one cannot be deleted.
        alSourceStopv(MaxSoundSources, p.sfxSources);
        alDeleteSources(MaxSoundSources, p.sfxSources);
        alDeleteBuffers(SoundProfileCount, p.sfxBuffers);
        alDeleteBuffers(VoiceStreamBufferCount, p.voiceBuffers);
        p.freeVoiceBuffers.clear();
        alcMakeContextCurrent(nullptr);
        alcDestroyContext(contextOf(p));
    }
    alcCloseDevice(deviceOf(p));
    p.context = nullptr;
    p.device = nullptr;
    p.renderCall = nullptr;
    p.deviceName.clear();
    p.ready = false;
}

const std::string& SoundPool::deviceName() const
{
    return mState->deviceName;
}

void SoundPool::setNotice(std::function<void(const std::string&)> notice)
{
    mState->notice = std::move(notice);
}

bool SoundPool::renderSamples(int16_t* out, uint32_t frames)
{
    State& p = *mState;
    if (!p.device || !p.renderCall)
        return false;
    reinterpret_cast<LPALCRENDERSAMPLESSOFT>(p.renderCall)(deviceOf(p), out, ALCsizei(frames));
    return true;
}

float SoundPool::sourceGain(uint32_t index) const
{
    ALfloat value = 0;
    if (mState->ready && index < MaxSoundSources)
        alGetSourcef(mState->sfxSources[index], AL_GAIN, &value);
    return value;
}

bool SoundPool::sourcePlaying(uint32_t index) const
{
    ALint state = AL_STOPPED;
    if (mState->ready && index < MaxSoundSources)
        alGetSourcei(mState->sfxSources[index], AL_SOURCE_STATE, &state);
    return state == AL_PLAYING;
}

} // namespace seafold
