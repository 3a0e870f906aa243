#include "session/simpleeventconnection.h"
#include "session/connectiontrace.h"
#include "session/names.h"
#include "session/wireversion.h"

#include "net/passwordexchange.h"

#include <algorithm>
#include <cstdio>

namespace seafold {

SF_IMPLEMENT_NETCONNECTION(SimpleEventConnection);

namespace {

// Adds a delta to the first three (F64) arguments of a movement event still
// waiting: a client's own (three arguments) or a relayed one (with the
// mover's name). The sum must stay usable, or the receiver would drop it whole.
template <class... Args> bool addToMovement(RPCEvent* event, double dx, double dy, double dz)
{
    auto* values = event->arguments<Args...>();
    if (!values)
        return false;
    const double x = std::get<0>(*values) + dx, y = std::get<1>(*values) + dy, z = std::get<2>(*values) + dz;
    if (!isUsableMovement(x, y, z))
        return false;
    std::get<0>(*values) = x;
    std::get<1>(*values) = y;
    std::get<2>(*values) = z;
    return true;
}

bool amendMovement(Object* object, double dx, double dy, double dz)
{
    auto* event = static_cast<RPCEvent*>(object);
    if (!event->isAmendable())
        return false;
    if (event->arguments<double, double, double>())
        return addToMovement<double, double, double>(event, dx, dy, dz);
    return addToMovement<double, double, double, StringPtr>(event, dx, dy, dz);
}

} // namespace

SimpleEventConnection::SimpleEventConnection()
    : mMovements(amendMovement), mRelays([this](Relay& relay) { performRelay(relay); }, [this] { return relayShare(); })
{
}

SimpleEventConnection::~SimpleEventConnection() = default;

Session* SimpleEventConnection::session() const
{
    auto* sessionInterface = dynamic_cast<SessionInterface*>(netInterface());
    return sessionInterface ? &sessionInterface->session() : nullptr;
}

// ---- hooks -----------------------------------------------------------------------

void SimpleEventConnection::onEstablished()
{
    // Marks the connection as leading to the server or to a client, so that
    // a client can never make the server run a server-to-client call.
    EventConnection::onEstablished();
    Session* s = session();
    if (s && s->settings().pingIntervalMs)
        setPingTimeouts(s->settings().pingIntervalMs, DefaultPingRetries);
    if (!s)
        return;
    if (!connectParams().isInitiator) {
        // A sender back from the same host within a minute goes on with the
        // budget it left, not a full burst.
        RelayScheduler::Budget budget;
        if (s->relayShares().recall(address(), now(), &budget))
            mRelays.resume(budget);
        askForPassword();
        return;
    }
    // The server introduces everyone anew on every connection: what an
    // earlier one left in the roster would stand beside it under the same
    // names.
    s->roster().clear();
    s->reportConnectionState("connected", "");
}

// The client's connection to the server failed or ended: no sender may post
// on it any more.
void SimpleEventConnection::forgetServerConnection(const char* state, const char* reason)
{
    if (gConnectionToServer == this)
        gConnectionToServer = nullptr;
    if (Session* s = session())
        s->reportConnectionState(state, reason ? reason : "");
}

void SimpleEventConnection::onConnectFailed(uint32_t, const char* message)
{
    forgetServerConnection("failed", message);
}

void SimpleEventConnection::onDisconnected(uint32_t reason, const char* message)
{
    // A client does not react to losing the server beyond forgetting it,
    // and telling the user why the server ended it.
    if (connectParams().isInitiator) {
        if (reason == ReasonRemoteDisconnect && message && *message)
            showServerText((std::string("The server ended the connection: ") + message).c_str());
        forgetServerConnection("disconnected", message);
        return;
    }
    mRelays.drop();
    if (Session* s = session())
        s->relayShares().remember(address(), mRelays.budget(now()), now());
    ClientRecord* leaver = senderRecord();
    if (!leaver)
        return;
    // Leave sequence: tell everyone else, then drop the leaver's record.
    StringPtr name(leaver->name.c_str());
    const uint64_t leaverId = leaver->id;
    forEachOtherClient([&](SimpleEventConnection* other) {
        other->postAbout(leaverId, other->s2cclientDisconnect_build(name));
        other->mMovements.forget(leaverId);
        other->mOrientations.erase(leaverId);
    });
    session()->roster().removeRecord(leaver);
}

bool SimpleEventConnection::acceptPublicKey(AsymmetricKey* key, bool isInitiator)
{
    Session* s = session();
    if (!isInitiator || !s)
        return true;
    const std::string& expected = s->settings().serverKeyFingerprint;
    const std::string shown = keyFingerprint(key);
    std::string reason;
    if (!expected.empty() && shown != expected)
        reason = "The server's key fingerprint is " + shown + ", not " + expected +
                 " as given with --server-key: this may not be the server you meant";
    else if (expected.empty() && s->settings().serverKeyCheck)
        reason = s->settings().serverKeyCheck(address(), shown);
    if (reason.empty())
        return true;
    // Another key may be an impostor's. Waiting for the right one would only
    // end in a time-out that says nothing, so the attempt ends here.
    if (ConnectionOwner* owner = netInterface())
        owner->disconnect(this, ReasonSelfDisconnect, reason.c_str());
    return false;
}

void SimpleEventConnection::showServerText(const char* text)
{
    if (Session* s = session()) {
        s->reportServerText(text);
        return;
    }
    std::fprintf(stderr, "%s\n", text);
    std::fflush(stderr);
}

std::string SimpleEventConnection::peerText() const
{
    const uint32_t host = address().netNum[0];
    return std::to_string(host >> 24) + "." + std::to_string((host >> 16) & 255) + "." +
           std::to_string((host >> 8) & 255) + "." + std::to_string(host & 255) + ":" +
           std::to_string(address().port);
}

uint32_t SimpleEventConnection::now() const
{
    return netInterface() ? netInterface()->currentTime() : 0;
}

void SimpleEventConnection::prepareWritePacket()
{
    EventConnection::prepareWritePacket();
    // Once a send interval: what waits for this sender's fair share moves on.
    if (mRelays.holding())
        mRelays.release(now());
}

void SimpleEventConnection::rpcPosted(RPCEvent* event)
{
    // An unguaranteed event keeps no order with the others: a movement
    // posted before it may still take more.
    if (event->guaranteeType() != NetEvent::Unguaranteed)
        mMovements.notePosted();
}

ClientRecord* SimpleEventConnection::senderRecord() const
{
    Session* s = session();
    return s ? s->roster().findByConnection(this) : nullptr;
}

bool SimpleEventConnection::hasJoined() const
{
    Session* s = session();
    return !s || s->roster().findByConnection(this);
}

void SimpleEventConnection::forEachOtherClient(const std::function<void(SimpleEventConnection*)>& action)
{
    Session* s = session();
    if (!s)
        return;
    Roster& roster = s->roster();
    for (size_t i = 0; i < roster.size(); ++i)
        if (roster[i].connection && roster[i].connection != this)
            action(roster[i].connection);
}

// ---- roster ----------------------------------------------------------------------

SF_IMPLEMENT_RPC(SimpleEventConnection, c2sAddNewClient, GuaranteedOrdered, DirClientToServer, (StringPtr name))
{
    trace("c2sAddNewClient", name);
    Session* s = session();
    if (!s || mJoinHeld)
        return;
    // One join per connection: a second would leave a record behind that
    // outlives the connection.
    if (s->roster().findByConnection(this))
        return;
    // Every operation finds users by name: nobody may go without one, nor
    // with one that hides characters or speaks for the server.
    const NameVerdict verdict = checkUserName(name.c_str());
    if (!verdict.taken()) {
        s->reportNotice("Refused the name \"" + oneLineText(name.c_str()) + "\" from " + peerText() + ": " +
                        verdict.refusal);
        refuse(verdict.refusal.c_str());
        return;
    }
    const std::string banned = s->joinRefusal(address(), verdict.name);
    if (!banned.empty()) {
        refuse(banned.c_str());
        return;
    }
    // Behind a password nobody learns anything of the session before the
    // proof: the join waits for the answer (it follows the join on the
    // connection). A peer that cannot be asked cannot join.
    if (!s->settings().password.empty() && !mPasswordProven) {
        if (!mPasswordExchange) {
            refuse("A password is required");
            return;
        }
        mJoinHeld = true;
        mHeldJoinName = verdict.name;
        return;
    }
    join(verdict.name);
}

void SimpleEventConnection::join(const std::string& name)
{
    Session* s = session();
    if (!s)
        return;
    Roster& roster = s->roster();
    // Two users must never share a name, as it arrives.
    std::string unique = roster.uniqueName(name);
    const uint64_t newcomerId = roster.append(unique, this).id;
    StringPtr newcomer(unique.c_str());
    if (unique != name)
        sendServerNotice("Your name is in use here; you are now: " + unique);
    // The words are for the user; a peer that knows the call adopts the
    // name, and learns that it is in (past the password, say).
    if (speaksSeafold(*this))
        s2cYourName(newcomer);

    for (size_t i = 0; i < roster.size(); ++i) {
        ClientRecord& entry = roster[i];
        if (entry.connection != this) {
            if (SimpleEventConnection* other = entry.connection)
                other->postAbout(newcomerId, other->s2cIntroduceNewClient_build(newcomer));
            continue;
        }
        // The newcomer (always last) learns every earlier user and model.
        for (size_t j = 0; j < roster.size(); ++j) {
            ClientRecord& other = roster[j];
            if (&other == &entry)
                continue;
            StringPtr otherName(other.name.c_str());
            s2cIntroduceNewClient(otherName);
            if (other.hasEntity)
                s2cEntityNotify(StringPtr(other.entityName.c_str()), other.offsetX, other.offsetY, other.offsetZ,
                                otherName);
            if (other.turned)
                queueRelayedOrientation(other);
        }
    }
}

SF_IMPLEMENT_RPC(SimpleEventConnection, s2cIntroduceNewClient, GuaranteedOrdered, DirServerToClient, (StringPtr name))
{
    trace("s2cIntroduceNewClient", name);
    if (Session* s = session())
        s->roster().append(name.c_str(), nullptr);
}

SF_IMPLEMENT_RPC(SimpleEventConnection, s2cclientDisconnect, GuaranteedOrdered, DirServerToClient, (StringPtr name))
{
    trace("s2cclientDisconnect", name);
    if (Session* s = session()) {
        s->roster().removeClient(name.c_str());
        s->speakerVoices().forget(name.c_str());
    }
}

// ---- selection and movement ----------------------------------------------------------

SF_IMPLEMENT_RPC(SimpleEventConnection, c2sEntitySelection, GuaranteedOrdered, DirClientToServer,
                 (StringPtr entityName))
{
    trace("c2sEntitySelection", entityName);
    ClientRecord* sender = senderRecord();
    if (!sender)
        return;
    Relay relay;
    relay.kind = Relay::Selection;
    relay.entityName = entityName.c_str();
    relay.event = s2cEntityNotify_build(entityName, 0.0, 0.0, 0.0, StringPtr(sender->name.c_str()));
    if (!relay.event)
        return;
    relay.bytes = relayCost(relay.event);
    relayFromHere(std::move(relay));
}

SF_IMPLEMENT_RPC(SimpleEventConnection, s2cEntityNotify, GuaranteedOrdered, DirServerToClient,
                 (StringPtr entityName, double x, double y, double z, StringPtr clientName))
{
    trace("s2cEntityNotify", entityName, x, y, z, clientName);
    // A position that is no position shows the model at the origin.
    if (!isUsableMovement(x, y, z))
        x = y = z = 0;
    if (Session* s = session())
        s->roster().setClientEntity(entityName.c_str(), float(x), float(y), float(z), clientName.c_str());
}

SF_IMPLEMENT_RPC(SimpleEventConnection, c2smakeMovement, GuaranteedOrdered, DirClientToServer,
                 (double dx, double dy, double dz))
{
    trace("c2smakeMovement", dx, dy, dz);
    // Not-a-number or infinity is no movement: neither applied nor relayed.
    if (!senderRecord() || !isUsableMovement(dx, dy, dz))
        return;
    relayMovementFromHere(dx, dy, dz);
}

// Movements are deltas: one lost relay would displace a model for good in
// another user's scene, so the relay is delivered guaranteed and in order.
SF_IMPLEMENT_RPC(SimpleEventConnection, s2cmakeMovement, GuaranteedOrdered, DirServerToClient,
                 (double dx, double dy, double dz, StringPtr clientName))
{
    trace("s2cmakeMovement", dx, dy, dz, clientName);
    if (!isUsableMovement(dx, dy, dz))
        return;
    if (Session* s = session())
        s->roster().moveClient(float(dx), float(dy), float(dz), clientName.c_str());
}

// ---- voice -------------------------------------------------------------------------

const char* SimpleEventConnection::voiceSenderName() const
{
    ClientRecord* sender = senderRecord();
    return sender ? sender->name.c_str() : address().toText();
}

SF_IMPLEMENT_RPC(SimpleEventConnection, c2sVoice, GuaranteedOrdered, DirClientToServer,
                 (bool echoToSender, RefPtr<ByteBuffer> data, StringPtr speaker))
{
    trace("c2sVoice", echoToSender, data, speaker);
    Session* s = session();
    if (!s)
        return;
    // Who speaks is the server's to say: the roster's name of this
    // connection's user, never the name the message claims (a client could
    // otherwise speak as anyone, and be placed at their model). A
    // connection that never joined has no name and is not heard.
    ClientRecord* sender = senderRecord();
    if (!sender) {
        SF_LOG("LogVoice", "%s: voice from a connection that has not joined; dropped", name());
        return;
    }
    // The operator muted this user: neither played nor relayed.
    if (sender->muted)
        return;
    // Neither played nor relayed: a message longer than any tick's, or one
    // beyond what one sender may have relayed.
    if (!mVoice.admit(data, now(), voiceSenderName()))
        return;
    // The server plays every client's voice itself ...
    mVoice.play(data, voiceSenderName());
    if (data) {
        s->reportVoice(this, data);
        s->reportSpeaker(sender->name);
    }
    // ... and relays the compressed frames unchanged: one event object in
    // every other client's queue, within this sender's fair share.
    Relay relay;
    relay.event = s2cVoice_build(data, StringPtr(sender->name.c_str()));
    if (!relay.event)
        return;
    relay.echoToSender = echoToSender;
    relay.bytes = relayCost(relay.event);
    relayFromHere(std::move(relay));
}

// Each speaker through a decoder and a stream of its own: people talking at
// once are heard at once.
SF_IMPLEMENT_RPC(SimpleEventConnection, s2cVoice, GuaranteedOrdered, DirServerToClient,
                 (RefPtr<ByteBuffer> data, StringPtr speaker))
{
    trace("s2cVoice", data, speaker);
    Session* s = session();
    if (!s)
        return;
    s->speakerVoices().play(speaker.c_str(), data, s->roster());
    if (data)
        s->reportVoice(this, data);
    s->reportSpeaker(speaker.c_str());
}

} // namespace seafold
