#include "net/eventconnection.h"

#include <algorithm>

#include "net/eventconnection_local.h"

namespace seafold {

using eventnotes::allocNote;
using eventnotes::freeNote;
using eventnotes::freeNoteList;

// ---- NetEvent ---------------------------------------------------------------

void NetEvent::notifyPosted(EventConnection*) {}
void NetEvent::notifySent(EventConnection*) {}
void NetEvent::notifyDelivered(EventConnection*, bool) {}

const char* NetEvent::debugName() const
{
    NetClassRep* rep = classRep();
    return rep ? rep->className() : "NetEvent";
}

uint32_t NetEvent::queuedSize(EventConnection* connection)
{
    if (mQueuedSize == 0) {
        // Scratch space of one datagram: an event that needs more is never
        // sent anyway (it is dropped when its turn comes).
        uint8_t scratch[BitStream::DefaultSizeBytes];
        BitStream stream(scratch, sizeof scratch);
        pack(connection, stream);
        mQueuedSize = stream.hasError() ? uint32_t(sizeof scratch) : std::max<uint32_t>(stream.bytePosition(), 1);
    }
    return mQueuedSize;
}

NetConnection* EventConnection::sPostingFor = nullptr;

namespace {

constexpr const char* EventLogChannel = eventnotes::LogChannel;
constexpr const char* SendQueueOverflow = NetConnection::SendQueueOverflowReason;
// The peers' programs number their event classes differently.
constexpr const char* IncompatibleVersion = "Incompatible program version";

} // namespace

EventConnection::EventPacketNotify::~EventPacketNotify()
{
    freeNoteList(eventList);
}

uint32_t EventConnection::liveNoteCount()
{
    return eventnotes::allocator().liveCount();
}

// ---- construction -------------------------------------------------------------

EventConnection::EventConnection() = default;

// Notes of packets still in flight belong to their notify records, which the
// base frees.
EventConnection::~EventConnection()
{
    // What others had waiting here is no longer theirs to answer for.
    for (EventNote* queue : {mOrderedSendHead, mUnorderedSendHead})
        for (EventNote* note = queue; note; note = note->next)
            if (NetConnection* origin = note->origin)
                origin->removeQueuedForOthers(note->bytes);
    freeNoteList(mOrderedSendHead);
    freeNoteList(mUnorderedSendHead);
    freeNoteList(mReceivedOrderedHead);
    freeNoteList(mAwaitingDeliveryHead);
}

uint32_t EventConnection::classIdBitsFor(uint32_t count)
{
    uint32_t bits = 0;
    while (count > 1 && (uint64_t(1) << bits) < count)
        ++bits;
    return bits;
}

uint32_t EventConnection::localEventClassCount() const
{
    return NetClassRep::classCountUpToVersion(classGroup(), NetClassTypeEvent, mHighestClassVersion);
}

bool EventConnection::sharesClassVersion(int32_t version) const
{
    if (mEventClassCount == 0)
        return false; // not negotiated yet
    return mEventClassCount > NetClassRep::classCountUpToVersion(classGroup(), NetClassTypeEvent, version - 1);
}

void EventConnection::setEventClassCount(uint32_t count)
{
    mEventClassCount = count;
    mEventClassBitSize = classIdBitsFor(count);
}

EventConnection::QueueDepths EventConnection::queueDepths() const
{
    QueueDepths depths;
    for (EventNote* n = mOrderedSendHead; n; n = n->next)
        ++depths.orderedSend;
    for (EventNote* n = mUnorderedSendHead; n; n = n->next)
        ++depths.unorderedSend;
    for (EventNote* n = mReceivedOrderedHead; n; n = n->next)
        ++depths.receivedWaiting;
    for (EventNote* n = mAwaitingDeliveryHead; n; n = n->next)
        ++depths.awaitingDelivery;
    return depths;
}

// ---- connect negotiation ------------------------------------------------------
//
// Connect request, after NetConnection's fields:
//   [eventClassCount] (U32)  the initiator's number of event classes in the group
// Connect accept, after NetConnection's fields (none):
//   [eventClassCount] (U32)  the count both sides use
// A side with fewer classes may only be met at a version border, so that the
// classes both sides number alike are the same classes.

void EventConnection::writeConnectRequest(BitStream& stream)
{
    NetConnection::writeConnectRequest(stream);
    stream.writeU32(localEventClassCount());
}

bool EventConnection::readConnectRequest(BitStream& stream, const char** errorText)
{
    if (!NetConnection::readConnectRequest(stream, errorText))
        return false;
    uint32_t peerCount = stream.readU32();
    if (stream.hasError())
        return false;
    uint32_t localCount = localEventClassCount();
    uint32_t count = localCount;
    if (peerCount < localCount) {
        if (!NetClassRep::isVersionBorderCount(classGroup(), NetClassTypeEvent, peerCount)) {
            SF_LOG(EventLogChannel, "EventConnection %s: peer event class count %u is not a version border", name(),
                   peerCount);
            *errorText = IncompatibleVersion;
            return false;
        }
        count = peerCount;
    }
    setEventClassCount(count);
    return true;
}

void EventConnection::writeConnectAccept(BitStream& stream)
{
    NetConnection::writeConnectAccept(stream);
    stream.writeU32(mEventClassCount);
}

bool EventConnection::readConnectAccept(BitStream& stream, const char** errorText)
{
    if (!NetConnection::readConnectAccept(stream, errorText))
        return false;
    uint32_t count = stream.readU32();
    if (stream.hasError())
        return false;
    if (count > localEventClassCount() || !NetClassRep::isVersionBorderCount(classGroup(), NetClassTypeEvent, count)) {
        SF_LOG(EventLogChannel, "EventConnection %s: accepted event class count %u is not usable here", name(), count);
        *errorText = IncompatibleVersion;
        return false;
    }
    setEventClassCount(count);
    return true;
}

// ---- posting --------------------------------------------------------------------

bool EventConnection::postEvent(NetEvent* event)
{
    RefPtr<NetEvent> hold(event); // frees an otherwise unreferenced event on refusal
    if (!event)
        return false;
    NetClassRep* rep = event->classRep();
    const uint32_t group = classGroup();
    if (!rep || group >= NetClassGroupCount || !(rep->groupMask() & (1u << group))) {
        SF_LOG(EventLogChannel, "EventConnection %s: event %s is not in class group %u; not posted", name(),
               event->debugName(), group);
        return false;
    }
    int32_t guarantee = event->guaranteeType();
    if (guarantee < NetEvent::GuaranteedOrdered || guarantee > NetEvent::Unguaranteed) {
        SF_LOG(EventLogChannel, "EventConnection %s: event %s has unknown guarantee type %d; not posted", name(),
               event->debugName(), guarantee);
        return false;
    }
    if (state() == Connected && rep->classId(group) >= mEventClassCount)
        return false;

    // The caps: a connection that cannot keep up is ended, not fed for ever.
    // It is ended by the interface, not here: the caller (a handler relaying
    // to every other connection, say) may be in the middle of using it.
    if (endReason() == SendQueueOverflow)
        return false;
    const uint32_t bytes = event->queuedSize(this);
    NetConnection* origin = sPostingFor != this ? sPostingFor : nullptr;
    if (mQueuedEvents >= MaxQueuedEvents || mQueuedBytes + uint64_t(bytes) > MaxQueuedBytes) {
        overflow(origin);
        return false;
    }

    event->notifyPosted(this);
    EventNote* note;
    if (guarantee == NetEvent::GuaranteedOrdered) {
        note = allocNote(event, mNextSendSequence++);
        if (mOrderedSendTail)
            mOrderedSendTail->next = note;
        else
            mOrderedSendHead = note;
        mOrderedSendTail = note;
    } else {
        note = allocNote(event, -1);
        if (mUnorderedSendTail)
            mUnorderedSendTail->next = note;
        else
            mUnorderedSendHead = note;
        mUnorderedSendTail = note;
    }
    note->bytes = bytes;
    if (origin) {
        note->fromOther = true;
        note->origin = origin;
    }
    countQueued(note);
    return true;
}

// A queue at its cap is ended with whoever filled it: the connection whose
// relays would go beyond it, when that one has at least as many bytes
// waiting in the queues as this connection's own traffic has here (one
// client speaking or selecting without end fills every slower receiver's
// queue; the receivers did nothing). Otherwise this connection, which
// cannot keep up; counted against its host only when its own traffic
// filled most of its queue.
void EventConnection::overflow(NetConnection* origin)
{
    const uint32_t own = mQueuedBytes - mQueuedFromOthers;
    if (origin && origin->queuedBytesForOthers() >= own) {
        // (name() shares one buffer: one per line.)
        writeLog("Connection %s: the send queue of another connection is full of relays (%u bytes)", name(),
                 mQueuedFromOthers);
        writeLog("Connection %s: its relays fill that queue (%u bytes waiting in all); ending it", origin->name(),
                 origin->queuedBytesForOthers());
        origin->endSoon(SendQueueOverflow);
        return;
    }
    writeLog("Connection %s: send queue overflow (%u events, %u bytes waiting, %u of them relays); ending it", name(),
             mQueuedEvents, mQueuedBytes, mQueuedFromOthers);
    endSoon(SendQueueOverflow, own >= mQueuedFromOthers);
}

void EventConnection::countQueued(const EventNote* note)
{
    ++mQueuedEvents;
    mQueuedBytes += note->bytes;
    if (note->fromOther) {
        mQueuedFromOthers += note->bytes;
        if (NetConnection* origin = note->origin)
            origin->addQueuedForOthers(note->bytes);
    }
}

void EventConnection::countUnqueued(const EventNote* note)
{
    --mQueuedEvents;
    mQueuedBytes -= note->bytes;
    if (note->fromOther) {
        mQueuedFromOthers -= note->bytes;
        if (NetConnection* origin = note->origin)
            origin->removeQueuedForOthers(note->bytes);
    }
}

bool EventConnection::isDataToTransmit() const
{
    if (mUnorderedSendHead)
        return true;
    // Between adaptive peers nothing paces empty packets: ordered events
    // held back by their window are no data to send.
    if (adaptiveByHandshake() && mOrderedSendHead)
        return mOrderedSendHead->sequence <= mLastDeliveredSequence + int32_t(OrderedWindow);
    return mOrderedSendHead;
}

void EventConnection::processEvent(NetEvent* event)
{
    if (state() == Connected && admitEvent(event)) {
        PostingFor charged(this);
        event->process(this);
    }
}

// (Writing a data packet's events: eventconnection_write.cpp.)

// ---- reading ------------------------------------------------------------------------

void EventConnection::readPacket(BitStream& stream)
{
    const bool debug = connectParams().debugObjectSizes;
    if (debug && stream.readUnsigned(32) != PacketMarker)
        SF_LOG(EventLogChannel, "EventConnection %s: Invalid checksum.", name());

    bool ordered = false;
    int32_t prev = -2;
    for (;;) {
        bool more = stream.readFlag();
        if (!more && !ordered) {
            ordered = true;
            more = stream.readFlag();
        }
        if (!more)
            break;
        int32_t sequence = -1;
        if (ordered) {
            if (stream.readFlag())
                sequence = (prev + 1) & 0x7F;
            else
                sequence = int32_t(stream.readUnsigned(OrderedSequenceBits));
            prev = sequence;
        }
        RefPtr<NetEvent> event = readEvent(stream, debug);
        if (!event)
            return;
        if (ordered) {
            holdReceivedOrdered(event, sequence);
            continue;
        }
        processEvent(event);
        if (errorText())
            return;
    }
    // The end flags of the section could not be read: the packet was cut.
    if (stream.hasError()) {
        setError("Invalid Packet.");
        return;
    }
    processDueOrderedEvents();
}

// [end] [classId] [data] of one event. The event is made only for a class
// both peers know, and kept only when it may travel this way and its data
// reads whole: a half-read event is never processed.
RefPtr<NetEvent> EventConnection::readEvent(BitStream& stream, bool debug)
{
    const uint32_t group = classGroup();
    const uint32_t endBit = debug ? stream.readUnsigned(16) : 0;
    const uint32_t classId = stream.readUnsigned(mEventClassBitSize);
    if (stream.hasError()) {
        setError("Invalid Packet.");
        return nullptr;
    }
    if (classId >= mEventClassCount || classId >= NetClassRep::classCount(group, NetClassTypeEvent)) {
        setError("Invalid packet.");
        return nullptr;
    }
    Object* object = NetClassRep::createByClassId(group, NetClassTypeEvent, classId);
    NetEvent* created = dynamic_cast<NetEvent*>(object);
    if (!created) {
        if (object)
            object->deleteSelf();
        setError("Invalid packet.");
        return nullptr;
    }
    RefPtr<NetEvent> event(created);

    const int32_t direction = event->direction();
    if (direction <= NetEvent::DirUnset || direction > NetEvent::DirClientToServer ||
        (direction == NetEvent::DirServerToClient && isConnectionToClient()) ||
        (direction == NetEvent::DirClientToServer && isConnectionToServer())) {
        setError("Invalid Packet.");
        return nullptr;
    }

    event->unpack(this, stream);
    if (errorText())
        return nullptr;
    if (stream.hasError()) {
        setError("Invalid Packet.");
        return nullptr;
    }
    if (debug && (stream.bitPosition() & 0xFFFF) != endBit)
        SF_LOG(EventLogChannel, "EventConnection %s: unpack did not match pack for event of class %s.", name(),
               event->debugName());
    return event;
}

// Puts a received ordered event among those waiting for their turn, by its
// sequence widened next to the one expected.
void EventConnection::holdReceivedOrdered(NetEvent* event, int32_t sequence)
{
    int32_t widened = (mNextRecvSequence & ~0x7F) | sequence;
    if (widened < mNextRecvSequence)
        widened += 128;
    // The sender keeps every ordered event it writes within the window
    // past the last one it knows we received, so a sequence 126 or 127
    // ahead is an old copy of one already processed. Stored, it would
    // never be reached and would stall ordered delivery.
    if (widened - mNextRecvSequence >= int32_t(OrderedWindow)) {
        SF_LOG(EventLogChannel, "EventConnection %s: stale ordered event %d ignored", name(), sequence);
        return;
    }
    EventNote** link = &mReceivedOrderedHead;
    while (*link && (*link)->sequence < widened)
        link = &(*link)->next;
    if (*link && (*link)->sequence == widened) {
        SF_LOG(EventLogChannel, "EventConnection %s: duplicate ordered event %d ignored", name(), widened);
        return;
    }
    SF_LOG(EventLogChannel, "EventConnection %s: RecvdGuaranteed %d", name(), widened);
    EventNote* note = allocNote(event, widened);
    note->next = *link;
    *link = note;
}

// Processes the waiting ordered events that are next in sequence.
void EventConnection::processDueOrderedEvents()
{
    while (mReceivedOrderedHead && mReceivedOrderedHead->sequence == mNextRecvSequence) {
        ++mNextRecvSequence;
        EventNote* note = mReceivedOrderedHead;
        mReceivedOrderedHead = note->next;
        SF_LOG(EventLogChannel, "EventConnection %s: ProcessGuaranteed %d", name(), note->sequence);
        RefPtr<NetEvent> event = note->event;
        freeNote(note);
        processEvent(event);
        if (errorText())
            return;
    }
}

// ---- delivery notifies ----------------------------------------------------------------

NetConnection::PacketNotify* EventConnection::allocNotify()
{
    return new EventPacketNotify;
}

void EventConnection::packetDelivered(PacketNotify* packetNotify)
{
    auto* notify = static_cast<EventPacketNotify*>(packetNotify);
    EventNote* note = notify->eventList;
    notify->eventList = nullptr;
    while (note) {
        EventNote* next = note->next;
        if (note->event->guaranteeType() != NetEvent::GuaranteedOrdered) {
            RefPtr<NetEvent> event = note->event;
            freeNote(note);
            event->notifyDelivered(this, true);
        } else {
            EventNote** link = &mAwaitingDeliveryHead;
            while (*link && (*link)->sequence < note->sequence)
                link = &(*link)->next;
            note->next = *link;
            *link = note;
        }
        note = next;
    }
    // An ordered event counts as delivered once every earlier one is.
    while (mAwaitingDeliveryHead && mAwaitingDeliveryHead->sequence == mLastDeliveredSequence + 1) {
        ++mLastDeliveredSequence;
        EventNote* head = mAwaitingDeliveryHead;
        mAwaitingDeliveryHead = head->next;
        SF_LOG(EventLogChannel, "EventConnection %s: NotifyDelivered - %d", name(), head->sequence);
        RefPtr<NetEvent> event = head->event;
        freeNote(head);
        event->notifyDelivered(this, true);
    }
}

void EventConnection::packetDropped(PacketNotify* packetNotify)
{
    auto* notify = static_cast<EventPacketNotify*>(packetNotify);
    EventNote* note = notify->eventList;
    notify->eventList = nullptr;
    // Ordered notes of one packet are in ascending sequence order, so each
    // reinsertion scans on from where the previous one ended. Guaranteed
    // notes go to the front of the unordered queue, keeping their order.
    EventNote** orderedLink = &mOrderedSendHead;
    EventNote** unorderedLink = &mUnorderedSendHead;
    while (note) {
        EventNote* next = note->next;
        switch (note->event->guaranteeType()) {
        case NetEvent::GuaranteedOrdered:
            SF_LOG(EventLogChannel, "EventConnection %s: DroppedGuaranteed - %d", name(), note->sequence);
            while (*orderedLink && (*orderedLink)->sequence < note->sequence)
                orderedLink = &(*orderedLink)->next;
            note->next = *orderedLink;
            *orderedLink = note;
            if (!note->next)
                mOrderedSendTail = note;
            orderedLink = &note->next;
            countQueued(note);
            break;
        case NetEvent::Guaranteed:
            note->next = *unorderedLink;
            *unorderedLink = note;
            if (!note->next)
                mUnorderedSendTail = note;
            unorderedLink = &note->next;
            countQueued(note);
            break;
        default: {
            RefPtr<NetEvent> event = note->event;
            freeNote(note);
            event->notifyDelivered(this, false);
            break;
        }
        }
        note = next;
    }
}

} // namespace seafold
