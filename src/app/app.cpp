#include "app/app.h"
#include "base/platform.h"

#include <cmath>
#include <csignal>
#include <limits>

namespace seafold {

// ---- timing step ----------------------------------------------------------------

TickOutcome timingStep(int64_t now, const TickState& before)
{
    TickOutcome out;
    out.state = before;

    double elapsed = getHighPrecisionMilliseconds(now - before.lastTickTime);
    // The timer is monotonic; a value from before the last tick would only make
    // a negative step, which must not turn into a huge unsigned one.
    if (!(elapsed > 0.0))
        elapsed = 0.0;
    double total = elapsed + before.carryMs;
    // Truncate in 64 bits and use the low 32 bits unsigned. The clamp keeps the
    // conversion defined for absurd values (about 292 years of elapsed time).
    const double limit = 9.2e18;
    int64_t whole64 = total < limit ? int64_t(total) : int64_t(limit);
    uint32_t whole = uint32_t(uint64_t(whole64));
    if (whole < MinTickMs)
        return out;

    out.accepted = true;
    out.wholeMs = whole;
    out.state.lastTickTime = now;
    out.state.carryMs = total - double(whole);
    return out;
}

// ---- start-up and main loop ------------------------------------------------------

namespace {

void call(const std::function<void()>& hook)
{
    if (hook)
        hook();
}

int64_t timerNow(const LoopHooks& hooks)
{
    return hooks.now ? hooks.now() : getHighPrecisionTimerValue();
}

// One pass after the frame: reads the timer, moves `ticks` on, and hands an
// accepted step's whole ms to the voice countdown.
void runTimingStep(const LoopHooks& hooks, TickState& ticks)
{
    TickOutcome out = timingStep(timerNow(hooks), ticks);
    ticks = out.state;
    if (out.accepted && hooks.voiceTime)
        hooks.voiceTime(out.wholeMs);
}

// Set by the signal handler, read by the loop after each pass.
volatile std::sig_atomic_t gStopSignals = 0;
// The code requestExit asked for.
int gRequestedExitCode = 0;

void onStopSignal(int signalNumber)
{
    if (gStopSignals) {
        // The second: whatever holds the program up, it ends now.
        std::signal(signalNumber, SIG_DFL);
        std::raise(signalNumber);
        return;
    }
    gStopSignals = 1;
}

} // namespace

void installStopSignals()
{
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // Interrupted waits resume: the loop looks at the flag after each pass.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool stopRequested()
{
    return gStopSignals != 0;
}

void setStopRequested(bool requested)
{
    gStopSignals = requested ? 1 : 0;
    if (!requested)
        gRequestedExitCode = 0;
}

void requestExit(int exitCode)
{
    gRequestedExitCode = exitCode;
    gStopSignals = 1;
}

int runApplication(const CommandLine& line, FrameDriver& driver, const LoopHooks& hooks)
{
    // Sound first: a failure leaves sound off and start-up goes on.
    call(hooks.initSound);

    // The network interface and, in a client, the connection to the server.
    // A server that cannot listen where it was asked to has nothing to do.
    if (hooks.startNetwork && !hooks.startNetwork(line)) {
        call(hooks.closeSound);
        return 1;
    }

    // The tick clock starts before set-up, so the first pass sees the whole
    // set-up time as elapsed.
    TickState ticks;
    ticks.lastTickTime = timerNow(hooks);

    // The guarded region: set-up and the whole loop.
    bool setUpFailed = false;
    // A renderer exception ends the program as a failure: a script or the
    // desktop must be able to tell it from the user closing the window.
    const bool ranToItsEnd = driver.runGuarded([&] {
        if (!driver.setUp()) {
            setUpFailed = true;
            return;
        }
        driver.startRendering();
        // Every step of the specified pass is here, but reading packets
        // comes last rather than right after the frame, and the connections
        // are serviced once more right after it: a datagram that arrives
        // while the frame is drawn or during the pause ends the pause and is
        // read before the next frame is drawn, not one frame later, and what
        // its handlers post (a server's relays, acknowledgements) leaves at
        // once rather than after that frame. (The frame itself sends what
        // the user did in it before drawing; see the frame listener.)
        for (;;) {
            // Render one frame: runs the frame listener and the GUI handlers,
            // which read input and change the scene.
            if (driver.renderOneFrame() || stopRequested())
                break;
            // Handshake retries, time-outs, keep-alives, paced sending.
            call(hooks.serviceConnections);
            // Give up the processor; a datagram that arrives meanwhile ends
            // the pause, so the next pass reads it at once.
            if (hooks.sleep)
                hooks.sleep(LoopPauseMs);
            else if (hooks.waitForPackets)
                hooks.waitForPackets(LoopPauseMs);
            else
                sleepMilliseconds(LoopPauseMs);
            // Timing and the voice tick: the tick state, the voice countdown.
            runTimingStep(hooks, ticks);
            // Sound sources by priority, voice streams: every pass.
            call(hooks.updateSound);
            // Read every waiting datagram; remote-call handlers change the
            // roster and the scene the next frame shows ...
            call(hooks.receivePackets);
            // ... and what they posted goes out now.
            call(hooks.serviceConnections);
        }
    });

    // The peers hear at once that this user leaves, before the front end
    // takes its time to close.
    call(hooks.leaveSession);
    // Set-up failure ends at once, without closing sound.
    if (!setUpFailed)
        call(hooks.closeSound);

    // The front end goes before the process exits: the graphics driver's own
    // globals are gone by the time global destructors run.
    driver.runGuarded([&] { driver.shutDown(); });
    return setUpFailed || !ranToItsEnd ? 1 : gRequestedExitCode;
}

} // namespace seafold
