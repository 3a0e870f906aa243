// Who may connect and join, and as whom: the server's refusal of a connect
// request (a banned address), the calls a connection may make before it
// joined, the join under a name no other user has (the user is told the
// name it got), and the leave; a client's check of the server's key
// (--server-key, or the session's check of remembered servers). The join and the leave go through the one relay path.
//
// Main thread only.
#pragma once

#include <string>
#include <vector>

#include "net/eventconnection.h"
#include "net/rpc.h"

namespace seafold {

class AsymmetricKey;
class NetEvent;
class PasswordExchange;
class SimpleEventConnection;

class Membership {
public:
    explicit Membership(SimpleEventConnection& connection) : mConnection(connection) {}
    Membership(const Membership&) = delete;
    Membership& operator=(const Membership&) = delete;

    // Server: false, with the session's reason in `errorText`, when the
    // request's address is not let in.
    bool admitConnectRequest(const char** errorText);
    // Client: true when the server's key is the one the session expects;
    // otherwise the attempt ends at once with both fingerprints as reason.
    bool acceptServerKey(AsymmetricKey* key, bool isInitiator);
    // Server: before the join only the join and the password's answer pass.
    // While the join waits for the password (`joinHeld`), the ordered calls
    // that follow it (a model picked, a first movement) are kept, up to a
    // bound, and run once the user is in: the client sent them in good
    // faith and counts them as done.
    bool admitEvent(NetEvent* event, bool joinHeld);
    bool hasJoined() const;

    // Server, c2sAddNewClient: one join per connection, under a name the
    // server takes (names.h) and the session does not ban; behind a
    // password the join waits for the answer (`password`).
    void requestJoin(const StringPtr& name, PasswordExchange& password);
    // Server: the user joins the roster under a name no other user has,
    // then the calls kept while the join waited run in their order.
    void join(const std::string& name);
    // Server: the connection ended; everyone else is told.
    void leave();

private:
    // What a held join may keep: far more than a client sends in the round
    // trip the password takes, far less than a flood.
    static constexpr size_t MaxHeldEvents = 256;

    SimpleEventConnection& mConnection;
    std::string mRefusal; // why the connect request was refused
    std::vector<RefPtr<NetEvent>> mHeldEvents;
};

} // namespace seafold
