#include "net/netinterface.h"

#include <algorithm>
#include <cstring>
#include <tomcrypt.h>

#include "net/random.h"

namespace seafold {

namespace {
// Reasons for refusals whose hook gave none.
constexpr const char* RefusedWithoutReason = "Connection refused";
constexpr const char* AcceptRefusedWithoutReason = "The server's answer could not be used";
} // namespace

NetInterface::NetInterface(const NetAddress& bindAddress)
    : mConnectionHashTable(InitialTableSize, nullptr),
      mSocket(bindAddress, Socket::DefaultBufferSize, ReceiveBufferSize),
      mReceiveSlots(new ReceivedDatagram[Socket::MaxBatch])
{
    NetClassRep::initialize();
    Random::randomBytes(mTokenSecret, sizeof(mTokenSecret));
    Random::randomBytes(mPreviousTokenSecret, sizeof(mPreviousTokenSecret));
    Random::randomBytes(reinterpret_cast<uint8_t*>(&mChallengeSalt), sizeof(mChallengeSalt));
    mChallengeCredits.resize(ChallengeCreditSlots);
    mTimeSource = getRealMilliseconds;
    mCurrentTime = mTimeSource();
}

NetInterface::~NetInterface()
{
    // Tell every peer; the hooks still run while the interface exists.
    while (!mConnectionList.empty()) {
        RefPtr<NetConnection> connection = mConnectionList.front();
        disconnect(connection, ReasonSelfDisconnect, "Shutdown");
        if (!mConnectionList.empty() && mConnectionList.front() == connection)
            removeConnection(connection); // a hook changed its state: drop it anyway
    }
    // Attempts still under way end too, and are told so.
    while (!mPendingConnections.empty()) {
        RefPtr<NetConnection> connection = mPendingConnections.front();
        disconnect(connection, ReasonSelfDisconnect, "Shutdown");
        removePendingConnection(connection); // whatever state a hook left it in
    }
    if (mSimulator)
        mSocket.setPacketFilter(nullptr);
}

void NetInterface::setTimeSource(std::function<uint32_t()> source)
{
    mTimeSource = source ? std::move(source) : std::function<uint32_t()>(getRealMilliseconds);
    mCurrentTime = mTimeSource();
}

void NetInterface::refreshTime()
{
    mCurrentTime = mTimeSource();
    if (mSimulator)
        mSimulator->setTime(mCurrentTime);
}

void NetInterface::setDefaultRate(const NetConnection::RateInfo& rate)
{
    mDefaultRate = rate;
    mHasDefaultRate = true;
}

void NetInterface::setNetworkSimulator(NetworkSimulator* simulator)
{
    mSimulator = simulator;
    mSocket.setPacketFilter(simulator);
    if (simulator)
        simulator->setTime(mCurrentTime);
}

// ---- sending -----------------------------------------------------------------

void NetInterface::sendTo(const NetAddress& address, const BitStream& stream)
{
    mSocket.sendto(address, stream.data(), stream.bytePosition());
}

// ---- connection table --------------------------------------------------------

uint32_t NetInterface::tableSlot(const NetAddress& address, uint32_t tableSize) const
{
    uint32_t hash = (uint32_t(address.port) << 8) ^ address.netNum[0] ^ (address.netNum[1] << 16) ^
                    (address.netNum[1] >> 16) ^ (address.netNum[2] << 5);
    return hash % tableSize;
}

void NetInterface::insertIntoTable(NetConnection* connection)
{
    uint32_t size = uint32_t(mConnectionHashTable.size());
    uint32_t slot = tableSlot(connection->address(), size);
    while (mConnectionHashTable[slot])
        slot = (slot + 1) % size;
    mConnectionHashTable[slot] = connection;
}

NetConnection* NetInterface::findConnection(const NetAddress& address) const
{
    uint32_t size = uint32_t(mConnectionHashTable.size());
    uint32_t slot = tableSlot(address, size);
    for (uint32_t probes = 0; probes < size && mConnectionHashTable[slot]; ++probes) {
        if (mConnectionHashTable[slot]->address() == address)
            return mConnectionHashTable[slot];
        slot = (slot + 1) % size;
    }
    return nullptr;
}

void NetInterface::addConnection(NetConnection* connection)
{
    mConnectionList.push_back(connection);
    uint32_t count = uint32_t(mConnectionList.size());
    if (count > mConnectionHashTable.size() / 2) {
        mConnectionHashTable.assign(count * 4 - 1, nullptr);
        for (auto& listed : mConnectionList)
            insertIntoTable(listed);
    } else {
        insertIntoTable(connection);
    }
}

void NetInterface::removeConnection(NetConnection* connection)
{
    RefPtr<NetConnection> keep = connection; // released at the end
    auto listed = std::find(mConnectionList.begin(), mConnectionList.end(), connection);
    if (listed == mConnectionList.end())
        return;
    *listed = mConnectionList.back();
    mConnectionList.pop_back();

    uint32_t size = uint32_t(mConnectionHashTable.size());
    uint32_t slot = tableSlot(connection->address(), size);
    uint32_t probes = 0;
    while (mConnectionHashTable[slot] != connection) {
        slot = (slot + 1) % size;
        if (++probes == size) {
            assertFailed(__FILE__, __LINE__, "Attempting to remove a connection that is not in the table.");
            return;
        }
    }
    mConnectionHashTable[slot] = nullptr;
    // Re-insert the rest of the probe run so later lookups still find it.
    for (uint32_t next = (slot + 1) % size; mConnectionHashTable[next]; next = (next + 1) % size) {
        NetConnection* moved = mConnectionHashTable[next];
        mConnectionHashTable[next] = nullptr;
        insertIntoTable(moved);
    }
}

NetConnection* NetInterface::findPendingConnection(const NetAddress& address) const
{
    for (auto& pending : mPendingConnections)
        if (pending->address() == address)
            return pending;
    return nullptr;
}

void NetInterface::addPendingConnection(NetConnection* connection)
{
    RefPtr<NetConnection> keep = connection;
    if (NetConnection* previous = findPendingConnection(connection->address())) {
        RefPtr<NetConnection> ending = previous;
        disconnect(ending, ReasonSelfDisconnect, "Reconnecting");
        removePendingConnection(ending);
    }
    if (NetConnection* established = findConnection(connection->address()))
        disconnect(established, ReasonSelfDisconnect, "Reconnecting");
    mPendingConnections.push_back(connection);
}

void NetInterface::removePendingConnection(NetConnection* connection)
{
    auto at = std::find(mPendingConnections.begin(), mPendingConnections.end(), connection);
    if (at == mPendingConnections.end())
        return;
    RefPtr<NetConnection> keep = connection; // released after the list is consistent
    mPendingConnections.erase(at);
}

// ---- identity token ----------------------------------------------------------

uint32_t NetInterface::identityToken(const NetAddress& address, const Nonce& clientNonce) const
{
    return tokenWithSecret(mTokenSecret, address, clientNonce);
}

bool NetInterface::isIdentityTokenValid(const NetAddress& address, const Nonce& clientNonce, uint32_t token) const
{
    return token == tokenWithSecret(mTokenSecret, address, clientNonce) ||
           token == tokenWithSecret(mPreviousTokenSecret, address, clientNonce);
}

uint32_t NetInterface::tokenWithSecret(const uint8_t* secret, const NetAddress& address, const Nonce& clientNonce) const
{
    // 40 bytes: the address (transport, port as 16-bit, four host words as
    // 32-bit, all little-endian), the client nonce and our secret bytes.
    uint8_t input[40];
    auto put16 = [&](int at, uint16_t v) {
        input[at] = uint8_t(v);
        input[at + 1] = uint8_t(v >> 8);
    };
    auto put32 = [&](int at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            input[at + i] = uint8_t(v >> (8 * i));
    };
    put16(0, address.transport);
    put16(2, address.port);
    for (int i = 0; i < 4; ++i)
        put32(4 + 4 * i, address.netNum[i]);
    std::memcpy(input + 20, clientNonce.data, 8);
    std::memcpy(input + 28, secret, TokenSecretBytes);

    uint8_t digest[32];
    hash_state state;
    sha256_init(&state);
    sha256_process(&state, input, sizeof(input));
    sha256_done(&state, digest);
    return uint32_t(digest[0]) | uint32_t(digest[1]) << 8 | uint32_t(digest[2]) << 16 | uint32_t(digest[3]) << 24;
}

// ---- steps -------------------------------------------------------------------

void NetInterface::receivePackets()
{
    refreshTime();
    for (uint32_t read = 0; read < MaxDatagramsPerPass;) {
        uint32_t count =
            mSocket.receiveBatch(mReceiveSlots.get(), std::min<uint32_t>(Socket::MaxBatch, MaxDatagramsPerPass - read));
        if (count == 0)
            break;
        read += count;
        for (uint32_t i = 0; i < count; ++i) {
            ReceivedDatagram& datagram = mReceiveSlots[i];
            if (!datagram.usable || !isPlausibleDatagram(datagram.bytes, datagram.length))
                continue;
            BitStream stream(datagram.bytes, datagram.length, 0);
            dispatchPacket(datagram.source, stream);
        }
    }
}

void NetInterface::waitForPackets(uint32_t ms)
{
    mSocket.waitReadable(ms);
}

// The fewest bytes each handshake packet can have: its fixed fields (see the
// layouts below) and at least a byte of what follows them.
namespace {
constexpr uint32_t MinDataPacketBytes = 5;         // 35 header bits
constexpr uint32_t ChallengeRequestBytes = 10;     // type, nonce, two flags
constexpr uint32_t MinChallengeResponseBytes = 26; // type, nonce, token, nonce, difficulty, key flag
constexpr uint32_t MinConnectRequestBytes = 34;    // type, 2 nonces, token, difficulty, solution, flags, sequence, name
constexpr uint32_t MinConnectRejectBytes = 18;     // type, 2 nonces, reason
constexpr uint32_t MinConnectAcceptBytes = 21;     // type, 2 nonces, sequence
constexpr uint32_t MinDisconnectBytes = 18;        // type, 2 nonces, reason
} // namespace

bool NetInterface::isPlausibleDatagram(const uint8_t* data, uint32_t length) const
{
    if (length == 0)
        return false;
    const uint8_t first = data[0];
    if (first & 0x80)
        return length >= MinDataPacketBytes && !mConnectionList.empty();
    switch (first) {
    case ConnectChallengeRequest:
        return mAllowConnections && length >= ChallengeRequestBytes;
    case ConnectRequest:
        return mAllowConnections && length >= MinConnectRequestBytes;
    case ChallengeResponse:
        return length >= MinChallengeResponseBytes && !mPendingConnections.empty();
    case ConnectReject:
        return length >= MinConnectRejectBytes && !mPendingConnections.empty();
    case ConnectAccept:
        return length >= MinConnectAcceptBytes && !mPendingConnections.empty();
    case Disconnect:
        return length >= MinDisconnectBytes && !mConnectionList.empty();
    case Punch:
    case ArrangedConnectRequest:
        return false; // introduced connections: never started here
    default:
        return true; // information packets: for onInfoPacket to judge
    }
}

void NetInterface::dispatchPacket(const NetAddress& address, BitStream& stream)
{
    if (stream.size() == 0)
        return;
    uint8_t first = stream.data()[0];
    if (first & 0x80) {
        RefPtr<NetConnection> connection = findConnection(address);
        if (connection)
            connection->receivePacket(stream);
        return;
    }
    uint8_t type = stream.readU8();
    switch (type) {
    case ConnectChallengeRequest:
        handleConnectChallengeRequest(address, stream);
        break;
    case ChallengeResponse:
        handleChallengeResponse(address, stream);
        break;
    case ConnectRequest:
        handleConnectRequest(address, stream);
        break;
    case ConnectReject:
        handleConnectReject(address, stream);
        break;
    case ConnectAccept:
        handleConnectAccept(address, stream);
        break;
    case Disconnect:
        handleDisconnect(address, stream);
        break;
    case Punch:
    case ArrangedConnectRequest:
        break; // introduced connections: never started here
    default:
        onInfoPacket(address, type, stream);
        break;
    }
}

void NetInterface::onInfoPacket(const NetAddress&, uint8_t, BitStream&) {}

void NetInterface::serviceConnections()
{
    refreshTime();
    if (mPuzzleManager.tick(mCurrentTime)) {
        std::memcpy(mPreviousTokenSecret, mTokenSecret, TokenSecretBytes);
        Random::randomBytes(mTokenSecret, TokenSecretBytes);
    }
    if (mSimulator)
        mSimulator->update(mCurrentTime);

    endConnectionsAskedToEnd();

    // A send step may end a connection (through a hook): walk a copy.
    std::vector<RefPtr<NetConnection>> established = mConnectionList;
    for (auto& connection : established)
        if (connection->state() == Connected)
            connection->sendStep(false, mCurrentTime);

    if (uint32_t(mCurrentTime - mLastTimeoutCheckTime) > TimeoutCheckInterval) {
        checkTimeouts();
        mLastTimeoutCheckTime = mCurrentTime;
        std::vector<RefPtr<NetConnection>> live = mConnectionList;
        for (auto& connection : live) {
            if (connection->state() == Connected && connection->keepAliveTimedOut(mCurrentTime)) {
                connection->setState(TimedOut);
                connection->onDisconnected(ReasonTimedOut, "Timeout");
                removeConnection(connection);
            }
        }
    }

    for (auto& pending : mPendingConnections) {
        if (pending->state() == SolvingPuzzle) {
            RefPtr<NetConnection> solving = pending;
            continuePuzzleSolution(solving);
            break;
        }
    }
}

void NetInterface::endConnectionsAskedToEnd()
{
    // Ending one connection runs hooks that may post on others and ask them
    // to end in turn: repeat until a pass finds none, each connection ending
    // at most once.
    for (bool found = true; found;) {
        found = false;
        std::vector<RefPtr<NetConnection>> all = mConnectionList;
        all.insert(all.end(), mPendingConnections.begin(), mPendingConnections.end());
        for (auto& connection : all) {
            const char* reason = connection->endReason();
            if (!reason || (findConnection(connection->address()) != connection &&
                            findPendingConnection(connection->address()) != connection))
                continue;
            found = true;
            disconnect(connection, ReasonError, reason);
            // A connection in no state that disconnect ends leaves the lists anyway.
            removeConnection(connection);
            removePendingConnection(connection);
        }
    }
}

void NetInterface::checkTimeouts()
{
    std::vector<RefPtr<NetConnection>> pending = mPendingConnections;
    for (auto& connection : pending) {
        ConnectParams& params = connection->connectParams();
        uint32_t sinceSend = mCurrentTime - params.connectLastSendTime;
        switch (connection->state()) {
        case ChallengeSent:
            if (sinceSend > ChallengeRetryTime) {
                if (params.connectSendCount > ChallengeRetryCount)
                    failPendingConnection(connection);
                else
                    sendConnectChallengeRequest(connection);
            }
            break;
        case RequestSent:
            if (sinceSend > ConnectRetryTime) {
                if (params.connectSendCount > ConnectRetryCount)
                    failPendingConnection(connection);
                else
                    sendConnectRequest(connection);
            }
            break;
        case SolvingPuzzle:
            if (sinceSend > PuzzleSolutionTimeout)
                failPendingConnection(connection);
            break;
        default:
            break;
        }
    }
}

void NetInterface::failPendingConnection(NetConnection* connection)
{
    RefPtr<NetConnection> keep = connection;
    connection->setState(AttemptTimedOut);
    connection->onConnectFailed(ReasonTimedOut, "Timeout");
    removePendingConnection(connection);
}

void NetInterface::startConnect(NetConnection* connection)
{
    if (connection->state() != NotConnected) {
        assertFailed(__FILE__, __LINE__, "Cannot start unless it is in the NotConnected state.");
        return;
    }
    RefPtr<NetConnection> keep = connection;
    connection->setInterface(this);
    if (mHasDefaultRate)
        connection->setLocalRate(mDefaultRate);
    addPendingConnection(connection);
    connection->connectParams().connectSendCount = 0;
    connection->setState(ChallengeSent);
    sendConnectChallengeRequest(connection);
}

void NetInterface::disconnect(NetConnection* connection, uint32_t reason, const char* reasonText)
{
    RefPtr<NetConnection> keep = connection;
    switch (connection->state()) {
    case ChallengeSent:
    case SolvingPuzzle:
    case RequestSent:
        if (findPendingConnection(connection->address()) == connection) {
            connection->onConnectFailed(reason, reasonText);
            removePendingConnection(connection);
        }
        break;
    case Connected:
        connection->setState(Disconnected);
        connection->onDisconnected(reason, reasonText);
        sendDisconnectPacket(connection, reasonText);
        removeConnection(connection);
        break;
    default:
        break;
    }
}

// ---- handshake ---------------------------------------------------------------

// ConnectChallengeRequest (client to server):
//   [type 0]                 (U8)
//   [client nonce]           (8 bytes)
//   [wants key exchange]     (flag)
//   [wants certificate]      (flag)
void NetInterface::sendConnectChallengeRequest(NetConnection* connection)
{
    SF_LOG("LogNetInterface", "Sending Connect Challenge Request to %s", connection->address().toText());
    ConnectParams& params = connection->connectParams();
    PacketStream out;
    out.writeU8(ConnectChallengeRequest);
    params.clientNonce.write(out);
    out.writeFlag(params.requestKeyExchange || mRequiresKeyExchange);
    out.writeFlag(params.requestCertificate);
    params.connectSendCount++;
    params.connectLastSendTime = mCurrentTime;
    sendTo(connection->address(), out);
}

void NetInterface::handleConnectChallengeRequest(const NetAddress& address, BitStream& stream)
{
    SF_LOG("LogNetInterface", "Received Connect Challenge Request from %s", address.toText());
    if (!mAllowConnections)
        return;
    Nonce clientNonce;
    clientNonce.read(stream);
    bool wantsKeyExchange = stream.readFlag();
    bool wantsCertificate = stream.readFlag();
    if (stream.hasError())
        return;
    // Answers to one source are held to what it sent plus a trickle, the
    // refusal below as much as the challenge: neither may amplify.
    int32_t* credit = challengeCredit(address, stream.size());
    if (!credit) {
        SF_LOG("LogNetInterface", "Challenge Request from %s not answered: over its share", address.toText());
        return;
    }
    if (mRequiresKeyExchange && !wantsKeyExchange) {
        // Offering the key anyway would quietly seal a client that did not
        // ask; say why instead. The client has no server nonce yet: it
        // matches the all-zero one it starts with. Charged as the reason's
        // text and a header's worth of bytes.
        sendConnectReject(address, clientNonce, Nonce(), KeyExchangeRequiredReason);
        *credit -= int32_t((std::strlen(KeyExchangeRequiredReason) + 32) * 1000);
        return;
    }
    *credit -= int32_t(sendChallengeResponse(address, clientNonce, wantsKeyExchange, wantsCertificate) * 1000);
}

int32_t* NetInterface::challengeCredit(const NetAddress& address, uint32_t requestBytes)
{
    // A salted multiplicative hash: a forger cannot aim at one slot.
    uint64_t key = (uint64_t(address.netNum[0]) << 16 | address.port) ^ mChallengeSalt;
    key *= 0x9E3779B97F4A7C15ull;
    ChallengeCredit& slot = mChallengeCredits[(key >> 32) % ChallengeCreditSlots];
    const int64_t max = int64_t(ChallengeCreditMaxBytes) * 1000;
    int64_t credit = slot.milliBytes;
    if (!slot.used) {
        slot.used = true;
        credit = max;
    } else {
        // A minute of silence fills any slot; the bound keeps the sum small.
        uint32_t elapsed = std::min<uint32_t>(mCurrentTime - slot.lastTime, 60000);
        credit += int64_t(elapsed) * ChallengeCreditBytesPerSecond;
    }
    credit = std::min(credit + int64_t(requestBytes) * 1000, max);
    slot.milliBytes = int32_t(credit);
    slot.lastTime = mCurrentTime;
    return credit > 0 ? &slot.milliBytes : nullptr;
}

// ChallengeResponse (server to client):
//   [type 1]                 (U8)
//   [client nonce]           (8 bytes, echoed)
//   [identity token]         (U32)
//   [server nonce]           (8 bytes)
//   [puzzle difficulty]      (U32)
//   [key flag]               (flag)
//   if key flag:
//     [certificate flag]     (flag)
//     [certificate | public key] (buffer)
uint32_t NetInterface::sendChallengeResponse(const NetAddress& address, const Nonce& clientNonce, bool wantsKeyExchange,
                                             bool wantsCertificate)
{
    PacketStream out;
    out.writeU8(ChallengeResponse);
    clientNonce.write(out);
    uint32_t identity = identityToken(address, clientNonce);
    out.writeU32(identity);
    mPuzzleManager.currentNonce().write(out);
    out.writeU32(mPuzzleManager.currentDifficulty());

    bool keyFlag = mRequiresKeyExchange || (wantsKeyExchange && mPrivateKey.isValid());
    if (keyFlag && !mPrivateKey.isValid() && !mCertificate.isValid())
        keyFlag = false; // nothing to offer
    if (out.writeFlag(keyFlag)) {
        bool certificateFlag = wantsCertificate && mCertificate.isValid();
        if (out.writeFlag(certificateFlag))
            out.writeBuffer(mCertificate);
        else
            out.writeBuffer(mPrivateKey->publicKey());
    }
    SF_LOG("LogNetInterface", "Sending Challenge Response: %8x", identity);
    sendTo(address, out);
    return out.bytePosition();
}

void NetInterface::handleChallengeResponse(const NetAddress& address, BitStream& stream)
{
    RefPtr<NetConnection> connection = findPendingConnection(address);
    if (!connection || connection->state() != ChallengeSent)
        return;
    ConnectParams& params = connection->connectParams();

    // Decode everything before acting on any of it.
    Nonce echoed, serverNonce;
    echoed.read(stream);
    uint32_t identity = stream.readU32();
    serverNonce.read(stream);
    uint32_t difficulty = stream.readU32();
    RefPtr<AsymmetricKey> peerKey;
    RefPtr<Certificate> certificate;
    if (stream.readFlag()) {
        if (stream.readFlag())
            certificate = new Certificate(stream);
        else
            peerKey = new AsymmetricKey(stream);
    }
    if (stream.hasError() || echoed != params.clientNonce || difficulty > MaxPuzzleDifficulty)
        return;
    if (!certificate && !peerKey && mRequiresKeyExchange) {
        connection->setState(Rejected);
        connection->onConnectFailed(ReasonSelfDisconnect, NoKeyExchangeOfferedReason);
        removePendingConnection(connection);
        return;
    }
    if (certificate) {
        if (!certificate->isValid() || !connection->acceptCertificate(certificate, true))
            return;
        peerKey = certificate->publicKey();
    } else if (peerKey) {
        if (!peerKey->isValid() || !connection->acceptPublicKey(peerKey, true))
            return;
    }

    params.clientIdentity = identity;
    params.serverNonce = serverNonce;
    params.puzzleDifficulty = difficulty;
    if (peerKey) {
        params.certificate = certificate;
        params.publicKey = peerKey;
        if (mPrivateKey && mPrivateKey->keySize() == peerKey->keySize())
            params.privateKey = mPrivateKey;
        else
            params.privateKey = new AsymmetricKey(peerKey->keySize());
        params.sharedSecret = params.privateKey->computeSharedSecret(peerKey);
        if (!params.sharedSecret)
            return;
        Random::randomBytes(params.symmetricKey, sizeof(params.symmetricKey));
        params.usingCrypto = true;
    }

    SF_LOG("LogNetInterface", "Received Challenge Response: %8x", identity);
    connection->setState(SolvingPuzzle);
    params.connectSendCount = 0;
    params.puzzleSolution = 0;
    params.connectLastSendTime = mCurrentTime;
    continuePuzzleSolution(connection);
}

void NetInterface::continuePuzzleSolution(NetConnection* connection)
{
    ConnectParams& params = connection->connectParams();
    if (!solvePuzzle(&params.puzzleSolution, params.clientNonce, params.serverNonce, params.puzzleDifficulty,
                     params.clientIdentity))
        return;
    // A diagnostic, not news for the user: on the handshake's channel.
    SF_LOG("LogNetInterface", "Client puzzle solved in %d ms.", int(mTimeSource() - params.connectLastSendTime));
    connection->setState(RequestSent);
    sendConnectRequest(connection);
}

// ConnectRequest (client to server):
//   [type 2]                 (U8)
//   [client nonce]           (8 bytes)
//   [server nonce]           (8 bytes)
//   [identity token]         (U32)
//   [puzzle difficulty]      (U32)
//   [puzzle solution]        (U32)
//   [using crypto]           (flag)
//   if using crypto:
//     [client public key]    (buffer)
//     -- align; the sealed part starts here --
//     [symmetric key]        (16 bytes)
//   [debug checks]           (flag)
//   [initial send sequence]  (U32)
//   [connection class name]  (text)
//   [connection's own data]
//   [digest]                 (5 bytes, sealed only)
void NetInterface::sendConnectRequest(NetConnection* connection)
{
    SF_LOG("LogNetInterface", "Sending Connect Request");
    ConnectParams& params = connection->connectParams();
    PacketStream out;
    out.writeU8(ConnectRequest);
    params.clientNonce.write(out);
    params.serverNonce.write(out);
    out.writeU32(params.clientIdentity);
    out.writeU32(params.puzzleDifficulty);
    out.writeU32(params.puzzleSolution);

    uint32_t encryptPos = 0;
    if (out.writeFlag(params.usingCrypto)) {
        out.writeBuffer(params.privateKey->publicKey());
        encryptPos = out.bytePosition();
        out.setBytePosition(encryptPos);
        out.writeBytes(16, params.symmetricKey);
    }
    out.writeFlag(params.debugObjectSizes);
    out.writeU32(connection->initialSendSequence());
    NetClassRep* rep = connection->classRep();
    out.writeText(rep ? rep->className() : "");
    connection->writeConnectRequest(out);

    if (params.usingCrypto) {
        RefPtr<SymmetricCipher> cipher = new SymmetricCipher(params.sharedSecret);
        appendDigestAndEncrypt(out, SealDigestSize, encryptPos, cipher);
    }
    params.connectSendCount++;
    params.connectLastSendTime = mCurrentTime;
    sendTo(connection->address(), out);
}

void NetInterface::handleConnectRequest(const NetAddress& address, BitStream& stream)
{
    if (!mAllowConnections)
        return;

    // Nothing is made, and no costly work done, for a peer until it has
    // shown a token for its address and the work of the puzzle.
    ConnectParams params;
    params.clientNonce.read(stream);
    params.serverNonce.read(stream);
    params.clientIdentity = stream.readU32();
    if (stream.hasError() || !isIdentityTokenValid(address, params.clientNonce, params.clientIdentity))
        return;
    params.puzzleDifficulty = stream.readU32();
    params.puzzleSolution = stream.readU32();
    if (stream.hasError())
        return;

    // The accept was lost: answer the repeated request with it again.
    NetConnection* existing = findConnection(address);
    if (existing) {
        ConnectParams& cp = existing->connectParams();
        if (cp.clientNonce == params.clientNonce && cp.serverNonce == params.serverNonce) {
            sendConnectAccept(existing);
            return;
        }
    }

    // Checked here, used up only once the whole request has been read: a cut
    // or forged request leaves the client nonce usable.
    PuzzleResult result = mPuzzleManager.verifySolution(params.puzzleSolution, params.clientNonce, params.serverNonce,
                                                        params.puzzleDifficulty, params.clientIdentity);
    if (result != PuzzleSuccess) {
        sendConnectReject(address, params.clientNonce, params.serverNonce, "Puzzle");
        return;
    }
    // A peer that reconnects takes the place of its old connection.
    if (!existing && mConnectionList.size() >= mMaxConnections) {
        SF_LOG("LogNetInterface", "Refused Connect Request from %s: server full", address.toText());
        sendConnectReject(address, params.clientNonce, params.serverNonce, "Server full");
        return;
    }

    params.usingCrypto = stream.readFlag();
    if (stream.hasError())
        return;
    if (mRequiresKeyExchange && !params.usingCrypto) {
        // Only a client that skipped the key it was offered gets here.
        sendConnectReject(address, params.clientNonce, params.serverNonce, KeyExchangeRequiredReason);
        return;
    }
    if (params.usingCrypto) {
        if (!mPrivateKey)
            return;
        params.publicKey = new AsymmetricKey(stream);
        if (stream.hasError() || !params.publicKey->isValid())
            return;
        params.privateKey = mPrivateKey;
        uint32_t decryptPos = stream.bytePosition();
        stream.setBytePosition(decryptPos);
        params.sharedSecret = params.privateKey->computeSharedSecret(params.publicKey);
        if (!params.sharedSecret)
            return;
        RefPtr<SymmetricCipher> cipher = new SymmetricCipher(params.sharedSecret);
        if (!decryptAndVerifyDigest(stream, SealDigestSize, decryptPos, cipher))
            return;
        stream.readBytes(16, params.symmetricKey);
        Random::randomBytes(params.initVector, sizeof(params.initVector));
    }
    params.debugObjectSizes = stream.readFlag();
    uint32_t clientInitialSequence = stream.readU32();
    char className[256];
    stream.readText(className);
    if (stream.hasError())
        return;

    RefPtr<Object> created = createConnectionByName(className);
    if (!created)
        return;
    RefPtr<NetConnection> connection = static_cast<NetConnection*>(created.get());
    const char* refusal = nullptr;
    bool accepted = connection->readConnectRequest(stream, &refusal);
    if (stream.hasError())
        return;
    mPuzzleManager.useClientNonce(params.clientNonce, params.serverNonce);
    if (!accepted) {
        // The client is told why, or at least that it was refused, instead
        // of retrying into a time-out.
        sendConnectReject(address, params.clientNonce, params.serverNonce, refusal ? refusal : RefusedWithoutReason);
        return;
    }

    SF_LOG("LogNetInterface", "Received Connect Request %8x", params.clientIdentity);
    if (existing)
        disconnect(existing, ReasonSelfDisconnect, "NewConnection");

    connection->connectParams() = params;
    connection->setAddress(address);
    connection->setInitialReceiveSequence(clientInitialSequence);
    connection->setInterface(this);
    if (mHasDefaultRate)
        connection->setLocalRate(mDefaultRate);
    if (params.usingCrypto)
        connection->setSymmetricCipher(new SymmetricCipher(params.symmetricKey, params.initVector));

    addConnection(connection);
    connection->setState(Connected);
    connection->onEstablished();
    SF_LOG("LogNetInterface", "Sending Connect Accept - connection established.");
    sendConnectAccept(connection);
}

// ConnectAccept (server to client):
//   [type 4]                 (U8)
//   [client nonce]           (8 bytes)
//   [server nonce]           (8 bytes)
//   -- align; the sealed part starts here --
//   [initial send sequence]  (U32)
//   [connection's own data]
//   if using crypto:
//     [init vector]          (16 bytes)
//     [digest]               (5 bytes)
void NetInterface::sendConnectAccept(NetConnection* connection)
{
    ConnectParams& params = connection->connectParams();
    PacketStream out;
    out.writeU8(ConnectAccept);
    params.clientNonce.write(out);
    params.serverNonce.write(out);
    uint32_t encryptPos = out.bytePosition();
    out.setBytePosition(encryptPos);
    out.writeU32(connection->initialSendSequence());
    connection->writeConnectAccept(out);
    if (params.usingCrypto) {
        out.writeBytes(16, params.initVector);
        RefPtr<SymmetricCipher> cipher = new SymmetricCipher(params.sharedSecret);
        appendDigestAndEncrypt(out, SealDigestSize, encryptPos, cipher);
    }
    sendTo(connection->address(), out);
}

void NetInterface::handleConnectAccept(const NetAddress& address, BitStream& stream)
{
    Nonce clientNonce, serverNonce;
    clientNonce.read(stream);
    serverNonce.read(stream);
    uint32_t decryptPos = stream.bytePosition();
    stream.setBytePosition(decryptPos);
    if (stream.hasError())
        return;

    RefPtr<NetConnection> connection = findPendingConnection(address);
    if (!connection || connection->state() != RequestSent)
        return;
    ConnectParams& params = connection->connectParams();
    if (!(params.clientNonce == clientNonce) || !(params.serverNonce == serverNonce))
        return;

    if (params.usingCrypto) {
        RefPtr<SymmetricCipher> cipher = new SymmetricCipher(params.sharedSecret);
        if (!decryptAndVerifyDigest(stream, SealDigestSize, decryptPos, cipher))
            return;
    }
    uint32_t serverInitialSequence = stream.readU32();
    const char* refusal = nullptr;
    bool accepted = connection->readConnectAccept(stream, &refusal);
    uint8_t initVector[16];
    if (params.usingCrypto)
        stream.readBytes(16, initVector);
    if (stream.hasError())
        return;
    if (!accepted) {
        // The server already counts us as connected: tell it, then report
        // the failure like any other.
        const char* reason = refusal ? refusal : AcceptRefusedWithoutReason;
        SF_LOG("LogNetInterface", "Refused Connect Accept - reason %s", reason);
        connection->setState(Rejected);
        sendDisconnectPacket(connection, reason);
        connection->onConnectFailed(ReasonError, reason);
        removePendingConnection(connection);
        return;
    }

    connection->setInitialReceiveSequence(serverInitialSequence);
    if (params.usingCrypto) {
        std::memcpy(params.initVector, initVector, 16);
        connection->setSymmetricCipher(new SymmetricCipher(params.symmetricKey, params.initVector));
    }
    addConnection(connection);
    removePendingConnection(connection);
    connection->setState(Connected);
    connection->onEstablished();
    SF_LOG("LogNetInterface", "Received Connect Accept - connection established.");
}

// ConnectReject (server to client, never sealed):
//   [type 3]                 (U8)
//   [client nonce]           (8 bytes)
//   [server nonce]           (8 bytes)
//   [reason]                 (text)
void NetInterface::sendConnectReject(const NetAddress& address, const Nonce& clientNonce, const Nonce& serverNonce,
                                     const char* reason)
{
    PacketStream out;
    out.writeU8(ConnectReject);
    clientNonce.write(out);
    serverNonce.write(out);
    out.writeText(reason);
    sendTo(address, out);
}

void NetInterface::handleConnectReject(const NetAddress& address, BitStream& stream)
{
    Nonce clientNonce, serverNonce;
    clientNonce.read(stream);
    serverNonce.read(stream);
    char reason[256];
    stream.readText(reason);
    if (stream.hasError())
        return;

    RefPtr<NetConnection> connection = findPendingConnection(address);
    if (!connection || (connection->state() != ChallengeSent && connection->state() != RequestSent))
        return;
    ConnectParams& params = connection->connectParams();
    if (!(params.clientNonce == clientNonce) || !(params.serverNonce == serverNonce))
        return;

    SF_LOG("LogNetInterface", "Received Connect Reject - reason %s", reason);
    if (std::strcmp(reason, "Puzzle") == 0 && !params.puzzleRetried) {
        params.puzzleRetried = true;
        connection->setState(ChallengeSent);
        params.connectSendCount = 0;
        params.clientNonce.getRandom();
        sendConnectChallengeRequest(connection);
        return;
    }
    connection->setState(Rejected);
    connection->onConnectFailed(ReasonRejected, reason);
    removePendingConnection(connection);
}

// Disconnect (either side):
//   [type 5]                 (U8)
//   [client nonce]           (8 bytes)
//   [server nonce]           (8 bytes)
//   -- align; the sealed part starts here --
//   [reason]                 (text)
//   [digest]                 (5 bytes, sealed only)
void NetInterface::sendDisconnectPacket(NetConnection* connection, const char* reason)
{
    ConnectParams& params = connection->connectParams();
    PacketStream out;
    out.writeU8(Disconnect);
    params.clientNonce.write(out);
    params.serverNonce.write(out);
    uint32_t encryptPos = out.bytePosition();
    out.setBytePosition(encryptPos);
    out.writeText(reason);
    if (params.usingCrypto) {
        RefPtr<SymmetricCipher> cipher = new SymmetricCipher(params.sharedSecret);
        appendDigestAndEncrypt(out, SealDigestSize, encryptPos, cipher);
    }
    sendTo(connection->address(), out);
}

void NetInterface::handleDisconnect(const NetAddress& address, BitStream& stream)
{
    RefPtr<NetConnection> connection = findConnection(address);
    if (!connection)
        return;
    ConnectParams& params = connection->connectParams();
    Nonce clientNonce, serverNonce;
    clientNonce.read(stream);
    serverNonce.read(stream);
    if (stream.hasError() || !(params.clientNonce == clientNonce) || !(params.serverNonce == serverNonce))
        return;
    uint32_t decryptPos = stream.bytePosition();
    stream.setBytePosition(decryptPos);
    if (params.usingCrypto) {
        RefPtr<SymmetricCipher> cipher = new SymmetricCipher(params.sharedSecret);
        if (!decryptAndVerifyDigest(stream, SealDigestSize, decryptPos, cipher))
            return;
    }
    char reason[256];
    stream.readText(reason);
    if (stream.hasError())
        return;
    connection->setState(Disconnected);
    connection->onDisconnected(ReasonRemoteDisconnect, reason);
    removeConnection(connection);
}

} // namespace seafold
