// What the scene needs from the running session, and nothing more: the scene
// shows the user's choices and sends them on through this port, and shows
// who is there and how the connection fares; the program that starts the
// scene fills the port in with its session. The scene thus never learns how
// the session is run (connection, roster, voice capture).
//
// Operations are called on the main thread, from the frame listener and the
// GUI handlers. Each is safe at any time: without a connection to a server
// the senders send nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace seafold {

struct ClientRecord;

// The health of one connection, from its statistics.
struct LinkHealth {
    float roundTripMs = 0;    // smoothed time from a packet to its acknowledgement
    uint32_t packetsLost = 0; // packets never acknowledged
    uint32_t queued = 0;      // events waiting to be sent
};

// One other user as the session knows them.
struct PersonStatus {
    uint64_t id = 0; // the roster entry's (ClientRecord::id)
    std::string name;
    std::string model;    // the mesh they picked; empty until they pick one
    bool hasLink = false; // the server's connection to them (server only)
    LinkHealth link;
    // How this listener hears their voice (SessionPort::setVoiceVolume).
    bool muted = false;
    float volume = 1.0f;
    // The server: their voice is not relayed to anyone (the host muted it).
    bool mutedForAll = false;
    // They run the server (a client is told so by a server that knows how).
    bool hosts = false;
    // They turned their own microphone off (selfMuted) or hear nobody
    // (deafened, which mutes them too), as a server that knows how tells.
    bool selfMuted = false;
    bool deafened = false;
};

// The session as the user should see it.
struct SessionStatus {
    std::string address;  // the server's address: bound by the server, joined by a client
    std::string userName; // this user's name; empty in a server that does not take part
    bool hosting = false; // this is the server
    // A client's connection to the server as the session last reported it
    // ("connecting", "connected", "failed", "disconnected", "retrying", or
    // whatever else it reports); empty in the server.
    std::string connection;
    std::string reason; // why, with "failed" and "disconnected"
    // A client: the server has let this user in (said the name it took the
    // join under, or is of version 0, which never says). Until then a
    // connected link is not yet a session. (True unless the session says
    // otherwise.)
    bool admitted = true;
    bool passwordSent = false; // a client joined with a password
    bool hasLink = false;      // a client's connection to the server exists
    LinkHealth link;
    std::vector<PersonStatus> people; // the others (the server: every client), in join order
    // The server: where others join it ("10.0.0.5:28000 (eth0)", one per
    // network, when it listens on all of them), its key's fingerprint (empty:
    // none), whether a join needs a password, and its user limit (0: none
    // told).
    std::vector<std::string> joinAddresses;
    std::string keyFingerprint;
    bool passwordSet = false;
    uint32_t userLimit = 0;
    // This user may kick, ban and mute others (the server's own user).
    bool moderates = false;
    // This user muted themselves, or is deafened (SessionPort::toggleSelfMute).
    bool ownMuted = false;
    bool ownDeafened = false;
};

class SessionPort {
public:
    virtual ~SessionPort() = default;

    // True in a client. The server shows the same scene and panel; a pure
    // host sends nothing of its own.
    virtual bool isClient() const = 0;
    // True when this user takes part: a client, or a server that is a user
    // of its own session. Only such a user has push-to-talk.
    virtual bool takesPart() const { return isClient(); }

    // The user moved the own model by this delta.
    virtual void sendMovement(double dx, double dy, double dz) = 0;

    // The user turned the own model: its heading is now `yawDegrees` (about
    // the vertical axis). Seen by peers of the same wire version only.
    virtual void sendHeading(double yawDegrees) { (void)yawDegrees; }

    // Sends what the user did this frame now, as far as the connection's
    // rate allows, instead of after the frame is drawn.
    virtual void sendInput() {}

    // How often states of `record`'s user can arrive here (ms): the send
    // interval of the connection they come over.
    virtual double sendIntervalMsOf(const ClientRecord& record) const
    {
        (void)record;
        return DefaultSendIntervalMs;
    }
    static constexpr double DefaultSendIntervalMs = 96;

    // The user picked this model for the own node.
    virtual void announceSelection(const std::string& meshName) = 0;

    // The push-to-talk key went down (true) or up (false).
    virtual void setPushToTalk(bool held) = 0;

    // The local user's microphone: push-to-talk not held, capturing (and
    // sending), waiting for speech (voice activation), or the last attempt
    // found no microphone (microphoneProblem says why).
    enum class Microphone { Off, Capturing, Listening, Unavailable };
    virtual Microphone microphone() const { return Microphone::Off; }
    virtual std::string microphoneProblem() const { return std::string(); }

    // This user's own voice. Mute me: nothing this user says goes out,
    // whatever the push-to-talk key or voice activation do. Deafen: no
    // voice is heard here, and the user is muted too; undeafening leaves
    // the mute as it was before. The others see both beside the name.
    virtual void toggleSelfMute() {}
    virtual void toggleDeafen() {}
    virtual bool selfMuted() const { return false; }
    virtual bool deafened() const { return false; }

    // How loud this program plays everything, 0 to 1 (the master volume).
    virtual void setMasterVolume(float volume) { (void)volume; }
    virtual float masterVolume() const { return 1.0f; }

    // Voice activation instead of push-to-talk: the microphone stays open
    // and speech opens it ("Talk: when I speak").
    virtual bool voiceActivation() const { return false; }
    virtual void setVoiceActivation(bool on) { (void)on; }

    // How this listener hears a user's voice: muted, and a volume (1 as it
    // came, 0 to 2). Only this program's output changes.
    virtual void setVoiceVolume(const std::string& name, bool muted, float volume)
    {
        (void)name;
        (void)muted;
        (void)volume;
    }
    virtual bool voiceMuted(const std::string& name) const
    {
        (void)name;
        return false;
    }
    virtual float voiceVolume(const std::string& name) const
    {
        (void)name;
        return 1.0f;
    }

    // `heard` hears the roster entry (ClientRecord::id) of everyone whose
    // voice arrives here, until unsubscribed with the id returned (0: there
    // is nothing to hear). A voice of nobody in the roster is not told. Any
    // number may listen.
    virtual uint64_t subscribeSpeakers(std::function<void(uint64_t userId)> heard)
    {
        (void)heard;
        return 0;
    }
    virtual void unsubscribe(uint64_t id) { (void)id; }

    // Places every voice played here: `where` gives a user's place relative
    // to the listener (x right, y up, -z ahead) and returns true, or returns
    // false for a user without a model, who is then heard from the
    // listener's own place.
    using VoicePlacer = std::function<bool(const ClientRecord& record, float place[3])>;
    virtual void placeVoices(const VoicePlacer& where) { (void)where; }

    // A chat line from this user to the others; false when it cannot go
    // (no server that knows chat, an empty or too long line).
    virtual bool sendChat(const std::string& text)
    {
        (void)text;
        return false;
    }
    // `heard` hears every other user's chat line that reaches this user
    // (the sender's name and the text), until unsubscribed with the id
    // returned (0: there is nothing to hear).
    virtual uint64_t subscribeChat(std::function<void(const std::string& sender, const std::string& text)> heard)
    {
        (void)heard;
        return 0;
    }

    // `show` shows this program's own notes to the user (a sound device
    // gone, the default in its place); an empty one stops it.
    virtual void setNoteShower(std::function<void(const std::string& text)> show) { (void)show; }

    // Who is there and how the connection fares, now.
    virtual void describeSession(SessionStatus& status) = 0;

    // The loudness of what the microphone takes in, 0 to 1 (0 unless
    // capturing).
    virtual float talkLevel() const { return 0; }

    // The host's moderation of user `name`, with the same effect and
    // console lines as the operator's console: a kick, a ban of their
    // address for `minutes` (0: for good), their voice muted or heard again
    // for everyone. Nothing where this user is no host
    // (SessionStatus::moderates).
    enum class Moderation { Kick, Ban, Mute, Unmute };
    virtual void moderate(Moderation what, const std::string& name, uint32_t minutes)
    {
        (void)what;
        (void)name;
        (void)minutes;
    }
};

// The port of a scene with no session behind it: a client of nothing. Used
// until the program sets its own.
class NoSessionPort : public SessionPort {
public:
    bool isClient() const override { return false; }
    void sendMovement(double, double, double) override {}
    void announceSelection(const std::string&) override {}
    void setPushToTalk(bool) override {}
    void describeSession(SessionStatus& status) override { status = SessionStatus(); }
};

} // namespace seafold
