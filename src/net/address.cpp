#include "net/address.h"
#include "base/hex.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>
#include <strings.h>

namespace seafold {

static bool gHostLookupEnabled = true;

void NetAddress::setHostLookupEnabled(bool enabled)
{
    gHostLookupEnabled = enabled;
}

static uint32_t namedHost(NamedAddress name)
{
    switch (name) {
    case BroadcastAddress:
        return 0xFFFFFFFFu;
    case LocalhostAddress:
        return 0x7F000001u;
    case AnyAddress:
    default:
        return 0;
    }
}

NetAddress::NetAddress(TransportProtocol transport_, NamedAddress name, uint16_t port_)
    : transport(transport_), port(port_)
{
    if (transport == IPXProtocol) {
        // IPX knows only the broadcast host by name; "any" is all zeros.
        uint32_t word = name == BroadcastAddress ? 0xFFFFFFFFu : 0;
        for (uint32_t& w : netNum)
            w = word;
    } else {
        netNum[0] = namedHost(name);
    }
}

// ---- text ------------------------------------------------------------------

static bool startsWithNoCase(const char* text, const char* prefix)
{
    return strncasecmp(text, prefix, std::strlen(prefix)) == 0;
}

// A port text: decimal digits, nothing else, for a port from 1 to 65535.
// Taken modulo 65536, a mistyped 99999 would quietly become 34463; and port
// 0 means "any free port" to the platform, which no peer can be told to
// reach. An address without port text has port 0, for the code that binds
// "any port" on purpose.
static bool parsePort(const char* text, uint16_t* port)
{
    if (!*text)
        return false;
    uint32_t value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        value = value * 10 + uint32_t(*p - '0');
        if (value > 65535)
            return false;
    }
    if (value == 0)
        return false;
    *port = uint16_t(value);
    return true;
}

// `count` bytes of two hex digits each; advances `text`.
static bool parseHexBytes(const char*& text, uint8_t* out, int count)
{
    for (int i = 0; i < count; ++i) {
        int high = hexDigitValue(text[0]);
        int low = high < 0 ? -1 : hexDigitValue(text[1]);
        if (low < 0)
            return false;
        out[i] = uint8_t(high << 4 | low);
        text += 2;
    }
    return true;
}

// The part after "ipx:": "broadcast", "broadcast:port", or
// "nnnnnnnn:hhhhhhhhhhhh" with an optional ":port".
static bool parseIpx(const char* rest, NetAddress* out)
{
    NetAddress result(IPXProtocol, BroadcastAddress, 0);
    if (strcasecmp(rest, "broadcast") == 0) {
        *out = result;
        return true;
    }
    if (startsWithNoCase(rest, "broadcast:")) {
        if (!parsePort(rest + 10, &result.port))
            return false;
        *out = result;
        return true;
    }
    uint8_t network[4];
    uint8_t node[6];
    const char* p = rest;
    if (!parseHexBytes(p, network, 4) || *p++ != ':' || !parseHexBytes(p, node, 6))
        return false;
    if (*p == ':') {
        if (!parsePort(p + 1, &result.port))
            return false;
    } else if (*p) {
        return false;
    } else {
        result.port = 0;
    }
    IpxSocketAddress sa;
    sa.family = IpxSocketAddress::Family;
    std::memcpy(sa.network, network, 4);
    std::memcpy(sa.node, node, 6);
    sa.port = htons(result.port);
    *out = NetAddress::fromIpxSockAddr(sa);
    return true;
}

// The IPv4 address of a host text, host byte order.
static bool resolveHost(const char* host, uint32_t* address)
{
    if (strcasecmp(host, "broadcast") == 0) {
        *address = 0xFFFFFFFFu;
        return true;
    }
    if (strcasecmp(host, "localhost") == 0) {
        *address = 0x7F000001u;
        return true;
    }
    if (strcasecmp(host, "any") == 0) {
        *address = 0;
        return true;
    }
    if (!*host)
        return false;
    in_addr literal;
    if (inet_pton(AF_INET, host, &literal) == 1) {
        *address = ntohl(literal.s_addr);
        return true;
    }
    if (!gHostLookupEnabled)
        return false;
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found)
        return false;
    bool ok = false;
    for (addrinfo* a = found; a; a = a->ai_next) {
        if (a->ai_family == AF_INET && a->ai_addr && a->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in sin;
            std::memcpy(&sin, a->ai_addr, sizeof sin);
            *address = ntohl(sin.sin_addr.s_addr);
            ok = true;
            break;
        }
    }
    freeaddrinfo(found);
    return ok;
}

bool NetAddress::parse(const char* text)
{
    if (!text)
        return false;

    if (startsWithNoCase(text, "ipx:"))
        return parseIpx(text + 4, this);

    uint16_t newTransport = IPProtocol;
    const char* rest = text;
    if (startsWithNoCase(rest, "ip:")) {
        rest += 3;
    } else if (startsWithNoCase(rest, "tcp:")) {
        rest += 4;
        newTransport = TCPProtocol;
    }
    // Bounded scan: the remainder must be shorter than 256 characters.
    char host[256];
    size_t length = strnlen(rest, sizeof host);
    if (length >= sizeof host)
        return false;
    std::memcpy(host, rest, length + 1);

    uint16_t newPort = 0;
    if (char* colon = std::strchr(host, ':')) {
        *colon = 0;
        if (!parsePort(colon + 1, &newPort))
            return false;
    }
    uint32_t newHost = 0;
    if (!resolveHost(host, &newHost))
        return false;

    transport = newTransport;
    port = newPort;
    netNum[0] = newHost;
    netNum[1] = netNum[2] = netNum[3] = 0;
    return true;
}

const char* NetAddress::toText() const
{
    static char gAddressText[256];
    if (transport == IPProtocol || transport == TCPProtocol) {
        const char* prefix = transport == IPProtocol ? "IP" : "TCP";
        uint32_t a = netNum[0];
        if (a == 0xFFFFFFFFu)
            std::snprintf(gAddressText, sizeof gAddressText, "%s:Broadcast:%d", prefix, int(port));
        else if (a == 0)
            std::snprintf(gAddressText, sizeof gAddressText, "%s:Any:%d", prefix, int(port));
        else
            std::snprintf(gAddressText, sizeof gAddressText, "%s:%d.%d.%d.%d:%d", prefix, int(a >> 24),
                          int((a >> 16) & 0xFF), int((a >> 8) & 0xFF), int(a & 0xFF), int(port));
    } else {
        IpxSocketAddress sa;
        toIpxSockAddr(&sa);
        std::snprintf(gAddressText, sizeof gAddressText, "IPX:%.2X%.2X%.2X%.2X:%.2X%.2X%.2X%.2X%.2X%.2X:%d",
                      sa.network[0], sa.network[1], sa.network[2], sa.network[3], sa.node[0], sa.node[1], sa.node[2],
                      sa.node[3], sa.node[4], sa.node[5], int(port));
    }
    return gAddressText;
}

bool NetAddress::operator==(const NetAddress& other) const
{
    return port == other.port && isSameHost(other);
}

bool NetAddress::isSameHost(const NetAddress& other) const
{
    return transport == other.transport && netNum[0] == other.netNum[0] && netNum[1] == other.netNum[1] &&
           netNum[2] == other.netNum[2] && netNum[3] == other.netNum[3];
}

// ---- platform socket addresses ---------------------------------------------

void NetAddress::toSockAddr(sockaddr_in* out) const
{
    std::memset(out, 0, sizeof *out);
    out->sin_family = AF_INET;
    out->sin_port = htons(port);
    out->sin_addr.s_addr = htonl(netNum[0]);
}

NetAddress NetAddress::fromSockAddr(const sockaddr_in& address)
{
    NetAddress result;
    result.transport = IPProtocol;
    result.port = ntohs(address.sin_port);
    result.netNum[0] = ntohl(address.sin_addr.s_addr);
    return result;
}

void NetAddress::toIpxSockAddr(IpxSocketAddress* out) const
{
    out->family = IpxSocketAddress::Family;
    for (int i = 0; i < 4; ++i) {
        out->network[i] = uint8_t(netNum[0] >> (24 - 8 * i));
        out->node[i] = uint8_t(netNum[1] >> (24 - 8 * i));
    }
    out->node[4] = uint8_t(netNum[2] >> 8);
    out->node[5] = uint8_t(netNum[2]);
    out->port = htons(port);
}

NetAddress NetAddress::fromIpxSockAddr(const IpxSocketAddress& address)
{
    NetAddress result;
    result.transport = IPXProtocol;
    result.port = ntohs(address.port);
    const uint8_t* n = address.network;
    const uint8_t* h = address.node;
    result.netNum[0] = uint32_t(n[0]) << 24 | uint32_t(n[1]) << 16 | uint32_t(n[2]) << 8 | n[3];
    result.netNum[1] = uint32_t(h[0]) << 24 | uint32_t(h[1]) << 16 | uint32_t(h[2]) << 8 | h[3];
    result.netNum[2] = uint32_t(h[4]) << 8 | h[5];
    result.netNum[3] = 0;
    return result;
}

} // namespace seafold
