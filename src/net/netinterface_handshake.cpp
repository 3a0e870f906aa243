// The connection handshake, both roles: the packets that make a connection
// (challenge request and response, the client puzzle, connect request,
// accept and reject) and end one (disconnect), with the client's retries and
// time-outs. Until a peer has proven work the server answers from the
// request alone and keeps nothing for it; HandshakeGuard holds what those
// answers need.
#include "net/netinterface.h"

#include <algorithm>
#include <cstring>

#include "net/random.h"

namespace seafold {

namespace {
// Reasons for refusals whose hook gave none.
constexpr const char* RefusedWithoutReason = "Connection refused";
constexpr const char* AcceptRefusedWithoutReason = "The server's answer could not be used";
// What a refusal is charged to its source's allowance: its text and a
// header's worth of bytes (the datagram itself, and what carries it).
constexpr uint32_t RefusalChargeBytes = 32;
} // namespace

// ---- the client's attempt: start, retries, time-out ------------------------

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

uint32_t NetInterface::handshakeResendDelayMs(uint32_t sent)
{
    uint32_t delay = HandshakeFirstResendMs;
    for (uint32_t i = 1; i < sent && delay < ChallengeRetryMs; ++i)
        delay *= 2;
    return std::min<uint32_t>(delay, ChallengeRetryMs);
}

void NetInterface::checkHandshakes()
{
    std::vector<RefPtr<NetConnection>> pending = mPendingConnections;
    for (auto& connection : pending) {
        ConnectParams& params = connection->connectParams();
        uint32_t sinceSend = mCurrentTime - params.connectLastSendTime;
        uint32_t sinceFirst = mCurrentTime - params.connectFirstSendTime;
        switch (connection->state()) {
        case ChallengeSent:
        case RequestSent:
            // The same packet again, sooner at first; given up when the
            // plain schedule would give up.
            if (sinceFirst > HandshakeGiveUpMs)
                failPendingConnection(connection);
            else if (sinceSend > handshakeResendDelayMs(params.connectSendCount) &&
                     connection->state() == ChallengeSent)
                sendConnectChallengeRequest(connection);
            else if (sinceSend > handshakeResendDelayMs(params.connectSendCount))
                sendConnectRequest(connection);
            break;
        case SolvingPuzzle:
            if (sinceSend > PuzzleSolutionTimeoutMs)
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

// ---- packets -----------------------------------------------------------------

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
    out.writeFlag(params.requestKeyExchange || mAsksForKeyExchange || mRequiresKeyExchange);
    out.writeFlag(params.requestCertificate);
    if (params.connectSendCount++ == 0)
        params.connectFirstSendTime = mCurrentTime;
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
    if (!mHandshakeGuard.admitChallengeRequest(address, stream.size(), mCurrentTime)) {
        SF_LOG("LogNetInterface", "Challenge Request from %s not answered: over its share", address.toText());
        return;
    }
    if (mRequiresKeyExchange && !wantsKeyExchange) {
        // Offering the key anyway would quietly seal a client that did not
        // ask; say why instead. The client has no server nonce yet: it
        // matches the all-zero one it starts with.
        ConnectParams refused;
        refused.clientNonce = clientNonce;
        refuseConnectRequest(address, refused, KeyExchangeRequiredReason);
        return;
    }
    mHandshakeGuard.chargeChallengeAnswer(
        address, sendChallengeResponse(address, clientNonce, wantsKeyExchange, wantsCertificate));
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
    uint32_t identity = mHandshakeGuard.identityToken(address, clientNonce);
    out.writeU32(identity);
    mHandshakeGuard.puzzleManager().currentNonce().write(out);
    out.writeU32(mHandshakeGuard.puzzleManager().currentDifficulty());

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
    // A client that asked for a key and was offered none lets its connection
    // judge that too (key null): a server it knows by its key may be an
    // impostor that offers none, to be joined unsealed.
    const bool askedForKey = params.requestKeyExchange || mAsksForKeyExchange;
    if (!certificate && !peerKey && askedForKey && !connection->acceptPublicKey(nullptr, true))
        return;
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
        appendDigestAndEncrypt(out, SealDigestBytes, encryptPos, cipher);
    }
    if (params.connectSendCount++ == 0)
        params.connectFirstSendTime = mCurrentTime;
    params.connectLastSendTime = mCurrentTime;
    sendTo(connection->address(), out);
}

void NetInterface::handleConnectRequest(const NetAddress& address, BitStream& stream)
{
    if (!mAllowConnections)
        return;

    // Nothing is made, and no costly work done, for a peer until it has
    // shown a token for its address and the work of the puzzle. The checks
    // come cheapest first: the source's allowance of answers, the token, the
    // puzzle, the slots, the used nonces; only then the key agreement.
    // Every answer below, a refusal as much as a repeated accept, is charged
    // to the source; a source that has used up its answers is not even
    // looked at further (a table lookup, cheaper than the token's hash).
    if (!mHandshakeGuard.admitConnectRequest(address, mCurrentTime)) {
        SF_LOG("LogNetInterface", "Connect Request from %s not answered: over its share", address.toText());
        return;
    }
    ConnectParams params;
    NetConnection* existing = nullptr;
    if (!checkConnectRequestProof(address, stream, params, &existing))
        return;

    params.usingCrypto = stream.readFlag();
    if (stream.hasError())
        return;
    if (mRequiresKeyExchange && !params.usingCrypto) {
        // Only a client that skipped the key it was offered gets here.
        refuseConnectRequest(address, params, KeyExchangeRequiredReason);
        return;
    }
    if (params.usingCrypto && !openSealedConnectRequest(address, stream, params))
        return;
    params.debugObjectSizes = stream.readFlag();
    uint32_t clientInitialSequence = stream.readU32();
    char className[256];
    stream.readText(className);
    if (stream.hasError())
        return;

    RefPtr<NetConnection> connection = readRequestedConnection(address, stream, params, className);
    if (connection)
        establishIncomingConnection(connection.get(), params, clientInitialSequence, existing);
}

bool NetInterface::checkConnectRequestProof(const NetAddress& address, BitStream& stream, ConnectParams& params,
                                            NetConnection** existing)
{
    params.clientNonce.read(stream);
    params.serverNonce.read(stream);
    params.clientIdentity = stream.readU32();
    if (stream.hasError() || !mHandshakeGuard.isIdentityTokenValid(address, params.clientNonce, params.clientIdentity))
        return false;
    params.puzzleDifficulty = stream.readU32();
    params.puzzleSolution = stream.readU32();
    if (stream.hasError())
        return false;

    // The accept was lost: answer the repeated request with it again.
    *existing = findConnection(address);
    if (*existing) {
        ConnectParams& cp = (*existing)->connectParams();
        if (cp.clientNonce == params.clientNonce && cp.serverNonce == params.serverNonce) {
            mHandshakeGuard.chargeChallengeAnswer(address, sendConnectAccept(*existing));
            return false;
        }
    }

    // Checked here (a used client nonce fails it too), used up only once the
    // request reaches the key agreement or has been read whole: a cut or
    // forged plain request leaves the client nonce usable.
    PuzzleResult result = mHandshakeGuard.puzzleManager().verifySolution(
        params.puzzleSolution, params.clientNonce, params.serverNonce, params.puzzleDifficulty, params.clientIdentity);
    if (result != PuzzleSuccess) {
        refuseConnectRequest(address, params, "Puzzle");
        return false;
    }
    if (const char* refusal = slotRefusal(address, *existing != nullptr)) {
        SF_LOG("LogNetInterface", "Refused Connect Request from %s: %s", address.toText(), refusal);
        refuseConnectRequest(address, params, refusal);
        return false;
    }
    return true;
}

bool NetInterface::openSealedConnectRequest(const NetAddress& address, BitStream& stream, ConnectParams& params)
{
    if (!mPrivateKey)
        return false;
    // The key agreement is the costly step: so many a second from one host
    // and from all; a request beyond them is dropped unanswered and its
    // nonce stays usable for the genuine client's next try.
    if (!mHandshakeGuard.admitKeyAgreement(address, mCurrentTime)) {
        SF_LOG("LogNetInterface", "Connect Request from %s dropped: key agreements over the limit", address.toText());
        return false;
    }
    params.publicKey = new AsymmetricKey(stream);
    if (stream.hasError() || !params.publicKey->isValid())
        return false;
    params.privateKey = mPrivateKey;
    uint32_t decryptPos = stream.bytePosition();
    stream.setBytePosition(decryptPos);
    // A request that gets this far uses its client nonce up whether or not
    // its seal then checks out: otherwise one recorded request, its last
    // byte changed each time, would buy a key agreement per copy for as long
    // as its token lasts; now a copy costs a table lookup. (A genuine client
    // that loses its nonce to such a copy is told "Puzzle" and asks for a
    // new challenge.)
    if (!mHandshakeGuard.puzzleManager().useClientNonce(params.clientNonce, params.serverNonce))
        return false;
    ++mKeyAgreements;
    params.sharedSecret = params.privateKey->computeSharedSecret(params.publicKey);
    if (!params.sharedSecret)
        return false;
    RefPtr<SymmetricCipher> cipher = new SymmetricCipher(params.sharedSecret);
    if (!decryptAndVerifyDigest(stream, SealDigestBytes, decryptPos, cipher))
        return false;
    stream.readBytes(16, params.symmetricKey);
    Random::randomBytes(params.initVector, sizeof(params.initVector));
    return true;
}

RefPtr<NetConnection> NetInterface::readRequestedConnection(const NetAddress& address, BitStream& stream,
                                                            const ConnectParams& params, const char* className)
{
    RefPtr<Object> created = createConnectionByName(className);
    if (!created)
        return nullptr;
    RefPtr<NetConnection> connection = static_cast<NetConnection*>(created.get());
    // Where it comes from and through which interface, before it reads its
    // request: it may refuse by the address.
    connection->setAddress(address);
    connection->setInterface(this);
    prepareIncomingConnection(connection.get());
    const char* refusal = nullptr;
    bool accepted = connection->readConnectRequest(stream, &refusal);
    if (stream.hasError())
        return nullptr;
    mHandshakeGuard.puzzleManager().useClientNonce(params.clientNonce, params.serverNonce);
    if (!accepted) {
        // The client is told why, or at least that it was refused, instead
        // of retrying into a time-out.
        refuseConnectRequest(address, params, refusal ? refusal : RefusedWithoutReason);
        return nullptr;
    }
    return connection;
}

void NetInterface::establishIncomingConnection(NetConnection* connection, const ConnectParams& params,
                                               uint32_t clientInitialSequence, NetConnection* existing)
{
    SF_LOG("LogNetInterface", "Received Connect Request %8x", params.clientIdentity);
    if (existing)
        disconnect(existing, ReasonSelfDisconnect, "NewConnection");

    connection->connectParams() = params;
    connection->setInitialReceiveSequence(clientInitialSequence);
    connection->setEstablishedTime(mCurrentTime);
    if (mHasDefaultRate)
        connection->setLocalRate(mDefaultRate);
    if (params.usingCrypto)
        connection->setSymmetricCipher(new SymmetricCipher(params.symmetricKey, params.initVector));

    addConnection(connection);
    connection->setState(Connected);
    chooseRateMode(connection);
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
//     [reset token]          (16 bytes, only to a peer of the version set
//                             with setResetTokens: netinterface_reset.cpp)
//     [digest]               (5 bytes)
uint32_t NetInterface::sendConnectAccept(NetConnection* connection)
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
        uint8_t token[ResetTokenBytes];
        if (givesResetToken(connection) &&
            resetToken(connection->address(), params.clientNonce, params.serverNonce, token))
            out.writeBytes(ResetTokenBytes, token);
        RefPtr<SymmetricCipher> cipher = new SymmetricCipher(params.sharedSecret);
        appendDigestAndEncrypt(out, SealDigestBytes, encryptPos, cipher);
    }
    sendTo(connection->address(), out);
    return out.bytePosition();
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
        if (!decryptAndVerifyDigest(stream, SealDigestBytes, decryptPos, cipher))
            return;
    }
    uint32_t serverInitialSequence = stream.readU32();
    const char* refusal = nullptr;
    bool accepted = connection->readConnectAccept(stream, &refusal);
    uint8_t initVector[16];
    // A token after the init vector is there only if the server gives one;
    // an older server's accept ends with the vector.
    uint8_t token[ResetTokenBytes];
    bool hasToken = false;
    if (params.usingCrypto) {
        stream.readBytes(16, initVector);
        hasToken = stream.readLimitBits() >= stream.bitPosition() + ResetTokenBytes * 8 &&
                   stream.readBytes(ResetTokenBytes, token);
    }
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
    if (hasToken)
        connection->setResetToken(token);
    addConnection(connection);
    removePendingConnection(connection);
    connection->setState(Connected);
    chooseRateMode(connection);
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

void NetInterface::refuseConnectRequest(const NetAddress& address, const ConnectParams& params, const char* reason)
{
    sendConnectReject(address, params.clientNonce, params.serverNonce, reason);
    mHandshakeGuard.chargeChallengeAnswer(address, RefusalChargeBytes + uint32_t(std::strlen(reason)));
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
        appendDigestAndEncrypt(out, SealDigestBytes, encryptPos, cipher);
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
        if (!decryptAndVerifyDigest(stream, SealDigestBytes, decryptPos, cipher))
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
