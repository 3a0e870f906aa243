// A bounded soak: four clients and a server in one process for 20,000
// simulated seconds over a network that loses a fifth of all datagrams,
// duplicates a tenth and reorders them, while users join, move, pick models,
// speak, leave and vanish at random from a fixed seed. At rest, at intervals
// and at the end, every roster agrees, every position is the sum of the
// deltas sent, every queue is empty, and nothing outlives the interfaces.
#include <gtest/gtest.h>

#include <random>

#include "sessionworld.h"

using namespace seafold;
using namespace seafold::test;

namespace {

// 100 ms a step: about one packet per connection and step at the default
// rate, and 200,000 steps in all, which keeps the run short under the
// sanitizers.
constexpr uint32_t StepMs = 100;
constexpr uint32_t SoakSeconds = 20000;
// Activity pauses for a check this often (simulated seconds).
constexpr uint32_t CheckEverySeconds = 1000;
// Long enough for a lost goodbye to end in the keep-alive time-out.
constexpr uint32_t SettleLimitMs = 180000;

} // namespace

TEST(SessionSoak, FourClientsThroughTwentyThousandSecondsOfLossAndChurn)
{
    NetworkSimulator::Settings network;
    network.dropPercent = 20;
    network.duplicatePercent = 10;
    network.maxDelayMs = 150; // datagrams overtake each other
    SessionWorld world(4, network, 20240601);
    std::mt19937 random(4242);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    std::uniform_int_distribution<int> eighths(-8, 8);
    const char* models[] = {"boat.mesh", "fish.mesh", "buoy.mesh"};
    uint8_t voice[40];

    uint32_t checks = 0;
    for (uint32_t second = 0; second < SoakSeconds; second += CheckEverySeconds) {
        for (uint32_t ms = 0; ms < CheckEverySeconds * 1000; ms += StepMs) {
            for (size_t i = 0; i < world.clientCount(); ++i) {
                const double r = chance(random);
                if (!world.toServer(i)) {
                    if (r < 0.01)
                        world.join(i);
                } else if (r < 0.3) {
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
            }
            world.step(StepMs);
        }
        ASSERT_TRUE(world.settle(StepMs, SettleLimitMs))
            << "no rest after " << second + CheckEverySeconds << " s: " << world.describe();
        ASSERT_EQ(world.check(), "") << "after " << second + CheckEverySeconds << " s";
        ++checks;
    }
    EXPECT_EQ(checks, SoakSeconds / CheckEverySeconds);
    EXPECT_EQ(world.tearDown(), "");
}
