// Drawing another user's model between received states, with a clock the
// test sets: a window's frames, packets with jitter, stops, jumps and turns.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "session/motionplayout.h"

using namespace seafold;

namespace {

constexpr double FrameMs = 1000.0 / 60;

struct Glide {
    std::vector<double> drawnX;     // per frame
    std::vector<double> drawnYaw;   // per frame
    std::vector<double> arrivalsMs; // when each state was received
    double finalSum = 0;
};

// A mover going +`step` along x per state, sent every `intervalMs` for
// `states` states, arriving `jitterMs` late at most and read at the next
// frame of a 60 Hz window (as a window reads packets once per frame).
// `skip` states never arrive on their own: their delta rides with the next.
Glide glide(MotionPlayout& playout, int states, double intervalMs, double jitterMs, double step, uint32_t seed,
            std::vector<int> skip = {}, double extraMs = 1000)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> jitter(0, jitterMs);
    Glide run;
    std::vector<std::pair<double, double>> arrivals; // (time, position)
    double sum = 0;
    for (int k = 1; k <= states; ++k) {
        sum += step;
        if (std::find(skip.begin(), skip.end(), k) != skip.end())
            continue;
        double at = 1000 + k * intervalMs + 2 + jitter(random);
        at = std::ceil(at / FrameMs) * FrameMs; // read at the next frame
        if (!arrivals.empty())
            at = std::max(at, arrivals.back().first); // guaranteed, in order
        arrivals.push_back({at, sum});
    }
    run.finalSum = sum;
    size_t next = 0;
    const double endMs = arrivals.back().first + extraMs;
    for (double now = 1000; now <= endMs; now += FrameMs) {
        for (; next < arrivals.size() && arrivals[next].first <= now + 1e-9; ++next) {
            playout.receivePosition({arrivals[next].second, 0, 0}, now);
            run.arrivalsMs.push_back(now);
        }
        const Pose pose = playout.drawn(now);
        run.drawnX.push_back(pose.position.x);
        run.drawnYaw.push_back(pose.orientation.yawDegrees());
    }
    return run;
}

struct StepStats {
    double movedShare, variation;
};

// Over frames [from, to): the share of frames in which the model moved,
// and the coefficient of variation of the per-frame step.
StepStats stepStats(const std::vector<double>& x, size_t from, size_t to)
{
    std::vector<double> steps;
    for (size_t i = from; i < to && i < x.size(); ++i)
        steps.push_back(x[i] - x[i - 1]);
    double sum = 0, moved = 0;
    for (double s : steps) {
        sum += s;
        moved += s > 1e-9;
    }
    const double mean = sum / double(steps.size());
    double var = 0;
    for (double s : steps)
        var += (s - mean) * (s - mean);
    return {moved / double(steps.size()), std::sqrt(var / double(steps.size())) / mean};
}

} // namespace

TEST(MotionPlayout, ASteadyMoverGlidesAtAnEvenPaceThroughJitter)
{
    struct Case {
        double intervalMs, jitterMs;
    } cases[] = {{96, 20}, {96, 0}, {16, 5}, {48, 30}};
    for (const auto& c : cases) {
        MotionPlayout playout(c.intervalMs);
        Glide run = glide(playout, int(8000 / c.intervalMs), c.intervalMs, c.jitterMs, 6.0, 3);
        // The middle of the run: past the first second, before the stop.
        const size_t from = size_t(2000 / FrameMs), to = size_t(7000 / FrameMs);
        const StepStats stats = stepStats(run.drawnX, from, to);
        EXPECT_GE(stats.movedShare, 0.9) << c.intervalMs << " ms, jitter " << c.jitterMs;
        EXPECT_LE(stats.variation, 0.3) << c.intervalMs << " ms, jitter " << c.jitterMs;
        EXPECT_GE(playout.playoutDelayMs(), playout.meanIntervalMs() * 0.99);
        EXPECT_LE(playout.playoutDelayMs(), 2.5 * c.intervalMs + 1e-9);
    }
}

TEST(MotionPlayout, TheDrawnPlaceEndsExactlyAtTheReceivedSum)
{
    MotionPlayout playout(96);
    // Steps that do not add up exactly in binary.
    Glide run = glide(playout, 40, 96, 20, 0.1, 5);
    EXPECT_EQ(run.drawnX.back(), playout.latest().position.x);
    EXPECT_EQ(playout.latest().position.x, run.finalSum);
    // And it got there within one playout delay of the last arrival.
    const double last = run.arrivalsMs.back();
    const size_t settled = size_t((last - 1000 + playout.playoutDelayMs()) / FrameMs) + 2;
    ASSERT_LT(settled, run.drawnX.size());
    EXPECT_EQ(run.drawnX[settled], run.finalSum);
}

TEST(MotionPlayout, LostOrLateStatesNeverRunTheModelBackwards)
{
    MotionPlayout playout(96);
    // States 10, 11 and 30 never come on their own (their deltas arrive with
    // the next), and the jitter is large.
    Glide run = glide(playout, 60, 96, 90, 6.0, 9, {10, 11, 30});
    for (size_t i = 1; i < run.drawnX.size(); ++i)
        ASSERT_GE(run.drawnX[i], run.drawnX[i - 1]) << "frame " << i;
    EXPECT_EQ(run.drawnX.back(), run.finalSum);
}

TEST(MotionPlayout, JumpsBeyondTheThresholdSnapAndSmallerOnesGlide)
{
    struct Case {
        double jump;
        bool snaps;
    } cases[] = {{MotionPlayout::SnapDistance * 2, true}, {MotionPlayout::SnapDistance * 0.5, false}};
    for (const auto& c : cases) {
        MotionPlayout playout(96);
        double now = 0;
        playout.receivePosition({0, 0, 0}, now); // the first placement is drawn at once
        EXPECT_EQ(playout.drawn(now).position.x, 0.0);
        for (int i = 0; i < 30; ++i)
            playout.drawn(now += FrameMs);
        playout.receivePosition({c.jump, 0, 0}, now += 1);
        const double drawn = playout.drawn(now += FrameMs).position.x;
        if (c.snaps)
            EXPECT_EQ(drawn, c.jump);
        else
            EXPECT_LT(drawn, c.jump);
    }
}

TEST(MotionPlayout, TurnsAreInterpolatedTheShortWayAndEndExactly)
{
    MotionPlayout playout(96);
    double now = 0;
    playout.receivePosition({0, 0, 0}, now);
    // Turning from 170 to -170 degrees is 20 degrees through 180, not 340
    // the other way.
    playout.receiveOrientation(Orientation::fromYawDegrees(170), now += 96);
    for (int i = 0; i < 30; ++i)
        playout.drawn(now += FrameMs);
    playout.receiveOrientation(Orientation::fromYawDegrees(-170), now += 96);
    double previous = playout.drawn(now).orientation.yawDegrees();
    bool crossed = false;
    for (int i = 0; i < 60; ++i) {
        const double yaw = playout.drawn(now += FrameMs).orientation.yawDegrees();
        EXPECT_TRUE(std::fabs(yaw) >= 169.999) << yaw; // never through 0
        crossed = crossed || (previous > 0 && yaw < 0);
        previous = yaw;
    }
    EXPECT_TRUE(crossed);
    EXPECT_NEAR(previous, -170.0, 1e-9);
}
