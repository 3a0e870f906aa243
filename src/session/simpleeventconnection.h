// The application's connection class and its remote calls: joining and
// the roster, model selection, movement, voice, leaving, and the echo calls.
//
// One process is the server (it accepts connections and relays) or a client
// (one connection to the server). The server keeps the authoritative roster
// and relays each client's actions to every other client.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "net/netinterface.h"
#include "net/rpc.h"
#include "session/json.h"
#include "session/roster.h"
#include "session/voiceplayback.h"

namespace seafold {

class SimpleEventConnection;
// Each connection's voice decoder and stream are its own, but what they are
// made of is no business of the files that include this one.
class VoiceDecoder;
class SFXObject;

// What one process's session shares between its connections.
class Session {
public:
    Session(Roster& roster, bool isServer) : mRoster(roster), mIsServer(isServer) {}
    Roster& roster() { return mRoster; }
    bool isServer() const { return mIsServer; }
    void setServer(bool isServer) { mIsServer = isServer; }

    // A client's connection to the server while it lasts (the interface owns
    // it); cleared when the attempt fails or the connection ends, and by the
    // connection itself should it go first, so that no sender ever posts on
    // a released connection.
    WeakRef<SimpleEventConnection> connectionToServer;

    // Keep-alive ping interval of every connection (ms); 0 keeps the default.
    // A connection times out after eleven silent intervals.
    uint32_t pingIntervalMs = 0;

    // The fingerprint (keyFingerprint) the server's key must have, or empty
    // to take any key. Checked by a client's connection when the server
    // shows its key during the handshake.
    std::string serverKeyFingerprint;

    // ---- observers (each may be empty) ----
    // Every remote call whose handler runs here, with its arguments as a
    // JSON array: texts as strings (see jsonText), numbers as numbers, bools
    // as true/false, byte buffers as lower-case hex strings, lists as arrays.
    std::function<void(const char* rpc, const Json& args)> onRpc;
    // Compressed voice to play: on the server every client's, on a client
    // everything the server relays. The buffer is shared with the relay.
    std::function<void(SimpleEventConnection* connection, ByteBuffer* data)> onVoice;
    // The client's connection to the server: "connected", "failed" or
    // "disconnected" (reported by the connection), "connecting" and
    // "retrying" (reported by whoever starts the attempts); "failed",
    // "disconnected" and "retrying" with a reason.
    std::function<void(const char* state, const char* reason)> onConnectionState;
    // A text the server sent for the user to read (a changed name, the
    // reason the server ended the connection). Printed on standard error
    // when empty.
    std::function<void(const char* text)> onServerText;

    // A client's voices: the other users' speech, one pair per speaker.
    SpeakerVoices speakerVoices;

private:
    Roster& mRoster;
    bool mIsServer;
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

private:
    Session& mSession;
};

// The process's client connection to the server, or none (the server, or a
// client whose connection failed or ended). Not counted: the network
// interface holds the connection; the hooks clear this, and so does the
// connection's end should they not run.
extern WeakRef<SimpleEventConnection> gConnectionToServer;

class SimpleEventConnection : public EventConnection, public RPCPostObserver {
    SF_DECLARE_CLASS(SimpleEventConnection)
public:
    // A relaying server lets each sender have this many bytes a second of
    // events relayed to the others, or the slowest receiver's send capacity
    // divided among the senders it hears if that is more. The floor passes two
    // seconds of voice a second (what the voice relay allows a speaker) with
    // the overhead of ten messages, so nobody is held for speaking.
    static constexpr double FairRelayFloorBytesPerSecond = 1500;
    // What a sender may have relayed at once after a quiet spell: a few
    // selections or full voice messages.
    static constexpr double FairRelayBurstBytes = 4096;
    // Beyond this many bytes held back, a sender is not slowing down: its
    // connection ends as any overflowing queue's does. About 40 s of
    // relays at the floor share.
    static constexpr size_t MaxHeldRelayBytes = 64 * 1024;
    // Each held relay is charged its packed arguments plus this, for the
    // class id, flags, sequence and size check bits around an event.
    static constexpr size_t RelayEventOverheadBytes = 4;

    SimpleEventConnection();
    ~SimpleEventConnection() override;

    uint32_t classGroup() const override { return NetClassGroupDefault; }
    void onEstablished() override;
    void onConnectFailed(uint32_t reason, const char* message) override;
    void onDisconnected(uint32_t reason, const char* message) override;
    void prepareWritePacket() override;
    void rpcPosted(RPCEvent* event) override;
    // Refuses a server whose key is not the one the session expects, and ends
    // the attempt at once with both fingerprints in the reason.
    bool acceptPublicKey(AsymmetricKey* key, bool isInitiator) override;

    // The session of this connection's interface, or none.
    Session* session() const;

    // A client's movement of its own model, sent as c2smakeMovement. Deltas
    // are summed into the movement that still waits unsent, so a sender
    // that moves every frame puts at most one movement into each packet;
    // once anything else was posted after it, a new one is posted, so
    // nothing overtakes. Non-finite deltas are not sent. False when nothing
    // could be queued.
    bool sendMovement(double dx, double dy, double dz);

    // Server: bytes of this client's relays held back beyond its fair share.
    size_t heldRelayBytes() const { return mHeldBytes; }

    // Decodes voice received on this connection and queues it for playing.
    void playVoice(const ByteBuffer* data);

    // The voice received on this connection (in the server, the client's):
    // its own decoder (the synthesis state runs on from message to message)
    // and its own stream. Made at the first voice, released with the
    // connection. A client plays relayed voice by speaker (SpeakerVoices).
    RefPtr<VoiceDecoder> voiceDecoder;
    RefPtr<SFXObject> voiceStream;
    // In the server: how much of this client's voice may still be relayed.
    VoiceAllowance voiceAllowance;

    // ---- echo calls ----
    SF_DECLARE_RPC(rpcMessageClientToServer, StringPtr);
    SF_DECLARE_RPC(rpcMessageServerToClient, StringPtr);
    SF_DECLARE_RPC(rpcCoorClientToServer, int32_t, int32_t, StringPtr);
    SF_DECLARE_RPC(rpcCoorServerToClient, int32_t, int32_t);
    // ---- movement ----
    SF_DECLARE_RPC(c2smakeMovement, double, double, double);
    // ---- echo calls ----
    SF_DECLARE_RPC(rpcStructClientToServer, RefPtr<ByteBuffer>, StringPtr);
    SF_DECLARE_RPC(rpcStructServerToClient, RefPtr<ByteBuffer>);
    SF_DECLARE_RPC(rpcStreamClientToServer, std::vector<int32_t>, StringPtr);
    SF_DECLARE_RPC(rpcStreamServerToClient, std::vector<int32_t>);
    // ---- voice ----
    SF_DECLARE_RPC(c2sVoice, bool, RefPtr<ByteBuffer>, StringPtr);
    SF_DECLARE_RPC(s2cVoice, RefPtr<ByteBuffer>, StringPtr);
    // ---- roster ----
    SF_DECLARE_RPC(c2sAddNewClient, StringPtr);
    SF_DECLARE_RPC(s2cclientDisconnect, StringPtr);
    SF_DECLARE_RPC(s2cIntroduceNewClient, StringPtr);
    SF_DECLARE_RPC(s2cEntityNotify, StringPtr, double, double, double, StringPtr);
    SF_DECLARE_RPC(s2cmakeMovement, double, double, double, StringPtr);
    SF_DECLARE_RPC(c2sEntitySelection, StringPtr);
    SF_DECLARE_RPC(s2cBroadcastMessage);

private:
    // An s2cmakeMovement or c2smakeMovement that may still take more deltas:
    // valid while it is amendable and nothing else was posted on this
    // connection since (the post epoch is unchanged).
    struct PendingMovement {
        RefPtr<RPCEvent> event;
        uint64_t epoch = 0;
    };
    // A relay from this client that waits for its fair share: an event for
    // every other client, or movements summed.
    struct HeldRelay {
        enum Kind { Movement, Selection, Event } kind = Event;
        RefPtr<RPCEvent> event; // Selection and Event: one object for every receiver
        bool echoToSender = false;
        std::string entityName; // Selection: applied to the server's own scene on release
        double dx = 0, dy = 0, dz = 0;
        size_t bytes = 0; // charged against the fair share (movements: nothing)
    };

    // Adds a delta to a pending movement with `add`, or posts `build()` and
    // makes it the pending one.
    template <class Add, class Build>
    bool coalesceMovement(PendingMovement& pending, double dx, double dy, double dz, Add add, Build build);
    // Server, on the receiving client's connection: a movement of `mover`
    // for this client, summed into the one of that user still waiting here.
    void queueRelayedMovement(const ClientRecord& mover, double dx, double dy, double dz);
    // Server: posts an event about one user here; it ends only that user's
    // pending movement, so other users' movements are still summed.
    bool postAbout(uint64_t userId, NetEvent* event);
    // Server: relays from this client, through its fair share.
    void relayFromHere(HeldRelay relay);
    void relayMovementFromHere(double dx, double dy, double dz);
    bool relayHeldBack() const { return !mHeldRelays.empty(); }
    void releaseHeldRelays();
    void performRelay(HeldRelay& relay);
    void refillRelayBudget();
    size_t relayCost(RPCEvent* event) const;
    void dropHeldRelays();
    void showServerText(const char* text);

    void forgetServerConnection(const char* state, const char* reason);
    // The server's roster record of the client at the other end, or none
    // (a connection that never joined).
    ClientRecord* senderRecord() const;
    // Who sends voice on this connection, for log lines: the roster's name
    // of the client, or its address.
    const char* voiceSenderName() const;
    // Runs `action` on the connection of every roster entry but this one.
    void forEachOtherClient(const std::function<void(SimpleEventConnection*)>& action);
    // Reports a handler run to the session's observer.
    template <class... Args> void trace(const char* rpc, const Args&... args);

    // Bumped by every post except a pending movement's own and those about
    // one user: a pending movement from an older epoch has something queued
    // after it.
    uint64_t mPostEpoch = 0;
    bool mPostingPending = false;
    uint64_t mPostingAbout = 0;   // the user (record id) of the post under way, if it is about one
    PendingMovement mOwnMovement; // client
    std::unordered_map<uint64_t, PendingMovement> mRelayedMovements; // server: by mover's record id
    std::deque<HeldRelay> mHeldRelays;                               // server: this client's, in order
    size_t mHeldBytes = 0;
    double mRelayBudget = FairRelayBurstBytes;
    uint32_t mBudgetTime = 0;
    bool mBudgetStarted = false;
};

} // namespace seafold
