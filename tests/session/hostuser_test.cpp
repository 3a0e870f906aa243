// A server's own user takes part: clients of either wire version are
// introduced to it and see its model, moves and turns through the calls
// every client's actions take; clients that know how are told it hosts.
#include "session/hostuser.h"
#include "sessiontestutil.h"

#include <cstring>

namespace seafold::test {
namespace {

// Two Opus frames of three bytes, each after its length.
RefPtr<ByteBuffer> twoFrames()
{
    static const uint8_t bytes[] = {3, 0xF8, 0xFF, 0xFE, 3, 0xF8, 0xFF, 0xFE};
    RefPtr<ByteBuffer> frames = new ByteBuffer(sizeof bytes);
    std::memcpy(frames->data(), bytes, sizeof bytes);
    return frames;
}

TEST_F(SessionTest, TheHostIsAUserToClientsOfEitherVersion)
{
    Peer& early = add("early");
    HostUser host(server().session);
    EXPECT_EQ(host.join("early"), "early (2)"); // names stay unique, the host's too
    host.select("boat.mesh");
    host.move(1, 2, 3);
    host.turn(Orientation::fromYawDegrees(90));
    Peer& late = add("late");
    Peer& old = addVersionZero("old");
    ASSERT_TRUE(settle());

    // The server's own scene shows the host as its own model, not another's.
    EXPECT_EQ(server().scene.modelOf("early (2)"), nullptr);
    for (Peer* client : {&early, &late, &old}) {
        SCOPED_TRACE(client->name);
        const HeadlessScene::Model* model = client->scene.modelOf("early (2)");
        ASSERT_NE(model, nullptr);
        EXPECT_EQ(model->entity, "boat.mesh");
        EXPECT_FLOAT_EQ(model->x, 1);
        EXPECT_FLOAT_EQ(model->y, 2);
        EXPECT_FLOAT_EQ(model->z, 3);
        // Turns are calls of version 1.
        EXPECT_EQ(model->turned, client != &old);
    }
    // Clients of version 1 are told who runs the server, whenever they
    // heard of the host; the base protocol has no such word.
    for (Peer* client : {&early, &late}) {
        EXPECT_EQ(client->callsNamed("s2cUserMarks"), std::vector<std::string>{"[\"early (2)\", 1]"}) << client->name;
        const ClientRecord* shown = client->roster.find("early (2)");
        ASSERT_NE(shown, nullptr);
        EXPECT_EQ(shown->marks, uint32_t(UserMarkHost));
        EXPECT_EQ(client->roster.find("late") ? client->roster.find("late")->marks : 0u, 0u);
    }
    EXPECT_TRUE(old.callsNamed("s2cUserMarks").empty());
    // Joined before the host: introduced, then told each step as it came.
    EXPECT_EQ(early.callsNamed("s2cIntroduceNewClient"),
              (std::vector<std::string>{"[\"early (2)\"]", "[\"late\"]", "[\"old\"]"}));
    EXPECT_EQ(early.callsNamed("s2cmakeMovement"), std::vector<std::string>{"[1.0, 2.0, 3.0, \"early (2)\"]"});
    // Joined after: told the model where it stands, as of any user before.
    EXPECT_EQ(old.callsNamed("s2cEntityNotify"),
              (std::vector<std::string>{"[\"boat.mesh\", 1.0, 2.0, 3.0, \"early (2)\"]"}));

    // Opus reaches the clients of version 1 under the host's name.
    ASSERT_TRUE(host.sendVoiceFrames(twoFrames(), true, clock.now));
    ASSERT_TRUE(settle());
    for (Peer* client : {&early, &late})
        EXPECT_EQ(client->callsNamed("s2cVoiceFrames").size(), 1u) << client->name;
    EXPECT_EQ(late.speakers, std::vector<std::string>{"early (2)"});
    EXPECT_TRUE(old.callsNamed("s2cVoiceFrames").empty());

    // So does a chat line; peers of version 0 know no chat.
    EXPECT_TRUE(host.chat("hi"));
    EXPECT_FALSE(host.chat(std::string(SimpleEventConnection::MaxChatBytes + 1, 'x')));
    ASSERT_TRUE(settle());
    EXPECT_EQ(late.callsNamed("s2cChat"), std::vector<std::string>{"[\"early (2)\", \"6869\"]"});
    EXPECT_TRUE(old.callsNamed("s2cChat").empty());

    // The host leaves as a client would.
    host.leave();
    ASSERT_TRUE(settle());
    for (Peer* client : {&early, &late, &old})
        EXPECT_EQ(client->scene.modelOf("early (2)"), nullptr) << client->name;
    EXPECT_EQ(old.callsNamed("s2cclientDisconnect"), std::vector<std::string>{"[\"early (2)\"]"});
}

// A client's moves reach the server's scene and the other clients as before;
// the host's record, without a connection, is skipped by every relay.
TEST_F(SessionTest, RelaysPassTheHostBy)
{
    HostUser host(server().session);
    host.join("host");
    Peer& a = add("alice");
    Peer& b = add("bob");
    ASSERT_TRUE(settle());
    a.toServer()->c2sEntitySelection(StringPtr("fish.mesh"));
    a.toServer()->sendMovement(4, 5, 6);
    ASSERT_TRUE(settle());
    const HeadlessScene::Model* seen = b.scene.modelOf("alice");
    ASSERT_NE(seen, nullptr);
    EXPECT_FLOAT_EQ(seen->x, 4);
    ASSERT_NE(server().scene.modelOf("alice"), nullptr);
    EXPECT_EQ(b.callsNamed("s2cIntroduceNewClient"), (std::vector<std::string>{"[\"host\"]", "[\"alice\"]"}));
}

} // namespace
} // namespace seafold::test
