// What the server relays from the client at the other end of one
// connection, handed to the one relay path (relayUserAction) as the
// client's actions. Selections, movements and LPC-10 voice go through the
// client's fair share of the receivers' links (RelayScheduler): beyond it
// they wait here, in order, instead of in every other client's queue; a
// client that keeps sending faster is ended. An orientation is one small
// absolute value per user and receiver at most, so it needs no share and is
// relayed at once.
//
// Main thread only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "session/relayscheduler.h"

namespace seafold {

class SimpleEventConnection;

class SenderRelays {
public:
    explicit SenderRelays(SimpleEventConnection& connection);
    SenderRelays(const SenderRelays&) = delete;
    SenderRelays& operator=(const SenderRelays&) = delete;

    // c2sEntitySelection, c2smakeMovement, c2sOrientation of a joined client.
    void select(const StringPtr& entityName);
    void move(double dx, double dy, double dz);
    void turn(double w, double x, double y, double z);
    // c2sOwnMarks: one small absolute value, relayed at once as a turn is.
    void mark(uint32_t marks);
    // The client's LPC-10 voice as one s2cVoice event for every receiver.
    void relayVoice(const RefPtr<RPCEvent>& event, bool echoToSender);

    // Once a send interval: what waits for the fair share moves on.
    void release();
    // The connection is up: a sender back from the same host within a
    // minute goes on with the budget it left, not a full burst.
    void resume();
    // The connection ended: what it still had held is not relayed, and its
    // budget is remembered for its host.
    void end();
    size_t heldBytes() const { return mScheduler.heldBytes(); }

private:
    void relay(Relay relay);
    void perform(Relay& relay);
    // This client's share of the slowest other receiver's capacity.
    double share();
    size_t cost(RPCEvent* event) const;
    // This client keeps sending faster than its share.
    void overflowed();

    SimpleEventConnection& mConnection;
    RelayScheduler mScheduler;
};

} // namespace seafold
