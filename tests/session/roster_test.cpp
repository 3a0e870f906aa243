// The scene operations on the roster, through the display-less scene.
#include <gtest/gtest.h>

#include "session/headlessscene.h"

using namespace seafold;

namespace {

struct RosterTest : ::testing::Test {
    std::vector<std::string> changes; // outlives the roster, which reports its last removals
    HeadlessScene scene;
    Roster roster{&scene};
    void SetUp() override
    {
        scene.setOnChange([this](const std::string& name, const HeadlessScene::Model* model) {
            changes.push_back(name + ":" + (model ? model->entity : "gone"));
        });
    }
};

} // namespace

TEST_F(RosterTest, MovementBeforeAModelIsKeptButTheModelStartsAtTheGivenPosition)
{
    roster.append("alice", nullptr);
    roster.moveClient(1, 0, 2, "alice");
    EXPECT_EQ(scene.modelOf("alice"), nullptr);
    EXPECT_DOUBLE_EQ(roster[0].offsetX, 1.0);
    EXPECT_DOUBLE_EQ(roster[0].offsetZ, 2.0);

    roster.setClientEntity("boat.mesh", 0, 0, 0, "alice");
    const HeadlessScene::Model* model = scene.modelOf("alice");
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(model->entity, "boat.mesh");
    EXPECT_FLOAT_EQ(model->x, 0.0f); // at the origin, not at the accumulated offset
    EXPECT_FLOAT_EQ(model->z, 0.0f);
    EXPECT_EQ(changes, (std::vector<std::string>{"alice:gone", "alice:boat.mesh"}));
}

TEST_F(RosterTest, ASecondModelReplacesTheFirstInPlace)
{
    roster.append("alice", nullptr);
    roster.setClientEntity("boat.mesh", 3, 0, -1, "alice");
    roster.moveClient(1, 1, 1, "alice");
    roster.setClientEntity("buoy.mesh", 0, 0, 0, "alice");
    const HeadlessScene::Model* model = scene.modelOf("alice");
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(model->entity, "buoy.mesh");
    EXPECT_FLOAT_EQ(model->x, 4.0f);
    EXPECT_FLOAT_EQ(model->y, 1.0f);
    EXPECT_FLOAT_EQ(model->z, 0.0f);
    EXPECT_DOUBLE_EQ(roster[0].offsetX, 4.0);
}

TEST_F(RosterTest, RemovingKeepsTheOthersInOrderAndUnknownNamesAreIgnored)
{
    roster.append("a", nullptr);
    roster.append("b", nullptr);
    roster.append("c", nullptr);
    roster.setClientEntity("fish.mesh", 0, 0, 0, "b");
    roster.moveClient(1, 1, 1, "nobody");
    roster.removeClient("nobody");
    roster.removeClient("b");
    ASSERT_EQ(roster.size(), 2u);
    EXPECT_EQ(roster[0].name, "a");
    EXPECT_EQ(roster[1].name, "c");
    EXPECT_EQ(scene.modelOf("b"), nullptr);
    EXPECT_EQ(changes.back(), "b:gone");
}

TEST_F(RosterTest, DuplicateNamesActOnTheFirstAndUniqueNamesAvoidThem)
{
    roster.append("bob", nullptr);
    EXPECT_EQ(roster.uniqueName("bob"), "bob (2)");
    roster.append("bob (2)", nullptr);
    EXPECT_EQ(roster.uniqueName("bob"), "bob (3)");
    EXPECT_EQ(roster.uniqueName("alice"), "alice");

    roster.append("bob", nullptr);
    roster.moveClient(5, 0, 0, "bob");
    EXPECT_DOUBLE_EQ(roster[0].offsetX, 5.0);
    EXPECT_DOUBLE_EQ(roster[2].offsetX, 0.0);
    // Removing one record by identity leaves the other of the same name.
    ClientRecord* second = &roster[2];
    roster.removeRecord(second);
    ASSERT_EQ(roster.size(), 2u);
    EXPECT_DOUBLE_EQ(roster.find("bob")->offsetX, 5.0);
}

// A client that connects again empties its roster before the server
// introduces everyone anew: the scene must drop the models, but nobody left,
// so the observer hears nothing and keeps listening for the new joins.
TEST_F(RosterTest, QuietClearTellsTheSceneButNotTheObserverWhichStays)
{
    using Change = Roster::Change;
    std::vector<Change> told;
    roster.setOnChange([&told](Change change, const ClientRecord&) { told.push_back(change); });
    roster.append("a", nullptr);
    roster.setClientEntity("boat.mesh", 0, 0, 0, "a");
    roster.clearQuietly();
    EXPECT_EQ(roster.size(), 0u);
    EXPECT_EQ(changes.back(), "a:gone");
    roster.append("a", nullptr);
    EXPECT_EQ(told, (std::vector<Change>{Change::Joined, Change::Picked, Change::Joined}));
    roster.setOnChange(nullptr); // `told` goes before the roster does
}
