// Chat lines: relayed under the sender's roster name, within their limits.
#include "sessiontestutil.h"

namespace seafold::test {
namespace {

using ChatTest = SessionTest;

TEST_F(ChatTest, ALineReachesEveryOtherUserUnderTheSendersRosterName)
{
    Peer& a = add("alice");
    Peer& b = add("bob");
    Peer& c = add("bob"); // "bob (2)"
    ASSERT_TRUE(settle());
    ASSERT_TRUE(c.toServer()->sendChat("hi"));
    ASSERT_TRUE(settle());
    const std::vector<std::string> expected{"[\"bob (2)\", \"6869\"]"};
    EXPECT_EQ(a.callsNamed("s2cChat"), expected);
    EXPECT_EQ(b.callsNamed("s2cChat"), expected);
    EXPECT_TRUE(c.callsNamed("s2cChat").empty());
}

TEST_F(ChatTest, OverlongAndTooFrequentLinesAreDroppedAndTheSenderToldOnce)
{
    Peer& a = add("alice");
    Peer& b = add("bob");
    ASSERT_TRUE(settle());
    // Over 500 bytes: refused before it is sent, and by the server if sent.
    EXPECT_FALSE(b.toServer()->sendChat(std::string(501, 'x')));
    RefPtr<ByteBuffer> longLine = new ByteBuffer(501);
    b.toServer()->c2sChat(longLine);
    // Ten lines at once: a burst of five goes, the rest do not.
    for (int i = 0; i < 10; ++i)
        b.toServer()->sendChat("line " + std::to_string(i));
    ASSERT_TRUE(settle());
    EXPECT_EQ(a.callsNamed("s2cChat").size(), 5u);
    // Told once of the long line, and once of the five lines too many.
    EXPECT_EQ(b.texts.size(), 2u);
    // A second later the allowance is back.
    clock.now += 1000;
    b.toServer()->sendChat("later");
    ASSERT_TRUE(settle());
    EXPECT_EQ(a.callsNamed("s2cChat").size(), 6u);
}

TEST_F(ChatTest, APeerOfVersionZeroIsNeitherSentChatNorCanSendIt)
{
    Peer& a = add("alice");
    Peer& old = addVersionZero("old");
    SimpleEventConnection* connection = old.toServer();
    ASSERT_TRUE(settle());
    EXPECT_FALSE(connection->sendChat("hello"));
    ASSERT_TRUE(a.toServer()->sendChat("hello"));
    ASSERT_TRUE(settle());
    EXPECT_TRUE(old.callsNamed("s2cChat").empty());
    EXPECT_EQ(old.toServer(), connection); // still connected
}

TEST_F(ChatTest, ALineWithAControlCharacterIsNotRelayedAndTheSenderIsTold)
{
    Peer& a = add("alice");
    Peer& b = add("bob");
    ASSERT_TRUE(settle());
    // Refused before it is sent, and by the server if sent.
    const std::string forged = "hi\nalice: my new password is hunter2";
    EXPECT_FALSE(b.toServer()->sendChat(forged));
    RefPtr<ByteBuffer> line = new ByteBuffer(uint32_t(forged.size()));
    std::copy(forged.begin(), forged.end(), line->data());
    b.toServer()->c2sChat(line);
    ASSERT_TRUE(settle());
    EXPECT_TRUE(a.callsNamed("s2cChat").empty());
    ASSERT_EQ(b.texts.size(), 1u);
    EXPECT_NE(b.texts[0].find("U+000A"), std::string::npos) << b.texts[0];
}

TEST_F(ChatTest, TheServersWordsComeAsTheirOwnKindAndAsBeforeToVersionZero)
{
    Peer& a = add("alice");
    Peer& old = addVersionZero("old");
    ASSERT_TRUE(settle());
    for (const char* name : {"alice", "old"})
        server().roster.find(name)->connection->sendServerNotice("hello", "Operator: hello");
    ASSERT_TRUE(settle());
    EXPECT_EQ(a.callsNamed("s2cServerNotice"), std::vector<std::string>{"[\"68656c6c6f\"]"});
    EXPECT_TRUE(a.callsNamed("rpcMessageServerToClient").empty());
    EXPECT_EQ(a.texts, std::vector<std::string>{"hello"});
    EXPECT_EQ(old.callsNamed("rpcMessageServerToClient"), std::vector<std::string>{"[\"Operator: hello\"]"});
}

TEST_F(ChatTest, AnEmptySenderNeverPassesForTheServer)
{
    Peer& a = add("alice");
    ASSERT_TRUE(settle());
    std::vector<std::string> senders;
    SessionListener listener;
    listener.onChat = [&](const std::string& sender, const std::string&) { senders.push_back(sender); };
    a.session.subscribe(std::move(listener));
    RefPtr<ByteBuffer> text = new ByteBuffer(2);
    text->data()[0] = 'h';
    text->data()[1] = 'i';
    server().roster.find("alice")->connection->s2cChat(StringPtr(""), text);
    ASSERT_TRUE(settle());
    EXPECT_EQ(senders, std::vector<std::string>{"?"});
}

} // namespace
} // namespace seafold::test
