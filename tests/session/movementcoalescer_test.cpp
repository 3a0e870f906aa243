// Movements merged while they wait, without any connection: a fake queue
// stands for the connection's, and marks an event written as a packet would.
#include "session/movementcoalescer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace seafold {
namespace {

struct FakeMovement : Object {
    double dx = 0, dy = 0, dz = 0;
    uint64_t mover = 0; // 0: the sender's own
    bool written = false;
};

// A connection's queue as the coalescer sees it: every post is noted, as
// the connection's post hook does.
struct FakeQueue {
    MovementCoalescer coalescer{[](Object* event, double dx, double dy, double dz) {
        auto* movement = static_cast<FakeMovement*>(event);
        if (movement->written)
            return false;
        movement->dx += dx;
        movement->dy += dy;
        movement->dz += dz;
        return true;
    }};
    std::vector<RefPtr<Object>> queue;
    bool refuse = false;

    bool post(Object* event)
    {
        coalescer.notePosted();
        if (refuse)
            return false;
        queue.push_back(event);
        return true;
    }
    MovementCoalescer::Post movement(uint64_t mover, double dx, double dy, double dz)
    {
        return [=]() -> RefPtr<Object> {
            RefPtr<FakeMovement> event = new FakeMovement;
            event->mover = mover;
            event->dx = dx;
            event->dy = dy;
            event->dz = dz;
            return post(event) ? event.get() : nullptr;
        };
    }
    bool own(double dx) { return coalescer.addOwn(dx, 0, 0, movement(0, dx, 0, 0)); }
    bool relayed(uint64_t mover, double dx) { return coalescer.addRelayed(mover, dx, 0, 0, movement(mover, dx, 0, 0)); }
    // Anything else posted here, about nobody in particular.
    void other() { post(new Object); }
    bool about(uint64_t user)
    {
        return coalescer.postAbout(user, [&] { return post(new Object); });
    }
    double sumAt(size_t i) const { return static_cast<FakeMovement*>(queue[i].get())->dx; }
    // The sums of the movements queued, in order.
    std::vector<double> movements() const
    {
        std::vector<double> out;
        for (auto& event : queue)
            if (auto* movement = dynamic_cast<FakeMovement*>(event.get()))
                out.push_back(movement->dx);
        return out;
    }
};

TEST(MovementCoalescer, DeltasWhileNothingElseIsPostedBecomeOneMovement)
{
    FakeQueue q;
    EXPECT_TRUE(q.own(1));
    EXPECT_TRUE(q.own(2));
    EXPECT_TRUE(q.own(3));
    ASSERT_EQ(q.queue.size(), 1u);
    EXPECT_EQ(q.sumAt(0), 6);
}

// Each case: what happens between two deltas of the sender's own, and
// whether the second is summed into the first.
TEST(MovementCoalescer, AMovementThatWasOvertakenOrWrittenTakesNoMore)
{
    struct Case {
        const char* between;
        void (*act)(FakeQueue&);
        std::vector<double> movements;
    };
    const Case cases[] = {
        {"nothing", [](FakeQueue&) {}, {3}},
        {"another event", [](FakeQueue& q) { q.other(); }, {1, 2}},
        {"a post about one user", [](FakeQueue& q) { q.about(7); }, {3}},
        {"the movement written",
         [](FakeQueue& q) { static_cast<FakeMovement*>(q.queue[0].get())->written = true; },
         {1, 2}},
    };
    for (const Case& c : cases) {
        FakeQueue q;
        q.own(1);
        c.act(q);
        q.own(2);
        EXPECT_EQ(q.movements(), c.movements) << c.between;
    }
}

TEST(MovementCoalescer, APostAboutOneUserEndsOnlyThatUsersMovement)
{
    FakeQueue q;
    q.relayed(7, 1);
    q.relayed(9, 10);
    EXPECT_TRUE(q.about(7)); // user 7 picked a model: their next movement comes after it
    q.relayed(7, 2);
    q.relayed(9, 20);
    ASSERT_EQ(q.queue.size(), 4u);
    EXPECT_EQ(q.sumAt(0), 1);
    EXPECT_EQ(q.sumAt(1), 30); // user 9's still summed
    EXPECT_EQ(q.sumAt(3), 2);
}

TEST(MovementCoalescer, AFailedPostIsReportedAndTheNextDeltaPostsAgain)
{
    FakeQueue q;
    q.refuse = true;
    EXPECT_FALSE(q.own(1));
    q.refuse = false;
    EXPECT_TRUE(q.own(2));
    ASSERT_EQ(q.queue.size(), 1u);
    EXPECT_EQ(q.sumAt(0), 2);
}

TEST(MovementCoalescer, AForgottenMoverStartsAfresh)
{
    FakeQueue q;
    q.relayed(7, 1);
    q.coalescer.forget(7);
    q.relayed(7, 2);
    EXPECT_EQ(q.queue.size(), 2u);
}

} // namespace
} // namespace seafold
