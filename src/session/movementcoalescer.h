// Movement merged while it waits: a sender that moves every frame puts at
// most one movement into each packet, and the last unsent state wins.
//
// A movement event still waiting to be sent takes more deltas, summed into
// its arguments, as long as two things hold: the event can still be changed
// in place (posted on one connection only, never written into a packet), and
// nothing was posted after it, so that nothing overtakes it. On the server a
// receiver's queue holds one such movement per mover; an event about one
// user (the user's selection, leave, introduction) ends only that user's
// movement, since it must not be overtaken by it, while the others' go on
// being summed.
//
// The coalescer knows nothing of connections: it is handed how to post a
// movement and how to add to one. The connection that owns it tells it of
// every event posted on it (notePosted) and routes the posts about one user
// through postAbout.
//
// Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <unordered_map>

#include "base/object.h"

namespace seafold {

class MovementCoalescer {
public:
    // Adds a delta to a movement event still waiting: false when the event
    // cannot take it (no longer changeable, or the sum would be unusable).
    using Amend = std::function<bool(Object* event, double dx, double dy, double dz)>;
    // Makes a movement event and posts it: the event posted, or null when
    // nothing was.
    using Post = std::function<RefPtr<Object>()>;

    explicit MovementCoalescer(Amend amend) : mAmend(std::move(amend)) {}

    // The sender's own movement (a client's). False when nothing could be
    // queued.
    bool addOwn(double dx, double dy, double dz, const Post& post);
    // A movement of the user `moverId` (never 0) for this receiver.
    bool addRelayed(uint64_t moverId, double dx, double dy, double dz, const Post& post);

    // Every event posted on the connection, the coalescer's own included,
    // from inside the post.
    void notePosted();
    // Runs `post` as a post about the user `userId` (never 0).
    bool postAbout(uint64_t userId, const std::function<bool()>& post);
    // The user left: no movement of theirs is amended any more.
    void forget(uint64_t moverId) { mRelayed.erase(moverId); }
    bool knows(uint64_t moverId) const { return mRelayed.count(moverId) != 0; }

private:
    struct Pending {
        RefPtr<Object> event;
        uint64_t epoch = 0;
    };
    bool add(Pending& pending, double dx, double dy, double dz, const Post& post);

    Amend mAmend;
    // Bumped by every post except a pending movement's own and those about
    // one user: a pending movement from an older epoch has something queued
    // after it.
    uint64_t mPostEpoch = 0;
    bool mPostingPending = false;
    uint64_t mPostingAbout = 0; // the user of the post under way, if it is about one
    Pending mOwn;
    std::unordered_map<uint64_t, Pending> mRelayed; // by mover
};

} // namespace seafold
