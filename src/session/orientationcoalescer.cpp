#include "session/orientationcoalescer.h"

namespace seafold {

namespace {

// Writes `o` over the first four (F64) arguments of an orientation event: a
// client's own (four arguments) or a relayed one (with the user's name).
template <class... Args> bool replaceOrientation(RPCEvent* event, const Orientation& o)
{
    auto* values = event->arguments<Args...>();
    if (!values)
        return false;
    std::get<0>(*values) = o.w;
    std::get<1>(*values) = o.x;
    std::get<2>(*values) = o.y;
    std::get<3>(*values) = o.z;
    return true;
}

bool amendOrientation(RPCEvent* event, const Orientation& o)
{
    if (!event->isAmendable())
        return false;
    return replaceOrientation<double, double, double, double>(event, o) ||
           replaceOrientation<double, double, double, double, StringPtr>(event, o);
}

} // namespace

bool OrientationCoalescer::keepNewest(uint64_t userId, const Orientation& orientation, const Post& post)
{
    RefPtr<RPCEvent>& waiting = mLastPosted[userId];
    if (waiting && amendOrientation(waiting, orientation))
        return true;
    waiting = post();
    return bool(waiting);
}

} // namespace seafold
