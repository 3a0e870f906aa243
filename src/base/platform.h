// Platform services: clocks, sleep, diagnostic log channels and the fatal
// alert for broken internal invariants. The small-record allocators beside
// them are in datachunker.h.
//
// Everything here is used from the main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace seafold {

// ---- clocks ----------------------------------------------------------------

// Milliseconds since an arbitrary origin; wraps after about 49.7 days, so
// compare values by subtraction only.
uint32_t getRealMilliseconds();

// Monotonic high-resolution counter (nanosecond ticks on this platform).
int64_t getHighPrecisionTimerValue();

// Converts a difference of two counter values to milliseconds.
double getHighPrecisionMilliseconds(int64_t timerDelta);

void sleepMilliseconds(uint32_t ms);

// ---- log channels ----------------------------------------------------------

struct LogChannel {
    LogChannel* next;
    bool enabled;
    const char* name; // not owned: a string literal
};

// The channel names of a SEAFOLD_LOG setting ("all" or a comma-separated
// list), trimmed of spaces; empty for a null or empty setting.
std::vector<std::string> logSettingNames(const char* setting);

// Returns the channel named `name`, creating it (disabled, unless SEAFOLD_LOG
// names it or says "all") when there is none.
LogChannel* findOrCreateLogChannel(const char* name);
void setCurrentLogChannel(LogChannel* channel);

// Receives every finished log line, in registration order.
class LogSink {
public:
    LogSink();
    virtual ~LogSink();
    virtual void logString(const char* line) = 0;

private:
    LogSink* mNext;
    friend void writeLog(const char* format, ...);
};

// Formats one line, prefixed with "<channel>: " when a current channel is set,
// hands it to the sinks and to standard error.
void writeLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Shows caption and text, and asks "Retry or Cancel" where standard input is
// a terminal. Returns true for Retry. Without a terminal it answers Cancel.
bool alertRetry(const char* caption, const char* text);

// Handles a broken invariant of our own code: the alert above; Cancel ends
// the process with exit code 1.
void assertFailed(const char* file, long line, const char* message);

// Replaces the alert for tests: called instead of alertRetry; returning true
// means "Retry" (the failing site goes on), false ends the process.
using AlertHandler = bool (*)(const char* caption, const char* text);
void setAlertHandler(AlertHandler handler);

// The log line writer for tests: replaces standard error as the final output.
using DebugOutput = void (*)(const char* text);
void setDebugOutput(DebugOutput output);

} // namespace seafold

// Logs on a named channel; the arguments are not evaluated while the channel
// is off. The channel is looked up once per site.
#define SF_LOG(channelName, ...)                                                                      \
    do {                                                                                              \
        static ::seafold::LogChannel* sfLogChannel_ = ::seafold::findOrCreateLogChannel(channelName); \
        if (sfLogChannel_->enabled) {                                                                 \
            ::seafold::setCurrentLogChannel(sfLogChannel_);                                           \
            ::seafold::writeLog(__VA_ARGS__);                                                         \
            ::seafold::setCurrentLogChannel(nullptr);                                                 \
        }                                                                                             \
    } while (0)

// Checks an invariant of our own code (never data read from the network).
#define SF_ASSERT(cond, message)                                  \
    do {                                                          \
        if (!(cond))                                              \
            ::seafold::assertFailed(__FILE__, __LINE__, message); \
    } while (0)
