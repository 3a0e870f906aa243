#include "session/membership.h"
#include "session/endcode.h"
#include "session/names.h"
#include "session/passwordexchange.h"
#include "session/relay.h"
#include "session/simpleeventconnection.h"
#include "session/wireversion.h"

#include <cstring>

namespace seafold {

bool Membership::admitConnectRequest(const char** errorText)
{
    Session* s = mConnection.session();
    mRefusal = s ? s->refusal(mConnection.address()) : std::string();
    if (mRefusal.empty())
        return true;
    SF_LOG("LogSession", "%s: connection refused: %s", mConnection.name(), mRefusal.c_str());
    *errorText = mRefusal.c_str();
    return false;
}

bool Membership::acceptServerKey(AsymmetricKey* key, bool isInitiator)
{
    Session* s = mConnection.session();
    if (!isInitiator || !s)
        return true;
    const std::string& expected = s->settings().serverKeyFingerprint;
    const std::string shown = keyFingerprint(key);
    std::string reason;
    if (!expected.empty() && shown != expected)
        reason = "The server's key fingerprint is " + shown + ", not " + expected +
                 " as given with --server-key: this may not be the server you meant";
    else if (expected.empty() && s->settings().serverKeyCheck)
        reason = s->settings().serverKeyCheck(mConnection.address(), shown);
    if (reason.empty())
        return true;
    // Another key may be an impostor's. Waiting for the right one would only
    // end in a time-out that says nothing, so the attempt ends here.
    if (ConnectionOwner* owner = mConnection.netInterface())
        owner->disconnect(&mConnection, ReasonSelfDisconnect, reason.c_str());
    return false;
}

bool Membership::admitEvent(NetEvent* event, bool joinHeld)
{
    // The calls a connection may make before it is in the roster.
    static const char* const BeforeJoining[] = {"RPC_SimpleEventConnection_c2sAddNewClient",
                                                "RPC_SimpleEventConnection_c2sPasswordAnswer"};
    Session* s = mConnection.session();
    if (!s || mConnection.connectParams().isInitiator || mConnection.senderRecord())
        return true;
    const char* className = event->classRep() ? event->classRep()->className() : "";
    for (const char* allowed : BeforeJoining)
        if (std::strcmp(className, allowed) == 0)
            return true;
    if (joinHeld && event->guaranteeType() == NetEvent::GuaranteedOrdered && mHeldEvents.size() < MaxHeldEvents) {
        mHeldEvents.emplace_back(event);
        return false;
    }
    SF_LOG("LogSession", "%s: %s from a connection that has not joined; dropped", mConnection.name(), className);
    return false;
}

bool Membership::hasJoined() const
{
    Session* s = mConnection.session();
    return !s || s->roster().findByConnection(&mConnection);
}

void Membership::requestJoin(const StringPtr& name, PasswordExchange& password)
{
    Session* s = mConnection.session();
    if (!s || password.holdsJoin())
        return;
    // One join per connection: a second would leave a record behind that
    // outlives the connection.
    if (s->roster().findByConnection(&mConnection))
        return;
    // Every operation finds users by name: nobody may go without one, nor
    // with one that hides characters or speaks for the server.
    const NameVerdict verdict = checkUserName(name.c_str());
    if (!verdict.taken()) {
        s->reportNotice("Refused the name \"" + oneLineText(name.c_str()) + "\" from " + mConnection.peerText() +
                        ": " + verdict.refusal);
        mConnection.refuse(verdict.refusal.c_str());
        return;
    }
    const std::string banned = s->joinRefusal(mConnection.address(), verdict.name);
    if (!banned.empty()) {
        mConnection.refuse(banned.c_str());
        return;
    }
    // Behind a password nobody learns anything of the session before the
    // proof: the join waits for the answer (it follows the join on the
    // connection). A peer that cannot be asked cannot join.
    if (password.mustProve()) {
        if (!password.asked()) {
            s->reportNotice(mConnection.peerText() + " (\"" + verdict.name +
                            "\") cannot be asked for the password, being of an older version; refused");
            mConnection.refuse(PasswordRequiredReason);
            return;
        }
        password.holdJoin(verdict.name);
        return;
    }
    join(verdict.name);
}

void Membership::join(const std::string& name)
{
    Session* s = mConnection.session();
    if (!s)
        return;
    Roster& roster = s->roster();
    // Two users must never share a name, as it arrives.
    const std::string unique = roster.uniqueName(name);
    // A user banned under the name the server gave in place of a taken one
    // ("alice (2)") would otherwise come back under it by asking for the
    // taken one again.
    if (unique != name) {
        const std::string banned = s->joinRefusal(mConnection.address(), unique);
        if (!banned.empty()) {
            mConnection.refuse(banned.c_str());
            return;
        }
    }
    ClientRecord& newcomer = roster.append(unique, &mConnection);
    newcomer.muted = s->nameMuted(name) || s->nameMuted(unique);
    if (newcomer.muted)
        s->reportNotice("\"" + oneLineText(unique) + "\" stays muted: the name was muted before (\"unmute\" lifts it)");
    if (unique != name)
        mConnection.sendServerNotice("Your name is in use here; you are now: " + unique);
    // The words are for the user; a peer that knows the call adopts the
    // name, and learns that it is in (past the password, say).
    if (speaksSeafold(mConnection))
        mConnection.s2cYourName(StringPtr(unique.c_str()));
    UserAction action;
    action.kind = UserAction::Join;
    relayUserAction(*s, newcomer, action);
    std::vector<RefPtr<NetEvent>> held;
    held.swap(mHeldEvents);
    for (const RefPtr<NetEvent>& event : held)
        mConnection.processEvent(event.get());
}

void Membership::leave()
{
    Session* s = mConnection.session();
    ClientRecord* leaver = mConnection.senderRecord();
    if (!s || !leaver)
        return;
    UserAction action;
    action.kind = UserAction::Leave;
    relayUserAction(*s, *leaver, action);
}

} // namespace seafold
