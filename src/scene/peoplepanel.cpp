#include "scene/peoplepanel.h"
#include "base/platform.h"
#include "scene/guitext.h"
#include "scene/systemclipboard.h"
#include "scene/windowevents.h"
#include <nlohmann/json.hpp>

#include <CEGUI/CEGUI.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace seafold {

namespace {

// Colours of the line tones (ARGB).
CEGUI::Colour toneColour(LineTone tone)
{
    switch (tone) {
    case LineTone::Own:
        return CEGUI::Colour(0xFFFFFFFF);
    case LineTone::Speaking:
        return CEGUI::Colour(0xFF6CF08C);
    case LineTone::Good:
        return CEGUI::Colour(0xFF8CE0A0);
    case LineTone::Waiting:
        return CEGUI::Colour(0xFFF0C850);
    case LineTone::Bad:
        return CEGUI::Colour(0xFFFF6A6A);
    case LineTone::Detail:
        return CEGUI::Colour(0xFFA8B4C8);
    case LineTone::Normal:
    default:
        return CEGUI::Colour(0xFFE4EAF4);
    }
}

std::string colourRect(LineTone tone)
{
    CEGUI::String colour = CEGUI::PropertyHelper<CEGUI::Colour>::toString(toneColour(tone));
    std::string c(colour.c_str());
    return "tl:" + c + " tr:" + c + " bl:" + c + " br:" + c;
}

// A change of the level meter smaller than this is not worth a redraw.
constexpr float LevelStep = 0.02f;

} // namespace

PeoplePanel::~PeoplePanel()
{
    if (mPort)
        mPort->unsubscribe(mSpeakerSubscription);
}

void PeoplePanel::attach(CEGUI::Window* root, SessionPort& port, WindowEvents& events)
{
    mEvents = &events;
    if (mPort)
        mPort->unsubscribe(mSpeakerSubscription);
    mPort = &port;
    mVoices.clear();
    mSpeakerSubscription =
        port.subscribeSpeakers([this](uint64_t userId) { mVoices.heard(userId, getRealMilliseconds()); });
    if (!root)
        return;
    mPanel = root->getChildRecursive("PeoplePanel");
    mList = dynamic_cast<CEGUI::Listbox*>(root->getChildRecursive("PeopleList"));
    mTalkStatus = root->getChildRecursive("TalkStatus");
    mTalkLevel = dynamic_cast<CEGUI::ProgressBar*>(root->getChildRecursive("TalkLevel"));
    if (mTalkStatus)
        mTalkStatus->setTextParsingEnabled(false);
    using CEGUI::Event;
    mVoiceOf = root->getChildRecursive("VoiceOf");
    if (mVoiceOf)
        mVoiceOf->setTextParsingEnabled(false); // it shows a user's name
    mMute = dynamic_cast<CEGUI::ToggleButton*>(root->getChildRecursive("VoiceMuteCB"));
    mVolume = dynamic_cast<CEGUI::Scrollbar*>(root->getChildRecursive("VoiceVolume"));
    mSpeakToTalk = dynamic_cast<CEGUI::RadioButton*>(root->getChildRecursive("SpeakToTalkRBtn"));
    mHoldToTalk = dynamic_cast<CEGUI::RadioButton*>(root->getChildRecursive("HoldToTalkRBtn"));
    if (mList)
        mList->subscribeEvent(CEGUI::Listbox::EventSelectionChanged,
                              Event::Subscriber(&PeoplePanel::handlePersonPicked, this));
    if (mMute)
        mMute->subscribeEvent(CEGUI::ToggleButton::EventSelectStateChanged,
                              Event::Subscriber(&PeoplePanel::handleVoiceChanged, this));
    if (mVolume)
        mVolume->subscribeEvent(CEGUI::Scrollbar::EventScrollPositionChanged,
                                Event::Subscriber(&PeoplePanel::handleVoiceChanged, this));
    if (mSpeakToTalk) {
        mSpeakToTalk->setSelected(port.voiceActivation());
        if (mHoldToTalk)
            mHoldToTalk->setSelected(!port.voiceActivation());
        mSpeakToTalk->subscribeEvent(CEGUI::RadioButton::EventSelectStateChanged,
                                     Event::Subscriber(&PeoplePanel::handleTalkChoice, this));
    }
    mMuteMe = dynamic_cast<CEGUI::ToggleButton*>(root->getChildRecursive("MuteMeCB"));
    mDeafen = dynamic_cast<CEGUI::ToggleButton*>(root->getChildRecursive("DeafenCB"));
    mMasterVolume = dynamic_cast<CEGUI::Scrollbar*>(root->getChildRecursive("MasterVolume"));
    for (CEGUI::ToggleButton* box : {mMuteMe, mDeafen})
        if (box)
            box->subscribeEvent(CEGUI::ToggleButton::EventSelectStateChanged,
                                Event::Subscriber(&PeoplePanel::handleOwnVoice, this));
    if (mMasterVolume)
        mMasterVolume->subscribeEvent(CEGUI::Scrollbar::EventScrollPositionChanged,
                                      Event::Subscriber(&PeoplePanel::handleMasterVolume, this));
    showOwnVoice();
    if (mPanel && mModeration.empty())
        createModeration(mPanel);
    mTalkRow.clear();
    for (const char* name :
         {"TalkStatus", "TalkLevel", "TalkLabel", "HoldToTalkRBtn", "SpeakToTalkRBtn", "MuteMeCB", "DeafenCB"})
        if (CEGUI::Window* w = root->getChildRecursive(name))
            mTalkRow.push_back(w);
    mTalkRowShown = true;
    syncTalkRow();
}

void PeoplePanel::syncTalkRow()
{
    // Whoever takes part talks, however the session began: the session
    // behind the port may start after the panel was made (the start
    // window), and a pure host has no push-to-talk.
    const bool takesPart = mPort && mPort->takesPart();
    if (takesPart == mTalkRowShown)
        return;
    mTalkRowShown = takesPart;
    for (CEGUI::Window* w : mTalkRow)
        w->setVisible(takesPart);
    if (!takesPart)
        return;
    // The choice as this session has it, and the line as it stands now.
    mTalkShown = false;
    mShowingVoice = true;
    if (mSpeakToTalk) {
        mSpeakToTalk->setSelected(mPort->voiceActivation());
        if (mHoldToTalk)
            mHoldToTalk->setSelected(!mPort->voiceActivation());
    }
    mShowingVoice = false;
    showOwnVoice();
}

void PeoplePanel::createModeration(CEGUI::Window* panel)
{
    auto& windows = CEGUI::WindowManager::getSingleton();
    auto add = [&](const char* type, const char* name, float left, float right, const char* text) {
        CEGUI::Window* window = windows.createWindow(type, name);
        // Just above the voice controls, which keep their place at the
        // panel's foot.
        window->setArea(CEGUI::URect(CEGUI::UVector2(cegui_reldim(left), CEGUI::UDim(1, -122)),
                                     CEGUI::UVector2(cegui_reldim(right), CEGUI::UDim(1, -103))));
        window->setText(text);
        window->hide();
        panel->addChild(window);
        mModeration.push_back(window);
        return window;
    };
    using CEGUI::Event;
    add("TaharezLook/Button", "ModKickBtn", 0.02f, 0.24f, "Kick")
        ->subscribeEvent(CEGUI::PushButton::EventClicked, Event::Subscriber([this](const CEGUI::EventArgs&) {
                             moderate(SessionPort::Moderation::Kick);
                             return true;
                         }));
    add("TaharezLook/Button", "ModBanBtn", 0.25f, 0.47f, "Ban")
        ->subscribeEvent(CEGUI::PushButton::EventClicked, Event::Subscriber([this](const CEGUI::EventArgs&) {
                             moderate(SessionPort::Moderation::Ban);
                             return true;
                         }));
    mBanMinutes = add("TaharezLook/Editbox", "ModBanMinutes", 0.48f, 0.62f, "10");
    mBanMinutes->setProperty("MaxTextLength", "6");
    mBanMinutes->setTooltipText("minutes of the ban (empty: for good)");
    mMuteForAll = add("TaharezLook/Button", "ModMuteBtn", 0.63f, 0.98f, "Mute for all");
    mMuteForAll->subscribeEvent(CEGUI::PushButton::EventClicked, Event::Subscriber([this](const CEGUI::EventArgs&) {
                                    moderate(mPickedMutedForAll ? SessionPort::Moderation::Unmute
                                                                : SessionPort::Moderation::Mute);
                                    return true;
                                }));
}

void PeoplePanel::showModeration(bool moderates)
{
    if (moderates == mModerates)
        return;
    mModerates = moderates;
    for (CEGUI::Window* window : mModeration)
        window->setVisible(moderates);
    // The list makes room for the row; it has all the height the controls
    // below it leave.
    if (mList) {
        CEGUI::URect area = mList->getArea();
        area.d_max.d_y = CEGUI::UDim(1, moderates ? -124.0f : -101.0f);
        mList->setArea(area);
    }
    if (!moderates || !mEvents || !mEvents->active() || !mList)
        return;
    // Where the host's controls are, for the tests that click them.
    Json widgets = Json::object();
    std::vector<CEGUI::Window*> parts = mModeration;
    parts.push_back(mList);
    for (CEGUI::Window* part : parts) {
        CEGUI::Rectf area = part->getUnclippedOuterRect().get();
        widgets[part->getName().c_str()] = Json::array({area.left(), area.top(), area.getWidth(), area.getHeight()});
    }
    // The first row's top left on the screen, and a row's height.
    const CEGUI::Rectf list = mList->getUnclippedOuterRect().get();
    const CEGUI::Rectf text = mList->getListRenderArea();
    widgets["ListText"] = Json::array({list.left() + text.left(), list.top() + text.top()});
    widgets["row"] = mList->getFont() ? mList->getFont()->getLineSpacing() : 0.0f;
    mEvents->widgetsOf("people", widgets);
}

void PeoplePanel::moderate(SessionPort::Moderation what)
{
    if (!mPort || mPicked.empty() || !mModerates)
        return;
    uint32_t minutes = 0;
    if (what == SessionPort::Moderation::Ban && mBanMinutes) {
        const std::string typed(mBanMinutes->getText().c_str());
        minutes = uint32_t(std::strtoul(typed.c_str(), nullptr, 10));
    }
    mPort->moderate(what, mPicked, minutes);
    mFirst = true; // the list shows it at once
}

void PeoplePanel::showPickedVoice()
{
    mShowingVoice = true;
    const bool picked = !mPicked.empty();
    if (mVoiceOf)
        mVoiceOf->setText(guiUtf8(picked ? mPicked : std::string("Pick a voice")));
    if (mMute) {
        mMute->setEnabled(picked);
        mMute->setSelected(picked && mPort->voiceMuted(mPicked));
    }
    if (mVolume) {
        mVolume->setEnabled(picked);
        mVolume->setScrollPosition(picked ? mPort->voiceVolume(mPicked) : 1.0f);
    }
    mShowingVoice = false;
}

bool PeoplePanel::handlePersonPicked(const CEGUI::EventArgs&)
{
    CEGUI::ListboxItem* item = mList ? mList->getFirstSelectedItem() : nullptr;
    const size_t index = item ? mList->getItemIndex(item) : mLines.size();
    if (index < mLines.size() && !mLines[index].copies.empty()) {
        copyLine(mLines[index], getRealMilliseconds());
        // Not left picked, so that the next click copies again.
        mList->clearAllSelections();
        return true;
    }
    std::string person = index < mLines.size() ? mLines[index].person : std::string();
    if (person == mPicked)
        return true;
    mPicked = person;
    showPickedVoice();
    return true;
}

bool PeoplePanel::handleVoiceChanged(const CEGUI::EventArgs&)
{
    if (mShowingVoice || mPicked.empty() || !mPort)
        return true;
    const bool muted = mMute && mMute->isSelected();
    const float volume = mVolume ? mVolume->getScrollPosition() : 1.0f;
    mPort->setVoiceVolume(mPicked, muted, volume);
    if (mEvents)
        mEvents->voiceSetting(mPicked, muted, volume);
    mFirst = true; // the list shows it at once
    return true;
}

void PeoplePanel::showOwnVoice()
{
    if (!mPort)
        return;
    mShowingVoice = true;
    if (mMuteMe && mMuteMe->isSelected() != mPort->selfMuted())
        mMuteMe->setSelected(mPort->selfMuted());
    if (mDeafen && mDeafen->isSelected() != mPort->deafened())
        mDeafen->setSelected(mPort->deafened());
    if (mMasterVolume && std::fabs(mMasterVolume->getScrollPosition() - mPort->masterVolume()) > 0.005f)
        mMasterVolume->setScrollPosition(mPort->masterVolume());
    mShowingVoice = false;
}

bool PeoplePanel::handleOwnVoice(const CEGUI::EventArgs&)
{
    if (!mPort || mShowingVoice)
        return true;
    // A box the user clicked asks for the other state of what it shows.
    if (mDeafen && mDeafen->isSelected() != mPort->deafened())
        mPort->toggleDeafen();
    else if (mMuteMe && mMuteMe->isSelected() != mPort->selfMuted())
        mPort->toggleSelfMute();
    showOwnVoice(); // deafening ticks "Mute me" too
    mFirst = true;  // the own line says it at once
    return true;
}

bool PeoplePanel::handleMasterVolume(const CEGUI::EventArgs&)
{
    if (mPort && mMasterVolume && !mShowingVoice)
        mPort->setMasterVolume(std::clamp(mMasterVolume->getScrollPosition(), 0.0f, 1.0f));
    return true;
}

bool PeoplePanel::handleTalkChoice(const CEGUI::EventArgs&)
{
    if (!mPort || !mSpeakToTalk || mShowingVoice)
        return true;
    mPort->setVoiceActivation(mSpeakToTalk->isSelected());
    if (mEvents)
        mEvents->talkChoice(mSpeakToTalk->isSelected());
    return true;
}

void PeoplePanel::setShown(bool shown)
{
    mShown = shown;
    if (mPanel)
        mPanel->setVisible(shown);
    // Shown again: refresh at once.
    mFirst = mFirst || shown;
}

void PeoplePanel::copyLine(const PanelLine& line, uint32_t nowMs)
{
    if (!mClipboard)
        mClipboard = std::make_unique<SystemClipboard>();
    const bool taken = mClipboard->copy(line.copies);
    mCopyTried = true;
    mCopied = taken;
    mCopiedAtMs = nowMs;
    if (mEvents)
        mEvents->copied(line.copies, taken);
    mFirst = true; // the lines say so at once
}

// For a few seconds after a copy the first line that copies says it was
// copied (or that there was no clipboard to copy to).
void PeoplePanel::markCopied(std::vector<PanelLine>& lines, uint32_t nowMs) const
{
    if (!mCopyTried || uint32_t(nowMs - mCopiedAtMs) >= CopiedShownMs)
        return;
    for (PanelLine& line : lines) {
        const size_t at = line.text.find(ClickToCopy);
        if (line.copies.empty() || at == std::string::npos)
            continue;
        line.text.replace(at, std::strlen(ClickToCopy), mCopied ? "copied: paste them anywhere" : "no clipboard to copy to");
        return;
    }
}

void PeoplePanel::update(uint32_t nowMs, const std::string& ownModel)
{
    if (!mPort)
        return;
    // Other programs paste from this one while the text is on offer.
    if (mClipboard)
        mClipboard->service();
    if (!mShown) {
        // Hidden, the panel still keeps who is who for the name labels.
        if (uint32_t(nowMs - mLastList) >= ListRefreshMs) {
            mLastList = nowMs;
            SessionStatus status;
            mPort->describeSession(status);
            rememberIds(status);
        }
        return;
    }
    if (mFirst || uint32_t(nowMs - mLastList) >= ListRefreshMs)
        refreshList(nowMs, ownModel);
    syncTalkRow();
    if (mTalkRowShown)
        refreshTalk();
}

void PeoplePanel::rememberIds(const SessionStatus& status)
{
    mOthersLost = seafold::othersLost(status);
    // Whoever left is forgotten: the marks are kept for the users shown.
    std::vector<uint64_t> present;
    mIdsByName.clear();
    for (const PersonStatus& person : status.people) {
        present.push_back(person.id);
        mIdsByName[person.name] = person.id;
    }
    mVoices.keepOnly(present);
}

bool PeoplePanel::speaking(const std::string& name, uint32_t nowMs) const
{
    auto found = mIdsByName.find(name);
    return found != mIdsByName.end() && mVoices.playing(found->second, nowMs);
}

void PeoplePanel::refreshList(uint32_t nowMs, const std::string& ownModel)
{
    bool first = mFirst;
    mFirst = false;
    mLastList = nowMs;
    SessionStatus status;
    mPort->describeSession(status);
    if (first || uint32_t(nowMs - mLastStats) >= StatsRefreshMs) {
        mLastStats = nowMs;
        mShownLinks.clear();
        if (status.hasLink)
            mShownLinks[""] = status.link;
        for (const PersonStatus& person : status.people)
            if (person.hasLink)
                mShownLinks[person.name] = person.link;
    }
    rememberIds(status);
    showModeration(status.moderates);
    mPickedMutedForAll = false;
    for (const PersonStatus& person : status.people)
        if (person.name == mPicked)
            mPickedMutedForAll = person.mutedForAll;
    const char* muteText = mPickedMutedForAll ? "Unmute for all" : "Mute for all";
    if (mMuteForAll && mMuteForAll->getText() != muteText)
        mMuteForAll->setText(muteText);
    std::vector<PanelLine> lines = peopleLines(
        status, ownModel, [this, nowMs](uint64_t userId) { return mVoices.playing(userId, nowMs); }, mShownLinks);
    markCopied(lines, nowMs);
    if (lines == mLines)
        return;
    mLines = std::move(lines);

    if (mList) {
        // The items are kept and rewritten; only the surplus goes.
        while (mList->getItemCount() > mLines.size())
            mList->removeItem(mList->getListboxItemFromIndex(mList->getItemCount() - 1));
        for (size_t i = 0; i < mLines.size(); ++i) {
            CEGUI::ListboxTextItem* item;
            if (i < mList->getItemCount()) {
                item = static_cast<CEGUI::ListboxTextItem*>(mList->getListboxItemFromIndex(i));
            } else {
                item = new CEGUI::ListboxTextItem("", CEGUI::uint(i));
                // Names are the users' own texts: no markup in them is obeyed.
                item->setTextParsingEnabled(false);
                // The line picked for mute and volume shows as picked.
                item->setSelectionBrushImage("TaharezLook/MultiListSelectionBrush");
                mList->addItem(item);
            }
            item->setText(guiUtf8(mLines[i].text));
            item->setTextColours(toneColour(mLines[i].tone));
        }
        mList->handleUpdatedItemData();
    }
    if (mEvents && mEvents->active()) {
        Json texts = Json::array();
        for (const PanelLine& line : mLines)
            texts.push_back(line.text);
        mEvents->people(texts);
    }
}

void PeoplePanel::setPushToTalkKey(const std::string& name)
{
    if (name == mPushToTalkKey)
        return;
    mPushToTalkKey = name;
    mTalkShown = false; // told again
    if (mHoldToTalk)
        mHoldToTalk->setText(guiUtf8("hold " + name));
}

void PeoplePanel::refreshTalk()
{
    SessionPort::Microphone talk = mPort->microphone();
    const int own = mPort->deafened() ? 2 : mPort->selfMuted() ? 1 : 0;
    if (talk != mTalk || own != mOwnVoiceShown || !mTalkShown) {
        mTalk = talk;
        mOwnVoiceShown = own;
        mTalkShown = true;
        showOwnVoice();
        PanelLine line =
            talkLine(talk, talk == SessionPort::Microphone::Unavailable ? mPort->microphoneProblem() : "", mPushToTalkKey);
        if (own)
            line = {own == 2 ? "Deafened: you hear nobody, nobody hears you" : "Muted: nobody hears you",
                    LineTone::Waiting};
        if (mTalkStatus) {
            // Why there is no microphone takes the meter's room as well.
            const bool unavailable = talk == SessionPort::Microphone::Unavailable;
            if (mTalkLevel)
                mTalkLevel->setVisible(!unavailable);
            mTalkStatus->setWidth(CEGUI::UDim(unavailable ? 0.94f : 0.52f, 0));
            mTalkStatus->setText(guiUtf8(line.text));
            mTalkStatus->setProperty("TextColours", colourRect(line.tone));
        }
        if (mEvents)
            mEvents->talk(line.text);
    }
    float level = talk == SessionPort::Microphone::Capturing ? mPort->talkLevel() : 0.0f;
    if (mTalkLevel && std::fabs(level - mLevel) >= LevelStep) {
        mTalkLevel->setProgress(level);
        mLevel = level;
    }
}

} // namespace seafold
