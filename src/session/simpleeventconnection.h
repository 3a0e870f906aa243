// The application's connection class and its remote calls: joining and
// the roster, model selection, movement, voice, leaving, and the echo calls.
//
// One process is the server (it accepts connections and relays) or a client
// (one connection to the server). The server keeps the authoritative roster
// and relays each client's actions to every other client.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "net/netinterface.h"
#include "net/rpc.h"
#include "session/json.h"
#include "session/roster.h"

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
    // it); cleared when the attempt fails or the connection ends, so that no
    // sender ever posts on a released connection.
    SimpleEventConnection* connectionToServer = nullptr;

    // Keep-alive ping interval of every connection (ms); 0 keeps the default.
    // A connection times out after eleven silent intervals.
    uint32_t pingIntervalMs = 0;

    // ---- observers (each may be empty) ----
    // Every remote call whose handler runs here, with its arguments as a
    // JSON array: texts as strings (see jsonText), numbers as numbers, bools
    // as true/false, byte buffers as lower-case hex strings, lists as arrays.
    std::function<void(const char* rpc, const Json& args)> onRpc;
    // Compressed voice to play: on the server every client's, on a client
    // everything the server relays. The buffer is shared with the relay.
    std::function<void(SimpleEventConnection* connection, ByteBuffer* data)> onVoice;
    // The client's connection to the server: "connected", "failed" or
    // "disconnected", with the reason for the latter two.
    std::function<void(const char* state, const char* reason)> onConnectionState;

private:
    Roster& mRoster;
    bool mIsServer;
};

// A network interface that knows its session; connections created for
// incoming requests find their session through it.
class SessionInterface : public NetInterface {
public:
    SessionInterface(const NetAddress& bindAddress, Session& session) : NetInterface(bindAddress), mSession(session) {}
    Session& session() { return mSession; }

private:
    Session& mSession;
};

// The process's client connection to the server, or none (the server, or a
// client whose connection failed or ended). Not counted: the network
// interface holds the connection and this is cleared before it goes.
extern SimpleEventConnection* gConnectionToServer;

class SimpleEventConnection : public EventConnection {
    SF_DECLARE_CLASS(SimpleEventConnection)
public:
    SimpleEventConnection();
    ~SimpleEventConnection() override;

    uint32_t classGroup() const override { return NetClassGroupDefault; }
    void onEstablished() override;
    void onConnectFailed(uint32_t reason, const char* message) override;
    void onDisconnected(uint32_t reason, const char* message) override;

    // The session of this connection's interface, or none.
    Session* session() const;

    // Decodes voice received on this connection and queues it for playing.
    void playVoice(const ByteBuffer* data);

    // The voice received on this connection: its own decoder (the synthesis
    // state runs on from message to message) and its own stream. Created
    // with the connection, released with it.
    RefPtr<VoiceDecoder> voiceDecoder;
    RefPtr<SFXObject> voiceStream;

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
    void forgetServerConnection(const char* state, const char* reason);
    // The server's roster record of the client at the other end, or none
    // (a connection that never joined).
    ClientRecord* senderRecord() const;
    // Runs `action` on the connection of every roster entry but this one.
    void forEachOtherClient(const std::function<void(SimpleEventConnection*)>& action);
    // Reports a handler run to the session's observer.
    template <class... Args> void trace(const char* rpc, const Args&... args);
};

} // namespace seafold
