// A server that crashes (silent from one moment, its socket closed without a
// word) and is started again a second later on the same address: its client
// notices the silence within 15 s (plus a time-out check) and a new attempt
// 5 s on, as the client program makes it, joins the new server. Settable
// clock on loopback.
#include <gtest/gtest.h>

#include <memory>

#include "session/headlessscene.h"
#include "session/session.h"
#include "session/simpleeventconnection.h"

namespace seafold {
namespace {

struct Side {
    HeadlessScene scene;
    Roster roster{&scene};
    Session session;
    RefPtr<SessionInterface> netInterface;
    Side(bool isServer, const NetAddress& bind, uint32_t& clock) : session(roster, isServer)
    {
        netInterface = new SessionInterface(bind, session);
        netInterface->setTimeSource([&clock] { return clock; });
        netInterface->setAllowConnections(isServer);
    }
};

TEST(ServerRestart, AClientOfACrashedServerNoticesWithinTheSilenceLimitAndJoinsTheNewOne)
{
    uint32_t now = 100000;
    auto first = std::make_unique<Side>(true, NetAddress(IPProtocol, LocalhostAddress, 0), now);
    const NetAddress serverAddress = first->netInterface->boundAddress();
    Side client(false, NetAddress(IPProtocol, LocalhostAddress, 0), now);
    uint32_t lostAt = 0;
    SessionListener listener;
    listener.onConnectionState = [&](const char* state, const char*) {
        if (std::string(state) == "disconnected" && !lostAt)
            lostAt = now;
    };
    client.session.subscribe(listener);
    auto join = [&] {
        RefPtr<SimpleEventConnection> connection = new SimpleEventConnection;
        connection->connect(client.netInterface, serverAddress);
        connection->c2sAddNewClient(StringPtr("alice"));
    };
    auto step = [&](Side* server) {
        if (server) {
            server->netInterface->receivePackets();
            server->netInterface->serviceConnections();
        }
        client.netInterface->receivePackets();
        client.netInterface->serviceConnections();
        now += 10;
    };
    join();
    for (int i = 0; i < 500 && first->roster.size() == 0; ++i)
        step(first.get());
    ASSERT_EQ(first->roster.size(), 1u);

    // The crash: nothing more goes out, and the socket closes unheard.
    NetworkSimulator::Settings dropAll;
    dropAll.dropPercent = 100;
    NetworkSimulator deaf(1, dropAll);
    first->netInterface->setNetworkSimulator(&deaf);
    const uint32_t crashedAt = now;
    first.reset();
    for (int i = 0; i < 100; ++i)
        step(nullptr);
    Side second(true, serverAddress, now);
    ASSERT_TRUE(second.netInterface->socket().isValid());
    for (int i = 0; i < 2000 && !lostAt; ++i)
        step(&second);
    ASSERT_NE(lostAt, 0u);
    EXPECT_LE(lostAt - crashedAt, uint32_t(NetConnection::SilenceLimitMs) + 1600u);

    // The client program's next attempt, 5 s after the loss.
    while (now - lostAt < 5000)
        step(&second);
    join();
    for (int i = 0; i < 500 && second.roster.size() == 0; ++i)
        step(&second);
    ASSERT_EQ(second.roster.size(), 1u);
    EXPECT_EQ(second.roster[0].name, "alice");
    client.session.unsubscribeAll();
}

} // namespace
} // namespace seafold
