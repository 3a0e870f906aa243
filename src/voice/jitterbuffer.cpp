#include "voice/jitterbuffer.h"

#include <algorithm>

namespace seafold {

// Sequence numbers count the speaker's frame periods, spoken or not, so a
// frame's number is its place on the speaker's clock. A frame's transit,
// arrival time minus number times the frame period, is then the same for
// every frame but for the link's jitter and an offset between the clocks.
// A low recent transit is a lucky frame; playing every frame at its place
// plus (low transit + target) gives each one `target` ms more than the
// lucky ones needed.

JitterBuffer::JitterBuffer(uint32_t frameMs, uint32_t maxTargetMs)
    : mFrameMs(std::max<uint32_t>(frameMs, 1)), mMaxTargetMs(std::max(maxTargetMs, frameMs)), mTargetMs(mFrameMs)
{
}

int64_t JitterBuffer::unwrap(uint16_t sequence) const
{
    if (!mHaveSequence)
        return sequence;
    const int16_t step = int16_t(uint16_t(sequence - uint16_t(mHighest)));
    return mHighest + step;
}

int64_t JitterBuffer::clock(uint32_t nowMs)
{
    if (!mHaveClock) {
        mHaveClock = true;
        mLastNowMs = nowMs;
        mClockMs = 0;
        return mClockMs;
    }
    const int32_t step = int32_t(nowMs - mLastNowMs);
    if (step >= 0) {
        mClockMs += step;
        mLastNowMs = nowMs;
        return mClockMs;
    }
    // A time before the last one: a frame stamped when its datagram
    // arrived, handled after a later pop. It is placed when it came; the
    // clock itself never goes back. A step back of more than a second is
    // no such stamp and is held.
    return step >= -1000 ? mClockMs + step : mClockMs;
}

void JitterBuffer::measure(int64_t sequence, int64_t now)
{
    mTransit.push_back(now - sequence * int64_t(mFrameMs));
    while (mTransit.size() > JitterWindowFrames)
        mTransit.pop_front();
    updateTarget();
}

void JitterBuffer::updateTarget()
{
    std::vector<int64_t> sorted(mTransit.begin(), mTransit.end());
    std::sort(sorted.begin(), sorted.end());
    // Percentiles, not the extremes: one frame stuck behind a lost packet
    // should be concealed rather than delay every frame after it, and one
    // that came impossibly early (a clock that jumped) must not make every
    // other frame look late.
    const int64_t low = sorted[(sorted.size() - 1) * 5 / 100];
    const int64_t high = sorted[(sorted.size() - 1) * 95 / 100];
    mLowTransit = low;
    // The spread is what the link's jitter asks for; a frame that comes
    // whole needs no more than that. The floor, a quarter of a frame, only
    // covers what the percentiles leave out. While frames are being lost,
    // two frames: the frame after a lost one (which carries its forward
    // error correction, or a repeat of it) is then usually here in time to
    // rebuild it, rather than made up from nothing.
    const int64_t floor = mHighest < mLossUntil ? 2 * int64_t(mFrameMs) : int64_t(mFrameMs / 4);
    mTargetMs = uint32_t(std::clamp<int64_t>(high - low, std::min<int64_t>(floor, mMaxTargetMs), mMaxTargetMs));
}

void JitterBuffer::push(uint16_t sequence, std::vector<uint8_t> frame, uint32_t nowMs, bool lastOfSpurt)
{
    const int64_t now = clock(nowMs);
    int64_t s = unwrap(sequence);
    if (mHaveSequence && (s < mHighest - int64_t(RestartFrames) || s > mHighest + int64_t(RestartFrames))) {
        // Far from anything seen: the speaker's numbering started again
        // (a new connection, say). What is held belongs to the old one.
        reset();
        s = sequence;
    }
    if (mStarted && s < mNext) {
        const int64_t back = mNext - 1 - s;
        const bool copy = back < 64 && (mHadMask >> back) & 1;
        if (copy)
            ++mStats.duplicates;
        else
            ++mStats.late;
        noteBatch(s, now, copy);
        return;
    }
    if (mFrames.count(s)) {
        ++mStats.duplicates;
        noteBatch(s, now, true);
        return;
    }
    if (noteBatch(s, now, false)) {
        ++mStats.repaired;
        lossSeen();
    }
    if (!mHaveSequence || s > mHighest)
        mHighest = s;
    mHaveSequence = true;
    measure(s, now);
    mFrames.emplace(s, Frame{std::move(frame), lastOfSpurt});
    keepWithinCap();
}

bool JitterBuffer::noteBatch(int64_t s, int64_t now, bool copy)
{
    if (!mHaveBatch || now != mBatchNow) {
        mHaveBatch = true;
        mBatchNow = now;
        mBatchFirst = s;
        mBatchFirstNew = !copy;
        mBatchFrames = 1;
        mRepeatBatches = ((mRepeatBatches << 1) | (copy ? 1 : 0)) & ((1u << RepeatWindow) - 1);
        return false;
    }
    ++mBatchFrames;
    const bool repeatsOn = uint32_t(__builtin_popcount(mRepeatBatches)) >= RepeatsOnBatches;
    return repeatsOn && mBatchFrames == 2 && mBatchFirstNew && s == mBatchFirst + 1;
}

void JitterBuffer::lossSeen()
{
    mLossUntil = std::max(mLossUntil, mHighest + int64_t(JitterWindowFrames));
    updateTarget();
}

void JitterBuffer::keepWithinCap()
{
    const size_t cap = mTargetMs / mFrameMs + MaxFramesOverTarget;
    while (mFrames.size() > cap) {
        auto oldest = mFrames.begin();
        if (mStarted && oldest->first >= mNext) {
            // Playout moves past it: the periods before it count as never
            // had, it as had (a copy of it coming later is a duplicate).
            const int64_t gap = oldest->first - mNext;
            mHadMask = gap >= 64 ? 0 : mHadMask << gap;
            mNext = oldest->first;
            advance(true);
            mEndedSpurt = oldest->second.lastOfSpurt;
        }
        mFrames.erase(oldest);
        ++mStats.drained;
    }
}

JitterBuffer::Output JitterBuffer::pop(uint32_t nowMs)
{
    const int64_t now = clock(nowMs);
    Output out;
    if (!mPlaying && !start(now))
        return out;

    // Playing later than the target (a burst came after a stall, or the
    // target shrank): skip a frame to bring the delay back. One a period,
    // so the catch-up is heard as little as possible.
    const int64_t delay = now - (mNext * int64_t(mFrameMs) + mLowTransit);
    auto found = mFrames.find(mNext);
    if (delay > int64_t(mTargetMs + 2 * mFrameMs) && found != mFrames.end() && mFrames.size() > 1) {
        mEndedSpurt = found->second.lastOfSpurt;
        mFrames.erase(found);
        advance(true);
        ++mStats.drained;
        found = mFrames.find(mNext);
    }

    if (found != mFrames.end()) {
        out.action = Action::Play;
        out.frame = std::move(found->second.bytes);
        mEndedSpurt = found->second.lastOfSpurt;
        mFrames.erase(found);
        advance(true);
        ++mStats.played;
        mConcealedRun = 0;
        return out;
    }

    // Nothing for this period. After a spurt's last frame that is the
    // speaker's pause: the next spurt starts on its own schedule.
    if (mEndedSpurt) {
        mPlaying = false;
        mConcealedRun = 0;
        if (start(now))
            return pop(nowMs);
        return out;
    }
    if (mConcealedRun >= MaxConcealedRunFrames) {
        // Nothing has come for a while: stop making sound up, and start
        // again when frames come.
        mPlaying = false;
        mConcealedRun = 0;
        return out;
    }
    ++mConcealedRun;
    ++mStats.concealed;
    if (mFrames.empty()) {
        // Ran dry in the middle of speech: the frame due is only late.
        // Fill the period and still wait for it, so nothing is lost; the
        // delay this adds is drained again later if it turns out too much.
        if (mConcealedRun == 1)
            ++mStats.underruns;
        out.action = Action::Conceal;
        return out;
    }
    // Later frames are here but this one is not: it was lost. (Running dry
    // is lateness, which the arrival spread answers; only a loss asks for
    // the frame after it in time.)
    lossSeen();
    auto after = mFrames.find(mNext + 1);
    if (after != mFrames.end()) {
        out.action = Action::ConcealFromNext;
        out.frame = after->second.bytes; // a copy: that frame is still played in its turn
    } else {
        out.action = Action::Conceal;
    }
    advance(false);
    return out;
}

void JitterBuffer::advance(bool had)
{
    ++mNext;
    mHadMask = (mHadMask << 1) | (had ? 1 : 0);
}

bool JitterBuffer::start(int64_t now)
{
    if (mFrames.empty())
        return false;
    const int64_t first = mFrames.begin()->first;
    const int64_t due = first * int64_t(mFrameMs) + mLowTransit + mTargetMs;
    if (now < due)
        return false;
    mPlaying = true;
    mStarted = true;
    // Frames of an earlier spurt that were here keep their bits: the gap
    // between the spurts counts as frames never had.
    const int64_t gap = first - mNext;
    mHadMask = gap < 0 || gap >= 64 ? 0 : mHadMask << gap;
    mNext = first;
    mConcealedRun = 0;
    mEndedSpurt = false;
    return true;
}

void JitterBuffer::reset()
{
    mFrames.clear();
    mTransit.clear();
    mLowTransit = 0;
    mHaveSequence = false;
    mHighest = 0;
    mPlaying = false;
    mStarted = false;
    mNext = 0;
    mHadMask = 0;
    mEndedSpurt = true;
    mConcealedRun = 0;
    mTargetMs = mFrameMs;
    mLossUntil = 0;
    mHaveBatch = false;
    mRepeatBatches = 0;
}

uint32_t JitterBuffer::bufferedMs() const
{
    return uint32_t(mFrames.size()) * mFrameMs;
}

} // namespace seafold
