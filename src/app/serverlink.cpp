#include "app/serverlink.h"
#include "app/console.h"
#include "app/network.h"
#include "app/refusal.h"
#include "base/platform.h"
#include "session/wireversion.h"

#include <cstring>

namespace seafold {

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
    // Let in: said at once, before the lines about the others that follow
    // the server's word in the same packet.
    listener.onRpc = [this](const char* rpc, const Json&) {
        if (std::strcmp(rpc, "s2cYourName") == 0)
            watchAdmission();
    };
    mSubscription = session.subscribe(std::move(listener));
}

void ServerLink::startAttempt(const NetAddress& server, const std::string& serverText)
{
    if (!gNetInterface)
        return;
    mRetryDue = false;
    mNow = gNetInterface->currentTime();
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
    connection->setHighestClassVersion(appSession().settings().highestWireVersion);
    appSession().setServerConnection(connection);
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

void ServerLink::reportProgress(const char* state, const std::string& reason)
{
    mReportingProgress = true;
    report(state, reason.c_str());
    mReportingProgress = false;
}

void ServerLink::connectionStateChanged(const char* state, const char* reason)
{
    if (mStopped || mReportingProgress)
        return;
    std::string why = reason ? reason : "";
    if (std::strcmp(state, "connecting") == 0) {
        mAwaitingAnswer = true;
        mAttemptStartedAt = mNow;
        mNextNoAnswerNotice = mNow + NoAnswerNoticeMs;
        std::string line = "Connecting to " + mServerText + " as " + terminalText(appSession().ownName());
        if (mAttempts > 1)
            line += " (attempt " + std::to_string(mAttempts) + ")";
        consoleLine(line + " ...");
    } else if (std::strcmp(state, "connected") == 0) {
        mAwaitingAnswer = false;
        mSilentSecondsShown = 0;
        mLastProbe = mNow;
        // Not said yet: the server may still refuse the join (a wrong or
        // missing password, too many guesses). Said once it lets us in.
        mAwaitingAdmission = true;
    } else if (std::strcmp(state, "failed") == 0) {
        mAwaitingAnswer = false;
        mAwaitingAdmission = false;
        consoleLine(endMessage(mServerText, why, false));
        if (isPermanent(classifyEnd(why)))
            giveUp();
        afterEnd(why);
    } else if (std::strcmp(state, "disconnected") == 0) {
        mSilentSecondsShown = 0;
        mAwaitingAdmission = false;
        consoleLine(endMessage(mServerText, why, true));
        if (isPermanent(classifyEnd(why)))
            giveUp();
        afterEnd(why);
    } else if (std::strcmp(state, "retrying") == 0) {
        consoleLine(mRetryDelayMs < 1000 ? std::string("Trying again now.")
                                         : "Trying again in " + std::to_string(mRetryDelayMs / 1000) + " s.");
    }
}

// The next attempt starts from the main loop: this runs inside the
// interface's own processing of the old connection.
void ServerLink::afterEnd(const std::string& reason)
{
    if (mGaveUp)
        return;
    if (!mRetry) {
        consoleLine("Not trying again (--no-retry).");
        giveUp();
        return;
    }
    retryLater(reason);
}

void ServerLink::giveUp()
{
    if (mGaveUp)
        return;
    mGaveUp = true;
    mRetryDue = false;
    if (mOnGiveUp)
        mOnGiveUp();
}

void ServerLink::retryLater(const std::string& reason)
{
    if (mStopped || mGaveUp || mRetryDue)
        return;
    if (!mRetry) {
        giveUp();
        return;
    }
    mRetryDue = true;
    switch (classifyEnd(reason)) {
    case EndCode::NothingListens:
        mRetryDelayMs = RetryNothingListensMs;
        break;
    case EndCode::ServerForgot:
        mRetryDelayMs = RetryServerForgotMs;
        break;
    default:
        mRetryDelayMs = RetryDelayMs;
        break;
    }
    mRetryAt = mNow + mRetryDelayMs;
    report("retrying", reason.c_str());
}

void ServerLink::watchUnanswered(uint32_t now)
{
    if (!mAwaitingAnswer || int32_t(now - mNextNoAnswerNotice) < 0)
        return;
    mNextNoAnswerNotice = now + NoAnswerNoticeEveryMs;
    const std::string waited = std::to_string((now - mAttemptStartedAt) / 1000);
    consoleLine("No answer yet from " + mServerText + " after " + waited + " s; still trying ...");
    reportProgress("connecting", "no answer yet after " + waited + " s");
}

void ServerLink::watchSilence(uint32_t now)
{
    SimpleEventConnection* connection = serverConnection();
    if (!connection || !connection->isEstablished())
        return;
    const uint32_t silent = now - connection->lastHeardTime();
    if (silent < ProbeSilenceMs) {
        if (mSilentSecondsShown) {
            mSilentSecondsShown = 0;
            consoleLine("The server at " + mServerText + " answers again.");
            reportProgress("connected", "");
        }
        return;
    }
    // Asked once a probe interval while silent: its answer is the first
    // thing a live server sends.
    if (uint32_t(now - mLastProbe) >= ProbeSilenceMs) {
        mLastProbe = now;
        connection->probe();
    }
    if (silent < SilenceNoticeMs)
        return;
    const uint32_t seconds = silent / 1000;
    if (!mSilentSecondsShown || int32_t(now - mNextSilenceNotice) >= 0) {
        mNextSilenceNotice = now + SilenceNoticeEveryMs;
        consoleLine("No reply from the server at " + mServerText + " for " + std::to_string(seconds) + " s.");
    }
    if (seconds != mSilentSecondsShown) {
        mSilentSecondsShown = seconds;
        reportProgress("connected", "no reply for " + std::to_string(seconds) + " s");
    }
}

bool ServerLink::admitted() const
{
    SimpleEventConnection* connection = serverConnection();
    return connection && connection->isEstablished() &&
           (appSession().ownNameConfirmed() || !speaksSeafold(*connection));
}

void ServerLink::watchAdmission()
{
    if (!mAwaitingAdmission || !admitted())
        return;
    mAwaitingAdmission = false;
    consoleLine("Connected to the server at " + mServerText + ".");
}

void ServerLink::service(uint32_t now)
{
    mNow = now;
    if (mStopped || mGaveUp)
        return;
    watchAdmission();
    watchUnanswered(now);
    watchSilence(now);
    if (!mRetryDue || int32_t(now - mRetryAt) < 0)
        return;
    mRetryDue = false;
    if (mStartNextAttempt)
        mStartNextAttempt();
    else
        startAttempt(mServer, mServerText);
}

} // namespace seafold
