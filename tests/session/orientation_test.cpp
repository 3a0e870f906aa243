// Users' model orientations between a server and clients of both wire
// versions, in one process over loopback.
#include <gtest/gtest.h>

#include "session/wireversion.h"
#include "sessiontestutil.h"

using namespace seafold;
using namespace seafold::test;

namespace {

struct OrientationTest : SessionTest {
    // A client built to the first wire version alone.
    Peer& addVersion0(const std::string& name)
    {
        peers.push_back(std::make_unique<Peer>(name, false, clock));
        Peer& added = *peers.back();
        auto* connection = new SimpleEventConnection;
        connection->setHighestClassVersion(WireVersionBase);
        added.connectionToServer = connection;
        connection->connect(added.netInterface, server().netInterface->boundAddress());
        connection->c2sAddNewClient(StringPtr(name.c_str()));
        return added;
    }

    static double yawSeen(const Peer& peer, const std::string& user)
    {
        const HeadlessScene::Model* model = peer.scene.modelOf(user);
        return model && model->turned ? model->yawDegrees : -1000;
    }
};

} // namespace

TEST_F(OrientationTest, OnlyTheNewestUnsentOrientationWaits)
{
    Peer& a = add("alice");
    Peer& b = add("bob");
    a.toServer()->c2sEntitySelection(StringPtr("boat.mesh"));
    ASSERT_TRUE(settle());

    for (double yaw : {10.0, 20.0, 30.0})
        ASSERT_TRUE(a.toServer()->sendOrientation(Orientation::fromYawDegrees(yaw)));
    ASSERT_TRUE(settle());
    EXPECT_EQ(server().callsNamed("c2sOrientation").size(), 1u);
    EXPECT_EQ(b.callsNamed("s2cOrientation").size(), 1u);
    EXPECT_NEAR(yawSeen(server(), "alice"), 30.0, 1e-9);
    EXPECT_NEAR(yawSeen(b, "alice"), 30.0, 1e-9);

    // Once written into a packet an event stays as written: the next turn
    // travels in an event of its own, and the newest value is what stays.
    a.toServer()->sendOrientation(Orientation::fromYawDegrees(40));
    clock.now += 200;
    a.netInterface->serviceConnections();
    a.toServer()->sendOrientation(Orientation::fromYawDegrees(-50));
    ASSERT_TRUE(settle());
    EXPECT_EQ(server().callsNamed("c2sOrientation").size(), 3u);
    EXPECT_NEAR(yawSeen(b, "alice"), -50.0, 1e-9);
    // A quaternion that is no rotation is not sent.
    EXPECT_FALSE(a.toServer()->sendOrientation(Orientation{0, 0, 0, 0}));
}

TEST_F(OrientationTest, TurnsAreRelayedUnderTheSendersRosterNameAndLateJoinersLearnThem)
{
    Peer& a = add("alice");
    Peer& twin = add("alice");
    Peer& b = add("bob");
    twin.toServer()->c2sEntitySelection(StringPtr("fish.mesh"));
    ASSERT_TRUE(settle());

    twin.toServer()->sendOrientation(Orientation::fromYawDegrees(90));
    ASSERT_TRUE(settle());
    ASSERT_EQ(b.callsNamed("s2cOrientation").size(), 1u);
    EXPECT_NE(b.callsNamed("s2cOrientation")[0].find("\"alice (2)\""), std::string::npos);
    EXPECT_NEAR(yawSeen(b, "alice (2)"), 90.0, 1e-9);
    EXPECT_NEAR(yawSeen(a, "alice (2)"), 90.0, 1e-9);
    EXPECT_TRUE(twin.callsNamed("s2cOrientation").empty()); // never the sender

    Peer& c = add("carol");
    ASSERT_TRUE(settle());
    EXPECT_NEAR(yawSeen(c, "alice (2)"), 90.0, 1e-9);
}

TEST_F(OrientationTest, AVersion0PeerNeitherSendsNorReceivesOrientations)
{
    Peer& a = add("alice");
    Peer& old = addVersion0("old");
    ASSERT_TRUE(settle());
    ASSERT_EQ(server().roster.size(), 2u);
    EXPECT_FALSE(speaksSeafold(*old.toServer()));
    EXPECT_FALSE(old.toServer()->sendOrientation(Orientation::fromYawDegrees(45)));

    a.toServer()->c2sEntitySelection(StringPtr("boat.mesh"));
    a.toServer()->sendOrientation(Orientation::fromYawDegrees(45));
    a.toServer()->sendMovement(1, 0, 0);
    ASSERT_TRUE(settle());
    EXPECT_NEAR(yawSeen(server(), "alice"), 45.0, 1e-9);
    EXPECT_TRUE(old.callsNamed("s2cOrientation").empty());
    // Everything of the first version still arrives, on a connection that lives.
    ASSERT_NE(old.scene.modelOf("alice"), nullptr);
    EXPECT_FLOAT_EQ(old.scene.modelOf("alice")->x, 1.0f);
    EXPECT_FALSE(old.scene.modelOf("alice")->turned);
    EXPECT_TRUE(old.toServer() && old.toServer()->isEstablished());

    // A newcomer of the first version is introduced without the turn.
    Peer& late = addVersion0("late");
    ASSERT_TRUE(settle());
    ASSERT_NE(late.scene.modelOf("alice"), nullptr);
    EXPECT_TRUE(late.callsNamed("s2cOrientation").empty());
}
