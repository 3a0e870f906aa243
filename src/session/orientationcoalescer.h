// Orientation merged while it waits. An orientation is absolute, unlike a
// movement: the newest value is the whole truth, so an event still waiting
// unsent simply takes the newer value in place. A user turning every frame
// thus puts at most one orientation into each packet per user, and a lost
// turn is never summed into anything.
//
// The coalescer knows nothing of connections: it is handed how to post an
// orientation event, and keeps the one last posted per user (0: the sender's
// own) until that user leaves.
//
// Main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <unordered_map>

#include "net/rpc.h"
#include "session/motionplayout.h"

namespace seafold {

class OrientationCoalescer {
public:
    // Makes an orientation event and posts it: the event, or null when
    // nothing was posted.
    using Post = std::function<RefPtr<RPCEvent>()>;

    // Puts `orientation` into the event of `userId` still waiting unsent,
    // or posts a new one. False when nothing could be queued.
    bool keepNewest(uint64_t userId, const Orientation& orientation, const Post& post);
    // The user left: nothing of theirs is kept.
    void forget(uint64_t userId) { mLastPosted.erase(userId); }
    bool knows(uint64_t userId) const { return mLastPosted.count(userId) != 0; }
    size_t size() const { return mLastPosted.size(); }

private:
    std::unordered_map<uint64_t, RefPtr<RPCEvent>> mLastPosted;
};

} // namespace seafold
