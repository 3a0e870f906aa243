// The event log: one JSON object per line, each with the wall-clock time in
// ms as its last field "t". Both programs write it: seafold-headless --events
// to standard output, the windowed program to the file SEAFOLD_EVENT_LOG
// names. Tests and measurement tools read it while the program runs.
//
// The lines that come from the session and the scene of other users' models:
//   {"rpc": "s2cmakeMovement", "args": [0.0, 0.0, -3.0, "alice"], "t": ...}
//   {"state": "connecting", "t": ...}
//   {"state": "connected", "t": ...}
//   {"state": "failed", "reason": "...", "t": ...}     (also "disconnected")
//   {"state": "retrying", "reason": "...", "t": ...}   (the failure or loss before)
//   {"model": "alice", "entity": "boat.mesh", "pos": [0.0, 0.0, -3.0], "t": ...}
//   {"model": "alice", "entity": null, "pos": [0.0, 0.0, 0.0], "t": ...}
//   {"model": "alice", "entity": "boat.mesh", "pos": [...], "yaw": 90.0, "t": ...}
//                                        (after the user's model turned: its heading)
// Each program adds lines of its own (the windowed one the user's keys and
// own model, the display-less one statistics and push-to-talk).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "session/json.h"
#include "session/subscribers.h"

namespace seafold {

// Milliseconds since 1970 by the wall clock: the "t" of every line, so
// that the lines of several programs on one machine line up.
int64_t wallClockMs();

class Session;
class ClientScene;

// The layout every line has: ", " between elements, ": " after a key, keys
// in the order they were added, texts as UTF-8, numbers as JSON numbers
// (a number that is not finite as null).
std::string formatJson(const Json& value);

// Writes `event` and the time as one line to `out` and flushes it.
void writeJsonLine(std::FILE* out, const Json& event);

class EventLog {
public:
    EventLog() = default;
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;
    ~EventLog();

    // Writes to the file `path`, emptied first. False, with the reason in
    // `error`, when it cannot be written.
    bool openFile(const std::string& path, std::string* error);
    // Writes to a stream that stays open afterwards (standard output).
    void openStream(std::FILE* stream);
    void close();
    bool active() const { return mOut != nullptr; }

    // One line; nothing while the log is closed.
    void write(const Json& event);

    // Logs every remote call the session runs, the state of the connection
    // to the server and every change of a user's model in `scene`. Beside
    // whoever else listens to the session; watching again moves the log.
    void watch(Session& session, ClientScene& scene);
    // Stops all of that; the process's own shutdown empties the roster, which
    // is no user leaving.
    void unwatch(Session& session, ClientScene& scene);

private:
    std::FILE* mOut = nullptr;
    bool mOwned = false;
    SubscriptionId mSubscription = 0; // to the session watched, if any
    std::string mLastState;           // the connection state written last
};

// The process's event log. Global because the command line opens it before
// any session exists, and it outlives each session a window starts: it
// watches one after the other.
extern EventLog gEventLog;

} // namespace seafold
