// A server's relays to one client: what it passes on of the others
// (movement, and whatever else is queued through the relay scheduler), within
// the fair share each sender gets of this client's link.
#include "session/connectiontrace.h"
#include "session/simpleeventconnection.h"
#include "session/wireversion.h"

#include <algorithm>
#include <cstdio>

namespace seafold {

bool SimpleEventConnection::postAbout(uint64_t userId, NetEvent* event)
{
    return mMovements.postAbout(userId, [&] { return postEvent(event); });
}

// ---- coalesced movement ---------------------------------------------------------------

bool SimpleEventConnection::sendMovement(double dx, double dy, double dz)
{
    if (!isUsableMovement(dx, dy, dz))
        return false;
    return mMovements.addOwn(dx, dy, dz, [&]() -> RefPtr<Object> {
        RefPtr<RPCEvent> event = c2smakeMovement_build(dx, dy, dz);
        return event && postEvent(event) ? event.get() : nullptr;
    });
}

void SimpleEventConnection::queueRelayedMovement(const ClientRecord& mover, double dx, double dy, double dz)
{
    mMovements.addRelayed(mover.id, dx, dy, dz, [&]() -> RefPtr<Object> {
        RefPtr<RPCEvent> event = s2cmakeMovement_build(dx, dy, dz, StringPtr(mover.name.c_str()));
        return event && postEvent(event) ? event.get() : nullptr;
    });
}

// ---- fair share of the relay ------------------------------------------------------------

size_t SimpleEventConnection::relayCost(RPCEvent* event) const
{
    BitStream scratch;
    event->pack(const_cast<SimpleEventConnection*>(this), scratch);
    return scratch.bytePosition() + RelayScheduler::RelayEventOverheadBytes;
}

double SimpleEventConnection::relayShare()
{
    // The slowest receiver's capacity, shared among the senders it hears,
    // and at least a part of it.
    double capacity = -1;
    size_t others = 0;
    forEachOtherClient([&](SimpleEventConnection* other) {
        ++others;
        const uint32_t interval = std::max<uint32_t>(other->sendInterval(), 1);
        const double bytesPerSecond = double(other->packetSize()) * 1000.0 / double(interval);
        if (capacity < 0 || bytesPerSecond < capacity)
            capacity = bytesPerSecond;
    });
    if (others == 0)
        return RelayScheduler::UnlimitedShareBytesPerSecond;
    return std::max(capacity / double(others), capacity * RelayScheduler::FairRelayFloorOfSlowestLink);
}

void SimpleEventConnection::relayFromHere(Relay relay)
{
    if (!mRelays.relay(std::move(relay), now()))
        relaysOverflowed();
}

void SimpleEventConnection::relayMovementFromHere(double dx, double dy, double dz)
{
    if (!mRelays.relayMovement(dx, dy, dz, now()))
        relaysOverflowed();
}

void SimpleEventConnection::relaysOverflowed()
{
    SF_LOG("LogSession", "%s: %zu bytes of relays held back; sender ended", name(), mRelays.heldBytes());
    mRelays.drop();
    setError("Send queue overflow");
}

// Applies a relay to the server's own scene and posts it to the others as
// the roster stands now (a client that joined meanwhile learnt the state
// before it from its introduction).
void SimpleEventConnection::performRelay(Relay& relay)
{
    Session* s = session();
    ClientRecord* sender = senderRecord();
    if (!s)
        return;
    switch (relay.kind) {
    case Relay::Movement:
        if (!sender)
            return;
        s->roster().moveClient(float(relay.dx), float(relay.dy), float(relay.dz), sender->name);
        forEachOtherClient(
            [&](SimpleEventConnection* other) { other->queueRelayedMovement(*sender, relay.dx, relay.dy, relay.dz); });
        return;
    case Relay::Selection:
        if (!sender)
            return;
        s->roster().setClientEntity(relay.entityName, 0, 0, 0, sender->name);
        forEachOtherClient([&](SimpleEventConnection* other) { other->postAbout(sender->id, relay.event); });
        return;
    case Relay::Event: {
        Roster& roster = s->roster();
        for (size_t i = 0; i < roster.size(); ++i) {
            SimpleEventConnection* target = roster[i].connection;
            if (target && (target != this || relay.echoToSender)) {
                if (sender)
                    target->postAbout(sender->id, relay.event);
                else
                    target->postEvent(relay.event);
            }
        }
        return;
    }
    }
}

} // namespace seafold
