// The client's link to its server hears the connection's states beside
// whoever else listens to the session, subscribed before or after it.
#include "app/console.h"
#include "app/network.h"
#include "app/serverlink.h"
#include "session/headlessscene.h"
#include "session/simpleeventconnection.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace seafold {
namespace {

std::string contents(std::FILE* file)
{
    std::fflush(file);
    std::rewind(file);
    std::string text;
    char buffer[512];
    size_t length;
    while ((length = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, length);
    return text;
}

// The link used to hear the states only by wrapping the session's one
// observer anew each pass, so it depended on who set the observer when.
TEST(ServerLink, HearsEveryStateWhoeverListensBeforeOrAfterIt)
{
    Roster roster;
    Session session(roster, false);
    std::FILE* console = std::tmpfile();
    ASSERT_NE(console, nullptr);
    setConsoleStream(console);
    std::vector<std::string> seen;
    SessionListener log;
    log.onConnectionState = [&seen](const char* state, const char*) { seen.push_back(std::string("log ") + state); };
    session.subscribe(log);
    gServerLink.setRetry(false);
    gServerLink.watch(session);
    gServerLink.watch(session); // again: still one line per state
    session.reportConnectionState("connected", "");
    SessionListener panel;
    panel.onConnectionState = [&seen](const char* state, const char*) {
        seen.push_back(std::string("panel ") + state);
    };
    session.subscribe(panel);
    session.reportConnectionState("disconnected", "Shutdown");
    setConsoleStream(nullptr);

    std::vector<std::string> expected = {"log connected", "log disconnected", "panel disconnected"};
    EXPECT_EQ(seen, expected);
    std::string lines = contents(console);
    std::fclose(console);
    EXPECT_NE(lines.find("Connected to the server"), std::string::npos) << lines;
    EXPECT_EQ(lines.find("Connected to the server"), lines.rfind("Connected to the server")) << lines;
    EXPECT_EQ(lines.find("Lost the connection"), lines.rfind("Lost the connection")) << lines;
    EXPECT_NE(lines.find("the server shut down."), std::string::npos) << lines;
    session.unsubscribeAll();
}

// A server that crashes (silent from one moment, its socket closed without a
// word) and is back a second later: its client notices the silence within
// 15 s (plus a time-out check), and its next retry, 5 s on, joins the new
// server.
TEST(ServerLink, AClientOfACrashedServerRejoinsTheRestartedOneAfterTheSilenceTimeOut)
{
    uint32_t now = 100000;
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
    auto first = std::make_unique<Side>(true, NetAddress(IPProtocol, LocalhostAddress, 0), now);
    const NetAddress serverAddress = first->netInterface->boundAddress();
    Side client(false, NetAddress(IPProtocol, LocalhostAddress, 0), now);
    gNetInterface = client.netInterface;
    std::FILE* console = std::tmpfile();
    setConsoleStream(console);
    gServerLink.setRetry(true);
    gServerLink.setUser("alice");
    gServerLink.watch(client.session);
    gServerLink.startAttempt(serverAddress, serverAddress.toText());

    std::unique_ptr<Side> second;
    uint32_t lostAt = 0;
    auto step = [&](Side* server) {
        if (server) {
            server->netInterface->receivePackets();
            server->netInterface->serviceConnections();
        }
        client.netInterface->receivePackets();
        client.netInterface->serviceConnections();
        gServerLink.service(now);
        if (!lostAt && !gConnectionToServer && gServerLink.attempts() == 1 && first == nullptr)
            lostAt = now;
        now += 10;
    };
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
    second = std::make_unique<Side>(true, serverAddress, now);
    ASSERT_TRUE(second->netInterface->socket().isValid());
    for (int i = 0; i < 4000 && second->roster.size() == 0; ++i)
        step(second.get());

    ASSERT_NE(lostAt, 0u);
    EXPECT_LE(lostAt - crashedAt, uint32_t(NetConnection::SilenceLimitMs) + 1600u);
    ASSERT_EQ(second->roster.size(), 1u);
    EXPECT_EQ(second->roster[0].name, "alice");
    EXPECT_LE(now - crashedAt, uint32_t(NetConnection::SilenceLimitMs) + 1600u + ServerLink::RetryDelayMs + 1000u);

    gServerLink.setRetry(false);
    client.session.unsubscribeAll();
    gNetInterface = nullptr;
    setConsoleStream(nullptr);
    std::fclose(console);
}

} // namespace
} // namespace seafold
