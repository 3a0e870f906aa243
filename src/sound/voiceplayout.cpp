// Voice streams on the source pool: samples queued as they come, a backlog
// kept near its target by shortening quiet, handed to the source a little
// ahead of the playing position, and the stream running dry noted.
#include "sound/sound.h"
#include "sound/sound_local.h"

#include <AL/al.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/platform.h"

namespace seafold {

using State = SoundPool::State;

namespace {

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

} // namespace

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

void SFXObject::setVoiceVolume(float volume)
{
    mState.voice.volume = std::clamp(volume, 0.0f, MaxVoiceVolume);
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
    if (p.voicesSilenced) {
        // Nothing is heard, and nothing waits to be heard later.
        v.pending.clear();
        v.backlogs.clear();
        return;
    }

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

} // namespace seafold
