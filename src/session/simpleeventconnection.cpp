// The connection's hooks and the calls of version 0, each handed to the
// part that owns it (see simpleeventconnection.h).
#include "session/simpleeventconnection.h"
#include "session/connectiontrace.h"
#include "session/wireversion.h"
#include "sound/sound.h"

namespace seafold {

SF_IMPLEMENT_NETCONNECTION(SimpleEventConnection);

SimpleEventConnection::SimpleEventConnection()
    : mUpdates(*this), mMembership(*this), mPassword(*this), mRelays(*this), mVoiceIn(*this), mChat(*this),
      mVoiceOut(*this), mClientEnd(*this)
{
}

SimpleEventConnection::~SimpleEventConnection() = default;

Session* SimpleEventConnection::session() const
{
    auto* sessionInterface = dynamic_cast<SessionInterface*>(netInterface());
    return sessionInterface ? &sessionInterface->session() : nullptr;
}

uint32_t SimpleEventConnection::now() const
{
    return netInterface() ? netInterface()->currentTime() : 0;
}

ClientRecord* SimpleEventConnection::senderRecord() const
{
    Session* s = session();
    return s ? s->roster().findByConnection(this) : nullptr;
}

std::string SimpleEventConnection::peerText() const
{
    const uint32_t host = address().netNum[0];
    return std::to_string(host >> 24) + "." + std::to_string((host >> 16) & 255) + "." +
           std::to_string((host >> 8) & 255) + "." + std::to_string(host & 255) + ":" + std::to_string(address().port);
}

bool SimpleEventConnection::sendOrientation(const Orientation& orientation)
{
    return speaksSeafold(*this) && mUpdates.sendOrientation(orientation);
}

bool SimpleEventConnection::sendOwnMarks(uint32_t marks)
{
    if (!speaksSeafold(*this))
        return false;
    c2sOwnMarks(marks & UserMarksOwn);
    return true;
}

bool SimpleEventConnection::sendVoiceFrames(const RefPtr<ByteBuffer>& frames, bool endsSpurt)
{
    return mVoiceOut.send(frames, endsSpurt, soundTime(session() ? session()->soundPool() : nullptr));
}

// ---- hooks -----------------------------------------------------------------------

void SimpleEventConnection::onEstablished()
{
    // Marks the connection as leading to the server or to a client, so that
    // a client can never make the server run a server-to-client call.
    EventConnection::onEstablished();
    Session* s = session();
    if (!s)
        return;
    if (s->settings().pingIntervalMs)
        setPingTimeouts(s->settings().pingIntervalMs, DefaultPingRetries);
    if (!connectParams().isInitiator) {
        mRelays.resume();
        mPassword.ask();
    } else {
        mClientEnd.established([] {});
    }
}

void SimpleEventConnection::onConnectFailed(uint32_t, const char* message)
{
    mClientEnd.connectFailed(message);
}

void SimpleEventConnection::onDisconnected(uint32_t reason, const char* message)
{
    if (connectParams().isInitiator) {
        mClientEnd.disconnected(reason, message);
        return;
    }
    mRelays.end();
    mMembership.leave();
}

bool SimpleEventConnection::acceptPublicKey(AsymmetricKey* key, bool isInitiator)
{
    return mMembership.acceptServerKey(key, isInitiator);
}

bool SimpleEventConnection::readConnectRequest(BitStream& stream, const char** errorText)
{
    return EventConnection::readConnectRequest(stream, errorText) && mMembership.admitConnectRequest(errorText);
}

bool SimpleEventConnection::admitEvent(NetEvent* event)
{
    return mMembership.admitEvent(event, mPassword.holdsJoin());
}

bool SimpleEventConnection::hasJoined() const
{
    return mMembership.hasJoined();
}

void SimpleEventConnection::prepareWritePacket()
{
    EventConnection::prepareWritePacket();
    mRelays.release();
}

void SimpleEventConnection::rpcPosted(RPCEvent* event)
{
    mUpdates.notePosted(event->guaranteeType() != NetEvent::Unguaranteed);
}

// ---- roster ----------------------------------------------------------------------

SF_IMPLEMENT_RPC(SimpleEventConnection, c2sAddNewClient, GuaranteedOrdered, DirClientToServer, (StringPtr name))
{
    trace("c2sAddNewClient", name);
    mMembership.requestJoin(name, mPassword);
}

SF_IMPLEMENT_RPC(SimpleEventConnection, s2cIntroduceNewClient, GuaranteedOrdered, DirServerToClient, (StringPtr name))
{
    trace("s2cIntroduceNewClient", name);
    mClientEnd.introduce(name);
}

SF_IMPLEMENT_RPC(SimpleEventConnection, s2cclientDisconnect, GuaranteedOrdered, DirServerToClient, (StringPtr name))
{
    trace("s2cclientDisconnect", name);
    mClientEnd.leave(name);
}

// ---- selection and movement ----------------------------------------------------------

SF_IMPLEMENT_RPC(SimpleEventConnection, c2sEntitySelection, GuaranteedOrdered, DirClientToServer,
                 (StringPtr entityName))
{
    trace("c2sEntitySelection", entityName);
    mRelays.select(entityName);
}

SF_IMPLEMENT_RPC(SimpleEventConnection, s2cEntityNotify, GuaranteedOrdered, DirServerToClient,
                 (StringPtr entityName, double x, double y, double z, StringPtr clientName))
{
    trace("s2cEntityNotify", entityName, x, y, z, clientName);
    mClientEnd.showModel(entityName, x, y, z, clientName);
}

SF_IMPLEMENT_RPC(SimpleEventConnection, c2smakeMovement, GuaranteedOrdered, DirClientToServer,
                 (double dx, double dy, double dz))
{
    trace("c2smakeMovement", dx, dy, dz);
    mRelays.move(dx, dy, dz);
}

// Movements are deltas: one lost relay would displace a model for good in
// another user's scene, so the relay is delivered guaranteed and in order.
SF_IMPLEMENT_RPC(SimpleEventConnection, s2cmakeMovement, GuaranteedOrdered, DirServerToClient,
                 (double dx, double dy, double dz, StringPtr clientName))
{
    trace("s2cmakeMovement", dx, dy, dz, clientName);
    mClientEnd.move(dx, dy, dz, clientName);
}

// ---- voice -------------------------------------------------------------------------

SF_IMPLEMENT_RPC(SimpleEventConnection, c2sVoice, GuaranteedOrdered, DirClientToServer,
                 (bool echoToSender, RefPtr<ByteBuffer> data, StringPtr speaker))
{
    trace("c2sVoice", echoToSender, data, speaker);
    mVoiceIn.receive(echoToSender, data);
}

SF_IMPLEMENT_RPC(SimpleEventConnection, s2cVoice, GuaranteedOrdered, DirServerToClient,
                 (RefPtr<ByteBuffer> data, StringPtr speaker))
{
    trace("s2cVoice", data, speaker);
    mClientEnd.playVoice(data, speaker);
}

} // namespace seafold
