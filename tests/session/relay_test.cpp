// The relay under pressure: movements summed while they wait, order kept
// around them, names that stay apart on the wire, input that is no number,
// a sender beyond its fair share, and the end of an interface.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "sessiontestutil.h"

using namespace seafold;
using namespace seafold::test;

namespace {

struct Sum {
    double x = 0, y = 0, z = 0;
};

// The server's connection to a joined user.
SimpleEventConnection* serverSide(Peer& server, const std::string& user)
{
    ClientRecord* record = server.roster.find(user);
    return record ? record->connection.get() : nullptr;
}

uint32_t queued(SimpleEventConnection* connection)
{
    EventConnection::QueueDepths q = connection->queueDepths();
    return q.orderedSend + q.unorderedSend;
}

} // namespace

// Eighths stay exact in F32 and F64 whatever the grouping, so every scene
// must show exactly what was sent.
TEST_F(SessionTest, CoalescedMovementKeepsEveryPositionExactUnderLossDuplicationAndReordering)
{
    std::vector<Peer*> movers = {&add("alice"), &add("bob"), &add("carol")};
    for (Peer* p : movers)
        p->toServer()->c2sEntitySelection(StringPtr("boat.mesh"));
    ASSERT_TRUE(settle());
    NetworkSimulator::Settings bad;
    bad.dropPercent = 30;
    bad.duplicatePercent = 10;
    bad.maxDelayMs = 40; // later datagrams overtake earlier ones
    for (size_t i = 0; i < peers.size(); ++i)
        peers[i]->simulate(bad, uint32_t(1234 + i));

    std::mt19937 random(99);
    std::uniform_int_distribution<int> eighths(-8, 8);
    std::vector<Sum> sent(movers.size());
    int calls = 0;
    for (int round = 0; round < 400; ++round) {
        for (size_t m = 0; m < movers.size(); ++m) {
            double dx = eighths(random) / 8.0, dy = eighths(random) / 8.0, dz = eighths(random) / 8.0;
            ASSERT_TRUE(movers[m]->toServer()->sendMovement(dx, dy, dz));
            sent[m].x += dx, sent[m].y += dy, sent[m].z += dz;
            ++calls;
        }
        if (round % 97 == 0)
            movers[round % 3]->toServer()->c2sEntitySelection(StringPtr(round % 2 ? "fish.mesh" : "buoy.mesh"));
        run(1, [] { return true; });
    }
    ASSERT_TRUE(settle(5000));

    size_t received = server().callsNamed("c2smakeMovement").size();
    EXPECT_LT(received, size_t(calls) / 2); // summed while waiting
    for (size_t m = 0; m < movers.size(); ++m) {
        const std::string& user = movers[m]->name;
        ClientRecord* record = server().roster.find(user);
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->offsetX, sent[m].x) << user;
        EXPECT_EQ(record->offsetY, sent[m].y) << user;
        EXPECT_EQ(record->offsetZ, sent[m].z) << user;
        for (Peer* viewer : movers) {
            if (viewer == movers[m])
                continue;
            ClientRecord* seen = viewer->roster.find(user);
            ASSERT_NE(seen, nullptr);
            EXPECT_EQ(seen->offsetX, sent[m].x) << viewer->name << " sees " << user;
            EXPECT_EQ(seen->offsetZ, sent[m].z) << viewer->name << " sees " << user;
            // The model came after movements: it stands where the server's does.
            EXPECT_EQ(viewer->scene.modelOf(user)->x, server().scene.modelOf(user)->x);
            EXPECT_EQ(viewer->scene.modelOf(user)->y, server().scene.modelOf(user)->y);
        }
    }
}

// Handlers run directly on the server's connections, so that everything
// below is queued before any packet is written.
TEST_F(SessionTest, ASelectionOrLeaveBetweenMovementsOfOneUserKeepsItsPlace)
{
    add("alice");
    Peer& b = add("bob");
    add("carol");
    ASSERT_TRUE(settle());
    SimpleEventConnection* alice = serverSide(server(), "alice");
    SimpleEventConnection* carol = serverSide(server(), "carol");
    alice->c2smakeMovement_handler(1, 0, 0);
    carol->c2smakeMovement_handler(0, 1, 0);
    alice->c2smakeMovement_handler(1, 0, 0); // summed: nothing between
    alice->c2sEntitySelection_handler(StringPtr("boat.mesh"));
    alice->c2smakeMovement_handler(3, 0, 0); // after the selection: a new one
    carol->c2smakeMovement_handler(0, 2, 0); // another user's: still summed
    server().netInterface->disconnect(carol, ReasonSelfDisconnect, "Bye");
    ASSERT_TRUE(settle());

    std::vector<std::string> order;
    for (auto& c : b.calls)
        if (c.find("alice") != std::string::npos || c.find("carol") != std::string::npos)
            order.push_back(c);
    std::vector<std::string> expected = {
        "s2cIntroduceNewClient [\"alice\"]",
        "s2cIntroduceNewClient [\"carol\"]",
        "s2cmakeMovement [2.0, 0.0, 0.0, \"alice\"]",
        "s2cmakeMovement [0.0, 3.0, 0.0, \"carol\"]",
        "s2cEntityNotify [\"boat.mesh\", 0.0, 0.0, 0.0, \"alice\"]",
        "s2cmakeMovement [3.0, 0.0, 0.0, \"alice\"]",
        "s2cclientDisconnect [\"carol\"]",
    };
    EXPECT_EQ(order, expected);
    EXPECT_FLOAT_EQ(b.scene.modelOf("alice")->x, 3.0f); // the model came at the origin
}

TEST_F(SessionTest, AnEventSharedByQueuesOrWrittenIntoAPacketIsNeverChanged)
{
    Peer& a = add("alice");
    ASSERT_TRUE(settle());
    // One object in two queues: changing it would change both.
    RefPtr<SimpleEventConnection> one = new SimpleEventConnection, two = new SimpleEventConnection;
    RefPtr<RPCEvent> shared = one->s2cmakeMovement_build(1, 2, 3, StringPtr("x"));
    ASSERT_TRUE(one->postEvent(shared));
    EXPECT_TRUE(shared->isAmendable());
    ASSERT_TRUE(two->postEvent(shared));
    EXPECT_FALSE(shared->isAmendable());

    // A movement written into a packet stays as written; the next delta
    // travels in a new one, even when that packet is lost.
    a.toServer()->sendMovement(1, 0, 0);
    clock.now += 200;
    a.netInterface->serviceConnections(); // written and sent, not yet read
    a.toServer()->sendMovement(2, 0, 0);
    ASSERT_TRUE(settle());
    EXPECT_EQ(server().callsNamed("c2smakeMovement"), (std::vector<std::string>{"[1.0, 0.0, 0.0]", "[2.0, 0.0, 0.0]"}));
}

TEST_F(SessionTest, NonFiniteMovementIsIgnoredEverywhere)
{
    Peer& a = add("alice");
    Peer& b = add("bob");
    a.toServer()->c2sEntitySelection(StringPtr("boat.mesh"));
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(a.toServer()->sendMovement(nan, 0, 0));
    a.toServer()->c2smakeMovement(nan, 0, 0); // the raw call, as a hostile client makes it
    a.toServer()->c2smakeMovement(1, -inf, 0);
    a.toServer()->c2smakeMovement(0, 0, 1e300); // infinite once narrowed to F32
    a.toServer()->c2smakeMovement(1, 0, 0);
    ASSERT_TRUE(settle());
    EXPECT_EQ(server().roster.find("alice")->offsetX, 1.0);
    EXPECT_EQ(server().roster.find("alice")->offsetY, 0.0);
    EXPECT_EQ(server().roster.find("alice")->offsetZ, 0.0);
    EXPECT_FLOAT_EQ(b.scene.modelOf("alice")->x, 1.0f);
    EXPECT_FLOAT_EQ(b.scene.modelOf("alice")->y, 0.0f);

    Peer& c = add("carol"); // learns a finite position
    ASSERT_TRUE(settle());
    EXPECT_EQ(c.callsNamed("s2cEntityNotify")[0], "[\"boat.mesh\", 1.0, 0.0, 0.0, \"alice\"]");
    // A hostile server's values change nothing on a client either.
    c.toServer()->s2cmakeMovement_handler(nan, 0, 0, StringPtr("alice"));
    c.toServer()->s2cEntityNotify_handler(StringPtr("fish.mesh"), inf, nan, 0, StringPtr("bob"));
    EXPECT_FLOAT_EQ(c.scene.modelOf("alice")->x, 1.0f);
    EXPECT_EQ(c.roster.find("bob")->offsetX, 0.0);
    EXPECT_TRUE(std::isfinite(c.scene.modelOf("bob")->x));
}

TEST_F(SessionTest, NamesStayApartWithinTheTextLimitAndWholeCharacters)
{
    const std::string longName(300, 'n');
    Peer& first = add(longName);
    Peer& second = add(longName);
    // 254 bytes and a two-byte character: the wire's 255 bytes cut it.
    const std::string accented = std::string(254, 'a') + "\xC3\xAB";
    add(accented);
    add(accented);
    Peer& watcher = add("watcher");
    ASSERT_TRUE(settle());

    std::vector<std::string> names;
    for (size_t i = 0; i < server().roster.size(); ++i)
        names.push_back(server().roster[i].name);
    ASSERT_EQ(names.size(), 5u);
    EXPECT_EQ(names[0], std::string(255, 'n'));
    EXPECT_EQ(names[1], std::string(251, 'n') + " (2)");
    EXPECT_EQ(names[2], std::string(254, 'a'));
    EXPECT_EQ(names[3], std::string(251, 'a') + " (2)");
    // What everyone else hears is as distinct as the server's roster.
    ASSERT_EQ(watcher.roster.size(), 4u);
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(watcher.roster[i].name, names[i]);
    first.toServer()->sendMovement(1, 0, 0);
    second.toServer()->sendMovement(0, 5, 0);
    ASSERT_TRUE(settle());
    EXPECT_EQ(watcher.roster[0].offsetX, 1.0);
    EXPECT_EQ(watcher.roster[1].offsetY, 5.0);

    // The renamed user is told; the first is not.
    EXPECT_TRUE(first.texts.empty());
    ASSERT_EQ(second.texts.size(), 1u);
    EXPECT_EQ(second.texts[0].substr(0, 39), "Your name is in use here; you are now: ");
    EXPECT_EQ(fitUtf8("Zo\xC3\xAB", 3), "Zo");
    EXPECT_EQ(fitUtf8("\xE2\x82\xAC\xE2\x82", 10), "\xE2\x82\xAC"); // a cut euro sign goes whole
}

TEST_F(SessionTest, AnEmptyNameIsRefusedWithAReason)
{
    Peer& nobody = add("");
    ASSERT_TRUE(run(800, [&] { return !nobody.states.empty() && nobody.states.back() == "disconnected"; }));
    EXPECT_EQ(nobody.reasons.back(), "A name is required");
    EXPECT_EQ(nobody.texts, std::vector<std::string>{"The server ended the connection: A name is required"});
    EXPECT_EQ(server().roster.size(), 0u);
    EXPECT_EQ(nobody.toServer(), nullptr);
}

TEST_F(SessionTest, EndingAnInterfaceRunsTheSessionHooks)
{
    Peer& a = add("alice");
    Peer& b = add("bob");
    ASSERT_TRUE(settle());
    // A client's interface goes: its user hears "disconnected", and the
    // server the goodbye.
    a.netInterface = nullptr;
    EXPECT_EQ(a.states.back(), "disconnected");
    EXPECT_EQ(a.toServer(), nullptr);
    ASSERT_TRUE(run(200, [&] { return !b.callsNamed("s2cclientDisconnect").empty(); }));
    EXPECT_EQ(b.callsNamed("s2cclientDisconnect"), std::vector<std::string>{"[\"alice\"]"});
    EXPECT_EQ(server().roster.size(), 1u);

    // The server's interface goes: the leave sequence empties its roster,
    // so no record points at a connection that is gone.
    server().netInterface = nullptr;
    EXPECT_EQ(server().roster.size(), 0u);
    ASSERT_TRUE(run(200, [&] { return b.toServer() == nullptr; }));
    EXPECT_EQ(b.texts.back(), "The server ended the connection: Shutdown");

    // A client still connecting hears that the attempt failed.
    Peer& late = *peers.emplace_back(std::make_unique<Peer>("late", false, clock));
    late.join(b); // nobody listens there any more
    late.netInterface = nullptr;
    EXPECT_EQ(late.states, std::vector<std::string>{"failed"});
    EXPECT_EQ(late.toServer(), nullptr);
}

// A client that floods selections at a fast rate: its relays wait in its
// own held queue on the server, not in the others' queues, and it is ended
// once that overflows; the others go on undisturbed.
TEST_F(SessionTest, ASenderBeyondItsFairShareWaitsInItsOwnQueue)
{
    Peer& spammer = add("spammer");
    Peer& mover = add("mover");
    Peer& watcher = add("watcher");
    mover.toServer()->c2sEntitySelection(StringPtr("boat.mesh"));
    ASSERT_TRUE(settle());
    NetConnection::RateInfo fast;
    fast.minPacketSendPeriod = fast.minPacketRecvPeriod = 16;
    fast.maxSendBandwidth = fast.maxRecvBandwidth = 65535;
    spammer.toServer()->setLocalRate(fast);
    serverSide(server(), "spammer")->setLocalRate(fast);
    SimpleEventConnection* toWatcher = serverSide(server(), "watcher");

    uint32_t deepest = 0;
    size_t heldMost = 0;
    Sum sent;
    for (int round = 0; round < 400 && spammer.toServer(); ++round) {
        for (int i = 0; i < 40; ++i)
            spammer.toServer()->c2sEntitySelection(StringPtr(i % 2 ? "fish.mesh" : "buoy.mesh"));
        mover.toServer()->sendMovement(0.125, 0, 0);
        sent.x += 0.125;
        run(1, [] { return true; });
        deepest = std::max(deepest, queued(toWatcher));
        if (SimpleEventConnection* held = serverSide(server(), "spammer"))
            heldMost = std::max(heldMost, held->heldRelayBytes());
    }
    EXPECT_GT(heldMost, size_t(10000));
    // The watcher's queue holds about a burst of the spammer's relays.
    EXPECT_LT(deepest, 160u);
    ASSERT_TRUE(run(400, [&] { return spammer.toServer() == nullptr; }));
    EXPECT_EQ(spammer.reasons.back(), "Send queue overflow");

    ASSERT_TRUE(settle());
    EXPECT_EQ(server().roster.size(), 2u);
    EXPECT_EQ(watcher.roster.find("mover")->offsetX, sent.x);
    EXPECT_EQ(watcher.roster.find("spammer"), nullptr);
    EXPECT_NE(watcher.toServer(), nullptr);
}
