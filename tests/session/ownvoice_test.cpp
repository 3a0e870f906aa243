// A user who mutes or deafens themselves is shown so to the others: told by
// their client (or, for a server's own user, relayed as any action) and
// passed on as marks to the clients that know the call, and to nobody else.
#include "session/hostuser.h"
#include "sessiontestutil.h"

namespace seafold::test {
namespace {

struct OwnVoiceTest : SessionTest {
    // A client whose session posts on its connection, as the program's does.
    Peer& addSpeaking(const std::string& name)
    {
        Peer& peer = add(name);
        peer.session.setServerConnection(peer.toServer());
        return peer;
    }
    static uint32_t marksOf(const Peer& viewer, const std::string& name)
    {
        const ClientRecord* record = viewer.roster.find(name);
        return record ? record->marks : 0xFFFFFFFFu;
    }
};

TEST_F(OwnVoiceTest, MuteAndDeafenReachClientsOfVersionOneAsTheyChange)
{
    Peer& alice = addSpeaking("alice");
    Peer& bob = addSpeaking("bob");
    Peer& old = addVersionZero("old");
    ASSERT_TRUE(settle());
    ASSERT_TRUE(alice.session.ownNameConfirmed());

    // Each step: what alice chose, and the marks everyone then sees.
    struct Step {
        bool muted, deafened;
        uint32_t marks;
    } steps[] = {
        {true, false, UserMarkMuted},
        {true, true, UserMarkMuted | UserMarkDeafened},
        {true, false, UserMarkMuted}, // undeafened: muted as before
        {false, false, 0},
        {false, true, UserMarkMuted | UserMarkDeafened}, // deafened mutes
    };
    for (const Step& s : steps) {
        alice.session.setOwnVoice(s.muted, s.deafened);
        ASSERT_TRUE(settle());
        EXPECT_EQ(alice.session.ownMarks(), s.marks);
        EXPECT_EQ(marksOf(server(), "alice"), s.marks);
        EXPECT_EQ(marksOf(bob, "alice"), s.marks);
    }
    EXPECT_EQ(bob.callsNamed("s2cUserMarks").size(), std::size(steps));
    // A peer of version 0 is told nothing, and keeps its session.
    EXPECT_TRUE(old.callsNamed("s2cUserMarks").empty());
    EXPECT_EQ(marksOf(old, "alice"), 0u);
    // One who joins later hears of the marks with the name.
    Peer& late = add("late");
    ASSERT_TRUE(settle());
    EXPECT_EQ(marksOf(late, "alice"), uint32_t(UserMarkMuted | UserMarkDeafened));
    EXPECT_EQ(marksOf(late, "bob"), 0u);
}

TEST_F(OwnVoiceTest, AServersOwnUserIsMarkedThroughTheSamePath)
{
    Peer& alice = add("alice");
    Peer& old = addVersionZero("old");
    HostUser host(server().session);
    host.join("host");
    ASSERT_TRUE(settle());
    server().session.setOwnVoice(false, true);
    ASSERT_TRUE(settle());
    EXPECT_EQ(marksOf(alice, "host"), uint32_t(UserMarkHost | UserMarkMuted | UserMarkDeafened));
    EXPECT_TRUE(old.callsNamed("s2cUserMarks").empty());
}

TEST_F(OwnVoiceTest, NothingNewCrossesAConnectionOfVersionZero)
{
    // A client of version 0 neither sends the call nor gets marked...
    Peer& old = addVersionZero("old");
    old.session.setServerConnection(old.toServer());
    ASSERT_TRUE(settle());
    old.session.setOwnVoice(true, true);
    EXPECT_FALSE(old.toServer()->sendOwnMarks(UserMarkMuted));
    ASSERT_TRUE(settle());
    EXPECT_TRUE(server().callsNamed("c2sOwnMarks").empty());
    EXPECT_EQ(marksOf(server(), "old"), 0u);
    // ...and a client of version 1 sends nothing to a server of version 0.
    SessionSettings settings = server().session.settings();
    settings.highestWireVersion = WireVersionBase;
    server().session.setSettings(settings);
    Peer& alice = addSpeaking("alice");
    ASSERT_TRUE(settle());
    EXPECT_FALSE(alice.toServer()->sendOwnMarks(UserMarkMuted));
    alice.session.setOwnVoice(true, false);
    ASSERT_TRUE(settle());
    EXPECT_TRUE(server().callsNamed("c2sOwnMarks").empty());
    EXPECT_EQ(marksOf(server(), "alice"), 0u);
    EXPECT_TRUE(alice.toServer() && alice.toServer()->isEstablished());
}

} // namespace
} // namespace seafold::test
