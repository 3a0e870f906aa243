// One end of an established UDP connection: numbered data packets,
// acknowledgements carried in every header, per-packet delivery notifies,
// paced sending, keep-alive pings and optional packet sealing.
//
// The payload of a data packet belongs to subclasses (EventConnection).
#pragma once

#include <algorithm>
#include <cstdint>

#include "net/address.h"
#include "net/bitstream.h"
#include "net/crypto.h"
#include "net/netbase.h"

namespace seafold {

class NetConnection;

// What a connection needs from the interface that owns it (NetInterface):
// the interface's clock, sending a datagram, and starting and ending the
// handshake. The interface holds its connections; they hold it only weakly.
class ConnectionOwner : public Object {
public:
    // The milliseconds clock as read at the start of the current step.
    virtual uint32_t currentTime() const = 0;
    // Sends a written stream (bytes 0 .. bytePosition()-1) now.
    virtual void sendTo(const NetAddress& address, const BitStream& stream) = 0;
    // Begins the handshake of a connection whose address and parameters are set.
    virtual void startConnect(NetConnection* connection) = 0;
    // Ends a pending or established connection, calling its hook.
    virtual void disconnect(NetConnection* connection, uint32_t reason, const char* reasonText) = 0;
};

enum NetConnectionState : int32_t {
    NotConnected = 0,
    ChallengeSent = 1, // client: challenge request sent
    Punching = 2,      // kept for the numbering: arranged connections only, never entered here
    SolvingPuzzle = 3, // client: computing the puzzle
    RequestSent = 4,   // client: connect request sent
    AttemptTimedOut = 5,
    Rejected = 6,
    Connected = 7,
    Disconnected = 8,
    TimedOut = 9,
};

// Reasons given to onConnectFailed / onDisconnected.
enum TerminationReason : uint32_t {
    ReasonTimedOut = 0,         // "Timeout"
    ReasonRejected = 2,         // the reject reason received
    ReasonRemoteDisconnect = 3, // the reason received in a Disconnect packet
    ReasonSelfDisconnect = 5,   // "Shutdown", "NewConnection", "Reconnecting", or the caller's text
    ReasonError = 6,            // the connection's own error text
};

// Handshake state of one connection.
struct ConnectParams {
    bool isInitiator = false;
    bool usingCrypto = false;
    bool puzzleRetried = false;
    Nonce clientNonce;
    Nonce serverNonce;
    uint32_t puzzleDifficulty = 0;
    uint32_t puzzleSolution = 0;
    uint32_t clientIdentity = 0;
    RefPtr<AsymmetricKey> publicKey;  // the peer's
    RefPtr<AsymmetricKey> privateKey; // ours
    RefPtr<Certificate> certificate;  // the peer's
    RefPtr<ByteBuffer> sharedSecret;
    bool requestKeyExchange = false;
    bool requestCertificate = false;
    uint8_t symmetricKey[16] = {};
    uint8_t initVector[16] = {};
    bool debugObjectSizes = true;      // event debug checks on the wire
    uint32_t connectSendCount = 0;     // handshake packets sent in this phase
    uint32_t connectFirstSendTime = 0; // when the phase's first one went out
    uint32_t connectLastSendTime = 0;  // when the last one went out
};

class NetConnection : public Object {
public:
    enum PacketType : uint32_t { DataPacket = 0, PingPacket = 1, AckPacket = 2, InvalidPacketType = 3 };

    enum : uint32_t {
        SequenceBits = 11,
        AckSequenceBits = 10,
        MaxAckBytes = 4,
        MaxPacketsInFlight = 30,
        MaxSequenceAhead = 31,
        DefaultPingIntervalMs = 5000,
        DefaultPingRetries = 10,
        MaxSendCreditMs = 1000,
        // A receiver that has nothing of its own to send still owes the peer
        // news of what arrived: once more than 16 received packets are not yet
        // covered by an acknowledgement the peer has seen, it sends an ack
        // packet, well before they would fall out of the 32-packet ack mask.
        AckAfterUnacknowledged = 16,
        // Loss recovery by time. A receiver that got data and has sent
        // nothing since owes an acknowledgement: after one send interval
        // with nothing of its own going out it sends an ack packet, so the
        // sender of a one-way stream hears about a loss within about a round
        // trip. A sender whose oldest unacknowledged packet is older than
        // twice the round trip plus one send interval (the peer's ack may
        // wait that long) sends a ping: any peer answers it with an ack, and
        // the ping carries our last sequence, so the ack also reports a lost
        // last packet. Unanswered probes back off by doubling, up to a
        // second between them; none go closer together than 20 ms, about
        // what a main-loop pass can resolve.
        ProbeRoundTrips = 2,
        MinProbeTimeoutMs = 20,
        MaxProbeTimeoutMs = 1000,
        // Adaptive rate only. An ack packet is due once the unacknowledged
        // packets, counted in fours, times the milliseconds since the last ack
        // packet, in units of 200, exceed one (four packets waiting 200 ms,
        // one packet 800 ms), and at once past 24 packets.
        AdaptiveAckPacketUnit = 4,
        AdaptiveAckTimeUnitMs = 200,
        AdaptiveAckMaxUnacknowledged = 24,
        // A peer silent this long is pinged at every time-out check (every
        // 1.5 s), and one silent for SilenceLimitMs (or eleven ping
        // intervals, when they are shorter) is dropped: in either role, so a
        // client of a crashed server notices within seconds too.
        SilenceProbeAfterMs = 3000,
        SilenceLimitMs = 15000,
        // A sealed ping that repeats the last header heard is answered at
        // most this often: a stranger's copies cannot make us talk faster.
        CopyAnswerIntervalMs = 10,
        // Type, sequence and acknowledgement fill the first 3 bytes of every
        // header. Sealing leaves them in the clear: the receiver needs them to
        // set the cipher's counter before it can decrypt the rest.
        ClearHeaderBytes = 3,
        // The floor under the negotiated packet size. The event writer starts
        // an event only while the packet is below its target size, and then
        // lets that first event run past the target up to the datagram limit;
        // so a target that covers the largest header (67 bits), the rate
        // record (56 bits), the event marker (32 bits) and an event's flag
        // lets at least one event of any size through per packet. Without it
        // a peer announcing a bandwidth of 0 would be sent nothing, ever.
        MinPacketBytes = 24,
        // Adaptive rate between two peers that chose it at the handshake.
        // Packets leave as fast as the congestion window and the data allow,
        // each sized to stay one Ethernet frame (1,200 bytes and the IP and
        // UDP headers leave room under a 1,500-byte MTU; the event writer no
        // longer lets an event run past the size unless it is alone).
        AdaptivePacketBytes = 1200,
        // The window's floor, in packets: two keep one acknowledgement's
        // worth of data moving while the other is answered.
        AdaptiveMinWindow = 2,
        // Round-trip growth that counts as congestion: the smoothed round
        // trip this far above the least one seen lately means a queue is
        // standing somewhere on the path, and the window shrinks before the
        // queue overflows into losses. 20 ms is well above a LAN's jitter
        // and well below what a listener hears as lag.
        QueueDelayLimitMs = 20,
        // The least round trip is taken over the last one or two of these
        // windows, so a changed path is followed within 20 s.
        BaseRoundTripWindowMs = 10000,
        // With prompt acknowledgements a probe need not wait for a send
        // interval: see probeTimeoutMs.
        AdaptiveProbeSlackMs = 2,
        AdaptiveMinProbeMs = 3,
        // Below the window's floor the sender spaces its packets instead: a
        // link shared by many connections (a server's to each of its users)
        // holds each one's floor of two packets at once, so the floor
        // alone sets a queue that grows with the number of users. While the
        // round trip still says "queue" at the floor, the gap between
        // packets grows by half (from QueuePaceFirstMs) once per round trip,
        // up to QueuePaceMaxMs, the fixed rate's own interval; every packet
        // delivered without a queue takes a sixteenth off it.
        QueuePaceFirstMs = 4,
        QueuePaceMaxMs = 96,
    };

    enum RoleFlags : uint32_t {
        ConnectionToServer = 1,
        ConnectionToClient = 2,
        LocalAdaptive = 4,
        RemoteAdaptive = 8,
    };

    struct RateInfo {
        uint32_t minPacketSendPeriod = 96;
        uint32_t minPacketRecvPeriod = 96;
        uint32_t maxSendBandwidth = 2500;
        uint32_t maxRecvBandwidth = 2500;
    };

    // One record per data packet sent, in send order, until the packet is
    // known delivered or lost. Subclasses extend it through allocNotify.
    // Records are deleted through the virtual destructor after the delivered
    // or dropped call, and also when the connection is destroyed with packets
    // still in flight: a subclass record releases whatever it holds there.
    struct PacketNotify {
        virtual ~PacketNotify() = default;
        bool rateChanged = false;
        uint32_t sendTime = 0;
        PacketNotify* nextPacket = nullptr;
    };

    NetConnection();
    ~NetConnection() override;
    bool isNetConnection() const override { return true; }

    // Starts a connection to `address` through `netInterface` (client side).
    void connect(ConnectionOwner* netInterface, const NetAddress& address, bool requestKeyExchange = false,
                 bool requestCertificate = false);
    // Ends the connection from this side, telling the peer.
    void disconnect(const char* reason);

    // ---- hooks ----
    virtual void onConnectFailed(uint32_t reason, const char* message);
    virtual void onDisconnected(uint32_t reason, const char* message);
    // Marks the connection's role from who started it.
    virtual void onEstablished();
    virtual bool acceptCertificate(Certificate* certificate, bool isInitiator);
    // `key` is null when a client asked for a key exchange and the server
    // offered none.
    virtual bool acceptPublicKey(AsymmetricKey* key, bool isInitiator);

    // ---- handshake data ----
    virtual void writeConnectRequest(BitStream& stream);
    // On refusal sets *errorText (may stay null: no reason given).
    virtual bool readConnectRequest(BitStream& stream, const char** errorText);
    virtual void writeConnectAccept(BitStream& stream);
    virtual bool readConnectAccept(BitStream& stream, const char** errorText);

    // ---- payload (subclasses) ----
    virtual void readPacket(BitStream& stream);
    virtual void prepareWritePacket();
    virtual void writePacket(BitStream& stream, PacketNotify* notify);
    virtual void packetDelivered(PacketNotify* notify);
    virtual void packetDropped(PacketNotify* notify);
    virtual PacketNotify* allocNotify();
    virtual uint32_t classGroup() const { return NetClassGroupCount; }
    virtual bool isDataToTransmit() const { return false; }
    // Whether the peer has done what makes it a member of the application's
    // session; a server ends a connection that has not within
    // NetInterface::JoinTimeoutMs. Here there is nothing to join.
    virtual bool hasJoined() const { return true; }
    // Bytes of messages waiting to be sent (the interface keeps their sum
    // over all connections within its budget). None here.
    virtual uint32_t queuedBytes() const { return 0; }
    // Of those, the bytes this connection's own traffic did not cause: what
    // another connection's events made this one post (a relay).
    virtual uint32_t queuedBytesFromOthers() const { return 0; }
    // Bytes this connection's traffic made other connections queue, still
    // waiting there.
    uint32_t queuedBytesForOthers() const { return mQueuedForOthers; }
    // What this connection answers for when the queues are too full: its
    // own queue's bytes less what others put there, plus what it put into
    // the others' queues.
    uint64_t queuedBytesCaused() const
    {
        return uint64_t(queuedBytes() - queuedBytesFromOthers()) + mQueuedForOthers;
    }
    void addQueuedForOthers(uint32_t bytes) { mQueuedForOthers += bytes; }
    void removeQueuedForOthers(uint32_t bytes) { mQueuedForOthers -= std::min(bytes, mQueuedForOthers); }
    // Why a connection whose queue grew past a cap, its own or the
    // interface's total, is ended.
    static constexpr const char* SendQueueOverflowReason = "Send queue overflow";

    // ---- driven by the interface ----
    void setInitialReceiveSequence(uint32_t sequence);
    uint32_t initialSendSequence() const { return mInitialSendSequence; }
    // Reads one received data datagram.
    void receivePacket(BitStream& stream);
    // Sends a data packet when the rate and the window allow it.
    void sendStep(bool force, uint32_t now);
    // True once the peer stayed silent through every ping, or acknowledged
    // none of our packets for as long.
    bool keepAliveTimedOut(uint32_t now);

    // Asks the interface to end this connection, with `reason` (a text that
    // lives as long as the program), at the start of its next step. For code
    // that may run while a caller is using the connection (a handler posting
    // on another connection, say): ending it at once could free it under that
    // caller. The first reason given stays.
    // `ownFault` false: the peer did nothing wrong (its link could not carry
    // what others sent it, say), so its host is not counted as misbehaving.
    void endSoon(const char* reason, bool ownFault = true)
    {
        if (!mEndReason) {
            mEndReason = reason;
            mEndIsOwnFault = ownFault;
        }
    }
    const char* endReason() const { return mEndReason; }
    bool endIsOwnFault() const { return mEndIsOwnFault; }

    // An error of this connection's payload; receivePacket ends the
    // connection with it. At most 255 characters.
    void setError(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Ends the connection like an error, but as a refusal of the peer's
    // request (a wrong password, say), not a fault of its own: the peer is
    // told `reason` and its host is not counted as misbehaving.
    void refuse(const char* reason)
    {
        setError("%s", reason);
        mErrorIsRefusal = true;
    }
    const char* errorText() const { return mErrorText[0] ? mErrorText : nullptr; }
    void clearError()
    {
        mErrorText[0] = 0;
        mErrorIsRefusal = false;
    }

    // ---- the reset token (client side; NetInterface explains it) ----
    enum : uint32_t { ResetTokenBytes = 16 };
    void setResetToken(const uint8_t token[ResetTokenBytes]);
    bool hasResetToken() const { return mHasResetToken; }
    // In a time that does not depend on where the bytes differ.
    bool isResetToken(const uint8_t token[ResetTokenBytes]) const;
    uint32_t lastResetQueryTime() const { return mLastResetQueryTime; }
    void setLastResetQueryTime(uint32_t time) { mLastResetQueryTime = time; }
    // Whether data packets wait for an acknowledgement.
    bool hasUnacknowledged() const { return mNotifyQueueHead != nullptr; }

    // ---- state ----
    NetConnectionState state() const { return mState; }
    void setState(NetConnectionState state) { mState = state; }
    // When the handshake accepted the connection (server side).
    uint32_t establishedTime() const { return mEstablishedTime; }
    void setEstablishedTime(uint32_t time) { mEstablishedTime = time; }
    bool isEstablished() const { return mState == Connected; }
    const NetAddress& address() const { return mAddress; }
    void setAddress(const NetAddress& address) { mAddress = address; }
    ConnectionOwner* netInterface() const;
    void setInterface(ConnectionOwner* netInterface);
    ConnectParams& connectParams() { return mConnectParams; }
    const ConnectParams& connectParams() const { return mConnectParams; }
    void setSymmetricCipher(SymmetricCipher* cipher) { mCipher = cipher; }
    SymmetricCipher* symmetricCipher() const { return mCipher; }

    bool isConnectionToServer() const { return mRoleFlags & ConnectionToServer; }
    bool isConnectionToClient() const { return mRoleFlags & ConnectionToClient; }
    bool isAdaptive() const { return mRoleFlags & (LocalAdaptive | RemoteAdaptive); }

    // ---- adaptive rate between peers that both run it ----
    // Whether the peer, as negotiated at the handshake, runs the adaptive
    // rate of `version` (asked by the interface just before the connection
    // is established). None here; EventConnection answers from the shared
    // event classes.
    virtual bool peerTakesAdaptiveRate(int32_t version) const
    {
        (void)version;
        return false;
    }
    // Whether the peer, as negotiated at the handshake, speaks the wire of
    // `version` (asked by the interface once the peer's offer is read). None
    // here; EventConnection answers from the shared event classes.
    virtual bool peerSharesVersion(int32_t version) const
    {
        (void)version;
        return false;
    }
    // Both sides announce adaptive mode (role flags 4 and 8) from the first
    // packet on: each knows from the handshake that the other does too, so
    // neither waits for the other's rate information. Never for a peer that
    // did not choose it.
    void enterAdaptiveRate();
    // Between adaptive peers: false (the default) lets the link alone set
    // the pace; true makes the local rate a cap on what this side sends
    // (the user's --rate). Without adaptive mode the local rate is what the
    // rate negotiation uses, as always.
    void setRateIsCap(bool cap);
    bool rateIsCap() const { return mRateIsCap; }
    bool adaptiveByHandshake() const { return mAdaptiveByHandshake; }
    float congestionWindow() const { return mCwnd; }
    // The gap the sender keeps between packets below the window's floor (0: none).
    float queuePaceMs() const { return mQueuePaceMs; }
    // Milliseconds until the send step has something to do (an ack, a
    // probe, a packet the pace or window held back), at most `longest`;
    // 0 when due now. The main loop waits on the socket no longer.
    uint32_t msUntilDue(uint32_t now, uint32_t longest) const;
    void setRoleFlag(uint32_t flag) { mRoleFlags |= flag; }
    uint32_t roleFlags() const { return mRoleFlags; }

    // Rate control: changes are sent in the next data packet.
    void setLocalRate(const RateInfo& rate);
    const RateInfo& localRate() const { return mLocalRate; }
    uint32_t packetSize() const { return mCurrentPacketSize; }
    uint32_t sendInterval() const { return mCurrentPacketSendPeriod; }
    void setPingTimeouts(uint32_t intervalMs, uint32_t retries);

    // Connection statistics for diagnostics.
    struct Stats {
        uint32_t packetsSent = 0, packetsReceived = 0, packetsDelivered = 0, packetsDropped = 0;
        // Datagrams of a sealed connection that failed the check: forged,
        // corrupted, or sealed with another key. Dropped without effect.
        uint32_t packetsRejected = 0;
        uint64_t bytesSent = 0, bytesReceived = 0;
        // Smoothed time from sending a packet to its acknowledgement, less
        // the time the peer held the acknowledgement (every header reports
        // it, in 8 ms steps): the network's round trip, to within 8 ms.
        float roundTripMs = 0;
        // Bytes sent per second, measured over the last whole second.
        float sendBytesPerSecond = 0;
    };
    const Stats& stats() const { return mStats; }
    uint32_t lastSentSequence() const { return mLastSendSeq; }
    uint32_t highestAckedSequence() const { return mHighestAckedSeq; }
    uint32_t lastReceivedSequence() const { return mLastSeqRecvd; }

    // The text naming the connection in log lines.
    const char* name() const;

    // When the peer was last heard: its last good packet of any kind
    // (interface time).
    uint32_t lastHeardTime() const { return mLastHeardTime; }
    // Asks the peer for an answer now (a ping, which it acknowledges): a
    // side that wants to know sooner than the keep-alive would tell.
    void probe() { sendPingPacket(); }

protected:
    // The oldest packet still in flight, or none.
    PacketNotify* notifyQueueHead() const { return mNotifyQueueHead; }
    // Header-only packets.
    void sendPingPacket();
    void sendAckPacket();

private:
    // Sequence numbers start at random values and wrap: compare by difference.
    static int32_t seqDiff(uint32_t a, uint32_t b) { return int32_t(a - b); }
    bool readPacketHeader(BitStream& stream);
    // Steps of readPacketHeader, once the sequences are widened: checks and
    // opens the seal (false: drop the packet), marks the packet received,
    // takes in the peer's acknowledgements, and notes new data (true) and
    // the acknowledgement it is owed.
    bool openSealedHeader(BitStream& stream, uint32_t type, uint32_t seq, uint32_t ack);
    void markReceived(uint32_t type, uint32_t seq);
    void takeAcknowledgements(uint32_t seq, uint32_t ack, uint32_t ackMask, uint32_t peerHoldMs);
    bool noteReceivedSequence(uint32_t type, uint32_t seq);
    void writePacketHeader(BitStream& stream, PacketType type);
    void writePacketRateInfo(BitStream& stream, PacketNotify* notify);
    void readPacketRateInfo(BitStream& stream);
    void computeNegotiatedRate();
    // `peerHoldMs`: how long the peer held the acknowledgement of this
    // packet, or -1 when unknown (only the newest acknowledged packet's is).
    void handleNotify(uint32_t sequence, bool recvd, int32_t peerHoldMs);
    bool windowFull() const;
    // Adaptive mode's answers to a delivered packet (its network round
    // trip, or -1) and to a lost one.
    void adaptiveDelivered(uint32_t sequence, float roundTripMs);
    void adaptiveDropped(uint32_t sequence);
    // Widens the gap between packets once the window is at its floor.
    void halveWindow();
    void spaceOutPackets();
    // Whether the interval schedule holds data packets back.
    bool pacedByInterval() const { return mAdaptiveByHandshake ? mCurrentPacketSendPeriod > 0 : !isAdaptive(); }
    uint32_t probeTimeoutMs() const;
    void countSentBytes(uint32_t bytes);
    // The time-driven acknowledgement and probe of sendStep.
    void sendOwedAck(uint32_t now);
    void probeUnacknowledged(uint32_t now);
    void buildAndSendPacket(PacketType type, uint32_t targetSize);
    uint32_t now() const;

    uint32_t mLastPacketRecvTime = 0; // the last data packet
    uint32_t mLastHeardTime = 0;      // the last good packet of any kind
    uint32_t mLastSeqRecvdAtSend[32] = {};
    uint32_t mLastSeqRecvd = 0;
    uint32_t mHighestAckedSeq = 0;
    uint32_t mLastSendSeq = 0;
    uint32_t mAckMask = 0;
    uint32_t mLastRecvAckAck = 0;
    uint32_t mInitialSendSequence = 0;
    uint32_t mInitialRecvSequence = 0;
    uint32_t mPingInterval = DefaultPingIntervalMs;
    uint32_t mPingRetries = DefaultPingRetries;
    uint32_t mRoleFlags = 0;
    uint32_t mLastUpdateTime = 0;
    uint32_t mSendCredit = 0;
    RateInfo mLocalRate;
    RateInfo mRemoteRate;
    bool mLocalRateChanged = true;
    uint32_t mCurrentPacketSize = 0;
    uint32_t mCurrentPacketSendPeriod = 0;
    NetAddress mAddress;
    uint32_t mEstablishedTime = 0;
    bool mHeardTimeSet = false;
    PacketNotify* mNotifyQueueHead = nullptr;
    PacketNotify* mNotifyQueueTail = nullptr;
    ConnectParams mConnectParams;
    // The interface owns its connections; it is not kept alive by them.
    WeakRef<ConnectionOwner> mInterface;
    RefPtr<SymmetricCipher> mCipher;
    bool mHeardSealedHeader = false; // a sealed packet passed its check
    // A sealed ping that said nothing new was answered, and when.
    bool mCopyAnswered = false;
    uint32_t mLastCopyAnswerTime = 0;
    NetConnectionState mState = NotConnected;
    float mCwnd = 2.0f;
    float mSsThresh = 30.0f;
    float mQueuePaceMs = 0; // the gap between packets at the window's floor; 0 without one
    uint32_t mLastAckedBySeq = 0;
    uint32_t mLastAckTime = 0;
    bool mAdaptiveByHandshake = false;
    bool mRateIsCap = false;
    uint32_t mRecoverySequence = 0;    // the window shrinks at most once per packet sent before this
    bool mRecovering = false;
    // The last few round-trip samples (adaptive mode).
    enum : uint32_t { RecentRoundTrips = 4 };
    float mRecentRoundTripsMs[RecentRoundTrips] = {};
    uint32_t mRecentRoundTripSlot = 0;
    float mBaseRoundTripMs = 0;        // least of the last two windows
    float mWindowMinRoundTripMs = 0;   // least in the current window
    float mPreviousMinRoundTripMs = 0; // least in the one before
    uint32_t mBaseWindowStart = 0;
    bool mBaseMeasured = false;
    uint32_t mRateWindowStart = 0;
    uint64_t mRateWindowBytes = 0;
    float mAckResponseMs = 0; // smoothed time from sending to acknowledgement, holds included
    float mAckResponseDevMs = 0; // its smoothed deviation
    bool mAckResponseMeasured = false;
    bool mRoundTripMeasured = false;
    bool mAckOwed = false;      // data arrived and no packet of ours has carried the ack yet
    uint32_t mAckOwedSince = 0; // when that data arrived
    uint32_t mProbeCount = 0;   // probes since the acknowledgements last moved on
    uint32_t mLastProbeTime = 0;
    char mErrorText[256] = {};
    bool mErrorIsRefusal = false;
    const char* mEndReason = nullptr;
    bool mEndIsOwnFault = true;
    uint32_t mQueuedForOthers = 0;
    uint8_t mResetToken[ResetTokenBytes] = {};
    bool mHasResetToken = false;
    uint32_t mLastResetQueryTime = 0;
    Stats mStats;
};

} // namespace seafold
