// The "People" panel: who is there and with which model, whose voice plays,
// this client's connection and the statistics of every connection, and this
// user's push-to-talk with a level meter. It reads the session through the
// scene's SessionPort, hears who is talking from the port's speaker events,
// and redraws only what changed.
#pragma once

#include "scene/peopleview.h"
#include "scene/sessionport.h"
#include "scene/systemclipboard.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace CEGUI {
class Window;
class Listbox;
class ProgressBar;
class ToggleButton;
class Scrollbar;
class RadioButton;
class EventArgs;
} // namespace CEGUI

namespace seafold {

class WindowEvents;

class PeoplePanel {
public:
    // The user list is read four times a second, so a speaker's mark and a
    // change of the connection show at once; the statistics shown change
    // once a second, which the eye can follow.
    static constexpr uint32_t ListRefreshMs = 250;
    static constexpr uint32_t StatsRefreshMs = 1000;
    // How long a line that was clicked to copy says "(copied)".
    static constexpr uint32_t CopiedShownMs = 3000;

    PeoplePanel() = default;
    PeoplePanel(const PeoplePanel&) = delete;
    PeoplePanel& operator=(const PeoplePanel&) = delete;
    ~PeoplePanel();

    // Finds the panel's windows under `root` ("PeoplePanel", "PeopleList",
    // "VoiceOf", "VoiceMuteCB", "VoiceVolume", "HoldToTalkRBtn",
    // "SpeakToTalkRBtn", "TalkStatus", "TalkLevel", "MuteMeCB", "DeafenCB",
    // "MasterVolume"); missing ones are left
    // out. Listens to the port's speakers until the panel goes.
    void attach(CEGUI::Window* root, SessionPort& port, WindowEvents& events);

    // Shows or hides the whole panel; a hidden panel is not refreshed.
    void setShown(bool shown);
    bool shown() const { return mShown; }

    // Once per frame, with the real-time clock in ms and the mesh of the
    // user's own model.
    void update(uint32_t nowMs, const std::string& ownModel);
    // The push-to-talk key's name, as the panel tells it ("Hold R to talk").
    void setPushToTalkKey(const std::string& name);

    // The lines shown now.
    const std::vector<PanelLine>& lines() const { return mLines; }
    // Whose voice arrived lately (kept while the panel is hidden too).
    const VoiceActivity& voices() const { return mVoices; }
    // Whether the voice of the user shown as `name` plays now (for the name
    // labels in the scene, which know users by name).
    bool speaking(const std::string& name, uint32_t nowMs) const;
    // As of the last refresh, shown or hidden: the others are shown as lost
    // (othersLost).
    bool othersLost() const { return mOthersLost; }

    // The user whose voice the mute box and volume bar set (picked in the
    // list); empty when none is.
    const std::string& pickedVoice() const { return mPicked; }

private:
    void refreshList(uint32_t nowMs, const std::string& ownModel);
    void rememberIds(const SessionStatus& status);
    void refreshTalk();
    // Shows the talk row while this user takes part in a session.
    void syncTalkRow();
    void showPickedVoice();
    bool handlePersonPicked(const CEGUI::EventArgs& args);
    bool handleVoiceChanged(const CEGUI::EventArgs& args);
    bool handleTalkChoice(const CEGUI::EventArgs& args);
    bool handleOwnVoice(const CEGUI::EventArgs& args);
    bool handleMasterVolume(const CEGUI::EventArgs& args);
    // The mute-me and deafen boxes and the master volume as the port has
    // them (the keys change them too).
    void showOwnVoice();
    // The host's row of moderation under the list: Kick, Ban for the
    // minutes typed (empty: for good), Mute for everyone.
    void createModeration(CEGUI::Window* panel);
    void showModeration(bool moderates);
    void moderate(SessionPort::Moderation what);
    // A click on a line that copies: its text goes to the desktop's
    // clipboard, and the line says so for a moment.
    void copyLine(const PanelLine& line, uint32_t nowMs);
    void markCopied(std::vector<PanelLine>& lines, uint32_t nowMs) const;

    SessionPort* mPort = nullptr;
    WindowEvents* mEvents = nullptr;   // where its lines are logged
    uint64_t mSpeakerSubscription = 0; // to mPort
    VoiceActivity mVoices;
    CEGUI::Window* mPanel = nullptr;
    CEGUI::Listbox* mList = nullptr;
    CEGUI::Window* mTalkStatus = nullptr;
    CEGUI::ProgressBar* mTalkLevel = nullptr;
    CEGUI::Window* mVoiceOf = nullptr;
    CEGUI::ToggleButton* mMute = nullptr;
    CEGUI::Scrollbar* mVolume = nullptr;
    CEGUI::RadioButton* mSpeakToTalk = nullptr;
    CEGUI::RadioButton* mHoldToTalk = nullptr;
    CEGUI::ToggleButton* mMuteMe = nullptr;
    CEGUI::ToggleButton* mDeafen = nullptr;
    CEGUI::Scrollbar* mMasterVolume = nullptr;
    int mOwnVoiceShown = -1; // 0 heard, 1 muted, 2 deafened, as the talk line shows it
    std::string mPicked;
    bool mPickedMutedForAll = false;
    bool mModerates = false;
    std::vector<CEGUI::Window*> mModeration; // Kick, Ban, minutes, Mute
    CEGUI::Window* mBanMinutes = nullptr;
    CEGUI::Window* mMuteForAll = nullptr;
    bool mShowingVoice = false; // set while the controls are set from the port, not by the user
    bool mShown = true;
    bool mFirst = true;
    uint32_t mLastList = 0;
    uint32_t mLastStats = 0;
    std::map<std::string, uint64_t> mIdsByName; // the users of the last refresh
    bool mOthersLost = false;
    std::map<std::string, LinkHealth> mShownLinks; // the statistics on screen, by connection
    std::vector<PanelLine> mLines;
    SessionPort::Microphone mTalk = SessionPort::Microphone::Off;
    bool mTalkShown = false;
    std::string mPushToTalkKey = "R";
    std::vector<CEGUI::Window*> mTalkRow; // label, choice, status line, meter
    bool mTalkRowShown = true;
    float mLevel = -1;
    std::unique_ptr<SystemClipboard> mClipboard; // opened at the first copy
    uint32_t mCopiedAtMs = 0;
    bool mCopyTried = false;
    bool mCopied = false;
};

} // namespace seafold
