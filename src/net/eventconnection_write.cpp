// Writing the event section of a data packet: each packet is shared
// between the ordered and the unordered events, and every event that does
// not fit is taken back whole.
#include <algorithm>
#include <cstring>

#include "net/eventconnection.h"
#include "net/eventconnection_local.h"

namespace seafold {

using eventnotes::freeNote;

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

constexpr const char* EventLogChannel = eventnotes::LogChannel;

// The smallest data packet ahead of its event section: the header without
// ack bytes (35 bits) and a rate flag of 0.
constexpr uint32_t SmallestPacketHeaderBits = 36;

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
    const uint64_t perEvent =
        1 + 1 + OrderedSequenceBits + (connectParams().debugObjectSizes ? 16 : 0) + mEventClassBitSize;
    *firstBits = *allBits = 0;
    for (const EventNote* note = mOrderedSendHead; note && *allBits < targetBits; note = note->next) {
        if (note->sequence > mLastDeliveredSequence + int32_t(OrderedWindow))
            break;
        *allBits += perEvent + uint64_t(note->bytes) * 8;
        if (note == mOrderedSendHead)
            *firstBits = *allBits;
    }
}

// What writePacket's steps share while they fill one packet.
struct EventConnection::PacketFill {
    uint64_t targetBits = 0;
    // Room the first waiting ordered event needs (0: none waits), and where
    // each kind of unordered event must end.
    uint64_t orderedFirst = 0;
    uint64_t guaranteedLimit = 0;
    uint64_t unguaranteedLimit = 0;
    EventNote** tail = nullptr; // where the packet's next note goes
    bool firstInPacket = true;
    char savedText[BitStream::MaxTextBytes + 1]; // text memory before the event being written

    void add(EventNote* note)
    {
        note->next = nullptr;
        *tail = note;
        tail = &note->next;
        firstInPacket = false;
    }
};

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
    PacketFill fill;
    fill.targetBits = uint64_t(stream.size()) * 8;
    fill.tail = &notify->eventList;
    while (*fill.tail)
        fill.tail = &(*fill.tail)->next;

    if (connectParams().debugObjectSizes)
        stream.writeUnsigned(PacketMarker, 32);

    uint64_t orderedAll = 0;
    orderedNeedBits(fill.targetBits, &fill.orderedFirst, &orderedAll);
    const uint64_t orderedShare = std::min(orderedAll, std::max(fill.targetBits / 2, fill.orderedFirst));
    // + 1: the flag that ends the unordered events.
    fill.guaranteedLimit = fill.targetBits > fill.orderedFirst + 1 ? fill.targetBits - fill.orderedFirst - 1 : 0;
    fill.unguaranteedLimit = fill.targetBits > orderedShare + 1 ? fill.targetBits - orderedShare - 1 : 0;

    writeUnorderedEvents(stream, fill);
    stream.writeFlag(false);
    writeOrderedEvents(stream, fill);

    for (EventNote* note = notify->eventList; note; note = note->next)
        note->event->notifySent(this);
    stream.writeFlag(false);
}

// Unordered events, in queue order, each kind within its limit; one that
// does not fit stays queued for the next packet, and a few later ones (of
// the other kind, or smaller) may still go in its place.
void EventConnection::writeUnorderedEvents(BitStream& stream, PacketFill& fill)
{
    uint32_t skipped = 0;
    EventNote* kept = nullptr; // the last note left in the queue
    for (EventNote** at = &mUnorderedSendHead; *at && skipped < MaxSkippedPerPacket && !stream.hasError();) {
        EventNote* note = *at;
        const bool unguaranteed = note->event->guaranteeType() == NetEvent::Unguaranteed;
        const uint64_t limit = unguaranteed ? fill.unguaranteedLimit : fill.guaranteedLimit;
        const uint32_t flagBit = stream.bitPosition();
        if (flagBit >= limit) {
            ++skipped;
            kept = note;
            at = &note->next;
            continue;
        }
        std::strcpy(fill.savedText, stream.textMemory());
        stream.writeFlag(true);
        WriteOutcome outcome = writeEvent(stream, note->event, flagBit, fill.savedText, fill.firstInPacket, false);
        // Only an event alone in the packet runs past its limit, and an
        // unguaranteed one (voice) not even then past the room the first
        // waiting ordered event needs: it waits for a packet where no
        // ordered event does.
        if (outcome == EventWritten &&
            (fill.firstInPacket
                 ? unguaranteed && fill.orderedFirst && stream.bitPosition() + fill.orderedFirst + 1 > fill.targetBits
                 : stream.bitPosition() > limit)) {
            rewindStream(stream, flagBit, fill.savedText);
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
        fill.add(note);
        if (stream.bitPosition() >= fill.targetBits)
            break; // a lone event that ran past the size
    }
}

// Ordered events, in sequence order, at most OrderedWindow beyond the last
// one confirmed delivered: the 7-bit sequence stays unambiguous.
void EventConnection::writeOrderedEvents(BitStream& stream, PacketFill& fill)
{
    int32_t prev = -2;
    while (mOrderedSendHead && stream.bitPosition() < fill.targetBits && !stream.hasError()) {
        const int32_t sequence = mOrderedSendHead->sequence;
        if (sequence > mLastDeliveredSequence + int32_t(OrderedWindow))
            break;
        const uint32_t flagBit = stream.bitPosition();
        std::strcpy(fill.savedText, stream.textMemory());
        stream.writeFlag(true);
        const bool consecutive = sequence == prev + 1;
        stream.writeFlag(consecutive);
        if (!consecutive)
            stream.writeUnsigned(uint32_t(sequence) & 0x7F, OrderedSequenceBits);
        WriteOutcome outcome =
            writeEvent(stream, mOrderedSendHead->event, flagBit, fill.savedText, fill.firstInPacket, true);
        if (outcome == EventWritten && stream.bitPosition() + 1 > fill.targetBits && !fill.firstInPacket) {
            rewindStream(stream, flagBit, fill.savedText);
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
        fill.add(note);
    }
}

} // namespace seafold
