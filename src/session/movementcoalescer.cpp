#include "session/movementcoalescer.h"

namespace seafold {

bool MovementCoalescer::add(Pending& pending, double dx, double dy, double dz, const Post& post)
{
    if (pending.event && pending.epoch == mPostEpoch && mAmend(pending.event.get(), dx, dy, dz))
        return true;
    mPostingPending = true;
    pending.event = post();
    mPostingPending = false;
    if (!pending.event)
        return false;
    pending.epoch = mPostEpoch;
    return true;
}

bool MovementCoalescer::addOwn(double dx, double dy, double dz, const Post& post)
{
    return add(mOwn, dx, dy, dz, post);
}

bool MovementCoalescer::addRelayed(uint64_t moverId, double dx, double dy, double dz, const Post& post)
{
    return add(mRelayed[moverId], dx, dy, dz, post);
}

void MovementCoalescer::notePosted()
{
    if (mPostingPending)
        return;
    if (mPostingAbout) {
        auto pending = mRelayed.find(mPostingAbout);
        if (pending != mRelayed.end())
            pending->second.event = nullptr;
        return;
    }
    ++mPostEpoch;
}

bool MovementCoalescer::postAbout(uint64_t userId, const std::function<bool()>& post)
{
    mPostingAbout = userId;
    const bool posted = post();
    mPostingAbout = 0;
    return posted;
}

} // namespace seafold
