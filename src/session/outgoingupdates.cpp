#include "session/outgoingupdates.h"
#include "session/clientvoice.h"
#include "session/simpleeventconnection.h"
#include "session/wireversion.h"

#include <algorithm>

namespace seafold {

namespace {

// Adds a delta to the first three (F64) arguments of a movement event still
// waiting: a client's own (three arguments) or a relayed one (with the
// mover's name). The sum must stay usable, or the receiver would drop it whole.
template <class... Args> bool addToMovement(RPCEvent* event, double dx, double dy, double dz)
{
    auto* values = event->arguments<Args...>();
    if (!values)
        return false;
    const double x = std::get<0>(*values) + dx, y = std::get<1>(*values) + dy, z = std::get<2>(*values) + dz;
    if (!isUsableMovement(x, y, z))
        return false;
    std::get<0>(*values) = x;
    std::get<1>(*values) = y;
    std::get<2>(*values) = z;
    return true;
}

bool amendMovement(Object* object, double dx, double dy, double dz)
{
    auto* event = static_cast<RPCEvent*>(object);
    if (!event->isAmendable())
        return false;
    if (event->arguments<double, double, double>())
        return addToMovement<double, double, double>(event, dx, dy, dz);
    return addToMovement<double, double, double, StringPtr>(event, dx, dy, dz);
}

} // namespace

OutgoingUpdates::OutgoingUpdates(SimpleEventConnection& connection) : mConnection(connection), mMovements(amendMovement)
{
}

bool OutgoingUpdates::sendMovement(double dx, double dy, double dz)
{
    if (!isUsableMovement(dx, dy, dz))
        return false;
    return mMovements.addOwn(dx, dy, dz, [&]() -> RefPtr<Object> {
        RefPtr<RPCEvent> event = mConnection.c2smakeMovement_build(dx, dy, dz);
        return event && mConnection.postEvent(event) ? event.get() : nullptr;
    });
}

bool OutgoingUpdates::sendOrientation(const Orientation& o)
{
    if (!isUsableOrientation(o.w, o.x, o.y, o.z))
        return false;
    const Orientation unit = unitOrientation(o.w, o.x, o.y, o.z);
    return mOrientations.keepNewest(0, unit, [&]() -> RefPtr<RPCEvent> {
        RefPtr<RPCEvent> event = mConnection.c2sOrientation_build(unit.w, unit.x, unit.y, unit.z);
        return event && mConnection.postEvent(event) ? event : nullptr;
    });
}

bool OutgoingUpdates::postAbout(uint64_t userId, NetEvent* event)
{
    return mMovements.postAbout(userId, [&] { return mConnection.postEvent(event); });
}

void OutgoingUpdates::queueMovement(const ClientRecord& mover, double dx, double dy, double dz)
{
    mMovements.addRelayed(mover.id, dx, dy, dz, [&]() -> RefPtr<Object> {
        RefPtr<RPCEvent> event = mConnection.s2cmakeMovement_build(dx, dy, dz, StringPtr(mover.name.c_str()));
        return event && mConnection.postEvent(event) ? event.get() : nullptr;
    });
}

void OutgoingUpdates::queueOrientation(const ClientRecord& user)
{
    if (!speaksSeafold(mConnection))
        return;
    const Orientation& o = user.orientation;
    mOrientations.keepNewest(user.id, o, [&]() -> RefPtr<RPCEvent> {
        RefPtr<RPCEvent> event = mConnection.s2cOrientation_build(o.w, o.x, o.y, o.z, StringPtr(user.name.c_str()));
        return event && postAbout(user.id, event) ? event : nullptr;
    });
}

void OutgoingUpdates::queueVoiceFrames(const ClientRecord& speaker, uint32_t sequence, bool endsSpurt,
                                       const ByteBuffer& frames, uint32_t frameCount)
{
    const uint32_t codec = uint32_t(VoiceCodecId::Opus);
    const bool repeats = voiceRepeatFits(linkBytesPerSecond(mConnection));
    const uint32_t budget = voiceBytesPerPacket(mConnection.packetSize());
    uint32_t skip = 0;
    if (mVoiceBatches.amend(speaker.id, codec, sequence, endsSpurt, frames, frameCount, repeats, budget, &skip))
        return;
    // A new event: without the speaker's repeat of a frame this receiver
    // was sent already when its link has no room for it, and only the
    // newest frames within the budget.
    std::vector<OpusFrameView> split;
    if (!splitOpusFrames(frames.data(), frames.size(), split) || split.size() != frameCount)
        return;
    skip = std::min<uint32_t>(skip, frameCount);
    split.erase(split.begin(), split.begin() + skip);
    split.erase(split.begin(), split.begin() + mVoiceBatches.overBudget(split, budget));
    if (split.empty() && !endsSpurt)
        return;
    RefPtr<ByteBuffer> sent = framesBuffer(split);
    if (!sent)
        return;
    sequence = uint16_t(sequence + frameCount - split.size());
    frameCount = uint32_t(split.size());
    RefPtr<RPCEvent> event =
        mConnection.s2cVoiceFrames_build(codec, sequence, endsSpurt, sent, StringPtr(speaker.name.c_str()));
    if (event && mConnection.postEvent(event))
        mVoiceBatches.posted(speaker.id, event, codec, sequence, frameCount);
}

void OutgoingUpdates::notePosted(bool guaranteed)
{
    // An unguaranteed event keeps no order with the others: a movement
    // posted before it may still take more.
    if (guaranteed)
        mMovements.notePosted();
}

void OutgoingUpdates::forget(uint64_t userId)
{
    mMovements.forget(userId);
    mOrientations.forget(userId);
    mVoiceBatches.forget(userId);
}

size_t OutgoingUpdates::entriesAbout(uint64_t userId) const
{
    return size_t(mMovements.knows(userId)) + size_t(mOrientations.knows(userId)) + size_t(mVoiceBatches.knows(userId));
}

} // namespace seafold
