// A speaker's playout buffer. Frames arrive numbered, in bunches (several
// ride in one packet), out of order, twice or never; playout takes one
// frame every frame period. The buffer holds frames back by a target delay
// that follows the measured arrival jitter, so that a late frame is usually
// in time, and never by more than a set maximum, since late voice is
// useless: a missing frame is concealed, not waited for.
//
// Time is passed in (milliseconds of any clock that only moves forward), so
// the buffer runs the same under a settable test clock.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <vector>

namespace seafold {

struct JitterStats {
    uint32_t played = 0;    // frames played as received
    uint32_t concealed = 0; // frames made up for missing ones (FEC or concealment)
    uint32_t underruns = 0; // times the buffer ran dry in the middle of speech
    uint32_t late = 0;      // frames that came after their turn (and had not come before), dropped
    uint32_t drained = 0;   // frames dropped to bring a backlog back to the target
    uint32_t duplicates = 0;
    uint32_t repaired = 0; // frames whose own packet was lost but whose repeat came
};

class JitterBuffer {
public:
    enum : uint32_t {
        // Arrivals the jitter is measured over: two seconds of 20 ms frames.
        JitterWindowFrames = 100,
        // Concealment stops after this many frames with nothing received:
        // the speaker paused or the link is gone; playout starts again
        // with a fresh wait for the target.
        MaxConcealedRunFrames = 5,
        // A frame numbered this far (30 s) from the newest is a restarted
        // numbering, not a late or early frame.
        RestartFrames = 1500,
        // Frames held beyond the target's: a bunch of a slow link's packet
        // (five frames in 96 ms) and a little more. Beyond them the oldest
        // go, so that a sender driven faster than real time (or a flood of
        // frames after a stall) costs neither memory nor delay.
        MaxFramesOverTarget = 6,
        // Of the last RepeatWindow batches (frames that came in one datagram),
        // this many began with a copy of a frame already here: the sender
        // repeats its last frame at the front of the next packet.
        RepeatWindow = 16,
        RepeatsOnBatches = 8,
    };

    explicit JitterBuffer(uint32_t frameMs = 20, uint32_t maxTargetMs = 200);

    // A frame numbered `sequence` (wrapping at 65536) arrived at `nowMs`.
    // `lastOfSpurt` marks the frame the speaker ended a talk spurt with, so
    // that running dry after it is no underrun.
    void push(uint16_t sequence, std::vector<uint8_t> frame, uint32_t nowMs, bool lastOfSpurt = false);

    enum class Action {
        Wait,           // nothing to play: not started, or the speaker stopped
        Play,           // play `frame`
        Conceal,        // make up one frame
        ConcealFromNext // make up one frame from `frame`, the one after the missing one (FEC)
    };
    struct Output {
        Action action = Action::Wait;
        std::vector<uint8_t> frame;
    };
    // The next frame period of playout at `nowMs`.
    Output pop(uint32_t nowMs);

    // The delay the buffer aims to hold (ms): the measured arrival spread,
    // at least a quarter of a frame (two frames while frames are being
    // lost), at most the maximum.
    uint32_t targetMs() const { return mTargetMs; }
    // Playout time held in the buffer now (ms).
    uint32_t bufferedMs() const;
    bool playing() const { return mPlaying; }
    const JitterStats& stats() const { return mStats; }

private:
    struct Frame {
        std::vector<uint8_t> bytes;
        bool lastOfSpurt = false;
    };

    int64_t unwrap(uint16_t sequence) const;
    void reset();
    // Starts playout when the oldest frame held is due; false while not.
    bool start(int64_t now);
    // `nowMs` on the buffer's own clock, which never wraps or goes back.
    int64_t clock(uint32_t nowMs);
    void measure(int64_t sequence, int64_t now);
    void updateTarget();
    // Moves playout on to the next sequence; `had`: the one left was here.
    void advance(bool had);
    // Drops the oldest frames beyond the target and MaxFramesOverTarget.
    void keepWithinCap();
    // Notes which batch the frame numbered `s` came in; `copy`: it was here
    // already. True when it shows that the frame before it was lost and
    // came only as its repeat.
    bool noteBatch(int64_t s, int64_t now, bool copy);
    void lossSeen();

    uint32_t mFrameMs;
    uint32_t mMaxTargetMs;
    uint32_t mTargetMs;
    std::map<int64_t, Frame> mFrames; // by unwrapped sequence
    bool mHaveSequence = false;
    int64_t mHighest = 0; // highest unwrapped sequence seen
    bool mHaveClock = false;
    uint32_t mLastNowMs = 0;
    int64_t mClockMs = 0;
    bool mPlaying = false;
    bool mStarted = false; // played at least once: frames before mNext are late
    int64_t mNext = 0;     // the sequence to play next
    // Bit i: the frame numbered mNext - 1 - i was here in its turn, so a
    // copy of it coming later (a sender repeats frames) is a duplicate.
    uint64_t mHadMask = 0;
    bool mEndedSpurt = true; // the last frame played ended a spurt (or none played yet)
    uint32_t mConcealedRun = 0;
    // Relative transit of recent arrivals: arrival time minus the sequence's
    // place in the speaker's timeline. Its spread is the jitter to cover.
    std::deque<int64_t> mTransit;
    int64_t mLowTransit = 0; // its 5th percentile
    int64_t mLossUntil = 0;  // frames up to this one follow a recent loss
    // Frames pushed with one arrival stamp came in one datagram: a batch.
    // With repeats on, each batch begins with the frame before its first new
    // one; a batch that begins with a new frame followed by the next one
    // had its repeat stand in for a lost packet. Without noting that, losses
    // the repeats mend look like none, the target falls back to the spread,
    // the next repair comes after its turn and playout runs a frame behind.
    bool mHaveBatch = false;
    int64_t mBatchNow = 0;
    int64_t mBatchFirst = 0;
    bool mBatchFirstNew = false;
    uint32_t mBatchFrames = 0;
    uint32_t mRepeatBatches = 0; // bit i: the i-th last batch began with a copy
    JitterStats mStats;
};

} // namespace seafold
