// What the windowed program shows of the session, without a window: the
// camera's pitch limit, drags that follow the pointer, where End puts the
// own model, where other users' models start, where name labels go, the
// window title, and the People panel's lines.
#include "net/netinterface.h"
#include "scene/controllogic.h"
#include "scene/peopleview.h"
#include "scene/startwindow.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

namespace seafold {
namespace {

// ---- camera and own model -------------------------------------------------------------

TEST(CameraPitch, ALongDragStopsAtTheLimitAndTurnsBackFreely)
{
    // The camera used to pitch without end and turn upside down.
    float pitch = 0;
    for (int i = 0; i < 100; ++i)
        pitch += clampedPitchStep(pitch, 7.5f);
    EXPECT_FLOAT_EQ(pitch, PitchLimitDegrees);
    EXPECT_FLOAT_EQ(clampedPitchStep(pitch, 3.0f), 0.0f);
    EXPECT_FLOAT_EQ(clampedPitchStep(pitch, -10.0f), -10.0f);
    for (int i = 0; i < 100; ++i)
        pitch += clampedPitchStep(pitch, -7.5f);
    EXPECT_FLOAT_EQ(pitch, -PitchLimitDegrees);
    // A camera set beyond the limit from elsewhere may come back but not go further.
    EXPECT_FLOAT_EQ(clampedPitchStep(85.0f, 2.0f), 0.0f);
    EXPECT_FLOAT_EQ(clampedPitchStep(85.0f, -2.0f), -2.0f);
    EXPECT_NEAR(pitchOfDirection(std::sin(30.0f / 57.29578f)), 30.0f, 1e-3f);
    EXPECT_NEAR(pitchOfDirection(-1.5f), -90.0f, 1e-3f); // rounding beyond a unit vector
}

TEST(ModelDrag, MovesAsFarAsThePointerAtTheModelsDistanceWhateverTheFrameRate)
{
    // A 200 pixel drag used to throw the model 193 units at a low frame rate.
    const float fov = 45.0f / 57.29578f;
    float perPixel = unitsPerPixelAt(112.0f, fov, 768.0f);
    EXPECT_NEAR(perPixel, 2 * 112.0f * std::tan(fov / 2) / 768.0f, 1e-6f);
    for (float timeStep : {0.1f, 0.01f}) {
        PendingMotion motion;
        EXPECT_TRUE(addModelDragMotion(false, true, 200.0f, -50.0f, timeStep, perPixel, motion));
        EXPECT_NEAR(motion.translate.x, 200.0f * perPixel, 1e-4f);
        EXPECT_NEAR(motion.translate.y, 50.0f * perPixel, 1e-4f);
        EXPECT_LT(motion.translate.x, 25.0f); // about 24 units: a fifth of the view's width there
        EXPECT_TRUE(motion.mouseMoved);
    }
    PendingMotion both;
    addModelDragMotion(true, true, 30.0f, 10.0f, 0.1f, 0.5f, both);
    EXPECT_FLOAT_EQ(both.translate.z, 20.0f);
    // The left button still turns the model, as before.
    PendingMotion turn;
    addModelDragMotion(true, false, 10.0f, 0.0f, 0.1f, 0.5f, turn);
    EXPECT_FLOAT_EQ(turn.rotX, -10.0f);
    EXPECT_FLOAT_EQ(turn.translate.x, 0.0f);
    PendingMotion none;
    EXPECT_FALSE(addModelDragMotion(false, false, 10.0f, 10.0f, 0.1f, 0.5f, none));
    // A model at the camera still moves; a viewport of no height moves nothing.
    EXPECT_GT(unitsPerPixelAt(0.0f, fov, 768.0f), 0.0f);
    EXPECT_EQ(unitsPerPixelAt(100.0f, fov, 0.0f), 0.0f);
}

TEST(ModelReturn, EndPutsTheModelOnTheViewAxisOrWhereItMeetsTheWater)
{
    // Level view: straight ahead.
    Motion3 ahead = modelReturnTarget({50, 0, 100}, {0, 0, -1});
    EXPECT_FLOAT_EQ(ahead.x, 50.0f);
    EXPECT_FLOAT_EQ(ahead.z, 100.0f - ReturnDistance);
    // Looking steeply down from high up: the model floats where the view
    // axis meets the water, not under it.
    float d = std::sqrt(0.5f);
    Motion3 down = modelReturnTarget({0, 30, 0}, {0, -d, -d});
    EXPECT_FLOAT_EQ(down.y, ModelLevel);
    EXPECT_NEAR(down.z, -(30.0f - WaterLevel), 1e-3f);
    // A camera under the water keeps the point on its view axis.
    Motion3 under = modelReturnTarget({0, -50, 0}, {0, -1, 0});
    EXPECT_FLOAT_EQ(under.y, -50.0f - ReturnDistance);
}

// ---- other users' models ------------------------------------------------------------------

TEST(RingSlots, FreeSlotsNeverOverlapAndTheFirstLieInTheStartView)
{
    // Two users' models used to start inside each other at the origin.
    std::set<std::pair<int, int>> places;
    for (uint32_t slot = 0; slot < 3 * RingSlots; ++slot) {
        Motion3 p = ringSlotPosition(slot);
        float radius = std::sqrt(p.x * p.x + p.z * p.z);
        EXPECT_NEAR(radius, RingRadius * float(slot / RingSlots + 1), 1e-3f);
        EXPECT_TRUE(places.insert({int(std::lround(p.x)), int(std::lround(p.z))}).second) << slot;
        EXPECT_FLOAT_EQ(p.y, ModelLevel);
    }
    // Neighbours on the first ring stand well apart.
    Motion3 a = ringSlotPosition(0), b = ringSlotPosition(1);
    EXPECT_GT(std::hypot(a.x - b.x, a.z - b.z), 40.0f);
    // The first slot is behind the origin, seen from the start camera.
    EXPECT_LT(ringSlotPosition(0).z, 0.0f);

    EXPECT_EQ(firstFreeSlot({}), 0u);
    EXPECT_EQ(firstFreeSlot({0, 1, 3}), 2u);
    EXPECT_EQ(firstFreeSlot({1}), 0u);
}

// ---- labels and title ---------------------------------------------------------------------

TEST(LabelBox, CentredAboveThePointAndHiddenBehindTheCameraOrOutside)
{
    ScreenBox box;
    // The view's centre, w = 2: pixel (512, 384).
    ASSERT_TRUE(labelBoxAbove(0.0f, 0.0f, 2.0f, 1024, 768, 60, 20, &box));
    EXPECT_FLOAT_EQ(box.x, 512 - 30);
    EXPECT_FLOAT_EQ(box.y, 384 - LabelGap - 20);
    EXPECT_FLOAT_EQ(box.width, 60);
    // Behind the camera the projection flips: no label.
    EXPECT_FALSE(labelBoxAbove(0.0f, 0.0f, -2.0f, 1024, 768, 60, 20, &box));
    EXPECT_FALSE(labelBoxAbove(0.0f, 0.0f, 0.0f, 1024, 768, 60, 20, &box));
    // Far to the right: wholly outside; just inside the edge: still shown.
    EXPECT_FALSE(labelBoxAbove(1.2f, 0.0f, 1.0f, 1024, 768, 60, 20, &box));
    EXPECT_TRUE(labelBoxAbove(1.0f, 0.0f, 1.0f, 1024, 768, 60, 20, &box));
    // Over the top of the window: gone.
    EXPECT_FALSE(labelBoxAbove(0.0f, 1.2f, 1.0f, 1024, 768, 60, 20, &box));
    float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_FALSE(labelBoxAbove(nan, 0.0f, 1.0f, 1024, 768, 60, 20, &box));
}

TEST(WindowTitle, SaysWhichProcessThisIs)
{
    EXPECT_EQ(windowTitle(false, "", "127.0.0.1:28000"), "Seafold \xe2\x80\x94 server on 127.0.0.1:28000");
    EXPECT_EQ(windowTitle(false, "ann", "0.0.0.0:28000"), "Seafold \xe2\x80\x94 ann hosting on 0.0.0.0:28000");
    EXPECT_EQ(windowTitle(true, "ann", ""), "Seafold"); // the start window: no session yet
    EXPECT_EQ(windowTitle(true, "alice", "127.0.0.1:28000"), "Seafold \xe2\x80\x94 alice @ 127.0.0.1:28000");
    // A name with a line break or bytes that are not UTF-8 cannot break the title.
    EXPECT_EQ(windowTitle(true, "a\nb\xff", "h:1"), "Seafold \xe2\x80\x94 a?b\\xFF @ h:1");
    EXPECT_EQ(displayText("Zo\xc3\xab"), "Zo\xc3\xab");
}

// ---- the People panel ---------------------------------------------------------------------

std::vector<std::string> texts(const std::vector<PanelLine>& lines)
{
    std::vector<std::string> out;
    for (const PanelLine& line : lines)
        out.push_back(line.text);
    return out;
}

SessionStatus clientStatus()
{
    SessionStatus status;
    status.address = "127.0.0.1:28000";
    status.userName = "bob";
    status.connection = "connected";
    status.hasLink = true;
    status.link = {12.4f, 3, 2};
    PersonStatus alice;
    alice.id = 1;
    alice.name = "alice";
    alice.model = "lighthouse.mesh";
    status.people.push_back(alice);
    PersonStatus carol;
    carol.id = 2;
    carol.name = "carol";
    status.people.push_back(carol);
    return status;
}

TEST(PeopleLines, AClientListsItselfItsConnectionAndTheOthersWithTheirModels)
{
    auto silent = [](uint64_t) { return false; };
    SessionStatus status = clientStatus();
    status.people[0].hosts = true; // alice runs the server
    std::vector<PanelLine> lines = peopleLines(status, "boat.mesh", silent);
    std::string dot = " \xc2\xb7 ";
    EXPECT_EQ(texts(lines),
              (std::vector<std::string>{"   bob (you)" + dot + "boat", "   connected", "    12 ms, 3 lost, 2 queued",
                                        "   alice" + dot + "lighthouse (host)", "   carol" + dot + "no model yet"}));
    EXPECT_EQ(lines[0].tone, LineTone::Own);
    EXPECT_EQ(lines[1].tone, LineTone::Good);
    EXPECT_EQ(lines[2].tone, LineTone::Detail);
    EXPECT_EQ(lines[3].tone, LineTone::Normal);
}

TEST(PeopleLines, WhoMutedOrDeafenedThemselvesIsMarkedBesideTheName)
{
    SessionStatus status = clientStatus();
    status.ownMuted = status.people[0].selfMuted = true;
    status.people[1].deafened = true;
    std::string all;
    for (const PanelLine& line : peopleLines(status, "boat.mesh", nullptr))
        all += line.person + ":" + line.text + "|";
    EXPECT_NE(all.find("bob (you, muted)"), std::string::npos) << all;
    EXPECT_NE(all.find("alice:   alice \xc2\xb7 lighthouse (muted)"), std::string::npos) << all;
    EXPECT_NE(all.find("(deafened)"), std::string::npos) << all;
    EXPECT_EQ(all.find("(muted)", all.find("carol:")), std::string::npos) << all;
}

TEST(PeopleLines, ASpeakerGetsTheMarkOnlyWhileTheirVoicePlays)
{
    auto alice = [](uint64_t id) { return id == 1; };
    std::vector<PanelLine> lines = peopleLines(clientStatus(), "", alice);
    EXPECT_EQ(lines[3].text.rfind(SpeakerMark, 0), 0u);
    EXPECT_EQ(lines[3].tone, LineTone::Speaking);
    EXPECT_EQ(lines[4].text.rfind(NoSpeakerMark, 0), 0u);
    EXPECT_EQ(lines[4].tone, LineTone::Normal);
}

TEST(PeopleLines, ALostConnectionSaysSoWithTheReasonAndDropsTheStatistics)
{
    SessionStatus status = clientStatus();
    status.connection = "disconnected";
    status.reason = "The server has shut down and will not come back";
    status.hasLink = false;
    std::vector<PanelLine> lines = peopleLines(status, "", nullptr);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[1].text.find("   lost: The server"), 0u);
    EXPECT_EQ(lines[1].tone, LineTone::Bad);
    // The reason goes on, indented, on the next line; nothing is cut off.
    std::string joined;
    for (size_t i = 1; i < lines.size() && lines[i].tone == LineTone::Bad; ++i) {
        EXPECT_LE(lines[i].text.size(), PanelLineCharacters);
        joined += lines[i].text;
    }
    auto squeeze = [](std::string text) {
        text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
        return text;
    };
    EXPECT_NE(squeeze(joined).find(squeeze(status.reason)), std::string::npos) << joined;
    for (const PanelLine& line : lines)
        EXPECT_EQ(line.text.find(" ms"), std::string::npos) << line.text;
}

TEST(PeopleLines, EveryConnectionStateReads)
{
    EXPECT_EQ(connectionLine("connecting", "", "h:1").text, "connecting to h:1");
    EXPECT_EQ(connectionLine("connecting", "", "h:1").tone, LineTone::Waiting);
    EXPECT_EQ(connectionLine("", "", "h:1").text, "connecting to h:1");
    EXPECT_EQ(connectionLine("failed", "No answer", "h:1").text, "failed: No answer");
    EXPECT_EQ(connectionLine("failed", "No answer", "h:1").tone, LineTone::Bad);
    EXPECT_EQ(connectionLine("retrying", "", "h:1").text, "retrying");
    EXPECT_EQ(connectionLine("retrying", "", "h:1").tone, LineTone::Waiting);
    EXPECT_EQ(connectionLine("disconnected", "", "h:1").text, "lost");
    // A state this program does not know yet is still shown.
    EXPECT_EQ(connectionLine("resting", "why", "h:1").text, "resting: why");
}

TEST(PeopleLines, TheServerListsEveryClientWithItsStatistics)
{
    SessionStatus status;
    status.address = "0.0.0.0:28000";
    PersonStatus alice;
    alice.name = "alice";
    alice.hasLink = true;
    alice.link = {3.25f, 0, 7};
    status.people.push_back(alice);
    std::map<std::string, LinkHealth> shown{{"alice", {150.0f, 1, 0}}};
    std::vector<std::string> lines = texts(peopleLines(status, "", nullptr, shown));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].find("   server (you)"), 0u);
    EXPECT_EQ(lines[1], "   listening on 0.0.0.0:28000");
    EXPECT_EQ(lines[2].find("   alice"), 0u);
    // The statistics shown are the ones last sampled, not the live ones.
    EXPECT_EQ(lines[3].find("    150 ms, 1 lost"), 0u);
    EXPECT_EQ(linkText({3.25f, 0, 7}).find("3.2 ms"), 0u);
    EXPECT_EQ(linkText({std::numeric_limits<float>::infinity(), 0, 0}).find("0.0 ms"), 0u);

    status.people.clear();
    lines = texts(peopleLines(status, "", nullptr));
    EXPECT_EQ(lines.back(), "   no one has joined yet");
}

// A host's lines on where to join copy, each of them, one sentence with
// every address, the key and the lock; no other line copies anything.
TEST(PeopleLines, AHostsJoinLinesCopyOneSentenceToPaste)
{
    struct Case {
        std::vector<std::string> addresses;
        std::string key;
        bool password;
        std::string copied;
    } cases[] = {
        {{}, "", false, ""},
        {{"192.168.1.20:28000"}, "", false, "Join my Seafold session at 192.168.1.20:28000."},
        {{"192.168.1.20:28000", "10.0.0.5:28000", "172.16.0.9:28000"},
         "0123456789abcdef",
         true,
         "Join my Seafold session at 192.168.1.20:28000, 10.0.0.5:28000 or 172.16.0.9:28000 (key fingerprint "
         "0123456789abcdef); it asks for a password."},
    };
    for (const Case& c : cases) {
        SessionStatus status;
        status.hosting = true;
        status.address = "0.0.0.0:28000";
        status.joinAddresses = c.addresses;
        status.keyFingerprint = c.key;
        status.passwordSet = c.password;
        EXPECT_EQ(joinDetailsText(status), c.copied);
        size_t copying = 0;
        for (const PanelLine& line : peopleLines(status, "", nullptr)) {
            if (line.copies.empty())
                continue;
            ++copying;
            EXPECT_EQ(line.copies, c.copied) << line.text;
        }
        EXPECT_EQ(copying, c.addresses.empty() ? 0u : c.addresses.size() + 2 + (c.key.empty() ? 0 : 1));
    }
}

TEST(WrapText, CutsAtSpacesByCharactersAndNeverInsideOne)
{
    EXPECT_EQ(wrapText("short", 10), std::vector<std::string>{"short"});
    EXPECT_EQ(wrapText("  one two three four", 10), (std::vector<std::string>{"  one two", "    three", "    four"}));
    // Two-byte characters count once: ten of them fit ten characters.
    std::string dots;
    for (int i = 0; i < 10; ++i)
        dots += "\xc2\xb7";
    EXPECT_EQ(wrapText(dots, 10), std::vector<std::string>{dots});
    // A word longer than the line is cut between characters.
    std::vector<std::string> cut = wrapText(dots + dots, 12);
    ASSERT_EQ(cut.size(), 2u);
    EXPECT_EQ(cut[0], dots + "\xc2\xb7\xc2\xb7");
    EXPECT_EQ(cut[1], "  " + dots.substr(0, 16));
    EXPECT_EQ(modelDisplayName("boat.mesh"), "boat");
    EXPECT_EQ(modelDisplayName(".mesh"), ".mesh");
    EXPECT_EQ(talkLine(SessionPort::Microphone::Capturing).text, "Talking");
    EXPECT_EQ(talkLine(SessionPort::Microphone::Unavailable).text, "No microphone");
    EXPECT_EQ(talkLine(SessionPort::Microphone::Off).text, "Hold R to talk");
    EXPECT_EQ(talkLine(SessionPort::Microphone::Off, "", "Mouse4").text, "Hold Mouse4 to talk");
}

TEST(VoiceActivity, ASpeakerPlaysUntilTheHoldAfterTheLatestMessage)
{
    const uint64_t alice = 1, bob = 2;
    VoiceActivity voice;
    EXPECT_FALSE(voice.playing(alice, 1000));
    voice.heard(alice, 1000);
    EXPECT_TRUE(voice.playing(alice, 1000));
    EXPECT_TRUE(voice.playing(alice, 1000 + VoiceActivity::SpeakerMarkHoldMs - 1));
    EXPECT_FALSE(voice.playing(alice, 1000 + VoiceActivity::SpeakerMarkHoldMs));
    EXPECT_FALSE(voice.playing(bob, 1000));
    // Across the wrap of the millisecond clock.
    voice.heard(bob, 0xFFFFFF00u);
    EXPECT_TRUE(voice.playing(bob, 0x20u));
    voice.clear();
    EXPECT_FALSE(voice.playing(bob, 0x20u));
}

// The marks used to be kept by claimed name and never forgotten: one entry
// more for every name anyone ever spoke under.
TEST(VoiceActivity, WhoeverLeftIsForgotten)
{
    VoiceActivity voice;
    for (uint64_t id = 1; id <= 5; ++id)
        voice.heard(id, 1000);
    voice.keepOnly({2, 4});
    EXPECT_EQ(voice.size(), 2u);
    EXPECT_TRUE(voice.playing(2, 1000));
    EXPECT_FALSE(voice.playing(3, 1000));
}

// ---- the start window ------------------------------------------------------------------

// The list reordered itself every round (in the order answers came), so a
// click on one row joined another server.
TEST(ServerList, RowsStandInOneOrderWhateverOrderTheyAnswerIn)
{
    auto row = [](const char* name, const char* address, bool favourite = false) {
        StartServerRow r;
        r.name = name;
        r.address = address;
        r.roundTripMs = 1;
        r.favourite = favourite;
        return r;
    };
    const std::vector<StartServerRow> answers[] = {
        {row("Harbour", "10.0.0.5:28000"), row("Bay", "10.0.0.9:28000"), row("Bay", "10.0.0.2:28000")},
        {row("Bay", "10.0.0.2:28000"), row("Harbour", "10.0.0.5:28000"), row("Bay", "10.0.0.9:28000")},
        {row("Bay", "10.0.0.9:28000"), row("Bay", "10.0.0.2:28000"), row("Harbour", "10.0.0.5:28000")},
    };
    const std::vector<std::string> expected = {"10.0.0.2:28000", "10.0.0.9:28000", "10.0.0.5:28000"};
    for (std::vector<StartServerRow> rows : answers) {
        sortServerRows(rows);
        std::vector<std::string> order;
        for (const StartServerRow& r : rows)
            order.push_back(r.address);
        EXPECT_EQ(order, expected);
    }
    std::vector<StartServerRow> withFavourite = {row("Bay", "10.0.0.2:28000"), row("Zephyr", "10.0.0.7:28000", true)};
    sortServerRows(withFavourite);
    EXPECT_EQ(withFavourite[0].name, "Zephyr") << "a favourite comes first";
    // As a person reads names: lower case does not go after every capital.
    std::vector<StartServerRow> cased = {row("Harbour", "10.0.0.5:28000"), row("carol's session", "10.0.0.3:28000")};
    sortServerRows(cased);
    EXPECT_EQ(cased[0].name, "carol's session");
}

TEST(ServerList, ARowSaysUsersOfTheLimitTheLockTheRoundTripAndAnotherVersion)
{
    StartServerRow row;
    row.name = "Harbour";
    row.address = "10.0.0.5:28000";
    row.users = 2;
    struct Case {
        const char* what;
        uint32_t limit;
        bool locked, otherVersion, favourite;
        int32_t ms;
        const char* line;
    } cases[] = {
        {"plain", 0, false, false, false, 3, "Harbour \xc2\xb7 2 users \xc2\xb7 3 ms \xc2\xb7 10.0.0.5:28000"},
        {"limit and lock", 8, true, false, false, 12,
         "Harbour \xc2\xb7 2 of 8 users \xc2\xb7 locked \xc2\xb7 12 ms \xc2\xb7 10.0.0.5:28000"},
        {"other version", 8, false, true, false, 1,
         "Harbour \xc2\xb7 2 of 8 users \xc2\xb7 1 ms \xc2\xb7 other version \xc2\xb7 10.0.0.5:28000"},
        {"a favourite not answering", 0, false, false, true, -1,
         "\xe2\x98\x85 Harbour \xc2\xb7 not answering \xc2\xb7 10.0.0.5:28000"},
    };
    for (const Case& c : cases) {
        row.limit = c.limit;
        row.locked = c.locked;
        row.otherVersion = c.otherVersion;
        row.favourite = c.favourite;
        row.roundTripMs = c.ms;
        EXPECT_EQ(startServerLine(row), c.line) << c.what;
    }
}

// The window showed "Timeout" and "Connected" before a refusal.
TEST(JoinStatus, SentencesForEachStepOfAJoin)
{
    struct Case {
        const char* state;
        const char* reason;
        bool connected, password;
        const char* says;
        bool problem;
    } cases[] = {
        {"connecting", "", false, false, "Joining h:1 \xe2\x80\xa6", false},
        {"connected", "", true, true, "Checking the password \xe2\x80\xa6", false},
        {"connected", "", true, false, "Asking h:1 to let you in \xe2\x80\xa6", false},
        {"retrying", "Timeout", false, false, "Could not join h:1: No answer from the server.", true},
        {"failed", NetInterface::NothingListensReason, false, false,
         "Nothing answers at h:1: no server listens on that port.", true},
    };
    for (const Case& c : cases) {
        JoinStatus status = joinStatus("h:1", c.state, c.reason, c.connected, c.password);
        EXPECT_EQ(status.text.compare(0, std::string(c.says).size(), c.says), 0) << status.text;
        EXPECT_EQ(status.problem, c.problem) << c.state;
        EXPECT_EQ(status.text.find("Timeout"), std::string::npos) << status.text;
    }
    // In the panel too: up is not yet in.
    EXPECT_EQ(connectionLine("connected", "", "h:1", false, true).text, "checking the password \xe2\x80\xa6");
    EXPECT_EQ(connectionLine("connected", "", "h:1", true, true).text, "connected");
}

} // namespace
} // namespace seafold
