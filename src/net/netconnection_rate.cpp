// The connection's pace: the rates the two peers announce and what is
// negotiated from them, and the window between peers that chose the
// adaptive rate at the handshake.
#include "net/netconnection.h"

#include <algorithm>

#include "net/socket.h"

namespace seafold {

// ---- rates -------------------------------------------------------------------

void NetConnection::setLocalRate(const RateInfo& rate)
{
    // Keep every value inside what the rate record can carry.
    mLocalRate.minPacketSendPeriod = std::clamp<uint32_t>(rate.minPacketSendPeriod, 1, 2047);
    mLocalRate.minPacketRecvPeriod = std::clamp<uint32_t>(rate.minPacketRecvPeriod, 1, 2047);
    mLocalRate.maxSendBandwidth = std::min<uint32_t>(rate.maxSendBandwidth, 65535);
    mLocalRate.maxRecvBandwidth = std::min<uint32_t>(rate.maxRecvBandwidth, 65535);
    mLocalRateChanged = true;
    computeNegotiatedRate();
}

void NetConnection::enterAdaptiveRate()
{
    mAdaptiveByHandshake = true;
    mRoleFlags |= LocalAdaptive | RemoteAdaptive;
    mLocalRateChanged = true; // the first data packet announces it
    computeNegotiatedRate();
}

void NetConnection::setRateIsCap(bool cap)
{
    mRateIsCap = cap;
    mLocalRateChanged = true;
    computeNegotiatedRate();
}

void NetConnection::computeNegotiatedRate()
{
    if (mAdaptiveByHandshake) {
        // Only this side's cap, when it has one; otherwise the window alone.
        uint32_t interval = 0;
        uint64_t bandwidth = UINT64_MAX;
        if (mRateIsCap) {
            interval = mLocalRate.minPacketSendPeriod;
            bandwidth = mLocalRate.maxSendBandwidth;
        }
        // The packets' size stays what the cap gives; only their spacing
        // follows the queue.
        mCurrentPacketSendPeriod = std::max(interval, uint32_t(mQueuePaceMs + 0.5f));
        uint64_t size = interval ? bandwidth * interval / 1000 : uint64_t(AdaptivePacketBytes);
        mCurrentPacketSize = uint32_t(std::clamp<uint64_t>(size, MinPacketBytes, AdaptivePacketBytes));
        return;
    }
    mCurrentPacketSendPeriod = std::max(mLocalRate.minPacketSendPeriod, mRemoteRate.minPacketRecvPeriod);
    uint32_t bandwidth = std::min(mLocalRate.maxSendBandwidth, mRemoteRate.maxRecvBandwidth);
    double size = double(bandwidth) * double(mCurrentPacketSendPeriod) * 0.001;
    mCurrentPacketSize = std::clamp<uint32_t>(uint32_t(size), MinPacketBytes, PacketStream::MaxPacketBytes);
}

// Rate information, data packets only:
//   [rate changed]           (flag)
//   if rate changed:
//     [adaptive]             (flag)
//     if not adaptive:
//       [max recv bandwidth] (ranged 0..65535)
//       [max send bandwidth] (ranged 0..65535)
//       [min recv period]    (ranged 1..2047)
//       [min send period]    (ranged 1..2047)
// Between adaptive peers the flag is all: each side's cap (--rate) bounds
// only what that side sends, so nothing a peer announces depends on how the
// other was set up, and a peer that runs the adaptive rate without knowing
// the other does reads the same bits.
void NetConnection::writePacketRateInfo(BitStream& stream, PacketNotify* notify)
{
    notify->rateChanged = mLocalRateChanged;
    mLocalRateChanged = false;
    if (stream.writeFlag(notify->rateChanged)) {
        if (!stream.writeFlag(mRoleFlags & LocalAdaptive)) {
            stream.writeRanged(mLocalRate.maxRecvBandwidth, 0, 65535);
            stream.writeRanged(mLocalRate.maxSendBandwidth, 0, 65535);
            stream.writeRanged(mLocalRate.minPacketRecvPeriod, 1, 2047);
            stream.writeRanged(mLocalRate.minPacketSendPeriod, 1, 2047);
        }
    }
}

void NetConnection::readPacketRateInfo(BitStream& stream)
{
    if (!stream.readFlag())
        return;
    if (stream.readFlag()) {
        mRoleFlags |= RemoteAdaptive;
        return;
    }
    RateInfo rate;
    rate.maxRecvBandwidth = stream.readRanged(0, 65535);
    rate.maxSendBandwidth = stream.readRanged(0, 65535);
    rate.minPacketRecvPeriod = stream.readRanged(1, 2047);
    rate.minPacketSendPeriod = stream.readRanged(1, 2047);
    if (stream.hasError())
        return;
    mRemoteRate = rate;
    computeNegotiatedRate();
}

// The window between adaptive peers. The rules announced for adaptive mode
// halve the threshold and take one packet off the window for every lost
// packet: a burst of losses drives the threshold to its floor at once, while
// the window itself barely shrinks, so a sender keeps overfilling a queue
// that is already losing. Here a loss shrinks the window once per round
// trip (the packets in flight when it shrank do not count again), to half;
// and a round trip grown well past the least one seen shrinks it before the
// queue overflows at all, which is what keeps a slow link (1 Mbit/s Wi-Fi,
// say) from holding a standing queue of voice and movement.
void NetConnection::adaptiveDelivered(uint32_t sequence, float roundTripMs)
{
    bool queueing = false;
    if (roundTripMs >= 0) {
        const uint32_t t = now();
        if (!mBaseMeasured) {
            mBaseMeasured = true;
            mBaseWindowStart = t;
            mWindowMinRoundTripMs = mPreviousMinRoundTripMs = roundTripMs;
        } else if (uint32_t(t - mBaseWindowStart) >= BaseRoundTripWindowMs) {
            mBaseWindowStart = t;
            mPreviousMinRoundTripMs = mWindowMinRoundTripMs;
            mWindowMinRoundTripMs = roundTripMs;
        }
        mWindowMinRoundTripMs = std::min(mWindowMinRoundTripMs, roundTripMs);
        mBaseRoundTripMs = std::min(mWindowMinRoundTripMs, mPreviousMinRoundTripMs);
        // The least of the last few samples: a standing queue raises every
        // one of them, a busy moment of either loop only one or two.
        mRecentRoundTripsMs[mRecentRoundTripSlot++ % RecentRoundTrips] = roundTripMs;
        float recent = roundTripMs;
        for (uint32_t i = 0; i < std::min<uint32_t>(mRecentRoundTripSlot, RecentRoundTrips); ++i)
            recent = std::min(recent, mRecentRoundTripsMs[i]);
        queueing = recent > mBaseRoundTripMs + float(QueueDelayLimitMs);
    }
    if (queueing) {
        if (!(mRecovering && seqDiff(sequence, mRecoverySequence) <= 0)) {
            halveWindow();
            SF_LOG("LogNetConnection", "PKT  RTT - base = %f cwnd=%f", mBaseRoundTripMs, mCwnd);
        }
        return;
    }
    if (mQueuePaceMs > 0) {
        mQueuePaceMs -= mQueuePaceMs / 16;
        if (mQueuePaceMs < 1)
            mQueuePaceMs = 0;
        computeNegotiatedRate();
    }
    if (mSsThresh > mCwnd)
        mCwnd += 1;
    else
        mCwnd += 1 / mCwnd;
    mCwnd = std::min(mCwnd, float(MaxPacketsInFlight));
    SF_LOG("LogNetConnection", "PKT   OK - ssthresh = %f     cwnd=%f", mSsThresh, mCwnd);
}

// A loss or a standing queue: the window halves, down to its floor, and what
// is in flight now may not halve it again. Already at the floor, packets are
// spaced out instead.
void NetConnection::halveWindow()
{
    if (mCwnd <= float(AdaptiveMinWindow))
        spaceOutPackets();
    mCwnd = mSsThresh = std::max(mCwnd * 0.5f, float(AdaptiveMinWindow));
    mRecovering = true;
    mRecoverySequence = mLastSendSeq;
}

void NetConnection::spaceOutPackets()
{
    mQueuePaceMs = mQueuePaceMs > 0 ? std::min(mQueuePaceMs * 1.5f, float(QueuePaceMaxMs)) : float(QueuePaceFirstMs);
    computeNegotiatedRate();
}

void NetConnection::adaptiveDropped(uint32_t sequence)
{
    if (mRecovering && seqDiff(sequence, mRecoverySequence) <= 0)
        return; // sent before the window last shrank
    halveWindow();
    SF_LOG("LogNetConnection", "PKT LOST - ssthresh = %f     cwnd=%f", mSsThresh, mCwnd);
}

} // namespace seafold
