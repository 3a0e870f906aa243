// What a server does with datagrams before a peer has proven anything, and
// the limits on what it keeps: the connection cap, the rate given to new
// connections.
#include "handtestutil.h"

using namespace seafold;
using namespace seafold::test;

namespace {

struct Clients {
    TestClock clock;
    RefPtr<NetInterface> server;
    std::vector<RefPtr<NetInterface>> interfaces;
    std::vector<RefPtr<ProbeConnection>> connections;

    Clients()
    {
        server = new NetInterface(loopbackAny());
        server->setTimeSource(clock.source());
    }
    ProbeConnection* add()
    {
        RefPtr<NetInterface> client = new NetInterface(loopbackAny());
        client->setTimeSource(clock.source());
        RefPtr<ProbeConnection> connection = new ProbeConnection;
        connection->connect(client, server->boundAddress());
        interfaces.push_back(client);
        connections.push_back(connection);
        return connection;
    }
    bool run(const std::function<bool()>& done)
    {
        std::vector<NetInterface*> all{server};
        for (auto& i : interfaces)
            all.push_back(i);
        return pump(all, clock, 400, 10, done);
    }
};

std::vector<uint8_t> challengeRequest()
{
    PacketStream out;
    out.writeU8(NetInterface::ConnectChallengeRequest);
    Nonce nonce;
    nonce.getRandom();
    nonce.write(out);
    out.writeFlag(false);
    out.writeFlag(false);
    return std::vector<uint8_t>(out.data(), out.data() + out.bytePosition());
}

} // namespace

TEST(ServerIntake, AnOversizedDatagramBetweenRealOnesDoesNotEndThePass)
{
    TestClock clock;
    RefPtr<NetInterface> server = new NetInterface(loopbackAny());
    server->setTimeSource(clock.source());
    RawPeer peer;
    std::vector<uint8_t> oversized(2000, 0x00); // type 0 at the front, like a challenge request
    peer.send(server->boundAddress(), challengeRequest());
    peer.send(server->boundAddress(), oversized);
    peer.send(server->boundAddress(), challengeRequest());
    server->waitForPackets(200);
    server->receivePackets(); // one pass
    auto replies = peer.drain();
    ASSERT_EQ(replies.size(), 2u);
    for (auto& reply : replies)
        EXPECT_EQ(reply[0], NetInterface::ChallengeResponse);
}

TEST(ServerIntake, WhatCannotBeAPacketIsRefusedOnItsFirstBytes)
{
    RefPtr<NetInterface> server = new NetInterface(loopbackAny());
    auto plausible = [&](std::vector<uint8_t> bytes) {
        return server->isPlausibleDatagram(bytes.data(), uint32_t(bytes.size()));
    };
    std::vector<uint8_t> challenge(10, 0);
    EXPECT_TRUE(plausible(challenge));
    EXPECT_FALSE(plausible(std::vector<uint8_t>(9, 0)));     // a cut challenge request
    EXPECT_FALSE(plausible({}));                             // empty
    EXPECT_FALSE(plausible(std::vector<uint8_t>(40, 0x80))); // data, but nobody is connected
    EXPECT_FALSE(plausible(std::vector<uint8_t>(40, 1)));    // a challenge response to a server
    EXPECT_FALSE(plausible(std::vector<uint8_t>(40, 4)));    // a connect accept to a server
    EXPECT_FALSE(plausible(std::vector<uint8_t>(40, 6)));    // introduced connections
    EXPECT_FALSE(plausible(std::vector<uint8_t>(33, 2)));    // a cut connect request
    EXPECT_TRUE(plausible(std::vector<uint8_t>(34, 2)));
    server->setAllowConnections(false);
    EXPECT_FALSE(plausible(challenge)); // a closed server answers nothing
}

// A recorded connect request sent again and again (here one that fails its
// token) belongs to no connection: at the flood rate the loop stops waking
// for each copy, and goes back to waking once the copies stop.
TEST(ServerIntake, StrayDatagramsAtTheFloodRateAreTakenInBatches)
{
    TestClock clock;
    RefPtr<NetInterface> server = new NetInterface(loopbackAny());
    server->setTimeSource(clock.source());
    RawPeer peer;
    std::vector<uint8_t> request(40, 0);
    request[0] = NetInterface::ConnectRequest;
    struct Window {
        uint32_t copies;
        bool flooded;
    };
    const Window windows[] = {
        {NetInterface::FloodDatagramsPerWindow * 5, true},
        {0, false},
        {NetInterface::FloodDatagramsPerWindow - 1, false}, // under the rate
        {NetInterface::FloodDatagramsPerWindow, true},
    };
    server->receivePackets(); // the first window starts here
    for (const Window& w : windows) {
        for (uint32_t i = 0; i < w.copies; ++i)
            peer.send(server->boundAddress(), request);
        clock.now += NetInterface::FloodWindowMs;
        server->receivePackets();
        EXPECT_EQ(server->underFlood(), w.flooded) << w.copies << " copies in one window";
    }
}

TEST(ServerLimits, OneClientBeyondTheCapIsRejectedAsServerFull)
{
    Clients c;
    c.server->setMaxConnections(2);
    ProbeConnection* first = c.add();
    ProbeConnection* second = c.add();
    ASSERT_TRUE(c.run([&] { return first->isEstablished() && second->isEstablished(); }));
    ProbeConnection* third = c.add();
    ASSERT_TRUE(c.run([&] { return !third->failures.empty(); }));
    EXPECT_EQ(third->failures[0], std::make_pair(uint32_t(ReasonRejected), std::string("Server full")));
    EXPECT_EQ(c.server->connections().size(), 2u);

    // A place that comes free is taken by the next one.
    first->disconnect("bye");
    ASSERT_TRUE(c.run([&] { return c.server->connections().size() == 1; }));
    ProbeConnection* fourth = c.add();
    ASSERT_TRUE(c.run([&] { return fourth->isEstablished(); }));
    EXPECT_EQ(c.server->connections().size(), 2u);
}

TEST(ServerLimits, TheInterfaceRateGoesToEveryConnectionMadeOrAccepted)
{
    Clients c;
    NetConnection::RateInfo lan;
    lan.minPacketSendPeriod = lan.minPacketRecvPeriod = 16;
    lan.maxSendBandwidth = lan.maxRecvBandwidth = 65535;
    c.server->setDefaultRate(lan);
    RefPtr<NetInterface> client = new NetInterface(loopbackAny());
    client->setTimeSource(c.clock.source());
    client->setDefaultRate(lan);
    c.interfaces.push_back(client);
    RefPtr<ProbeConnection> connection = new ProbeConnection;
    connection->connect(client, c.server->boundAddress());
    ASSERT_TRUE(c.run([&] { return connection->isEstablished() && !c.server->connections().empty(); }));
    auto* accepted = static_cast<ProbeConnection*>(c.server->connections()[0].get());
    // The rate record travels in the first data packet each way.
    connection->outgoing.push_back(1);
    accepted->outgoing.push_back(2);
    ASSERT_TRUE(c.run([&] { return !connection->received.empty() && !accepted->received.empty(); }));
    for (NetConnection* side : {static_cast<NetConnection*>(connection.get()), static_cast<NetConnection*>(accepted)}) {
        EXPECT_EQ(side->localRate().minPacketSendPeriod, 16u);
        EXPECT_EQ(side->localRate().maxRecvBandwidth, 65535u);
        EXPECT_EQ(side->sendInterval(), 16u);
    }

    // Without an interface rate a connection keeps the one set on it.
    RefPtr<NetInterface> plain = new NetInterface(loopbackAny());
    plain->setTimeSource(c.clock.source());
    c.interfaces.push_back(plain);
    RefPtr<ProbeConnection> own = new ProbeConnection;
    NetConnection::RateInfo slow;
    slow.minPacketSendPeriod = slow.minPacketRecvPeriod = 200;
    own->setLocalRate(slow);
    own->connect(plain, c.server->boundAddress());
    EXPECT_EQ(own->localRate().minPacketSendPeriod, 200u);
}

namespace {

// Refuses the server's accept, giving no reason.
class AcceptRefuser : public ProbeConnection {
    SF_DECLARE_CLASS(AcceptRefuser)
public:
    bool readConnectAccept(BitStream&, const char**) override { return false; }
};
SF_IMPLEMENT_NETCONNECTION(AcceptRefuser);

// A server side that refuses every request, giving no reason.
class RequestRefuser : public ProbeConnection {
    SF_DECLARE_CLASS(RequestRefuser)
public:
    bool readConnectRequest(BitStream& stream, const char** errorText) override
    {
        NetConnection::readConnectRequest(stream, errorText);
        return false;
    }
};
SF_IMPLEMENT_NETCONNECTION(RequestRefuser);

// Past the puzzle's 30 s nonce change, as seen by the server's next step.
void nextRotation(NetInterface& server, TestClock& clock)
{
    clock.now += PuzzleManager::NonceRefreshMs + 1;
    server.serviceConnections();
}

} // namespace

TEST(ServerIntake, AWrongPuzzleSolutionMakesNoConnectionObject)
{
    TestClock clock;
    RefPtr<NetInterface> server = new NetInterface(loopbackAny());
    server->setTimeSource(clock.source());
    HandClient hand;
    ASSERT_TRUE(hand.challenge(*server));
    hand.solve();
    uint32_t right = hand.solution;
    do
        ++hand.solution;
    while (puzzleHashOk(hand.solution, hand.clientNonce, hand.serverNonce, hand.difficulty, hand.token));
    int before = ProbeConnection::constructed;
    EXPECT_EQ(hand.request(*server), std::vector<uint8_t>{NetInterface::ConnectReject});
    EXPECT_EQ(ProbeConnection::constructed, before);
    EXPECT_TRUE(server->connections().empty());

    // The right solution still connects: the failed check used up nothing.
    hand.solution = right;
    EXPECT_EQ(hand.request(*server), std::vector<uint8_t>{NetInterface::ConnectAccept});
    EXPECT_EQ(ProbeConnection::constructed, before + 1);
}

TEST(ServerIntake, ChallengeResponsesToOneSourceNeverOutweighWhatItSent)
{
    TestClock clock;
    RefPtr<NetInterface> server = new NetInterface(loopbackAny());
    server->setTimeSource(clock.source());
    RawPeer victim, other;
    const uint32_t requests = 200;
    std::vector<uint8_t> request = challengeRequest();
    for (uint32_t i = 0; i < requests; ++i)
        victim.send(server->boundAddress(), request);
    server->waitForPackets(200);
    for (int pass = 0; pass < 10; ++pass)
        server->receivePackets();
    uint64_t bytesOut = 0;
    auto replies = victim.drain();
    for (auto& reply : replies)
        bytesOut += reply.size();
    const uint64_t bytesIn = uint64_t(requests) * request.size();
    EXPECT_GE(replies.size(), 1u); // a fresh source is answered at once
    EXPECT_LE(bytesOut, bytesIn + NetInterface::ChallengeCreditMaxBytes + replies[0].size());

    // Another source is answered as usual.
    other.send(server->boundAddress(), request);
    server->waitForPackets(200);
    server->receivePackets();
    EXPECT_EQ(other.drain().size(), 1u);

    // Given time, the victim's share comes back.
    clock.now += 2000;
    victim.send(server->boundAddress(), request);
    server->waitForPackets(200);
    server->receivePackets();
    EXPECT_EQ(victim.drain().size(), 1u);
}

TEST(ServerIntake, ATokenLastsOneSecretChangeAndNoMore)
{
    TestClock clock;
    RefPtr<NetInterface> server = new NetInterface(loopbackAny());
    server->setTimeSource(clock.source());
    server->serviceConnections();

    // Made before one change: still good.
    HandClient recent;
    ASSERT_TRUE(recent.challenge(*server));
    nextRotation(*server, clock);
    recent.solve();
    EXPECT_EQ(recent.request(*server), std::vector<uint8_t>{NetInterface::ConnectAccept});

    // Made before two changes: ignored, even with a puzzle solved against
    // the current server nonce.
    HandClient old;
    ASSERT_TRUE(old.challenge(*server));
    nextRotation(*server, clock);
    nextRotation(*server, clock);
    HandClient fresh;
    ASSERT_TRUE(fresh.challenge(*server));
    old.serverNonce = fresh.serverNonce;
    old.solve();
    size_t connections = server->connections().size();
    EXPECT_TRUE(old.request(*server).empty());
    EXPECT_EQ(server->connections().size(), connections);
}

TEST(ConnectFailure, ARefusedAcceptIsReportedAndTheServerIsTold)
{
    Clients c;
    RefPtr<NetInterface> client = new NetInterface(loopbackAny());
    client->setTimeSource(c.clock.source());
    c.interfaces.push_back(client);
    RefPtr<AcceptRefuser> refuser = new AcceptRefuser;
    refuser->connect(client, c.server->boundAddress());
    ASSERT_TRUE(c.run([&] { return !refuser->failures.empty(); }));
    EXPECT_EQ(refuser->failures[0],
              std::make_pair(uint32_t(ReasonError), std::string("The server's answer could not be used")));
    EXPECT_EQ(refuser->state(), Rejected);
    EXPECT_TRUE(client->pendingConnections().empty());
    EXPECT_TRUE(client->connections().empty());
    // The server had counted it as connected: the Disconnect ends it there.
    ASSERT_TRUE(c.run([&] { return c.server->connections().empty(); }));
}

TEST(ConnectFailure, AServerRefusalWithoutTextStillSendsAReason)
{
    Clients c;
    RefPtr<NetInterface> client = new NetInterface(loopbackAny());
    client->setTimeSource(c.clock.source());
    c.interfaces.push_back(client);
    RefPtr<RequestRefuser> refused = new RequestRefuser;
    refused->connect(client, c.server->boundAddress());
    ASSERT_TRUE(c.run([&] { return !refused->failures.empty(); }));
    EXPECT_EQ(refused->failures[0], std::make_pair(uint32_t(ReasonRejected), std::string("Connection refused")));
    EXPECT_TRUE(c.server->connections().empty());
}

TEST(ConnectFailure, EveryAttemptThatEndsIsReported)
{
    TestClock clock;
    RawPeer silent; // never answers: attempts stay pending
    RefPtr<NetInterface> client = new NetInterface(loopbackAny());
    client->setTimeSource(clock.source());
    RefPtr<ProbeConnection> first = new ProbeConnection, second = new ProbeConnection;
    first->connect(client, silent.socket.boundAddress());
    // A new attempt to the same address replaces the pending one.
    second->connect(client, silent.socket.boundAddress());
    EXPECT_EQ(first->failures, (std::vector<std::pair<uint32_t, std::string>>{{ReasonSelfDisconnect, "Reconnecting"}}));
    EXPECT_TRUE(second->failures.empty());
    // The interface goes while the attempt is under way.
    client = nullptr;
    EXPECT_EQ(second->failures, (std::vector<std::pair<uint32_t, std::string>>{{ReasonSelfDisconnect, "Shutdown"}}));
}
