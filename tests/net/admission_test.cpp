// Who a server lets in and keeps: sealing by default, slots per host, a
// puzzle that hardens as the server fills, connections that never join,
// hosts ended for misbehaving, refusals within the source's allowance, and
// the budget for all queues together. Real interfaces on loopback with a
// settable clock.
#include "handtestutil.h"

#include <memory>

using namespace seafold;
using namespace seafold::test;

namespace {

// More clients of one server, each on an interface of its own, all from
// `host` (a loopback address).
struct Crowd {
    ProbePair& pair;
    std::vector<RefPtr<NetInterface>> interfaces;
    std::vector<RefPtr<ProbeConnection>> clients;

    explicit Crowd(ProbePair& p) : pair(p) {}
    ProbeConnection* add(const char* host = "127.0.0.1")
    {
        NetAddress bind;
        bind.parse(host);
        RefPtr<NetInterface> n = new NetInterface(bind);
        n->setTimeSource(pair.clock.source());
        RefPtr<ProbeConnection> c = new ProbeConnection;
        c->connect(n, pair.server->boundAddress());
        interfaces.push_back(n);
        clients.push_back(c);
        return c;
    }
    // Runs until `c` is connected or has failed.
    bool settle(ProbeConnection* c)
    {
        std::vector<NetInterface*> all = {pair.server};
        for (auto& n : interfaces)
            all.push_back(n);
        return pump(all, pair.clock, 600, 10, [&] { return c->state() == Connected || !c->failures.empty(); });
    }
    std::string refusal(ProbeConnection* c) const { return c->failures.empty() ? "" : c->failures[0].second; }
};

} // namespace

// Sealing is used whenever the server has a key and the client asks; a
// client built to the old wire alone, which does not ask, joins unsealed;
// a server without a key (--insecure) gives every client a plain session.
TEST(Sealing, SealedWhenTheServerHasAKeyAndTheClientAsksAndPlainOtherwise)
{
    const struct {
        const char* what;
        bool serverKey, clientAsks, sealed;
    } cases[] = {
        {"both by default", true, true, true},
        {"a client that does not ask", true, false, false},
        {"a server without a key", false, true, false},
    };
    for (const auto& c : cases) {
        ProbePair p;
        if (c.serverKey)
            p.server->setPrivateKey(new AsymmetricKey(32));
        p.client->setAsksForKeyExchange(c.clientAsks);
        p.connect();
        ASSERT_TRUE(p.connected()) << c.what;
        EXPECT_EQ(p.serverSide()->symmetricCipher() != nullptr, c.sealed) << c.what;
        EXPECT_EQ(p.clientConnection->symmetricCipher() != nullptr, c.sealed) << c.what;
    }
}

TEST(Slots, OneHostGetsFourConnectionsAndAnotherHostStillJoins)
{
    ProbePair p;
    Crowd crowd(p);
    for (uint32_t i = 0; i < NetInterface::DefaultMaxPerAddress; ++i) {
        ProbeConnection* c = crowd.add();
        ASSERT_TRUE(crowd.settle(c));
        ASSERT_EQ(c->state(), Connected) << i;
    }
    ProbeConnection* fifth = crowd.add();
    ASSERT_TRUE(crowd.settle(fifth));
    EXPECT_EQ(crowd.refusal(fifth), NetInterface::TooManyFromAddressReason);

    ProbeConnection* elsewhere = crowd.add("127.0.0.2");
    ASSERT_TRUE(crowd.settle(elsewhere));
    EXPECT_EQ(elsewhere->state(), Connected);
}

// One bit more (twice the work) per quarter of the server filled.
TEST(Slots, ThePuzzleHardensAsTheServerFills)
{
    ProbePair p;
    p.server->setMaxConnections(8);
    Crowd crowd(p);
    std::vector<uint32_t> seen;
    for (int i = 0; i < 4; ++i) {
        seen.push_back(p.server->puzzleManager().currentDifficulty());
        ProbeConnection* c = crowd.add();
        ASSERT_TRUE(crowd.settle(c));
        ASSERT_EQ(c->state(), Connected) << i;
    }
    seen.push_back(p.server->puzzleManager().currentDifficulty());
    const uint32_t first = PuzzleManager::InitialDifficulty;
    EXPECT_EQ(seen, (std::vector<uint32_t>{first, first, first + 1, first + 1, first + 2}));
}

TEST(Slots, AConnectionThatNeverJoinsIsEndedAfterTenSeconds)
{
    ProbePair p;
    p.connect();
    ASSERT_TRUE(p.connected());
    RefPtr<ProbeConnection> serverSide = p.serverSide();
    serverSide->joined = false;
    const uint32_t start = p.clock.now;
    p.run(3000, 10, [&] { return !serverSide->disconnects.empty(); });
    ASSERT_EQ(serverSide->disconnects.size(), 1u);
    EXPECT_EQ(serverSide->disconnects[0].second, NetInterface::JoinTimeoutReason);
    EXPECT_GT(p.clock.now - start, uint32_t(NetInterface::JoinTimeoutMs));
    EXPECT_LE(p.clock.now - start, uint32_t(NetInterface::JoinTimeoutMs) + 1600u);
}

// Three endings for misbehaving within a minute: the host is refused for a
// minute, then let in again.
TEST(Slots, AHostEndedThreeTimesInAMinuteIsRefusedForAMinute)
{
    ProbePair p;
    for (uint32_t i = 0; i < NetInterface::AbusiveEndsToBar; ++i) {
        p.connect();
        ASSERT_TRUE(p.connected()) << i;
        p.serverSide()->endSoon("Misbehaving");
        ASSERT_TRUE(p.run(100, 10, [&] { return !p.clientConnection->disconnects.empty(); })) << i;
    }
    p.connect();
    ASSERT_TRUE(p.run(600, 10, [&] { return !p.clientConnection->failures.empty(); }));
    EXPECT_EQ(p.clientConnection->failures[0].second, NetInterface::TryLaterReason);

    p.clock.now += NetInterface::AbuseWindowMs;
    p.connect();
    EXPECT_TRUE(p.connected());
}

// A source sending wrong solutions is answered until its allowance is
// spent, then not at all (and its puzzles no longer looked at).
TEST(Refusals, StopAtTheSourcesAllowance)
{
    ProbePair p;
    HandClient hand;
    ASSERT_TRUE(hand.challenge(*p.server));
    hand.solution += 1; // almost surely wrong; any wrong one will do
    PacketStream out;
    hand.writeRequest(out, hand.token);
    const int sent = 100;
    for (int i = 0; i < sent; ++i)
        hand.peer.send(p.server->boundAddress(), out);
    p.server->waitForPackets(200);
    p.server->receivePackets();
    size_t refusals = hand.peer.drain().size();
    // "Puzzle" costs its text and a header's worth: about 38 bytes of 512.
    EXPECT_GT(refusals, 5u);
    EXPECT_LT(refusals, size_t(HandshakeGuard::CreditMaxBytes / 32 + 1));
}

// At the budget for all queues together the connection with the largest
// queue is ended, whoever posted last.
TEST(QueueBudget, TheLargestQueueIsEndedWhenTheTotalIsReached)
{
    ProbePair p;
    Crowd crowd(p);
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(crowd.settle(crowd.add()));
    ASSERT_EQ(p.server->connections().size(), 3u);
    p.server->setQueueBudgetBytes(1000);
    std::vector<RefPtr<ProbeConnection>> serverSides;
    const uint32_t queued[] = {300, 500, 400};
    for (int i = 0; i < 3; ++i) {
        serverSides.push_back(static_cast<ProbeConnection*>(p.server->connections()[i].get()));
        serverSides.back()->queued = queued[i];
    }
    p.server->serviceConnections();
    EXPECT_TRUE(serverSides[0]->disconnects.empty());
    ASSERT_EQ(serverSides[1]->disconnects.size(), 1u);
    EXPECT_EQ(serverSides[1]->disconnects[0].second, NetConnection::SendQueueOverflowReason);
    EXPECT_TRUE(serverSides[2]->disconnects.empty());
}
