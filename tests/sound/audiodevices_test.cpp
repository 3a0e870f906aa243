// Choosing a sound device by the name a user typed, among the names the
// sound system gives, and telling a headset by its name.
#include <gtest/gtest.h>

#include "sound/audiodevices.h"

using namespace seafold;

TEST(AudioDevices, ATypedNameFindsTheOneDeviceItNames)
{
    const std::vector<std::string> capture = {"Monitor of Null Output", "Monitor of Headset", "Headset Microphone",
                                              "Built-in Audio Analog Stereo"};
    struct Case {
        const char* typed;
        const char* found; // "" when none or several
    } cases[] = {
        {"Monitor of Headset", "Monitor of Headset"},   // as listed
        {"monitor of headset", "Monitor of Headset"},   // but for case
        {"Built-in", "Built-in Audio Analog Stereo"},   // a part only it holds
        {"headset", ""},                                // two hold it: the user must say which
        {"Headset Microphone", "Headset Microphone"},   // spelt out, although another holds a part of it
        {"USB", ""},                                    // not there
        {"", ""},                                       // the default, not a match
    };
    for (const Case& c : cases)
        EXPECT_EQ(matchDevice(capture, c.typed), c.found) << c.typed;
}

TEST(AudioDevices, HeadsetsAreToldByTheirNames)
{
    struct Case {
        const char* name;
        bool headset;
    } cases[] = {{"Headset", true},          {"USB Headphones Analog Stereo", true}, {"Bluetooth Earbuds", true},
                 {"Wired EarPhones", true},  {"Built-in Audio Analog Stereo", false}, {"Null Output", false},
                 {"HDMI / DisplayPort", false}, {"", false}};
    for (const Case& c : cases)
        EXPECT_EQ(looksLikeHeadset(c.name), c.headset) << c.name;
}
