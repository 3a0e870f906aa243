#include "session/hostuser.h"
#include "session/chat.h"
#include "session/names.h"
#include "session/relay.h"
#include "session/session.h"

namespace seafold {

ClientRecord* HostUser::record() const
{
    Roster& roster = mSession.roster();
    for (size_t i = 0; mId && i < roster.size(); ++i)
        if (roster[i].id == mId)
            return &roster[i];
    return nullptr;
}

bool HostUser::relay(const UserAction& action)
{
    ClientRecord* host = record();
    if (!host)
        return false;
    relayUserAction(mSession, *host, action);
    return true;
}

std::string HostUser::join(const std::string& name)
{
    leave();
    Roster& roster = mSession.roster();
    const std::string unique = roster.uniqueName(name);
    ClientRecord& host = roster.append(unique, nullptr);
    host.local = true;
    host.marks = mSession.ownMarks();
    mId = host.id;
    relay(UserAction{});
    return unique;
}

void HostUser::leave()
{
    UserAction action;
    action.kind = UserAction::Leave;
    relay(action);
    mId = 0;
}

void HostUser::select(const std::string& meshName)
{
    UserAction action;
    action.kind = UserAction::Select;
    action.text = meshName;
    relay(action);
}

void HostUser::move(double dx, double dy, double dz)
{
    UserAction action;
    action.kind = UserAction::Move;
    action.dx = dx;
    action.dy = dy;
    action.dz = dz;
    relay(action);
}

void HostUser::turn(const Orientation& orientation)
{
    UserAction action;
    action.kind = UserAction::Turn;
    action.orientation = orientation;
    relay(action);
}

bool HostUser::sendVoiceFrames(const RefPtr<ByteBuffer>& frames, bool endsSpurt, uint32_t nowMs)
{
    std::vector<OpusFrameView> split;
    if (!record() || !frames || !splitVoiceFrames(frames, split))
        return false;
    if (split.empty() && !endsSpurt)
        return true;
    UserAction action;
    action.kind = UserAction::VoiceFrames;
    action.sequence = mVoiceNumbers.take(uint32_t(split.size()), nowMs, endsSpurt);
    action.endsSpurt = endsSpurt;
    action.data = frames;
    action.frames = &split;
    action.voice = &mVoice;
    action.nowMs = nowMs;
    return relay(action);
}

void HostUser::serviceVoice(uint32_t nowMs)
{
    if (ClientRecord* host = record())
        serviceRelayedVoice(mSession, *host, mVoice, nowMs);
}

bool HostUser::chat(const std::string& text)
{
    if (text.empty() || text.size() > ChatLimiter::MaxLineBytes || !chatLineRefusal(text).empty())
        return false;
    UserAction action;
    action.kind = UserAction::Chat;
    action.text = text;
    return relay(action);
}

SimpleEventConnection* HostUser::slowestListener() const
{
    return slowestSeafoldReceiver(mSession, record());
}

} // namespace seafold
