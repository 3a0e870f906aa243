// The application's connection class: the remote calls of the session, as
// they go on the wire, each handed to the part of the session that owns it.
//
// One process is the server (it accepts connections and relays) or a client
// (one connection to the server). The parts, each with its own state:
//   Membership       who may connect and join, under which name (server),
//                    and whose key a client accepts
//   PasswordExchange the join password's exchange (CPace, net/cpace.h)
//   SenderRelays     what the server relays from this client, within its
//                    fair share, through the one relay path (relay.h)
//   VoiceIntake      this client's voice as the server takes it
//   ChatChannel      chat lines and their limit
//   VoiceFrameSender a client's own Opus frames: numbers, repeats, batches
//   OutgoingUpdates  what waits unsent here, per user it is about
//   ClientEnd        a client's side: what the server relays, applied
// The handlers are in simpleeventconnection.cpp (version 0),
// seafoldcalls.cpp (version 1) and echocalls.cpp (the echo calls).
#pragma once

#include <array>
#include <string>

#include "net/rpc.h"
#include "session/chat.h"
#include "session/clientend.h"
#include "session/membership.h"
#include "session/outgoingupdates.h"
#include "session/passwordexchange.h"
#include "session/senderrelays.h"
#include "session/session.h"
#include "session/voiceintake.h"
#include "session/voicesender.h"

namespace seafold {

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
    // Server: a connection that has not joined may only join (Membership).
    bool admitEvent(NetEvent* event) override;
    // Server: refuses a connection the session does not admit (a banned
    // address), with the session's reason.
    bool readConnectRequest(BitStream& stream, const char** errorText) override;
    // Refuses a server whose key is not the one the session expects.
    bool acceptPublicKey(AsymmetricKey* key, bool isInitiator) override;
    // Server: the client has joined once it is on the roster.
    bool hasJoined() const override;

    // The session of this connection's interface, or none.
    Session* session() const;
    // The interface's time, or 0 without one.
    uint32_t now() const;
    // Server: the roster's record of the client at the other end, or none
    // (a connection that never joined).
    ClientRecord* senderRecord() const;

    // A client's movement of its own model, as c2smakeMovement, summed into
    // the one still waiting (OutgoingUpdates). False when nothing was queued.
    bool sendMovement(double dx, double dy, double dz) { return mUpdates.sendMovement(dx, dy, dz); }
    // A client's own model now faces `orientation`, as c2sOrientation (to a
    // server of version 1 only); false then, and for no rotation.
    bool sendOrientation(const Orientation& orientation);
    // A client's Opus frames (a tick's, each with its length) as
    // c2sVoiceFrames; `endsSpurt` after the last of a press. False when
    // nothing was sent (the server does not speak version 1, or the frames
    // are malformed).
    bool sendVoiceFrames(const RefPtr<ByteBuffer>& frames, bool endsSpurt);
    // A client's own marks (UserMarksOwn) as c2sOwnMarks, to a server of
    // version 1 only; false then.
    bool sendOwnMarks(uint32_t marks);
    // A client's chat line to the server (ChatChannel).
    bool sendChat(const std::string& text) { return mChat.send(text); }
    static constexpr size_t MaxChatBytes = ChatLimiter::MaxLineBytes;
    static constexpr double ChatLinesPerSecond = ChatLimiter::LinesPerSecond;
    // The bytes that bind the password exchange to this connection: a digest
    // of its key exchange's shared secret. False without a sealed one.
    bool passwordChannel(std::array<uint8_t, 32>* channel) const { return mPassword.channel(channel); }
    // A client: the server asked for the password, and was answered.
    bool passwordAnswered() const { return mPassword.answered(); }
    // Server: `text` for this client's user, as s2cServerNotice, or to a
    // client of version 0 as the text call every peer knows, with
    // `olderText` in its place when given (cut to what that call carries).
    void sendServerNotice(const std::string& text, const std::string& olderText = std::string());
    // The peer's address as a user writes it ("127.0.0.1:28000").
    std::string peerText() const;

    // Server, once per main-loop pass: plays this client's Opus voice due
    // by `nowMs` and sends it in LPC-10 to the clients of version 0.
    void serviceVoice(uint32_t nowMs) { mVoiceIn.service(nowMs); }
    // Server: this client's voice as the server plays it.
    const ClientVoice& voice() const { return mVoiceIn.voice(); }
    // Server: bytes of this client's relays held back beyond its fair share.
    size_t heldRelayBytes() const { return mRelays.heldBytes(); }
    // Server: what this client sends, relayed within its fair share.
    SenderRelays& senderRelays() { return mRelays; }
    // What waits unsent here, per user it is about.
    OutgoingUpdates& updates() { return mUpdates; }
    const OutgoingUpdates& updates() const { return mUpdates; }

    // ---- echo calls (echocalls.cpp) ----
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
    // ---- version 1 (seafoldcalls.cpp) ----
    // Opus voice (voiceframes.h).
    SF_DECLARE_RPC(c2sVoiceFrames, uint32_t, uint32_t, bool, RefPtr<ByteBuffer>);
    SF_DECLARE_RPC(s2cVoiceFrames, uint32_t, uint32_t, bool, RefPtr<ByteBuffer>, StringPtr);
    // A user's model orientation.
    SF_DECLARE_RPC(c2sOrientation, double, double, double, double);
    SF_DECLARE_RPC(s2cOrientation, double, double, double, double, StringPtr);
    // The name the server knows this client by, when it is not the one the
    // client asked for (taken, or too long).
    SF_DECLARE_RPC(s2cYourName, StringPtr);
    // The join password (passwordexchange.h): the server's share, when it
    // requires a password; the client's share and confirmation tag, in
    // answer only; the server's tag, once the client's was good.
    SF_DECLARE_RPC(s2cPasswordRequired, RefPtr<ByteBuffer>);
    SF_DECLARE_RPC(c2sPasswordAnswer, RefPtr<ByteBuffer>, RefPtr<ByteBuffer>);
    SF_DECLARE_RPC(s2cPasswordAccepted, RefPtr<ByteBuffer>);
    // A line of the operator or a notice of the server, shown as such and
    // never as a user's chat line.
    SF_DECLARE_RPC(s2cServerNotice, RefPtr<ByteBuffer>);
    // A line of UTF-8 text, at most MaxChatBytes; a byte buffer, as a text
    // argument carries no more than 255 characters.
    SF_DECLARE_RPC(c2sChat, RefPtr<ByteBuffer>);
    SF_DECLARE_RPC(s2cChat, StringPtr, RefPtr<ByteBuffer>);
    // What a client should know of another user beyond the name (UserMarks
    // in roster.h), sent when it hears of the user and when a mark changes.
    SF_DECLARE_RPC(s2cUserMarks, StringPtr, uint32_t);
    // A client's own marks (UserMarksOwn: muted, deafened), sent once the
    // server has let it in and at every change; the server relays them as
    // s2cUserMarks.
    SF_DECLARE_RPC(c2sOwnMarks, uint32_t);

private:
    // Reports a handler run to the session's listeners (connectiontrace.h).
    template <class... Args> void trace(const char* rpc, const Args&... args);

    OutgoingUpdates mUpdates;
    Membership mMembership;
    PasswordExchange mPassword;
    SenderRelays mRelays;
    VoiceIntake mVoiceIn;
    ChatChannel mChat;
    VoiceFrameSender mVoiceOut;
    ClientEnd mClientEnd;
};

} // namespace seafold
