// One sender's fair share of the relay, without any connection: time is
// passed in and each relay performed is written down.
#include "session/relayscheduler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace seafold {
namespace {

struct Relays {
    std::vector<std::string> performed;
    double share = 1500; // the sender's share of the receivers' capacity
    RelayScheduler scheduler{[this](Relay& relay) {
                                 if (relay.kind != Relay::Movement)
                                     performed.push_back(relay.entityName);
                                 else if (std::fabs(relay.dx) < 1e6)
                                     performed.push_back("move " + std::to_string(int(relay.dx)));
                                 else
                                     performed.push_back("move far");
                             },
                             [this] { return share; }};

    static Relay event(const char* tag, size_t bytes)
    {
        Relay relay;
        relay.entityName = tag;
        relay.bytes = bytes;
        return relay;
    }
};

constexpr uint32_t Start = 100000;
constexpr size_t Big = 3000; // more than the burst left after one

TEST(RelayScheduler, BeyondTheBurstRelaysWaitAndMoveOnInOrderAsTheBudgetRefills)
{
    Relays r;
    EXPECT_TRUE(r.scheduler.relay(Relays::event("a", Big), Start));
    EXPECT_TRUE(r.scheduler.relay(Relays::event("b", Big), Start)); // the budget was still above 0
    EXPECT_TRUE(r.scheduler.relay(Relays::event("c", Big), Start));
    EXPECT_TRUE(r.scheduler.relay(Relays::event("d", 10), Start));
    EXPECT_EQ(r.performed, (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(r.scheduler.holding());
    EXPECT_EQ(r.scheduler.heldBytes(), Big + 10 + 2 * sizeof(Relay));

    // 4096 - 6000 = -1904 left; the share refills 1500 bytes a second.
    r.scheduler.release(Start + 1000);
    EXPECT_EQ(r.performed.size(), 2u);
    r.scheduler.release(Start + 2000); // +1096: c goes, d waits for the budget
    EXPECT_EQ(r.performed, (std::vector<std::string>{"a", "b", "c"}));
    r.scheduler.release(Start + 4000);
    EXPECT_EQ(r.performed, (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_FALSE(r.scheduler.holding());
    EXPECT_EQ(r.scheduler.heldBytes(), 0u);
}

// Each case: the sender's share, and how long after the budget ran out a
// held relay of 1000 bytes takes to go (the refill must reach above 0).
TEST(RelayScheduler, TheBudgetRefillsWithTheShare)
{
    struct Case {
        double share;
        uint32_t tooSoonMs, soonEnoughMs;
    };
    const Case cases[] = {
        {1500, 1000, 1400}, // 1500 bytes a second against 1904 owed
        {1000, 1800, 2000}, // two seconds for 1904
        {19040, 50, 150},   // ten times more
    };
    for (const Case& c : cases) {
        Relays r;
        r.share = c.share;
        r.scheduler.relay(Relays::event("a", Big), Start);
        r.scheduler.relay(Relays::event("b", Big), Start);
        r.scheduler.relay(Relays::event("c", 1000), Start);
        r.scheduler.release(Start + c.tooSoonMs);
        EXPECT_EQ(r.performed.size(), 2u) << c.share;
        r.scheduler.release(Start + c.soonEnoughMs);
        EXPECT_EQ(r.performed.size(), 3u) << c.share;
    }
}

TEST(RelayScheduler, MovementsPassAtOnceUnlessHeldAndAreSummedWhileHeld)
{
    Relays r;
    r.scheduler.relayMovement(1, 0, 0, Start);
    EXPECT_EQ(r.performed, (std::vector<std::string>{"move 1"}));
    r.scheduler.relay(Relays::event("a", Big), Start);
    r.scheduler.relay(Relays::event("b", Big), Start);
    r.scheduler.relay(Relays::event("c", Big), Start); // held
    // Behind the held relay, never before it; summed into one.
    r.scheduler.relayMovement(2, 0, 0, Start);
    r.scheduler.relayMovement(3, 0, 0, Start);
    // A sum that is no longer a usable movement starts a new one.
    r.scheduler.relayMovement(1e39, 0, 0, Start);
    EXPECT_EQ(r.performed.size(), 3u);
    r.scheduler.release(Start + 10000);
    ASSERT_EQ(r.performed.size(), 6u);
    EXPECT_EQ(r.performed[3], "c");
    EXPECT_EQ(r.performed[4], "move 5");
    EXPECT_EQ(r.performed[5], "move far");
}

TEST(RelayScheduler, ASenderThatKeepsSendingOverflowsTheHeldQueue)
{
    Relays r;
    bool overflowed = false;
    uint32_t sent = 0;
    // Nothing is released: every relay past the burst is held until the cap.
    for (; sent < 1000 && !overflowed; ++sent)
        overflowed = !r.scheduler.relay(Relays::event("x", 1000), Start);
    EXPECT_TRUE(overflowed);
    EXPECT_GT(r.scheduler.heldBytes(), RelayScheduler::MaxHeldRelayBytes);
    EXPECT_LT(sent, 80u); // about 64 held relays of a thousand bytes
    r.scheduler.drop();
    EXPECT_FALSE(r.scheduler.holding());
    EXPECT_EQ(r.scheduler.heldBytes(), 0u);
    r.scheduler.release(Start + 100000);
    EXPECT_LT(r.performed.size(), 10u); // what was dropped is never relayed
}

} // namespace
} // namespace seafold

namespace seafold {
namespace {

// A sender ended and back within a minute goes on owing what it owed, held
// relays included, instead of starting with a full burst; after a minute, or
// from another host, it starts afresh.
TEST(RelayShareMemory, AReconnectingSenderGoesOnWithTheBudgetItLeft)
{
    NetAddress host, otherHost;
    host.parse("10.0.0.1:5000");
    otherHost.parse("10.0.0.2:5000");
    NetAddress samePortLater = host;
    samePortLater.port = 5001;

    Relays before;
    before.scheduler.relay(Relays::event("a", Big), Start);
    before.scheduler.relay(Relays::event("b", Big), Start);
    before.scheduler.relay(Relays::event("c", 1000), Start); // held: owed too
    before.scheduler.drop();
    RelayShareMemory memory;
    memory.remember(host, before.scheduler.budget(Start), Start);

    const struct {
        const char* what;
        NetAddress from;
        uint32_t laterMs;
        bool recalled;
    } cases[] = {
        {"another host", otherHost, 0, false},
        {"the same host, another port", samePortLater, 1000, true},
        {"after a minute", host, RelayShareMemory::KeepMs, false},
    };
    for (const auto& c : cases) {
        RelayShareMemory copy = memory;
        RelayScheduler::Budget budget;
        ASSERT_EQ(copy.recall(c.from, Start + c.laterMs, &budget), c.recalled) << c.what;
        if (!c.recalled)
            continue;
        // 4096 - 6000, and the held 1000 (with its bookkeeping) owed; a
        // second of refill at 1500 leaves the next relay held, where a fresh
        // sender's would go at once.
        EXPECT_DOUBLE_EQ(budget.bytes, RelayScheduler::FairRelayBurstBytes - 2 * Big - 1000.0 - sizeof(Relay))
            << c.what;
        Relays after;
        after.scheduler.resume(budget);
        after.scheduler.relay(Relays::event("d", 10), Start + c.laterMs);
        EXPECT_TRUE(after.performed.empty()) << c.what;
        EXPECT_FALSE(copy.recall(c.from, Start + c.laterMs, &budget)) << "used up: " << c.what;
    }
}

} // namespace
} // namespace seafold
