#include "scene/settingswindow.h"
#include "scene/guitext.h"
#include "scene/windowevents.h"

#include <CEGUI/CEGUI.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>

namespace seafold {

std::string deviceRowText(const DeviceList& list, const std::string& name)
{
    // U+2713 CHECK MARK, in UTF-8: the user's choice.
    std::string row = name == list.chosen ? "\xe2\x9c\x93 " : "    ";
    if (name.empty()) {
        row += "Default";
        if (!list.defaultName.empty())
            row += " (" + list.defaultName + ")";
        return row;
    }
    row += name;
    if (name == list.defaultName)
        row += " (default)";
    if (!list.chosen.empty() && name == list.inUse && name != list.chosen)
        row += " (in use)";
    return row;
}

float meterPosition(double db)
{
    return float(std::min(1.0, std::max(0.0, (db - MeterFloorDb) / -MeterFloorDb)));
}

namespace {

// The window's parts within the frame, in relative units.
struct Place {
    float left, top, right, bottom;
};

// The meter's place: the threshold mark stands on it.
constexpr Place MeterPlace = {0.52f, 0.08f, 0.97f, 0.12f};
// Voice activation's threshold (dB over the room's noise) and hold (ms):
// the ranges the options take.
constexpr double MinThresholdDb = 3, MaxThresholdDb = 40;
constexpr double MaxHoldMs = 5000, HoldStepMs = 50;

CEGUI::Window* addChild(CEGUI::Window* parent, const char* type, const std::string& name, const Place& at,
                        const std::string& text = std::string())
{
    CEGUI::Window* window = CEGUI::WindowManager::getSingleton().createWindow(type, name);
    window->setArea(CEGUI::URect(CEGUI::UVector2(cegui_reldim(at.left), cegui_reldim(at.top)),
                                 CEGUI::UVector2(cegui_reldim(at.right), cegui_reldim(at.bottom))));
    if (!text.empty())
        window->setText(guiUtf8(text));
    parent->addChild(window);
    return window;
}

CEGUI::Window* addLabel(CEGUI::Window* parent, const std::string& name, const Place& at, const std::string& text)
{
    CEGUI::Window* label = addChild(parent, "TaharezLook/StaticText", name, at, text);
    label->setProperty("FrameEnabled", "false");
    label->setProperty("BackgroundEnabled", "false");
    return label;
}

void onClick(CEGUI::Window* button, std::function<void()> act)
{
    button->subscribeEvent(CEGUI::PushButton::EventClicked, CEGUI::Event::Subscriber([act](const CEGUI::EventArgs&) {
                               act();
                               return true;
                           }));
}

Json areaOf(const CEGUI::Window* window)
{
    CEGUI::Rectf area = window->getUnclippedOuterRect().get();
    return Json::array({area.left(), area.top(), area.getWidth(), area.getHeight()});
}

// Where a list's rows are on the screen, for the tests that click them:
// the first row's left, top and width, and the height of a row.
Json rowsOf(CEGUI::Listbox* list)
{
    const CEGUI::Rectf outer = list->getUnclippedOuterRect().get();
    const CEGUI::Rectf area = list->getListRenderArea();
    const float row = list->getItemCount() ? list->getListboxItemFromIndex(0)->getPixelSize().d_height : 0.0f;
    return Json::array({outer.left() + area.left(), outer.top() + area.top(), area.getWidth(), row});
}

bool sameList(const DeviceList& a, const DeviceList& b)
{
    return a.offered == b.offered && a.chosen == b.chosen && a.inUse == b.inUse && a.defaultName == b.defaultName;
}

} // namespace

void SettingsWindow::create(CEGUI::Window* root, KeyBindings& keys, WindowEvents& events)
{
    mKeys = &keys;
    mEvents = &events;
    if (!root)
        return;
    mFrame = addChild(root, "TaharezLook/FrameWindow", "SettingsWindow", {0.06f, 0.03f, 0.94f, 0.97f}, "Settings");
    mFrame->setProperty("CloseButtonEnabled", "false");
    mFrame->setProperty("SizingEnabled", "false");
    mFrame->setProperty("DragMovingEnabled", "false");
    mFrame->setAlwaysOnTop(true);
    createDevices();
    createTest();
    createKeys();
    onClick(addChild(mFrame, "TaharezLook/Button", "SettingsClose", {0.77f, 0.91f, 0.97f, 0.98f}, "Close"),
            [this] { show(false); });
    mFrame->hide();
}

void SettingsWindow::createDevices()
{
    addLabel(mFrame, "SettingsInputsLabel", {0.03f, 0.01f, 0.49f, 0.06f}, "Microphone");
    mInputs = static_cast<CEGUI::Listbox*>(
        addChild(mFrame, "TaharezLook/Listbox", "SettingsInputs", {0.03f, 0.06f, 0.49f, 0.25f}));
    addLabel(mFrame, "SettingsOutputsLabel", {0.03f, 0.26f, 0.49f, 0.31f}, "Output");
    mOutputs = static_cast<CEGUI::Listbox*>(
        addChild(mFrame, "TaharezLook/Listbox", "SettingsOutputs", {0.03f, 0.31f, 0.49f, 0.50f}));
    for (CEGUI::Listbox* list : {mInputs, mOutputs}) {
        const bool input = list == mInputs;
        list->subscribeEvent(CEGUI::Listbox::EventSelectionChanged,
                             CEGUI::Event::Subscriber([this, input](const CEGUI::EventArgs& args) {
                                 return handleDevicePicked(args, input);
                             }));
    }
    mNote = addLabel(mFrame, "SettingsNote", {0.03f, 0.50f, 0.97f, 0.57f}, "");
    mNote->setProperty("HorzFormatting", "WordWrapLeftAligned");
    // Device names come from the sound system: no markup is obeyed.
    mNote->setTextParsingEnabled(false);
}

void SettingsWindow::createTest()
{
    addLabel(mFrame, "SettingsTestLabel", {0.52f, 0.01f, 0.97f, 0.06f}, "Microphone test (nothing is sent)");
    mMeter = static_cast<CEGUI::ProgressBar*>(addChild(mFrame, "TaharezLook/ProgressBar", "SettingsMeter", MeterPlace));
    mMark = addChild(mFrame, "TaharezLook/StaticText", "SettingsMeterMark",
                     {MeterPlace.left, MeterPlace.top - 0.01f, MeterPlace.left + 0.004f, MeterPlace.bottom + 0.01f});
    mMark->setAlwaysOnTop(true);
    mMeterText = addLabel(mFrame, "SettingsMeterText", {0.52f, 0.13f, 0.97f, 0.18f}, "");
    // It may carry the sound system's own words about a microphone.
    mMeterText->setTextParsingEnabled(false);

    mThresholdText = addLabel(mFrame, "SettingsThresholdText", {0.52f, 0.19f, 0.97f, 0.24f}, "");
    // Scrollbars, as the material rows have: the look's slider draws no
    // thumb one could take at this size.
    mThreshold = static_cast<CEGUI::Scrollbar*>(
        addChild(mFrame, "TaharezLook/HorizontalScrollbar", "SettingsThreshold", {0.52f, 0.245f, 0.97f, 0.27f}));
    mThreshold->setDocumentSize(float(MaxThresholdDb - MinThresholdDb));
    mThreshold->setPageSize(0);
    mThreshold->setStepSize(1.0f);
    mHoldText = addLabel(mFrame, "SettingsHoldText", {0.52f, 0.29f, 0.97f, 0.34f}, "");
    mHold = static_cast<CEGUI::Scrollbar*>(
        addChild(mFrame, "TaharezLook/HorizontalScrollbar", "SettingsHold", {0.52f, 0.345f, 0.97f, 0.37f}));
    mHold->setDocumentSize(float(MaxHoldMs));
    mHold->setPageSize(0);
    mHold->setStepSize(float(HoldStepMs));
    auto moved = [this](bool threshold) {
        return CEGUI::Event::Subscriber([this, threshold](const CEGUI::EventArgs&) {
            if (mFilling || !mPort)
                return true;
            if (threshold)
                mPort->setVoiceThreshold(std::round(mThreshold->getScrollPosition()) + MinThresholdDb);
            else
                mPort->setVoiceHold(uint32_t(std::round(mHold->getScrollPosition() / HoldStepMs) * HoldStepMs));
            threshold ? showThreshold() : showHold();
            mSlidersMoved = true;
            mSlidersMovedAt = mNow;
            return true;
        });
    };
    mThreshold->subscribeEvent(CEGUI::Scrollbar::EventScrollPositionChanged, moved(true));
    mHold->subscribeEvent(CEGUI::Scrollbar::EventScrollPositionChanged, moved(false));

    mHearMyself =
        static_cast<CEGUI::ToggleButton*>(addChild(mFrame, "Seafold/Checkbox", "SettingsHearMyself",
                                                   {0.52f, 0.39f, 0.97f, 0.45f}, "Hear myself (with headphones)"));
    mHearMyself->subscribeEvent(CEGUI::ToggleButton::EventSelectStateChanged,
                                CEGUI::Event::Subscriber([this](const CEGUI::EventArgs&) {
                                    if (mPort && !mFilling)
                                        mPort->setHearMyself(mHearMyself->isSelected());
                                    return true;
                                }));
}

void SettingsWindow::createKeys()
{
    addLabel(mFrame, "SettingsKeysLabel", {0.03f, 0.58f, 0.97f, 0.63f}, "Keys: click one, then press the new key");
    const std::vector<KeyActionInfo>& actions = keyActions();
    const size_t perColumn = (actions.size() + 1) / 2;
    for (size_t i = 0; i < actions.size(); ++i) {
        const float left = i < perColumn ? 0.03f : 0.52f;
        const float top = 0.64f + 0.065f * float(i % perColumn);
        addLabel(mFrame, std::string("SettingsKeyLabel-") + actions[i].option, {left, top, left + 0.2f, top + 0.055f},
                 actions[i].label);
        CEGUI::Window* button = addChild(mFrame, "TaharezLook/Button", std::string("SettingsKey-") + actions[i].option,
                                         {left + 0.2f, top, left + 0.45f, top + 0.055f});
        const KeyAction action = actions[i].action;
        onClick(button, [this, action] {
            mWaiting = action;
            showKeys();
            setNote("Press the new key for " + std::string(keyActionInfo(action).label) + " (Escape keeps " +
                        mKeys->keyName(action) + ")",
                    false);
        });
        mKeyButtons.push_back(button);
    }
}

void SettingsWindow::show(bool shown)
{
    if (!mFrame || shown == mShown || (shown && !mPort))
        return;
    mShown = shown;
    mWaiting = KeyAction::Count;
    if (shown) {
        mFilling = true;
        mThreshold->setScrollPosition(float(mPort->voiceThresholdDb() - MinThresholdDb));
        mHold->setScrollPosition(float(mPort->voiceHoldMs()));
        mHearMyself->setSelected(false);
        mFilling = false;
        showThreshold();
        showHold();
        showKeys();
        setNote("", false);
        mPort->setMicrophoneTest(true);
        fillDevices(true);
        mFrame->show();
        mFrame->activate();
    } else {
        keepSliders();
        mPort->setHearMyself(false);
        mPort->setMicrophoneTest(false);
        mFrame->hide();
        if (mFrame->getParent())
            mFrame->getParent()->activate();
    }
    if (mEvents->active()) {
        if (shown)
            logShown();
        else
            mEvents->settings("hidden", Json::object());
    }
}

void SettingsWindow::logShown()
{
    Json widgets = Json::object();
    for (const char* name : {"SettingsInputs", "SettingsOutputs", "SettingsMeter", "SettingsThreshold", "SettingsHold",
                             "SettingsHearMyself", "SettingsClose"})
        widgets[name] = areaOf(mFrame->getChild(name));
    for (size_t i = 0; i < mKeyButtons.size(); ++i)
        widgets[mKeyButtons[i]->getName().c_str()] = areaOf(mKeyButtons[i]);
    mEvents->settings("shown", Json{{"widgets", widgets}});
}

void SettingsWindow::update(uint32_t nowMs)
{
    mNow = nowMs;
    if (!mShown || !mPort)
        return;
    const MicrophoneReading reading = mPort->readMicrophone();
    mMeter->setProgress(reading.running ? meterPosition(reading.inputDb) : 0.0f);
    const float mark = meterPosition(reading.speechDb);
    if (std::fabs(mark - mMarkShown) > 0.002f) {
        mMarkShown = mark;
        const float x = MeterPlace.left + (MeterPlace.right - MeterPlace.left) * mark;
        mMark->setXPosition(cegui_reldim(x - 0.002f));
    }
    char text[160];
    if (!reading.problem.empty())
        std::snprintf(text, sizeof text, "No microphone: %s", reading.problem.c_str());
    else if (!reading.running)
        std::snprintf(text, sizeof text, "The microphone is not capturing");
    else
        std::snprintf(text, sizeof text, "%.0f dB; speech from %.0f dB (the mark)", reading.inputDb, reading.speechDb);
    // Set only when it changes: a new text lays the window out again.
    if (mMeterShown != text) {
        mMeterShown = text;
        mMeterText->setText(guiUtf8(text));
    }
    if (mPicked) {
        mPicked = false;
        setNote(mPickedInput ? mPort->chooseInput(mPickedName) : mPort->chooseOutput(mPickedName), false);
        fillDevices(true);
    } else if (uint32_t(nowMs - mFilledAt) >= DeviceRefreshMs) {
        fillDevices(false);
    }
    if (mSlidersMoved && uint32_t(nowMs - mSlidersMovedAt) >= SliderRestMs)
        keepSliders();
}

void SettingsWindow::keepSliders()
{
    if (!mSlidersMoved || !mPort)
        return;
    mSlidersMoved = false;
    char threshold[32], hold[32];
    std::snprintf(threshold, sizeof threshold, "%.0f", mPort->voiceThresholdDb());
    std::snprintf(hold, sizeof hold, "%u", mPort->voiceHoldMs());
    std::string why = mPort->remember("voice-threshold", {threshold});
    if (why.empty())
        why = mPort->remember("voice-hold", {hold});
    if (!why.empty())
        setNote("Not kept for the next start: " + why, true);
}

void SettingsWindow::showThreshold()
{
    char text[120];
    std::snprintf(text, sizeof text, "Voice activation: speech is %.0f dB over the room's noise",
                  mPort ? mPort->voiceThresholdDb() : 9.0);
    mThresholdText->setText(text);
}

void SettingsWindow::showHold()
{
    char text[120];
    std::snprintf(text, sizeof text, "Voice activation holds on %u ms after speech", mPort ? mPort->voiceHoldMs() : 0u);
    mHoldText->setText(text);
}

void SettingsWindow::showKeys()
{
    for (size_t i = 0; i < mKeyButtons.size(); ++i) {
        const KeyAction action = keyActions()[i].action;
        mKeyButtons[i]->setText(action == mWaiting ? std::string("press a key...") : mKeys->keyName(action));
    }
}

void SettingsWindow::setNote(const std::string& text, bool problem)
{
    mNote->setProperty("TextColours", problem ? "FFFF8080" : "FFFFFFFF");
    mNote->setText(guiUtf8(text));
    if (mEvents->active() && !text.empty())
        mEvents->settings("note", Json{{"text", jsonText(text)}, {"problem", problem}});
}

bool SettingsWindow::pressKey(uint32_t code)
{
    if (!mShown)
        return false;
    const uint32_t escape = keyCodeOf("Escape");
    if (mWaiting == KeyAction::Count) {
        if (code == escape)
            show(false);
        return code == escape;
    }
    const KeyAction action = mWaiting;
    if (code == escape) {
        mWaiting = KeyAction::Count;
        showKeys();
        setNote(std::string(keyActionInfo(action).label) + " stays " + mKeys->keyName(action), false);
        return true;
    }
    const std::string why = mKeys->bind(action, code);
    if (!why.empty()) {
        // Still waiting: the user presses another key, or Escape.
        setNote(why, true);
        return true;
    }
    mWaiting = KeyAction::Count;
    showKeys();
    const std::string name = mKeys->keyName(action);
    const std::string kept = mPort->remember(keyActionInfo(action).option, {name});
    setNote(std::string(keyActionInfo(action).label) + " is now " + name +
                (kept.empty() ? std::string() : "; not kept for the next start: " + kept),
            !kept.empty());
    return true;
}

void SettingsWindow::fillDevices(bool force)
{
    mFilledAt = mNow;
    const DeviceList inputs = mPort->inputDevices();
    const DeviceList outputs = mPort->outputDevices();
    const bool changed = force || !sameList(inputs, mShownInputs) || !sameList(outputs, mShownOutputs);
    if (!changed)
        return;
    mFilling = true;
    fillList(mInputs, inputs, mInputNames);
    fillList(mOutputs, outputs, mOutputNames);
    mFilling = false;
    mShownInputs = inputs;
    mShownOutputs = outputs;
    if (mEvents->active()) {
        Json in = Json::array(), out = Json::array();
        for (const std::string& name : inputs.offered)
            in.push_back(jsonText(name));
        for (const std::string& name : outputs.offered)
            out.push_back(jsonText(name));
        mEvents->settings("devices", Json{{"inputs", in},
                                          {"outputs", out},
                                          {"input", jsonText(inputs.chosen)},
                                          {"output", jsonText(outputs.chosen)},
                                          {"input_rows", rowsOf(mInputs)},
                                          {"output_rows", rowsOf(mOutputs)}});
    }
}

void SettingsWindow::fillList(CEGUI::Listbox* list, const DeviceList& devices, std::vector<std::string>& names)
{
    names.assign(1, std::string());
    names.insert(names.end(), devices.offered.begin(), devices.offered.end());
    // A chosen device that is gone stays in the list, marked, so that the
    // user sees what was chosen and that the default stands in for it.
    if (!devices.chosen.empty() && std::find(names.begin(), names.end(), devices.chosen) == names.end())
        names.push_back(devices.chosen);
    list->resetList();
    for (size_t i = 0; i < names.size(); ++i) {
        std::string text = deviceRowText(devices, names[i]);
        if (i > devices.offered.size())
            text += " (not there)";
        auto* item = new CEGUI::ListboxTextItem(guiUtf8(text), CEGUI::uint(i));
        item->setTextParsingEnabled(false);
        item->setSelectionBrushImage("TaharezLook/MultiListSelectionBrush");
        list->addItem(item);
        if (names[i] == devices.chosen)
            item->setSelected(true);
    }
    list->handleUpdatedItemData();
}

bool SettingsWindow::handleDevicePicked(const CEGUI::EventArgs&, bool input)
{
    if (mFilling || !mPort)
        return true;
    CEGUI::Listbox* list = input ? mInputs : mOutputs;
    const std::vector<std::string>& names = input ? mInputNames : mOutputNames;
    CEGUI::ListboxItem* item = list->getFirstSelectedItem();
    if (!item || item->getID() >= names.size())
        return true;
    // Taken at the next update: the list is filled again then, which must
    // not happen inside its own event.
    mPicked = true;
    mPickedInput = input;
    mPickedName = names[item->getID()];
    return true;
}

} // namespace seafold
