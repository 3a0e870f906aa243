// The Settings window, over the scene or the start window: the microphone
// and the output (the lists the sound system offers, refreshed while the
// window is open so that a headset plugged in shows up), a microphone test
// (a level meter with voice activation's threshold marked on it, the
// threshold and hold sliders, "Hear myself"), and the keys (click an
// action's button, then press the new key). What the user picks applies at
// once and is kept through the program's SettingsPort.
//
// While it is shown the window takes the keys: nothing moves, nobody talks.
#pragma once

#include "base/keybindings.h"
#include "scene/settingsport.h"

#include <cstdint>
#include <string>
#include <vector>

namespace CEGUI {
class EventArgs;
class Listbox;
class ProgressBar;
class Scrollbar;
class ToggleButton;
class Window;
} // namespace CEGUI

namespace seafold {

class WindowEvents;

// "✓ Headset (in use)": one row of a device list. `name` empty is the
// default's row.
std::string deviceRowText(const DeviceList& list, const std::string& name);

// Where a level in dB of full scale stands on the meter, 0 to 1: the meter
// spans MeterFloorDb to 0 dB.
constexpr double MeterFloorDb = -60.0;
float meterPosition(double db);

class SettingsWindow {
public:
    // Builds the window (hidden) under the GUI's root; without one, every
    // call below does nothing. `keys` are the bindings the frame listener
    // reads (they change here); `events` the window's log lines.
    void create(CEGUI::Window* root, KeyBindings& keys, WindowEvents& events);
    // The program's side; null: the window cannot be opened.
    void setPort(SettingsPort* port) { mPort = port; }
    bool available() const { return mFrame && mPort; }

    void show(bool shown);
    bool shown() const { return mShown; }

    // Once a frame while shown: the meter, the device lists every
    // DeviceRefreshMs, and the sliders' values kept once they rest.
    void update(uint32_t nowMs);
    static constexpr uint32_t DeviceRefreshMs = 2000;

    // A key (or mouse button, as mouseButtonCode) went down while the window
    // is shown. True when the window took it: the new key of the action
    // waiting for one, or Escape (which stops the waiting, or closes the
    // window).
    bool pressKey(uint32_t code);
    bool waitingForKey() const { return mWaiting != KeyAction::Count; }

private:
    void createDevices();
    void createTest();
    void createKeys();
    void fillDevices(bool force);
    void fillList(CEGUI::Listbox* list, const DeviceList& devices, std::vector<std::string>& names);
    bool handleDevicePicked(const CEGUI::EventArgs& args, bool input);
    void showThreshold();
    void showHold();
    void showKeys();
    void setNote(const std::string& text, bool problem);
    void keepSliders();
    void logShown();

    SettingsPort* mPort = nullptr;
    KeyBindings* mKeys = nullptr;
    WindowEvents* mEvents = nullptr;
    CEGUI::Window* mFrame = nullptr;
    CEGUI::Listbox* mInputs = nullptr;
    CEGUI::Listbox* mOutputs = nullptr;
    CEGUI::Window* mNote = nullptr;
    CEGUI::ProgressBar* mMeter = nullptr;
    CEGUI::Window* mMark = nullptr;
    CEGUI::Window* mMeterText = nullptr;
    CEGUI::Window* mThresholdText = nullptr;
    CEGUI::Scrollbar* mThreshold = nullptr;
    CEGUI::Window* mHoldText = nullptr;
    CEGUI::Scrollbar* mHold = nullptr;
    CEGUI::ToggleButton* mHearMyself = nullptr;
    std::vector<CEGUI::Window*> mKeyButtons; // by KeyAction
    // The lists as shown: the names behind the rows (the default's is empty).
    DeviceList mShownInputs, mShownOutputs;
    std::vector<std::string> mInputNames, mOutputNames;
    bool mFilling = false; // the lists are being filled: a selection is no pick
    // A device picked, to apply at the next update.
    bool mPicked = false;
    bool mPickedInput = false;
    std::string mPickedName;
    uint32_t mFilledAt = 0;
    bool mFilled = false;
    // The sliders moved; kept once they rest for SliderRestMs.
    bool mSlidersMoved = false;
    uint32_t mSlidersMovedAt = 0;
    static constexpr uint32_t SliderRestMs = 600;
    uint32_t mNow = 0;
    float mMarkShown = -1;
    std::string mMeterShown;
    KeyAction mWaiting = KeyAction::Count;
    bool mShown = false;
};

} // namespace seafold
