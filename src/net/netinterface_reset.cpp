// Reset tokens: how a client learns at once that its server was restarted.
//
// A server that crashed and came back knows none of its old connections, and
// their clients would hear nothing until their silence limit. So a server
// gives each sealed connection of a peer that speaks the version set with
// setResetTokens a token in its connect accept, inside the seal: a keyed hash
// of the client's address and the connection's two nonces, under a key
// derived from the server's private key. The server keeps nothing for it; a
// restart with the same key file can make it again, and nobody without the
// key can.
//
// A client whose server has gone silent asks (ResetQuery, with the nonces).
// A server that has a connection from the query's source ignores it, so a
// forged query can never end a live connection; one that has none answers
// with the token made for that source and those nonces, within a per-source
// and an overall rate, in fewer bytes than the query. The client ends its
// connection only when the answer is its own token, compared in constant
// time, and its link then joins again at once.
#include "net/netinterface.h"

#include <algorithm>
#include <cstring>

namespace seafold {

namespace {
// What the reset key is derived with, beside the private key: the key serves
// nothing else, so knowing tokens tells nothing of the private key.
constexpr char ResetKeyLabel[] = "reset tokens of sealed connections";
} // namespace

void NetInterface::setPrivateKey(AsymmetricKey* key)
{
    mPrivateKey = key;
    mHasResetKey = false;
    const ByteBuffer* exported = key && key->isValid() && key->hasPrivateKey() ? key->privateKey() : nullptr;
    if (exported && exported->size())
        mHasResetKey = hmacSha256(exported->data(), exported->size(), reinterpret_cast<const uint8_t*>(ResetKeyLabel),
                                  sizeof(ResetKeyLabel) - 1, mResetKey);
}

bool NetInterface::resetToken(const NetAddress& address, const Nonce& clientNonce, const Nonce& serverNonce,
                              uint8_t token[ResetTokenBytes]) const
{
    if (!mHasResetKey)
        return false;
    // The address as this server sees it, then the nonces; fixed widths.
    uint8_t input[4 + 4 * 4 + 2 * Nonce::SizeBytes];
    uint8_t* at = input;
    for (uint32_t word : {uint32_t(address.transport) << 16 | address.port, address.netNum[0], address.netNum[1],
                          address.netNum[2], address.netNum[3]}) {
        for (int shift = 24; shift >= 0; shift -= 8)
            *at++ = uint8_t(word >> shift);
    }
    std::memcpy(at, clientNonce.data, Nonce::SizeBytes);
    std::memcpy(at + Nonce::SizeBytes, serverNonce.data, Nonce::SizeBytes);
    uint8_t mac[32];
    if (!hmacSha256(mResetKey, sizeof(mResetKey), input, sizeof(input), mac))
        return false;
    std::memcpy(token, mac, ResetTokenBytes);
    return true;
}

bool NetInterface::givesResetToken(NetConnection* connection) const
{
    return mResetVersion >= 0 && mHasResetKey && connection->connectParams().usingCrypto &&
           connection->peerSharesVersion(mResetVersion);
}

// ---- the client: asking a silent server ----------------------------------------

namespace {
// When a connection with a token is next due to ask, given its silence.
uint32_t resetQueryDue(const NetConnection& connection)
{
    const uint32_t after = connection.hasUnacknowledged() ? uint32_t(NetInterface::ResetQueryUnacknowledgedMs)
                                                          : uint32_t(NetInterface::ResetQuerySilenceMs);
    const uint32_t silentEnough = connection.lastHeardTime() + after;
    const uint32_t again = connection.lastResetQueryTime() + NetInterface::ResetQueryEveryMs;
    // The later of the two, on a clock that wraps.
    return int32_t(again - silentEnough) > 0 ? again : silentEnough;
}

bool asksForReset(const NetConnection& connection)
{
    return connection.state() == Connected && connection.hasResetToken() && connection.isConnectionToServer();
}
} // namespace

void NetInterface::askSilentServers()
{
    for (auto& connection : mConnectionList) {
        if (!asksForReset(*connection) || int32_t(mCurrentTime - resetQueryDue(*connection)) < 0)
            continue;
        // The first question of a silence also asks for an acknowledgement:
        // a server that is merely idle answers it and the questions stop.
        if (int32_t(connection->lastResetQueryTime() - connection->lastHeardTime()) <= 0)
            connection->probe();
        sendResetQuery(connection);
    }
}

uint32_t NetInterface::msUntilResetQuery(uint32_t now, uint32_t longest) const
{
    uint32_t due = longest;
    for (auto& connection : mConnectionList)
        if (asksForReset(*connection))
            due = std::min<uint32_t>(due, uint32_t(std::max(0, int32_t(resetQueryDue(*connection) - now))));
    return due;
}

void NetInterface::sendResetQuery(NetConnection* connection)
{
    const ConnectParams& params = connection->connectParams();
    PacketStream out;
    out.writeU8(ResetQuery);
    params.clientNonce.write(out);
    params.serverNonce.write(out);
    // Padded: the answer may never be larger than the question.
    const uint8_t zeros[ResetQueryBytes] = {};
    out.writeBytes(ResetQueryBytes - out.bytePosition(), zeros);
    connection->setLastResetQueryTime(mCurrentTime);
    SF_LOG("LogNetInterface", "Asking the silent server %s whether it knows the connection",
           connection->address().toText());
    sendTo(connection->address(), out);
}

void NetInterface::handleResetAnswer(const NetAddress& address, BitStream& stream)
{
    uint8_t token[ResetTokenBytes];
    stream.readBytes(ResetTokenBytes, token);
    if (stream.hasError())
        return;
    RefPtr<NetConnection> connection = findConnection(address);
    if (!connection || !asksForReset(*connection) || !connection->isResetToken(token))
        return;
    // The server proved it holds the key and has no such connection: it was
    // restarted (or ended the connection without its word reaching us). We
    // end it ourselves, without a word to a server that has nothing to end.
    SF_LOG("LogNetInterface", "The server %s no longer knows the connection", address.toText());
    connection->setState(Disconnected);
    connection->onDisconnected(ReasonSelfDisconnect, ServerForgotReason);
    removeConnection(connection);
}

// ---- the server: answering for a connection it does not have -------------------

void NetInterface::handleResetQuery(const NetAddress& address, BitStream& stream)
{
    if (mResetVersion < 0 || !mHasResetKey || !mAllowConnections)
        return;
    Nonce clientNonce, serverNonce;
    clientNonce.read(stream);
    serverNonce.read(stream);
    // A connection from this source, or one being made, is alive: whoever
    // asks, the answer would only help someone end it.
    if (stream.hasError() || stream.size() < ResetQueryBytes || findConnection(address) ||
        findPendingConnection(address))
        return;
    if (!mHandshakeGuard.admitResetAnswer(address, mCurrentTime))
        return;
    uint8_t token[ResetTokenBytes];
    if (!resetToken(address, clientNonce, serverNonce, token))
        return;
    PacketStream out;
    out.writeU8(ResetAnswer);
    out.writeBytes(ResetTokenBytes, token);
    SF_LOG("LogNetInterface", "Telling %s that its connection is not known here", address.toText());
    sendTo(address, out);
}

} // namespace seafold
