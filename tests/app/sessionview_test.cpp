// What the People panel learns of the session: the connection's reports and
// who speaks (with the observers already set kept working), the roster as
// the panel lists it, and push-to-talk as it shows.
#include "app/sessionview.h"
#include "base/platform.h"
#include "session/roster.h"
#include "session/simpleeventconnection.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace seafold {
namespace {

TEST(VoiceActivity, ASpeakerPlaysUntilTheHoldAfterTheLatestMessage)
{
    VoiceActivity voice;
    EXPECT_FALSE(voice.playing("alice", 1000));
    voice.heard("alice", 1000);
    EXPECT_TRUE(voice.playing("alice", 1000));
    EXPECT_TRUE(voice.playing("alice", 1000 + VoiceActivity::kVoiceHoldMs - 1));
    EXPECT_FALSE(voice.playing("alice", 1000 + VoiceActivity::kVoiceHoldMs));
    EXPECT_FALSE(voice.playing("bob", 1000));
    // Across the wrap of the millisecond clock.
    voice.heard("bob", 0xFFFFFF00u);
    EXPECT_TRUE(voice.playing("bob", 0x20u));
    voice.clear();
    EXPECT_FALSE(voice.playing("bob", 0x20u));
}

TEST(SessionWatch, ReportsAndVoiceReachThePanelAndTheEarlierObserversStillRun)
{
    Roster roster;
    Session session(roster, false);
    std::vector<std::string> seen;
    session.onConnectionState = [&](const char* state, const char* reason) {
        seen.push_back(std::string(state) + "/" + reason);
    };
    int rpcs = 0;
    session.onRpc = [&](const char*, const Json&) { ++rpcs; };

    watchSessionForDisplay(session, true);
    EXPECT_EQ(connectionReport().state, "connecting");

    session.onConnectionState("connected", "");
    EXPECT_EQ(connectionReport().state, "connected");
    session.onConnectionState("disconnected", "Timeout");
    EXPECT_EQ(connectionReport().state, "disconnected");
    EXPECT_EQ(connectionReport().reason, "Timeout");
    // The retry that follows keeps the loss in view; a failed attempt does not.
    session.onConnectionState("retrying", "Timeout");
    EXPECT_EQ(connectionReport().state, "disconnected");
    EXPECT_EQ(connectionReport().reason, "Timeout; trying again");
    session.onConnectionState("connecting", "");
    session.onConnectionState("failed", "No answer");
    session.onConnectionState("retrying", "No answer");
    EXPECT_EQ(connectionReport().state, "retrying");
    EXPECT_EQ(seen, (std::vector<std::string>{"connected/", "disconnected/Timeout", "retrying/Timeout", "connecting/",
                                              "failed/No answer", "retrying/No answer"}));

    // The relayed voice names its speaker.
    session.onRpc("s2cVoice", Json::array({"0a0b", "alice"}));
    session.onRpc("s2cmakeMovement", Json::array({1.0, 0.0, 0.0, "bob"}));
    session.onRpc("s2cVoice", Json::array({"0a0b"})); // malformed: ignored
    EXPECT_EQ(rpcs, 3);
    uint32_t now = getRealMilliseconds();
    EXPECT_TRUE(voiceActivity().playing("alice", now));
    EXPECT_FALSE(voiceActivity().playing("bob", now));

    // A server starts with no report at all; a new watch forgets the old voice.
    watchSessionForDisplay(session, false);
    EXPECT_EQ(connectionReport().state, "");
    EXPECT_FALSE(voiceActivity().playing("alice", now));
}

TEST(SessionWatch, TheServerHearsEachClientOnItsConnection)
{
    Roster roster;
    Session session(roster, true);
    watchSessionForDisplay(session, false);
    // A voice on a connection that never joined names nobody.
    session.onVoice(nullptr, nullptr);
    EXPECT_FALSE(voiceActivity().playing("", getRealMilliseconds()));
}

TEST(DescribeSession, AClientShowsItsReportAndTheOthersInJoinOrder)
{
    Roster roster;
    Session session(roster, false);
    watchSessionForDisplay(session, true);
    setSessionAddressText("127.0.0.1:28000");
    roster.append("carol", nullptr).entityName = "boat.mesh";
    roster.append("alice", nullptr);
    session.onConnectionState("failed", "No answer");

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
