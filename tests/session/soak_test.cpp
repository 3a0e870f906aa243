// A bounded soak: four clients and a server in one process for 20,000
// simulated seconds (5,000 under the sanitizers) over a network that loses a
// fifth of all datagrams, duplicates a tenth and reorders them, while users
// join, move, pick models, speak, leave and vanish at random from a fixed
// seed. At rest, at intervals and at the end, every roster agrees, every
// position is the sum of the deltas sent, every queue is empty, and nothing
// outlives the interfaces.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "sessionworld.h"

using namespace seafold;
using namespace seafold::test;

namespace {

// 100 ms a step: about one packet per connection and step at the default
// rate, and 200,000 steps in all, which keeps the run short under the
// sanitizers.
constexpr uint32_t StepMs = 100;
#if defined(__SANITIZE_ADDRESS__)
// The sanitizer build runs some ten times slower; a quarter of the soak
// still takes every path many times over, in about a minute.
constexpr uint32_t SoakSeconds = 5000;
#else
constexpr uint32_t SoakSeconds = 20000;
#endif
// Activity pauses for a check this often (simulated seconds).
constexpr uint32_t CheckEverySeconds = 1000;
// Long enough for a lost goodbye to end in the keep-alive time-out.
constexpr uint32_t SettleLimitMs = 180000;

// Runs the soak from `fromSecond` to the next check: every step each client
// without a connection joins now and then, and each with one does what
// `act` makes of its draw (in [0, 1)); then the world must come to rest with
// its invariants kept.
template <class Act>
void soakUntilCheck(SessionWorld& world, std::mt19937& random, uint32_t fromSecond, Act act)
{
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    for (uint32_t ms = 0; ms < CheckEverySeconds * 1000; ms += StepMs) {
        for (size_t i = 0; i < world.clientCount(); ++i) {
            const double r = chance(random);
            if (!world.toServer(i)) {
                if (r < 0.01)
                    world.join(i);
            } else {
                act(i, r);
            }
        }
        world.step(StepMs);
    }
    const uint32_t at = fromSecond + CheckEverySeconds;
    ASSERT_TRUE(world.settle(StepMs, SettleLimitMs)) << "no rest after " << at << " s: " << world.describe();
    ASSERT_EQ(world.check(), "") << "after " << at << " s";
}

} // namespace

TEST(SessionSoak, FourClientsThroughThousandsOfSecondsOfLossAndChurn)
{
    NetworkSimulator::Settings network;
    network.dropPercent = 20;
    network.duplicatePercent = 10;
    network.maxDelayMs = 150; // datagrams overtake each other
    SessionWorld world(4, network, 20240601);
    std::mt19937 random(4242);
    std::uniform_int_distribution<int> eighths(-8, 8);
    const char* models[] = {"boat.mesh", "fish.mesh", "buoy.mesh"};
    uint8_t voice[40];

    uint32_t checks = 0;
    for (uint32_t second = 0; second < SoakSeconds; second += CheckEverySeconds) {
        soakUntilCheck(world, random, second, [&](size_t i, double r) {
            if (r < 0.3) {
                world.move(i, eighths(random) / 8.0, eighths(random) / 8.0, eighths(random) / 8.0);
            } else if (r < 0.302) {
                world.select(i, models[random() % 3]);
            } else if (r < 0.306) {
                uint32_t size = 1 + random() % sizeof(voice);
                for (uint32_t b = 0; b < size; ++b)
                    voice[b] = uint8_t(random());
                world.speak(i, voice, size);
            } else if (r < 0.3065) {
                world.leave(i);
            } else if (r < 0.3066) {
                world.vanish(i);
            }
        });
        if (HasFatalFailure())
            return;
        ++checks;
    }
    EXPECT_EQ(checks, SoakSeconds / CheckEverySeconds);
    EXPECT_EQ(world.tearDown(), "");
}

namespace {

// Resident memory of this process in bytes, 0 where it cannot be read.
size_t residentBytes()
{
    long pages = 0, resident = 0;
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (!statm)
        return 0;
    const bool read = std::fscanf(statm, "%ld %ld", &pages, &resident) == 2;
    std::fclose(statm);
    return read ? size_t(resident) * 4096 : 0;
}

constexpr uint32_t SeafoldSoakSeconds = 4000;
// What the process may grow by between the first check and the last.
constexpr size_t MemoryGrowthLimitBytes = 16u << 20;

} // namespace

// The calls of version 1 under the same loss, duplication, reordering and
// churn, behind a join password (every join runs the password exchange):
// Opus frames, chat (with lines that are refused), orientation, and names
// that look alike, so that joins are renamed. Memory stays flat from the
// first check to the last.
TEST(SessionSoak, VersionOneSessionsWithAPasswordThroughLossAndChurn)
{
    NetworkSimulator::Settings network;
    network.dropPercent = 20;
    network.duplicatePercent = 10;
    network.maxDelayMs = 150;
    SessionWorld world(4, network, 20261208, "correct horse");
    world.setName(1, "USER0");         // looks like user0: renamed
    world.setName(3, "user0\u00a0");   // user0 again, with a no-break space
    std::mt19937 random(777);
    std::uniform_int_distribution<int> eighths(-8, 8);
    const char* lines[] = {"hello", "h\u00e9llo \u043f\u0440\u0438", "two\nlines", "x\u202e"};
    uint8_t frames[64];

    size_t firstResident = 0, lastResident = 0;
    for (uint32_t second = 0; second < SeafoldSoakSeconds; second += CheckEverySeconds) {
        soakUntilCheck(world, random, second, [&](size_t i, double r) {
            if (r < 0.2) {
                world.move(i, eighths(random) / 8.0, eighths(random) / 8.0, eighths(random) / 8.0);
            } else if (r < 0.202) {
                world.select(i, "boat.mesh");
            } else if (r < 0.25) {
                world.turn(i, Orientation::fromYawDegrees(double(random() % 360)));
            } else if (r < 0.3) {
                // Two frames of 1 to 30 bytes each.
                uint32_t size = 0;
                for (int f = 0; f < 2; ++f) {
                    const uint8_t length = uint8_t(1 + random() % 30);
                    frames[size++] = length;
                    for (uint8_t b = 0; b < length; ++b)
                        frames[size++] = uint8_t(random());
                }
                world.speakOpus(i, frames, size, r > 0.29);
            } else if (r < 0.302) {
                world.chat(i, lines[random() % 4]);
            } else if (r < 0.3025) {
                world.leave(i);
            } else if (r < 0.3026) {
                world.vanish(i);
            }
        });
        if (HasFatalFailure())
            return;
        lastResident = residentBytes();
        if (!firstResident)
            firstResident = lastResident;
    }
#if !defined(__SANITIZE_ADDRESS__)
    // The address sanitizer holds freed memory back (its quarantine, up to
    // 256 MB) and grows while it fills: there the leak check at exit
    // stands in for this one.
    EXPECT_LE(lastResident, firstResident + MemoryGrowthLimitBytes);
#endif
    EXPECT_EQ(world.tearDown(), "");
}
