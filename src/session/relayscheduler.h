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
    // A relaying server lets each sender have this many bytes a second of
    // events relayed to the others, or the slowest receiver's send capacity
    // divided among the senders it hears if that is more. The floor passes two
    // seconds of voice a second (what the voice relay allows a speaker) with
    // the overhead of ten messages, so nobody is held for speaking.
    static constexpr double FairRelayFloorBytesPerSecond = 1500;
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
    // The sender's share of the receivers' capacity now (bytes a second);
    // the floor applies on top of it.
    using Share = std::function<double()>;

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

} // namespace seafold
