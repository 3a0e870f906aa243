// Secure connections: key handling in the handshake (a server that requires
// key exchange, a client that requires it, key fingerprints), and sealed
// packets that a spoofer, a replayer or a bit-flipper cannot get accepted.
// Real interfaces on loopback with a settable clock; forged datagrams go in
// through dispatchPacket as if they came from the peer's address.
#include "handtestutil.h"

#include <cstring>
#include <set>

#include "net/random.h"

using namespace seafold;
using namespace seafold::test;

namespace {

void fixedSeed(uint8_t n)
{
    const uint8_t seed[4] = {'s', 'e', 'c', n};
    Random::setFixedSeed(seed, sizeof seed);
}

// A server and a client interface; the server has a key pair when `secure`.
struct SecurePair : ProbePair {
    RefPtr<AsymmetricKey> serverKey;

    explicit SecurePair(bool serverSecure, bool clientSecure)
    {
        if (serverSecure) {
            serverKey = new AsymmetricKey(32);
            server->setPrivateKey(serverKey);
            server->setRequiresKeyExchange(true);
        }
        client->setRequiresKeyExchange(clientSecure);
        connect();
    }
    bool ended()
    {
        return run(400, 50, [&] { return !clientConnection->failures.empty(); });
    }
};

using Bytes = std::vector<uint8_t>;

// Hands `bytes` to `to` as a datagram from `from`.
void inject(NetInterface* to, const NetAddress& from, Bytes bytes)
{
    bytes.push_back(0); // data() stays valid for an empty datagram; not part of it
    BitStream stream(bytes.data(), uint32_t(bytes.size() - 1));
    to->dispatchPacket(from, stream);
}

// Every datagram waiting on `netInterface`'s socket, taken off the wire
// before the interface reads them.
std::vector<Bytes> intercept(NetInterface* netInterface)
{
    std::vector<Bytes> out;
    uint8_t buffer[1500];
    uint32_t length;
    NetAddress from;
    for (int i = 0; i < 100 && netInterface->socket().recvfrom(&from, buffer, sizeof buffer, &length) == Success; ++i)
        out.emplace_back(buffer, buffer + length);
    return out;
}

// A packet as a sender without the key would write it: the header with
// `type`, `sequence` and `ack`, no ack mask; a data packet adds no rate
// change and the payload U32. For a sealed connection five bytes follow
// where the digest would be.
Bytes forgedPacket(uint32_t type, uint32_t sequence, uint32_t ack, uint32_t payload, bool withDigestBytes)
{
    uint8_t buffer[64] = {};
    BitStream out(buffer, sizeof buffer);
    out.writeUnsigned(type, 2);
    out.writeUnsigned(sequence, 5);
    out.writeFlag(true);
    out.writeUnsigned(sequence >> 5, 6);
    out.writeUnsigned(ack, 10);
    out.writeRanged(0, 0, 4); // no ack mask
    out.writeUnsigned(0, 8);  // send delay
    if (type == NetConnection::DataPacket) {
        out.writeFlag(false); // no rate information
        out.writeU32(payload);
    }
    out.setBytePosition(out.bytePosition());
    if (withDigestBytes)
        out.writeBytes(SealDigestBytes, buffer); // any five bytes: the key is unknown
    return Bytes(buffer, buffer + out.bytePosition());
}

} // namespace

// ---- key fingerprints -----------------------------------------------------------

TEST(KeyFingerprint, NamesThePublicKeyInSixteenHexDigits)
{
    fixedSeed(1);
    RefPtr<AsymmetricKey> a = new AsymmetricKey(32), b = new AsymmetricKey(32);
    std::string fa = keyFingerprint(a);
    ASSERT_EQ(fa.size(), 16u);
    EXPECT_EQ(fa.find_first_not_of("0123456789abcdef"), std::string::npos) << fa;
    EXPECT_NE(fa, keyFingerprint(b));
    // The public half alone, as a client receives it, has the same name.
    RefPtr<AsymmetricKey> aPublic = new AsymmetricKey(a->publicKey()->data(), a->publicKey()->size());
    EXPECT_EQ(keyFingerprint(aPublic), fa);
    EXPECT_EQ(keyFingerprint(nullptr), "");
    uint8_t junk[8] = {1, 0, 0, 0, 32, 1, 2, 3};
    RefPtr<AsymmetricKey> invalid = new AsymmetricKey(junk, sizeof junk);
    EXPECT_EQ(keyFingerprint(invalid), "");
}

// A server's key lives as long as the server, so a client must not be able
// to learn about it by sending a point that is not on the curve: the shared
// secret of such a point is computed in a small group (an invalid-curve
// attack). Import refuses those points.
TEST(KeyFingerprint, PublicKeyWithAPointOffTheCurveIsRefused)
{
    fixedSeed(2);
    RefPtr<AsymmetricKey> key = new AsymmetricKey(32);
    Bytes pub(key->publicKey()->data(), key->publicKey()->data() + key->publicKey()->size());
    int refused = 0;
    for (uint8_t delta : {1, 2, 0x80}) {
        Bytes moved = pub;
        moved.back() ^= delta; // the last byte of the y coordinate
        RefPtr<AsymmetricKey> k = new AsymmetricKey(moved.data(), uint32_t(moved.size()));
        refused += !k->isValid();
        EXPECT_TRUE(RefPtr<ByteBuffer>(key->computeSharedSecret(k)).isNull()) << int(delta);
    }
    EXPECT_EQ(refused, 3);
}

// ---- the handshake ----------------------------------------------------------------

TEST(SecureHandshake, BothSidesRequiringKeyExchangeConnectSealed)
{
    fixedSeed(3);
    SecurePair p(true, true);
    ASSERT_TRUE(p.connected());
    ASSERT_NE(p.clientConnection->symmetricCipher(), nullptr);
    ASSERT_NE(p.serverSide()->symmetricCipher(), nullptr);
    EXPECT_EQ(keyFingerprint(p.clientConnection->connectParams().publicKey), keyFingerprint(p.serverKey));
    for (uint32_t i = 1; i <= 3; ++i)
        p.clientConnection->outgoing.push_back(i);
    ASSERT_TRUE(p.run(1000, 10, [&] { return p.clientConnection->delivered.size() == 3; }));
    EXPECT_EQ(p.serverSide()->received, (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(p.serverSide()->stats().packetsRejected, 0u);
}

TEST(SecureHandshake, ServerRefusesAClientThatDoesNotAskWithAReasonItCanShow)
{
    fixedSeed(4);
    SecurePair p(true, false);
    ASSERT_TRUE(p.ended());
    EXPECT_EQ(p.clientConnection->failures[0],
              std::make_pair(uint32_t(ReasonRejected), std::string("This server requires --secure")));
    EXPECT_EQ(p.clientConnection->state(), Rejected);
    EXPECT_TRUE(p.server->connections().empty());
    EXPECT_TRUE(p.client->pendingConnections().empty());
}

TEST(SecureHandshake, ClientRefusesAServerThatOffersNoKey)
{
    fixedSeed(5);
    SecurePair p(false, true);
    ASSERT_TRUE(p.ended());
    EXPECT_EQ(p.clientConnection->failures[0],
              std::make_pair(uint32_t(ReasonSelfDisconnect), std::string(NetInterface::NoKeyExchangeOfferedReason)));
    // It gave up before sending a connect request: the server made nothing.
    p.run(10, 10);
    EXPECT_TRUE(p.server->connections().empty());
}

TEST(SecureHandshake, ConnectRequestThatSkipsTheOfferedKeyIsRefused)
{
    fixedSeed(6);
    SecurePair p(true, false);
    // Play a client that asks for the key, then sends a plain request anyway.
    Socket peer(loopbackAny());
    Nonce clientNonce;
    clientNonce.getRandom();
    PacketStream challenge;
    challenge.writeU8(NetInterface::ConnectChallengeRequest);
    clientNonce.write(challenge);
    challenge.writeFlag(true);
    challenge.writeFlag(false);
    peer.sendto(p.server->boundAddress(), challenge.data(), challenge.bytePosition());
    p.server->receivePackets();
    uint8_t buffer[1500];
    uint32_t length = 0;
    NetAddress from;
    ASSERT_EQ(peer.recvfrom(&from, buffer, sizeof buffer, &length), Success);
    BitStream in(buffer, length);
    ASSERT_EQ(in.readU8(), NetInterface::ChallengeResponse);
    Nonce echoed, serverNonce;
    echoed.read(in);
    uint32_t identity = in.readU32();
    serverNonce.read(in);
    uint32_t difficulty = in.readU32();
    ASSERT_TRUE(in.readFlag()); // the key is offered
    uint32_t solution = 0;
    for (int i = 0; i < 1000 && !solvePuzzle(&solution, clientNonce, serverNonce, difficulty, identity); ++i) {
    }

    PacketStream request;
    request.writeU8(NetInterface::ConnectRequest);
    clientNonce.write(request);
    serverNonce.write(request);
    request.writeU32(identity);
    request.writeU32(difficulty);
    request.writeU32(solution);
    request.writeFlag(false); // no crypto
    request.writeFlag(true);
    request.writeU32(7);
    request.writeText("ProbeConnection");
    request.writeU32(NetClassGroupCount);
    request.writeU32(NetClassRep::classGroupChecksum(NetClassGroupCount));
    peer.sendto(p.server->boundAddress(), request.data(), request.bytePosition());
    p.server->receivePackets();
    ASSERT_EQ(peer.recvfrom(&from, buffer, sizeof buffer, &length), Success);
    BitStream reply(buffer, length);
    EXPECT_EQ(reply.readU8(), NetInterface::ConnectReject);
    Nonce n1, n2;
    n1.read(reply);
    n2.read(reply);
    char reason[256];
    reply.readText(reason);
    EXPECT_EQ(n1, clientNonce);
    EXPECT_EQ(n2, serverNonce);
    EXPECT_STREQ(reason, "This server requires --secure");
    EXPECT_TRUE(p.server->connections().empty());
}

// ---- sealed packets ---------------------------------------------------------------

// A blind spoofer sweeps the sequence space from the client's address with
// the acknowledgement it would need, in data, ping and ack packets.
// Unsealed, some of them are taken for the client's: data carries its
// payload in and moves the connection's sequence, so the client's own
// packets fall outside the window afterwards; a ping is answered. Sealed,
// every one that reaches the check fails it and nothing changes, nothing is
// answered.
TEST(SealedPackets, SpoofedPacketsWithEverySequenceChangeNothing)
{
    for (bool secure : {false, true}) {
        SCOPED_TRACE(secure ? "sealed" : "unsealed");
        fixedSeed(secure ? 7 : 8);
        SecurePair p(secure, secure);
        ASSERT_TRUE(p.connected());
        RefPtr<ProbeConnection> victim = p.serverSide();
        const NetAddress clientAddress = victim->address();
        const uint32_t lastReceived = victim->lastReceivedSequence();
        const uint32_t ack = victim->lastSentSequence();
        const uint32_t sentBefore = victim->stats().packetsSent;

        for (uint32_t type : {NetConnection::PingPacket, NetConnection::AckPacket, NetConnection::DataPacket})
            for (uint32_t sequence = 0; sequence < 2048; ++sequence)
                inject(p.server, clientAddress, forgedPacket(type, sequence, ack, 0xBAD0000 + sequence, secure));

        ASSERT_EQ(p.server->connections().size(), 1u);
        EXPECT_EQ(victim->state(), Connected);
        EXPECT_TRUE(victim->disconnects.empty());
        if (!secure) {
            // What sealing is for: the spoofer's payloads arrived as the
            // client's, and its pings were answered.
            EXPECT_FALSE(victim->received.empty());
            EXPECT_NE(victim->lastReceivedSequence(), lastReceived);
            EXPECT_GT(victim->stats().packetsSent, sentBefore);
            continue;
        }
        EXPECT_TRUE(victim->received.empty());
        EXPECT_EQ(victim->lastReceivedSequence(), lastReceived);
        EXPECT_EQ(victim->stats().packetsSent, sentBefore);
        // Per type, the 31 sequences ahead of the last one (and the last
        // itself) pass the window and fail the seal; the others never reach it.
        EXPECT_EQ(victim->stats().packetsRejected, 3 * 32u);

        // The client's own packets still arrive in order.
        p.clientConnection->outgoing = {1, 2, 3};
        ASSERT_TRUE(p.run(1000, 10, [&] { return p.clientConnection->delivered.size() == 3; }));
        EXPECT_EQ(victim->received, (std::vector<uint32_t>{1, 2, 3}));
    }
}

// Someone who sees the traffic knows both nonces, so it can write a
// Disconnect that matches them. Unsealed, that ends the connection; sealed,
// without the key, it does nothing.
TEST(SealedPackets, ForgedDisconnectWithTheRightNoncesEndsOnlyAnUnsealedConnection)
{
    for (bool secure : {false, true}) {
        SCOPED_TRACE(secure ? "sealed" : "unsealed");
        fixedSeed(secure ? 9 : 10);
        SecurePair p(secure, secure);
        ASSERT_TRUE(p.connected());
        RefPtr<ProbeConnection> victim = p.serverSide();
        const ConnectParams& params = victim->connectParams();
        for (int variant = 0; variant < 3; ++variant) {
            uint8_t buffer[300] = {};
            BitStream out(buffer, sizeof buffer);
            out.writeU8(NetInterface::Disconnect);
            params.clientNonce.write(out);
            params.serverNonce.write(out);
            out.setBytePosition(out.bytePosition());
            out.writeText("Bye from someone else");
            if (variant == 1)
                out.writeBytes(SealDigestBytes, buffer); // a guessed digest
            if (variant == 2) {
                // Sealed with a key of the forger's own.
                uint8_t key[32] = {9};
                RefPtr<ByteBuffer> wrongSecret = new ByteBuffer(key, 32);
                RefPtr<SymmetricCipher> cipher = new SymmetricCipher(wrongSecret);
                appendDigestAndEncrypt(out, SealDigestBytes, 17, cipher);
            }
            inject(p.server, victim->address(), Bytes(buffer, buffer + out.bytePosition()));
            if (!secure)
                break;
        }
        if (!secure) {
            EXPECT_TRUE(p.server->connections().empty());
            ASSERT_EQ(victim->disconnects.size(), 1u);
            EXPECT_EQ(victim->disconnects[0].second, "Bye from someone else");
            continue;
        }
        EXPECT_EQ(p.server->connections().size(), 1u);
        EXPECT_EQ(victim->state(), Connected);
        EXPECT_TRUE(victim->disconnects.empty());

        // The client's own, sealed, Disconnect still ends it.
        p.clientConnection->disconnect("Leaving");
        p.run(20, 10, [&] { return p.server->connections().empty(); });
        ASSERT_EQ(victim->disconnects.size(), 1u);
        EXPECT_EQ(victim->disconnects[0], std::make_pair(uint32_t(ReasonRemoteDisconnect), std::string("Leaving")));
    }
}

// A recorded sealed connect request with its last byte changed used to buy
// a key agreement per copy, for as long as its token lasted: replayed at full
// speed it stalled the server. Now the first copy uses the client nonce up,
// and every later one stops at the puzzle check with a "Puzzle" refusal, and
// once the refusals have used up the source's allowance, with nothing.
TEST(SecureHandshake, ACopiedConnectRequestRunsOneKeyAgreementAndTheGenuineClientStillJoins)
{
    fixedSeed(12);
    SecurePair p(true, true);
    const NetAddress clientAddress = p.client->boundAddress();
    Bytes request;
    for (int round = 0; round < 200 && request.empty(); ++round) {
        p.client->receivePackets();
        p.client->serviceConnections();
        for (const Bytes& datagram : intercept(p.server)) {
            if (datagram[0] == NetInterface::ConnectRequest)
                request = datagram;
            else
                inject(p.server, clientAddress, datagram);
        }
        p.server->serviceConnections();
        p.clock.now += 10;
    }
    ASSERT_FALSE(request.empty());

    Bytes forged = request;
    forged.back() ^= 0x01; // the seal no longer checks out
    const int copies = 50;
    for (int i = 0; i < copies; ++i)
        inject(p.server, clientAddress, forged);
    EXPECT_TRUE(p.server->connections().empty());
    EXPECT_EQ(p.server->keyAgreementCount(), 1u);
    int puzzleRefusals = 0;
    for (const Bytes& datagram : intercept(p.client))
        puzzleRefusals += datagram[0] == NetInterface::ConnectReject;
    EXPECT_GT(puzzleRefusals, 0);
    EXPECT_LT(puzzleRefusals, copies / 2); // the allowance ran out

    // The genuine request came too late for its nonce: it is refused the same
    // way once the allowance has recovered, and the client asks for a new
    // challenge and joins.
    inject(p.server, clientAddress, request);
    EXPECT_TRUE(p.server->connections().empty());
    ASSERT_TRUE(p.run(1000, 10, [&] { return p.clientConnection->state() == Connected && p.serverSide(); }));
    EXPECT_NE(p.serverSide()->symmetricCipher(), nullptr);
    EXPECT_EQ(p.server->keyAgreementCount(), 2u);
}

// Every one-bit change of a real sealed packet, and every cut of it, is
// refused without effect; the packet itself is still accepted afterwards,
// and a replay of it changes nothing.
TEST(SealedPackets, TamperedCopiesOfARealPacketAreRejectedAndTheRealOneStillArrives)
{
    fixedSeed(11);
    SecurePair p(true, true);
    ASSERT_TRUE(p.connected());
    RefPtr<ProbeConnection> victim = p.serverSide();
    p.run(20, 10); // let the handshake's own traffic settle
    intercept(p.server);

    p.clientConnection->outgoing = {42};
    p.clock.now += 200;
    p.client->serviceConnections();
    Bytes real;
    for (const Bytes& datagram : intercept(p.server))
        if ((datagram[0] & 0x80) && (datagram[0] & 3) == NetConnection::DataPacket)
            real = datagram;
    ASSERT_FALSE(real.empty());
    const uint32_t lastReceived = victim->lastReceivedSequence();

    uint32_t tampered = 0;
    for (size_t bit = 0; bit < real.size() * 8; ++bit) {
        Bytes copy = real;
        copy[bit / 8] ^= uint8_t(1u << (bit % 8));
        if (!(copy[0] & 0x80))
            continue; // no longer a connection packet: the handshake's business
        inject(p.server, victim->address(), copy);
        ++tampered;
    }
    for (size_t cut = 1; cut < real.size(); ++cut)
        inject(p.server, victim->address(), Bytes(real.begin(), real.end() - long(cut)));
    Bytes longer = real;
    longer.push_back(0);
    inject(p.server, victim->address(), longer);

    EXPECT_TRUE(victim->received.empty());
    EXPECT_EQ(victim->lastReceivedSequence(), lastReceived);
    EXPECT_EQ(victim->state(), Connected);
    // Changes of the clear header may move the sequence or the acknowledgement
    // out of the window, which turns the packet away before the seal check.
    EXPECT_GE(victim->stats().packetsRejected, tampered / 2);

    inject(p.server, victim->address(), real);
    EXPECT_EQ(victim->received, (std::vector<uint32_t>{42}));
    uint32_t rejected = victim->stats().packetsRejected;
    inject(p.server, victim->address(), real); // a replay: the same sequence again
    EXPECT_EQ(victim->received, (std::vector<uint32_t>{42}));
    EXPECT_EQ(victim->state(), Connected);
    EXPECT_EQ(victim->stats().packetsRejected, rejected);
}

// A recorded sealed acknowledgement used to pass again and again: replayed,
// it kept a peer that had gone silent looking alive.
TEST(SealedPackets, AReplayedSealedAckIsDropped)
{
    fixedSeed(12);
    SecurePair p(true, true);
    ASSERT_TRUE(p.connected());
    p.run(20, 10);
    intercept(p.client);
    p.clientConnection->outgoing = {7};
    p.clock.now += 200;
    p.client->serviceConnections();
    p.run(1, 0);
    // The server acknowledges the data at once or at its ack timer.
    Bytes ack;
    for (int i = 0; i < 50 && ack.empty(); ++i) {
        p.clock.now += 50;
        p.server->receivePackets();
        p.server->serviceConnections();
        for (const Bytes& datagram : intercept(p.client))
            if ((datagram[0] & 0x80) && (datagram[0] & 3) == NetConnection::AckPacket)
                ack = datagram;
    }
    ASSERT_FALSE(ack.empty());
    const NetAddress from = p.server->boundAddress();
    p.clock.now += 10;
    p.client->receivePackets(); // the clock reaches the interface
    inject(p.client, from, ack);
    const uint32_t heard = p.clientConnection->lastHeardTime();
    EXPECT_EQ(heard, p.clock.now);
    p.clock.now += 1000;
    p.client->receivePackets();
    inject(p.client, from, ack);
    EXPECT_EQ(p.clientConnection->lastHeardTime(), heard);
    EXPECT_EQ(p.clientConnection->state(), Connected);
}
