#include "session/session.h"
#include "session/names.h"
#include "session/relay.h"
#include "session/simpleeventconnection.h"
#include "session/wireversion.h"

#include <algorithm>
#include <cstdio>

#include <nlohmann/json.hpp>

namespace seafold {

SimpleEventConnection* Session::serverConnection() const
{
    return mServerConnection.get();
}

void Session::setServerConnection(SimpleEventConnection* connection)
{
    mServerConnection = connection;
}

void Session::forgetServerConnection(const SimpleEventConnection* connection)
{
    if (mServerConnection.get() == connection)
        mServerConnection = nullptr;
}

uint32_t Session::ownMarks() const
{
    return (ownMuted() ? uint32_t(UserMarkMuted) : 0u) | (mDeafened ? uint32_t(UserMarkDeafened) : 0u);
}

void Session::setOwnVoice(bool muted, bool deafened)
{
    const uint32_t before = ownMarks();
    mOwnMuted = muted;
    mDeafened = deafened;
    if (ownMarks() == before)
        return;
    if (SimpleEventConnection* server = serverConnection()) {
        // Until the server has let this user in there is no one to mark:
        // the marks go with its word of the name (ClientEnd::confirmName).
        if (server->isEstablished() && ownNameConfirmed())
            server->sendOwnMarks(ownMarks());
        return;
    }
    for (size_t i = 0; mIsServer && i < mRoster.size(); ++i) {
        if (!mRoster[i].local)
            continue;
        UserAction action;
        action.kind = UserAction::Marks;
        action.marks = ownMarks();
        relayUserAction(*this, mRoster[i], action);
        return;
    }
}

SubscriptionId Session::subscribe(SessionListener listener)
{
    return mListeners.add(std::move(listener));
}

void Session::unsubscribe(SubscriptionId id)
{
    mListeners.remove(id);
}

void Session::unsubscribeAll()
{
    mListeners.clear();
}

bool Session::tracesRpcs() const
{
    return mListeners.any([](const SessionListener& listener) { return bool(listener.onRpc); });
}

// An event raised by a listener (the link's "retrying" in answer to
// "failed") waits until every listener has heard the event under way: each
// hears the events in the order they happened, whatever the order in which
// the listeners subscribed.
bool Session::beginDelivery(std::function<void()> later)
{
    if (mDelivering) {
        mLater.push_back(std::move(later));
        return false;
    }
    mDelivering = true;
    return true;
}

void Session::endDelivery()
{
    while (!mLater.empty()) {
        std::function<void()> next = std::move(mLater.front());
        mLater.pop_front();
        mDelivering = false;
        next();
    }
    mDelivering = false;
}

void Session::reportRpc(const char* rpc, const Json& args)
{
    std::function<void()> later;
    if (mDelivering)
        later = [this, name = std::string(rpc), copy = Json(args)] { reportRpc(name.c_str(), copy); };
    if (!beginDelivery(std::move(later)))
        return;
    mListeners.forEach([&](const SessionListener& listener) {
        if (listener.onRpc)
            listener.onRpc(rpc, args);
    });
    endDelivery();
}

void Session::reportVoice(SimpleEventConnection* connection, ByteBuffer* data)
{
    if (!beginDelivery([this, from = WeakRef<SimpleEventConnection>(connection), held = RefPtr<ByteBuffer>(data)] {
            reportVoice(from, held);
        }))
        return;
    mListeners.forEach([&](const SessionListener& listener) {
        if (listener.onVoice)
            listener.onVoice(connection, data);
    });
    endDelivery();
}

void Session::reportSpeaker(const std::string& speaker)
{
    if (!beginDelivery([this, speaker] { reportSpeaker(speaker); }))
        return;
    mListeners.forEach([&](const SessionListener& listener) {
        if (listener.onSpeaker)
            listener.onSpeaker(speaker);
    });
    endDelivery();
}

void Session::reportConnectionState(const char* state, const char* reason)
{
    const std::string why = reason ? reason : "";
    if (!beginDelivery([this, now = std::string(state), why] { reportConnectionState(now.c_str(), why.c_str()); }))
        return;
    mListeners.forEach([&](const SessionListener& listener) {
        if (listener.onConnectionState)
            listener.onConnectionState(state, why.c_str());
    });
    endDelivery();
}

void Session::reportServerText(const char* text)
{
    if (!beginDelivery([this, words = std::string(text)] { reportServerText(words.c_str()); }))
        return;
    if (mListeners.any([](const SessionListener& listener) { return bool(listener.onServerText); })) {
        mListeners.forEach([&](const SessionListener& listener) {
            if (listener.onServerText)
                listener.onServerText(text);
        });
    } else {
        std::fprintf(stderr, "%s\n", text);
        std::fflush(stderr);
    }
    endDelivery();
}

void SessionInterface::prepareIncomingConnection(NetConnection* connection)
{
    if (auto* events = dynamic_cast<EventConnection*>(connection))
        events->setHighestClassVersion(mSession.settings().highestWireVersion);
}

void Session::setNameMuted(const std::string& name, bool muted)
{
    mMutedNames.erase(std::remove_if(mMutedNames.begin(), mMutedNames.end(),
                                     [&](const std::string& muted) { return namesLookAlike(muted, name); }),
                      mMutedNames.end());
    if (muted)
        mMutedNames.push_back(name);
    // The user here under that name (names are unique by look) carries it
    // for the relay, which reads it for every voice frame.
    if (ClientRecord* record = mRoster.findLookAlike(name))
        record->muted = muted;
}

bool Session::nameMuted(const std::string& name) const
{
    return std::any_of(mMutedNames.begin(), mMutedNames.end(),
                       [&](const std::string& muted) { return namesLookAlike(muted, name); });
}

bool Session::mayGuessPassword(uint32_t host, uint32_t nowMs)
{
    constexpr uint32_t MinuteMs = 60000;
    // Hosts whose guesses are all older than a minute are forgotten, so the
    // map holds only the last minute's guessers.
    for (auto it = mPasswordGuesses.begin(); it != mPasswordGuesses.end();) {
        std::deque<uint32_t>& times = it->second;
        while (!times.empty() && uint32_t(nowMs - times.front()) >= MinuteMs)
            times.pop_front();
        it = times.empty() ? mPasswordGuesses.erase(it) : std::next(it);
    }
    const auto it = mPasswordGuesses.find(host);
    return it == mPasswordGuesses.end() || it->second.size() < PasswordGuessesPerMinute;
}

void Session::countWrongPasswordGuess(uint32_t host, uint32_t nowMs)
{
    mPasswordGuesses[host].push_back(nowMs);
}

void Session::reportChat(const std::string& sender, const std::string& text)
{
    if (!beginDelivery([this, sender, text] { reportChat(sender, text); }))
        return;
    mListeners.forEach([&](const SessionListener& listener) {
        if (listener.onChat)
            listener.onChat(sender, text);
    });
    endDelivery();
}

void Session::reportNotice(const std::string& text)
{
    if (!beginDelivery([this, text] { reportNotice(text); }))
        return;
    mListeners.forEach([&](const SessionListener& listener) {
        if (listener.onNotice)
            listener.onNotice(text);
    });
    endDelivery();
}

SessionInterface::~SessionInterface()
{
    while (!pendingConnections().empty()) {
        RefPtr<NetConnection> connection = pendingConnections().front();
        disconnect(connection, ReasonSelfDisconnect, "Shutdown");
        if (!pendingConnections().empty() && pendingConnections().front() == connection)
            removePendingConnection(connection);
    }
    while (!connections().empty()) {
        RefPtr<NetConnection> connection = connections().front();
        disconnect(connection, ReasonSelfDisconnect, "Shutdown");
        if (!connections().empty() && connections().front() == connection)
            removeConnection(connection); // a hook changed its state: drop it anyway
    }
}

} // namespace seafold
