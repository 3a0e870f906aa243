#include "net/address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace seafold;

namespace {

struct ParseCase {
    const char* text;
    uint16_t transport;
    uint16_t port;
    uint32_t netNum[4];
    const char* printed;
};

const ParseCase ParseCases[] = {
    {"192.168.1.5:80", IPProtocol, 80, {0xC0A80105, 0, 0, 0}, "IP:192.168.1.5:80"},
    {"localhost", IPProtocol, 0, {0x7F000001, 0, 0, 0}, "IP:127.0.0.1:0"},
    {"any:5", IPProtocol, 5, {0, 0, 0, 0}, "IP:Any:5"},
    {"broadcast:80", IPProtocol, 80, {0xFFFFFFFF, 0, 0, 0}, "IP:Broadcast:80"},
    {"IP:LOCALHOST:1", IPProtocol, 1, {0x7F000001, 0, 0, 0}, "IP:127.0.0.1:1"},
    {"iP:10.1.2.3", IPProtocol, 0, {0x0A010203, 0, 0, 0}, "IP:10.1.2.3:0"},
    {"tcp:10.0.0.1:80", TCPProtocol, 80, {0x0A000001, 0, 0, 0}, "TCP:10.0.0.1:80"},
    {"TCP:Any:9", TCPProtocol, 9, {0, 0, 0, 0}, "TCP:Any:9"},
    {"1.2.3.4:65535", IPProtocol, 65535, {0x01020304, 0, 0, 0}, "IP:1.2.3.4:65535"},
    {"1.2.3.4:00080", IPProtocol, 80, {0x01020304, 0, 0, 0}, "IP:1.2.3.4:80"},
    {"ipx:broadcast:5",
     IPXProtocol,
     5,
     {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF},
     "IPX:FFFFFFFF:FFFFFFFFFFFF:5"},
    {"IPX:Broadcast", IPXProtocol, 0, {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}, nullptr},
    {"ipx:01020304:05060708090a:7", IPXProtocol, 7, {0x01020304, 0x05060708, 0x090A, 0}, "IPX:01020304:05060708090A:7"},
    {"ipx:DEADBEEF:00112233AABB", IPXProtocol, 0, {0xDEADBEEF, 0x00112233, 0xAABB, 0}, "IPX:DEADBEEF:00112233AABB:0"},
};

TEST(NetAddressParse, ReadsEveryTextFormAndPrintsItBack)
{
    for (const ParseCase& c : ParseCases) {
        SCOPED_TRACE(c.text);
        NetAddress a;
        ASSERT_TRUE(a.parse(c.text));
        EXPECT_EQ(a.transport, c.transport);
        EXPECT_EQ(a.port, c.port);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(a.netNum[i], c.netNum[i]) << "word " << i;
        if (c.printed) {
            EXPECT_STREQ(a.toText(), c.printed);
        }

        // What toText prints, parse reads back to the same text; port 0
        // (no port text) prints as a port text that is refused.
        std::string printed = a.toText();
        NetAddress again;
        ASSERT_EQ(again.parse(printed.c_str()), a.port != 0);
        if (a.port != 0) {
            EXPECT_EQ(printed, again.toText());
        }
    }
}

TEST(NetAddressParse, RefusesWhatItCannotReadAndLeavesTheAddressAlone)
{
    NetAddress::setHostLookupEnabled(false);
    const std::string longHost(300, 'a');
    const std::string longAfterPrefix = "ip:" + std::string(256, '1');
    const char* bad[] = {
        "",
        ":80",        // no host
        "1.2.3.4:",   // empty port
        "1.2.3.4:8x", // port is not a number
        "1.2.3.4:-1",
        // Ports outside 1..65535 are refused, never wrapped or bound at random.
        "1.2.3.4:0",
        "1.2.3.4:65536",
        "1.2.3.4:70000",
        "1.2.3.4:99999",
        "1.2.3.4:99999999999999",
        "localhost:0",
        "ipx:broadcast:0",
        "ipx:01020304:05060708090a:65536",
        "1.2.3.4:80:90",
        "ipx:",
        "ipx:0102:03",                 // too few IPX fields
        "ipx:01020304:0506070809",     // node one byte short
        "ipx:01020304:05060708090a0b", // node one byte long
        "ipx:zz020304:05060708090a",   // not hex
        "ipx:01020304-05060708090a",
        "ipx:broadcast:",
        "ipx:broadcastx",
        "no-such-host.invalid", // unknown host (lookups are off here)
        "127.1",                // only a resolver reads this form
        longHost.c_str(),
        longAfterPrefix.c_str(),
    };
    for (const char* text : bad) {
        SCOPED_TRACE(text);
        NetAddress a;
        a.parse("tcp:9.8.7.6:5");
        NetAddress before = a;
        EXPECT_FALSE(a.parse(text));
        EXPECT_EQ(a, before);
    }
    NetAddress a;
    EXPECT_FALSE(a.parse(nullptr));
    NetAddress::setHostLookupEnabled(true);
}

TEST(NetAddressParse, UsesTheResolverForTextThatIsNotADottedAddress)
{
    // "127.1" is a numeric form the resolver reads without asking any server.
    NetAddress a;
    ASSERT_TRUE(a.parse("127.1:5"));
    EXPECT_STREQ(a.toText(), "IP:127.0.0.1:5");
}

TEST(NetAddress, EqualityAndSameHost)
{
    NetAddress a, b, c, d;
    ASSERT_TRUE(a.parse("10.0.0.1:80"));
    ASSERT_TRUE(b.parse("10.0.0.1:81"));
    ASSERT_TRUE(c.parse("tcp:10.0.0.1:80"));
    ASSERT_TRUE(d.parse("ipx:0A000001:000000000000:80"));
    EXPECT_NE(a, b);
    EXPECT_TRUE(a.isSameHost(b));
    EXPECT_NE(a, c);
    EXPECT_FALSE(a.isSameHost(c));
    EXPECT_FALSE(a.isSameHost(d));
    NetAddress e = a;
    EXPECT_EQ(a, e);
    // Every host word counts.
    e.netNum[3] = 1;
    EXPECT_NE(a, e);
    EXPECT_FALSE(a.isSameHost(e));
}

TEST(NetAddress, NamedAddresses)
{
    EXPECT_STREQ(NetAddress(IPProtocol, AnyAddress, 0).toText(), "IP:Any:0");
    EXPECT_STREQ(NetAddress(IPProtocol, BroadcastAddress, 7).toText(), "IP:Broadcast:7");
    EXPECT_STREQ(NetAddress(IPProtocol, LocalhostAddress, 8).toText(), "IP:127.0.0.1:8");
    NetAddress ipxBroadcast;
    ASSERT_TRUE(ipxBroadcast.parse("ipx:broadcast:3"));
    EXPECT_EQ(NetAddress(IPXProtocol, BroadcastAddress, 3), ipxBroadcast);
}

TEST(NetAddress, ConvertsToAndFromIPv4SocketAddresses)
{
    NetAddress a;
    ASSERT_TRUE(a.parse("192.168.1.5:28000"));
    sockaddr_in sa;
    std::memset(&sa, 0xAB, sizeof sa);
    a.toSockAddr(&sa);
    EXPECT_EQ(sa.sin_family, AF_INET);
    const auto* port = reinterpret_cast<const uint8_t*>(&sa.sin_port);
    EXPECT_EQ(port[0], 28000 >> 8);
    EXPECT_EQ(port[1], 28000 & 0xFF);
    const auto* host = reinterpret_cast<const uint8_t*>(&sa.sin_addr);
    EXPECT_EQ(host[0], 192);
    EXPECT_EQ(host[3], 5);
    EXPECT_EQ(NetAddress::fromSockAddr(sa), a);

    // TCP addresses use the same socket address and come back as IP.
    NetAddress t;
    ASSERT_TRUE(t.parse("tcp:192.168.1.5:28000"));
    t.toSockAddr(&sa);
    EXPECT_EQ(NetAddress::fromSockAddr(sa), a);
}

TEST(NetAddress, ConvertsToAndFromIpxSocketAddresses)
{
    NetAddress a;
    ASSERT_TRUE(a.parse("ipx:01020304:a1a2a3a4a5a6:513"));
    IpxSocketAddress sa;
    a.toIpxSockAddr(&sa);
    const uint8_t network[4] = {1, 2, 3, 4};
    const uint8_t node[6] = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6};
    EXPECT_EQ(std::memcmp(sa.network, network, 4), 0);
    EXPECT_EQ(std::memcmp(sa.node, node, 6), 0);
    const auto* port = reinterpret_cast<const uint8_t*>(&sa.port);
    EXPECT_EQ(port[0], 2); // 513 in network order
    EXPECT_EQ(port[1], 1);
    EXPECT_EQ(NetAddress::fromIpxSockAddr(sa), a);
}

} // namespace
