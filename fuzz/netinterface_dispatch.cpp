// Arbitrary datagrams into a server interface: handshake packets from
// strangers, and data packets on an established connection. Nothing may
// crash, and no stranger may leave state behind.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzzconnection.h"
#include "fuzzworld.h"
#include "net/eventconnection.h"
#include "net/netinterface.h"

using namespace seafold;

namespace {

class FuzzEvent : public NetEvent {
    SF_DECLARE_CLASS(FuzzEvent)
public:
    FuzzEvent() : NetEvent(GuaranteedOrdered, DirAny) {}
    void pack(EventConnection*, BitStream& stream) override { stream.writeText(text); }
    void unpack(EventConnection*, BitStream& stream) override { stream.readText(text); }
    void process(EventConnection*) override {}
    char text[256] = {};
};
SF_IMPLEMENT_NETEVENT(FuzzEvent);

uint32_t gNow = 1000;

struct World {
    RefPtr<NetInterface> server, client;
    RefPtr<FuzzConnection> connection;
    NetAddress strangers[3];

    World()
    {
        NetAddress bind(IPProtocol, LocalhostAddress, 0); // any free port
        server = new NetInterface(bind);
        client = new NetInterface(bind);
        server->setTimeSource([] { return gNow; });
        client->setTimeSource([] { return gNow; });
        for (int i = 0; i < 3; ++i) {
            strangers[i].parse("127.0.0.2:1000");
            strangers[i].port = uint16_t(1000 + i);
        }
    }

    // An established connection whose server side receives the fuzz data.
    NetConnection* established()
    {
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (!server->connections().empty())
                return server->connections()[0];
            connection = new FuzzConnection;
            connection->connect(client, server->boundAddress());
            for (int i = 0; i < 400 && server->connections().empty(); ++i) {
                client->receivePackets();
                server->receivePackets();
                client->serviceConnections();
                server->serviceConnections();
                gNow += 10;
            }
        }
        return server->connections().empty() ? nullptr : server->connections()[0].get();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    World* world = &fuzzWorld<World>();
    if (size < 1 || size > 1501)
        return 0;
    uint8_t datagram[1500];
    uint32_t length = uint32_t(size - 1);
    std::memcpy(datagram, data + 1, length);
    BitStream stream(datagram, length);

    // The first byte picks the sender: a stranger, or the connected client.
    uint8_t who = data[0] % 4;
    if (who < 3) {
        world->server->dispatchPacket(world->strangers[who], stream);
        // Strangers never get a connection without solving a fresh puzzle,
        // which fuzzed bytes cannot.
        for (auto& c : world->server->connections())
            if (!(c->address() == world->client->boundAddress()))
                std::abort();
    } else if (NetConnection* connection = world->established()) {
        world->server->dispatchPacket(connection->address(), stream);
    }
    world->server->serviceConnections();
    gNow += 7;
    return 0;
}
