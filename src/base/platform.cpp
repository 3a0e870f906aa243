#include "base/platform.h"
#include "base/datachunker.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>

namespace seafold {

// ---- clocks ----------------------------------------------------------------

static int64_t monotonicNanoseconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

uint32_t getRealMilliseconds()
{
    return uint32_t(monotonicNanoseconds() / 1000000);
}

int64_t getHighPrecisionTimerValue()
{
    return monotonicNanoseconds();
}

double getHighPrecisionMilliseconds(int64_t timerDelta)
{
    // The monotonic clock always exists here, counting nanoseconds.
    return double(timerDelta) * 1e-6;
}

void sleepMilliseconds(uint32_t ms)
{
    timespec request{time_t(ms / 1000), long(ms % 1000) * 1000000L};
    timespec remaining;
    while (nanosleep(&request, &remaining) == -1 && errno == EINTR)
        request = remaining;
}

// ---- log channels ----------------------------------------------------------

static LogChannel* gLogChannels = nullptr;
static LogChannel* gCurrentLogChannel = nullptr;
static LogSink* gLogSinks = nullptr;
static DebugOutput gDebugOutput = nullptr;
static AlertHandler gAlertHandler = nullptr;

std::vector<std::string> logSettingNames(const char* setting)
{
    std::vector<std::string> names;
    std::string list(setting ? setting : "");
    size_t start = 0;
    while (start < list.size()) {
        size_t end = std::min(list.find(',', start), list.size());
        size_t first = list.find_first_not_of(' ', start);
        if (first < end)
            names.push_back(list.substr(first, list.find_last_not_of(' ', end - 1) - first + 1));
        start = end + 1;
    }
    return names;
}

// True when SEAFOLD_LOG ("all" or a comma-separated list) names the channel.
static bool enabledByEnvironment(const char* name)
{
    for (const std::string& item : logSettingNames(std::getenv("SEAFOLD_LOG")))
        if (item == "all" || item == name)
            return true;
    return false;
}

LogChannel* findOrCreateLogChannel(const char* name)
{
    // Channel records live until process exit.
    static FreeListAllocator<LogChannel>* allocator = new FreeListAllocator<LogChannel>(4096);
    for (LogChannel* c = gLogChannels; c; c = c->next)
        if (std::strcmp(c->name, name) == 0)
            return c;
    LogChannel* channel = allocator->allocateElement();
    channel->name = name;
    channel->enabled = enabledByEnvironment(name);
    channel->next = gLogChannels;
    gLogChannels = channel;
    return channel;
}

void setCurrentLogChannel(LogChannel* channel)
{
    gCurrentLogChannel = channel;
}

LogSink::LogSink() : mNext(nullptr)
{
    // Appended, so sinks see lines in registration order.
    LogSink** link = &gLogSinks;
    while (*link)
        link = &(*link)->mNext;
    *link = this;
}

LogSink::~LogSink()
{
    for (LogSink** link = &gLogSinks; *link; link = &(*link)->mNext) {
        if (*link == this) {
            *link = mNext;
            break;
        }
    }
}

static void debugOutput(const char* text)
{
    if (gDebugOutput)
        gDebugOutput(text);
    else
        std::fputs(text, stderr);
}

void writeLog(const char* format, ...)
{
    char buffer[4096];
    size_t prefix = 0;
    if (gCurrentLogChannel) {
        int n = std::snprintf(buffer, sizeof(buffer), "%s: ", gCurrentLogChannel->name);
        prefix = n < 0 ? 0 : std::min(size_t(n), sizeof(buffer) - 1);
    }
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer + prefix, sizeof(buffer) - prefix, format, args);
    va_end(args);

    for (LogSink* sink = gLogSinks; sink; sink = sink->mNext)
        sink->logString(buffer);
    debugOutput(buffer);
    debugOutput("\n");
}

// ---- alerts ----------------------------------------------------------------

bool alertRetry(const char* caption, const char* text)
{
    std::fprintf(stderr, "%s\n%s\n", caption, text);
    if (!isatty(STDIN_FILENO))
        return false;
    for (;;) {
        std::fprintf(stderr, "[R]etry or [C]ancel? ");
        std::fflush(stderr);
        char line[64];
        if (!std::fgets(line, sizeof(line), stdin))
            return false;
        if (line[0] == 'r' || line[0] == 'R')
            return true;
        if (line[0] == 'c' || line[0] == 'C')
            return false;
    }
}

void setAlertHandler(AlertHandler handler)
{
    gAlertHandler = handler;
}

void setDebugOutput(DebugOutput output)
{
    gDebugOutput = output;
}

void assertFailed(const char* file, long line, const char* message)
{
    char caption[2048];
    std::snprintf(caption, sizeof(caption), "Fatal: (%s: %ld)", file, line);
    bool retry = gAlertHandler ? gAlertHandler(caption, message) : alertRetry(caption, message);
    if (!retry) {
        std::fflush(nullptr);
        std::_Exit(1);
    }
}

} // namespace seafold
