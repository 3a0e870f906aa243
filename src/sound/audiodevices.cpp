// The device lists through ALC_ENUMERATE_ALL_EXT (ALC_ENUMERATION_EXT when
// it is missing) and the matching of a typed name.
#include "sound/audiodevices.h"

#include <AL/al.h>
#include <AL/alc.h>
#include <AL/alext.h>

#include <algorithm>
#include <cctype>

namespace seafold {

namespace {

// The library's lists are names one after another, each ended by a zero
// byte, the whole ended by an empty one.
std::vector<std::string> splitList(const ALCchar* list)
{
    std::vector<std::string> names;
    while (list && *list) {
        names.emplace_back(list);
        list += names.back().size() + 1;
    }
    return names;
}


std::string lowered(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

std::string text(const ALCchar* s)
{
    return s ? std::string(s) : std::string();
}

void listInto(std::string& out, const char* title, const std::vector<std::string>& names, const std::string& chosen)
{
    out += title;
    if (names.empty())
        out += "  (none)\n";
    for (const std::string& name : names)
        out += (name == chosen ? "* " : "  ") + name + "\n";
}

} // namespace

bool enumeratesAllDevices()
{
    return alcIsExtensionPresent(nullptr, "ALC_ENUMERATE_ALL_EXT") == ALC_TRUE;
}

std::vector<std::string> playbackDevices()
{
    return splitList(alcGetString(nullptr, enumeratesAllDevices() ? ALC_ALL_DEVICES_SPECIFIER : ALC_DEVICE_SPECIFIER));
}

std::vector<std::string> captureDevices()
{
    return splitList(alcGetString(nullptr, ALC_CAPTURE_DEVICE_SPECIFIER));
}

std::string defaultPlaybackDevice()
{
    return text(
        alcGetString(nullptr, enumeratesAllDevices() ? ALC_DEFAULT_ALL_DEVICES_SPECIFIER : ALC_DEFAULT_DEVICE_SPECIFIER));
}

std::string defaultCaptureDevice()
{
    return text(alcGetString(nullptr, ALC_CAPTURE_DEFAULT_DEVICE_SPECIFIER));
}

std::string matchDevice(const std::vector<std::string>& offered, const std::string& wanted)
{
    if (wanted.empty())
        return std::string();
    for (const std::string& name : offered)
        if (name == wanted)
            return name;
    const std::string want = lowered(wanted);
    for (const std::string& name : offered)
        if (lowered(name) == want)
            return name;
    std::string found;
    for (const std::string& name : offered) {
        if (lowered(name).find(want) == std::string::npos)
            continue;
        if (!found.empty())
            return std::string(); // several: the user has to say which
        found = name;
    }
    return found;
}

bool looksLikeHeadset(const std::string& name)
{
    const std::string low = lowered(name);
    for (const char* word : {"headset", "headphone", "earphone", "earbud"})
        if (low.find(word) != std::string::npos)
            return true;
    return false;
}

std::string audioDeviceListing()
{
    std::string out;
    listInto(out, "Output devices (--output-device NAME; * the default):\n", playbackDevices(),
             defaultPlaybackDevice());
    listInto(out, "Input devices (--input-device NAME; * the default):\n", captureDevices(), defaultCaptureDevice());
    return out;
}

} // namespace seafold
