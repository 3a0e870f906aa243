// Arbitrary datagrams, most of them reset queries and answers, into a server
// that gives reset tokens and into its client, whose sealed connection holds
// one. A query from a stranger is answered at most with a datagram no larger
// than itself; no answer a stranger can make ends the client's connection,
// and no datagram leaves either side holding state for a stranger.
//
// Input: [how] (1 byte), then the datagram.
//   how & 1: the client receives it, as from the server's address;
//            otherwise the server, from one of three strangers (how >> 2 % 3)
//   how & 2: its first byte is made the new packet type (query to the
//            server, answer to the client)
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzzworld.h"
#include "net/eventconnection.h"
#include "net/netinterface.h"

using namespace seafold;

namespace {

// A class of version 1 in the default group: the connection speaks it.
class ResetFuzzLater : public NetEvent {
    SF_DECLARE_CLASS(ResetFuzzLater)
public:
    ResetFuzzLater() : NetEvent(GuaranteedOrdered, DirAny) {}
    void pack(EventConnection*, BitStream&) override {}
    void unpack(EventConnection*, BitStream&) override {}
    void process(EventConnection*) override {}
};
NetClassRepInstance<ResetFuzzLater> ResetFuzzLater::dynClassRep("ResetFuzzLater", NetClassGroupDefaultMask,
                                                                NetClassTypeEvent, 1);

class ResetFuzzConnection : public EventConnection {
    SF_DECLARE_CLASS(ResetFuzzConnection)
public:
    uint32_t classGroup() const override { return NetClassGroupDefault; }
};
SF_IMPLEMENT_NETCONNECTION(ResetFuzzConnection);

uint32_t gNow = 1000;

// The largest datagram the server sent since the last look.
struct LargestSent : PacketFilter {
    uint32_t largest = 0;
    NetResult filterSend(Socket& socket, const NetAddress& to, const uint8_t* data, uint32_t length) override
    {
        if (length && data[0] == NetInterface::ResetAnswer)
            largest = length > largest ? length : largest;
        return socket.sendRaw(to, data, length);
    }
};

struct World {
    RefPtr<NetInterface> server, client;
    RefPtr<ResetFuzzConnection> connection;
    LargestSent serverWire;
    NetAddress strangers[3];

    World()
    {
        NetAddress bind(IPProtocol, LocalhostAddress, 0);
        server = new NetInterface(bind);
        client = new NetInterface(bind);
        server->setTimeSource([] { return gNow; });
        client->setTimeSource([] { return gNow; });
        server->setPrivateKey(new AsymmetricKey(32));
        server->setResetTokens(1);
        client->setAsksForKeyExchange(true);
        server->socket().setPacketFilter(&serverWire);
        for (int i = 0; i < 3; ++i) {
            strangers[i].parse("127.0.0.2:1000");
            strangers[i].port = uint16_t(1000 + i);
        }
        connection = new ResetFuzzConnection;
        connection->connect(client, server->boundAddress());
        for (int i = 0; i < 2000 && !(connection->isEstablished() && !server->connections().empty()); ++i) {
            client->receivePackets();
            server->receivePackets();
            client->serviceConnections();
            server->serviceConnections();
            gNow += 1;
        }
        if (!connection->hasResetToken())
            std::abort();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    World* world = &fuzzWorld<World>();
    if (size < 2 || size > 1501)
        return 0;
    const uint8_t how = data[0];
    uint8_t datagram[1500];
    const uint32_t length = uint32_t(size - 1);
    std::memcpy(datagram, data + 1, length);
    const bool toClient = how & 1;
    if (how & 2)
        datagram[0] = toClient ? NetInterface::ResetAnswer : NetInterface::ResetQuery;
    BitStream stream(datagram, length);
    world->serverWire.largest = 0;
    if (toClient) {
        world->client->dispatchPacket(world->server->boundAddress(), stream);
        if (!world->connection->isEstablished())
            std::abort();
    } else {
        world->server->dispatchPacket(world->strangers[(how >> 2) % 3], stream);
        if (world->serverWire.largest > length)
            std::abort();
        if (world->server->connections().size() != 1)
            std::abort();
    }
    // The clock moves (the answers' rate refills) while no time-out runs:
    // the one connection stays.
    gNow += 7;
    world->server->receivePackets();
    world->client->receivePackets();
    return 0;
}
