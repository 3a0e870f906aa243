// Log channels, the fatal alert and the small-record allocators.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/datachunker.h"
#include "base/platform.h"

using namespace seafold;

namespace {

std::vector<std::string> gOutputs;
void captureOutput(const char* text)
{
    gOutputs.push_back(text);
}

struct CapturingSink : LogSink {
    std::vector<std::string> lines;
    void logString(const char* line) override { lines.push_back(line); }
};

int gAlerts = 0;
bool retryAlert(const char*, const char*)
{
    ++gAlerts;
    return true;
}

} // namespace

TEST(Platform, ChannelLinesCarryTheirPrefixAndAnEndOfLineOfTheirOwn)
{
    setDebugOutput(captureOutput);
    gOutputs.clear();
    CapturingSink sink;
    LogChannel* udp = findOrCreateLogChannel("LogUDP");
    setCurrentLogChannel(udp);
    writeLog("abc");
    setCurrentLogChannel(nullptr);
    writeLog("plain %d", 7);
    setDebugOutput(nullptr);

    ASSERT_EQ(gOutputs.size(), 4u);
    EXPECT_EQ(gOutputs[0], "LogUDP: abc");
    EXPECT_EQ(gOutputs[1], "\n");
    EXPECT_EQ(gOutputs[2], "plain 7");
    EXPECT_EQ(sink.lines, (std::vector<std::string>{"LogUDP: abc", "plain 7"}));
}

TEST(Platform, DisabledChannelDoesNotEvaluateItsArguments)
{
    LogChannel* channel = findOrCreateLogChannel("LogTestQuiet");
    EXPECT_EQ(channel, findOrCreateLogChannel(std::string("LogTestQuiet").c_str()));
    EXPECT_FALSE(channel->enabled);
    int evaluated = 0;
    SF_LOG("LogTestQuiet", "%d", ++evaluated);
    EXPECT_EQ(evaluated, 0);
    channel->enabled = true;
    setDebugOutput(captureOutput);
    gOutputs.clear();
    SF_LOG("LogTestQuiet", "%d", ++evaluated);
    setDebugOutput(nullptr);
    channel->enabled = false;
    EXPECT_EQ(evaluated, 1);
    ASSERT_FALSE(gOutputs.empty());
    EXPECT_EQ(gOutputs[0], "LogTestQuiet: 1");
}

TEST(Platform, OverlongLinesAreCutAndTerminated)
{
    setDebugOutput(captureOutput);
    gOutputs.clear();
    std::string big(10000, 'x');
    writeLog("%s", big.c_str());
    setDebugOutput(nullptr);
    ASSERT_FALSE(gOutputs.empty());
    EXPECT_EQ(gOutputs[0].size(), 4095u);
}

TEST(Platform, ClocksAdvanceAndSleepWaits)
{
    EXPECT_EQ(getHighPrecisionMilliseconds(0), 0.0);
    int64_t before = getHighPrecisionTimerValue();
    uint32_t beforeMs = getRealMilliseconds();
    sleepMilliseconds(3);
    double elapsed = getHighPrecisionMilliseconds(getHighPrecisionTimerValue() - before);
    EXPECT_GE(elapsed, 3.0);
    EXPECT_GE(uint32_t(getRealMilliseconds() - beforeMs), 2u);
}

TEST(Platform, AssertFailedAsksTheAlertAndRetryReturns)
{
    setAlertHandler(retryAlert);
    gAlerts = 0;
    assertFailed("file.cpp", 12, "broken");
    setAlertHandler(nullptr);
    EXPECT_EQ(gAlerts, 1);
}

TEST(PlatformDeathTest, AssertFailedWithoutATerminalEndsWithExitCodeOne)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(assertFailed("file.cpp", 12, "broken invariant"), ::testing::ExitedWithCode(1),
                "Fatal: \\(file.cpp: 12\\)");
}

TEST(ChunkAllocator, StepsAreRoundedAndFullChunksStartNewOnes)
{
    ChunkAllocator chunks(64);
    auto* a = static_cast<uint8_t*>(chunks.allocate(5));
    EXPECT_EQ(chunks.currentUsed(), 8u);
    auto* b = static_cast<uint8_t*>(chunks.allocate(8));
    EXPECT_EQ(b, a + 8);
    EXPECT_EQ(chunks.chunkCount(), 1u);
    // Exactly the chunk size does not fit behind used bytes: a fresh chunk.
    chunks.allocate(64);
    EXPECT_EQ(chunks.chunkCount(), 2u);
    EXPECT_EQ(chunks.currentUsed(), 64u);
    chunks.freeAll();
    EXPECT_EQ(chunks.chunkCount(), 0u);
    // On an empty allocator the chunk size fits the first chunk.
    chunks.allocate(64);
    EXPECT_EQ(chunks.chunkCount(), 1u);
}

TEST(FreeListAllocator, FreedElementsAreReusedAndDestroyed)
{
    struct Record {
        explicit Record(int* d) : destroyed(d) {}
        ~Record() { ++*destroyed; }
        int* destroyed;
        double payload[3] = {};
    };
    int destroyed = 0;
    FreeListAllocator<Record> records(256);
    Record* first = records.allocateElement(&destroyed);
    Record* second = records.allocateElement(&destroyed);
    EXPECT_NE(first, second);
    EXPECT_EQ(records.liveCount(), 2u);
    records.freeElement(first);
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(records.liveCount(), 1u);
    EXPECT_EQ(records.allocateElement(&destroyed), first);
    records.freeElement(first);
    records.freeElement(second);
    EXPECT_EQ(records.liveCount(), 0u);
}

TEST(Platform, LogSettingNamesAreTrimmedAndEmptyItemsSkipped)
{
    EXPECT_TRUE(logSettingNames(nullptr).empty());
    EXPECT_TRUE(logSettingNames("").empty());
    EXPECT_TRUE(logSettingNames(" , ,,").empty());
    EXPECT_EQ(logSettingNames("LogUDP"), (std::vector<std::string>{"LogUDP"}));
    EXPECT_EQ(logSettingNames(" LogUDP ,,LogRPC,all "), (std::vector<std::string>{"LogUDP", "LogRPC", "all"}));
}
