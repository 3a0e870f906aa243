// What the windowed program shows of its session: who is there, how the
// connection to the server fares, who is talking, where voices play from and
// whether this user's push-to-talk captures anything. The scene asks for it
// through its SessionPort; this is where the port finds the answers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "scene/sessionport.h"
#include "session/subscribers.h"

namespace seafold {

class Session;
class SimpleEventConnection;
class Roster;

// What the session last said about the connection to the server.
struct ConnectionReport {
    std::string state; // empty until the first report
    std::string reason;
};

// Follows the connection's state reports for the display, beside whoever
// else listens to the session. `isClient` starts a client's report at
// "connecting": its connection is being made from the start. Watching again
// starts over.
void watchSessionForDisplay(Session& session, bool isClient);

// The state reports seen so far (cleared by watchSessionForDisplay).
const ConnectionReport& connectionReport();

// `heard` hears the roster entry of everyone whose voice arrives (on the
// server every client's, on a client what the server relays), until the
// session unsubscribes the id returned. A voice under a name not in the
// roster is not told.
SubscriptionId subscribeSpeakersOf(Session& session, std::function<void(uint64_t userId)> heard);

// Places the session's voices where `where` says (see placeVoices).
void placeSessionVoices(Session& session, const SessionPort::VoicePlacer& where);

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
