// The orientation of users' models: remote calls of version 1, so a peer of
// the first wire version neither sends nor receives them.
//
// An orientation is absolute, unlike movement: the newest value is the whole
// truth, so an event still waiting unsent simply takes the newer value in
// place. A user turning every frame thus puts at most one orientation into
// each packet, and a lost turn is never summed into anything.
#include "session/connectiontrace.h"
#include "session/simpleeventconnection.h"
#include "session/wireversion.h"

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

bool SimpleEventConnection::keepNewestOrientation(uint64_t userId, const Orientation& orientation,
                                                  const std::function<RefPtr<RPCEvent>()>& post)
{
    RefPtr<RPCEvent>& waiting = mOrientations[userId];
    if (waiting && amendOrientation(waiting, orientation))
        return true;
    waiting = post();
    return bool(waiting);
}

bool SimpleEventConnection::sendOrientation(const Orientation& o)
{
    if (!speaksSeafold(*this) || !isUsableOrientation(o.w, o.x, o.y, o.z))
        return false;
    const Orientation unit = unitOrientation(o.w, o.x, o.y, o.z);
    return keepNewestOrientation(0, unit, [&]() -> RefPtr<RPCEvent> {
        RefPtr<RPCEvent> event = c2sOrientation_build(unit.w, unit.x, unit.y, unit.z);
        return event && postEvent(event) ? event : nullptr;
    });
}

void SimpleEventConnection::queueRelayedOrientation(const ClientRecord& user)
{
    if (!speaksSeafold(*this))
        return;
    const Orientation& o = user.orientation;
    keepNewestOrientation(user.id, o, [&]() -> RefPtr<RPCEvent> {
        RefPtr<RPCEvent> event = s2cOrientation_build(o.w, o.x, o.y, o.z, StringPtr(user.name.c_str()));
        return event && postAbout(user.id, event) ? event : nullptr;
    });
}

// Applied to the server's own scene and relayed at once under the sender's
// roster name: one small absolute value per user and receiver waits at most,
// so it needs no share of the relay budget.
SF_IMPLEMENT_SEAFOLD_RPC(SimpleEventConnection, c2sOrientation, GuaranteedOrdered, DirClientToServer,
                         (double w, double x, double y, double z))
{
    trace("c2sOrientation", w, x, y, z);
    Session* s = session();
    ClientRecord* sender = senderRecord();
    if (!s || !sender || !isUsableOrientation(w, x, y, z))
        return;
    s->roster().turnClient(unitOrientation(w, x, y, z), sender->name);
    forEachOtherClient([&](SimpleEventConnection* other) { other->queueRelayedOrientation(*sender); });
}

SF_IMPLEMENT_SEAFOLD_RPC(SimpleEventConnection, s2cOrientation, GuaranteedOrdered, DirServerToClient,
                         (double w, double x, double y, double z, StringPtr clientName))
{
    trace("s2cOrientation", w, x, y, z, clientName);
    if (!isUsableOrientation(w, x, y, z))
        return;
    if (Session* s = session())
        s->roster().turnClient(unitOrientation(w, x, y, z), clientName.c_str());
}

} // namespace seafold
