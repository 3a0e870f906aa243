// The source pool: sound objects, their gain and priority, and the pass
// that hands the pool's 16 sources to the objects that matter most.
#include "sound/sound.h"
#include "sound/sound_local.h"

#include <AL/al.h>
#include <AL/alc.h>

#include <algorithm>
#include <cmath>

#include "base/platform.h"

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

using State = SoundPool::State;

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

namespace {

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

void SFXObject::setProfile(uint32_t index)
{
    SF_ASSERT(index < SoundProfileCount, "sound profile index out of range");
    mState.profileIndex = index;
    mState.profile = &gSoundProfiles[index];
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

void SoundPool::setVoicesSilenced(bool silenced)
{
    State& p = *mState;
    p.voicesSilenced = silenced;
    if (!silenced)
        return;
    for (size_t i = 0; i < p.playList.size();) {
        SoundObjectState& state = soundState(*p.playList[i]);
        if (!state.voice.active) {
            ++i;
            continue;
        }
        releaseVoiceSource(p, state);
        state.voice.pending.clear();
        state.voice.backlogs.clear();
        removeFromPlayList(p, i);
    }
}

bool SoundPool::voicesSilenced() const
{
    return mState->voicesSilenced;
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
