#include "session/relay.h"
#include "session/clientvoice.h"
#include "session/names.h"
#include "session/session.h"
#include "session/simpleeventconnection.h"
#include "session/wireversion.h"

#include <algorithm>

namespace seafold {

namespace {

// Runs `action` on the connection of every user but `sender` (the server's
// own user has none), in roster order.
template <class Action> void forEachReceiver(Session& session, const ClientRecord* sender, Action action)
{
    Roster& roster = session.roster();
    for (size_t i = 0; i < roster.size(); ++i)
        if (&roster[i] != sender)
            if (SimpleEventConnection* receiver = roster[i].connection)
                action(*receiver);
}

// What the user said of themselves and whether they run the server (the
// server's own user is the one without a connection), to a receiver that
// knows the call. Unmarked users go untold unless `always` (a change).
void tellMarks(SimpleEventConnection& receiver, const ClientRecord& user, bool always = false)
{
    const uint32_t marks = (user.marks & UserMarksOwn) | (user.connection ? 0u : uint32_t(UserMarkHost));
    if ((marks || always) && speaksSeafold(receiver))
        receiver.updates().postAbout(user.id, receiver.s2cUserMarks_build(StringPtr(user.name.c_str()), marks));
}

// The newcomer's name to everyone else, then (to a client) everyone else
// with their model, position and orientation: the others hear of the
// newcomer before the newcomer hears of them.
void relayJoin(Session& session, ClientRecord& newcomer)
{
    StringPtr name(newcomer.name.c_str());
    forEachReceiver(session, &newcomer, [&](SimpleEventConnection& receiver) {
        receiver.updates().postAbout(newcomer.id, receiver.s2cIntroduceNewClient_build(name));
        tellMarks(receiver, newcomer);
    });
    SimpleEventConnection* connection = newcomer.connection;
    if (!connection)
        return;
    Roster& roster = session.roster();
    for (size_t j = 0; j < roster.size(); ++j) {
        ClientRecord& other = roster[j];
        if (&other == &newcomer)
            continue;
        StringPtr otherName(other.name.c_str());
        connection->s2cIntroduceNewClient(otherName);
        tellMarks(*connection, other);
        if (other.hasEntity)
            connection->s2cEntityNotify(StringPtr(other.entityName.c_str()), other.offsetX, other.offsetY,
                                        other.offsetZ, otherName);
        if (other.turned)
            connection->updates().queueOrientation(other);
    }
}

// Every other user is told, and forgets everything kept about the leaver;
// then the leaver's entry goes.
void relayLeave(Session& session, ClientRecord& leaver)
{
    StringPtr name(leaver.name.c_str());
    const uint64_t leaverId = leaver.id;
    forEachReceiver(session, &leaver, [&](SimpleEventConnection& receiver) {
        receiver.updates().postAbout(leaverId, receiver.s2cclientDisconnect_build(name));
        receiver.updates().forget(leaverId);
    });
    session.roster().removeRecord(&leaver);
}

// One event object for every receiver `wanted` picks (it sits in several
// queues at once, being counted), built by the first of them unless given.
template <class Build, class Wanted>
void postToEach(Session& session, const ClientRecord& sender, bool withSender, RefPtr<RPCEvent> event, Build build,
                Wanted wanted)
{
    forEachReceiver(session, withSender ? nullptr : &sender, [&](SimpleEventConnection& receiver) {
        if (!wanted(receiver))
            return;
        if (!event)
            event = build(receiver);
        if (event)
            receiver.updates().postAbout(sender.id, event);
    });
}

bool everyone(SimpleEventConnection&)
{
    return true;
}

bool seafoldPeer(SimpleEventConnection& receiver)
{
    return speaksSeafold(receiver);
}

bool basePeer(SimpleEventConnection& receiver)
{
    return !speaksSeafold(receiver);
}

void relayVoiceFrames(Session& session, ClientRecord& speaker, const UserAction& action)
{
    // The server plays every client's voice itself; its own user's only
    // (silently) for what peers of version 0 hear of it.
    ClientVoice* voice = action.voice;
    if (voice && action.frames && (voice->heardHere() || hasBaseListeners(session, speaker) || voice->playout()))
        voice->playFrames(session.soundPool(), action.sequence, action.endsSpurt, *action.frames, action.nowMs);
    const uint32_t count = action.frames ? uint32_t(action.frames->size()) : 0;
    if (count)
        session.reportSpeaker(speaker.name);
    if (!action.data)
        return;
    forEachReceiver(session, &speaker, [&](SimpleEventConnection& receiver) {
        if (speaksSeafold(receiver))
            receiver.updates().queueVoiceFrames(speaker, action.sequence, action.endsSpurt, *action.data, count);
    });
}

void relayChat(Session& session, ClientRecord& sender, const UserAction& action)
{
    // A line shows on one line, and shows everything it holds, whoever sent
    // it (the senders' own checks tell them why).
    if (!chatLineRefusal(action.text).empty())
        return;
    // The line of the process's own user is shown where it was typed.
    if (!sender.local)
        session.reportChat(sender.name, action.text);
    RefPtr<ByteBuffer> data = new ByteBuffer(uint32_t(action.text.size()));
    std::copy(action.text.begin(), action.text.end(), data->data());
    StringPtr name(sender.name.c_str());
    postToEach(
        session, sender, false, nullptr, [&](SimpleEventConnection& r) { return r.s2cChat_build(name, data); },
        seafoldPeer);
}

} // namespace

void relayUserAction(Session& session, ClientRecord& sender, const UserAction& action)
{
    StringPtr name(sender.name.c_str());
    const Orientation& o = action.orientation;
    // Muted by the operator, the server's own user as any other: the voice
    // is neither played here nor relayed, in either codec, to anyone.
    const bool voice = action.kind == UserAction::Voice || action.kind == UserAction::VoiceFrames ||
                       action.kind == UserAction::TranscodedVoice;
    if (voice && sender.muted)
        return;
    switch (action.kind) {
    case UserAction::Join:
        return relayJoin(session, sender);
    case UserAction::Leave:
        return relayLeave(session, sender);
    case UserAction::Select: {
        session.roster().setClientEntity(action.text, 0, 0, 0, sender.name);
        StringPtr model(action.text.c_str());
        return postToEach(
            session, sender, false, action.event,
            [&](SimpleEventConnection& r) { return r.s2cEntityNotify_build(model, 0.0, 0.0, 0.0, name); }, everyone);
    }
    case UserAction::Move:
        if (!isUsableMovement(action.dx, action.dy, action.dz))
            return;
        session.roster().moveClient(float(action.dx), float(action.dy), float(action.dz), sender.name);
        return forEachReceiver(session, &sender, [&](SimpleEventConnection& receiver) {
            receiver.updates().queueMovement(sender, action.dx, action.dy, action.dz);
        });
    case UserAction::Turn:
        if (!isUsableOrientation(o.w, o.x, o.y, o.z))
            return;
        session.roster().turnClient(unitOrientation(o.w, o.x, o.y, o.z), sender.name);
        return forEachReceiver(session, &sender,
                               [&](SimpleEventConnection& receiver) { receiver.updates().queueOrientation(sender); });
    case UserAction::Voice:
        return postToEach(
            session, sender, action.echoToSender, action.event,
            [&](SimpleEventConnection& r) { return r.s2cVoice_build(action.data, name); }, everyone);
    case UserAction::TranscodedVoice:
        return postToEach(
            session, sender, false, action.event,
            [&](SimpleEventConnection& r) { return r.s2cVoice_build(action.data, name); }, basePeer);
    case UserAction::VoiceFrames:
        return relayVoiceFrames(session, sender, action);
    case UserAction::Chat:
        return relayChat(session, sender, action);
    case UserAction::Marks: {
        uint32_t marks = action.marks & UserMarksOwn;
        if (marks & UserMarkDeafened)
            marks |= UserMarkMuted;
        if (marks == sender.marks)
            return;
        sender.marks = marks;
        return forEachReceiver(session, &sender,
                               [&](SimpleEventConnection& receiver) { tellMarks(receiver, sender, true); });
    }
    }
}

void serviceRelayedVoice(Session& session, ClientRecord& sender, ClientVoice& voice, uint32_t nowMs)
{
    // Encoded again only while anybody needs it.
    UserAction action;
    action.kind = UserAction::TranscodedVoice;
    action.data = voice.service(nowMs, hasBaseListeners(session, sender));
    if (action.data && action.data->size())
        relayUserAction(session, sender, action);
}

bool hasBaseListeners(Session& session, const ClientRecord& sender)
{
    bool any = false;
    forEachReceiver(session, &sender, [&](SimpleEventConnection& receiver) { any = any || !speaksSeafold(receiver); });
    return any;
}

SimpleEventConnection* slowestSeafoldReceiver(Session& session, const ClientRecord* sender)
{
    SimpleEventConnection* slowest = nullptr;
    double slowestBytesPerSecond = 0;
    forEachReceiver(session, sender, [&](SimpleEventConnection& receiver) {
        if (!speaksSeafold(receiver))
            return;
        const double bytesPerSecond =
            double(receiver.packetSize()) * 1000.0 / double(std::max<uint32_t>(receiver.sendInterval(), 1));
        if (!slowest || bytesPerSecond < slowestBytesPerSecond) {
            slowest = &receiver;
            slowestBytesPerSecond = bytesPerSecond;
        }
    });
    return slowest;
}

} // namespace seafold
