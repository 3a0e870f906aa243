#include "app/sessionview.h"

#include "session/roster.h"
#include "session/simpleeventconnection.h"

#include <algorithm>

namespace seafold {

namespace {

ConnectionReport gConnectionReport;
std::string gSessionAddressText;
SubscriptionId gWatchSubscription = 0; // the display's, to the session watched

// The voice leveller's floor: below it samples pass unscaled.
constexpr int32_t LevelFloor = 2048;
constexpr int32_t FullScale = 32767;

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

void watchSessionForDisplay(Session& session, bool isClient)
{
    // Ids are unique in the process: only an earlier watch of this session goes.
    session.unsubscribe(gWatchSubscription);
    gConnectionReport = ConnectionReport();
    if (isClient)
        gConnectionReport.state = "connecting";

    SessionListener listener;
    listener.onConnectionState = [](const char* state, const char* reason) {
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
    gWatchSubscription = session.subscribe(std::move(listener));
}

const ConnectionReport& connectionReport()
{
    return gConnectionReport;
}

SubscriptionId subscribeSpeakersOf(Session& session, std::function<void(uint64_t userId)> heard)
{
    SessionListener listener;
    // The speaker's roster entry as it stands when the voice arrives; a
    // voice under a name nobody has is nobody's.
    listener.onSpeaker = [&session, heard = std::move(heard)](const std::string& speaker) {
        if (const ClientRecord* record = session.roster().find(speaker))
            heard(record->id);
    };
    return session.subscribe(std::move(listener));
}

void placeSessionVoices(Session& session, const SessionPort::VoicePlacer& where)
{
    placeVoices(session, where);
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
    status.userName = userName;
    status.hosting = !isClient;
    if (isClient) {
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
        if (record.local)
            continue; // the server's own user is shown as "you"
        PersonStatus person;
        person.id = record.id;
        person.name = record.name;
        person.model = record.entityName;
        person.mutedForAll = !isClient && record.muted;
        person.hosts = (record.marks & UserMarkHost) != 0;
        person.selfMuted = (record.marks & UserMarkMuted) != 0;
        person.deafened = (record.marks & UserMarkDeafened) != 0;
        if (record.connection) {
            person.hasLink = true;
            person.link = healthOf(*record.connection);
        }
        status.people.push_back(std::move(person));
    }
}

float talkLevelOf(int32_t voiceLevel)
{
    float level = float(voiceLevel - LevelFloor) / float(FullScale - LevelFloor);
    return std::clamp(level, 0.0f, 1.0f);
}

} // namespace seafold
