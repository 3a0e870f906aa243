// The application shell without a renderer: timing step, and the order and
// exit codes of start-up, main loop and shutdown.
#include "app/app.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

namespace seafold {
namespace {

constexpr int64_t NsPerMs = 1000000;

// ---- timing step ----------------------------------------------------------------

TEST(TimingStep, ShortFrameIsNoTickAndKeepsTheStart)
{
    TickState before{1000 * NsPerMs, 0.4};
    TickOutcome out = timingStep(1000 * NsPerMs + 2 * NsPerMs, before);
    EXPECT_FALSE(out.accepted);
    EXPECT_EQ(out.state.lastTickTime, before.lastTickTime);
    EXPECT_DOUBLE_EQ(out.state.carryMs, 0.4);

    // The next pass measures from the same start: 2 + 2.7 + 0.4 = 5.1 ms.
    out = timingStep(1000 * NsPerMs + 4700000, out.state);
    EXPECT_TRUE(out.accepted);
    EXPECT_EQ(out.wholeMs, 5u);
    EXPECT_NEAR(out.state.carryMs, 0.1, 1e-6);
}

TEST(TimingStep, FractionIsCarried)
{
    TickState before{0, 0.6};
    TickOutcome out = timingStep(12700000, before);
    EXPECT_TRUE(out.accepted);
    EXPECT_EQ(out.wholeMs, 13u);
    EXPECT_EQ(out.state.lastTickTime, 12700000);
    EXPECT_NEAR(out.state.carryMs, 0.3, 1e-9);
}

TEST(TimingStep, ExactlyFiveMillisecondsIsATick)
{
    TickOutcome out = timingStep(5 * NsPerMs, TickState{0, 0.0});
    EXPECT_TRUE(out.accepted);
    EXPECT_EQ(out.wholeMs, 5u);
    EXPECT_DOUBLE_EQ(out.state.carryMs, 0.0);
}

TEST(TimingStep, CarryAloneCanCompleteATick)
{
    // 4.5 ms elapsed + 0.9 carried = 5.4: accepted, 0.4 carried on.
    TickOutcome out = timingStep(4500000, TickState{0, 0.9});
    EXPECT_TRUE(out.accepted);
    EXPECT_NEAR(out.state.carryMs, 0.4, 1e-9);
}

TEST(TimingStep, ClockGoingBackwardsIsNoTick)
{
    TickOutcome out = timingStep(-50 * NsPerMs, TickState{0, 0.5});
    EXPECT_FALSE(out.accepted);
    EXPECT_EQ(out.state.lastTickTime, 0);
    EXPECT_DOUBLE_EQ(out.state.carryMs, 0.5);
}

TEST(TimingStep, NoTimeIsLostOverManyTicks)
{
    // 1000 passes of 5.3 ms: 5300 ms in whole ticks plus what is carried.
    TickState state{0, 0.0};
    uint64_t wholeSum = 0;
    int64_t now = 0;
    for (int i = 0; i < 1000; ++i) {
        now += 5300000;
        TickOutcome out = timingStep(now, state);
        ASSERT_TRUE(out.accepted);
        wholeSum += out.wholeMs;
        state = out.state;
    }
    EXPECT_NEAR(double(wholeSum) + state.carryMs, 5300.0, 1e-6);
}

// ---- start-up, loop and shutdown ---------------------------------------------------

struct RendererError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Records every call; ends after `frames` frames; can fail set-up or throw.
class FakeDriver : public FrameDriver {
public:
    explicit FakeDriver(std::vector<std::string>& log) : mLog(log) {}

    bool runGuarded(const std::function<void()>& region) override
    {
        try {
            region();
            return true;
        } catch (const RendererError& e) {
            mLog.push_back(std::string("caught ") + e.what());
            return false;
        }
    }
    bool setUp() override
    {
        mLog.push_back("setUp");
        if (throwInSetUp)
            throw RendererError("in set-up");
        return setUpResult;
    }
    void startRendering() override { mLog.push_back("startRendering"); }
    bool renderOneFrame() override
    {
        mLog.push_back("frame");
        if (++mFrames == throwAtFrame)
            throw RendererError("in frame");
        return mFrames >= frames;
    }
    void shutDown() override { mLog.push_back("shutDown"); }

    bool setUpResult = true;
    bool throwInSetUp = false;
    int frames = 2;
    int throwAtFrame = -1;

private:
    std::vector<std::string>& mLog;
    int mFrames = 0;
};

CommandLine client(const std::string& address, const std::string& name)
{
    CommandLine line;
    line.isClient = true;
    line.addressText = address;
    line.clientName = name;
    return line;
}

CommandLine server(const std::string& address)
{
    CommandLine line;
    line.addressText = address;
    return line;
}

LoopHooks recordingHooks(std::vector<std::string>& log)
{
    LoopHooks hooks;
    hooks.initSound = [&log] { log.push_back("initSound"); };
    hooks.startNetwork = [&log](const CommandLine& line) {
        log.push_back(std::string("startNetwork ") + (line.isClient ? "client " : "server ") + line.addressText);
        return true;
    };
    hooks.leaveSession = [&log] { log.push_back("leaveSession"); };
    hooks.receivePackets = [&log] { log.push_back("receivePackets"); };
    hooks.serviceConnections = [&log] { log.push_back("serviceConnections"); };
    hooks.sleep = [&log](uint32_t ms) { log.push_back("sleep " + std::to_string(ms)); };
    hooks.updateSound = [&log] { log.push_back("updateSound"); };
    hooks.closeSound = [&log] { log.push_back("closeSound"); };
    hooks.voiceTime = [&log](uint32_t ms) { log.push_back("voiceTime " + std::to_string(ms)); };
    return hooks;
}

TEST(RunApplication, StartUpLoopAndShutdownInOrder)
{
    std::vector<std::string> log;
    FakeDriver driver(log);
    driver.frames = 2;
    EXPECT_EQ(runApplication(client("127.0.0.1:28000", "alice"), driver, recordingHooks(log)), 0);
    // The frame's own input went out in it; a pass then reads what arrived
    // and sends at once what that posted, before the next frame.
    std::vector<std::string> expected = {"initSound",      "startNetwork client 127.0.0.1:28000",
                                         "setUp",          "startRendering",
                                         "frame",          "serviceConnections",
                                         "sleep 5",        "updateSound",
                                         "receivePackets", "serviceConnections",
                                         "frame",          "leaveSession",
                                         "closeSound",     "shutDown"};
    EXPECT_EQ(log, expected);
}

TEST(RunApplication, ThePauseWaitsForPacketsInTheSamePlaceWhenNoSleepIsGiven)
{
    std::vector<std::string> log;
    FakeDriver driver(log);
    driver.frames = 2;
    LoopHooks hooks = recordingHooks(log);
    hooks.sleep = nullptr;
    hooks.waitForPackets = [&log](uint32_t ms) { log.push_back("wait " + std::to_string(ms)); };
    EXPECT_EQ(runApplication(client("127.0.0.1:28000", "alice"), driver, hooks), 0);
    auto wait = std::find(log.begin(), log.end(), "wait 5");
    ASSERT_NE(wait, log.end());
    EXPECT_EQ(*(wait - 1), "serviceConnections");
    EXPECT_EQ(*(wait + 1), "updateSound");
}

TEST(RunApplication, FailedSetUpExitsWithOneWithoutClosingSound)
{
    std::vector<std::string> log;
    FakeDriver driver(log);
    driver.setUpResult = false;
    EXPECT_EQ(runApplication(server("127.0.0.1:28000"), driver, recordingHooks(log)), 1);
    std::vector<std::string> expected = {"initSound", "startNetwork server 127.0.0.1:28000", "setUp", "leaveSession",
                                         "shutDown"};
    EXPECT_EQ(log, expected);
}

// A server that cannot listen (its port in use, say) ends before any window.
TEST(RunApplication, NetworkThatCannotStartExitsWithOneBeforeSetUp)
{
    std::vector<std::string> log;
    FakeDriver driver(log);
    LoopHooks hooks = recordingHooks(log);
    hooks.startNetwork = [&log](const CommandLine&) {
        log.push_back("startNetwork fails");
        return false;
    };
    EXPECT_EQ(runApplication(server("127.0.0.1:28000"), driver, hooks), 1);
    std::vector<std::string> expected = {"initSound", "startNetwork fails", "closeSound"};
    EXPECT_EQ(log, expected);
}

// A signal ends the loop after the pass it arrived in, whatever the front end
// says, and the peers are told before the front end closes.
TEST(RunApplication, StopRequestEndsTheLoopAndLeavesTheSessionFirst)
{
    std::vector<std::string> log;
    struct SignalledDriver : FakeDriver {
        using FakeDriver::FakeDriver;
        bool renderOneFrame() override
        {
            bool end = FakeDriver::renderOneFrame();
            setStopRequested(true);
            return end;
        }
    } driver(log);
    driver.frames = 1000;
    EXPECT_EQ(runApplication(client("127.0.0.1:28000", "erin"), driver, recordingHooks(log)), 0);
    std::vector<std::string> tail(log.end() - 4, log.end());
    std::vector<std::string> expected = {"frame", "leaveSession", "closeSound", "shutDown"};
    EXPECT_EQ(tail, expected);
    EXPECT_EQ(std::count(log.begin(), log.end(), std::string("frame")), 1);
    setStopRequested(false);
}

// A renderer exception used to end with 0, as if the user had closed the
// window: scripts and the desktop could not tell a crash from a normal end.
TEST(RunApplication, RendererExceptionInSetUpClosesSoundAndExitsWithOne)
{
    std::vector<std::string> log;
    FakeDriver driver(log);
    driver.throwInSetUp = true;
    EXPECT_EQ(runApplication(server(""), driver, recordingHooks(log)), 1);
    std::vector<std::string> expected = {"initSound",    "startNetwork server ", "setUp",   "caught in set-up",
                                         "leaveSession", "closeSound",           "shutDown"};
    EXPECT_EQ(log, expected);
}

TEST(RunApplication, RendererExceptionInTheLoopEndsIt)
{
    std::vector<std::string> log;
    FakeDriver driver(log);
    driver.frames = 100;
    driver.throwAtFrame = 3;
    EXPECT_EQ(runApplication(server("127.0.0.1:28000"), driver, recordingHooks(log)), 1);
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[log.size() - 4], "caught in frame");
    EXPECT_EQ(log[log.size() - 3], "leaveSession");
    EXPECT_EQ(log[log.size() - 2], "closeSound");
    EXPECT_EQ(log.back(), "shutDown");
}

TEST(RunApplication, OtherExceptionsAreNotCaught)
{
    std::vector<std::string> log;
    FakeDriver driver(log);
    LoopHooks hooks = recordingHooks(log);
    hooks.receivePackets = [] { throw std::logic_error("not the renderer's"); };
    EXPECT_THROW(runApplication(server("127.0.0.1:28000"), driver, hooks), std::logic_error);
}

// The voice countdown hears of accepted ticks only, each with its whole ms;
// the clock starts when start-up begins, so set-up time counts.
TEST(RunApplication, AcceptedTicksHandTheirWholeMillisecondsToVoice)
{
    std::vector<std::string> log;
    LoopHooks hooks = recordingHooks(log);
    // Each pass advances a fake clock, by 60 ms and then by 2 ms (too short
    // for a tick; it counts with the next).
    int64_t clock = 0;
    int passes = 0;
    hooks.now = [&clock] { return clock; };
    hooks.sleep = [&clock, &passes](uint32_t) { clock += (++passes % 2 ? 60 : 2) * NsPerMs; };
    FakeDriver driver(log);
    driver.frames = 5;
    EXPECT_EQ(runApplication(client("127.0.0.1:28000", "dave"), driver, hooks), 0);
    std::vector<std::string> voice;
    for (const std::string& entry : log) {
        if (entry.compare(0, 9, "voiceTime") == 0)
            voice.push_back(entry);
    }
    std::vector<std::string> expected = {"voiceTime 60", "voiceTime 62"};
    EXPECT_EQ(voice, expected);
}

} // namespace
} // namespace seafold
