// The running session as the scene sees it (a SessionHost's): movements,
// turns and selections go to the server over serverConnection() (nothing
// without one), or to the host's own user; push-to-talk drives voice
// capture; what the user hears, and the chat, come from the session.
#pragma once

#include "scene/sessionport.h"
#include "session/subscribers.h"

#include <string>
#include <vector>

namespace seafold {

class SessionHost;
class SimpleEventConnection;
class VoiceCapture;

class HostPort : public SessionPort {
public:
    explicit HostPort(const SessionHost& host) : mHost(host) {}

    bool isClient() const override;
    bool takesPart() const override;
    void sendMovement(double dx, double dy, double dz) override;
    void sendHeading(double yawDegrees) override;
    void sendInput() override;
    double sendIntervalMsOf(const ClientRecord& record) const override;
    void announceSelection(const std::string& meshName) override;
    // A new connection to the server: the server knows nothing of this user,
    // so the model and where the user moved it go again.
    void rejoin(SimpleEventConnection& connection);
    void setPushToTalk(bool held) override;
    void toggleSelfMute() override;
    void toggleDeafen() override;
    bool selfMuted() const override;
    bool deafened() const override;
    void setMasterVolume(float volume) override;
    float masterVolume() const override;
    Microphone microphone() const override;
    std::string microphoneProblem() const override;
    bool voiceActivation() const override;
    void setVoiceActivation(bool on) override;
    void setVoiceVolume(const std::string& name, bool muted, float volume) override;
    bool voiceMuted(const std::string& name) const override;
    float voiceVolume(const std::string& name) const override;
    SubscriptionId subscribeSpeakers(std::function<void(uint64_t)> heard) override;
    void unsubscribe(SubscriptionId id) override;
    void placeVoices(const VoicePlacer& where) override;
    bool sendChat(const std::string& text) override;
    SubscriptionId subscribeChat(std::function<void(const std::string&, const std::string&)> heard) override;
    void describeSession(SessionStatus& status) override;
    float talkLevel() const override;
    // The operator console's own routines: the same effect and lines.
    void moderate(Moderation what, const std::string& name, uint32_t minutes) override;
    // Starts capture; when there is none, the console says why (once for
    // each new reason).
    void openMicrophone();

private:
    // What the host tells those who would join: where, the key, the lock.
    void describeHosting(SessionStatus& status);
    VoiceCapture& capture() const;
    // The microphone follows this user's own mute: closed while muted,
    // open again after with voice activation.
    void followOwnMute();

    const SessionHost& mHost;
    std::vector<std::string> mJoinAddresses; // found once, as the host listens
    std::string mSelection;
    bool mSelected = false;
    double mMovedX = 0, mMovedY = 0, mMovedZ = 0;
    double mHeadingDegrees = 0;
    bool mTurned = false;
    bool mPostedInput = false; // since the last sendInput
};

} // namespace seafold
