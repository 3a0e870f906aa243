#include "session/senderrelays.h"
#include "session/relay.h"
#include "session/simpleeventconnection.h"

#include <algorithm>

namespace seafold {

SenderRelays::SenderRelays(SimpleEventConnection& connection)
    : mConnection(connection), mScheduler([this](Relay& relay) { perform(relay); }, [this] { return share(); })
{
}

void SenderRelays::select(const StringPtr& entityName)
{
    ClientRecord* sender = mConnection.senderRecord();
    if (!sender)
        return;
    Relay relay;
    relay.kind = Relay::Selection;
    relay.entityName = entityName.c_str();
    relay.event = mConnection.s2cEntityNotify_build(entityName, 0.0, 0.0, 0.0, StringPtr(sender->name.c_str()));
    if (!relay.event)
        return;
    relay.bytes = cost(relay.event);
    this->relay(std::move(relay));
}

void SenderRelays::move(double dx, double dy, double dz)
{
    // Not-a-number or infinity is no movement: neither applied nor relayed.
    if (!mConnection.senderRecord() || !isUsableMovement(dx, dy, dz))
        return;
    if (!mScheduler.relayMovement(dx, dy, dz, mConnection.now()))
        overflowed();
}

void SenderRelays::turn(double w, double x, double y, double z)
{
    Session* s = mConnection.session();
    ClientRecord* sender = mConnection.senderRecord();
    if (!s || !sender)
        return;
    UserAction action;
    action.kind = UserAction::Turn;
    action.orientation = Orientation{w, x, y, z};
    relayUserAction(*s, *sender, action);
}

void SenderRelays::mark(uint32_t marks)
{
    Session* s = mConnection.session();
    ClientRecord* sender = mConnection.senderRecord();
    if (!s || !sender)
        return;
    UserAction action;
    action.kind = UserAction::Marks;
    action.marks = marks;
    relayUserAction(*s, *sender, action);
}

void SenderRelays::relayVoice(const RefPtr<RPCEvent>& event, bool echoToSender)
{
    Relay relay;
    relay.event = event;
    relay.echoToSender = echoToSender;
    relay.bytes = cost(relay.event);
    this->relay(std::move(relay));
}

void SenderRelays::relay(Relay relay)
{
    if (!mScheduler.relay(std::move(relay), mConnection.now()))
        overflowed();
}

// Applied to the server's own scene and posted to the others as the roster
// stands now (a client that joined meanwhile learnt the state before it
// from its introduction).
void SenderRelays::perform(Relay& relay)
{
    Session* s = mConnection.session();
    ClientRecord* sender = mConnection.senderRecord();
    if (!s || !sender)
        return;
    UserAction action;
    switch (relay.kind) {
    case Relay::Movement:
        action.kind = UserAction::Move;
        action.dx = relay.dx;
        action.dy = relay.dy;
        action.dz = relay.dz;
        break;
    case Relay::Selection:
        action.kind = UserAction::Select;
        action.text = relay.entityName;
        action.event = relay.event;
        break;
    case Relay::Event:
        action.kind = UserAction::Voice;
        action.event = relay.event;
        action.echoToSender = relay.echoToSender;
        break;
    }
    relayUserAction(*s, *sender, action);
}

void SenderRelays::release()
{
    // What moves on now is still this client's doing.
    EventConnection::PostingFor charged(&mConnection);
    if (mScheduler.holding())
        mScheduler.release(mConnection.now());
}

void SenderRelays::resume()
{
    Session* s = mConnection.session();
    RelayScheduler::Budget budget;
    if (s && s->relayShares().recall(mConnection.address(), mConnection.now(), &budget))
        mScheduler.resume(budget);
}

void SenderRelays::end()
{
    mScheduler.drop();
    if (Session* s = mConnection.session())
        s->relayShares().remember(mConnection.address(), mScheduler.budget(mConnection.now()), mConnection.now());
}

size_t SenderRelays::cost(RPCEvent* event) const
{
    BitStream scratch;
    event->pack(const_cast<SimpleEventConnection*>(&mConnection), scratch);
    return scratch.bytePosition() + RelayScheduler::RelayEventOverheadBytes;
}

double SenderRelays::share()
{
    // The slowest receiver's capacity, shared among the senders it hears,
    // and at least a part of it.
    Session* s = mConnection.session();
    if (!s)
        return RelayScheduler::UnlimitedShareBytesPerSecond;
    double capacity = -1;
    size_t others = 0;
    Roster& roster = s->roster();
    for (size_t i = 0; i < roster.size(); ++i) {
        SimpleEventConnection* other = roster[i].connection;
        if (!other || other == &mConnection)
            continue;
        ++others;
        const uint32_t interval = std::max<uint32_t>(other->sendInterval(), 1);
        const double bytesPerSecond = double(other->packetSize()) * 1000.0 / double(interval);
        if (capacity < 0 || bytesPerSecond < capacity)
            capacity = bytesPerSecond;
    }
    if (others == 0)
        return RelayScheduler::UnlimitedShareBytesPerSecond;
    return std::max(capacity / double(others), capacity * RelayScheduler::FairRelayFloorOfSlowestLink);
}

void SenderRelays::overflowed()
{
    SF_LOG("LogSession", "%s: %zu bytes of relays held back; sender ended", mConnection.name(), mScheduler.heldBytes());
    mScheduler.drop();
    mConnection.setError("Send queue overflow");
}

} // namespace seafold
