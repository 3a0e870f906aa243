// What a server does with datagrams before a peer has proven anything, and
// the limits on what it keeps: the connection cap, the rate given to new
// connections.
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

// A socket standing in for a hand-driven peer.
struct RawPeer {
    Socket socket{loopbackAny()};
    void send(const NetAddress& to, const std::vector<uint8_t>& bytes)
    {
        socket.sendto(to, bytes.data(), uint32_t(bytes.size()));
    }
    void send(const NetAddress& to, const BitStream& stream)
    {
        socket.sendto(to, stream.data(), stream.bytePosition());
    }
    // Every datagram waiting, as byte vectors.
    std::vector<std::vector<uint8_t>> drain()
    {
        std::vector<std::vector<uint8_t>> out;
        uint8_t buffer[1500];
        uint32_t length;
        NetAddress from;
        socket.waitReadable(200);
        for (int i = 0; i < 1000 && socket.recvfrom(&from, buffer, sizeof(buffer), &length) == Success; ++i)
            out.emplace_back(buffer, buffer + length);
        return out;
    }
};

std::vector<uint8_t> challengeRequest()
{
    PacketStream out;
    out.writeU8(NetInterface::ConnectChallengeRequest);
    Nonce nonce;
    nonce.getRandom();
    nonce.write(out);
    out.writeFlag(false);
    out.writeFlag(false);
    return std::vector<uint8_t>(out.data(), out.data() + out.bytePosition());
}

} // namespace

TEST(ServerIntake, AnOversizedDatagramBetweenRealOnesDoesNotEndThePass)
{
    TestClock clock;
    RefPtr<NetInterface> server = new NetInterface(loopbackAny());
    server->setTimeSource(clock.source());
    RawPeer peer;
    std::vector<uint8_t> oversized(2000, 0x00); // type 0 at the front, like a challenge request
    peer.send(server->boundAddress(), challengeRequest());
    peer.send(server->boundAddress(), oversized);
    peer.send(server->boundAddress(), challengeRequest());
    server->waitForPackets(200);
    server->receivePackets(); // one pass
    auto replies = peer.drain();
    ASSERT_EQ(replies.size(), 2u);
    for (auto& reply : replies)
        EXPECT_EQ(reply[0], NetInterface::ChallengeResponse);
}

TEST(ServerIntake, WhatCannotBeAPacketIsRefusedOnItsFirstBytes)
{
    RefPtr<NetInterface> server = new NetInterface(loopbackAny());
    auto plausible = [&](std::vector<uint8_t> bytes) {
        return server->isPlausibleDatagram(bytes.data(), uint32_t(bytes.size()));
    };
    std::vector<uint8_t> challenge(10, 0);
    EXPECT_TRUE(plausible(challenge));
    EXPECT_FALSE(plausible(std::vector<uint8_t>(9, 0)));     // a cut challenge request
    EXPECT_FALSE(plausible({}));                             // empty
    EXPECT_FALSE(plausible(std::vector<uint8_t>(40, 0x80))); // data, but nobody is connected
    EXPECT_FALSE(plausible(std::vector<uint8_t>(40, 1)));    // a challenge response to a server
    EXPECT_FALSE(plausible(std::vector<uint8_t>(40, 4)));    // a connect accept to a server
    EXPECT_FALSE(plausible(std::vector<uint8_t>(40, 6)));    // introduced connections
    EXPECT_FALSE(plausible(std::vector<uint8_t>(33, 2)));    // a cut connect request
    EXPECT_TRUE(plausible(std::vector<uint8_t>(34, 2)));
    server->setAllowConnections(false);
    EXPECT_FALSE(plausible(challenge)); // a closed server answers nothing
}

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
