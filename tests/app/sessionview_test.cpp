// What the People panel learns of the session: the connection's reports and
// who speaks (beside the session's other listeners), the roster as the panel
// lists it, and push-to-talk as it shows.
#include "app/sessionview.h"
#include "session/roster.h"
#include "session/simpleeventconnection.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace seafold {
namespace {

TEST(SessionWatch, ReportsReachTheDisplayBesideEveryOtherListener)
{
    Roster roster;
    Session session(roster, false);
    std::vector<std::string> seen;
    SessionListener log;
    log.onConnectionState = [&](const char* state, const char* reason) {
        seen.push_back(std::string(state) + "/" + reason);
    };
    session.subscribe(log);

    watchSessionForDisplay(session, true);
    watchSessionForDisplay(session, true); // again: still one listener
    EXPECT_EQ(connectionReport().state, "connecting");

    session.reportConnectionState("connected", "");
    EXPECT_EQ(connectionReport().state, "connected");
    session.reportConnectionState("disconnected", "Timeout");
    EXPECT_EQ(connectionReport().state, "disconnected");
    EXPECT_EQ(connectionReport().reason, "Timeout");
    // The retry that follows keeps the loss in view; a failed attempt does not.
    session.reportConnectionState("retrying", "Timeout");
    EXPECT_EQ(connectionReport().state, "disconnected");
    EXPECT_EQ(connectionReport().reason, "Timeout; trying again");
    session.reportConnectionState("connecting", "");
    session.reportConnectionState("failed", "No answer");
    session.reportConnectionState("retrying", "No answer");
    EXPECT_EQ(connectionReport().state, "retrying");
    EXPECT_EQ(seen, (std::vector<std::string>{"connected/", "disconnected/Timeout", "retrying/Timeout", "connecting/",
                                              "failed/No answer", "retrying/No answer"}));

    // A server starts with no report at all.
    watchSessionForDisplay(session, false);
    EXPECT_EQ(connectionReport().state, "");
}

TEST(SessionWatch, SpeakersReachWhoeverSubscribedUntilUnsubscribed)
{
    Roster roster;
    Session session(roster, false);
    const uint64_t alice = roster.append("alice", nullptr).id;
    const uint64_t bob = roster.append("bob", nullptr).id;
    std::vector<uint64_t> heard;
    SubscriptionId id = subscribeSpeakersOf(session, [&](uint64_t userId) { heard.push_back(userId); });
    session.reportSpeaker("alice");
    // A name nobody has here is nobody's voice: nothing to mark.
    session.reportSpeaker("mallory");
    session.reportSpeaker("bob");
    session.unsubscribe(id);
    session.reportSpeaker("alice");
    EXPECT_EQ(heard, (std::vector<uint64_t>{alice, bob}));
}

TEST(DescribeSession, AClientShowsItsReportAndTheOthersInJoinOrder)
{
    Roster roster;
    Session session(roster, false);
    watchSessionForDisplay(session, true);
    setSessionAddressText("127.0.0.1:28000");
    roster.append("carol", nullptr).entityName = "boat.mesh";
    roster.append("alice", nullptr);
    session.reportConnectionState("failed", "No answer");

    SessionStatus status;
    status.people.resize(5); // whatever was there goes
    describeSession(roster, nullptr, true, "bob", status);
    EXPECT_EQ(status.address, "127.0.0.1:28000");
    EXPECT_EQ(status.userName, "bob");
    EXPECT_EQ(status.connection, "failed");
    EXPECT_EQ(status.reason, "No answer");
    EXPECT_FALSE(status.hasLink);
    ASSERT_EQ(status.people.size(), 2u);
    EXPECT_EQ(status.people[0].name, "carol");
    EXPECT_EQ(status.people[0].model, "boat.mesh");
    EXPECT_FALSE(status.people[0].hasLink);
    EXPECT_EQ(status.people[1].name, "alice");

    // The server has no user name and no report of its own.
    describeSession(roster, nullptr, false, "", status);
    EXPECT_EQ(status.userName, "");
    EXPECT_EQ(status.connection, "");
}

TEST(PushToTalk, TheMeterRunsFromTheLevellersFloorToFullScale)
{
    EXPECT_FLOAT_EQ(talkLevelOf(0), 0.0f);
    EXPECT_FLOAT_EQ(talkLevelOf(2048), 0.0f);
    EXPECT_FLOAT_EQ(talkLevelOf(32767), 1.0f);
    EXPECT_FLOAT_EQ(talkLevelOf(70000), 1.0f);
    EXPECT_NEAR(talkLevelOf(2048 + 30719 / 2), 0.5f, 1e-3f);
}

} // namespace
} // namespace seafold
