// What one process's session shares between its connections: the roster,
// its settings, a client's voices, and the listeners that hear what the
// session does (the event log, the client's link to its server, the
// display). Every listener subscribes for itself; none knows of another.
#pragma once

#include <climits>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "net/netinterface.h"
#include "session/json.h"
#include "session/relayscheduler.h"
#include "session/roster.h"
#include "session/subscribers.h"
#include "session/voiceplayback.h"

namespace seafold {

class ByteBuffer;
class SimpleEventConnection;
class SoundPool;

// How a session's connections behave, fixed before they are made.
struct SessionSettings {
    // Keep-alive ping interval of every connection (ms); 0 keeps the default.
    // A connection times out after eleven silent intervals.
    uint32_t pingIntervalMs = 0;
    // The fingerprint (keyFingerprint) the server's key must have, or empty
    // to take any key. Checked by a client's connection when the server
    // shows its key during the handshake.
    std::string serverKeyFingerprint;
    // Asked by a client's connection with the server's address and key
    // fingerprint as the key shows: the reason to refuse the server (a
    // remembered server that shows another key), or empty to go on. Empty:
    // every key is taken.
    std::function<std::string(const NetAddress& server, const std::string& fingerprint)> serverKeyCheck;
    // Every voice unpositioned, wherever the speakers are (--flat-voice).
    bool flatVoice = false;
    // The newest version of the wire's calls this side offers (wireversion.h):
    // WireVersionBase makes it a peer built to version 0 alone (tests).
    int32_t highestWireVersion = INT32_MAX;
    // The join password, on a sealed connection only: a server asks every
    // client for it and lets one join once their password exchange agrees
    // (passwordexchange.h); a client answers only a server that asks. Empty:
    // none.
    std::string password;
};

// One party's interest in the session: the events it leaves empty it is not
// told of.
struct SessionListener {
    // Every remote call whose handler runs here, with its arguments as a
    // JSON array: texts as strings (see jsonText), numbers as numbers, bools
    // as true/false, byte buffers as lower-case hex strings, lists as arrays.
    std::function<void(const char* rpc, const Json& args)> onRpc;
    // Compressed voice to play: on the server every client's, on a client
    // everything the server relays. The buffer is shared with the relay.
    std::function<void(SimpleEventConnection* connection, ByteBuffer* data)> onVoice;
    // Someone's voice arrived, by the speaker's name as this session knows
    // it: on the server the roster's name of the sending client, on a client
    // the name the server relays with the voice.
    std::function<void(const std::string& speaker)> onSpeaker;
    // The client's connection to the server: "connected", "failed" or
    // "disconnected" (reported by the connection), "connecting" and
    // "retrying" (reported by whoever starts the attempts); "failed",
    // "disconnected" and "retrying" with a reason.
    std::function<void(const char* state, const char* reason)> onConnectionState;
    // A chat line reached this user: on a client every other user's, by
    // the sender's roster name as the server relays it.
    std::function<void(const std::string& sender, const std::string& text)> onChat;
    // A text the server sent for the user to read (a changed name, the
    // reason the server ended the connection, the operator's lines). Printed
    // on standard error while nobody listens for it.
    std::function<void(const char* text)> onServerText;
    // Server: what its operator should hear of (a wrong password guess, a
    // refused name).
    std::function<void(const std::string& text)> onNotice;
};

class Session {
public:
    Session(Roster& roster, bool isServer, SessionSettings settings = SessionSettings())
        : mRoster(roster), mIsServer(isServer), mSettings(std::move(settings))
    {
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    Roster& roster() { return mRoster; }
    // Server: the budgets of senders whose connections ended lately.
    RelayShareMemory& relayShares() { return mRelayShares; }
    bool isServer() const { return mIsServer; }
    void setServer(bool isServer) { mIsServer = isServer; }

    // Read by each connection as it is established: a change applies to the
    // connections made after it.
    const SessionSettings& settings() const { return mSettings; }
    void setSettings(const SessionSettings& settings) { mSettings = settings; }

    // A client's own name as the server knows it: the one it asked for until
    // the server gives it another (s2cYourName). Empty in a server. Every
    // call the client makes, its title and its panel use it.
    const std::string& ownName() const { return mOwnName; }
    void setOwnName(const std::string& name)
    {
        mOwnName = name;
        mOwnNameConfirmed = false;
    }
    // A client: the server said the name it goes by, which it says to a
    // client of version 1 once it has taken the join.
    void confirmOwnName(const std::string& name)
    {
        mOwnName = name;
        mOwnNameConfirmed = true;
    }
    bool ownNameConfirmed() const { return mOwnNameConfirmed; }

    // Server: who may connect. `refusal` gives the reason a connection from
    // an address is refused (a ban, say), or empty to let it in. Asked as
    // each connect request is read; empty: everyone may.
    using Admission = std::function<std::string(const NetAddress& from)>;
    void setAdmission(Admission admission) { mAdmission = std::move(admission); }
    std::string refusal(const NetAddress& from) const { return mAdmission ? mAdmission(from) : std::string(); }
    // Server: who may join under a name (one user banned from an address):
    // the reason the join of `name` from `from` is refused, or empty.
    using JoinAdmission = std::function<std::string(const NetAddress& from, const std::string& name)>;
    void setJoinAdmission(JoinAdmission admission) { mJoinAdmission = std::move(admission); }
    std::string joinRefusal(const NetAddress& from, const std::string& name) const
    {
        return mJoinAdmission ? mJoinAdmission(from, name) : std::string();
    }

    // Server: the names the operator muted. Setting one sets the mute of
    // the user here under it, whose record carries it while it is here; a
    // user who joins again under such a name (or asking for one) is muted
    // as it joins, so that leaving and coming back does not lift it. Names
    // that look alike are one.
    void setNameMuted(const std::string& name, bool muted);
    bool nameMuted(const std::string& name) const;

    // Server: whether `host` (an IPv4 address) may try the password at
    // `nowMs`: not once it made PasswordGuessesPerMinute wrong guesses in
    // the last minute. Only wrong ones count, so that users who know the
    // password join as often as they like from one machine.
    static constexpr size_t PasswordGuessesPerMinute = 5;
    bool mayGuessPassword(uint32_t host, uint32_t nowMs);
    void countWrongPasswordGuess(uint32_t host, uint32_t nowMs);

    // A client's connection to the server, or none (a server, or a client
    // between attempts): the one every sender posts on. Ownership: the
    // network interface holds the connection; this reference is not
    // counted. Set by whoever starts an attempt (the client's link to its
    // server); the connection forgets itself here when the attempt fails
    // or the connection ends, and the reference clears itself should the
    // connection be released first, so no sender ever posts on a released
    // connection.
    SimpleEventConnection* serverConnection() const;
    void setServerConnection(SimpleEventConnection* connection);
    // Clears the connection to the server if it is `connection`.
    void forgetServerConnection(const SimpleEventConnection* connection);

    // A client's voices: the other users' speech, one pair per speaker.
    SpeakerVoices& speakerVoices() { return mSpeakerVoices; }
    // Where this session's voices play (not owned; it outlives the
    // session's connections), or none: they are decoded but not heard.
    SoundPool* soundPool() const { return mSoundPool; }
    void setSoundPool(SoundPool* pool)
    {
        mSoundPool = pool;
        mSpeakerVoices.setSoundPool(pool);
    }
    // How loud this listener hears each speaker (mute, volume): local only.
    ListenerVolumes& listenerVolumes() { return mListenerVolumes; }

    // This user's own voice: muted, nothing they say goes out; deafened,
    // nothing is heard here and they are muted too (undeafened, muted is
    // what it was before). The others are told as UserMarkMuted and
    // UserMarkDeafened: a client tells a server that knows the call once it
    // is let in and at every change; a server's own user is relayed as any
    // user's action.
    void setOwnVoice(bool muted, bool deafened);
    bool ownMuted() const { return mOwnMuted || mDeafened; }
    bool mutedByChoice() const { return mOwnMuted; }
    bool deafened() const { return mDeafened; }
    // The marks the others see of this user (UserMarksOwn bits).
    uint32_t ownMarks() const;

    // The listener hears every later event until it is unsubscribed, in any
    // order with the others: an event a listener raises reaches everyone
    // after the one under way. Safe from inside a listener: one unsubscribed
    // there hears nothing more, not even the rest of the event under way.
    SubscriptionId subscribe(SessionListener listener);
    void unsubscribe(SubscriptionId id);
    // The process's own end is nothing anybody should hear of.
    void unsubscribeAll();

    // ---- telling the listeners (the connections and the link to the server) ----
    // True when anyone listens for remote calls: the arguments are put into
    // JSON only then.
    bool tracesRpcs() const;
    void reportRpc(const char* rpc, const Json& args);
    void reportVoice(SimpleEventConnection* connection, ByteBuffer* data);
    void reportSpeaker(const std::string& speaker);
    void reportConnectionState(const char* state, const char* reason);
    void reportServerText(const char* text);
    void reportChat(const std::string& sender, const std::string& text);
    void reportNotice(const std::string& text);

private:
    // False, with `later` kept for after, while listeners are being told.
    bool beginDelivery(std::function<void()> later);
    void endDelivery();

    Roster& mRoster;
    bool mIsServer;
    SessionSettings mSettings;
    bool mOwnNameConfirmed = false;
    std::string mOwnName;
    Admission mAdmission;
    JoinAdmission mJoinAdmission;
    WeakRef<SimpleEventConnection> mServerConnection;
    std::vector<std::string> mMutedNames;                      // by the operator
    std::map<uint32_t, std::deque<uint32_t>> mPasswordGuesses; // by host: the times of its guesses
    SoundPool* mSoundPool = nullptr;
    SpeakerVoices mSpeakerVoices;
    ListenerVolumes mListenerVolumes;
    bool mOwnMuted = false;
    bool mDeafened = false;
    RelayShareMemory mRelayShares;
    Subscribers<SessionListener> mListeners;
    bool mDelivering = false;
    std::deque<std::function<void()>> mLater; // events raised by listeners, in order
};

// A network interface that knows its session; connections created for
// incoming requests find their session through it.
class SessionInterface : public NetInterface {
public:
    SessionInterface(const NetAddress& bindAddress, Session& session) : NetInterface(bindAddress), mSession(session) {}
    // Ends every connection while the connections can still find their
    // session: the leave sequence and the client's "disconnected" run, and
    // nothing keeps a pointer to a connection that is gone.
    ~SessionInterface() override;
    Session& session() { return mSession; }

protected:
    void prepareIncomingConnection(NetConnection* connection) override;

private:
    Session& mSession;
};

} // namespace seafold
