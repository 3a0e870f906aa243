// The windowed program's port: the scene's listeners follow the session
// behind it as sessions come and go, and the user's choices are kept once
// each time they change.
#include "app/commandline.h"
#include "app/windowport.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace seafold {
namespace {

// A session's port that counts who listens.
class CountingPort : public NoSessionPort {
public:
    bool isClient() const override { return true; }
    uint64_t subscribeSpeakers(std::function<void(uint64_t)> heard) override
    {
        speakers[++mNext] = std::move(heard);
        return mNext;
    }
    uint64_t subscribeChat(std::function<void(const std::string&, const std::string&)> heard) override
    {
        chat[++mNext] = std::move(heard);
        return mNext;
    }
    void unsubscribe(uint64_t id) override
    {
        speakers.erase(id);
        chat.erase(id);
    }
    void setVoiceVolume(const std::string& name, bool muted, float) override { mutes[name] = muted; }
    bool voiceActivation() const override { return activation; }
    void setVoiceActivation(bool on) override { activation = on; }

    std::map<uint64_t, std::function<void(uint64_t)>> speakers;
    std::map<uint64_t, std::function<void(const std::string&, const std::string&)>> chat;
    std::map<std::string, bool> mutes;
    bool activation = false;

private:
    uint64_t mNext = 0;
};

TEST(WindowPort, ListenersFollowTheSessionAndLeaveWithTheirOwnIds)
{
    WindowPort port;
    std::vector<std::string> heard;
    uint64_t speakerId = port.subscribeSpeakers([&](uint64_t id) { heard.push_back("voice " + std::to_string(id)); });
    uint64_t chatId = port.subscribeChat([&](const std::string& who, const std::string&) { heard.push_back(who); });
    EXPECT_NE(speakerId, chatId);
    EXPECT_FALSE(port.isClient()); // nothing behind it yet

    CountingPort first, second;
    port.setTarget(&first);
    ASSERT_EQ(first.speakers.size(), 1u);
    ASSERT_EQ(first.chat.size(), 1u);
    first.speakers.begin()->second(7);
    first.chat.begin()->second("ann", "hi");
    EXPECT_EQ(heard, (std::vector<std::string>{"voice 7", "ann"}));

    // The next session: the first one hears nothing more of them.
    port.setTarget(&second);
    EXPECT_TRUE(first.speakers.empty() && first.chat.empty());
    EXPECT_EQ(second.speakers.size(), 1u);
    port.unsubscribe(chatId);
    EXPECT_TRUE(second.chat.empty());
    EXPECT_EQ(second.speakers.size(), 1u);
    port.setTarget(nullptr);
    EXPECT_TRUE(second.speakers.empty());
}

TEST(WindowPort, EachChoiceIsKeptOnceWhenItChangesAndMutesReachTheNextSession)
{
    WindowPort port;
    std::vector<std::string> kept;
    port.setKeeper([&](const std::string& option, const std::vector<std::string>& values, bool list) {
        std::string line = option + (list ? " [" : " ");
        for (const std::string& value : values)
            line += value + ",";
        kept.push_back(line);
        return FileWriteResult();
    });
    port.setMuted({"carl", "carl"});
    CountingPort session;
    port.setTarget(&session);
    EXPECT_TRUE(session.mutes["carl"]); // the kept mute holds in a new session

    port.announceSelection("boat.mesh");
    port.announceSelection("boat.mesh"); // again, as on a rejoin: nothing new to keep
    port.setVoiceActivation(true);
    port.setVoiceActivation(true);
    port.setVoiceVolume("bob", false, 1.5f); // a volume only
    port.setVoiceVolume("bob", true, 1.5f);
    port.setVoiceVolume("carl", false, 1.0f);
    // A volume is kept like a mute.
    EXPECT_EQ(kept, (std::vector<std::string>{"model boat.mesh,", "voice-activation true,", "volume [bob=150,",
                                              "mute [carl,bob,", "mute [bob,"}));
    EXPECT_EQ(port.lastModel(), "boat.mesh");

    // The next session talks as chosen in this one.
    CountingPort next;
    port.setTarget(&next);
    EXPECT_TRUE(next.activation);
    EXPECT_TRUE(next.mutes["bob"]);
}

TEST(WindowPort, ATypedAddressIsMadeWhole)
{
    struct Case {
        const char* typed;
        const char* address; // null: refused
    } cases[] = {
        {"10.0.0.5", "10.0.0.5:28000"}, {"  10.0.0.5:28010 ", "10.0.0.5:28010"}, {"", nullptr}, {"10.0.0.5:0", nullptr},
        {"10.0.0.5:port", nullptr},
    };
    for (const Case& c : cases) {
        std::string address, why;
        bool made = completeAddress(c.typed, 28000, &address, &why);
        EXPECT_EQ(made, c.address != nullptr) << c.typed;
        if (c.address)
            EXPECT_EQ(address, c.address);
        else
            EXPECT_TRUE(!why.empty() && std::isupper(uint8_t(why[0])) && why.back() == '.') << why;
    }
}

} // namespace
} // namespace seafold

namespace seafold {
namespace {

// A choice that could not be kept used to be told only on the console,
// which a window started from the desktop's menu has nobody reading; then as
// a line without a sender, which the window shows as the server's.
TEST(WindowPort, AChoiceThatCannotBeKeptIsToldInTheWindowOncePerReason)
{
    WindowPort port;
    std::string reason = "cannot write /x/seafold.conf: No space left on device";
    port.setKeeper(
        [&](const std::string&, const std::vector<std::string>&, bool) { return FileWriteResult::failed(reason); });
    std::vector<std::string> shown;
    port.setNoteShower([&](const std::string& text) { shown.push_back(text); });
    port.subscribeChat([&](const std::string& sender, const std::string& text) {
        ADD_FAILURE() << "told as a chat line from \"" << sender << "\": " << text;
    });
    port.announceSelection("boat.mesh");
    port.announceSelection("fish.mesh");
    reason = "cannot write /x/seafold.conf: Read-only file system";
    port.remember("name", {"alice"});
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_NE(shown[0].find("No space left"), std::string::npos) << shown[0];
    EXPECT_NE(shown[1].find("Read-only"), std::string::npos) << shown[1];
}

} // namespace
} // namespace seafold
