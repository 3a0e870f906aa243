// The user of a server that takes part in its own session: a windowed
// server's host. The host is a roster entry like every client's, without a
// connection; what the host does goes through the one relay path a client's
// actions take (relay.h), under the host's roster name, so clients of
// either wire version introduce and show the host as any other user.
#pragma once

#include <string>

#include "base/object.h"
#include "session/clientvoice.h"
#include "session/roster.h"
#include "session/voiceframes.h"

namespace seafold {

class ByteBuffer;
class Session;
class SimpleEventConnection;
struct UserAction;

class HostUser {
public:
    explicit HostUser(Session& session) : mSession(session) { mVoice.setHeardHere(false); }
    HostUser(const HostUser&) = delete;
    HostUser& operator=(const HostUser&) = delete;
    ~HostUser() { leave(); }

    // Joins as `name` (cut to MaxNameBytes, made unique as a client's
    // name is) and introduces the host to every client joined now; later
    // clients learn of the host as of anyone before them. Returns the name
    // the host got. Joining again first leaves.
    std::string join(const std::string& name);
    // Every client is told the host left.
    void leave();
    // The host's roster entry; none before join().
    ClientRecord* record() const;

    // The host picked `meshName`, moved by a delta, turned: applied to the
    // roster and relayed to every client, as a client's would be.
    void select(const std::string& meshName);
    void move(double dx, double dy, double dz);
    void turn(const Orientation& orientation);

    // The host's Opus frames of a tick (each with its length), `endsSpurt`
    // after the last of a press: to every client that speaks version 1, and
    // played (silently here) for those of version 0. False when the frames
    // are malformed.
    bool sendVoiceFrames(const RefPtr<ByteBuffer>& frames, bool endsSpurt, uint32_t nowMs);
    // Once per main-loop pass: the host's voice due by `nowMs` in LPC-10 to
    // the clients of version 0, as a client's is (serviceVoice).
    void serviceVoice(uint32_t nowMs);
    // The host's chat line to every client of version 1; false when it is
    // empty or longer than SimpleEventConnection::MaxChatBytes.
    bool chat(const std::string& text);

    // The client of version 1 with the slowest link, whose rate the host's
    // voice is encoded for; none while no such client is there.
    SimpleEventConnection* slowestListener() const;

private:
    // Relays `action` as the host's; false before join().
    bool relay(const UserAction& action);

    Session& mSession;
    uint64_t mId = 0; // the roster entry's; 0 while the host has not joined
    VoiceFrameNumbers mVoiceNumbers;
    ClientVoice mVoice; // the host's voice played silently, for the LPC-10 of version 0
};

} // namespace seafold
