// The windowed program's event log: with SEAFOLD_EVENT_LOG=FILE set, the
// same JSON lines that seafold-headless --events prints (remote calls run
// here, the connection's state, every change of a user's model in the scene),
// plus this user's own input and model, each with the wall-clock time in ms:
//   {"rpc": "s2cmakeMovement", "args": [0, 0, -3, "alice"], "t": ...}
//   {"state": "connected", "t": ...}
//   {"model": "alice", "entity": "boat.mesh", "pos": [0, 0, -3], "t": ...}
//   {"key": "W", "down": true, "t": ...}
//   {"own": "boat.mesh", "pos": [0, 0, -3], "t": ...}
//   {"frames": 600, "fps": 61.2, "t": ...}
#pragma once

#include <string>

namespace seafold {

// Opens the log named by SEAFOLD_EVENT_LOG, if set, and connects it to the
// session's observers and the renderer's scene of other users' models. False
// when it is set but the file cannot be written.
bool startEventLogFromEnvironment(std::string* error);

// Whether the log is being written.
bool eventLogActive();

// Writes one line: {BODY, "t": now}. Does nothing while no log is open.
void logEvent(const std::string& body);

// Flushes and closes the log.
void stopEventLog();

} // namespace seafold
