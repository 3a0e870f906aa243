// The application's connection class and its remote calls: joining and
// the roster, model selection, movement, voice, leaving, and the echo calls.
//
// One process is the server (it accepts connections and relays) or a client
// (one connection to the server). The server keeps the authoritative roster
// and relays each client's actions to every other client.
//
// The connection wires the session's parts together: the movements it sends
// are merged while they wait (MovementCoalescer), what the server relays for
// a client goes through that client's fair share (RelayScheduler), and the
// server plays each client's voice itself (ClientVoice). The handlers of the
// messages and echo calls are in echocalls.cpp, the voice calls of version
// 1 in voicecalls.cpp.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "net/rpc.h"
#include "session/clientvoice.h"
#include "session/movementcoalescer.h"
#include "session/relayscheduler.h"
#include "session/session.h"

namespace seafold {

class PasswordExchange;

class SimpleEventConnection : public EventConnection, public RPCPostObserver {
    SF_DECLARE_CLASS(SimpleEventConnection)
public:
    SimpleEventConnection();
    ~SimpleEventConnection() override;

    uint32_t classGroup() const override { return NetClassGroupDefault; }
    void onEstablished() override;
    void onConnectFailed(uint32_t reason, const char* message) override;
    void onDisconnected(uint32_t reason, const char* message) override;
    void prepareWritePacket() override;
    void rpcPosted(RPCEvent* event) override;
    // Server: a connection that has not joined may only join; anything else
    // it sends is dropped with a log line.
    bool admitEvent(NetEvent* event) override;
    // Server: refuses a connection the session does not admit (a banned
    // address), with the session's reason.
    bool readConnectRequest(BitStream& stream, const char** errorText) override;
    // Refuses a server whose key is not the one the session expects, and ends
    // the attempt at once with both fingerprints in the reason.
    bool acceptPublicKey(AsymmetricKey* key, bool isInitiator) override;
    // Server: the client has joined once it is on the roster (c2sAddNewClient);
    // without a session there is nothing to join.
    bool hasJoined() const override;

    // The session of this connection's interface, or none.
    Session* session() const;

    // A client's movement of its own model, sent as c2smakeMovement. Deltas
    // are summed into the movement that still waits unsent, so a sender
    // that moves every frame puts at most one movement into each packet;
    // once anything else was posted after it, a new one is posted, so
    // nothing overtakes. Non-finite deltas are not sent. False when nothing
    // could be queued.
    bool sendMovement(double dx, double dy, double dz);

    // A client's own model now faces `orientation`, sent as c2sOrientation
    // (orientationcalls.cpp). An orientation is absolute: one still waiting
    // unsent takes the newer value, so only the newest ever waits. Nothing is
    // sent to a server that does not speak version 1; false then, and when
    // the value is no rotation.
    bool sendOrientation(const Orientation& orientation);

    // Server: bytes of this client's relays held back beyond its fair share.
    size_t heldRelayBytes() const { return mRelays.heldBytes(); }

    // Server: this client's voice as the server plays it.
    const ClientVoice& voice() const { return mVoice; }

    // A client's Opus frames (a tick's, each with its length) as
    // c2sVoiceFrames; `endsSpurt` after the last of a press. Frames that
    // wait unsent are joined into one event. False when nothing was sent
    // (the server does not speak version 1, or the frames are malformed).
    bool sendVoiceFrames(const RefPtr<ByteBuffer>& frames, bool endsSpurt);
    // Server, once per main-loop pass: plays this client's Opus voice due
    // by `nowMs` and sends it in LPC-10 to the clients of version 0.
    void serviceVoice(uint32_t nowMs);

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
    // ---- voice of version 1 (voicecalls.cpp) ----
    SF_DECLARE_RPC(c2sVoiceFrames, uint32_t, uint32_t, bool, RefPtr<ByteBuffer>);
    SF_DECLARE_RPC(s2cVoiceFrames, uint32_t, uint32_t, bool, RefPtr<ByteBuffer>, StringPtr);
    // ---- orientation (version 1) ----
    SF_DECLARE_RPC(c2sOrientation, double, double, double, double);
    SF_DECLARE_RPC(s2cOrientation, double, double, double, double, StringPtr);
    // ---- identity (version 1) ----
    // The name the server knows this client by, when it is not the one the
    // client asked for (taken, or too long).
    SF_DECLARE_RPC(s2cYourName, StringPtr);
    // ---- join password (version 1, passwordcalls.cpp) ----
    // The server's share of the password exchange: it requires a password.
    SF_DECLARE_RPC(s2cPasswordRequired, RefPtr<ByteBuffer>);
    // The client's share and confirmation tag, in answer only.
    SF_DECLARE_RPC(c2sPasswordAnswer, RefPtr<ByteBuffer>, RefPtr<ByteBuffer>);
    // The server's confirmation tag, once the client's was good.
    SF_DECLARE_RPC(s2cPasswordAccepted, RefPtr<ByteBuffer>);
    // The bytes that bind the password exchange to this connection: a digest
    // of its key exchange's shared secret. False without a sealed one.
    bool passwordChannel(std::array<uint8_t, 32>* channel);

    // ---- the server's own words (version 1) ----
    // A line of the operator or a notice of the server, shown as such and
    // never as a user's chat line.
    SF_DECLARE_RPC(s2cServerNotice, RefPtr<ByteBuffer>);
    // Server: `text` for this client's user, as s2cServerNotice, or to a
    // client of version 0 as the text call every peer knows, with
    // `olderText` in its place when given (cut to what that call carries).
    void sendServerNotice(const std::string& text, const std::string& olderText = std::string());

    // ---- chat (version 1) ----
    // A line of UTF-8 text, at most MaxChatBytes; a byte buffer, as a text
    // argument carries no more than 255 characters.
    SF_DECLARE_RPC(c2sChat, RefPtr<ByteBuffer>);
    SF_DECLARE_RPC(s2cChat, StringPtr, RefPtr<ByteBuffer>);

    // A client's chat line to the server (nothing when the server does not
    // speak version 1, or the line is empty or too long).
    bool sendChat(const std::string& text);
    static constexpr size_t MaxChatBytes = 500;
    // Lines a sender may send a second, in a burst of as many.
    static constexpr double ChatLinesPerSecond = 5;

private:
    // The server's own user relays through the same queues as a client.
    friend class HostUser;
    // Server, on the receiving client's connection: a movement of `mover`
    // for this client, summed into the one of that user still waiting here.
    void queueRelayedMovement(const ClientRecord& mover, double dx, double dy, double dz);
    // Server, on the receiving client's connection: `user`'s orientation,
    // replacing theirs still waiting here; nothing to a version-0 client.
    void queueRelayedOrientation(const ClientRecord& user);
    // Server, on the receiving client's connection (version 1): `speaker`'s
    // Opus frames, joined into that speaker's event still waiting here.
    void queueVoiceFrames(const ClientRecord& speaker, uint32_t sequence, bool endsSpurt, const ByteBuffer& frames,
                          uint32_t frameCount);
    // Puts `orientation` into the waiting event of `userId` (0: the own), or
    // posts a new one with `post`.
    bool keepNewestOrientation(uint64_t userId, const Orientation& orientation,
                               const std::function<RefPtr<RPCEvent>()>& post);
    // Server: posts an event about one user here; it ends only that user's
    // pending movement, so other users' movements are still summed.
    bool postAbout(uint64_t userId, NetEvent* event);
    // Server: relays from this client, through its fair share.
    void relayFromHere(Relay relay);
    void relayMovementFromHere(double dx, double dy, double dz);
    // Server: this client keeps sending faster than its share.
    void relaysOverflowed();
    void performRelay(Relay& relay);
    // This client's share of the slowest other receiver's capacity.
    double relayShare();
    size_t relayCost(RPCEvent* event) const;
    uint32_t now() const;
    // The peer's address as a user writes it ("127.0.0.1:28000").
    std::string peerText() const;
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
    // Reports a handler run to the session's listeners.
    template <class... Args> void trace(const char* rpc, const Args&... args);

    MovementCoalescer mMovements;    // a client's own; the server's relayed, by mover
    RelayScheduler mRelays;          // server: this client's relays, within its fair share
    ClientVoice mVoice;              // server: this client's voice
    VoiceFrameNumbers mVoiceNumbers; // a client's own Opus frames
    VoiceFrameRepeat mVoiceRepeat;   // a client's own last frame, sent again with the next
    VoiceFrameBatches mVoiceBatches; // voice events waiting here, by speaker (a client's own: 0)
    // The orientation event last posted per user (0: a client's own); it
    // takes a newer value while it still waits unsent.
    std::unordered_map<uint64_t, RefPtr<RPCEvent>> mOrientations;
    std::string mRefusal; // server: why the connect request was refused
    // Server: asks a client of version 1 for the password, when there is one.
    void askForPassword();
    // The exchange for `password` on this connection, or none (no password,
    // no sealed connection).
    std::unique_ptr<PasswordExchange> startPasswordExchange(const std::string& password);
    // Server: the exchange under way with this client; a client: the one
    // with the server that asked, until it proved itself.
    std::unique_ptr<PasswordExchange> mPasswordExchange;
    // Server: the join of a client that has not proven the password yet
    // waits here.
    void join(const std::string& name);
    bool mPasswordProven = false;
    bool mJoinHeld = false;
    std::string mHeldJoinName;
    // Server: this sender's chat allowance (lines), when it was last filled,
    // and whether the sender was told of lines dropped in this episode.
    double mChatAllowance = ChatLinesPerSecond;
    uint32_t mChatFilledAt = 0;
    bool mChatToldDropped = false;
};

} // namespace seafold
