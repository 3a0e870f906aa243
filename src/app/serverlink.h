// A client's link to its server: one connection attempt at a time, and after
// a failed attempt or a lost connection a new one every 5 s, until one
// connects or the program ends (unless retrying is off).
//
// Each attempt is a new connection, joined again under the same user name:
// the interface releases a connection once it failed or ended, and its hooks
// clear gConnectionToServer. The roster of other users is emptied
// before a new attempt, since the server introduces everyone again.
//
// The link reports "connecting" and "retrying" to the session's listeners,
// beside the "connected", "failed" and "disconnected" the connection reports
// itself, and listens to the session itself to print a console line for
// each.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "net/address.h"
#include "session/subscribers.h"

namespace seafold {

class Session;
class SimpleEventConnection;

class ServerLink {
public:
    // The pause between the end of one attempt and the start of the next.
    enum : uint32_t { RetryDelayMs = 5000 };

    // The user name every attempt joins with, and whether to try again.
    void setUser(const std::string& userName) { mUserName = userName; }
    void setRetry(bool retry) { mRetry = retry; }

    // Starts one connection attempt to `server` ("host:port" as the user gave
    // it, for the console): a new connection, connecting, with the join
    // queued on it. The network interface must exist.
    void startAttempt(const NetAddress& server, const std::string& serverText);

    // How a due retry starts its attempt. Empty: again to the last server.
    // (A client that looks for its server on the network sets its own.)
    void setStartNextAttempt(std::function<void()> start) { mStartNextAttempt = std::move(start); }

    // Runs after the join is queued on each new attempt but the first, with
    // the new connection: what the user did before (the model, its place)
    // is sent again. Empty: nothing is.
    void setAfterRejoin(std::function<void(SimpleEventConnection&)> rejoin) { mAfterRejoin = std::move(rejoin); }

    // Every state of the connection to the server, as the session reports it.
    void connectionStateChanged(const char* state, const char* reason);

    // Subscribes the link to the session's connection states; watching again
    // replaces the earlier subscription. Whoever else listens (the event log,
    // the display) does so on its own.
    void watch(Session& session);

    // An attempt that ended without any connection (no server found on the
    // network, say): the next one in RetryDelayMs, unless retrying is off.
    void retryLater(const std::string& reason = std::string());

    // Each main-loop pass: starts a due retry.
    void service(uint32_t now);

    // The program ends: no more attempts, no more lines.
    void stop() { mStopped = true; }

    // Attempts started so far (a new one means a new connection).
    uint32_t attempts() const { return mAttempts; }

private:
    void report(const char* state, const char* reason);

    std::string mUserName;
    NetAddress mServer;
    std::string mServerText;
    bool mRetry = true;
    bool mStopped = false;
    bool mRetryDue = false;
    uint32_t mRetryAt = 0;
    uint32_t mAttempts = 0;
    SubscriptionId mSubscription = 0; // to the session watched
    std::function<void()> mStartNextAttempt;
    std::function<void(SimpleEventConnection&)> mAfterRejoin;
};

// The client's link (unused in a server).
extern ServerLink gServerLink;

} // namespace seafold
