// The windowed program's port to its session: the scene is made once and
// keeps this port, while the session behind it may come and go (the start
// window joins or hosts one, and a refused or ended one takes the user back
// there). It passes each call to the session running now, if any, keeps the
// scene's listeners subscribed across sessions, and keeps the choices the
// user makes through it (the model, how to talk, whom to mute) in the user's
// config file.
#pragma once

#include "base/atomicfile.h"
#include "scene/sessionport.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace seafold {

class WindowPort : public SessionPort {
public:
    // How a choice is kept: the option (without dashes), its values, and
    // whether it is a list; the result says why it could not be. Empty:
    // nothing is kept (the default).
    using Keeper =
        std::function<FileWriteResult(const std::string& option, const std::vector<std::string>& values, bool list)>;
    void setKeeper(Keeper keeper) { mKeeper = std::move(keeper); }
    // Keeps a choice made elsewhere in the window (the start window's name
    // and server, the material sliders). A failure is shown in the window,
    // once for each new reason.
    void remember(const std::string& option, const std::vector<std::string>& values, bool list = false);
    // The same for a window that shows the failure itself: the result says
    // why a choice was not kept (no keeper keeps nothing, and says so).
    FileWriteResult keep(const std::string& option, const std::vector<std::string>& values, bool list = false);
    // The user whose choices are kept (the name asked for, not the one a
    // server may have made of it).
    void setUser(const std::string& name) { mUser = name; }
    const std::string& user() const { return mUser; }

    // The session's own port from now on; null: none. The listeners move
    // over to it. A port set here must stay alive until it is replaced.
    void setTarget(SessionPort* target);
    SessionPort* target() const { return mTarget; }

    bool isClient() const override { return current().isClient(); }
    bool takesPart() const override { return current().takesPart(); }
    void sendMovement(double dx, double dy, double dz) override { current().sendMovement(dx, dy, dz); }
    void sendHeading(double yawDegrees) override { current().sendHeading(yawDegrees); }
    void sendInput() override { current().sendInput(); }
    double sendIntervalMsOf(const ClientRecord& record) const override { return current().sendIntervalMsOf(record); }
    void announceSelection(const std::string& meshName) override;
    void setPushToTalk(bool held) override { current().setPushToTalk(held); }
    void toggleSelfMute() override { current().toggleSelfMute(); }
    void toggleDeafen() override { current().toggleDeafen(); }
    bool selfMuted() const override { return current().selfMuted(); }
    bool deafened() const override { return current().deafened(); }
    void setMasterVolume(float volume) override;
    float masterVolume() const override { return mMasterVolume; }
    // The master volume as kept (the start of a session sets it).
    void setKeptMasterVolume(float volume) { mMasterVolume = volume; }
    Microphone microphone() const override { return current().microphone(); }
    std::string microphoneProblem() const override { return current().microphoneProblem(); }
    bool voiceActivation() const override { return current().voiceActivation(); }
    void setVoiceActivation(bool on) override;
    void setVoiceVolume(const std::string& name, bool muted, float volume) override;
    bool voiceMuted(const std::string& name) const override { return current().voiceMuted(name); }
    float voiceVolume(const std::string& name) const override { return current().voiceVolume(name); }
    uint64_t subscribeSpeakers(std::function<void(uint64_t userId)> heard) override;
    uint64_t subscribeChat(std::function<void(const std::string& sender, const std::string& text)> heard) override;
    void unsubscribe(uint64_t id) override;
    void setNoteShower(std::function<void(const std::string& text)> show) override;
    // A note for the user in the window; one from before the window could
    // show it waits for it.
    void showNote(const std::string& text);
    void placeVoices(const VoicePlacer& where) override { current().placeVoices(where); }
    bool sendChat(const std::string& text) override { return current().sendChat(text); }
    void describeSession(SessionStatus& status) override { current().describeSession(status); }
    float talkLevel() const override { return current().talkLevel(); }
    void moderate(Moderation what, const std::string& name, uint32_t minutes) override
    {
        current().moderate(what, name, minutes);
    }

    // The model the user picked last (empty: none yet).
    const std::string& lastModel() const { return mLastModel; }

    // Whom the user muted, as kept (the start of a session mutes them).
    void setMuted(const std::vector<std::string>& names);
    // How loud the user hears whom, as kept (1 = as sent; the start of a
    // session sets them).
    void setVolumes(const std::vector<std::pair<std::string, float>>& volumes);

private:
    struct Listener {
        std::function<void(uint64_t)> speakers;
        std::function<void(const std::string&, const std::string&)> chat;
        uint64_t targetId = 0; // the subscription with the target, 0: none
    };

    SessionPort& current() const { return mTarget ? *mTarget : mNone; }
    void subscribeToTarget(Listener& listener);

    mutable NoSessionPort mNone;
    SessionPort* mTarget = nullptr;
    std::map<uint64_t, Listener> mListeners; // by our own ids
    uint64_t mNextId = 1;
    std::vector<std::string> mMuted;       // as kept, in the order muted
    std::map<std::string, float> mVolumes; // as kept; none at 1
    float mMasterVolume = 1.0f;
    std::string mLastModel;
    // How to talk, once the user chose it in this run: each new session
    // talks so too.
    bool mTalkChosen = false;
    bool mVoiceActivation = false;
    Keeper mKeeper;
    std::string mUser;
    std::string mToldKeepFailure; // the last failure to keep a choice shown
    std::function<void(const std::string&)> mShowNote;
    std::vector<std::string> mWaitingNotes;
};

} // namespace seafold
