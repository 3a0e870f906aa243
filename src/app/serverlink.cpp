#include "app/serverlink.h"
#include "app/console.h"
#include "app/network.h"
#include "base/platform.h"

#include <cstring>

namespace seafold {

ServerLink gServerLink;

void ServerLink::watch(Session& session)
{
    if (mStopped)
        return;
    // Ids are unique in the process: only an earlier watch of this session goes.
    session.unsubscribe(mSubscription);
    SessionListener listener;
    listener.onConnectionState = [this](const char* state, const char* reason) {
        connectionStateChanged(state, reason);
    };
    mSubscription = session.subscribe(std::move(listener));
}

void ServerLink::startAttempt(const NetAddress& server, const std::string& serverText)
{
    if (!gNetInterface)
        return;
    mRetryDue = false;
    mServer = server;
    mServerText = serverText;
    ++mAttempts;
    if (mAttempts > 1) {
        // The server introduces everyone again on the new connection. The
        // users did not leave: no console line for them.
        gClients.clearQuietly();
    }
    // Every attempt asks for the name the user gave; the server may give
    // another, which this attempt then goes by.
    const std::string asked = fitUtf8(mUserName, MaxNameBytes);
    appSession().setOwnName(asked);
    report("connecting", "");

    // The interface holds the connection; its hooks clear the pointer to it
    // when it fails or ends.
    auto* connection = new SimpleEventConnection;
    gConnectionToServer = connection;
    connection->connect(gNetInterface, server, false, false);
    // Queued now, sent once the connection is up.
    connection->c2sAddNewClient(StringPtr(asked.c_str()));
    if (mAttempts > 1 && mAfterRejoin)
        mAfterRejoin(*connection);
}

void ServerLink::report(const char* state, const char* reason)
{
    appSession().reportConnectionState(state, reason);
}

void ServerLink::connectionStateChanged(const char* state, const char* reason)
{
    if (mStopped)
        return;
    std::string why = reason ? reason : "";
    bool ended = false;
    if (std::strcmp(state, "connecting") == 0) {
        std::string line = "Connecting to " + mServerText + " as " + terminalText(appSession().ownName());
        if (mAttempts > 1)
            line += " (attempt " + std::to_string(mAttempts) + ")";
        consoleLine(line + " ...");
    } else if (std::strcmp(state, "connected") == 0) {
        consoleLine("Connected to the server at " + mServerText + ".");
    } else if (std::strcmp(state, "failed") == 0) {
        consoleLine(connectFailedMessage(mServerText, why));
        ended = true;
    } else if (std::strcmp(state, "disconnected") == 0) {
        consoleLine(connectionLostMessage(mServerText, why));
        ended = true;
    } else if (std::strcmp(state, "retrying") == 0) {
        consoleLine("Trying again in " + std::to_string(RetryDelayMs / 1000) + " s.");
    }
    // The next attempt starts from the main loop: this runs inside the
    // interface's own processing of the old connection.
    if (ended)
        retryLater(why);
}

void ServerLink::retryLater(const std::string& reason)
{
    if (mStopped || !mRetry || mRetryDue)
        return;
    mRetryDue = true;
    mRetryAt = getRealMilliseconds() + RetryDelayMs;
    report("retrying", reason.c_str());
}

void ServerLink::service(uint32_t now)
{
    if (mStopped || !mRetryDue || int32_t(now - mRetryAt) < 0)
        return;
    mRetryDue = false;
    if (mStartNextAttempt)
        mStartNextAttempt();
    else
        startAttempt(mServer, mServerText);
}

} // namespace seafold
