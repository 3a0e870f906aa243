// The network interface: one UDP socket, the connections made through it,
// the connectionless handshake (challenge, client puzzle, connect request),
// retries and time-outs. The handshake's packets are written and read in
// netinterface_handshake.cpp.
//
// The server keeps no state for a peer until it has proven work: a challenge
// response is computed from the request alone, and the identity token binds
// it to the sender's address through secret bytes of this interface (its
// HandshakeGuard).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "net/address.h"
#include "net/bitstream.h"
#include "net/crypto.h"
#include "net/handshake.h"
#include "net/netbase.h"
#include "net/netconnection.h"
#include "net/socket.h"

namespace seafold {

class NetInterface : public ConnectionOwner {
public:
    // First byte of a handshake datagram; a first byte with bit 7 set marks
    // a data packet of an established connection.
    enum PacketType : uint8_t {
        ConnectChallengeRequest = 0,
        ChallengeResponse = 1,
        ConnectRequest = 2,
        ConnectReject = 3,
        ConnectAccept = 4,
        Disconnect = 5,
        // Kept because the wire numbers them: connections arranged by a
        // third party, which this program never starts (ignored on receipt).
        Punch = 6,
        ArrangedConnectRequest = 7,
        FirstInfoPacket = 8,
        // Version 1 only (session/wireversion.h), both on the handshake's
        // side of the first byte. A client of a sealed connection that holds
        // a reset token asks its silent server whether it still knows the
        // connection; a server that does not (it was restarted with the same
        // key) answers with the token. A peer of version 0 never gets a
        // token, so it is never sent either packet, and drops both as
        // information packets it does not know.
        //   ResetQuery:  [type] [client nonce] [server nonce] [zeros to ResetQueryBytes]
        //   ResetAnswer: [type] [reset token]  (ResetAnswerBytes: never more than the query)
        ResetQuery = 32,
        ResetAnswer = 33,
    };

    enum : uint32_t {
        TimeoutCheckIntervalMs = 1500,
        ChallengeRetryCount = 4,
        ChallengeRetryMs = 2500,
        ConnectRetryCount = 4,
        ConnectRetryMs = 2500,
        // A lost challenge or connect request is sent again soon: after
        // 250 ms at first, the wait doubling up to the retry interval above.
        // One lost datagram then costs a join a quarter of a second, not
        // two and a half.
        HandshakeFirstResendMs = 250,
        // An unanswered phase ends when the plain schedule would end it: five
        // sends, each at the first time-out check (every 1.5 s) more than
        // 2.5 s after the one before, and one such wait more.
        HandshakeGiveUpMs = (ChallengeRetryCount + 1) * 2 * TimeoutCheckIntervalMs,
        PuzzleSolutionTimeoutMs = 30000,
        MaxPuzzleDifficulty = PuzzleManager::MaxDifficulty,
        InitialTableSlots = 129,
        // Datagrams read in one receivePackets pass. A flood then delays a
        // frame by at most this many dispatches instead of stalling the main
        // loop; what is left waits in the socket for the next pass.
        MaxDatagramsPerPass = 4096,
        // Datagrams that belong to no connection (handshake requests, junk,
        // a recorded request sent again and again) at this rate or more
        // mean a flood: FloodDatagramsPerWindow in FloodWindowMs is 2,000 a
        // second, far beyond what peers joining ever send. While it lasts
        // the loop's pause is a plain FloodPauseMs sleep instead of a wait
        // that every datagram ends, so that one pass reads a batch of a
        // hundred or more instead of two or three, at the cost of at most
        // that much delay to the connections' own packets meanwhile.
        FloodWindowMs = 10,
        FloodDatagramsPerWindow = 20,
        FloodPauseMs = 1,
        // The socket's receive buffer. At the system's default (about 200
        // KiB) a burst of a few hundred datagrams, or a modest flood,
        // overflows it between two passes of the main loop and legitimate
        // packets are lost in the kernel; 4 MiB holds several thousand.
        ReceiveBufferBytes = 4 * 1024 * 1024,
        // Connections a server accepts at once unless told otherwise: a LAN
        // session of a few people has room to spare, and every connection
        // costs queues, a voice decoder and a share of each relay.
        DefaultMaxConnections = 64,
        // The most that may be asked for: beyond it the relay's work per
        // movement (one event per other user) outgrows a main-loop pass.
        MaxConnectionsLimit = 4096,
        // Connections one source host may hold at once unless told
        // otherwise: a few people may share a machine, one process may not
        // hold every slot.
        DefaultMaxPerAddress = 4,
        // The client puzzle's difficulty rises by one bit (twice the work)
        // for each of these parts of the server filled: the last free slots
        // cost eight times the first.
        PuzzleDifficultySteps = 4,
        // A connection that has not joined the session (its connection says
        // so) this long after it was accepted is ended.
        JoinTimeoutMs = 10000,
        // A host whose connections were ended for misbehaving this many
        // times within the window is refused for as long.
        AbusiveEndsToBar = 3,
        AbuseWindowMs = 60000,
        // Queued message bytes of all connections together, unless told
        // otherwise. Each connection's own caps keep one peer from growing
        // its queue for ever; this keeps the many from adding up to more
        // memory than a server should spend (64 at their caps hold 32 MiB,
        // 4,096 would hold 2 GiB).
        DefaultQueueBudgetMb = 64,
        // Challenge answers per source address (HandshakeGuard explains them).
        ChallengeCreditSlots = HandshakeGuard::CreditSlots,
        ChallengeCreditMaxBytes = HandshakeGuard::CreditMaxBytes,
        ChallengeCreditBytesPerSecond = HandshakeGuard::CreditBytesPerSecond,
        // The reset token: see ResetQuery. A server gives one, sealed in its
        // connect accept, to a client whose connection is sealed and speaks
        // the version set with setResetTokens; it keeps nothing for it, since
        // the token is a keyed hash of the connection's address and nonces
        // under a key derived from its private key alone, which a restart
        // with the same key file brings back.
        ResetTokenBytes = NetConnection::ResetTokenBytes,
        ResetQueryBytes = 24,
        ResetAnswerBytes = 1 + ResetTokenBytes,
        // A client asks once its server has been silent this long: between
        // Seafold peers every packet is acknowledged within a few
        // milliseconds, so half a second without a word while our data waits
        // means the server or the link is gone, and a second of silence in
        // any case is when the client's link probes an idle server (which
        // answers within a round trip and stops the questions).
        ResetQueryUnacknowledgedMs = 500,
        ResetQuerySilenceMs = 1000,
        // And again this often while the silence lasts: a restarted server
        // is told within a third of a second of its start.
        ResetQueryEveryMs = 300,
    };

    // The reason a server that requires key exchange gives a client that
    // does not ask for it (a wire text: the client shows it as it stands).
    static constexpr const char* KeyExchangeRequiredReason = "This server requires --secure";
    // An attempt whose server's host said nothing listens on the port.
    static constexpr const char* NothingListensReason = "Nothing listens on that port";
    // Why a client that requires key exchange gives up on a server that
    // offers none: going on unsealed is what an impostor would want.
    static constexpr const char* NoKeyExchangeOfferedReason = "This server does not use --secure";
    // Refusals of a connect request (wire texts, shown as they stand).
    static constexpr const char* ServerFullReason = "Server full";
    static constexpr const char* TooManyFromAddressReason = "Too many connections from your address";
    static constexpr const char* TryLaterReason = "Try again later";
    // Why a connection that never joined the session is ended.
    static constexpr const char* JoinTimeoutReason = "No join in time";
    // Why a client ends a connection whose server answered with its reset
    // token: the server holds the same key and no longer has the connection.
    static constexpr const char* ServerForgotReason = "The server no longer knows this connection";

    // How long a client waits after the `sent`-th packet of a handshake
    // phase (counting from 1) before it sends it again.
    static uint32_t handshakeResendDelayMs(uint32_t sent);

    explicit NetInterface(const NetAddress& bindAddress);
    ~NetInterface() override;

    // Reads and dispatches every waiting datagram.
    void receivePackets();
    // Waits up to `ms` milliseconds, less when a datagram arrives: the main
    // loop's pause. Under a flood (underFlood) it sleeps FloodPauseMs at
    // most, whatever arrives.
    void waitForPackets(uint32_t ms);
    // Whether datagrams that belong to no connection arrived at the flood
    // rate over the last window the receive passes measured.
    bool underFlood() const { return mFlooded; }
    // What could be a packet of this protocol, judged from its length and
    // first byte alone, before any other work. Datagrams that fail it (junk,
    // handshake packets of the other role, cut handshake packets) are dropped.
    bool isPlausibleDatagram(const uint8_t* data, uint32_t length) const;
    // Each connection's send step, handshake retries and time-outs,
    // keep-alive tests, and the client puzzle.
    void serviceConnections();

    // Begins the handshake of a connection whose address and parameters are
    // set (NetConnection::connect does this).
    void startConnect(NetConnection* connection) override;
    // Ends a pending or established connection, calling its hook.
    void disconnect(NetConnection* connection, uint32_t reason, const char* reasonText) override;

    // Sends a written stream (bytes 0 .. bytePosition()-1) now.
    void sendTo(const NetAddress& address, const BitStream& stream) override;

    // ---- settings ----
    bool doesAllowConnections() const { return mAllowConnections; }
    void setAllowConnections(bool allow) { mAllowConnections = allow; }
    // Also derives the reset tokens' key from it.
    void setPrivateKey(AsymmetricKey* key);
    void setCertificate(Certificate* certificate) { mCertificate = certificate; }
    // Both roles: a server refuses every client that does not ask for key
    // exchange (and offers its key to every one that does); a client asks for
    // it on every connection and refuses a server that offers no key.
    void setRequiresKeyExchange(bool requires) { mRequiresKeyExchange = requires; }
    bool requiresKeyExchange() const { return mRequiresKeyExchange; }
    // A client asks for key exchange on every connection and seals it when
    // the server offers a key, but joins a server that offers none
    // unsealed. (A server offers its key to every client that asks once it
    // has one: setPrivateKey.)
    void setAsksForKeyExchange(bool asks) { mAsksForKeyExchange = asks; }
    bool asksForKeyExchange() const { return mAsksForKeyExchange; }
    PuzzleManager& puzzleManager() { return mHandshakeGuard.puzzleManager(); }
    // The local rate record given to every connection made or accepted from
    // now on (a connection keeps a rate set on it before connect when none
    // is given here).
    void setDefaultRate(const NetConnection::RateInfo& rate);
    // Connections whose peer shares the event classes of `version` (as the
    // handshake negotiated them) use the adaptive rate, both ends announcing
    // it from the start; a negative version (the default) never does. With
    // `rateIsCap` the default rate caps what such connections send, and
    // otherwise only the link does. Peers of other versions get the default
    // rate's negotiation as it always was.
    void setAdaptiveRate(int32_t version, bool rateIsCap)
    {
        mAdaptiveVersion = version;
        mRateIsCap = rateIsCap;
    }
    // Sealed connections whose peer speaks `version` (as the handshake
    // negotiated it) are given a reset token when this side accepts them; a
    // negative version (the default) gives none. A client takes a token
    // whenever its server gives one.
    void setResetTokens(int32_t version) { mResetVersion = version; }
    // The token of the connection from `address` with these nonces, under
    // this interface's private key; false without a usable key.
    bool resetToken(const NetAddress& address, const Nonce& clientNonce, const Nonce& serverNonce,
                    uint8_t token[ResetTokenBytes]) const;
    // Milliseconds until serviceConnections has something to do (a send,
    // an acknowledgement, a probe, a handshake resend, a time-out check),
    // at most `longest`.
    uint32_t msUntilDue(uint32_t longest) const;
    // Established connections accepted at once; a connect request beyond
    // them is rejected with "Server full".
    void setMaxConnections(uint32_t count) { mMaxConnections = count; }
    uint32_t maxConnections() const { return mMaxConnections; }
    // Connections from one source host; a connect request beyond them is
    // rejected with TooManyFromAddressReason.
    void setMaxPerAddress(uint32_t count) { mMaxPerAddress = count; }
    uint32_t maxPerAddress() const { return mMaxPerAddress; }

    // The most queued message bytes all connections together may hold; past
    // it the connection whose traffic queued the most (queuedBytesCaused:
    // its own queue and its relays in the others') is ended (with
    // NetConnection::SendQueueOverflowReason), not whoever posts next.
    static constexpr uint64_t DefaultQueueBudgetBytes = uint64_t(DefaultQueueBudgetMb) << 20;
    void setQueueBudgetBytes(uint64_t bytes) { mQueueBudgetBytes = bytes; }
    uint64_t queueBudgetBytes() const { return mQueueBudgetBytes; }

    // Time: by default the real millisecond clock; tests install their own.
    // The interface reads it once at the start of each step.
    void setTimeSource(std::function<uint32_t()> source);
    uint32_t currentTime() const override { return mCurrentTime; }

    // Drops, duplicates, delays and reorders outgoing datagrams (tests and
    // the program's simulation switch). Not owned; none turns it off.
    void setNetworkSimulator(NetworkSimulator* simulator);

    // ---- connections ----
    NetConnection* findConnection(const NetAddress& address) const;
    NetConnection* findPendingConnection(const NetAddress& address) const;
    const std::vector<RefPtr<NetConnection>>& connections() const { return mConnectionList; }
    const std::vector<RefPtr<NetConnection>>& pendingConnections() const { return mPendingConnections; }
    uint32_t connectionTableSize() const { return uint32_t(mConnectionHashTable.size()); }
    // Key agreements a server ran for connect requests (the costly step).
    uint32_t keyAgreementCount() const { return mKeyAgreements; }

    Socket& socket() { return mSocket; }
    NetAddress boundAddress() const { return mSocket.boundAddress(); }

    // The token that binds a challenge to the sender's address, made with
    // the current secret. The secret changes whenever the puzzle's server
    // nonce does; a token made with the one before still counts until the
    // next change, so a client is never caught by a change mid-handshake,
    // while a token is good for one minute at most.
    uint32_t identityToken(const NetAddress& address, const Nonce& clientNonce) const
    {
        return mHandshakeGuard.identityToken(address, clientNonce);
    }
    bool isIdentityTokenValid(const NetAddress& address, const Nonce& clientNonce, uint32_t token) const
    {
        return mHandshakeGuard.isIdentityTokenValid(address, clientNonce, token);
    }

    virtual void dispatchPacket(const NetAddress& address, BitStream& stream);

    // When the datagram being dispatched arrived (a high-precision timer
    // value, getHighPrecisionTimerValue): handlers stamp what it brings with
    // this, not with the time they run, which lags by whatever the loop did
    // before reading it (drawing a frame, say). Outside a dispatch, the
    // timer's value now.
    static int64_t arrivalTimer();
    virtual void onInfoPacket(const NetAddress& address, uint8_t packetType, BitStream& stream);

protected:
    // A connection made for an incoming request, before it reads the
    // request: the interface may set it up (the classes it offers, say).
    virtual void prepareIncomingConnection(NetConnection*) {}
    void addConnection(NetConnection* connection);
    void removeConnection(NetConnection* connection);
    void addPendingConnection(NetConnection* connection);
    void removePendingConnection(NetConnection* connection);

private:
    uint32_t tableSlot(const NetAddress& address, uint32_t tableSize) const;
    void insertIntoTable(NetConnection* connection);

    // ---- handshake (netinterface_handshake.cpp) ----
    void sendConnectChallengeRequest(NetConnection* connection);
    void handleConnectChallengeRequest(const NetAddress& address, BitStream& stream);
    // Returns the bytes sent.
    uint32_t sendChallengeResponse(const NetAddress& address, const Nonce& clientNonce, bool wantsKeyExchange,
                                   bool wantsCertificate);
    void handleChallengeResponse(const NetAddress& address, BitStream& stream);
    void continuePuzzleSolution(NetConnection* connection);
    void sendConnectRequest(NetConnection* connection);
    void handleConnectRequest(const NetAddress& address, BitStream& stream);
    // Steps of handleConnectRequest; each false means the request was
    // dropped or answered. The proof: token, puzzle and a free slot (a
    // repeated request is answered with the accept again); `existing` is
    // the connection the request would replace.
    bool checkConnectRequestProof(const NetAddress& address, BitStream& stream, ConnectParams& params,
                                  NetConnection** existing);
    // The key agreement and the seal of a request that uses crypto.
    bool openSealedConnectRequest(const NetAddress& address, BitStream& stream, ConnectParams& params);
    // The connection of the class the request names, made and given the
    // rest of the request to read; null when it refuses.
    RefPtr<NetConnection> readRequestedConnection(const NetAddress& address, BitStream& stream,
                                                  const ConnectParams& params, const char* className);
    void establishIncomingConnection(NetConnection* connection, const ConnectParams& params,
                                     uint32_t clientInitialSequence, NetConnection* existing);
    // Returns the bytes sent.
    uint32_t sendConnectAccept(NetConnection* connection);
    void handleConnectAccept(const NetAddress& address, BitStream& stream);
    void sendConnectReject(const NetAddress& address, const Nonce& clientNonce, const Nonce& serverNonce,
                           const char* reason);
    // A refusal charged to the source's allowance of answers.
    void refuseConnectRequest(const NetAddress& address, const ConnectParams& params, const char* reason);
    // Why a proven connect request from this address cannot have a slot
    // now, or null.
    const char* slotRefusal(const NetAddress& address, bool replacesExisting) const;
    uint32_t connectionsFromHost(const NetAddress& address) const;
    // The puzzle's difficulty for how full the server is.
    void updatePuzzleDifficulty();
    // Ends connections that never joined in time.
    void endUnjoinedConnections();
    // ---- reset tokens (netinterface_reset.cpp) ----
    bool givesResetToken(NetConnection* connection) const;
    // Sends a reset query on every connection to a silent server that has
    // a token and is due to ask; the milliseconds until the next is due.
    void askSilentServers();
    uint32_t msUntilResetQuery(uint32_t now, uint32_t longest) const;
    void sendResetQuery(NetConnection* connection);
    void handleResetQuery(const NetAddress& address, BitStream& stream);
    void handleResetAnswer(const NetAddress& address, BitStream& stream);
    // Asks the connections whose traffic queued the most to end while the
    // queues together are over the budget.
    void keepQueuesWithinBudget();
    void handleConnectReject(const NetAddress& address, BitStream& stream);
    void sendDisconnectPacket(NetConnection* connection, const char* reason);
    void handleDisconnect(const NetAddress& address, BitStream& stream);
    void failPendingConnection(NetConnection* connection);
    // Ends our attempts whose server's host answered that nothing listens
    // on its port (at most UnreachablePerPass reports a pass).
    void failUnreachableAttempts();
    enum : uint32_t { UnreachablePerPass = 16 };
    // Retries or gives up on the pending connections.
    // Resends and gives up unanswered handshake packets; every pass.
    void checkHandshakes();

    // Ends every connection that asked for it (NetConnection::endSoon).
    void endConnectionsAskedToEnd();
    void refreshTime();
    // Counts `stray` datagrams that belonged to no connection and, once a
    // window has passed, judges whether they came at the flood rate.
    void noteStrayDatagrams(uint32_t stray);

    std::vector<RefPtr<NetConnection>> mConnectionList;
    std::vector<NetConnection*> mConnectionHashTable;
    std::vector<RefPtr<NetConnection>> mPendingConnections;
    RefPtr<AsymmetricKey> mPrivateKey;
    RefPtr<Certificate> mCertificate;
    HandshakeGuard mHandshakeGuard;
    Socket mSocket;
    std::unique_ptr<ReceivedDatagram[]> mReceiveSlots; // Socket::MaxBatch of them
    uint32_t mCurrentTime = 0;
    uint32_t mStrayDatagrams = 0;  // in the window that began at mStrayWindowStart
    uint32_t mStrayWindowStart = 0;
    bool mFlooded = false;
    bool mRequiresKeyExchange = false;
    bool mAsksForKeyExchange = false;
    uint32_t mMaxPerAddress = DefaultMaxPerAddress;
    uint64_t mQueueBudgetBytes = DefaultQueueBudgetBytes;
    uint32_t mKeyAgreements = 0;
    uint32_t mLastTimeoutCheckTime = 0;
    bool mAllowConnections = true;
    bool mHasDefaultRate = false;
    NetConnection::RateInfo mDefaultRate;
    int32_t mAdaptiveVersion = -1;
    bool mRateIsCap = false;
    int32_t mResetVersion = -1;
    uint8_t mResetKey[32] = {};
    bool mHasResetKey = false;
    // Chooses a newly established connection's rate mode.
    void chooseRateMode(NetConnection* connection);
    uint32_t mMaxConnections = DefaultMaxConnections;
    std::function<uint32_t()> mTimeSource;
    NetworkSimulator* mSimulator = nullptr;
};

} // namespace seafold
