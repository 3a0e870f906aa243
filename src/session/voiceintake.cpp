#include "session/voiceintake.h"
#include "session/relay.h"
#include "session/simpleeventconnection.h"
#include "session/voiceplayback.h"
#include "sound/sound.h"

namespace seafold {

void VoiceIntake::receive(bool echoToSender, const RefPtr<ByteBuffer>& data)
{
    Session* s = mConnection.session();
    if (!s)
        return;
    ClientRecord* sender = mConnection.senderRecord();
    if (!sender) {
        SF_LOG("LogVoice", "%s: voice from a connection that has not joined; dropped", mConnection.name());
        return;
    }
    // The operator muted this user: neither played nor relayed.
    if (sender->muted)
        return;
    // Neither played nor relayed: a message longer than any tick's, or one
    // beyond what one sender may have relayed.
    const char* who = sender->name.c_str();
    if (!mVoice.admit(data, mConnection.now(), who))
        return;
    // The server plays every client's voice itself ...
    mVoice.play(s->soundPool(), data, who);
    if (data) {
        s->reportVoice(&mConnection, data);
        s->reportSpeaker(sender->name);
    }
    // ... and relays the compressed frames unchanged: one event object in
    // every other client's queue, within this sender's fair share.
    RefPtr<RPCEvent> event = mConnection.s2cVoice_build(data, StringPtr(sender->name.c_str()));
    if (event)
        mConnection.senderRelays().relayVoice(event, echoToSender);
}

void VoiceIntake::receiveFrames(uint32_t codec, uint32_t sequence, bool endsSpurt, const RefPtr<ByteBuffer>& frames)
{
    Session* s = mConnection.session();
    ClientRecord* sender = mConnection.senderRecord();
    if (!s || !sender) {
        SF_LOG("LogVoice", "%s: voice from a connection that has not joined; dropped", mConnection.name());
        return;
    }
    std::vector<OpusFrameView> split;
    if (codec != uint32_t(VoiceCodecId::Opus) || !splitVoiceFrames(frames, split)) {
        SF_LOG("LogVoice", "Voice frames of %s dropped: not Opus frames", sender->name.c_str());
        return;
    }
    uint32_t stale = 0;
    if (!mVoice.admitFrames(sequence, split, mConnection.now(), sender->name.c_str(), &stale))
        return;
    RefPtr<ByteBuffer> relayed = frames;
    if (stale) {
        // Only what was admitted goes on.
        split.erase(split.begin(), split.begin() + stale);
        relayed = framesBuffer(split);
        if (!relayed || !splitVoiceFrames(relayed, split))
            return;
        sequence = uint16_t(sequence + stale);
    }
    UserAction action;
    action.kind = UserAction::VoiceFrames;
    action.data = relayed;
    action.frames = &split;
    action.sequence = sequence;
    action.endsSpurt = endsSpurt;
    action.voice = &mVoice;
    action.nowMs = voiceArrivalMs(s->soundPool());
    relayUserAction(*s, *sender, action);
}

void VoiceIntake::service(uint32_t nowMs)
{
    Session* s = mConnection.session();
    ClientRecord* sender = mConnection.senderRecord();
    // The LPC-10 made of this client's voice is its doing.
    EventConnection::PostingFor charged(&mConnection);
    if (s && sender)
        serviceRelayedVoice(*s, *sender, mVoice, nowMs);
}

} // namespace seafold
