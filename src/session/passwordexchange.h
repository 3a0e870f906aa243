// The join password, a call of version 1. The password never crosses the
// network: the client sends HMAC-SHA-256 keyed by it over the shared secret
// of the connection's key exchange, which only the two ends know, so a
// proof is good for this one connection only. The server holds the join
// until the proof arrives, counts every guess per source host (at most
// Session::PasswordGuessesPerMinute a minute) and logs it.
//
// Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "net/rpc.h"

namespace seafold {

class SimpleEventConnection;

class PasswordExchange {
public:
    explicit PasswordExchange(SimpleEventConnection& connection) : mConnection(connection) {}
    PasswordExchange(const PasswordExchange&) = delete;
    PasswordExchange& operator=(const PasswordExchange&) = delete;

    // The proof for `password` on this connection; false without a sealed one.
    bool proof(const std::string& password, uint8_t proof[32]);
    // Client, once connected to a server of version 1: the proof of the
    // session's password (empty without one).
    void sendProof();

    // Server: a join must wait for a proof first.
    bool mustProve() const;
    // Server: the join of `name`, waiting for the proof.
    void holdJoin(const std::string& name);
    bool holdsJoin() const { return mJoinHeld; }
    // Server, c2sPasswordProof: checks the proof; a wrong one refuses the
    // connection. Once proven, the join held runs through `join`.
    void receiveProof(const RefPtr<ByteBuffer>& data, const std::function<void(const std::string&)>& join);

private:
    SimpleEventConnection& mConnection;
    bool mProven = false;
    bool mJoinHeld = false;
    std::string mHeldJoinName;
};

} // namespace seafold
