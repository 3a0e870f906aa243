#include "session/simpleeventconnection.h"
#include "sound/sound.h"
#include "voice/voicecodec.h"

#include <cstdio>

#include <nlohmann/json.hpp>

namespace seafold {

SimpleEventConnection* gConnectionToServer = nullptr;

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

SimpleEventConnection::SimpleEventConnection()
    : voiceDecoder(new LPC10VoiceDecoder), voiceStream(new SFXObject(nullptr, 1.0f, 0, 0))
{
}

SimpleEventConnection::~SimpleEventConnection()
{
    if (gConnectionToServer == this)
        gConnectionToServer = nullptr;
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
    if (connectParams().isInitiator && s && s->onConnectionState)
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

void SimpleEventConnection::onDisconnected(uint32_t, const char* message)
{
    // A client does not react to losing the server beyond forgetting it.
    if (connectParams().isInitiator) {
        forgetServerConnection("disconnected", message);
        return;
    }
    ClientRecord* leaver = senderRecord();
    if (!leaver)
        return;
    // Leave sequence: tell everyone else, then drop the leaver's record.
    StringPtr name(leaver->name.c_str());
    forEachOtherClient([&](SimpleEventConnection* other) { other->s2cclientDisconnect(name); });
    session()->roster().removeRecord(leaver);
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
    // Every operation finds users by name: two users must never share one.
    std::string unique = roster.uniqueName(name.c_str());
    roster.append(unique, this);
    StringPtr newcomer(unique.c_str());

    for (size_t i = 0; i < roster.size(); ++i) {
        ClientRecord& entry = roster[i];
        if (entry.connection != this) {
            if (entry.connection)
                entry.connection->s2cIntroduceNewClient(newcomer);
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
    if (Session* s = session())
        s->roster().removeClient(name.c_str());
}

// ---- selection and movement ----------------------------------------------------------

SF_IMPLEMENT_RPC(SimpleEventConnection, c2sEntitySelection, GuaranteedOrdered, DirClientToServer,
                 (StringPtr entityName))
{
    trace("c2sEntitySelection", entityName);
    ClientRecord* sender = senderRecord();
    if (!sender)
        return;
    StringPtr senderName(sender->name.c_str());
    session()->roster().setClientEntity(entityName.c_str(), 0, 0, 0, sender->name);
    forEachOtherClient(
        [&](SimpleEventConnection* other) { other->s2cEntityNotify(entityName, 0.0, 0.0, 0.0, senderName); });
}

SF_IMPLEMENT_RPC(SimpleEventConnection, s2cEntityNotify, GuaranteedOrdered, DirServerToClient,
                 (StringPtr entityName, double x, double y, double z, StringPtr clientName))
{
    trace("s2cEntityNotify", entityName, x, y, z, clientName);
    if (Session* s = session())
        s->roster().setClientEntity(entityName.c_str(), float(x), float(y), float(z), clientName.c_str());
}

SF_IMPLEMENT_RPC(SimpleEventConnection, c2smakeMovement, GuaranteedOrdered, DirClientToServer,
                 (double dx, double dy, double dz))
{
    trace("c2smakeMovement", dx, dy, dz);
    ClientRecord* sender = senderRecord();
    if (!sender)
        return;
    StringPtr senderName(sender->name.c_str());
    session()->roster().moveClient(float(dx), float(dy), float(dz), sender->name);
    forEachOtherClient([&](SimpleEventConnection* other) { other->s2cmakeMovement(dx, dy, dz, senderName); });
}

// Movements are deltas: one lost relay would displace a model for good in
// another user's scene, so the relay is delivered guaranteed and in order.
SF_IMPLEMENT_RPC(SimpleEventConnection, s2cmakeMovement, GuaranteedOrdered, DirServerToClient,
                 (double dx, double dy, double dz, StringPtr clientName))
{
    trace("s2cmakeMovement", dx, dy, dz, clientName);
    if (Session* s = session())
        s->roster().moveClient(float(dx), float(dy), float(dz), clientName.c_str());
}

// ---- voice -------------------------------------------------------------------------

void SimpleEventConnection::playVoice(const ByteBuffer* data)
{
    if (!data || data->size() == 0)
        return;
    // Decoded even without sound, so the decoder's state follows the stream.
    RefPtr<ByteBuffer> samples = voiceDecoder->decodeBuffer(data);
    voiceStream->queueVoiceSamples(samples);
}

SF_IMPLEMENT_RPC(SimpleEventConnection, c2sVoice, GuaranteedOrdered, DirClientToServer,
                 (bool echoToSender, RefPtr<ByteBuffer> data, StringPtr speaker))
{
    trace("c2sVoice", echoToSender, data, speaker);
    Session* s = session();
    if (!s)
        return;
    // The server plays every client's voice itself ...
    playVoice(data);
    if (s->onVoice && data)
        s->onVoice(this, data);
    // ... and relays the compressed frames unchanged: one event object in
    // every other client's queue.
    RefPtr<RPCEvent> relay = s2cVoice_build(data, speaker);
    if (!relay)
        return;
    Roster& roster = s->roster();
    for (size_t i = 0; i < roster.size(); ++i) {
        SimpleEventConnection* target = roster[i].connection;
        if (target && (target != this || echoToSender))
            target->postEvent(relay);
    }
}

SF_IMPLEMENT_RPC(SimpleEventConnection, s2cVoice, GuaranteedOrdered, DirServerToClient,
                 (RefPtr<ByteBuffer> data, StringPtr speaker))
{
    trace("s2cVoice", data, speaker);
    playVoice(data);
    Session* s = session();
    if (s && s->onVoice && data)
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

SF_IMPLEMENT_RPC(SimpleEventConnection, rpcMessageServerToClient, GuaranteedOrdered, DirServerToClient,
                 (StringPtr message))
{
    trace("rpcMessageServerToClient", message);
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
