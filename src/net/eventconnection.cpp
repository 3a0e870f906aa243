#include "net/eventconnection.h"

#include <algorithm>
#include <cstring>

#include "base/datachunker.h"

namespace seafold {

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

// ---- notes ------------------------------------------------------------------

// One queued, in-flight or received event.
struct EventConnection::EventNote {
    RefPtr<NetEvent> event;
    int32_t sequence = -1; // ordered events only
    uint32_t bytes = 0;    // the event's queuedSize when it was posted
    EventNote* next = nullptr;
    // Posted because of another connection's traffic (PostingFor): charged
    // to that one while it waits here. The origin may end first.
    bool fromOther = false;
    WeakRef<NetConnection> origin;
};

NetConnection* EventConnection::sPostingFor = nullptr;

// The notify record of a data packet: the notes of the events written into
// it, in writing order, until the packet is known delivered or lost.
struct EventConnection::EventPacketNotify : NetConnection::PacketNotify {
    EventNote* eventList = nullptr;
    ~EventPacketNotify() override;
};

namespace {

constexpr const char* EventLogChannel = "LogEventConnection";
constexpr const char* SendQueueOverflow = NetConnection::SendQueueOverflowReason;
// The peers' programs number their event classes differently.
constexpr const char* IncompatibleVersion = "Incompatible program version";

// The smallest data packet ahead of its event section: the header without
// ack bytes (35 bits) and a rate flag of 0.
constexpr uint32_t SmallestPacketHeaderBits = 36;

FreeListAllocator<EventConnection::EventNote>& noteAllocator()
{
    // Never destroyed: a connection held by some other static object may
    // still free its notes during static destruction.
    static auto* allocator = new FreeListAllocator<EventConnection::EventNote>();
    return *allocator;
}

EventConnection::EventNote* allocNote(NetEvent* event, int32_t sequence)
{
    EventConnection::EventNote* note = noteAllocator().allocateElement();
    note->event = event;
    note->sequence = sequence;
    return note;
}

void freeNote(EventConnection::EventNote* note)
{
    noteAllocator().freeElement(note);
}

void freeNoteList(EventConnection::EventNote* note)
{
    while (note) {
        EventConnection::EventNote* next = note->next;
        freeNote(note);
        note = next;
    }
}

// Puts the stream back to `bit`, with the error flag cleared and the text
// memory it had there. A text written by an event that is taken back never
// reaches the reader, so a later text must not be prefix-coded against it.
// BitStream clears its error flag only together with the position and the
// text memory (resetStream), so those two are put back afterwards.
void rewindStream(BitStream& stream, uint32_t bit, const char* textMemory)
{
    stream.resetStream();
    stream.setBitPosition(bit);
    stream.setTextMemory(textMemory);
}

} // namespace

EventConnection::EventPacketNotify::~EventPacketNotify()
{
    freeNoteList(eventList);
}

uint32_t EventConnection::liveNoteCount()
{
    return noteAllocator().liveCount();
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

// ---- writing ----------------------------------------------------------------------
//
// Event section of a data packet, after NetConnection's header and rate info:
//   [marker]     (U32)  0xF00DBAAD, only with debug checks
//   unordered events, each:
//     [1]        (flag)
//     [end]      (16)   absolute bit position where the event ends, only with debug checks
//     [classId]  (eventClassBitSize)
//     [data]            the event's pack
//   [0]          (flag) end of the unordered events
//   ordered events, each:
//     [1]        (flag)
//     [next]     (flag) 1: sequence = (previous + 1) & 0x7F
//     [sequence] (7)    only when next is 0: the sequence's low seven bits
//     [end] [classId] [data] as above
//   [0]          (flag) end of the ordered events

namespace {

// Writes [end] [classId] [data] at the stream's position.
void writeEventBody(EventConnection* connection, BitStream& stream, NetEvent* event, uint32_t classId,
                    uint32_t classIdBits, bool debug)
{
    uint32_t reserved = stream.bitPosition();
    if (debug)
        stream.setBitPosition(reserved + 16);
    stream.writeUnsigned(classId, classIdBits);
    event->pack(connection, stream);
    uint32_t end = stream.bitPosition();
    if (debug) {
        stream.setBitPosition(reserved);
        stream.writeUnsigned(end & 0xFFFF, 16);
        stream.setBitPosition(end);
    }
}

} // namespace

// True when the event, written as the first event of the smallest packet,
// leaves the headroom every event needs. Measured in a scratch stream whose
// text memory is empty, as it is at the start of every packet.
bool EventConnection::eventFitsAnyPacket(NetEvent* event, uint32_t writeLimitBits, bool ordered)
{
    const bool debug = connectParams().debugObjectSizes;
    BitStream scratch;
    writeEventBody(this, scratch, event, event->classRep()->classId(classGroup()), mEventClassBitSize, debug);
    if (scratch.hasError())
        return false;
    uint64_t start = SmallestPacketHeaderBits + (debug ? 32 : 0) + 1; // + the event's flag
    if (ordered)
        start += 1 + 1 + OrderedSequenceBits; // end of the unordered events, next flag, sequence
    return start + scratch.bitPosition() + MinFreeBitsAfterEvent <= writeLimitBits;
}

// Writes one event after its flag (and sequence) bits. An event that leaves
// less than the headroom, or whose write the stream refused, is taken back:
// the stream returns to rewindBit with the text memory it had there.
EventConnection::WriteOutcome EventConnection::writeEvent(BitStream& stream, NetEvent* event, uint32_t rewindBit,
                                                          const char* savedText, bool firstInPacket, bool ordered)
{
    const bool debug = connectParams().debugObjectSizes;
    const uint32_t classId = event->classRep()->classId(classGroup());
    if (classId >= mEventClassCount) {
        // Posted before the connection was established, and the peer turned
        // out to know fewer classes: its id would name another class there.
        rewindStream(stream, rewindBit, savedText);
        SF_LOG(EventLogChannel, "EventConnection %s: peer does not know event class %s; event dropped", name(),
               event->debugName());
        return EventUnsendable;
    }
    const uint32_t dataBit = stream.bitPosition();
    writeEventBody(this, stream, event, classId, mEventClassBitSize, debug);
    const uint32_t end = stream.bitPosition();
    SF_LOG(EventLogChannel, "EventConnection %s: WroteEvent %s - %d bits", name(), event->debugName(),
           int(end - dataBit));
    if (!stream.hasError() && uint64_t(end) + MinFreeBitsAfterEvent <= stream.writeLimitBits())
        return EventWritten;

    rewindStream(stream, rewindBit, savedText);
    // Taken back from an otherwise empty packet: find out whether any packet
    // could ever hold it, or it would block its queue for good.
    if (firstInPacket && !eventFitsAnyPacket(event, stream.writeLimitBits(), ordered)) {
        SF_LOG(EventLogChannel, "EventConnection %s: event %s does not fit into any packet; event dropped", name(),
               event->debugName());
        return EventUnsendable;
    }
    return EventTakenBack;
}

// Gives up the head of a send queue: the event is told it was not delivered.
// An ordered event that was never written takes its sequence number with it:
// the later ordered events, none of which has been written yet (writing
// stops at the first event taken back and follows sequence order), move down
// by one, so the receiver sees no gap.
void EventConnection::discardQueueHead(bool ordered)
{
    EventNote* note;
    if (ordered) {
        note = mOrderedSendHead;
        mOrderedSendHead = note->next;
        if (!mOrderedSendHead)
            mOrderedSendTail = nullptr;
        for (EventNote* later = mOrderedSendHead; later; later = later->next)
            --later->sequence;
        --mNextSendSequence;
    } else {
        note = mUnorderedSendHead;
        mUnorderedSendHead = note->next;
        if (!mUnorderedSendHead)
            mUnorderedSendTail = nullptr;
    }
    countUnqueued(note);
    RefPtr<NetEvent> event = note->event;
    freeNote(note);
    event->notifyDelivered(this, false);
}

// Bits the ordered events at the head of the send queue take in a packet:
// the first one's, and all of them that the packet could hold, from the
// sizes measured when they were posted (a text may pack smaller in a packet,
// never larger).
void EventConnection::orderedNeedBits(uint64_t targetBits, uint64_t* firstBits, uint64_t* allBits) const
{
    const uint64_t perEvent = 1 + 1 + OrderedSequenceBits + (connectParams().debugObjectSizes ? 16 : 0) +
                              mEventClassBitSize;
    *firstBits = *allBits = 0;
    for (const EventNote* note = mOrderedSendHead; note && *allBits < targetBits; note = note->next) {
        if (note->sequence > mLastDeliveredSequence + int32_t(OrderedWindow))
            break;
        *allBits += perEvent + uint64_t(note->bytes) * 8;
        if (note == mOrderedSendHead)
            *firstBits = *allBits;
    }
}

// Every packet is shared: ordered events (roster, movement, chat) get what
// they need of it, at least their first event and up to half the packet;
// guaranteed events fill up to room for that first ordered event;
// unguaranteed ones (voice) fill the rest. A share left unused goes to the
// others, and so one stream never holds another up: without the shares a
// queue of voice filled every packet of a slow receiver and the movements
// behind it waited for ever.
//
// No event runs past the packet's size unless it is alone in the packet
// (an event larger than the size would otherwise never go).
void EventConnection::writePacket(BitStream& stream, PacketNotify* packetNotify)
{
    auto* notify = static_cast<EventPacketNotify*>(packetNotify);
    const bool debug = connectParams().debugObjectSizes;
    const uint64_t targetBits = uint64_t(stream.size()) * 8;
    char savedText[BitStream::MaxTextBytes + 1];

    EventNote** packetTail = &notify->eventList;
    while (*packetTail)
        packetTail = &(*packetTail)->next;
    bool firstInPacket = true;

    if (debug)
        stream.writeUnsigned(PacketMarker, 32);

    uint64_t orderedFirst = 0, orderedAll = 0;
    orderedNeedBits(targetBits, &orderedFirst, &orderedAll);
    const uint64_t orderedShare = std::min(orderedAll, std::max(targetBits / 2, orderedFirst));
    // + 1: the flag that ends the unordered events.
    const uint64_t guaranteedLimit = targetBits > orderedFirst + 1 ? targetBits - orderedFirst - 1 : 0;
    const uint64_t unguaranteedLimit = targetBits > orderedShare + 1 ? targetBits - orderedShare - 1 : 0;

    // Unordered events, in queue order, each kind within its limit; one that
    // does not fit stays queued for the next packet, and a few later ones
    // (of the other kind, or smaller) may still go in its place.
    uint32_t skipped = 0;
    EventNote* kept = nullptr; // the last note left in the queue
    for (EventNote** at = &mUnorderedSendHead; *at && skipped < MaxSkippedPerPacket && !stream.hasError();) {
        EventNote* note = *at;
        const uint64_t limit =
            note->event->guaranteeType() == NetEvent::Unguaranteed ? unguaranteedLimit : guaranteedLimit;
        const uint32_t flagBit = stream.bitPosition();
        if (flagBit >= limit) {
            ++skipped;
            kept = note;
            at = &note->next;
            continue;
        }
        std::strcpy(savedText, stream.textMemory());
        stream.writeFlag(true);
        WriteOutcome outcome = writeEvent(stream, note->event, flagBit, savedText, firstInPacket, false);
        // Only an event alone in the packet runs past its limit, and an
        // unguaranteed one (voice) not even then past the room the first
        // waiting ordered event needs: it waits for a packet where no
        // ordered event does.
        const bool unguaranteed = note->event->guaranteeType() == NetEvent::Unguaranteed;
        if (outcome == EventWritten &&
            (firstInPacket ? unguaranteed && orderedFirst && stream.bitPosition() + orderedFirst + 1 > targetBits
                           : stream.bitPosition() > limit)) {
            rewindStream(stream, flagBit, savedText);
            outcome = EventTakenBack;
        }
        if (outcome == EventTakenBack) {
            ++skipped;
            kept = note;
            at = &note->next;
            continue;
        }
        // Out of the queue: fix the tail when it was last.
        *at = note->next;
        if (mUnorderedSendTail == note)
            mUnorderedSendTail = kept;
        countUnqueued(note);
        if (outcome == EventUnsendable) {
            RefPtr<NetEvent> event = note->event;
            freeNote(note);
            event->notifyDelivered(this, false);
            continue;
        }
        note->next = nullptr;
        *packetTail = note;
        packetTail = &note->next;
        firstInPacket = false;
        if (stream.bitPosition() >= targetBits)
            break; // a lone event that ran past the size
    }
    stream.writeFlag(false);

    // Ordered events, in sequence order, at most OrderedWindow beyond the
    // last one confirmed delivered: the 7-bit sequence stays unambiguous.
    int32_t prev = -2;
    while (mOrderedSendHead && stream.bitPosition() < targetBits && !stream.hasError()) {
        const int32_t sequence = mOrderedSendHead->sequence;
        if (sequence > mLastDeliveredSequence + int32_t(OrderedWindow))
            break;
        const uint32_t flagBit = stream.bitPosition();
        std::strcpy(savedText, stream.textMemory());
        stream.writeFlag(true);
        const bool consecutive = sequence == prev + 1;
        stream.writeFlag(consecutive);
        if (!consecutive)
            stream.writeUnsigned(uint32_t(sequence) & 0x7F, OrderedSequenceBits);
        WriteOutcome outcome = writeEvent(stream, mOrderedSendHead->event, flagBit, savedText, firstInPacket, true);
        if (outcome == EventWritten && stream.bitPosition() + 1 > targetBits && !firstInPacket) {
            rewindStream(stream, flagBit, savedText);
            outcome = EventTakenBack;
        }
        if (outcome == EventTakenBack)
            break;
        if (outcome == EventUnsendable) {
            discardQueueHead(true);
            continue;
        }
        prev = sequence;
        EventNote* note = mOrderedSendHead;
        mOrderedSendHead = note->next;
        if (!mOrderedSendHead)
            mOrderedSendTail = nullptr;
        countUnqueued(note);
        note->next = nullptr;
        *packetTail = note;
        packetTail = &note->next;
        firstInPacket = false;
    }

    for (EventNote* note = notify->eventList; note; note = note->next)
        note->event->notifySent(this);
    stream.writeFlag(false);
}

// ---- reading ------------------------------------------------------------------------

void EventConnection::readPacket(BitStream& stream)
{
    const bool debug = connectParams().debugObjectSizes;
    const uint32_t group = classGroup();
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
        const uint32_t endBit = debug ? stream.readUnsigned(16) : 0;
        const uint32_t classId = stream.readUnsigned(mEventClassBitSize);
        if (stream.hasError()) {
            setError("Invalid Packet.");
            return;
        }
        if (classId >= mEventClassCount || classId >= NetClassRep::classCount(group, NetClassTypeEvent)) {
            setError("Invalid packet.");
            return;
        }
        Object* object = NetClassRep::createByClassId(group, NetClassTypeEvent, classId);
        NetEvent* created = dynamic_cast<NetEvent*>(object);
        if (!created) {
            if (object)
                object->deleteSelf();
            setError("Invalid packet.");
            return;
        }
        RefPtr<NetEvent> event(created);

        const int32_t direction = event->direction();
        if (direction <= NetEvent::DirUnset || direction > NetEvent::DirClientToServer ||
            (direction == NetEvent::DirServerToClient && isConnectionToClient()) ||
            (direction == NetEvent::DirClientToServer && isConnectionToServer())) {
            setError("Invalid Packet.");
            return;
        }

        event->unpack(this, stream);
        if (errorText())
            return;
        // A half-read event is never processed.
        if (stream.hasError()) {
            setError("Invalid Packet.");
            return;
        }
        if (debug && (stream.bitPosition() & 0xFFFF) != endBit)
            SF_LOG(EventLogChannel, "EventConnection %s: unpack did not match pack for event of class %s.", name(),
                   event->debugName());

        if (!ordered) {
            processEvent(event);
            if (errorText())
                return;
            continue;
        }

        int32_t widened = (mNextRecvSequence & ~0x7F) | sequence;
        if (widened < mNextRecvSequence)
            widened += 128;
        // The sender keeps every ordered event it writes within the window
        // past the last one it knows we received, so a sequence 126 or 127
        // ahead is an old copy of one already processed. Stored, it would
        // never be reached and would stall ordered delivery.
        if (widened - mNextRecvSequence >= int32_t(OrderedWindow)) {
            SF_LOG(EventLogChannel, "EventConnection %s: stale ordered event %d ignored", name(), sequence);
            continue;
        }
        EventNote** link = &mReceivedOrderedHead;
        while (*link && (*link)->sequence < widened)
            link = &(*link)->next;
        if (*link && (*link)->sequence == widened) {
            SF_LOG(EventLogChannel, "EventConnection %s: duplicate ordered event %d ignored", name(), widened);
            continue;
        }
        SF_LOG(EventLogChannel, "EventConnection %s: RecvdGuaranteed %d", name(), widened);
        EventNote* note = allocNote(event, widened);
        note->next = *link;
        *link = note;
    }
    // The end flags of the section could not be read: the packet was cut.
    if (stream.hasError()) {
        setError("Invalid Packet.");
        return;
    }

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
