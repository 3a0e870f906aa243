// Network addresses: a peer's transport, host and port, its text form, and
// the conversions to and from the platform's socket addresses.
//
// Text forms:
//   IP:a.b.c.d:port   IP:Any:port   IP:Broadcast:port
//   TCP:a.b.c.d:port  (same host forms as IP)
//   IPX:nnnnnnnn:hhhhhhhhhhhh:port  (4 network bytes, 6 node bytes, in hex)
// parse also accepts a bare host ("localhost", "any", "broadcast", a dotted
// address or a host name) with an optional ":port", with or without the
// "ip:"/"tcp:" prefix, case-insensitive.
#pragma once

#include <cstdint>

struct sockaddr_in;

namespace seafold {

enum TransportProtocol : uint16_t {
    IPProtocol = 0,  // datagrams over UDP
    TCPProtocol = 1, // parsed and printed only; never carries traffic
    IPXProtocol = 2, // parsed and printed only; the platform has no IPX
};

enum NamedAddress {
    AnyAddress,       // 0.0.0.0
    BroadcastAddress, // 255.255.255.255 (IPX: all host words 0xFFFFFFFF)
    LocalhostAddress, // 127.0.0.1
};

// The IPX socket address: 14 bytes, laid out as the platform's would be.
//   family   (u16, host order)
//   network  (4 bytes, most significant first)
//   node     (6 bytes)
//   port     (u16, network order)
struct IpxSocketAddress {
    enum : uint16_t { Family = 4 };
    uint16_t family;
    uint8_t network[4];
    uint8_t node[6];
    uint16_t port;
};
static_assert(sizeof(IpxSocketAddress) == 14, "IPX socket address is 14 bytes");

// A plain value, copied freely.
struct NetAddress {
    uint16_t transport = IPProtocol;
    uint16_t port = 0; // host byte order
    // Host byte order. IP: netNum[0] holds the IPv4 address, first dotted
    // octet in the most significant byte; the other words are 0.
    // IPX: netNum[0] = network number, netNum[1] = node bytes 0-3,
    // netNum[2] = node bytes 4-5 in its low 16 bits, netNum[3] = 0.
    uint32_t netNum[4] = {0, 0, 0, 0};

    NetAddress() = default;
    NetAddress(TransportProtocol transport, NamedAddress name, uint16_t port);

    // Reads a text form (see above). Returns false, and leaves the address
    // unchanged, for anything it cannot read: a missing or over-long text
    // (256 characters or more after the prefix), a malformed IPX text, a
    // port text that is not a number from 1 to 65535, or a host name that
    // does not resolve. Without port text the port is 0. What toText prints
    // reads back, except port 0: that is no port to reach a peer on.
    bool parse(const char* text);

    // The text form, in one shared 256-character buffer that the next call
    // overwrites.
    const char* toText() const;

    bool operator==(const NetAddress& other) const;
    bool operator!=(const NetAddress& other) const { return !(*this == other); }
    // Same transport and host; the port is ignored.
    bool isSameHost(const NetAddress& other) const;

    // IP and TCP: an IPv4 socket address (port and address in network order).
    void toSockAddr(sockaddr_in* out) const;
    // Transport IP, port and address in host order, other words 0.
    static NetAddress fromSockAddr(const sockaddr_in& address);

    void toIpxSockAddr(IpxSocketAddress* out) const;
    static NetAddress fromIpxSockAddr(const IpxSocketAddress& address);

    // Host-name lookups (DNS) in parse are on by default. Tools that must not
    // touch the network, such as the parser fuzzer, turn them off; parse then
    // fails for any host text that is not a literal address or a known name.
    static void setHostLookupEnabled(bool enabled);
};

} // namespace seafold
