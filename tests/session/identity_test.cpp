// Who is who: the server's roster says, never what a client claims.
#include "sessiontestutil.h"

#include <cstring>

namespace seafold::test {
namespace {

RefPtr<ByteBuffer> voiceBytes()
{
    RefPtr<ByteBuffer> voice = new ByteBuffer(4);
    std::memcpy(voice->data(), "\x01\x02\x03\x04", 4);
    return voice;
}

// A connection that never sent c2sAddNewClient could otherwise move, pick
// and speak as nobody, and have the echo calls answered.
TEST_F(SessionTest, EveryCallOfAConnectionThatHasNotJoinedIsDroppedButTheJoin)
{
    Peer& a = add("alice");
    Peer& stranger = *peers.emplace_back(std::make_unique<Peer>("stranger", false, clock));
    auto* connection = new SimpleEventConnection;
    stranger.connectionToServer = connection;
    connection->connect(stranger.netInterface, server().netInterface->boundAddress());
    ASSERT_TRUE(run(800, [&] { return connection->isEstablished(); }));

    struct Case {
        const char* rpc;
        std::function<void(SimpleEventConnection&)> send;
    };
    const Case cases[] = {
        {"rpcMessageClientToServer", [](SimpleEventConnection& c) { c.rpcMessageClientToServer(StringPtr("hi")); }},
        {"rpcCoorClientToServer", [](SimpleEventConnection& c) { c.rpcCoorClientToServer(1, 2, StringPtr("t")); }},
        {"rpcStructClientToServer",
         [](SimpleEventConnection& c) { c.rpcStructClientToServer(voiceBytes(), StringPtr("t")); }},
        {"rpcStreamClientToServer",
         [](SimpleEventConnection& c) { c.rpcStreamClientToServer(std::vector<int32_t>{1}, StringPtr("t")); }},
        {"c2smakeMovement", [](SimpleEventConnection& c) { c.c2smakeMovement(1, 2, 3); }},
        {"c2sEntitySelection", [](SimpleEventConnection& c) { c.c2sEntitySelection(StringPtr("fish.mesh")); }},
        {"c2sVoice", [](SimpleEventConnection& c) { c.c2sVoice(false, voiceBytes(), StringPtr("alice")); }},
    };
    for (const Case& c : cases)
        c.send(*connection);
    ASSERT_TRUE(settle());
    for (const Case& c : cases)
        EXPECT_TRUE(server().callsNamed(c.rpc).empty()) << c.rpc;
    EXPECT_TRUE(stranger.calls.empty()); // no echo answered
    EXPECT_TRUE(a.callsNamed("s2cmakeMovement").empty());
    EXPECT_TRUE(a.callsNamed("s2cEntityNotify").empty());
    EXPECT_TRUE(a.callsNamed("s2cVoice").empty());
    EXPECT_TRUE(server().voices.empty());

    // The join itself is taken, and from then on the rest.
    connection->c2sAddNewClient(StringPtr("stranger"));
    connection->c2smakeMovement(1, 2, 3);
    ASSERT_TRUE(settle());
    EXPECT_EQ(server().roster.size(), 2u);
    EXPECT_EQ(server().callsNamed("c2smakeMovement").size(), 1u);
}

TEST_F(SessionTest, ARenamedClientGoesByItsNewNameAndIsHeardUnderIt)
{
    Peer& first = add("bob");
    Peer& second = add("bob");
    ASSERT_TRUE(settle());
    EXPECT_EQ(second.session.ownName(), "bob (2)");
    EXPECT_EQ(first.session.ownName(), "bob"); // told its name as it joined
    EXPECT_TRUE(first.session.ownNameConfirmed() && second.session.ownNameConfirmed());

    // The renamed client's own calls carry its new name; the others hear
    // the second bob, never the first.
    second.toServer()->c2sVoice(false, voiceBytes(), StringPtr(second.session.ownName().c_str()));
    ASSERT_TRUE(settle());
    EXPECT_EQ(first.callsNamed("s2cVoice"), std::vector<std::string>{"[\"01020304\", \"bob (2)\"]"});
    EXPECT_EQ(first.speakers, std::vector<std::string>{"bob (2)"});
    EXPECT_TRUE(second.callsNamed("s2cVoice").empty());
}

// A peer built before the call learns its new name only from the words.
TEST_F(SessionTest, AVersionZeroClientIsRenamedInWordsOnly)
{
    add("bob");
    Peer& old = addVersionZero("bob");
    ASSERT_TRUE(settle());
    EXPECT_TRUE(old.callsNamed("s2cYourName").empty());
    ASSERT_EQ(old.texts.size(), 1u);
    EXPECT_NE(old.texts[0].find("you are now: bob (2)"), std::string::npos);
}

// The operator's ban: a refused address is told why at the connect, before
// any roster or voice reaches it.
TEST_F(SessionTest, AConnectionTheSessionDoesNotAdmitIsRefusedWithItsReason)
{
    server().session.setAdmission([](const NetAddress&) { return std::string("Banned from this server"); });
    Peer& a = add("alice");
    ASSERT_TRUE(run(800, [&] { return !a.states.empty(); }));
    EXPECT_EQ(a.states, std::vector<std::string>{"failed"});
    EXPECT_EQ(a.reasons, std::vector<std::string>{"Banned from this server"});
    EXPECT_EQ(server().roster.size(), 0u);
    EXPECT_TRUE(server().netInterface->connections().empty());
}

// "ban bob (2)" bans the second bob by the name the server gave it; asking
// for "bob" again once more gave it that very name.
TEST_F(SessionTest, AUserBannedUnderTheNameTheServerGaveCannotAskForItAgain)
{
    add("bob");
    Peer& second = add("bob");
    ASSERT_TRUE(settle());
    server().session.setJoinAdmission([](const NetAddress&, const std::string& name) {
        return name == "bob (2)" ? std::string("Banned from this server") : std::string();
    });
    second.netInterface = nullptr;
    ASSERT_TRUE(settle());
    Peer& again = add("bob");
    ASSERT_TRUE(run(800, [&] { return !again.states.empty() && again.states.back() != "connected"; }));
    EXPECT_EQ(again.reasons.back(), "Banned from this server");
    EXPECT_EQ(server().roster.size(), 1u);
    server().session.setJoinAdmission(nullptr);
}

TEST_F(SessionTest, AMutedUsersVoiceIsNeitherPlayedNorRelayed)
{
    Peer& a = add("alice");
    Peer& b = add("bob");
    ASSERT_TRUE(settle());
    server().roster.find("bob")->muted = true;
    b.toServer()->c2sVoice(false, voiceBytes(), StringPtr("bob"));
    ASSERT_TRUE(settle());
    EXPECT_TRUE(a.callsNamed("s2cVoice").empty());
    EXPECT_TRUE(server().voices.empty());
}

// "mute bob" held only bob's record: leaving and joining again made a new
// one, and bob was heard again.
TEST_F(SessionTest, AUserMutedByTheOperatorStaysMutedAfterJoiningAgain)
{
    Peer& a = add("alice");
    Peer& b = add("bob");
    ASSERT_TRUE(settle());
    server().roster.find("bob")->muted = true;
    server().session.setNameMuted("bob", true);
    b.netInterface = nullptr;
    ASSERT_TRUE(settle());
    Peer& again = add("bob");
    ASSERT_TRUE(settle());
    again.toServer()->c2sVoice(false, voiceBytes(), StringPtr("bob"));
    ASSERT_TRUE(settle());
    EXPECT_TRUE(a.callsNamed("s2cVoice").empty());
    EXPECT_TRUE(server().voices.empty());
}

} // namespace
} // namespace seafold::test
