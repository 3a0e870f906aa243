// What waits unsent on one connection, kept per user it is about, so that a
// newer value joins the one still waiting instead of queueing behind it:
// movements are summed (MovementCoalescer), orientations replaced
// (OrientationCoalescer), a speaker's Opus frames gathered into one event
// (VoiceFrameBatches).
//
// On a client the one user is the client itself (key 0: its own movement
// and orientation). On the server each client's connection keeps an entry
// per other user relayed to that client, until the user leaves (forget):
// the leave path is the one place that ends them.
//
// Main thread only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "session/motionplayout.h"
#include "session/movementcoalescer.h"
#include "session/orientationcoalescer.h"
#include "session/voiceframes.h"

namespace seafold {

class ByteBuffer;
class NetEvent;
class SimpleEventConnection;
struct ClientRecord;

class OutgoingUpdates {
public:
    explicit OutgoingUpdates(SimpleEventConnection& connection);
    OutgoingUpdates(const OutgoingUpdates&) = delete;
    OutgoingUpdates& operator=(const OutgoingUpdates&) = delete;

    // ---- this end's own (a client's) ----
    // A movement by a delta, as c2smakeMovement: summed into the one still
    // waiting; false when nothing could be queued or the delta is unusable.
    bool sendMovement(double dx, double dy, double dz);
    // A usable orientation made a unit one, as c2sOrientation, replacing
    // the one still waiting. The caller checks the peer's version.
    bool sendOrientation(const Orientation& orientation);

    // ---- about other users (the server, on a receiver's connection) ----
    // Posts an event about one user; it ends only that user's pending
    // movement, so other users' movements are still summed.
    bool postAbout(uint64_t userId, NetEvent* event);
    void queueMovement(const ClientRecord& mover, double dx, double dy, double dz);
    // `user`'s orientation, replacing theirs still waiting here; nothing
    // to a peer of version 0.
    void queueOrientation(const ClientRecord& user);
    // `speaker`'s Opus frames, joined into that speaker's event still
    // waiting here. The caller checks the peer's version.
    void queueVoiceFrames(const ClientRecord& speaker, uint32_t sequence, bool endsSpurt, const ByteBuffer& frames,
                          uint32_t frameCount);

    // Every event posted on the connection (from RPCPostObserver).
    void notePosted(bool guaranteed);
    // The user left: nothing waiting about them is amended any more, and
    // nothing of theirs is kept.
    void forget(uint64_t userId);
    // Entries kept about `userId` (movement, orientation, voice batch).
    size_t entriesAbout(uint64_t userId) const;

private:
    SimpleEventConnection& mConnection;
    MovementCoalescer mMovements;
    OrientationCoalescer mOrientations;
    VoiceFrameBatches mVoiceBatches;
};

} // namespace seafold
