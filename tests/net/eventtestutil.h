// Shared by the event and remote-call tests: two event connections joined
// without sockets, the way the handshake would join them.
#pragma once

#include <gtest/gtest.h>

#include "net/eventconnection.h"
#include "net/socket.h"

namespace seafold::test {

// Negotiates the class count the way the handshake does and marks roles.
inline void establish(EventConnection& client, EventConnection& server)
{
    NetClassRep::initialize();
    PacketStream request;
    client.writeConnectRequest(request);
    BitStream requestIn(request.data(), request.bytePosition());
    const char* error = nullptr;
    ASSERT_TRUE(server.readConnectRequest(requestIn, &error));
    PacketStream accept;
    server.writeConnectAccept(accept);
    BitStream acceptIn(accept.data(), accept.bytePosition());
    ASSERT_TRUE(client.readConnectAccept(acceptIn, &error));
    client.setState(Connected);
    server.setState(Connected);
    client.setRoleFlag(NetConnection::ConnectionToServer);
    server.setRoleFlag(NetConnection::ConnectionToClient);
}

} // namespace seafold::test
