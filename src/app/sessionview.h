// What the windowed program shows of its session: who is there, how the
// connection to the server fares, whose voice is playing and whether this
// user's push-to-talk captures anything. The scene asks for it through its
// SessionPort; this is where the port finds the answers.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "scene/sessionport.h"

namespace seafold {

class Session;
class SimpleEventConnection;
class Roster;

// Whose voice arrived lately. A speaker counts as playing from a message
// until kVoiceHoldMs after the latest one: messages come every 100 ms while
// someone talks (paced sending can hold one back a little), so the mark does
// not flicker between them and goes out soon after the speaker stops.
class VoiceActivity {
public:
    static constexpr uint32_t kVoiceHoldMs = 400;

    void heard(const std::string& speaker, uint32_t nowMs) { mLastHeard[speaker] = nowMs; }
    bool playing(const std::string& speaker, uint32_t nowMs) const;
    void clear() { mLastHeard.clear(); }

private:
    std::map<std::string, uint32_t> mLastHeard;
};

// What the session last said about the connection to the server.
struct ConnectionReport {
    std::string state; // empty until the first report
    std::string reason;
};

// Follows the session for the display: the connection's state reports,
// and who speaks (on the server every client's voice, on a client what the
// server relays). Observers already set on the session (the event log) are
// kept and run first. `isClient` starts a client's report at "connecting":
// its connection is being made from the start.
void watchSessionForDisplay(Session& session, bool isClient);

// The state reports and voice seen so far (cleared by watchSessionForDisplay).
const ConnectionReport& connectionReport();
VoiceActivity& voiceActivity();

// The address shown for the session: the server's bind address, or the
// server a client joins, as given on the command line.
void setSessionAddressText(const std::string& text);

// Fills `status` from the roster, the connection to the server (a client)
// or every client's connection (the server), and the reports above.
void describeSession(const Roster& roster, SimpleEventConnection* toServer, bool isClient, const std::string& userName,
                     SessionStatus& status);

// The microphone's loudness for a meter, from the voice leveller's level
// (which includes its quiet floor): 0 at the floor, 1 at full scale.
float talkLevelOf(int32_t voiceLevel);

} // namespace seafold
