#include "net/netconnection.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "net/random.h"
#include "net/socket.h"

namespace seafold {

namespace {

const char* packetTypeName(uint32_t type)
{
    switch (type) {
    case NetConnection::DataPacket:
        return "DataPacket";
    case NetConnection::PingPacket:
        return "PingPacket";
    case NetConnection::AckPacket:
        return "AckPacket";
    default:
        return "InvalidPacketType";
    }
}

} // namespace

NetConnection::NetConnection()
{
    mInitialSendSequence = Random::randomU32();
    mLastSendSeq = mInitialSendSequence;
    mHighestAckedSeq = mInitialSendSequence;
    mConnectParams.clientNonce.getRandom();
    mLastHeardTime = mLastPacketRecvTime = getRealMilliseconds();
    mRemoteRate = mLocalRate;
    computeNegotiatedRate();
}

NetConnection::~NetConnection()
{
    // Packets still in flight count as lost. Only this class's (empty)
    // dropped handler runs here: subclass records release what they hold in
    // their own destructors.
    while (mNotifyQueueHead) {
        PacketNotify* notify = mNotifyQueueHead;
        mNotifyQueueHead = notify->nextPacket;
        delete notify;
    }
    mNotifyQueueTail = nullptr;
}

ConnectionOwner* NetConnection::netInterface() const
{
    return mInterface.get();
}

void NetConnection::setInterface(ConnectionOwner* netInterface)
{
    mInterface = netInterface;
    if (netInterface)
        mLastHeardTime = mLastPacketRecvTime = netInterface->currentTime();
}

const char* NetConnection::name() const
{
    return mAddress.toText();
}

uint32_t NetConnection::now() const
{
    ConnectionOwner* netInterface = mInterface.get();
    return netInterface ? netInterface->currentTime() : getRealMilliseconds();
}

void NetConnection::connect(ConnectionOwner* netInterface, const NetAddress& address, bool requestKeyExchange,
                            bool requestCertificate)
{
    mConnectParams.requestKeyExchange = requestKeyExchange;
    mConnectParams.requestCertificate = requestCertificate;
    mConnectParams.isInitiator = true;
    setAddress(address);
    setInterface(netInterface);
    netInterface->startConnect(this);
}

void NetConnection::disconnect(const char* reason)
{
    if (ConnectionOwner* netInterface = mInterface.get())
        netInterface->disconnect(this, ReasonSelfDisconnect, reason);
}

// ---- hooks -------------------------------------------------------------------

void NetConnection::onConnectFailed(uint32_t, const char*) {}
void NetConnection::onDisconnected(uint32_t, const char*) {}

void NetConnection::onEstablished()
{
    setRoleFlag(mConnectParams.isInitiator ? ConnectionToServer : ConnectionToClient);
}

bool NetConnection::acceptCertificate(Certificate*, bool)
{
    return true;
}

bool NetConnection::acceptPublicKey(AsymmetricKey*, bool)
{
    return true;
}

// Connect request data of a connection:
//   [class group]          (U32)
//   [class group checksum] (U32)
void NetConnection::writeConnectRequest(BitStream& stream)
{
    uint32_t group = classGroup();
    stream.writeU32(group);
    stream.writeU32(NetClassRep::classGroupChecksum(group));
}

bool NetConnection::readConnectRequest(BitStream& stream, const char** errorText)
{
    uint32_t group = stream.readU32();
    uint32_t checksum = stream.readU32();
    if (group != classGroup() || checksum != NetClassRep::classGroupChecksum(classGroup())) {
        *errorText = "CHR_INVALID";
        return false;
    }
    return true;
}

void NetConnection::writeConnectAccept(BitStream&) {}

bool NetConnection::readConnectAccept(BitStream&, const char**)
{
    return true;
}

void NetConnection::readPacket(BitStream&) {}
void NetConnection::prepareWritePacket() {}
void NetConnection::writePacket(BitStream&, PacketNotify*) {}
void NetConnection::packetDelivered(PacketNotify*) {}
void NetConnection::packetDropped(PacketNotify*) {}

NetConnection::PacketNotify* NetConnection::allocNotify()
{
    return new PacketNotify;
}

void NetConnection::setPingTimeouts(uint32_t intervalMs, uint32_t retries)
{
    mPingInterval = intervalMs;
    mPingRetries = retries;
}

void NetConnection::setResetToken(const uint8_t token[ResetTokenBytes])
{
    std::memcpy(mResetToken, token, ResetTokenBytes);
    mHasResetToken = true;
}

bool NetConnection::isResetToken(const uint8_t token[ResetTokenBytes]) const
{
    return mHasResetToken && sameBytes(mResetToken, token, ResetTokenBytes);
}

// ---- writing -----------------------------------------------------------------

// Packet header, every packet type:
//   [packet type]        (2 bits)
//   [sequence bits 0-4]  (5 bits)   last sent sequence, advanced for data
//   [data marker]        (flag, 1)  bit 7 of byte 0: "a connection packet"
//   [sequence bits 5-10] (6 bits)
//   [acknowledged seq]   (10 bits)  last received sequence; ends byte 3
//   [ack byte count n]   (ranged 0..4)
//   [ack mask]           (8n bits)  bit i: (acknowledged seq - i) arrived
//   [send delay / 8]     (8 bits)   ms since the last receive, at most 2047
void NetConnection::writePacketHeader(BitStream& stream, PacketType type)
{
    if (type == DataPacket)
        ++mLastSendSeq;

    uint32_t ackByteCount = (mLastSeqRecvd - mLastRecvAckAck + 7) >> 3;
    SF_ASSERT(ackByteCount <= MaxAckBytes, "ackByteCount exceeds MaxAckBytes!");
    uint32_t t = now();

    stream.writeUnsigned(type, 2);
    stream.writeUnsigned(mLastSendSeq, 5);
    stream.writeFlag(true);
    stream.writeUnsigned(mLastSendSeq >> 5, 6);
    stream.writeUnsigned(mLastSeqRecvd, AckSequenceBits);
    stream.writeRanged(ackByteCount, 0, MaxAckBytes);
    if (ackByteCount)
        stream.writeUnsigned(mAckMask, ackByteCount * 8);
    uint32_t sendDelay = std::min<uint32_t>(t - mLastPacketRecvTime, 2047);
    stream.writeUnsigned(sendDelay >> 3, 8);
    mAckOwed = false; // every packet carries the acknowledgements

    if (type == DataPacket)
        mLastSeqRecvdAtSend[mLastSendSeq & 0x1F] = mLastSeqRecvd;
    SF_LOG("LogConnectionProtocol", "build hdr %u %u", mLastSendSeq, uint32_t(type));
}

void NetConnection::buildAndSendPacket(PacketType type, uint32_t targetSize)
{
    PacketStream stream(targetSize);
    writePacketHeader(stream, type);

    if (type == DataPacket) {
        PacketNotify* notify = allocNotify();
        notify->sendTime = now();
        if (mNotifyQueueTail)
            mNotifyQueueTail->nextPacket = notify;
        else
            mNotifyQueueHead = notify;
        mNotifyQueueTail = notify;

        writePacketRateInfo(stream, notify);
        SF_LOG("LogNetConnection", "NetConnection %s: START %s", name(),
               classRep() ? classRep()->className() : "NetConnection");
        uint32_t start = stream.bitPosition();
        writePacket(stream, notify);
        SF_LOG("LogNetConnection", "NetConnection %s: END %s - %u bits", name(),
               classRep() ? classRep()->className() : "NetConnection", stream.bitPosition() - start);
    }

    if (SymmetricCipher* cipher = mCipher.get()) {
        cipher->setCounter(mLastSendSeq, mLastSeqRecvd, uint32_t(type), 0);
        appendDigestAndEncrypt(stream, SealDigestBytes, ClearHeaderBytes, cipher);
    }

    SF_LOG("LogNetConnection", "NetConnection %s: SEND - %u bytes", name(), stream.bytePosition());
    ++mStats.packetsSent;
    mStats.bytesSent += stream.bytePosition();
    countSentBytes(stream.bytePosition());
    if (ConnectionOwner* netInterface = mInterface.get())
        netInterface->sendTo(mAddress, stream);
}

void NetConnection::sendPingPacket()
{
    // Sealed, a ping repeats the header of the one before and would be
    // taken for a copy: a data packet (perhaps without events) is newer.
    // The congestion window does not hold it back: a probe is what finds
    // out whether the packets that fill the window arrived, and a ping the
    // peer drops as a copy would leave a full window waiting for ever.
    if (mCipher && uint32_t(mLastSendSeq - mHighestAckedSeq) < MaxPacketsInFlight) {
        SF_LOG("LogConnectionProtocol", "send data as ping %u", mLastSendSeq + 1);
        buildAndSendPacket(DataPacket, PacketStream::MaxPacketBytes);
        return;
    }
    SF_LOG("LogConnectionProtocol", "send ping %u", mLastSendSeq);
    buildAndSendPacket(PingPacket, PacketStream::MaxPacketBytes);
}

void NetConnection::sendAckPacket()
{
    SF_LOG("LogConnectionProtocol", "send ack %u", mLastSendSeq);
    buildAndSendPacket(AckPacket, PacketStream::MaxPacketBytes);
}

bool NetConnection::windowFull() const
{
    uint32_t inFlight = mLastSendSeq - mHighestAckedSeq;
    if (inFlight >= MaxPacketsInFlight)
        return true;
    if (isAdaptive())
        return !(mCwnd > float(inFlight));
    return false;
}

void NetConnection::countSentBytes(uint32_t bytes)
{
    const uint32_t t = now();
    mRateWindowBytes += bytes;
    const uint32_t elapsed = t - mRateWindowStart;
    if (elapsed >= 1000) {
        mStats.sendBytesPerSecond = elapsed < 2000 ? float(double(mRateWindowBytes) * 1000.0 / elapsed) : 0.0f;
        mRateWindowStart = t;
        mRateWindowBytes = 0;
    }
}

// One data packet at most per call, whatever the mode: the interface calls
// this once per connection in each of its service steps (twice in a pass
// of the programs' loop), so without an interval the packet rate of a
// connection is bounded by its window, at most 30 packets per round trip,
// and by twice the loop's passes; each pass is woken by an arriving
// datagram or a due deadline, so a sender is clocked by the
// acknowledgements it receives, and on a LAN every packet goes out on the
// pass that follows the acknowledgement that opened the window for it.
void NetConnection::sendStep(bool force, uint32_t t)
{
    // Acknowledgements and probes are not paced: they are header-only
    // packets, and holding them back would hold back the recovery of losses.
    if (!mAdaptiveByHandshake)
        sendOwedAck(t);
    probeUnacknowledged(t);

    bool paceAllows = true;
    if (!force && pacedByInterval()) {
        // 64-bit: the first pass after a long silence may see a huge gap.
        uint64_t available = uint64_t(uint32_t(t - mLastUpdateTime)) + mSendCredit;
        if (available < mCurrentPacketSendPeriod) {
            if (!mAdaptiveByHandshake)
                return;
            paceAllows = false;
        } else {
            mSendCredit = uint32_t(std::min<uint64_t>(available - mCurrentPacketSendPeriod, MaxSendCreditMs));
        }
    }

    if (paceAllows)
        prepareWritePacket();

    if (paceAllows && !windowFull() && isDataToTransmit()) {
        mLastUpdateTime = t;
        buildAndSendPacket(DataPacket, mCurrentPacketSize);
    } else if (mAdaptiveByHandshake) {
        // The peer's window waits on this acknowledgement: it goes now, on
        // the pass that read the packet, unless a data packet carried it.
        if (mAckOwed)
            sendAckPacket();
    } else if (isAdaptive()) {
        uint32_t unacked = mLastSeqRecvd - mLastAckedBySeq;
        double due =
            (unacked / double(AdaptiveAckPacketUnit)) * double(t - mLastAckTime) / double(AdaptiveAckTimeUnitMs);
        if (unacked != 0 && (due > 1.0 || unacked > AdaptiveAckMaxUnacknowledged)) {
            mLastAckedBySeq = mLastSeqRecvd;
            mLastAckTime = t;
            sendAckPacket();
        }
    }
}

void NetConnection::sendOwedAck(uint32_t t)
{
    // Our own data packet would carry the ack: wait one send interval for it.
    if (mAckOwed && uint32_t(t - mAckOwedSince) >= mCurrentPacketSendPeriod)
        sendAckPacket();
}

uint32_t NetConnection::probeTimeoutMs() const
{
    if (mAdaptiveByHandshake) {
        // The peer acknowledges at once: an acknowledgement later than its
        // usual time and four times its usual spread (and a couple of ms for
        // a busy loop) is overdue. Before the first one, the fixed floor.
        uint64_t timeout = mAckResponseMeasured
                               ? uint64_t(mAckResponseMs + 4 * mAckResponseDevMs) + AdaptiveProbeSlackMs
                               : uint64_t(MinProbeTimeoutMs);
        timeout += mCurrentPacketSendPeriod;
        // The second probe goes as soon as the first: on a lossy link one
        // lost probe or answer is common, and a dead peer is caught by the
        // silence limit anyway. The later ones back off.
        const uint32_t backoff = mProbeCount > 0 ? std::min<uint32_t>(mProbeCount - 1, 16) : 0;
        return uint32_t(std::clamp<uint64_t>(timeout << backoff, AdaptiveMinProbeMs, MaxProbeTimeoutMs));
    }
    // Before the first acknowledgement, one send interval stands for it.
    uint32_t roundTrip = mAckResponseMeasured ? uint32_t(mAckResponseMs) : mCurrentPacketSendPeriod;
    uint64_t timeout = uint64_t(roundTrip) * ProbeRoundTrips + mCurrentPacketSendPeriod;
    return uint32_t(
        std::clamp<uint64_t>(timeout << std::min<uint32_t>(mProbeCount, 16), MinProbeTimeoutMs, MaxProbeTimeoutMs));
}

uint32_t NetConnection::msUntilDue(uint32_t t, uint32_t longest) const
{
    uint64_t due = longest;
    auto until = [&](uint32_t at) { due = std::min<uint64_t>(due, std::max(0, seqDiff(at, t))); };
    if (mAckOwed)
        until(mAdaptiveByHandshake ? t : mAckOwedSince + mCurrentPacketSendPeriod);
    if (const PacketNotify* oldest = mNotifyQueueHead)
        until((mProbeCount ? mLastProbeTime : oldest->sendTime) + probeTimeoutMs() + 1);
    if (isDataToTransmit() && !windowFull()) {
        if (pacedByInterval())
            until(mLastUpdateTime + mCurrentPacketSendPeriod - std::min(mSendCredit, mCurrentPacketSendPeriod));
        else
            until(t);
    }
    return uint32_t(due);
}

void NetConnection::probeUnacknowledged(uint32_t t)
{
    const PacketNotify* oldest = mNotifyQueueHead;
    if (!oldest)
        return;
    const uint32_t timeout = probeTimeoutMs();
    uint32_t since = mProbeCount ? mLastProbeTime : oldest->sendTime;
    if (uint32_t(t - since) <= timeout)
        return;
    ++mProbeCount;
    mLastProbeTime = t;
    SF_LOG("LogConnectionProtocol", "probe %u", mHighestAckedSeq + 1);
    sendPingPacket();
}

bool NetConnection::keepAliveTimedOut(uint32_t t)
{
    // Silence is measured from the last header we accepted: only the peer
    // (or, unsealed, someone who sees its packets) can end it, and nobody
    // can forge it, so a live peer is never ended by someone else's
    // datagrams. The limit is eleven ping intervals, at most SilenceLimitMs.
    const uint64_t limit =
        std::min<uint64_t>(uint64_t(mPingInterval) * (uint64_t(mPingRetries) + 1), SilenceLimitMs);
    if (!mHeardTimeSet) { // nothing heard yet: the silence starts now
        mHeardTimeSet = true;
        mLastHeardTime = t;
    }
    const uint32_t silence = t - mLastHeardTime;
    if (silence > limit)
        return true;
    // A peer that keeps sending but acknowledges nothing of ours, not even
    // the probes, is as gone as a silent one.
    const PacketNotify* oldest = mNotifyQueueHead;
    if (oldest && uint32_t(t - oldest->sendTime) > limit)
        return true;
    // A peer quiet for a while is asked: any live one answers a ping with
    // an ack. (With data outstanding the probes ask sooner, at the round
    // trip's pace.) Each check asks again while the silence lasts.
    if (silence >= std::min<uint32_t>(SilenceProbeAfterMs, mPingInterval))
        sendPingPacket();
    return false;
}

// ---- reading -----------------------------------------------------------------

bool NetConnection::readPacketHeader(BitStream& stream)
{
    uint32_t type = stream.readUnsigned(2);
    uint32_t sequence = stream.readUnsigned(5);
    bool dataMarker = stream.readFlag();
    sequence |= stream.readUnsigned(6) << 5;
    uint32_t highestAck = stream.readUnsigned(AckSequenceBits);
    if (stream.hasError() || !dataMarker)
        return false; // the interface only passes datagrams with the marker

    // Widen the 11-bit sequence next to the last one received.
    uint32_t seq = (mLastSeqRecvd & ~0x7FFu) | sequence;
    if (seqDiff(seq, mLastSeqRecvd) < 0)
        seq += 0x800;
    if (uint32_t(seq - mLastSeqRecvd) > MaxSequenceAhead)
        return false;

    // Widen the 10-bit acknowledgement next to the highest one received.
    uint32_t ack = (mHighestAckedSeq & ~0x3FFu) | highestAck;
    if (seqDiff(ack, mHighestAckedSeq) < 0)
        ack += 0x400;
    if (seqDiff(ack, mLastSendSeq) > 0)
        return false;

    if (mCipher.get() && !openSealedHeader(stream, type, seq, ack))
        return false;

    uint32_t ackByteCount = stream.readRanged(0, MaxAckBytes);
    if (ackByteCount > MaxAckBytes || type >= InvalidPacketType)
        return false;
    uint32_t ackMask = ackByteCount ? stream.readUnsigned(8 * ackByteCount) : 0;
    // How long the peer held this packet after receiving its newest data
    // packet (in 8 ms steps): what to take off that packet's round trip.
    uint32_t peerHoldMs = stream.readUnsigned(8) * 8;
    if (stream.hasError())
        return false;

    // The header is good: from here on it changes the connection.
    mLastHeardTime = now();
    markReceived(type, seq);
    takeAcknowledgements(seq, ack, ackMask, peerHoldMs);
    return noteReceivedSequence(type, seq);
}

// The sealed part of a header: the ack bytes and the hold time, and the
// packet's data after them.
bool NetConnection::openSealedHeader(BitStream& stream, uint32_t type, uint32_t seq, uint32_t ack)
{
    SymmetricCipher* cipher = mCipher.get();
    // A sealed ping or ack that says nothing newer than what was heard is a
    // copy: recorded, it could keep a dead peer alive for ever. (A live
    // sealed peer of ours probes with data packets, which always are newer.)
    if (type != DataPacket && seq == mLastSeqRecvd && ack == mHighestAckedSeq && mHeardSealedHeader) {
        // It is also how a peer whose window is all out probes when our
        // acknowledgement of its last packet was lost: left unanswered, it
        // would wait for our own keep-alive. A genuine one is answered, at
        // most once per CopyAnswerIntervalMs, and still not counted as heard.
        const uint32_t t = now();
        if (type == PingPacket && (!mCopyAnswered || uint32_t(t - mLastCopyAnswerTime) >= CopyAnswerIntervalMs)) {
            cipher->setCounter(seq, ack, type, 0);
            if (decryptAndVerifyDigest(stream, SealDigestBytes, ClearHeaderBytes, cipher)) {
                mCopyAnswered = true;
                mLastCopyAnswerTime = t;
                sendAckPacket();
            }
        }
        SF_LOG("LogNetConnection", "Sealed %s not newer than the last one heard; dropped", packetTypeName(type));
        return false;
    }
    cipher->setCounter(seq, ack, type, 0);
    if (!decryptAndVerifyDigest(stream, SealDigestBytes, ClearHeaderBytes, cipher)) {
        SF_LOG("LogNetConnection", "Packet failed crypto");
        ++mStats.packetsRejected;
        return false;
    }
    mHeardSealedHeader = true;
    return true;
}

// Moves the mask of packets received on to `seq`.
void NetConnection::markReceived(uint32_t type, uint32_t seq)
{
    for (uint32_t skipped = mLastSeqRecvd + 1; seqDiff(skipped, seq) < 0; ++skipped)
        SF_LOG("LogConnectionProtocol", "Not recv %u", skipped);
    SF_LOG("LogConnectionProtocol", "Recv %u %s", seq, packetTypeName(type));

    // Pings do not advance the sequence: a ping repeating the sequence of a
    // data packet must keep that packet's mark, or the peer would be told
    // the packet was lost and resend what already arrived.
    uint32_t shift = seq - mLastSeqRecvd;
    mAckMask = shift >= 32 ? 0 : mAckMask << shift;
    // A data packet under the sequence already seen (a ping's, or its own
    // duplicate) is not read: marking it received would confirm events
    // that never ran.
    if (type == DataPacket && shift != 0)
        mAckMask |= 1;
}

// Tells each of our packets up to `ack` whether it arrived.
void NetConnection::takeAcknowledgements(uint32_t seq, uint32_t ack, uint32_t ackMask, uint32_t peerHoldMs)
{
    if (seqDiff(ack, mHighestAckedSeq) > 0)
        mProbeCount = 0; // the peer is acknowledging again
    for (uint32_t q = mHighestAckedSeq + 1; seqDiff(q, ack) <= 0; ++q) {
        uint32_t back = ack - q;
        bool arrived = back < 32 && ((ackMask >> back) & 1);
        SF_LOG("LogConnectionProtocol", "Ack %u %d", q, int(arrived));
        handleNotify(q, arrived, q == ack ? int32_t(peerHoldMs) : -1);
        if (arrived)
            mLastRecvAckAck = mLastSeqRecvdAtSend[q & 0x1F];
    }
    if (seqDiff(seq, mLastRecvAckAck) > 32)
        mLastRecvAckAck = seq - 32;
    mHighestAckedSeq = ack;
    mHeardTimeSet = true;
}

// Takes `seq` as the last one received; true for a data packet with new
// data. Acknowledges a ping, or a run of packets the peer does not know
// we have, at once.
bool NetConnection::noteReceivedSequence(uint32_t type, uint32_t seq)
{
    uint32_t previous = mLastSeqRecvd;
    mLastSeqRecvd = seq;
    const bool newData = type == DataPacket && seq != previous;
    if (newData) {
        // Set before the ack below goes out: it tells the peer how long we
        // held its packet, which it takes off the round trip.
        mLastPacketRecvTime = now();
        if (!mAckOwed) {
            mAckOwed = true;
            mAckOwedSince = mLastPacketRecvTime;
        }
    }
    if (type == PingPacket || seqDiff(seq, mLastRecvAckAck) > int32_t(AckAfterUnacknowledged))
        sendAckPacket();

    return newData;
}

void NetConnection::handleNotify(uint32_t sequence, bool recvd, int32_t peerHoldMs)
{
    SF_LOG("LogNetConnection", "NetConnection %s: NOTIFY %u %s", name(), sequence, recvd ? "RECVD" : "DROPPED");
    PacketNotify* notify = mNotifyQueueHead;
    if (!notify) {
        assertFailed(__FILE__, __LINE__, "Error: got a notify with a null notify head.");
        return;
    }
    mNotifyQueueHead = notify->nextPacket;
    if (!mNotifyQueueHead)
        mNotifyQueueTail = nullptr;

    if (recvd) {
        ++mStats.packetsDelivered;
        // Two figures from one sample: how long an acknowledgement takes,
        // holds included (what probing waits for), and the round trip of the
        // network alone, the peer's hold taken off (what the statistics show).
        float sample = float(uint32_t(now() - notify->sendTime));
        const float deviation = mAckResponseMeasured ? std::fabs(sample - mAckResponseMs) : sample / 2;
        mAckResponseDevMs = mAckResponseMeasured ? mAckResponseDevMs * 0.75f + deviation * 0.25f : deviation;
        mAckResponseMs = mAckResponseMeasured ? mAckResponseMs * 0.9f + sample * 0.1f : sample;
        mAckResponseMeasured = true;
        float rtt = -1;
        if (peerHoldMs >= 0) {
            rtt = std::max(sample - float(peerHoldMs), 0.0f);
            mStats.roundTripMs = mRoundTripMeasured ? mStats.roundTripMs * 0.9f + rtt * 0.1f : rtt;
            mRoundTripMeasured = true;
        }
        if (mAdaptiveByHandshake) {
            adaptiveDelivered(sequence, rtt);
        } else if (isAdaptive()) {
            if (mSsThresh > mCwnd) {
                mCwnd += 1;
                SF_LOG("LogNetConnection", "PKT SSOK - ssthresh = %f     cwnd=%f", mSsThresh, mCwnd);
            } else if (mCwnd < 30) {
                mCwnd += 1 / mCwnd;
                SF_LOG("LogNetConnection", "PKT   OK - ssthresh = %f     cwnd=%f", mSsThresh, mCwnd);
            }
        }
        packetDelivered(notify);
    } else {
        ++mStats.packetsDropped;
        if (notify->rateChanged)
            mLocalRateChanged = true;
        if (mAdaptiveByHandshake) {
            adaptiveDropped(sequence);
        } else if (isAdaptive()) {
            mSsThresh = std::max(mSsThresh / 2, 2.0f);
            mCwnd = std::max(mCwnd - 1, 2.0f);
        }
        packetDropped(notify);
    }
    delete notify;
}

void NetConnection::receivePacket(BitStream& stream)
{
    SF_LOG("LogNetConnection", "NetConnection %s: RECV- %u bytes", name(), stream.size());
    clearError();
    ++mStats.packetsReceived;
    mStats.bytesReceived += stream.size();

    if (!readPacketHeader(stream))
        return;

    readPacketRateInfo(stream);
    readPacket(stream);

    if (stream.hasError() && !errorText())
        setError("Invalid Packet.");
    if (errorText()) {
        char text[256];
        std::snprintf(text, sizeof(text), "%s", mErrorText);
        const uint32_t reason = mErrorIsRefusal ? ReasonSelfDisconnect : ReasonError;
        clearError();
        if (ConnectionOwner* netInterface = mInterface.get())
            netInterface->disconnect(this, reason, text);
    }
}

void NetConnection::setInitialReceiveSequence(uint32_t sequence)
{
    mInitialRecvSequence = sequence;
    mLastSeqRecvd = sequence;
    mLastRecvAckAck = sequence;
}

void NetConnection::setError(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vsnprintf(mErrorText, sizeof(mErrorText), format, args);
    va_end(args);
}

} // namespace seafold
