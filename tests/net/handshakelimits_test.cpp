// What a server gives out before a peer has proven anything, and the limits
// on what it keeps: the connection cap, the rate given to new connections.
#include "nettestutil.h"

using namespace seafold;
using namespace seafold::test;

namespace {

struct Clients {
    TestClock clock;
    RefPtr<NetInterface> server;
    std::vector<RefPtr<NetInterface>> interfaces;
    std::vector<RefPtr<ProbeConnection>> connections;

    Clients()
    {
        server = new NetInterface(loopbackAny());
        server->setTimeSource(clock.source());
    }
    ProbeConnection* add()
    {
        RefPtr<NetInterface> client = new NetInterface(loopbackAny());
        client->setTimeSource(clock.source());
        RefPtr<ProbeConnection> connection = new ProbeConnection;
        connection->connect(client, server->boundAddress());
        interfaces.push_back(client);
        connections.push_back(connection);
        return connection;
    }
    bool run(const std::function<bool()>& done)
    {
        std::vector<NetInterface*> all{server};
        for (auto& i : interfaces)
            all.push_back(i);
        return pump(all, clock, 400, 10, done);
    }
};

} // namespace

TEST(ServerLimits, OneClientBeyondTheCapIsRejectedAsServerFull)
{
    Clients c;
    c.server->setMaxConnections(2);
    ProbeConnection* first = c.add();
    ProbeConnection* second = c.add();
    ASSERT_TRUE(c.run([&] { return first->isEstablished() && second->isEstablished(); }));
    ProbeConnection* third = c.add();
    ASSERT_TRUE(c.run([&] { return !third->failures.empty(); }));
    EXPECT_EQ(third->failures[0], std::make_pair(uint32_t(ReasonRejected), std::string("Server full")));
    EXPECT_EQ(c.server->connections().size(), 2u);

    // A place that comes free is taken by the next one.
    first->disconnect("bye");
    ASSERT_TRUE(c.run([&] { return c.server->connections().size() == 1; }));
    ProbeConnection* fourth = c.add();
    ASSERT_TRUE(c.run([&] { return fourth->isEstablished(); }));
    EXPECT_EQ(c.server->connections().size(), 2u);
}

TEST(ServerLimits, TheInterfaceRateGoesToEveryConnectionMadeOrAccepted)
{
    Clients c;
    NetConnection::RateInfo lan;
    lan.minPacketSendPeriod = lan.minPacketRecvPeriod = 16;
    lan.maxSendBandwidth = lan.maxRecvBandwidth = 65535;
    c.server->setDefaultRate(lan);
    RefPtr<NetInterface> client = new NetInterface(loopbackAny());
    client->setTimeSource(c.clock.source());
    client->setDefaultRate(lan);
    c.interfaces.push_back(client);
    RefPtr<ProbeConnection> connection = new ProbeConnection;
    connection->connect(client, c.server->boundAddress());
    ASSERT_TRUE(c.run([&] { return connection->isEstablished() && !c.server->connections().empty(); }));
    auto* accepted = static_cast<ProbeConnection*>(c.server->connections()[0].get());
    // The rate record travels in the first data packet each way.
    connection->outgoing.push_back(1);
    accepted->outgoing.push_back(2);
    ASSERT_TRUE(c.run([&] { return !connection->received.empty() && !accepted->received.empty(); }));
    for (NetConnection* side : {static_cast<NetConnection*>(connection.get()), static_cast<NetConnection*>(accepted)}) {
        EXPECT_EQ(side->localRate().minPacketSendPeriod, 16u);
        EXPECT_EQ(side->localRate().maxRecvBandwidth, 65535u);
        EXPECT_EQ(side->sendInterval(), 16u);
    }

    // Without an interface rate a connection keeps the one set on it.
    RefPtr<NetInterface> plain = new NetInterface(loopbackAny());
    plain->setTimeSource(c.clock.source());
    c.interfaces.push_back(plain);
    RefPtr<ProbeConnection> own = new ProbeConnection;
    NetConnection::RateInfo slow;
    slow.minPacketSendPeriod = slow.minPacketRecvPeriod = 200;
    own->setLocalRate(slow);
    own->connect(plain, c.server->boundAddress());
    EXPECT_EQ(own->localRate().minPacketSendPeriod, 200u);
}
