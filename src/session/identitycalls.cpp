// Who may connect, who may ask for what, and who the client is as the
// server says: the session's admission of a connect request, the calls a
// connection may make before it joined, and the call of version 1 that
// tells a client the name it goes by.
#include "session/connectiontrace.h"
#include "session/simpleeventconnection.h"
#include "session/wireversion.h"

#include <cstring>

namespace seafold {

bool SimpleEventConnection::admitEvent(NetEvent* event)
{
    // The calls a connection may make before it is in the roster.
    static const char* const BeforeJoining[] = {"RPC_SimpleEventConnection_c2sAddNewClient",
                                                "RPC_SimpleEventConnection_c2sPasswordAnswer"};
    Session* s = session();
    if (!s || connectParams().isInitiator || senderRecord())
        return true;
    const char* className = event->classRep() ? event->classRep()->className() : "";
    for (const char* allowed : BeforeJoining)
        if (std::strcmp(className, allowed) == 0)
            return true;
    SF_LOG("LogSession", "%s: %s from a connection that has not joined; dropped", name(), className);
    return false;
}

bool SimpleEventConnection::readConnectRequest(BitStream& stream, const char** errorText)
{
    if (!EventConnection::readConnectRequest(stream, errorText))
        return false;
    Session* s = session();
    mRefusal = s ? s->refusal(address()) : std::string();
    if (mRefusal.empty())
        return true;
    SF_LOG("LogSession", "%s: connection refused: %s", name(), mRefusal.c_str());
    *errorText = mRefusal.c_str();
    return false;
}

SF_IMPLEMENT_SEAFOLD_RPC(SimpleEventConnection, s2cYourName, GuaranteedOrdered, DirServerToClient, (StringPtr name))
{
    trace("s2cYourName", name);
    Session* s = session();
    // An empty name is no name: the server never gives one.
    if (s && name.length())
        s->confirmOwnName(name.c_str());
}

} // namespace seafold
