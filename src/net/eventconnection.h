// Events and the connection that carries them: events are queued by the
// sender, written into as many data packets as they need, and processed by
// the receiver with one of three delivery guarantees (ordered, guaranteed,
// unguaranteed). The packet notifies of NetConnection tell this layer which
// packets arrived; it keeps each event's reference until that is known.
#pragma once

#include <cstdint>

#include "net/netconnection.h"

namespace seafold {

class EventConnection;

// A message carried by an EventConnection. Events are counted: one event
// object may wait in several connections' queues at once. Concrete classes
// are registered (class type event) so that the receiver can create them
// from the class id on the wire.
class NetEvent : public Object {
public:
    enum GuaranteeType : int32_t {
        GuaranteedOrdered = 0, // numbered, resent until delivered, processed in order
        Guaranteed = 1,        // resent (ahead of newer events) until delivered, processed on arrival
        Unguaranteed = 2,      // sent once; a loss is reported through notifyDelivered(false)
    };
    enum EventDirection : int32_t {
        DirUnset = 0, // refused by every receiver
        DirAny = 1,
        DirServerToClient = 2, // refused by a connection marked as a connection to a client
        DirClientToServer = 3, // refused by a connection marked as a connection to the server
    };

    explicit NetEvent(int32_t guaranteeType = GuaranteedOrdered, int32_t direction = DirUnset)
        : mDirection(direction), mGuaranteeType(guaranteeType)
    {
    }

    // Writes the event's data; a write the stream refuses (error flag set)
    // takes the event back out of the packet.
    virtual void pack(EventConnection* connection, BitStream& stream) = 0;
    // Reads what pack wrote. Data is untrusted: read past the end and the
    // stream's error flag ends the packet; call connection->setError for
    // values that make no sense.
    virtual void unpack(EventConnection* connection, BitStream& stream) = 0;
    // Acts on a received event (only on an established connection).
    virtual void process(EventConnection* connection) = 0;
    virtual void notifyPosted(EventConnection* connection);
    virtual void notifySent(EventConnection* connection);
    // true: the packet that carried the event was acknowledged (ordered
    // events: once every earlier ordered event is, too); false: an
    // unguaranteed event's packet was lost, or the event was given up.
    virtual void notifyDelivered(EventConnection* connection, bool delivered);
    // The registered class name, for log lines.
    virtual const char* debugName() const;
    // About how many bytes the event takes while it waits in a send queue,
    // for the queue's byte cap. This one packs the event once into scratch
    // space (exact for any class, whatever its arguments) and remembers the
    // result; a class that knows its size more cheaply may say so instead.
    virtual uint32_t queuedSize(EventConnection* connection);

    int32_t direction() const { return mDirection; }
    int32_t guaranteeType() const { return mGuaranteeType; }

protected:
    int32_t mDirection;
    int32_t mGuaranteeType;

private:
    uint32_t mQueuedSize = 0; // 0: not measured yet
};

class EventConnection : public NetConnection {
public:
    enum : uint32_t {
        PacketMarker = 0xF00DBAAD,   // first 32 bits of the event section when debug checks are on
        MinFreeBitsAfterEvent = 128, // headroom each written event must leave before the write limit
        OrderedWindow = 126,         // ordered events in flight beyond the last confirmed one
        OrderedSequenceBits = 7,
        // Caps on the events waiting in one connection's send queues (not
        // those in flight, which the packet window bounds). A peer that
        // stops reading, or announces a rate nothing fits through, would
        // otherwise make its queue grow for as long as others talk. At the
        // default rate a packet carries about six small events every 96 ms,
        // so 4,096 waiting events are over a minute of sending: no session
        // that keeps up comes near it, while each connection's memory stays
        // bounded. The byte cap catches large events (voice, texts) first:
        // 512 KiB is over three minutes at the default 2,500 bytes a second.
        MaxQueuedEvents = 4096,
        MaxQueuedBytes = 512 * 1024,
        // (NetInterface also bounds the sum over all its connections.)
        // Unordered events looked past in one packet when they do not fit
        // its share: the packet's cost stays bounded however long the queue.
        MaxSkippedPerPacket = 16,
    };

    EventConnection();
    ~EventConnection() override;

    // Queues an event for sending; takes a reference. Refuses (false, nothing
    // queued) on an established connection whose peer does not know the
    // event's class, for events that cannot be sent on this connection at
    // all (unregistered class, class not in this connection's class group,
    // unknown guarantee type), and once the send queues are at a cap: the
    // connection is then asked to end ("Send queue overflow") at the
    // interface's next step. An event posted with no other reference held is
    // freed on refusal.
    bool postEvent(NetEvent* event);

    // Runs the event's process on an established connection that admits it
    // (admitEvent); drops it otherwise. What the event posts on other
    // connections meanwhile is this connection's doing (PostingFor).
    void processEvent(NetEvent* event);

    // While one lives, events posted on any other connection are charged to
    // `origin`: they wait there because of its traffic (a relay), and when
    // the queues overflow it is the one to answer for them, not the
    // receiver. Scopes nest; main thread only.
    class PostingFor {
    public:
        explicit PostingFor(NetConnection* origin) : mPrevious(sPostingFor) { sPostingFor = origin; }
        ~PostingFor() { sPostingFor = mPrevious; }
        PostingFor(const PostingFor&) = delete;
        PostingFor& operator=(const PostingFor&) = delete;

    private:
        NetConnection* mPrevious;
    };

    // Asked before a received event runs: false drops it, and the
    // connection goes on. A derived class refuses what its peer may not ask
    // for yet.
    virtual bool admitEvent(NetEvent* event)
    {
        (void)event;
        return true;
    }

    // The number of event classes both peers know, and the width of a class
    // id on the wire (bits for the values 0 .. count - 1).
    uint32_t eventClassCount() const { return mEventClassCount; }
    uint32_t eventClassBitSize() const { return mEventClassBitSize; }

    // Offer only the event classes up to `version` in the connect handshake,
    // as a peer built before the later ones would (tests, and talking to
    // such a peer on purpose). Set before connecting; the default offers
    // every class.
    void setHighestClassVersion(int32_t version) { mHighestClassVersion = version; }
    // True when both peers agreed on the classes of `version`: the peer
    // speaks it (the negotiated count reaches past every older class).
    bool sharesClassVersion(int32_t version) const;
    // A peer that shares the classes of `version` runs the adaptive rate.
    bool peerTakesAdaptiveRate(int32_t version) const override { return sharesClassVersion(version); }
    bool peerSharesVersion(int32_t version) const override { return sharesClassVersion(version); }

    // Queue depths, for diagnostics.
    struct QueueDepths {
        uint32_t orderedSend = 0, unorderedSend = 0, receivedWaiting = 0, awaitingDelivery = 0;
    };
    QueueDepths queueDepths() const;
    // Events and their bytes (queuedSize) waiting in the send queues.
    uint32_t queuedEventCount() const { return mQueuedEvents; }
    uint32_t queuedByteCount() const { return mQueuedBytes; }
    uint32_t queuedBytes() const override { return mQueuedBytes; }
    uint32_t queuedBytesFromOthers() const override { return mQueuedFromOthers; }
    // Event notes alive in the whole process (queued, in flight or waiting).
    static uint32_t liveNoteCount();

    // ---- NetConnection overrides ----
    void writeConnectRequest(BitStream& stream) override;
    bool readConnectRequest(BitStream& stream, const char** errorText) override;
    void writeConnectAccept(BitStream& stream) override;
    bool readConnectAccept(BitStream& stream, const char** errorText) override;
    void readPacket(BitStream& stream) override;
    void writePacket(BitStream& stream, PacketNotify* notify) override;
    void packetDelivered(PacketNotify* notify) override;
    void packetDropped(PacketNotify* notify) override;
    PacketNotify* allocNotify() override;
    bool isDataToTransmit() const override;

    // Bits needed for the class ids 0 .. count - 1 (0 for a count of 0 or 1).
    static uint32_t classIdBitsFor(uint32_t count);

    struct EventNote;

private:
    struct EventPacketNotify;
    enum WriteOutcome { EventWritten, EventTakenBack, EventUnsendable };

    // Filling one data packet (eventconnection_write.cpp): the unordered
    // events within their shares, then the ordered ones in sequence.
    struct PacketFill;
    void writeUnorderedEvents(BitStream& stream, PacketFill& fill);
    void writeOrderedEvents(BitStream& stream, PacketFill& fill);
    // Reading one data packet: an event's class and data (null when the
    // packet is bad: the connection's error is then set), an ordered event
    // held in sequence among those waiting, and the ordered events now due.
    RefPtr<NetEvent> readEvent(BitStream& stream, bool debug);
    void holdReceivedOrdered(NetEvent* event, int32_t sequence);
    void processDueOrderedEvents();
    WriteOutcome writeEvent(BitStream& stream, NetEvent* event, uint32_t rewindBit, const char* savedText,
                            bool firstInPacket, bool ordered);
    bool eventFitsAnyPacket(NetEvent* event, uint32_t writeLimitBits, bool ordered);
    void discardQueueHead(bool ordered);
    void orderedNeedBits(uint64_t targetBits, uint64_t* firstBits, uint64_t* allBits) const;
    // Send-queue accounting: a note enters or leaves the send queues.
    void overflow(NetConnection* origin);
    void countQueued(const EventNote* note);
    void countUnqueued(const EventNote* note);
    void setEventClassCount(uint32_t count);
    uint32_t localEventClassCount() const;

    EventNote* mOrderedSendHead = nullptr;
    EventNote* mOrderedSendTail = nullptr;
    EventNote* mUnorderedSendHead = nullptr;
    EventNote* mUnorderedSendTail = nullptr;
    EventNote* mReceivedOrderedHead = nullptr;
    EventNote* mAwaitingDeliveryHead = nullptr;
    int32_t mNextSendSequence = 0;
    int32_t mNextRecvSequence = 0;
    int32_t mLastDeliveredSequence = -1;
    uint32_t mEventClassCount = 0;
    uint32_t mEventClassBitSize = 0;
    int32_t mHighestClassVersion = INT32_MAX;
    uint32_t mQueuedEvents = 0;
    uint32_t mQueuedBytes = 0;
    uint32_t mQueuedFromOthers = 0;
    static NetConnection* sPostingFor;
};

} // namespace seafold
