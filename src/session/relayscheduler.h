// The fair share of one sender's relays on the server.
//
// Everything the server relays from one client goes through that client's
// budget, refilled with its fair share of the send rate. Beyond it the
// relays wait here, in order, instead of in every other client's queue, and
// move on as the budget refills; a client that keeps sending faster is
// reported once MaxHeldRelayBytes are held (its connection then ends as any
// overflowing queue's does). Movements cost nothing (each user has at most
// one waiting per receiver), but queue behind held relays so that nothing
// overtakes; while held, consecutive movements are summed into one.
//
// The scheduler knows nothing of connections: time is passed in, the fair
// share is asked for when the budget refills, and a relay due is handed to
// the perform callback.
//
// Main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "net/address.h"
#include "net/rpc.h"

namespace seafold {

// One relay from a sender: an event for every other client, a selection, or
// a movement.
struct Relay {
    enum Kind { Movement, Selection, Event } kind = Event;
    RefPtr<RPCEvent> event; // Selection and Event: one object for every receiver
    bool echoToSender = false;
    std::string entityName; // Selection: applied to the server's own scene when performed
    double dx = 0, dy = 0, dz = 0;
    size_t bytes = 0; // charged against the fair share (movements: nothing)
};

class RelayScheduler {
public:
    // A relaying server lets each sender have the slowest receiver's send
    // capacity divided among the senders it hears, and at least this part
    // of that capacity: a quarter of the default link (625 of 2,500 bytes a
    // second) passes two seconds of voice a second, so nobody is held for
    // speaking, and leaves three quarters of every link to the others.
    static constexpr double FairRelayFloorOfSlowestLink = 0.25;
    // The share of a sender nobody hears: nothing to protect.
    static constexpr double UnlimitedShareBytesPerSecond = 1e9;
    // What a sender may have relayed at once after a quiet spell: a few
    // selections or full voice messages.
    static constexpr double FairRelayBurstBytes = 4096;
    // Beyond this many bytes held back, a sender is not slowing down. About
    // 40 s of relays at the floor share.
    static constexpr size_t MaxHeldRelayBytes = 64 * 1024;
    // Each held relay is charged its packed arguments plus this, for the
    // class id, flags, sequence and size check bits around an event.
    static constexpr size_t RelayEventOverheadBytes = 4;

    // Carries a relay out now.
    using Perform = std::function<void(Relay& relay)>;
    // The sender's share of the receivers' capacity now (bytes a second).
    using Share = std::function<double()>;

    // What is left of a sender's budget: its bytes (below 0 when it owes,
    // held relays counted as owed) as of a time. Kept for a sender that
    // reconnects (RelayShareMemory).
    struct Budget {
        double bytes = FairRelayBurstBytes;
        uint32_t timeMs = 0;
    };

    RelayScheduler(Perform perform, Share share) : mPerform(std::move(perform)), mShare(std::move(share)) {}

    // Performs `relay` now, or holds it behind the others. False when the
    // held relays overflow MaxHeldRelayBytes: the sender is to be ended
    // (the relays stay held until drop).
    bool relay(Relay relay, uint32_t nowMs);
    // A movement by (dx, dy, dz): summed into the last held relay when that
    // is a movement and the sum stays usable.
    bool relayMovement(double dx, double dy, double dz, uint32_t nowMs);
    // Once a send interval: what the budget allows moves on, in order.
    void release(uint32_t nowMs);
    // The sender is gone or ended: what it still had held is not relayed.
    void drop();
    // The budget as of `nowMs`, what is held counted as owed; and a budget
    // to go on from (a sender that was here shortly before).
    Budget budget(uint32_t nowMs);
    void resume(const Budget& budget);

    bool holding() const { return !mHeld.empty(); }
    // Bytes held back beyond the fair share, with the bookkeeping of each.
    size_t heldBytes() const { return mHeldBytes; }

private:
    void refill(uint32_t nowMs);

    Perform mPerform;
    Share mShare;
    std::deque<Relay> mHeld; // in order
    size_t mHeldBytes = 0;
    double mBudget = FairRelayBurstBytes;
    uint32_t mBudgetTime = 0;
    bool mBudgetStarted = false;
};

// What senders' budgets were when their connections ended, kept per source
// host for a minute: a sender that is ended and reconnects goes on where it
// was instead of starting with a full burst. Main thread only.
class RelayShareMemory {
public:
    static constexpr uint32_t KeepMs = 60000;

    void remember(const NetAddress& host, const RelayScheduler::Budget& budget, uint32_t nowMs);
    // The lowest budget left by a connection from this host within KeepMs,
    // used up; false when there is none.
    bool recall(const NetAddress& host, uint32_t nowMs, RelayScheduler::Budget* budget);
    size_t size() const { return mEntries.size(); }

private:
    struct Entry {
        NetAddress host;
        RelayScheduler::Budget budget;
        uint32_t endedMs;
    };
    void forgetOld(uint32_t nowMs);
    std::vector<Entry> mEntries;
};

} // namespace seafold
