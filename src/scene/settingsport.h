// What the Settings window needs from the program: the sound devices and
// the choice of one, the microphone test, voice activation's sensitivity,
// and a place to keep what the user chose. The program fills it in with its
// audio; the window never learns how capture or output run.
//
// Called on the main thread, from the window's handlers and its update
// once a frame while it is open.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace seafold {

// One list of devices as the window shows it.
struct DeviceList {
    std::vector<std::string> offered; // by the sound system, in its order
    std::string chosen;               // as the user chose it; empty: the default
    std::string inUse;                // what plays or captures now (empty: nothing, or not known yet)
    std::string defaultName;          // the sound system's default; empty: none
};

// The microphone test's reading, once a frame.
struct MicrophoneReading {
    bool running = false;   // capture runs for the test
    double inputDb = -100;  // the last frame's loudness, dB of full scale
    double speechDb = -100; // what counts as speech now (the room's noise plus the threshold)
    std::string problem;    // why there is no capture (no microphone), for the user
};

class SettingsPort {
public:
    virtual ~SettingsPort() = default;

    virtual DeviceList inputDevices() = 0;
    virtual DeviceList outputDevices() = 0;
    // The user picked a device (empty: the default). Capture starts again
    // on it; the answer is a line for the window (what happened, or when
    // it applies).
    virtual std::string chooseInput(const std::string& name) = 0;
    virtual std::string chooseOutput(const std::string& name) = 0;

    // The test runs while the window is open: capture for the meter, and
    // nothing is sent.
    virtual void setMicrophoneTest(bool on) = 0;
    // Reads the test's capture; called once a frame while it runs.
    virtual MicrophoneReading readMicrophone() = 0;
    // "Hear myself": the processed capture played back here.
    virtual void setHearMyself(bool on) = 0;

    // Voice activation's sensitivity (dB over the room's noise) and hold.
    virtual double voiceThresholdDb() const = 0;
    virtual uint32_t voiceHoldMs() const = 0;
    virtual void setVoiceThreshold(double db) = 0;
    virtual void setVoiceHold(uint32_t ms) = 0;

    // Keeps a choice in the user's config file (`option` without dashes;
    // no values removes it). Empty, or why it could not be kept.
    virtual std::string remember(const std::string& option, const std::vector<std::string>& values) = 0;
};

} // namespace seafold
