#include "session/voiceframes.h"

#include <algorithm>
#include <cstring>

#include "base/bytebuffer.h"
#include "sound/sound.h"

namespace seafold {

namespace {

// Played ahead of the frame period under way, so that the stream does not
// run dry between two main-loop passes: a frame and a half, more than a
// pass takes even on a busy machine most of the time.
constexpr uint32_t PlayoutLeadMs = OpusFrameMs * 3 / 2;
// When a pass came too late anyway, the stream ran dry and everything after
// it plays that much later. Once the stream holds more than this, a frame
// is left out, so that the delay does not creep up gap by gap.
constexpr uint32_t PlayoutMostQueuedMs = PlayoutLeadMs + 2 * OpusFrameMs;
// Frame periods one pass catches up on after a stall; beyond, the periods
// missed are skipped (the jitter buffer drains what piled up).
constexpr uint32_t MaxCatchUpFrames = 10;

// The first frame's number, the frame buffer and the end flag of a voice
// event, c2s or s2c.
bool voiceEventParts(RPCEvent* event, uint32_t*& sequence, bool*& endsSpurt, RefPtr<ByteBuffer>*& frames)
{
    if (auto* a = event->arguments<uint32_t, uint32_t, bool, RefPtr<ByteBuffer>>()) {
        sequence = &std::get<1>(*a);
        endsSpurt = &std::get<2>(*a);
        frames = &std::get<3>(*a);
        return true;
    }
    if (auto* a = event->arguments<uint32_t, uint32_t, bool, RefPtr<ByteBuffer>, StringPtr>()) {
        sequence = &std::get<1>(*a);
        endsSpurt = &std::get<2>(*a);
        frames = &std::get<3>(*a);
        return true;
    }
    return false;
}

} // namespace

RefPtr<ByteBuffer> copyOfFrames(const ByteBuffer& frames)
{
    RefPtr<ByteBuffer> copy = new ByteBuffer(frames.size());
    if (frames.size()) // an end of spurt may come with no frame
        std::memcpy(copy->data(), frames.data(), frames.size());
    return copy;
}

RefPtr<ByteBuffer> framesBuffer(const std::vector<OpusFrameView>& frames)
{
    std::vector<uint8_t> joined;
    for (const OpusFrameView& frame : frames)
        if (!appendOpusFrame(joined, frame.data, frame.size))
            return nullptr;
    RefPtr<ByteBuffer> buffer = new ByteBuffer(uint32_t(joined.size()));
    if (!joined.empty())
        std::memcpy(buffer->data(), joined.data(), joined.size());
    return buffer;
}

bool splitVoiceFrames(const ByteBuffer* data, std::vector<OpusFrameView>& frames)
{
    frames.clear();
    if (!data)
        return true;
    if (!splitOpusFrames(data->data(), data->size(), frames) || frames.size() > MaxVoiceFramesPerEvent) {
        frames.clear();
        return false;
    }
    return true;
}

// ---- numbering ----------------------------------------------------------------------

uint16_t VoiceFrameNumbers::take(uint32_t count, uint32_t nowMs, bool endsSpurt)
{
    if (!mInSpurt) {
        // The periods since the last spurt ran out pass unspoken. A spurt
        // starts when its first frames leave, a little after they were
        // said, which shifts every number of the spurt alike.
        mNext = uint16_t(mNext + uint32_t(nowMs - mEndMs) / OpusFrameMs);
        mInSpurt = true;
    }
    const uint16_t first = mNext;
    mNext = uint16_t(mNext + count);
    if (endsSpurt) {
        mInSpurt = false;
        mEndMs = nowMs;
    }
    return first;
}

// ---- repeating ----------------------------------------------------------------------

void VoiceFrameRepeat::sent(uint16_t sequence, const std::vector<OpusFrameView>& frames, bool endsSpurt)
{
    mFrame.clear();
    if (endsSpurt || frames.empty())
        return;
    appendOpusFrame(mFrame, frames.back().data, frames.back().size);
    mSequence = uint16_t(sequence + frames.size() - 1);
}

const std::vector<uint8_t>* VoiceFrameRepeat::before(uint16_t sequence) const
{
    if (mFrame.empty() || uint16_t(mSequence + 1) != sequence)
        return nullptr;
    return &mFrame;
}

uint32_t voiceBytesPerPacket(uint32_t packetBytes)
{
    // A frame of the lowest bitrate and its length, at least.
    constexpr uint32_t Least = OpusMinBitrate / 8 * OpusFrameMs / 1000 + 1;
    return std::max(packetBytes, Least);
}

bool voiceRepeatFits(uint32_t bytesPerSecond)
{
    // opusBitrateForLink gives one speaker two fifths of the link.
    return uint64_t(bytesPerSecond) * 8 * 2 / 5 >= 2 * uint64_t(opusBitrateForLink(bytesPerSecond));
}

// ---- batching --------------------------------------------------------------------------

bool VoiceFrameBatches::amend(uint64_t speaker, uint32_t codec, uint32_t sequence, bool endsSpurt,
                              const ByteBuffer& frames, uint32_t frameCount, bool repeats, uint32_t maxBytes,
                              uint32_t* skip)
{
    *skip = 0;
    auto it = mWaiting.find(speaker);
    if (it == mWaiting.end())
        return false;
    Waiting& w = it->second;
    // How many of these frames were posted here before (a repeat, or a
    // copy); below 0: a gap after the last one.
    const int32_t behind = int16_t(uint16_t(w.nextSequence - sequence));
    const uint32_t known = uint32_t(std::clamp<int32_t>(behind, 0, int32_t(frameCount)));
    uint32_t* first = nullptr;
    bool* ends = nullptr;
    RefPtr<ByteBuffer>* buffer = nullptr;
    std::vector<OpusFrameView> held, added;
    if (!w.event || !w.event->isAmendable() || w.codec != codec ||
        !voiceEventParts(w.event.get(), first, ends, buffer) || !*buffer ||
        !splitOpusFrames((*buffer)->data(), (*buffer)->size(), held) ||
        !splitOpusFrames(frames.data(), frames.size(), added) || added.size() != frameCount) {
        // Sent already: a new event, without the frames this receiver had
        // unless its link has room for repeats.
        if (!repeats)
            *skip = known;
        return false;
    }
    if (behind > int32_t(frameCount)) {
        // Older than what waits: late.
        mDropped += frameCount;
        return true;
    }
    if (behind < 0) {
        // A gap: what waits is older than these and still unsent.
        mDropped += uint32_t(held.size());
        held.clear();
        *first = uint16_t(sequence);
    }
    held.insert(held.end(), added.begin() + known, added.end());
    const size_t drop = overBudget(held, maxBytes);
    RefPtr<ByteBuffer> kept = framesBuffer(std::vector<OpusFrameView>(held.begin() + drop, held.end()));
    if (!kept)
        return false;
    *buffer = kept;
    *first = uint16_t(*first + drop);
    *ends = endsSpurt;
    w.frames = uint32_t(held.size() - drop);
    w.nextSequence = uint16_t(*first + w.frames);
    return true;
}

size_t VoiceFrameBatches::overBudget(const std::vector<OpusFrameView>& frames, uint32_t maxBytes)
{
    const size_t most = std::min<size_t>(maxBytes, RPCArg<RefPtr<ByteBuffer>>::MaxBytes);
    size_t drop = frames.size() > MaxWaitingVoiceFrames ? frames.size() - MaxWaitingVoiceFrames : 0;
    size_t bytes = 0;
    for (size_t i = drop; i < frames.size(); ++i)
        bytes += frames[i].size + (frames[i].size < 0x80 ? 1 : 2);
    for (; drop < frames.size() && bytes > most; ++drop)
        bytes -= frames[drop].size + (frames[drop].size < 0x80 ? 1 : 2);
    mDropped += uint32_t(drop);
    return drop;
}

void VoiceFrameBatches::posted(uint64_t speaker, RefPtr<RPCEvent> event, uint32_t codec, uint32_t sequence,
                               uint32_t frameCount)
{
    Waiting& w = mWaiting[speaker];
    w.event = std::move(event);
    w.codec = codec;
    w.nextSequence = uint16_t(sequence + frameCount);
    w.frames = frameCount;
}

// ---- playout ---------------------------------------------------------------------------

VoicePlayout::VoicePlayout(SFXObject* stream)
    : mBuffer(OpusFrameMs, VoiceFrameBatches::VoiceHorizonMs, OpusQuietFrameBytes), mStream(stream)
{
    if (mStream) {
        mStream->setVoiceRate(OpusSampleRate);
        mStream->setVoicePaced(true);
    }
}

VoicePlayout::~VoicePlayout() = default;

void VoicePlayout::receive(uint32_t sequence, bool endsSpurt, const std::vector<OpusFrameView>& frames, uint32_t nowMs)
{
    for (size_t i = 0; i < frames.size(); ++i) {
        const bool last = endsSpurt && i + 1 == frames.size();
        mBuffer.push(uint16_t(sequence + i), std::vector<uint8_t>(frames[i].data, frames[i].data + frames[i].size),
                     nowMs, last);
    }
    // A spurt's end that came without frames: the one before it ended it.
    // The buffer then stops after a few periods of concealment.
}

void VoicePlayout::play(const int16_t* samples, uint32_t count, std::vector<int16_t>* played)
{
    if (played)
        played->insert(played->end(), samples, samples + count);
    if (!mStream)
        return;
    if (mStream->queuedVoiceSamples() > PlayoutMostQueuedMs * (OpusSampleRate / 1000)) {
        ++mSkipped;
        return;
    }
    RefPtr<ByteBuffer> buffer = new ByteBuffer(count * 2);
    std::memcpy(buffer->data(), samples, size_t(count) * 2);
    mStream->queueVoiceSamples(buffer);
}

void VoicePlayout::service(uint32_t nowMs, std::vector<int16_t>* played)
{
    int16_t pcm[OpusMaxDecodedSamples];
    for (uint32_t guard = 0; guard < MaxCatchUpFrames; ++guard) {
        if (mRunning && int32_t(nowMs - mNextMs) < 0)
            return;
        // While running, each period is popped at its own time.
        const uint32_t at = mRunning ? mNextMs : nowMs;
        JitterBuffer::Output out = mBuffer.pop(at);
        uint32_t count = 0;
        switch (out.action) {
        case JitterBuffer::Action::Wait:
            mRunning = false;
            return;
        case JitterBuffer::Action::Play:
            count = mDecoder.decode(out.frame.data(), out.frame.size(), pcm);
            break;
        case JitterBuffer::Action::Conceal:
            count = mDecoder.conceal(pcm);
            break;
        case JitterBuffer::Action::ConcealFromNext:
            count = mDecoder.conceal(pcm, out.frame.data(), out.frame.size());
            break;
        }
        if (!mRunning) {
            // A spurt starts: a lead of silence keeps the stream from
            // running dry while the next period is not yet due.
            mRunning = true;
            mNextMs = at;
            const std::vector<int16_t> lead(OpusSampleRate / 1000 * PlayoutLeadMs, 0);
            play(lead.data(), uint32_t(lead.size()), nullptr);
        }
        mLimiter.apply(pcm, count);
        play(pcm, count, played);
        mNextMs += OpusFrameMs;
    }
    // Still behind after a stall: the periods missed are not played late.
    if (mRunning && int32_t(nowMs - mNextMs) >= 0)
        mNextMs = nowMs;
}

} // namespace seafold
