// The sound devices OpenAL offers, by the names the sound system below it
// gives them (with PulseAudio, a sink's description such as "Headset", and
// "Monitor of Headset" for what is played into it), and the choice of one
// by a name the user typed.
#pragma once

#include <string>
#include <vector>

namespace seafold {

// Every playback device (the full list where the library has it, else the
// short one) and every capture device, in the library's order.
std::vector<std::string> playbackDevices();
std::vector<std::string> captureDevices();
// The library offers its full list (ALC_ENUMERATE_ALL_EXT).
bool enumeratesAllDevices();
// The devices opened when none is named; empty when there is none.
std::string defaultPlaybackDevice();
std::string defaultCaptureDevice();

// The device of `offered` that `wanted` names: the one spelt so, else the
// one spelt so but for case, else the only one whose name holds it (case
// ignored), so that "headset" finds "Monitor of Headset" among capture
// devices. Empty when none or several match.
std::string matchDevice(const std::vector<std::string>& offered, const std::string& wanted);

// The name says headset, headphones, earphones or earbuds (case ignored):
// an output that does not reach the microphone.
bool looksLikeHeadset(const std::string& name);

// What --list-audio-devices prints: both lists, the default of each marked.
std::string audioDeviceListing();

} // namespace seafold
