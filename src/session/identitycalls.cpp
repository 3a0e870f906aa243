// Who the client is, as the server says: the calls of version 1 that tell a
// client the name it goes by.
#include "session/connectiontrace.h"
#include "session/simpleeventconnection.h"
#include "session/wireversion.h"

namespace seafold {

SF_IMPLEMENT_SEAFOLD_RPC(SimpleEventConnection, s2cYourName, GuaranteedOrdered, DirServerToClient, (StringPtr name))
{
    trace("s2cYourName", name);
    Session* s = session();
    // An empty name is no name: the server never gives one.
    if (s && name.length())
        s->setOwnName(name.c_str());
}

} // namespace seafold
