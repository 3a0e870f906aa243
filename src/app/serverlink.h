// A client's link to its server: one connection attempt at a time, and after
// a failed attempt or a lost connection a new one every 5 s, until one
// connects or the program ends. A refusal that waiting will not change (the
// wrong key, --secure on one side, another version, a wrong password, a
// ban, a kick, no name) ends the program instead, as any failure does with
// retrying off. An unanswered join and a silent server are shown as they
// last, in seconds.
//
// Each attempt is a new connection, joined again under the same user name:
// the interface releases a connection once it failed or ended, and its hooks
// clear the session's connection to the server. The roster of other users is emptied
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
    enum : uint32_t {
        // The pause between the end of one attempt and the start of the next.
        RetryDelayMs = 5000,
        // After the server's host said nothing listens on the port: a
        // server being started there is joined within a second of it.
        RetryNothingListensMs = 1000,
        // After the server proved it was restarted (it answered with the
        // connection's reset token): it is up, so the next attempt starts
        // at the next pass.
        RetryServerForgotMs = 0,
        // An unanswered join is told after this long, and again at each
        // further interval, with the time it has waited.
        NoAnswerNoticeMs = 2000,
        NoAnswerNoticeEveryMs = 3000,
        // A connected server that sent nothing for this long is asked for an
        // answer (a ping), again at each interval while it stays silent, so
        // that an idle link is told from a dead one.
        ProbeSilenceMs = 1000,
        // A connected server silent for this long is shown as not replying,
        // with the seconds counted; the console says so again each interval.
        SilenceNoticeMs = 3000,
        SilenceNoticeEveryMs = 3000,
    };

    // The user name every attempt joins with, and whether to try again.
    void setUser(const std::string& userName) { mUserName = userName; }
    void setRetry(bool retry) { mRetry = retry; }

    // Called once the link will not try again: a refusal that will not
    // change by itself, or any failure with retrying off. The program ends
    // with exit code 1 (SessionHost wires it). Empty: nothing happens.
    void setOnGiveUp(std::function<void()> giveUp) { mOnGiveUp = std::move(giveUp); }
    bool gaveUp() const { return mGaveUp; }

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

    // Each main-loop pass, with the network interface's clock (the one
    // clock of every wait here): starts a due retry, counts an unanswered
    // join, and watches a connected server's silence.
    void service(uint32_t now);

    // The program ends: no more attempts, no more lines.
    void stop() { mStopped = true; }

    // The server has let the user in on the connection now up: it said the
    // name it took the join under, or it is of version 0 (which never
    // says, and has no password to check). Until then a refusal may come.
    bool admitted() const;

    // Attempts started so far (a new one means a new connection).
    uint32_t attempts() const { return mAttempts; }

private:
    void report(const char* state, const char* reason);
    // Tells the listeners how the attempt or connection fares now, without
    // the link taking it for a new state.
    void reportProgress(const char* state, const std::string& reason);
    void watchUnanswered(uint32_t now);
    void watchSilence(uint32_t now);
    void watchAdmission();
    // After a failure or loss: tries again later, or gives up.
    void afterEnd(const std::string& reason);
    void giveUp();

    std::string mUserName;
    NetAddress mServer;
    std::string mServerText;
    bool mRetry = true;
    bool mStopped = false;
    bool mGaveUp = false;
    bool mRetryDue = false;
    bool mReportingProgress = false;
    uint32_t mNow = 0;
    uint32_t mRetryAt = 0;
    uint32_t mRetryDelayMs = RetryDelayMs; // the wait before the due retry
    uint32_t mAttempts = 0;
    // The attempt under way: not answered yet, since when, next notice.
    bool mAwaitingAnswer = false;
    bool mAwaitingAdmission = false; // connected, not yet let in
    uint32_t mAttemptStartedAt = 0;
    uint32_t mNextNoAnswerNotice = 0;
    // The connected server's silence: last probe, seconds shown (0: none),
    // next console line.
    uint32_t mLastProbe = 0;
    uint32_t mSilentSecondsShown = 0;
    uint32_t mNextSilenceNotice = 0;
    SubscriptionId mSubscription = 0; // to the session watched
    std::function<void()> mStartNextAttempt;
    std::function<void(SimpleEventConnection&)> mAfterRejoin;
    std::function<void()> mOnGiveUp;
};

} // namespace seafold
