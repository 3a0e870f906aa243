#include "app/sessionview.h"

#include "base/platform.h"
#include "session/roster.h"
#include "session/simpleeventconnection.h"

#include <algorithm>
#include <cstring>

#include <nlohmann/json.hpp>

namespace seafold {

namespace {

ConnectionReport gConnectionReport;
VoiceActivity gVoiceActivity;
std::string gSessionAddressText;

// The voice leveller's floor: below it samples pass unscaled.
constexpr int32_t kLevelFloor = 2048;
constexpr int32_t kFullScale = 32767;

LinkHealth healthOf(SimpleEventConnection& connection)
{
    LinkHealth health;
    const NetConnection::Stats& stats = connection.stats();
    health.roundTripMs = stats.roundTripMs;
    health.packetsLost = stats.packetsDropped;
    EventConnection::QueueDepths queues = connection.queueDepths();
    health.queued = queues.orderedSend + queues.unorderedSend;
    return health;
}

} // namespace

bool VoiceActivity::playing(const std::string& speaker, uint32_t nowMs) const
{
    auto it = mLastHeard.find(speaker);
    // Unsigned difference: right across the wrap of the millisecond clock.
    return it != mLastHeard.end() && uint32_t(nowMs - it->second) < kVoiceHoldMs;
}

void watchSessionForDisplay(Session& session, bool isClient)
{
    gConnectionReport = ConnectionReport();
    if (isClient)
        gConnectionReport.state = "connecting";
    gVoiceActivity.clear();

    auto stateBefore = session.onConnectionState;
    session.onConnectionState = [stateBefore](const char* state, const char* reason) {
        if (stateBefore)
            stateBefore(state, reason);
        std::string now = state ? state : "";
        std::string why = reason ? reason : "";
        // A lost connection about to be tried again still reads as lost,
        // with the retry after its reason.
        if (now == "retrying" && gConnectionReport.state == "disconnected") {
            gConnectionReport.reason = (why.empty() ? gConnectionReport.reason : why) + "; trying again";
            return;
        }
        gConnectionReport.state = now;
        gConnectionReport.reason = why;
    };

    // The server hears each client on that client's connection.
    Roster& roster = session.roster();
    auto voiceBefore = session.onVoice;
    session.onVoice = [voiceBefore, &roster](SimpleEventConnection* connection, ByteBuffer* data) {
        if (voiceBefore)
            voiceBefore(connection, data);
        ClientRecord* record = connection ? roster.findByConnection(connection) : nullptr;
        if (record)
            gVoiceActivity.heard(record->name, getRealMilliseconds());
    };

    // A client hears everyone on its one connection; the relayed call names
    // the speaker.
    auto rpcBefore = session.onRpc;
    session.onRpc = [rpcBefore](const char* rpc, const Json& args) {
        if (rpcBefore)
            rpcBefore(rpc, args);
        if (std::strcmp(rpc, "s2cVoice") == 0 && args.size() >= 2 && args[1].is_string())
            gVoiceActivity.heard(args[1].get<std::string>(), getRealMilliseconds());
    };
}

const ConnectionReport& connectionReport()
{
    return gConnectionReport;
}

VoiceActivity& voiceActivity()
{
    return gVoiceActivity;
}

void setSessionAddressText(const std::string& text)
{
    gSessionAddressText = text;
}

void describeSession(const Roster& roster, SimpleEventConnection* toServer, bool isClient, const std::string& userName,
                     SessionStatus& status)
{
    status = SessionStatus();
    status.address = gSessionAddressText;
    if (isClient) {
        status.userName = userName;
        status.connection = gConnectionReport.state;
        status.reason = gConnectionReport.reason;
        if (toServer) {
            status.hasLink = true;
            status.link = healthOf(*toServer);
        }
    }
    status.people.reserve(roster.size());
    for (size_t i = 0; i < roster.size(); ++i) {
        const ClientRecord& record = roster[i];
        PersonStatus person;
        person.name = record.name;
        person.model = record.entityName;
        if (record.connection) {
            person.hasLink = true;
            person.link = healthOf(*record.connection);
        }
        status.people.push_back(std::move(person));
    }
}

float talkLevelOf(int32_t voiceLevel)
{
    float level = float(voiceLevel - kLevelFloor) / float(kFullScale - kLevelFloor);
    return std::clamp(level, 0.0f, 1.0f);
}

} // namespace seafold
