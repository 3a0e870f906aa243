#include "base/keybindings.h"

#include <algorithm>
#include <cctype>
#include <iterator>

namespace seafold {

namespace {

struct NamedKey {
    const char* name;
    uint32_t code;
};

// The PC keyboard's scan codes (set 1, with the extended keys' prefix
// folded into the high bit), as the input library reports them.
const NamedKey Keys[] = {
    {"Escape", 0x01},
    {"1", 0x02},
    {"2", 0x03},
    {"3", 0x04},
    {"4", 0x05},
    {"5", 0x06},
    {"6", 0x07},
    {"7", 0x08},
    {"8", 0x09},
    {"9", 0x0A},
    {"0", 0x0B},
    {"Minus", 0x0C},
    {"Equals", 0x0D},
    {"Backspace", 0x0E},
    {"Tab", 0x0F},
    {"Q", 0x10},
    {"W", 0x11},
    {"E", 0x12},
    {"R", 0x13},
    {"T", 0x14},
    {"Y", 0x15},
    {"U", 0x16},
    {"I", 0x17},
    {"O", 0x18},
    {"P", 0x19},
    {"LeftBracket", 0x1A},
    {"RightBracket", 0x1B},
    {"Enter", 0x1C},
    {"LeftCtrl", 0x1D},
    {"A", 0x1E},
    {"S", 0x1F},
    {"D", 0x20},
    {"F", 0x21},
    {"G", 0x22},
    {"H", 0x23},
    {"J", 0x24},
    {"K", 0x25},
    {"L", 0x26},
    {"Semicolon", 0x27},
    {"Apostrophe", 0x28},
    {"Grave", 0x29},
    {"LeftShift", 0x2A},
    {"Backslash", 0x2B},
    {"Z", 0x2C},
    {"X", 0x2D},
    {"C", 0x2E},
    {"V", 0x2F},
    {"B", 0x30},
    {"N", 0x31},
    {"M", 0x32},
    {"Comma", 0x33},
    {"Period", 0x34},
    {"Slash", 0x35},
    {"RightShift", 0x36},
    {"NumpadMultiply", 0x37},
    {"LeftAlt", 0x38},
    {"Space", 0x39},
    {"CapsLock", 0x3A},
    {"F1", 0x3B},
    {"F2", 0x3C},
    {"F3", 0x3D},
    {"F4", 0x3E},
    {"F5", 0x3F},
    {"F6", 0x40},
    {"F7", 0x41},
    {"F8", 0x42},
    {"F9", 0x43},
    {"F10", 0x44},
    {"NumLock", 0x45},
    {"ScrollLock", 0x46},
    {"Numpad7", 0x47},
    {"Numpad8", 0x48},
    {"Numpad9", 0x49},
    {"NumpadMinus", 0x4A},
    {"Numpad4", 0x4B},
    {"Numpad5", 0x4C},
    {"Numpad6", 0x4D},
    {"NumpadPlus", 0x4E},
    {"Numpad1", 0x4F},
    {"Numpad2", 0x50},
    {"Numpad3", 0x51},
    {"Numpad0", 0x52},
    {"NumpadPeriod", 0x53},
    {"F11", 0x57},
    {"F12", 0x58},
    {"NumpadEnter", 0x9C},
    {"RightCtrl", 0x9D},
    {"NumpadSlash", 0xB5},
    {"PrintScreen", 0xB7},
    {"RightAlt", 0xB8},
    {"Pause", 0xC5},
    {"Home", 0xC7},
    {"Up", 0xC8},
    {"PageUp", 0xC9},
    {"Left", 0xCB},
    {"Right", 0xCD},
    {"End", 0xCF},
    {"Down", 0xD0},
    {"PageDown", 0xD1},
    {"Insert", 0xD2},
    {"Delete", 0xD3},
};

struct ReservedKey {
    uint32_t code;
    const char* use;
};

const ReservedKey Reserved[] = {
    {0x01, "Escape opens the menu"},
    {0x1C, "Enter opens the chat line"},
    {0x9C, "Enter opens the chat line"},
    {0xB7, "Print Screen saves a picture"},
    {0xC7, "Home puts the camera back"},
    {0xCF, "End brings your model into view"},
    {MouseButtonCodes + 0, "the left button turns the view"},
    {MouseButtonCodes + 1, "the right button slides the view"},
};

// A plain array: bindings may be made during static initialisation (an
// options record of another file), before any vector here would exist.
const KeyActionInfo Actions[] = {
    {KeyAction::PushToTalk, "ptt-key", "Push-to-talk", "R", true},
    {KeyAction::Chat, "chat-key", "Chat line", "T", false},
    {KeyAction::Forward, "forward-key", "Forward", "W", false},
    {KeyAction::Back, "back-key", "Back", "S", false},
    {KeyAction::Left, "left-key", "Left", "A", false},
    {KeyAction::Right, "right-key", "Right", "D", false},
    {KeyAction::MuteSelf, "mute-key", "Mute me", "M", false},
    {KeyAction::Deafen, "deafen-key", "Deafen", "N", false},
};

bool sameText(const std::string& a, const char* b)
{
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (std::tolower(uint8_t(a[i])) != std::tolower(uint8_t(b[i])))
            return false;
    return i == a.size() && !b[i];
}

} // namespace

const std::vector<KeyActionInfo>& keyActions()
{
    static const std::vector<KeyActionInfo> actions(std::begin(Actions), std::end(Actions));
    return actions;
}

const KeyActionInfo& keyActionInfo(KeyAction action)
{
    return Actions[std::min(uint32_t(action), KeyActionCount - 1)];
}

uint32_t keyCodeOf(const std::string& name)
{
    for (const NamedKey& key : Keys)
        if (sameText(name, key.name))
            return key.code;
    // Mouse1 ... Mouse8.
    if (name.size() == 6 && sameText(name.substr(0, 5), "Mouse") && name[5] >= '1' &&
        uint32_t(name[5] - '0') <= MouseButtonCount)
        return mouseButtonCode(uint32_t(name[5] - '1'));
    return 0;
}

std::string keyNameOf(uint32_t code)
{
    for (const NamedKey& key : Keys)
        if (key.code == code)
            return key.name;
    if (code >= MouseButtonCodes && code < MouseButtonCodes + MouseButtonCount)
        return "Mouse" + std::to_string(code - MouseButtonCodes + 1);
    return std::string();
}

std::string reservedKeyUse(uint32_t code)
{
    for (const ReservedKey& key : Reserved)
        if (key.code == code)
            return key.use;
    return std::string();
}

KeyBindings::KeyBindings()
{
    for (const KeyActionInfo& info : Actions)
        mCodes[uint32_t(info.action)] = keyCodeOf(info.defaultKey);
}

KeyAction KeyBindings::actionOf(uint32_t code) const
{
    for (uint32_t i = 0; i < KeyActionCount; ++i)
        if (mCodes[i] == code && code != 0)
            return KeyAction(i);
    return KeyAction::Count;
}

std::string KeyBindings::checkKey(KeyAction action, const std::string& name)
{
    const uint32_t code = keyCodeOf(name);
    if (code == 0)
        return "\"" + name + "\" is no key this program knows (keys are named like R, F5, Space, Left or Mouse4)";
    return whyNot(action, code);
}

std::string KeyBindings::whyNot(KeyAction action, uint32_t code)
{
    const std::string name = keyNameOf(code);
    if (name.empty())
        return "that key has no name this program can keep";
    const std::string reserved = reservedKeyUse(code);
    if (!reserved.empty())
        return name + " cannot be bound: " + reserved;
    if (code >= MouseButtonCodes && !keyActionInfo(action).mouseAllowed)
        return std::string(keyActionInfo(action).label) + " takes a key, not a mouse button";
    return std::string();
}

std::string KeyBindings::bind(KeyAction action, uint32_t code)
{
    if (uint32_t(action) >= KeyActionCount)
        return "no such action";
    std::string why = whyNot(action, code);
    if (!why.empty())
        return why;
    const KeyAction other = actionOf(code);
    if (other != KeyAction::Count && other != action)
        return keyNameOf(code) + " is already " + keyActionInfo(other).label + ": give that another key first";
    mCodes[uint32_t(action)] = code;
    return std::string();
}

std::string KeyBindings::fromChoices(const std::map<std::string, std::string>& chosen, KeyBindings* out)
{
    KeyBindings keys;
    for (const auto& choice : chosen) {
        const std::string& option = choice.first;
        const std::string& name = choice.second;
        auto info = std::find_if(std::begin(Actions), std::end(Actions),
                                 [&option](const KeyActionInfo& a) { return option == a.option; });
        if (info == std::end(Actions))
            return "\"" + option + "\" is no key setting";
        const std::string why = checkKey(info->action, name);
        if (!why.empty())
            return std::string(info->option) + ": " + why;
        keys.mCodes[uint32_t(info->action)] = keyCodeOf(name);
    }
    for (uint32_t a = 0; a < KeyActionCount; ++a)
        for (uint32_t b = a + 1; b < KeyActionCount; ++b)
            if (keys.mCodes[a] == keys.mCodes[b])
                return std::string(Actions[a].option) + " and " + Actions[b].option + " are both " +
                       keyNameOf(keys.mCodes[a]) + ": one key can do only one of them";
    if (out)
        *out = keys;
    return std::string();
}

} // namespace seafold
