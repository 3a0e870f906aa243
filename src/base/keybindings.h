// The keys the user can rebind (push-to-talk, the chat line, the four
// directions, "mute me" and "deafen"), by their names as the config file
// and the Settings window write them: "R", "F", "Space", "Left", "Mouse4".
//
// A key is a code: the keyboard's scan code (the PC set the input library
// and the GUI both use, so W is 0x11), or a mouse button as
// MouseButtonCodes + its number (0 left, 1 right, 2 middle, 3 and up the
// side buttons), named "Mouse1" and up. Pure logic: no input library here.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace seafold {

enum class KeyAction : uint32_t { PushToTalk, Chat, Forward, Back, Left, Right, MuteSelf, Deafen, Count };

constexpr uint32_t KeyActionCount = uint32_t(KeyAction::Count);
// Codes from here on are mouse buttons; below, keyboard scan codes.
constexpr uint32_t MouseButtonCodes = 0x100;
// Mouse buttons the input library reports: left, right, middle and five more.
constexpr uint32_t MouseButtonCount = 8;

struct KeyActionInfo {
    KeyAction action;
    const char* option;     // the config key and, with dashes, the option: "ptt-key"
    const char* label;      // as the Settings window shows it
    const char* defaultKey; // its key when none is chosen
    bool mouseAllowed;      // a mouse button may stand for it
};

// Every action, in the order above.
const std::vector<KeyActionInfo>& keyActions();
const KeyActionInfo& keyActionInfo(KeyAction action);

// The code of the key named `name` (case ignored); 0 when no key has it.
uint32_t keyCodeOf(const std::string& name);
// The name of code `code`, as written back; empty for a code with none.
std::string keyNameOf(uint32_t code);
inline uint32_t mouseButtonCode(uint32_t button)
{
    return MouseButtonCodes + button;
}

// Why the program keeps `code` for itself (Escape opens the menu, the left
// and right buttons drag the view, ...); empty when it does not.
std::string reservedKeyUse(uint32_t code);

class KeyBindings {
public:
    // Every action on its default key.
    KeyBindings();

    uint32_t code(KeyAction action) const { return mCodes[uint32_t(action)]; }
    std::string keyName(KeyAction action) const { return keyNameOf(code(action)); }
    // The action on key `code`; KeyAction::Count when none.
    KeyAction actionOf(uint32_t code) const;

    // Puts `action` on key `code` when it may go there; otherwise nothing
    // changes and the answer says why, for the user: a reserved key, a
    // mouse button for an action that takes keys only, or a key another
    // action has.
    std::string bind(KeyAction action, uint32_t code);

    // The bindings `chosen` makes of the defaults (by option, "ptt-key" ->
    // "F"): every choice applies at once, so that two actions can trade
    // keys. Empty, or what is wrong, naming the options: an unknown key, a
    // key that may not go there, two actions on one key.
    static std::string fromChoices(const std::map<std::string, std::string>& chosen, KeyBindings* out);

    // What is wrong with a key name for the option of `action` (empty:
    // nothing): unknown, a mouse button where it may not go, or reserved.
    static std::string checkKey(KeyAction action, const std::string& name);

private:
    static std::string whyNot(KeyAction action, uint32_t code);

    uint32_t mCodes[KeyActionCount];
};

} // namespace seafold
