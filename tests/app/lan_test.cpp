// The programs on a local network: the lines --find prints, and a server's
// discovery responder as the program starts it (loopback only; free ports).
#include "app/lan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/network.h"
#include "base/platform.h"
#include "net/socket.h"

namespace seafold {
namespace {

NetAddress loopbackAt(uint16_t port)
{
    return NetAddress(IPProtocol, LocalhostAddress, port);
}

uint16_t freePort()
{
    Socket probe(loopbackAt(0));
    return probe.boundAddress().port;
}

// Searches the loopback network for `ms` while the program's loop would
// service discovery.
std::vector<FoundServer> searchWhileServing(LanPresence& lan, uint16_t discoveryPort, uint32_t ms = 300)
{
    DiscoveryFinder finder(discoveryPort);
    finder.setTargets({loopbackAt(discoveryPort)});
    uint32_t start = getRealMilliseconds();
    if (!finder.start(start))
        return {};
    while (getRealMilliseconds() - start < ms && finder.servers().empty()) {
        lan.service();
        sleepMilliseconds(1);
        finder.poll(getRealMilliseconds());
    }
    return finder.servers();
}

TEST(LanLines, FoundServersReadAsAddressUsersAndName)
{
    FoundServer server;
    ASSERT_TRUE(server.address.parse("10.213.0.1:28000"));
    server.name = "Hafen S\u00fcd";
    server.users = 2;
    EXPECT_EQ(foundServerLine(server), "10.213.0.1:28000  2 users  Hafen S\u00fcd");
    server.users = 1;
    EXPECT_EQ(foundServerLine(server), "10.213.0.1:28000  1 user  Hafen S\u00fcd");
    server.users = 0;
    server.name = "";
    EXPECT_EQ(foundServerLine(server), "10.213.0.1:28000  0 users  ");
    EXPECT_EQ(nothingFoundLine(1, 28001), "No server answered on the local network within 1 s (discovery port 28001).");
    EXPECT_EQ(nothingFoundLine(0.25, 5), "No server answered on the local network within 0.25 s (discovery port 5).");
}

TEST(LanLines, ThePrintedAddressIsOneThatClientTakes)
{
    for (const char* text : {"10.213.0.1:28000", "127.0.0.1:1", "255.254.0.9:65535"}) {
        NetAddress address;
        ASSERT_TRUE(address.parse(text));
        EXPECT_EQ(plainAddress(address), text);
        ProgramOptions options;
        ParseOutcome out = parseProgramOptions(Program::Headless, {"-client", plainAddress(address), "x"}, &options);
        EXPECT_TRUE(out.run) << out.error;
    }
}

struct LanResponderTest : testing::Test {
    SharedOptions options;
    void SetUp() override
    {
        options.discoveryPort = freePort();
        options.serverName = "Kai";
    }
    void TearDown() override { gClients.clear(); }
};

TEST_F(LanResponderTest, AServerIsOfferedWithItsBoundPortNameAndUsers)
{
    LanPresence lan(options);
    gClients.append("alice", nullptr);
    gClients.append("bob", nullptr);
    testing::internal::CaptureStderr();
    lan.startResponder(loopbackAt(40321));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    std::vector<FoundServer> found = searchWhileServing(lan, options.discoveryPort);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].address, loopbackAt(40321));
    EXPECT_EQ(found[0].name, "Kai");
    EXPECT_EQ(found[0].users, 2u);

    // Without a name of its own, the host's.
    options.serverName.clear();
    lan.stop();
    LanPresence unnamed(options);
    unnamed.startResponder(loopbackAt(40321));
    found = searchWhileServing(unnamed, options.discoveryPort);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_FALSE(found[0].name.empty());
}

TEST_F(LanResponderTest, NotOfferedWithNoDiscoveryOrWithoutABoundPort)
{
    options.noDiscovery = true;
    LanPresence hidden(options);
    hidden.startResponder(loopbackAt(40321));
    EXPECT_TRUE(searchWhileServing(hidden, options.discoveryPort, 150).empty());
    // A session whose socket did not bind says so itself; discovery is quiet.
    options.noDiscovery = false;
    LanPresence unbound(options);
    testing::internal::CaptureStderr();
    unbound.startResponder(NetAddress(IPProtocol, AnyAddress, 0));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(searchWhileServing(unbound, options.discoveryPort, 150).empty());
}

TEST_F(LanResponderTest, ADiscoveryPortHeldByAnotherProgramIsOneLine)
{
    // A socket that does not share its port.
    Socket holder(NetAddress(IPProtocol, AnyAddress, options.discoveryPort));
    ASSERT_TRUE(holder.isValid());
    LanPresence lan(options);
    const std::string head = "discovery port " + std::to_string(options.discoveryPort) + " cannot be opened (";
    const std::string tail = "): this server is not offered to --find\n";
    testing::internal::CaptureStderr();
    lan.startResponder(loopbackAt(40321));
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find(head + std::strerror(EADDRINUSE) + tail), std::string::npos) << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1);
    // The most likely way to run into it: the session on the discovery port.
    testing::internal::CaptureStderr();
    lan.startResponder(NetAddress(IPProtocol, AnyAddress, options.discoveryPort));
    said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find(head + "it is the session's own port" + tail), std::string::npos) << said;
}

} // namespace
} // namespace seafold
