// Key names and the rebinding rules: every name reads back as written, and
// a choice that would put two actions on one key, a reserved key or a mouse
// button where only keys go is refused, saying which.
#include "base/keybindings.h"

#include <gtest/gtest.h>

namespace seafold {
namespace {

TEST(KeyNames, EveryNameReadsBackAsWritten)
{
    // Every code below the mouse buttons that has a name, and every button.
    int named = 0;
    for (uint32_t code = 1; code < MouseButtonCodes + MouseButtonCount; ++code) {
        const std::string name = keyNameOf(code);
        if (name.empty())
            continue;
        ++named;
        EXPECT_EQ(keyCodeOf(name), code) << name;
    }
    EXPECT_GT(named, 100);
    // Case is ignored when reading; the name written is the table's.
    EXPECT_EQ(keyCodeOf("space"), keyCodeOf("Space"));
    EXPECT_EQ(keyNameOf(keyCodeOf("mouse4")), "Mouse4");
    for (const char* unknown : {"", "Mouse0", "Mouse9", "Ctrl", "WW", "F13"})
        EXPECT_EQ(keyCodeOf(unknown), 0u) << unknown;
}

TEST(KeyNames, DefaultsAreTheKeysTheControlsSay)
{
    const KeyBindings keys;
    EXPECT_EQ(keys.keyName(KeyAction::PushToTalk), "R");
    EXPECT_EQ(keys.code(KeyAction::Forward), 0x11u); // the scan code of W
    EXPECT_EQ(keys.actionOf(keyCodeOf("D")), KeyAction::Right);
    EXPECT_EQ(keys.actionOf(keyCodeOf("Q")), KeyAction::Count);
}

struct ChoiceCase {
    const char* what;
    std::map<std::string, std::string> chosen;
    const char* error; // a part of the refusal; null: accepted
};

const ChoiceCase ChoiceCases[] = {
    {"a free key", {{"ptt-key", "F"}}, nullptr},
    {"a side button for push-to-talk", {{"ptt-key", "Mouse4"}}, nullptr},
    {"two actions trading keys", {{"forward-key", "S"}, {"back-key", "W"}}, nullptr},
    {"a key another action keeps", {{"ptt-key", "T"}}, "ptt-key and chat-key are both T"},
    {"two choices on one key", {{"left-key", "Q"}, {"right-key", "Q"}}, "left-key and right-key are both Q"},
    {"Escape", {{"chat-key", "Escape"}}, "chat-key: Escape cannot be bound: Escape opens the menu"},
    {"Print Screen", {{"mute-key", "PrintScreen"}}, "Print Screen saves a picture"},
    {"the left button", {{"ptt-key", "Mouse1"}}, "the left button turns the view"},
    {"a button for a key-only action", {{"forward-key", "Mouse5"}}, "Forward takes a key, not a mouse button"},
    {"an unknown name", {{"deafen-key", "Hyper"}}, "deafen-key: \"Hyper\" is no key"},
    {"an unknown setting", {{"jump-key", "J"}}, "\"jump-key\" is no key setting"},
};

class KeyChoices : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(KeyChoices, AreAcceptedOrRefusedWithTheReason)
{
    const ChoiceCase& c = GetParam();
    KeyBindings keys;
    const std::string why = KeyBindings::fromChoices(c.chosen, &keys);
    if (!c.error) {
        EXPECT_EQ(why, "") << c.what;
        for (const auto& [option, name] : c.chosen) {
            for (const KeyActionInfo& info : keyActions()) {
                if (option == info.option) {
                    EXPECT_EQ(keys.keyName(info.action), name) << c.what;
                }
            }
        }
    } else {
        EXPECT_NE(why.find(c.error), std::string::npos) << c.what << ": " << why;
        EXPECT_EQ(keys.keyName(KeyAction::PushToTalk), "R") << "a refused choice changes nothing";
    }
}

INSTANTIATE_TEST_SUITE_P(Table, KeyChoices, ::testing::ValuesIn(ChoiceCases));

TEST(KeyRebinding, RefusesAKeyInUseAndKeepsTheOldOne)
{
    KeyBindings keys;
    EXPECT_EQ(keys.bind(KeyAction::PushToTalk, keyCodeOf("Mouse5")), "");
    EXPECT_EQ(keys.actionOf(mouseButtonCode(4)), KeyAction::PushToTalk);
    const std::string why = keys.bind(KeyAction::Left, keyCodeOf("W"));
    EXPECT_NE(why.find("W is already Forward"), std::string::npos) << why;
    EXPECT_EQ(keys.keyName(KeyAction::Left), "A");
    EXPECT_NE(keys.bind(KeyAction::Chat, keyCodeOf("Home")), "");
    // Binding an action to the key it has is no conflict.
    EXPECT_EQ(keys.bind(KeyAction::Chat, keyCodeOf("T")), "");
}

} // namespace
} // namespace seafold
