#include "session/hostuser.h"
#include "session/names.h"
#include "session/simpleeventconnection.h"
#include "session/wireversion.h"

#include <algorithm>

namespace seafold {

namespace {

// Runs `action` on the connection of every client in the roster.
template <class Action> void forEachClient(Roster& roster, Action action)
{
    for (size_t i = 0; i < roster.size(); ++i)
        if (SimpleEventConnection* client = roster[i].connection)
            action(client);
}

} // namespace

ClientRecord* HostUser::record() const
{
    Roster& roster = mSession.roster();
    for (size_t i = 0; mId && i < roster.size(); ++i)
        if (roster[i].id == mId)
            return &roster[i];
    return nullptr;
}

std::string HostUser::join(const std::string& name)
{
    leave();
    Roster& roster = mSession.roster();
    const std::string unique = roster.uniqueName(name);
    ClientRecord& host = roster.append(unique, nullptr);
    host.local = true;
    mId = host.id;
    StringPtr hostName(unique.c_str());
    forEachClient(roster, [&](SimpleEventConnection* client) {
        client->postAbout(mId, client->s2cIntroduceNewClient_build(hostName));
    });
    return unique;
}

void HostUser::leave()
{
    ClientRecord* host = record();
    if (!host)
        return;
    StringPtr hostName(host->name.c_str());
    forEachClient(mSession.roster(), [&](SimpleEventConnection* client) {
        client->postAbout(mId, client->s2cclientDisconnect_build(hostName));
        client->mMovements.forget(mId);
        client->mOrientations.erase(mId);
        client->mVoiceBatches.forget(mId);
    });
    mSession.roster().removeRecord(host);
    mId = 0;
}

void HostUser::select(const std::string& meshName)
{
    ClientRecord* host = record();
    if (!host)
        return;
    mSession.roster().setClientEntity(meshName, 0, 0, 0, host->name);
    StringPtr hostName(host->name.c_str());
    forEachClient(mSession.roster(), [&](SimpleEventConnection* client) {
        client->postAbout(mId, client->s2cEntityNotify_build(StringPtr(meshName.c_str()), 0.0, 0.0, 0.0, hostName));
    });
}

void HostUser::move(double dx, double dy, double dz)
{
    ClientRecord* host = record();
    if (!host || !isUsableMovement(dx, dy, dz))
        return;
    mSession.roster().moveClient(float(dx), float(dy), float(dz), host->name);
    forEachClient(mSession.roster(),
                  [&](SimpleEventConnection* client) { client->queueRelayedMovement(*host, dx, dy, dz); });
}

void HostUser::turn(const Orientation& orientation)
{
    ClientRecord* host = record();
    const Orientation& o = orientation;
    if (!host || !isUsableOrientation(o.w, o.x, o.y, o.z))
        return;
    mSession.roster().turnClient(unitOrientation(o.w, o.x, o.y, o.z), host->name);
    forEachClient(mSession.roster(), [&](SimpleEventConnection* client) { client->queueRelayedOrientation(*host); });
}

bool HostUser::sendVoiceFrames(const RefPtr<ByteBuffer>& frames, bool endsSpurt, uint32_t nowMs)
{
    ClientRecord* host = record();
    std::vector<OpusFrameView> split;
    if (!host || !frames || !splitVoiceFrames(frames, split))
        return false;
    // Muted by the operator, as any user can be: nobody hears it.
    if (host->muted)
        return true;
    if (split.empty() && !endsSpurt)
        return true;
    const uint32_t count = uint32_t(split.size());
    const uint16_t sequence = mVoiceNumbers.take(count, nowMs, endsSpurt);
    bool baseListeners = false;
    forEachClient(mSession.roster(), [&](SimpleEventConnection* client) {
        if (speaksSeafold(*client))
            client->queueVoiceFrames(*host, sequence, endsSpurt, *frames, count);
        else
            baseListeners = true;
    });
    if (baseListeners || mVoice.playout())
        mVoice.playFrames(sequence, endsSpurt, split, nowMs);
    if (count)
        mSession.reportSpeaker(host->name);
    return true;
}

void HostUser::serviceVoice(uint32_t nowMs)
{
    ClientRecord* host = record();
    if (!host)
        return;
    bool baseListeners = false;
    forEachClient(mSession.roster(),
                  [&](SimpleEventConnection* client) { baseListeners = baseListeners || !speaksSeafold(*client); });
    RefPtr<ByteBuffer> lpc = mVoice.service(nowMs, baseListeners);
    if (!lpc || lpc->size() == 0)
        return;
    StringPtr hostName(host->name.c_str());
    forEachClient(mSession.roster(), [&](SimpleEventConnection* client) {
        if (!speaksSeafold(*client))
            client->postAbout(mId, client->s2cVoice_build(lpc, hostName));
    });
}

bool HostUser::chat(const std::string& text)
{
    ClientRecord* host = record();
    if (!host || text.empty() || text.size() > SimpleEventConnection::MaxChatBytes || !chatLineRefusal(text).empty())
        return false;
    RefPtr<ByteBuffer> data = new ByteBuffer(uint32_t(text.size()));
    std::copy(text.begin(), text.end(), data->data());
    StringPtr hostName(host->name.c_str());
    forEachClient(mSession.roster(), [&](SimpleEventConnection* client) {
        if (speaksSeafold(*client))
            client->postAbout(mId, client->s2cChat_build(hostName, data));
    });
    return true;
}

SimpleEventConnection* HostUser::slowestListener() const
{
    SimpleEventConnection* slowest = nullptr;
    double slowestBytesPerSecond = 0;
    forEachClient(mSession.roster(), [&](SimpleEventConnection* client) {
        if (!speaksSeafold(*client))
            return;
        const double bytesPerSecond =
            double(client->packetSize()) * 1000.0 / double(std::max<uint32_t>(client->sendInterval(), 1));
        if (!slowest || bytesPerSecond < slowestBytesPerSecond) {
            slowest = client;
            slowestBytesPerSecond = bytesPerSecond;
        }
    });
    return slowest;
}

} // namespace seafold
