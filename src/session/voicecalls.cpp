// Voice between peers that both speak version 1 of the wire: Opus frames,
// numbered per speaker (voiceframes.h).
//
// These calls are unguaranteed on purpose. Voice is only worth hearing on
// time: a frame lost on the way would be resent a round trip or more later,
// long after its turn in the listener's playout, and a resent frame would
// hold up every frame queued behind it. So a lost frame is not resent; the
// listener's playout conceals it (from the next frame's forward error
// correction where it can) and plays on.
//
// The server plays every client's frames itself and passes them on
// unchanged, under the sender's roster name, to every other client that
// speaks version 1; those that know only version 0 get the same speech in
// LPC-10 with the specified s2cVoice, from serviceVoice.
#include <cstring>

#include "session/connectiontrace.h"
#include "session/simpleeventconnection.h"
#include "session/wireversion.h"
#include "sound/sound.h"

namespace seafold {

namespace {

// The frames as a buffer of their own: the caller's may change, and a
// waiting event takes more frames in place.
RefPtr<ByteBuffer> copyOf(const ByteBuffer& frames)
{
    RefPtr<ByteBuffer> copy = new ByteBuffer(frames.size());
    if (frames.size()) // an end of spurt may come with no frame
        std::memcpy(copy->data(), frames.data(), frames.size());
    return copy;
}

} // namespace

bool SimpleEventConnection::sendVoiceFrames(const RefPtr<ByteBuffer>& frames, bool endsSpurt)
{
    // A server of version 0 would refuse the call: its frames are not sent.
    if (!frames || !speaksSeafold(*this))
        return false;
    std::vector<OpusFrameView> split;
    if (!splitVoiceFrames(frames, split))
        return false;
    if (split.empty() && !endsSpurt)
        return true;
    const uint32_t count = uint32_t(split.size());
    const uint16_t sequence = mVoiceNumbers.take(count, soundTime(), endsSpurt);
    const uint32_t codec = uint32_t(VoiceCodecId::Opus);
    const std::vector<uint8_t>* repeat =
        voiceRepeatFits(linkBytesPerSecond(*this)) ? mVoiceRepeat.before(sequence) : nullptr;
    mVoiceRepeat.sent(sequence, split, endsSpurt);
    // Joined to a waiting event, the frame before these is in it already.
    if (mVoiceBatches.amend(0, codec, sequence, endsSpurt, *frames, count))
        return true;
    RefPtr<ByteBuffer> buffer = copyOf(*frames);
    uint16_t first = sequence;
    if (repeat && buffer->resize(uint32_t(repeat->size() + frames->size()))) {
        std::memcpy(buffer->data(), repeat->data(), repeat->size());
        if (frames->size())
            std::memcpy(buffer->data() + repeat->size(), frames->data(), frames->size());
        first = uint16_t(sequence - 1);
    }
    RefPtr<RPCEvent> event = c2sVoiceFrames_build(codec, first, endsSpurt, buffer);
    if (!event || !postEvent(event))
        return false;
    mVoiceBatches.posted(0, event, codec, first, uint32_t(uint16_t(sequence - first)) + count);
    return true;
}

SF_IMPLEMENT_SEAFOLD_RPC(SimpleEventConnection, c2sVoiceFrames, Unguaranteed, DirClientToServer,
                         (uint32_t codec, uint32_t sequence, bool endsSpurt, RefPtr<ByteBuffer> frames))
{
    trace("c2sVoiceFrames", codec, sequence, endsSpurt, frames);
    Session* s = session();
    ClientRecord* sender = senderRecord();
    if (!s || !sender) {
        SF_LOG("LogVoice", "%s: voice from a connection that has not joined; dropped", name());
        return;
    }
    // The operator muted this user: neither played here, nor relayed in
    // either codec, to anyone.
    if (sender->muted)
        return;
    std::vector<OpusFrameView> split;
    if (codec != uint32_t(VoiceCodecId::Opus) || !splitVoiceFrames(frames, split)) {
        SF_LOG("LogVoice", "Voice frames of %s dropped: not Opus frames", sender->name.c_str());
        return;
    }
    const uint32_t count = uint32_t(split.size());
    if (!mVoice.admitFrames(sequence, count, now(), sender->name.c_str()))
        return;
    mVoice.playFrames(sequence, endsSpurt, split, soundTime());
    if (count)
        s->reportSpeaker(sender->name);
    forEachOtherClient([&](SimpleEventConnection* other) {
        if (speaksSeafold(*other) && frames)
            other->queueVoiceFrames(*sender, sequence, endsSpurt, *frames, count);
    });
}

void SimpleEventConnection::queueVoiceFrames(const ClientRecord& speaker, uint32_t sequence, bool endsSpurt,
                                             const ByteBuffer& frames, uint32_t frameCount)
{
    const uint32_t codec = uint32_t(VoiceCodecId::Opus);
    if (mVoiceBatches.amend(speaker.id, codec, sequence, endsSpurt, frames, frameCount))
        return;
    RefPtr<RPCEvent> event =
        s2cVoiceFrames_build(codec, sequence, endsSpurt, copyOf(frames), StringPtr(speaker.name.c_str()));
    if (event && postEvent(event))
        mVoiceBatches.posted(speaker.id, event, codec, sequence, frameCount);
}

SF_IMPLEMENT_SEAFOLD_RPC(SimpleEventConnection, s2cVoiceFrames, Unguaranteed, DirServerToClient,
                         (uint32_t codec, uint32_t sequence, bool endsSpurt, RefPtr<ByteBuffer> frames,
                          StringPtr speaker))
{
    trace("s2cVoiceFrames", codec, sequence, endsSpurt, frames, speaker);
    Session* s = session();
    std::vector<OpusFrameView> split;
    if (!s || codec != uint32_t(VoiceCodecId::Opus) || !splitVoiceFrames(frames, split))
        return;
    s->speakerVoices().playFrames(speaker.c_str(), sequence, endsSpurt, split, s->roster());
    if (!split.empty())
        s->reportSpeaker(speaker.c_str());
}

void SimpleEventConnection::serviceVoice(uint32_t nowMs)
{
    ClientRecord* sender = senderRecord();
    if (!sender)
        return;
    // Encoded again only while anybody needs it.
    bool baseListeners = false;
    forEachOtherClient([&](SimpleEventConnection* other) { baseListeners = baseListeners || !speaksSeafold(*other); });
    RefPtr<ByteBuffer> lpc = mVoice.service(nowMs, baseListeners);
    if (!lpc || lpc->size() == 0)
        return;
    // One event for every receiver of version 0, as a relay of c2sVoice is.
    RefPtr<RPCEvent> event = s2cVoice_build(lpc, StringPtr(sender->name.c_str()));
    if (!event)
        return;
    const uint64_t speaker = sender->id;
    forEachOtherClient([&](SimpleEventConnection* other) {
        if (!speaksSeafold(*other))
            other->postAbout(speaker, event);
    });
}

} // namespace seafold
