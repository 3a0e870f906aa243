#include "session/simpleeventconnection.h"
#include "sound/sound.h"
#include "voice/voicecodec.h"

#include <algorithm>
#include <cstdio>

#include <nlohmann/json.hpp>

namespace seafold {

WeakRef<SimpleEventConnection> gConnectionToServer;

SF_IMPLEMENT_NETCONNECTION(SimpleEventConnection);

// ---- arguments as JSON ------------------------------------------------------------------

namespace {

Json argumentJson(const StringPtr& value)
{
    return jsonText(value.c_str());
}

Json argumentJson(double value)
{
    return value;
}

Json argumentJson(int32_t value)
{
    return value;
}

Json argumentJson(bool value)
{
    return value;
}

Json argumentJson(const RefPtr<ByteBuffer>& value)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    if (value) {
        for (uint32_t i = 0; i < value->size(); ++i) {
            out += digits[value->data()[i] >> 4];
            out += digits[value->data()[i] & 15];
        }
    }
    return out;
}

Json argumentJson(const std::vector<int32_t>& value)
{
    return Json(value);
}

} // namespace

template <class... Args> void SimpleEventConnection::trace(const char* rpc, const Args&... args)
{
    Session* s = session();
    if (!s || !s->onRpc)
        return;
    Json json = Json::array();
    (json.push_back(argumentJson(args)), ...);
    s->onRpc(rpc, json);
}

SimpleEventConnection::SimpleEventConnection() = default;

SimpleEventConnection::~SimpleEventConnection() = default;

SessionInterface::~SessionInterface()
{
    while (!pendingConnections().empty()) {
        RefPtr<NetConnection> connection = pendingConnections().front();
        disconnect(connection, ReasonSelfDisconnect, "Shutdown");
        if (!pendingConnections().empty() && pendingConnections().front() == connection)
            removePendingConnection(connection);
    }
    while (!connections().empty()) {
        RefPtr<NetConnection> connection = connections().front();
        disconnect(connection, ReasonSelfDisconnect, "Shutdown");
        if (!connections().empty() && connections().front() == connection)
            removeConnection(connection); // a hook changed its state: drop it anyway
    }
}

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
    if (s && s->pingIntervalMs)
        setPingTimeouts(s->pingIntervalMs, DefaultPingRetries);
    if (!connectParams().isInitiator || !s)
        return;
    // The server introduces everyone anew on every connection: what an
    // earlier one left in the roster would stand beside it under the same
    // names.
    s->roster().clear();
    if (s->onConnectionState)
        s->onConnectionState("connected", "");
}

// The client's connection to the server failed or ended: no sender may post
// on it any more.
void SimpleEventConnection::forgetServerConnection(const char* state, const char* reason)
{
    Session* s = session();
    if (s && s->connectionToServer == this)
        s->connectionToServer = nullptr;
    if (gConnectionToServer == this)
        gConnectionToServer = nullptr;
    if (s && s->onConnectionState)
        s->onConnectionState(state, reason ? reason : "");
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
    dropHeldRelays();
    ClientRecord* leaver = senderRecord();
    if (!leaver)
        return;
    // Leave sequence: tell everyone else, then drop the leaver's record.
    StringPtr name(leaver->name.c_str());
    const uint64_t leaverId = leaver->id;
    forEachOtherClient([&](SimpleEventConnection* other) {
        other->postAbout(leaverId, other->s2cclientDisconnect_build(name));
        other->mRelayedMovements.erase(leaverId);
    });
    session()->roster().removeRecord(leaver);
}

bool SimpleEventConnection::acceptPublicKey(AsymmetricKey* key, bool isInitiator)
{
    Session* s = session();
    if (!isInitiator || !s || s->serverKeyFingerprint.empty())
        return true;
    std::string shown = keyFingerprint(key);
    if (shown == s->serverKeyFingerprint)
        return true;
    // Another key may be an impostor's. Waiting for the right one would only
    // end in a time-out that says nothing, so the attempt ends here.
    std::string reason = "The server's key fingerprint is " + shown + ", not " + s->serverKeyFingerprint +
                         " as given with --server-key: this may not be the server you meant";
    if (ConnectionOwner* owner = netInterface())
        owner->disconnect(this, ReasonSelfDisconnect, reason.c_str());
    return false;
}

void SimpleEventConnection::showServerText(const char* text)
{
    Session* s = session();
    if (s && s->onServerText) {
        s->onServerText(text);
        return;
    }
    std::fprintf(stderr, "%s\n", text);
    std::fflush(stderr);
}

void SimpleEventConnection::prepareWritePacket()
{
    EventConnection::prepareWritePacket();
    // Once a send interval: what waits for this sender's fair share moves on.
    if (relayHeldBack())
        releaseHeldRelays();
}

void SimpleEventConnection::rpcPosted(RPCEvent*)
{
    if (mPostingPending)
        return;
    if (mPostingAbout) {
        auto pending = mRelayedMovements.find(mPostingAbout);
        if (pending != mRelayedMovements.end())
            pending->second.event = nullptr;
        return;
    }
    ++mPostEpoch;
}

bool SimpleEventConnection::postAbout(uint64_t userId, NetEvent* event)
{
    mPostingAbout = userId;
    const bool posted = postEvent(event);
    mPostingAbout = 0;
    return posted;
}

// ---- coalesced movement ---------------------------------------------------------------

namespace {

// Adds a delta to the first three (F64) arguments of a movement event. The
// sum must stay usable, or the receiver would drop it whole.
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

} // namespace

template <class Add, class Build>
bool SimpleEventConnection::coalesceMovement(PendingMovement& pending, double dx, double dy, double dz, Add add,
                                             Build build)
{
    if (pending.event && pending.epoch == mPostEpoch && pending.event->isAmendable() &&
        add(pending.event.get(), dx, dy, dz))
        return true;
    pending.event = build();
    if (!pending.event)
        return false;
    mPostingPending = true;
    const bool posted = postEvent(pending.event);
    mPostingPending = false;
    if (!posted) {
        pending.event = nullptr;
        return false;
    }
    pending.epoch = mPostEpoch;
    return true;
}

bool SimpleEventConnection::sendMovement(double dx, double dy, double dz)
{
    if (!isUsableMovement(dx, dy, dz))
        return false;
    return coalesceMovement(mOwnMovement, dx, dy, dz, addToMovement<double, double, double>,
                            [&] { return c2smakeMovement_build(dx, dy, dz); });
}

void SimpleEventConnection::queueRelayedMovement(const ClientRecord& mover, double dx, double dy, double dz)
{
    coalesceMovement(mRelayedMovements[mover.id], dx, dy, dz, addToMovement<double, double, double, StringPtr>,
                     [&] { return s2cmakeMovement_build(dx, dy, dz, StringPtr(mover.name.c_str())); });
}

// ---- fair share of the relay ------------------------------------------------------------
//
// Everything the server relays from one client goes through that client's
// budget, refilled with its fair share of the send rate. Beyond it the
// relays wait here, in order, instead of in every other client's queue, and
// move on as the budget refills; a client that keeps sending faster is
// ended once MaxHeldRelayBytes are held. Movements cost nothing (each user
// has at most one waiting per receiver), but queue behind held relays so
// that nothing overtakes.

size_t SimpleEventConnection::relayCost(RPCEvent* event) const
{
    BitStream scratch;
    event->pack(const_cast<SimpleEventConnection*>(this), scratch);
    return scratch.bytePosition() + RelayEventOverheadBytes;
}

void SimpleEventConnection::refillRelayBudget()
{
    const uint32_t now = netInterface() ? netInterface()->currentTime() : 0;
    if (!mBudgetStarted) {
        mBudgetStarted = true;
        mBudgetTime = now;
    }
    const double elapsedMs = double(uint32_t(now - mBudgetTime));
    mBudgetTime = now;
    // The slowest receiver's capacity, shared among the senders it hears.
    double capacity = -1;
    size_t others = 0;
    forEachOtherClient([&](SimpleEventConnection* other) {
        ++others;
        const uint32_t interval = std::max<uint32_t>(other->sendInterval(), 1);
        const double bytesPerSecond = double(other->packetSize()) * 1000.0 / double(interval);
        if (capacity < 0 || bytesPerSecond < capacity)
            capacity = bytesPerSecond;
    });
    const double share =
        std::max(FairRelayFloorBytesPerSecond, std::max(capacity, 0.0) / double(std::max<size_t>(others, 1)));
    mRelayBudget = std::min(FairRelayBurstBytes, mRelayBudget + elapsedMs * share / 1000.0);
}

void SimpleEventConnection::relayFromHere(HeldRelay relay)
{
    if (relay.bytes == 0 && !relayHeldBack()) {
        performRelay(relay);
        return;
    }
    refillRelayBudget();
    if (!relayHeldBack() && (relay.bytes == 0 || mRelayBudget > 0)) {
        mRelayBudget -= double(relay.bytes);
        performRelay(relay);
        return;
    }
    mHeldBytes += relay.bytes + sizeof(HeldRelay);
    mHeldRelays.push_back(std::move(relay));
    if (mHeldBytes > MaxHeldRelayBytes) {
        SF_LOG("LogSession", "%s: %zu bytes of relays held back; sender ended", name(), mHeldBytes);
        dropHeldRelays();
        setError("Send queue overflow");
    }
}

void SimpleEventConnection::relayMovementFromHere(double dx, double dy, double dz)
{
    if (relayHeldBack()) {
        HeldRelay& last = mHeldRelays.back();
        if (last.kind == HeldRelay::Movement && isUsableMovement(last.dx + dx, last.dy + dy, last.dz + dz)) {
            last.dx += dx;
            last.dy += dy;
            last.dz += dz;
            return;
        }
    }
    HeldRelay relay;
    relay.kind = HeldRelay::Movement;
    relay.dx = dx;
    relay.dy = dy;
    relay.dz = dz;
    relayFromHere(std::move(relay));
}

void SimpleEventConnection::releaseHeldRelays()
{
    refillRelayBudget();
    while (!mHeldRelays.empty() && (mHeldRelays.front().bytes == 0 || mRelayBudget > 0)) {
        HeldRelay relay = std::move(mHeldRelays.front());
        mHeldRelays.pop_front();
        mHeldBytes -= relay.bytes + sizeof(HeldRelay);
        mRelayBudget -= double(relay.bytes);
        performRelay(relay);
    }
}

void SimpleEventConnection::dropHeldRelays()
{
    mHeldRelays.clear();
    mHeldBytes = 0;
}

// Applies a relay to the server's own scene and posts it to the others as
// the roster stands now (a client that joined meanwhile learnt the state
// before it from its introduction).
void SimpleEventConnection::performRelay(HeldRelay& relay)
{
    Session* s = session();
    ClientRecord* sender = senderRecord();
    if (!s)
        return;
    switch (relay.kind) {
    case HeldRelay::Movement:
        if (!sender)
            return;
        s->roster().moveClient(float(relay.dx), float(relay.dy), float(relay.dz), sender->name);
        forEachOtherClient(
            [&](SimpleEventConnection* other) { other->queueRelayedMovement(*sender, relay.dx, relay.dy, relay.dz); });
        return;
    case HeldRelay::Selection:
        if (!sender)
            return;
        s->roster().setClientEntity(relay.entityName, 0, 0, 0, sender->name);
        forEachOtherClient([&](SimpleEventConnection* other) { other->postAbout(sender->id, relay.event); });
        return;
    case HeldRelay::Event: {
        Roster& roster = s->roster();
        for (size_t i = 0; i < roster.size(); ++i) {
            SimpleEventConnection* target = roster[i].connection;
            if (target && (target != this || relay.echoToSender)) {
                if (sender)
                    target->postAbout(sender->id, relay.event);
                else
                    target->postEvent(relay.event);
            }
        }
        return;
    }
    }
}

ClientRecord* SimpleEventConnection::senderRecord() const
{
    Session* s = session();
    return s ? s->roster().findByConnection(this) : nullptr;
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
    if (!s)
        return;
    Roster& roster = s->roster();
    // One join per connection: a second would leave a record behind that
    // outlives the connection.
    if (roster.findByConnection(this))
        return;
    // Every operation finds users by name: nobody may go without one ...
    if (name.length() == 0) {
        setError("A name is required");
        return;
    }
    // ... and two users must never share one, as it arrives.
    std::string unique = roster.uniqueName(name.c_str());
    const uint64_t newcomerId = roster.append(unique, this).id;
    StringPtr newcomer(unique.c_str());
    if (unique != name.c_str())
        rpcMessageServerToClient(
            StringPtr(fitUtf8("Your name is in use here; you are now: " + unique, MaxNameBytes).c_str()));

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
        s->speakerVoices.forget(name.c_str());
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
    HeldRelay relay;
    relay.kind = HeldRelay::Selection;
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

void SimpleEventConnection::playVoice(const ByteBuffer* data)
{
    if (!data || data->size() == 0)
        return;
    if (!voiceDecoder) {
        voiceDecoder = new LPC10VoiceDecoder;
        voiceStream = new SFXObject(nullptr, 1.0f, 0, 0);
    }
    playVoiceMessage(*voiceDecoder, *voiceStream, data, voiceSenderName());
}

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
    // Neither played nor relayed: a message longer than any tick's, or one
    // beyond what one sender may have relayed.
    if (!voiceMessageFits(data, voiceSenderName()) ||
        !voiceAllowance.admit(voiceMessageSamples(data), netInterface()->currentTime(), voiceSenderName()))
        return;
    // The server plays every client's voice itself ...
    playVoice(data);
    if (s->onVoice && data)
        s->onVoice(this, data);
    // ... and relays the compressed frames unchanged: one event object in
    // every other client's queue, within this sender's fair share.
    HeldRelay relay;
    relay.event = s2cVoice_build(data, speaker);
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
    s->speakerVoices.play(speaker.c_str(), data, s->roster());
    if (s->onVoice && data)
        s->onVoice(this, data);
}

// ---- messages and echo calls -----------------------------------------------------------

SF_IMPLEMENT_RPC(SimpleEventConnection, s2cBroadcastMessage, GuaranteedOrdered, DirServerToClient, ())
{
    trace("s2cBroadcastMessage");
    std::printf("Serverdan mesaj var biri baglandi herhal\n");
    std::fflush(stdout);
}

SF_IMPLEMENT_RPC(SimpleEventConnection, rpcMessageClientToServer, GuaranteedOrdered, DirClientToServer,
                 (StringPtr message))
{
    trace("rpcMessageClientToServer", message);
    rpcMessageServerToClient(StringPtr("Hello, World!"));
}

// The server's words for the user (a changed name, for one).
SF_IMPLEMENT_RPC(SimpleEventConnection, rpcMessageServerToClient, GuaranteedOrdered, DirServerToClient,
                 (StringPtr message))
{
    trace("rpcMessageServerToClient", message);
    if (message.length())
        showServerText(message.c_str());
}

SF_IMPLEMENT_RPC(SimpleEventConnection, rpcCoorClientToServer, GuaranteedOrdered, DirClientToServer,
                 (int32_t a, int32_t b, StringPtr tag))
{
    trace("rpcCoorClientToServer", a, b, tag);
    rpcCoorServerToClient(a, b);
}

SF_IMPLEMENT_RPC(SimpleEventConnection, rpcCoorServerToClient, GuaranteedOrdered, DirServerToClient,
                 (int32_t a, int32_t b))
{
    trace("rpcCoorServerToClient", a, b);
}

SF_IMPLEMENT_RPC(SimpleEventConnection, rpcStructClientToServer, GuaranteedOrdered, DirClientToServer,
                 (RefPtr<ByteBuffer> data, StringPtr tag))
{
    trace("rpcStructClientToServer", data, tag);
    rpcStructServerToClient(data);
}

SF_IMPLEMENT_RPC(SimpleEventConnection, rpcStructServerToClient, GuaranteedOrdered, DirServerToClient,
                 (RefPtr<ByteBuffer> data))
{
    trace("rpcStructServerToClient", data);
}

SF_IMPLEMENT_RPC(SimpleEventConnection, rpcStreamClientToServer, GuaranteedOrdered, DirClientToServer,
                 (std::vector<int32_t> values, StringPtr tag))
{
    trace("rpcStreamClientToServer", values, tag);
    rpcStreamServerToClient(values);
}

SF_IMPLEMENT_RPC(SimpleEventConnection, rpcStreamServerToClient, GuaranteedOrdered, DirServerToClient,
                 (std::vector<int32_t> values))
{
    trace("rpcStreamServerToClient", values);
}

} // namespace seafold
