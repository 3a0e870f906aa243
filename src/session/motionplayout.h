// How another user's model is drawn between the states received for it.
//
// Movement arrives a few times a second (once per packet), while a window
// draws many frames in between. Drawing each state as it lands makes a
// model stand still for several frames and then jump. Instead a model is
// drawn a little in the past, at now minus a playout delay, between the two
// received states around that time: it glides at the speed it really moved.
//
// This is presentation only: the scene's state stays the exact sum of the
// deltas received, and once the user stops the drawn pose reaches the last
// state within one playout delay.
//
// Time is passed in (milliseconds, of a clock that only moves forward).
#pragma once

#include <cstdint>
#include <deque>

namespace seafold {

struct Vector3 {
    double x = 0, y = 0, z = 0;
};

// A rotation as a unit quaternion.
struct Orientation {
    double w = 1, x = 0, y = 0, z = 0;

    static Orientation fromYawDegrees(double yawDegrees);
    // The heading about the vertical axis, -180 to 180 degrees.
    double yawDegrees() const;
};

// Spherical interpolation along the shorter arc; `t` from 0 (a) to 1 (b).
Orientation slerp(const Orientation& a, const Orientation& b, double t);

struct Pose {
    Vector3 position;
    Orientation orientation;
};

class MotionPlayout {
public:
    // A change of place larger than this (world units) is drawn at once
    // rather than glided through: End bringing a model in front of the
    // camera, or a model placed for the first time. A held key or a drag
    // moves a model far less than this between two packets.
    static constexpr double SnapDistance = 40.0;
    // States kept: enough to span the longest playout delay several times.
    static constexpr uint32_t MaxHistory = 32;
    // Arrivals the spacing and jitter are measured over.
    static constexpr uint32_t IntervalWindow = 16;

    // `sendIntervalMs`: the connection's send interval, which bounds the
    // playout delay at 2.5 intervals.
    explicit MotionPlayout(double sendIntervalMs = 96);
    void setSendInterval(double sendIntervalMs);

    // The model's place is now `position` (the exact sum so far). The first
    // state, and any farther than SnapDistance from the last, is drawn at
    // once.
    void receivePosition(const Vector3& position, double nowMs);
    void receiveOrientation(const Orientation& orientation, double nowMs);
    // Drawn at once, wherever the last state was (a jump the user asked for).
    void snapTo(const Pose& pose, double nowMs);

    // The pose to draw at `nowMs`. Never behind what was drawn before:
    // the time drawn only moves forward.
    Pose drawn(double nowMs);

    // The last state received, exactly.
    const Pose& latest() const { return mLatest; }
    bool hasState() const { return mHasState; }
    double playoutDelayMs() const { return mDelayMs; }
    // Mean spacing of recent arrivals (ms), 0 before there are two.
    double meanIntervalMs() const;

private:
    struct State {
        double atMs; // when it was received
        Pose pose;
    };

    void receive(double nowMs);
    void adaptDelay();

    double mSendIntervalMs;
    double mDelayMs;
    bool mHasState = false;
    Pose mLatest;
    std::deque<State> mHistory;    // oldest first
    std::deque<double> mIntervals; // spacing of recent arrivals
    std::deque<double> mLateness;  // arrival minus the previous state's stamp
    double mLastArrivalMs = 0;
    double mDrawnAtMs = 0; // the time last drawn (now minus delay)
    bool mDrawnOnce = false;
};

} // namespace seafold
