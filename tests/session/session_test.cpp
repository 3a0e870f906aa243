// The session protocol end to end in one process: a server and clients, each
// with its own roster and display-less scene, over loopback.
#include <gtest/gtest.h>

#include <cstring>

#include "session/wireversion.h"
#include "sessiontestutil.h"

using namespace seafold;
using namespace seafold::test;

TEST(SessionClasses, EventClassIdsAreTheWireIds)
{
    NetClassRep::initialize();
    const char* names[] = {
        "RPC_GhostConnection_rpcEndGhosting",
        "RPC_GhostConnection_rpcReadyForNormalGhosts",
        "RPC_GhostConnection_rpcStartGhosting",
        "RPC_SimpleEventConnection_c2sAddNewClient",
        "RPC_SimpleEventConnection_c2sEntitySelection",
        "RPC_SimpleEventConnection_c2sVoice",
        "RPC_SimpleEventConnection_c2smakeMovement",
        "RPC_SimpleEventConnection_rpcCoorClientToServer",
        "RPC_SimpleEventConnection_rpcCoorServerToClient",
        "RPC_SimpleEventConnection_rpcMessageClientToServer",
        "RPC_SimpleEventConnection_rpcMessageServerToClient",
        "RPC_SimpleEventConnection_rpcStreamClientToServer",
        "RPC_SimpleEventConnection_rpcStreamServerToClient",
        "RPC_SimpleEventConnection_rpcStructClientToServer",
        "RPC_SimpleEventConnection_rpcStructServerToClient",
        "RPC_SimpleEventConnection_s2cBroadcastMessage",
        "RPC_SimpleEventConnection_s2cEntityNotify",
        "RPC_SimpleEventConnection_s2cIntroduceNewClient",
        "RPC_SimpleEventConnection_s2cVoice",
        "RPC_SimpleEventConnection_s2cclientDisconnect",
        "RPC_SimpleEventConnection_s2cmakeMovement",
    };
    // The calls of version 0 are fixed: a peer built to them alone relies on
    // their number and their ids. Whatever came later sorts after them.
    ASSERT_EQ(NetClassRep::classCountUpToVersion(0, NetClassTypeEvent, WireVersionBase), BaseEventClassCount);
    static_assert(sizeof names / sizeof names[0] == BaseEventClassCount);
    for (uint32_t id = 0; id < BaseEventClassCount; ++id) {
        NetClassRep* rep = NetClassRep::findByName(names[id]);
        ASSERT_NE(rep, nullptr) << names[id];
        EXPECT_EQ(rep->classId(0), id) << names[id];
        EXPECT_EQ(rep->classVersion(), WireVersionBase) << names[id];
    }
    const uint32_t total = NetClassRep::classCount(0, NetClassTypeEvent);
    for (uint32_t id = BaseEventClassCount; id < total; ++id) {
        RefPtr<Object> made = NetClassRep::createByClassId(0, NetClassTypeEvent, id);
        EXPECT_GE(made->classRep()->classVersion(), WireVersionSeafold) << made->classRep()->className();
    }
    RefPtr<Object> connection = createConnectionByName("SimpleEventConnection");
    ASSERT_TRUE(connection.isValid());
    EXPECT_TRUE(connection->isNetConnection());
}

TEST_F(SessionTest, LateJoinerLearnsEarlierUsersModelsAndPositions)
{
    Peer& a = add("alice");
    ASSERT_TRUE(settle());
    EXPECT_EQ(server().roster.size(), 1u);
    EXPECT_TRUE(a.callsNamed("s2cIntroduceNewClient").empty()); // nobody else yet
    EXPECT_EQ(a.states, std::vector<std::string>{"connected"});

    a.toServer()->c2sEntitySelection(StringPtr("boat.mesh"));
    a.toServer()->c2smakeMovement(1, 0, 0);
    a.toServer()->c2smakeMovement(0, 0, 2);
    ASSERT_TRUE(settle());
    ASSERT_NE(server().scene.modelOf("alice"), nullptr);
    EXPECT_FLOAT_EQ(server().scene.modelOf("alice")->z, 2.0f);

    Peer& b = add("bob");
    ASSERT_TRUE(settle());
    EXPECT_EQ(a.callsNamed("s2cIntroduceNewClient"), std::vector<std::string>{"[\"bob\"]"});
    // First the word that bob is in, under his name; then who is here.
    ASSERT_GE(b.calls.size(), 3u);
    EXPECT_EQ(b.calls[0], "s2cYourName [\"bob\"]");
    EXPECT_EQ(b.calls[1], "s2cIntroduceNewClient [\"alice\"]");
    EXPECT_EQ(b.calls[2], "s2cEntityNotify [\"boat.mesh\", 1.0, 0.0, 2.0, \"alice\"]");
    const HeadlessScene::Model* seen = b.scene.modelOf("alice");
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(seen->entity, "boat.mesh");
    EXPECT_FLOAT_EQ(seen->x, 1.0f);
    EXPECT_FLOAT_EQ(seen->z, 2.0f);

    // A user without a model is introduced without a model.
    Peer& c = add("carol");
    ASSERT_TRUE(settle());
    EXPECT_EQ(c.callsNamed("s2cIntroduceNewClient"), (std::vector<std::string>{"[\"alice\"]", "[\"bob\"]"}));
    EXPECT_EQ(c.callsNamed("s2cEntityNotify").size(), 1u);
}

TEST_F(SessionTest, SelectionMovementAndVoiceReachEveryOtherClientOnce)
{
    Peer& a = add("alice");
    Peer& b = add("bob");
    Peer& c = add("carol");
    ASSERT_TRUE(settle());

    b.toServer()->c2sEntitySelection(StringPtr("fish.mesh"));
    for (int i = 0; i < 20; ++i)
        b.toServer()->c2smakeMovement(0.5, 0, -0.25);
    RefPtr<ByteBuffer> voice = new ByteBuffer(4);
    std::memcpy(voice->data(), "\x01\x02\x03\x04", 4);
    b.toServer()->c2sVoice(false, voice, StringPtr("bob"));
    ASSERT_TRUE(settle());

    for (Peer* other : {&a, &c}) {
        const HeadlessScene::Model* model = other->scene.modelOf("bob");
        ASSERT_NE(model, nullptr);
        EXPECT_EQ(model->entity, "fish.mesh");
        EXPECT_FLOAT_EQ(model->x, 10.0f);
        EXPECT_FLOAT_EQ(model->z, -5.0f);
        // The relay sums the movements that wait for the same packet.
        EXPECT_LT(other->callsNamed("s2cmakeMovement").size(), 20u);
        EXPECT_EQ(other->callsNamed("s2cVoice"), std::vector<std::string>{"[\"01020304\", \"bob\"]"});
        EXPECT_EQ(other->voices.size(), 1u);
    }
    EXPECT_TRUE(b.callsNamed("s2cVoice").empty()); // never the speaker
    EXPECT_EQ(server().voices.size(), 1u);         // the server plays it too
    EXPECT_EQ(b.scene.modelOf("bob"), nullptr);    // own model is not in the roster
}

TEST_F(SessionTest, VoiceIsRelayedUnderTheSendersRosterNameAndNeverFromAConnectionThatDidNotJoin)
{
    Peer& a = add("alice");
    Peer& b = add("bob");
    ASSERT_TRUE(settle());
    RefPtr<ByteBuffer> voice = new ByteBuffer(4);
    std::memcpy(voice->data(), "\x01\x02\x03\x04", 4);
    // bob claims to be alice: the others hear bob.
    b.toServer()->c2sVoice(false, voice, StringPtr("alice"));
    ASSERT_TRUE(settle());
    EXPECT_EQ(a.callsNamed("s2cVoice"), std::vector<std::string>{"[\"01020304\", \"bob\"]"});
    EXPECT_TRUE(b.callsNamed("s2cVoice").empty()); // and bob is not sent "alice's" voice

    // A connection that never sent c2sAddNewClient is neither played nor relayed.
    Peer& stranger = *peers.emplace_back(std::make_unique<Peer>("stranger", false, clock));
    auto* connection = new SimpleEventConnection;
    stranger.connectionToServer = connection;
    connection->connect(stranger.netInterface, server().netInterface->boundAddress());
    ASSERT_TRUE(run(800, [&] { return connection->isEstablished(); }));
    connection->c2sVoice(false, voice, StringPtr("alice"));
    ASSERT_TRUE(settle());
    EXPECT_EQ(a.callsNamed("s2cVoice").size(), 1u);
    EXPECT_EQ(b.callsNamed("s2cVoice").size(), 0u);
    EXPECT_EQ(server().voices.size(), 1u); // bob's only
}

TEST_F(SessionTest, LeavingIsAnnouncedToEveryoneElseAndRemovesTheRecord)
{
    Peer& a = add("alice");
    Peer& b = add("bob");
    Peer& c = add("carol");
    ASSERT_TRUE(settle());
    b.toServer()->c2sEntitySelection(StringPtr("buoy.mesh"));
    ASSERT_TRUE(settle());

    b.toServer()->disconnect("Bye");
    ASSERT_TRUE(settle());
    EXPECT_EQ(server().roster.size(), 2u);
    EXPECT_EQ(server().roster[0].name, "alice");
    EXPECT_EQ(server().roster[1].name, "carol");
    for (Peer* other : {&a, &c}) {
        EXPECT_EQ(other->callsNamed("s2cclientDisconnect"), std::vector<std::string>{"[\"bob\"]"});
        EXPECT_EQ(other->scene.modelOf("bob"), nullptr);
    }
    EXPECT_EQ(b.toServer(), nullptr);
}

TEST_F(SessionTest, ASilentClientIsTimedOutAndAnnounced)
{
    Peer& a = add("alice");
    Peer& b = add("bob");
    ASSERT_TRUE(settle());
    // bob's process stops without a word: his interface no longer runs.
    b.netInterface->setTimeSource([] { return 0u; });
    RefPtr<SessionInterface> frozen = b.netInterface;
    b.netInterface = nullptr;
    ASSERT_TRUE(run(5000, [&] { return !a.callsNamed("s2cclientDisconnect").empty(); }));
    EXPECT_EQ(a.callsNamed("s2cclientDisconnect"), std::vector<std::string>{"[\"bob\"]"});
    EXPECT_EQ(server().roster.size(), 1u);
    b.netInterface = frozen;
}

TEST_F(SessionTest, SameNamesAreMadeUniqueAndSecondJoinsIgnored)
{
    Peer& a = add("bob");
    Peer& b = add("bob");
    ASSERT_TRUE(settle());
    ASSERT_EQ(server().roster.size(), 2u);
    EXPECT_EQ(server().roster[1].name, "bob (2)");
    EXPECT_EQ(a.callsNamed("s2cIntroduceNewClient"), std::vector<std::string>{"[\"bob (2)\"]"});

    b.toServer()->c2sAddNewClient(StringPtr("mallory"));
    b.toServer()->c2smakeMovement(3, 0, 0);
    b.toServer()->c2sEntitySelection(StringPtr("fish.mesh"));
    ASSERT_TRUE(settle());
    EXPECT_EQ(server().roster.size(), 2u);
    ASSERT_NE(a.scene.modelOf("bob (2)"), nullptr);
    EXPECT_EQ(a.scene.modelOf("bob"), nullptr);
}

TEST_F(SessionTest, AClientSendingServerCallsIsCutOff)
{
    Peer& a = add("alice");
    Peer& b = add("bob");
    ASSERT_TRUE(settle());
    // bob tries to make the server drop alice.
    b.toServer()->s2cclientDisconnect(StringPtr("alice"));
    ASSERT_TRUE(run(800, [&] { return !a.callsNamed("s2cclientDisconnect").empty(); }));
    EXPECT_EQ(server().roster[0].name, "alice");
    EXPECT_EQ(a.callsNamed("s2cclientDisconnect"), std::vector<std::string>{"[\"bob\"]"});
    EXPECT_EQ(b.toServer(), nullptr);
    EXPECT_EQ(b.states.back(), "disconnected");
}

TEST_F(SessionTest, EchoCallsAnswerOnTheSameConnection)
{
    Peer& a = add("alice");
    ASSERT_TRUE(settle());
    a.toServer()->rpcMessageClientToServer(StringPtr());
    a.toServer()->rpcCoorClientToServer(-7, 9, StringPtr("tag"));
    a.toServer()->rpcStreamClientToServer(std::vector<int32_t>{1, -2, 3}, StringPtr("s"));
    RefPtr<ByteBuffer> empty = new ByteBuffer(0);
    a.toServer()->rpcStructClientToServer(empty, StringPtr("t"));
    ASSERT_TRUE(settle());
    EXPECT_EQ(server().callsNamed("rpcMessageClientToServer"), std::vector<std::string>{"[\"\"]"});
    EXPECT_EQ(a.callsNamed("rpcMessageServerToClient"), std::vector<std::string>{"[\"Hello, World!\"]"});
    EXPECT_EQ(a.callsNamed("rpcCoorServerToClient"), std::vector<std::string>{"[-7, 9]"});
    EXPECT_EQ(a.callsNamed("rpcStreamServerToClient"), std::vector<std::string>{"[[1, -2, 3]]"});
    EXPECT_EQ(a.callsNamed("rpcStructServerToClient"), std::vector<std::string>{"[\"\"]"});
}

TEST_F(SessionTest, AClientWhoseServerNeverAnswersGivesUp)
{
    peers[0]->netInterface->setAllowConnections(false);
    Peer& a = add("alice");
    ASSERT_TRUE(run(2000, [&] { return !a.states.empty(); }));
    EXPECT_EQ(a.states, std::vector<std::string>{"failed"});
    EXPECT_EQ(a.toServer(), nullptr);
}
