// What the scene needs from the running session, and nothing more: the scene
// shows the user's choices and sends them on through this port; the program
// that starts the scene fills the port in with its session. The scene thus
// never learns how the session is run (connection, roster, voice capture).
//
// Operations are called on the main thread, from the frame listener and the
// GUI handlers. Each is safe at any time: without a connection to a server
// the senders send nothing.
#pragma once

#include <string>

namespace seafold {

class Session;

class SessionPort {
public:
    virtual ~SessionPort() = default;

    // True in a client. The server shows the same scene and panel but sends
    // nothing of its own and has no push-to-talk.
    virtual bool isClient() const = 0;

    // The user moved the own model by this delta (the turn stays local).
    virtual void sendMovement(double dx, double dy, double dz) = 0;

    // The user picked this model for the own node.
    virtual void announceSelection(const std::string& meshName) = 0;

    // The push-to-talk key went down (true) or up (false).
    virtual void setPushToTalk(bool held) = 0;

    // The local user's push-to-talk: not held, capturing, or the last press
    // found no microphone.
    enum class Microphone { Off, Capturing, Unavailable };
    virtual Microphone microphone() const { return Microphone::Off; }

    // True while `userName`'s voice is being played here (a speaker mark).
    virtual bool isVoicePlaying(const std::string& userName) const
    {
        (void)userName;
        return false;
    }

    // The session, for its observers (remote calls run, the connection's
    // state); null while there is none.
    virtual Session* session() = 0;
};

// The port of a scene with no session behind it: a client of nothing. Used
// until the program sets its own.
class NoSessionPort : public SessionPort {
public:
    bool isClient() const override { return false; }
    void sendMovement(double, double, double) override {}
    void announceSelection(const std::string&) override {}
    void setPushToTalk(bool) override {}
    Session* session() override { return nullptr; }
};

} // namespace seafold
