// The connection's messages and echo calls: the server's words for the user,
// and the calls a peer answers with what it was sent (used to check a link).
#include "session/connectiontrace.h"
#include "session/simpleeventconnection.h"

#include <cstdio>

namespace seafold {

// ---- messages and echo calls -----------------------------------------------------------

SF_IMPLEMENT_RPC(SimpleEventConnection, s2cBroadcastMessage, GuaranteedOrdered, DirServerToClient, ())
{
    trace("s2cBroadcastMessage");
    std::printf("Serverdan mesaj var biri baglandi herhal\n");
    std::fflush(stdout);
}

SF_IMPLEMENT_RPC(SimpleEventConnection, rpcMessageClientToServer, GuaranteedOrdered, DirClientToServer,
                 (StringPtr message))
{
    trace("rpcMessageClientToServer", message);
    rpcMessageServerToClient(StringPtr("Hello, World!"));
}

// The server's words for the user (a changed name, for one).
SF_IMPLEMENT_RPC(SimpleEventConnection, rpcMessageServerToClient, GuaranteedOrdered, DirServerToClient,
                 (StringPtr message))
{
    trace("rpcMessageServerToClient", message);
    if (message.length())
        mClientEnd.showServerText(message.c_str());
}

SF_IMPLEMENT_RPC(SimpleEventConnection, rpcCoorClientToServer, GuaranteedOrdered, DirClientToServer,
                 (int32_t a, int32_t b, StringPtr tag))
{
    trace("rpcCoorClientToServer", a, b, tag);
    rpcCoorServerToClient(a, b);
}

SF_IMPLEMENT_RPC(SimpleEventConnection, rpcCoorServerToClient, GuaranteedOrdered, DirServerToClient,
                 (int32_t a, int32_t b))
{
    trace("rpcCoorServerToClient", a, b);
}

SF_IMPLEMENT_RPC(SimpleEventConnection, rpcStructClientToServer, GuaranteedOrdered, DirClientToServer,
                 (RefPtr<ByteBuffer> data, StringPtr tag))
{
    trace("rpcStructClientToServer", data, tag);
    rpcStructServerToClient(data);
}

SF_IMPLEMENT_RPC(SimpleEventConnection, rpcStructServerToClient, GuaranteedOrdered, DirServerToClient,
                 (RefPtr<ByteBuffer> data))
{
    trace("rpcStructServerToClient", data);
}

SF_IMPLEMENT_RPC(SimpleEventConnection, rpcStreamClientToServer, GuaranteedOrdered, DirClientToServer,
                 (std::vector<int32_t> values, StringPtr tag))
{
    trace("rpcStreamClientToServer", values, tag);
    rpcStreamServerToClient(values);
}

SF_IMPLEMENT_RPC(SimpleEventConnection, rpcStreamServerToClient, GuaranteedOrdered, DirServerToClient,
                 (std::vector<int32_t> values))
{
    trace("rpcStreamServerToClient", values);
}

} // namespace seafold
