// The join password, calls of version 1. The password never crosses the
// network, and nothing that does lets anyone test guesses offline: the two
// ends run a password-authenticated key exchange (CpaceExchange, net/cpace.h)
// bound to this connection's own key exchange.
//
//   s2cPasswordRequired  server -> client, once the connection is up, only
//                        when the server has a password: the server's share
//   c2sPasswordAnswer    client -> server, only in answer to it: the
//                        client's share and tag (both empty without a
//                        password)
//   s2cPasswordAccepted  server -> client, when the client's tag was good:
//                        the server's tag, which the client checks
//
// The server holds the join until the answer is good, counts the wrong
// guesses per source host (at most Session::PasswordGuessesPerMinute a
// minute, then no more are checked) and tells its operator of every one.
//
// Main thread only.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/rpc.h"

namespace seafold {

class CpaceExchange;
class SimpleEventConnection;

class PasswordExchange {
public:
    explicit PasswordExchange(SimpleEventConnection& connection);
    ~PasswordExchange();
    PasswordExchange(const PasswordExchange&) = delete;
    PasswordExchange& operator=(const PasswordExchange&) = delete;

    // The bytes that bind the exchange to this connection: a digest of its
    // key exchange's shared secret. False without a sealed one.
    bool channel(std::array<uint8_t, 32>* channel) const;

    // Server, once the connection is up: asks a client of version 1 for the
    // password, when there is one.
    void ask();
    // Client, s2cPasswordRequired: answers the server that asked.
    void answer(const RefPtr<ByteBuffer>& serverShare);
    // Server, c2sPasswordAnswer: checks the answer; a wrong one refuses the
    // connection. Once proven, the join held runs through `join`.
    void receiveAnswer(const RefPtr<ByteBuffer>& clientShare, const RefPtr<ByteBuffer>& clientTag,
                       const std::function<void(const std::string&)>& join);
    // Client, s2cPasswordAccepted: the server proves it knew the password.
    void accepted(const RefPtr<ByteBuffer>& serverTag);

    // Server: a join must wait for the answer first.
    bool mustProve() const;
    // Server: the client could be asked (the connection is sealed and speaks
    // version 1); a peer that cannot be asked cannot join.
    bool asked() const { return bool(mExchange); }
    // Server: the join of `name`, waiting for the answer.
    void holdJoin(const std::string& name);
    bool holdsJoin() const { return mJoinHeld; }
    // Client: the server asked for the password and was answered.
    bool answered() const { return mAnswered; }
    // Client, s2cYourName: a server that asked lets the user in only after
    // proving it knew the password too; one that did not is left here.
    // False when the connection was ended for it.
    bool letInAfterProof();

private:
    // The exchange for `password` on this connection, or none (no password,
    // no sealed connection).
    std::unique_ptr<CpaceExchange> start(const std::string& password) const;

    SimpleEventConnection& mConnection;
    // Server: the exchange under way with this client; a client: the one
    // with the server that asked, until it proved itself.
    std::unique_ptr<CpaceExchange> mExchange;
    bool mProven = false;
    bool mAnswered = false;
    bool mJoinHeld = false;
    std::string mHeldJoinName;
};

} // namespace seafold
