#include "session/motionplayout.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace seafold {

namespace {

constexpr double Pi = 3.14159265358979323846;

double distance(const Vector3& a, const Vector3& b)
{
    const double dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

Vector3 lerp(const Vector3& a, const Vector3& b, double t)
{
    return {a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t, a.z + (b.z - a.z) * t};
}

} // namespace

// ---- orientation ---------------------------------------------------------------

Orientation Orientation::fromYawDegrees(double yawDegrees)
{
    const double half = yawDegrees * Pi / 360.0;
    // About the vertical (y) axis.
    return {std::cos(half), 0, std::sin(half), 0};
}

double Orientation::yawDegrees() const
{
    // The heading of the rotated z axis, flattened onto the horizontal
    // plane: for a pure turn about y this is the turn itself.
    const double fx = 2 * (x * z + w * y);
    const double fz = 1 - 2 * (x * x + y * y);
    return std::atan2(fx, fz) * 180.0 / Pi;
}

Orientation slerp(const Orientation& a, const Orientation& b0, double t)
{
    Orientation b = b0;
    double dot = a.w * b.w + a.x * b.x + a.y * b.y + a.z * b.z;
    if (dot < 0) { // q and -q are one rotation: take the shorter way
        b = {-b.w, -b.x, -b.y, -b.z};
        dot = -dot;
    }
    double wa, wb;
    if (dot > 0.9995) {
        // Nearly the same: straight interpolation is exact enough and
        // avoids dividing by a vanishing sine.
        wa = 1 - t;
        wb = t;
    } else {
        const double angle = std::acos(std::min(dot, 1.0));
        const double sine = std::sin(angle);
        wa = std::sin((1 - t) * angle) / sine;
        wb = std::sin(t * angle) / sine;
    }
    Orientation out{wa * a.w + wb * b.w, wa * a.x + wb * b.x, wa * a.y + wb * b.y, wa * a.z + wb * b.z};
    const double norm = std::sqrt(out.w * out.w + out.x * out.x + out.y * out.y + out.z * out.z);
    if (norm > 0) {
        out.w /= norm;
        out.x /= norm;
        out.y /= norm;
        out.z /= norm;
    }
    return out;
}

// ---- playout -----------------------------------------------------------------------

// States are stamped on a smoothed clock rather than with their raw arrival
// times: a window reads its packets once per frame, so arrivals are bunched
// to frame times, and gliding between raw arrival times would change speed
// from segment to segment. Each stamp is the previous one plus the mean
// spacing, pulled a little towards the real arrival so the two clocks never
// drift apart. The playout delay then covers how late a state comes after
// the previous stamp.
namespace {
constexpr double StampPull = 0.15;        // how far a stamp moves towards its real arrival
constexpr double DelayPull = 0.2;         // how far the delay moves towards its new target per state
constexpr double RestingGapIntervals = 3; // a gap this long (in mean spacings) means the mover had stopped
} // namespace

MotionPlayout::MotionPlayout(double sendIntervalMs) : mSendIntervalMs(sendIntervalMs), mDelayMs(sendIntervalMs) {}

void MotionPlayout::setSendInterval(double sendIntervalMs)
{
    mSendIntervalMs = std::max(sendIntervalMs, 1.0);
    mDelayMs = std::min(mDelayMs, 2.5 * mSendIntervalMs);
}

double MotionPlayout::meanIntervalMs() const
{
    if (mIntervals.empty())
        return 0;
    double sum = 0;
    for (double i : mIntervals)
        sum += i;
    return sum / double(mIntervals.size());
}

void MotionPlayout::snapTo(const Pose& pose, double nowMs)
{
    mLatest = pose;
    mHasState = true;
    mHistory.clear();
    mHistory.push_back({nowMs, pose});
    mLastArrivalMs = nowMs;
    // Drawn from now on, not after a playout delay.
    mDrawnAtMs = nowMs;
    mDrawnOnce = true;
}

void MotionPlayout::receivePosition(const Vector3& position, double nowMs)
{
    if (!mHasState || distance(position, mLatest.position) > SnapDistance) {
        Pose pose = mLatest;
        pose.position = position;
        snapTo(pose, nowMs);
        return;
    }
    mLatest.position = position;
    receive(nowMs);
}

void MotionPlayout::receiveOrientation(const Orientation& orientation, double nowMs)
{
    if (!mHasState) {
        Pose pose;
        pose.orientation = orientation;
        snapTo(pose, nowMs);
        return;
    }
    mLatest.orientation = orientation;
    receive(nowMs);
}

void MotionPlayout::receive(double nowMs)
{
    // What came in one packet is one state.
    if (!mHistory.empty() && nowMs - mLastArrivalMs < 1.0 && mHistory.back().atMs >= mDrawnAtMs) {
        mHistory.back().pose = mLatest;
        return;
    }
    const double mean = meanIntervalMs() > 0 ? meanIntervalMs() : mSendIntervalMs;
    const double gap = nowMs - mLastArrivalMs;
    const bool resting = mHistory.empty() || gap > RestingGapIntervals * std::max(mean, mSendIntervalMs);
    double stamp;
    if (resting) {
        stamp = nowMs;
    } else {
        mIntervals.push_back(gap);
        while (mIntervals.size() > IntervalWindow)
            mIntervals.pop_front();
        const double previous = mHistory.back().atMs;
        const double expected = previous + meanIntervalMs();
        stamp = expected + (nowMs - expected) * StampPull;
        // Never in the future, never more than the longest delay behind.
        stamp = std::clamp(stamp, nowMs - 2.5 * mSendIntervalMs, nowMs);
        mLateness.push_back(nowMs - previous);
        while (mLateness.size() > IntervalWindow)
            mLateness.pop_front();
        adaptDelay();
    }
    // A model drawn at rest past its last state glides on from where it is
    // drawn, not from a point in the past (which would make it jump).
    if (mDrawnOnce && !mHistory.empty() && mDrawnAtMs > mHistory.back().atMs)
        mHistory.push_back({mDrawnAtMs, mHistory.back().pose});
    if (!mHistory.empty())
        stamp = std::max(stamp, mHistory.back().atMs + 1.0);
    mHistory.push_back({stamp, mLatest});
    while (mHistory.size() > MaxHistory)
        mHistory.pop_front();
    mLastArrivalMs = nowMs;
}

void MotionPlayout::adaptDelay()
{
    // The next state must be in before the time drawn passes the last
    // stamp: the delay covers the latest a state came after the previous
    // stamp, over the recent ones.
    double target = *std::max_element(mLateness.begin(), mLateness.end());
    target = std::max(target, meanIntervalMs());
    target = std::min(target, 2.5 * mSendIntervalMs);
    mDelayMs += (target - mDelayMs) * DelayPull;
}

Pose MotionPlayout::drawn(double nowMs)
{
    if (mHistory.empty())
        return mLatest;
    double at = nowMs - mDelayMs;
    if (mDrawnOnce)
        at = std::max(at, mDrawnAtMs);
    mDrawnAtMs = at;
    mDrawnOnce = true;
    // Forget what lies wholly behind the time drawn.
    while (mHistory.size() > 1 && mHistory[1].atMs <= at)
        mHistory.pop_front();
    const State& from = mHistory.front();
    if (mHistory.size() == 1 || at <= from.atMs)
        return from.pose;
    const State& to = mHistory[1];
    const double t = std::clamp((at - from.atMs) / (to.atMs - from.atMs), 0.0, 1.0);
    return {lerp(from.pose.position, to.pose.position, t), slerp(from.pose.orientation, to.pose.orientation, t)};
}

} // namespace seafold
