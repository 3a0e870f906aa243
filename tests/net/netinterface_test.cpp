// The handshake, time-outs, the connection table and packet delivery through
// real interfaces on loopback, with a settable clock.
#include "handtestutil.h"

#include <cstring>

#include "net/random.h"

using namespace seafold;
using namespace seafold::test;

SF_IMPLEMENT_NETCONNECTION(ProbeConnection);

namespace {

} // namespace

TEST(Handshake, ClientAndServerConnectAndLearnTheirRoles)
{
    ProbePair p;
    p.connect();
    ASSERT_TRUE(p.connected());
    ProbeConnection* serverSide = p.serverSide();
    EXPECT_EQ(p.clientConnection->establishedCount, 1);
    EXPECT_EQ(serverSide->establishedCount, 1);
    EXPECT_TRUE(p.clientConnection->isConnectionToServer());
    EXPECT_TRUE(serverSide->isConnectionToClient());
    EXPECT_TRUE(p.client->pendingConnections().empty());
    EXPECT_EQ(serverSide->address(), p.client->boundAddress());
    EXPECT_EQ(p.clientConnection->connectParams().clientNonce, serverSide->connectParams().clientNonce);
}

TEST(Handshake, DataFlowsInOrderAndEveryPacketIsNotified)
{
    ProbePair p;
    p.connect();
    ASSERT_TRUE(p.connected());
    for (uint32_t i = 1; i <= 5; ++i)
        p.clientConnection->outgoing.push_back(i);
    ProbeConnection* serverSide = p.serverSide();
    // Pacing: one packet per 96 ms by default. Acknowledgements ride on the
    // peer's packets; a peer with nothing to say answers the keep-alive ping.
    ASSERT_TRUE(p.run(1000, 10, [&] { return p.clientConnection->delivered.size() == 5; }));
    EXPECT_EQ(serverSide->received, (std::vector<uint32_t>{1, 2, 3, 4, 5}));
    EXPECT_TRUE(p.clientConnection->dropped.empty());
}

TEST(Handshake, KeyExchangeSealsEveryPacket)
{
    ProbePair p;
    RefPtr<AsymmetricKey> serverKey = new AsymmetricKey(32);
    ASSERT_TRUE(serverKey->isValid());
    p.server->setPrivateKey(serverKey);
    p.connect(true);
    ASSERT_TRUE(p.connected());
    ProbeConnection* serverSide = p.serverSide();
    ASSERT_NE(p.clientConnection->symmetricCipher(), nullptr);
    ASSERT_NE(serverSide->symmetricCipher(), nullptr);
    EXPECT_TRUE(p.clientConnection->connectParams().usingCrypto);

    for (uint32_t i = 10; i < 14; ++i)
        p.clientConnection->outgoing.push_back(i);
    ASSERT_TRUE(p.run(1000, 10, [&] { return p.clientConnection->delivered.size() == 4; }));
    EXPECT_EQ(serverSide->received, (std::vector<uint32_t>{10, 11, 12, 13}));
}

// The challenge went out every 2.5 s only, so one lost datagram cost a join
// that long. It is now sent again after 250 ms, the wait doubling up to
// 2.5 s, and the attempt still ends when five plain sends would have.
TEST(Handshake, AnUnansweredChallengeIsSentAgainSoonAtFirstAndGivenUpAtTheSameTotal)
{
    TestClock clock;
    RawPeer silent;
    RefPtr<NetInterface> client = new NetInterface(loopbackAny());
    client->setTimeSource(clock.source());
    const uint32_t start = clock.now;
    RefPtr<ProbeConnection> connection = new ProbeConnection;
    connection->connect(client, silent.address());
    const uint32_t StepMs = 50;
    std::vector<uint32_t> sentAt;
    uint32_t failedAt = 0;
    for (int step = 0; step < 400 && connection->failures.empty(); ++step) {
        uint8_t buffer[1500];
        uint32_t length;
        NetAddress from;
        silent.socket.waitReadable(sentAt.empty() ? 200 : 0);
        while (silent.socket.recvfrom(&from, buffer, sizeof(buffer), &length) == Success) {
            EXPECT_EQ(buffer[0], NetInterface::ConnectChallengeRequest);
            sentAt.push_back(clock.now - start);
        }
        clock.now += StepMs;
        client->serviceConnections();
        if (!connection->failures.empty())
            failedAt = clock.now - start;
        else
            silent.socket.waitReadable(2);
    }
    // At the first step past each wait: 250, 500, 1000, 2000, then 2500 ms.
    EXPECT_EQ(sentAt, (std::vector<uint32_t>{0, 300, 850, 1900, 3950, 6500, 9050, 11600, 14150}));
    EXPECT_EQ(NetInterface::handshakeResendDelayMs(1), 250u);
    EXPECT_EQ(NetInterface::handshakeResendDelayMs(9), uint32_t(NetInterface::ChallengeRetryMs));
    ASSERT_EQ(connection->failures.size(), 1u);
    EXPECT_EQ(connection->failures[0], std::make_pair(uint32_t(ReasonTimedOut), std::string("Timeout")));
    EXPECT_GT(failedAt, uint32_t(NetInterface::HandshakeGiveUpMs));
    EXPECT_LE(failedAt, NetInterface::HandshakeGiveUpMs + StepMs);
    EXPECT_EQ(connection->state(), AttemptTimedOut);
    EXPECT_TRUE(client->pendingConnections().empty());
}

// A client sent to a port nothing listens on waited the whole handshake
// (15 s) although the host said at once that nothing is there.
TEST(Handshake, APortNothingListensOnEndsTheAttemptWithoutWaiting)
{
    NetAddress closed;
    {
        Socket taken(NetAddress(IPProtocol, LocalhostAddress, 0));
        ASSERT_TRUE(taken.isValid());
        closed = taken.boundAddress();
    } // closed again: nothing listens there now
    TestClock clock; // stands still: no resend and no give-up can end the attempt
    RefPtr<NetInterface> client = new NetInterface(loopbackAny());
    client->setTimeSource(clock.source());
    RefPtr<ProbeConnection> connection = new ProbeConnection;
    connection->connect(client, closed);
    for (int pass = 0; pass < 500 && connection->failures.empty(); ++pass) {
        client->waitForPackets(2);
        client->receivePackets();
        client->serviceConnections();
    }
    ASSERT_EQ(connection->failures.size(), 1u);
    EXPECT_EQ(connection->failures[0].second, NetInterface::NothingListensReason);
    EXPECT_TRUE(client->pendingConnections().empty());
}

TEST(Handshake, ServerThatRefusesConnectionsStaysSilent)
{
    ProbePair p;
    p.server->setAllowConnections(false);
    p.connect();
    p.run(300, 100, [&] { return !p.clientConnection->failures.empty(); });
    EXPECT_TRUE(p.server->connections().empty());
    ASSERT_EQ(p.clientConnection->failures.size(), 1u);
    EXPECT_EQ(p.clientConnection->failures[0].second, "Timeout");
}

namespace {

std::vector<uint8_t> typesOf(const std::vector<std::vector<uint8_t>>& datagrams)
{
    std::vector<uint8_t> types;
    for (auto& d : datagrams)
        types.push_back(d.empty() ? 0xFF : d[0]);
    return types;
}

} // namespace

TEST(Handshake, RepeatedConnectRequestMakesOneConnectionAndTwoAccepts)
{
    TestClock clock;
    RefPtr<NetInterface> server = new NetInterface(loopbackAny());
    server->setTimeSource(clock.source());
    HandClient hand;
    ASSERT_TRUE(hand.challenge(*server));
    EXPECT_TRUE(server->connections().empty()); // no state for a challenge

    PacketStream request;
    hand.writeRequest(request, hand.token);
    hand.peer.send(server->boundAddress(), request);
    hand.peer.send(server->boundAddress(), request);
    server->receivePackets();
    EXPECT_EQ(server->connections().size(), 1u);
    auto replies = hand.peer.drain();
    EXPECT_EQ(typesOf(replies), (std::vector<uint8_t>{NetInterface::ConnectAccept, NetInterface::ConnectAccept}));
    // ConnectAccept: type, both nonces, then the server's initial sequence.
    ASSERT_GE(replies[0].size(), 21u);
    EXPECT_EQ(std::memcmp(replies[0].data() + 1, hand.clientNonce.data, 8), 0);
    EXPECT_EQ(std::memcmp(replies[0].data() + 9, hand.serverNonce.data, 8), 0);
    uint32_t initial = replies[0][17] | replies[0][18] << 8 | replies[0][19] << 16 | uint32_t(replies[0][20]) << 24;
    EXPECT_EQ(initial, server->connections()[0]->initialSendSequence());
    EXPECT_EQ(server->connections()[0]->lastReceivedSequence(), 0x12345678u);
}

TEST(Handshake, BadConnectRequestsAreIgnoredWithoutStateOrReply)
{
    TestClock clock;
    RefPtr<NetInterface> server = new NetInterface(loopbackAny());
    server->setTimeSource(clock.source());
    HandClient hand;
    ASSERT_TRUE(hand.challenge(*server));

    struct Case {
        const char* what;
        std::function<void(PacketStream&)> write;
        std::vector<uint8_t> replies;
    };
    std::vector<Case> cases = {
        {"wrong identity token", [&](PacketStream& s) { hand.writeRequest(s, hand.token ^ 1); }, {}},
        {"unknown class", [&](PacketStream& s) { hand.writeRequest(s, hand.token, "NoSuchConnection"); }, {}},
        {"cut short",
         [&](PacketStream& s) {
             hand.writeRequest(s, hand.token);
             s.setBitPosition(s.bitPosition() - 40);
         },
         {}},
        {"wrong solution",
         [&](PacketStream& s) {
             uint32_t good = hand.solution;
             hand.solution = good + 1;
             while (puzzleHashOk(hand.solution, hand.clientNonce, hand.serverNonce, hand.difficulty, hand.token))
                 ++hand.solution;
             hand.writeRequest(s, hand.token);
             hand.solution = good;
         },
         {NetInterface::ConnectReject}},
    };
    for (auto& c : cases) {
        PacketStream out;
        c.write(out);
        hand.peer.send(server->boundAddress(), out);
        server->receivePackets();
        EXPECT_TRUE(server->connections().empty()) << c.what;
        EXPECT_EQ(typesOf(hand.peer.drain()), c.replies) << c.what;
    }
    // The cut request used up nothing: the same nonce still connects.
    PacketStream good;
    hand.writeRequest(good, hand.token);
    hand.peer.send(server->boundAddress(), good);
    server->receivePackets();
    EXPECT_EQ(server->connections().size(), 1u);
    EXPECT_EQ(typesOf(hand.peer.drain()), (std::vector<uint8_t>{NetInterface::ConnectAccept}));
}

TEST(Handshake, StrangersDataPacketsAndHighDifficultyAreIgnored)
{
    ProbePair p;
    p.connect();
    // A challenge response with difficulty 27 never starts a puzzle.
    p.client->receivePackets(); // nothing yet
    ConnectParams& params = p.clientConnection->connectParams();
    PacketStream response;
    response.writeU8(NetInterface::ChallengeResponse);
    params.clientNonce.write(response);
    response.writeU32(1);
    params.clientNonce.write(response);
    response.writeU32(27);
    response.writeFlag(false);
    BitStream in(response.data(), response.bytePosition());
    p.client->dispatchPacket(p.server->boundAddress(), in);
    EXPECT_EQ(p.clientConnection->state(), ChallengeSent);

    // A data packet from an address without a connection is dropped.
    uint8_t data[8] = {0x80, 1, 2, 3, 4, 5, 6, 7};
    BitStream stray(data, sizeof(data));
    p.server->dispatchPacket(p.client->boundAddress(), stray);
    EXPECT_TRUE(p.server->connections().empty());
    // An empty datagram is nothing at all.
    BitStream empty(data, 0);
    p.server->dispatchPacket(p.client->boundAddress(), empty);
    ASSERT_TRUE(p.connected());
}

TEST(Handshake, PuzzleRejectIsRetriedOnceWithANewNonce)
{
    // Held at RequestSent: the server never sees the connect request.
    ProbePair q;
    q.connect();
    q.client->receivePackets();
    q.server->receivePackets(); // challenge request in
    q.client->receivePackets(); // challenge response in, puzzle, request out
    for (int i = 0; i < 100 && q.clientConnection->state() == SolvingPuzzle; ++i)
        q.client->serviceConnections();
    ASSERT_EQ(q.clientConnection->state(), RequestSent);

    auto reject = [&](const Nonce& clientNonce) {
        PacketStream out;
        out.writeU8(NetInterface::ConnectReject);
        clientNonce.write(out);
        q.clientConnection->connectParams().serverNonce.write(out);
        out.writeText("Puzzle");
        BitStream in(out.data(), out.bytePosition());
        q.client->dispatchPacket(q.server->boundAddress(), in);
    };
    Nonce first = q.clientConnection->connectParams().clientNonce;
    reject(first);
    EXPECT_EQ(q.clientConnection->state(), ChallengeSent);
    Nonce second = q.clientConnection->connectParams().clientNonce;
    EXPECT_NE(first, second);
    EXPECT_TRUE(q.clientConnection->failures.empty());
    reject(second);
    ASSERT_EQ(q.clientConnection->failures.size(), 1u);
    EXPECT_EQ(q.clientConnection->failures[0], std::make_pair(uint32_t(ReasonRejected), std::string("Puzzle")));
    EXPECT_EQ(q.clientConnection->state(), Rejected);
}

// Silence from the last packet heard: pings from 3 s on, the end at 15 s
// (give or take the 1.5 s between time-out checks), not eleven intervals.
TEST(Connection, SilentPeerIsDroppedAfterFifteenSeconds)
{
    ProbePair p;
    p.connect();
    ASSERT_TRUE(p.connected());
    RefPtr<ProbeConnection> serverSide = p.serverSide();
    // From now on only the server runs: the client is silent.
    uint32_t start = p.clock.now;
    pump({p.server}, p.clock, 2000, 100, [&] { return !serverSide->disconnects.empty(); });
    ASSERT_EQ(serverSide->disconnects.size(), 1u);
    EXPECT_EQ(serverSide->disconnects[0], std::make_pair(uint32_t(ReasonTimedOut), std::string("Timeout")));
    EXPECT_EQ(serverSide->state(), TimedOut);
    EXPECT_TRUE(p.server->connections().empty());
    uint32_t elapsed = p.clock.now - start;
    EXPECT_GT(elapsed, uint32_t(NetConnection::SilenceLimitMs));
    // The time-out checks come every 1.6 s at this step; the client's last
    // packets were still on their way at the start.
    EXPECT_LE(elapsed, uint32_t(NetConnection::SilenceLimitMs) + 2 * 1600u);
}

TEST(Connection, DestroyingTheInterfaceTellsEveryPeer)
{
    ProbePair p;
    p.connect();
    ASSERT_TRUE(p.connected());
    RefPtr<NetInterface> client2 = new NetInterface(loopbackAny());
    client2->setTimeSource(p.clock.source());
    RefPtr<ProbeConnection> second = new ProbeConnection;
    second->connect(client2, p.server->boundAddress());
    ASSERT_TRUE(pump({p.server, p.client, client2}, p.clock, 200, 10,
                     [&] { return second->state() == Connected && p.server->connections().size() == 2; }));
    std::vector<RefPtr<ProbeConnection>> serverSides;
    for (auto& c : p.server->connections())
        serverSides.push_back(static_cast<ProbeConnection*>(c.get()));

    p.server = nullptr; // the last reference: shutdown
    for (auto& s : serverSides)
        EXPECT_EQ(s->disconnects, (std::vector<std::pair<uint32_t, std::string>>{{ReasonSelfDisconnect, "Shutdown"}}));
    p.client->receivePackets();
    client2->receivePackets();
    EXPECT_EQ(p.clientConnection->disconnects,
              (std::vector<std::pair<uint32_t, std::string>>{{ReasonRemoteDisconnect, "Shutdown"}}));
    EXPECT_EQ(second->disconnects,
              (std::vector<std::pair<uint32_t, std::string>>{{ReasonRemoteDisconnect, "Shutdown"}}));
}

TEST(Connection, ReconnectingToTheSameAddressEndsTheOldConnection)
{
    ProbePair p;
    p.connect();
    ASSERT_TRUE(p.connected());
    RefPtr<ProbeConnection> old = p.clientConnection;
    p.connect();
    EXPECT_EQ(old->disconnects,
              (std::vector<std::pair<uint32_t, std::string>>{{ReasonSelfDisconnect, "Reconnecting"}}));
    ASSERT_TRUE(p.run(200, 10, [&] {
        return p.clientConnection->state() == Connected && p.server->connections().size() == 1 &&
               p.serverSide()->establishedCount == 1 &&
               p.serverSide()->connectParams().clientNonce == p.clientConnection->connectParams().clientNonce;
    }));
}

namespace {

struct TableInterface : NetInterface {
    TableInterface() : NetInterface(loopbackAny()) {}
    using NetInterface::addConnection;
    using NetInterface::removeConnection;
};

} // namespace

TEST(ConnectionTable, GrowsAndKeepsEveryConnectionFindableThroughRemovals)
{
    RefPtr<TableInterface> table = new TableInterface;
    std::vector<RefPtr<ProbeConnection>> all;
    for (uint32_t i = 0; i < 65; ++i) {
        RefPtr<ProbeConnection> c = new ProbeConnection;
        NetAddress a;
        // Few distinct hosts and close ports: plenty of collisions.
        a.netNum[0] = 0x7F000001 + (i % 3);
        a.port = uint16_t(20000 + i / 3);
        c->setAddress(a);
        table->addConnection(c);
        all.push_back(c);
        EXPECT_EQ(table->connectionTableSize(), i + 1 > 64 ? (i + 1) * 4 - 1 : 129u);
    }
    for (auto& c : all)
        EXPECT_EQ(table->findConnection(c->address()), c.get());
    for (uint32_t i = 0; i < all.size(); i += 2)
        table->removeConnection(all[i]);
    for (uint32_t i = 0; i < all.size(); ++i)
        EXPECT_EQ(table->findConnection(all[i]->address()), i % 2 ? all[i].get() : nullptr);
    EXPECT_EQ(table->connections().size(), 32u);
}

TEST(Handshake, RejectAndDisconnectPacketsAreLaidOutByHand)
{
    TestClock clock;
    RefPtr<NetInterface> server = new NetInterface(loopbackAny());
    server->setTimeSource(clock.source());
    HandClient hand;
    ASSERT_TRUE(hand.challenge(*server));

    auto expectNonces = [&](const std::vector<uint8_t>& d) {
        ASSERT_GE(d.size(), 17u);
        EXPECT_EQ(std::memcmp(d.data() + 1, hand.clientNonce.data, 8), 0);
        EXPECT_EQ(std::memcmp(d.data() + 9, hand.serverNonce.data, 8), 0);
    };
    // ConnectReject: [3] [client nonce] [server nonce] [reason text].
    uint32_t good = hand.solution;
    do
        ++hand.solution;
    while (puzzleHashOk(hand.solution, hand.clientNonce, hand.serverNonce, hand.difficulty, hand.token));
    PacketStream wrong;
    hand.writeRequest(wrong, hand.token);
    hand.solution = good;
    hand.peer.send(server->boundAddress(), wrong);
    server->receivePackets();
    auto replies = hand.peer.drain();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0][0], NetInterface::ConnectReject);
    expectNonces(replies[0]);
    BitStream reject(replies[0].data(), uint32_t(replies[0].size()));
    reject.setBytePosition(17);
    char reason[256];
    reject.readText(reason);
    EXPECT_STREQ(reason, "Puzzle");
    EXPECT_FALSE(reject.hasError());

    // Disconnect: [5] [client nonce] [server nonce], aligned, [reason text].
    PacketStream request;
    hand.writeRequest(request, hand.token);
    hand.peer.send(server->boundAddress(), request);
    server->receivePackets();
    hand.peer.drain();
    ASSERT_EQ(server->connections().size(), 1u);
    server->connections()[0]->disconnect("Bye");
    replies = hand.peer.drain();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0][0], NetInterface::Disconnect);
    expectNonces(replies[0]);
    BitStream bye(replies[0].data(), uint32_t(replies[0].size()));
    bye.setBytePosition(17);
    bye.readText(reason);
    EXPECT_STREQ(reason, "Bye");
    EXPECT_EQ(bye.bytePosition(), replies[0].size());
    EXPECT_TRUE(server->connections().empty());
}
