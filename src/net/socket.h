// The datagram socket every packet goes through, the stream that holds one
// datagram, and a hook that lets tests and the network-simulation switch
// drop, duplicate, delay or reorder the datagrams it sends.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "net/address.h"
#include "net/bitstream.h"

namespace seafold {

// Results of sending and receiving.
enum NetResult : int {
    Success = 0,
    TransportMismatch = 1, // the destination's transport differs from the socket's
    WouldBlock = 2,        // nothing could be sent or received now
    Failure = 3,           // any other socket error
};

class Socket;

// One datagram read by Socket::receiveBatch.
struct ReceivedDatagram {
    enum : uint32_t { CapacityBytes = 1500 }; // the largest datagram read; larger ones are discarded
    NetAddress source;
    uint32_t length = 0;
    bool usable = false; // false: discarded (too large, or not from an IPv4 peer)
    // When it arrived, as a high-precision timer value (the monotonic clock
    // in ns, getHighPrecisionTimerValue): the kernel's stamp, or the read.
    int64_t arrivalTimer = 0;
    uint8_t bytes[CapacityBytes];
};

// Sees every datagram a Socket is asked to send (after the transport check)
// and decides its fate: pass it on with Socket::sendRaw now, later, more than
// once, or never. The filter is not owned by the socket.
class PacketFilter {
public:
    virtual ~PacketFilter() = default;
    virtual NetResult filterSend(Socket& socket, const NetAddress& destination, const uint8_t* data,
                                 uint32_t length) = 0;
};

// One non-blocking datagram socket.
class Socket {
public:
    enum : uint32_t {
        DefaultBufferBytes = 32768,
        // Datagrams read by one receiveBatch call at most: a platform call
        // per 64 datagrams instead of one each, in 96 KiB of slots.
        MaxBatch = 64,
    };

    // Creates and binds the socket and sets its options, logging each step on
    // "LogUDP". Any failed step (including the bind and the switch to
    // non-blocking mode) leaves the socket invalid. `sharesPort` lets other
    // sockets of the same user bind the same port as well (each receives
    // every broadcast; a unicast datagram reaches one of them).
    explicit Socket(const NetAddress& bindAddress, uint32_t sendBufferSize = DefaultBufferBytes,
                    uint32_t receiveBufferSize = DefaultBufferBytes, bool acceptsBroadcast = true,
                    bool nonblockingIO = true, bool sharesPort = false);
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    bool isValid() const { return mPlatformSocket != InvalidSocket; }
    // Why set-up failed: the platform's error number of the failed step
    // (EADDRINUSE, EADDRNOTAVAIL, EACCES, ... for the bind), 0 when the
    // socket is valid. Kept so that the program can say why it cannot start.
    int setUpError() const { return mSetUpError; }
    bool bindFailed() const { return mBindFailed; }
    uint16_t transport() const { return mTransport; }
    // The address the platform reports as bound (port 0 is replaced by the
    // chosen port); the any address when the socket is invalid.
    NetAddress boundAddress() const;

    // Sends one datagram, through the filter when one is set.
    NetResult sendto(const NetAddress& destination, const uint8_t* data, uint32_t length);
    // Sends one datagram straight to the platform (what filters call).
    NetResult sendRaw(const NetAddress& destination, const uint8_t* data, uint32_t length);
    // Receives one datagram of at most `capacity` bytes. Any error or an
    // empty queue gives WouldBlock with the outputs untouched. A datagram
    // larger than the capacity is dropped and the next one read.
    NetResult recvfrom(NetAddress* source, uint8_t* buffer, uint32_t capacity, uint32_t* length);
    // Reads up to `count` waiting datagrams in one call and returns how many
    // slots it filled (0: nothing waiting, or an error). A datagram larger
    // than a slot is read and discarded (its slot is not usable), so one
    // oversized datagram never hides those behind it.
    uint32_t receiveBatch(ReceivedDatagram* slots, uint32_t count);
    // Waits up to `ms` milliseconds for a datagram to read; true as soon as
    // one is waiting. Sleeps the whole time on an invalid socket.
    bool waitReadable(uint32_t ms);
    // The receive buffer size the platform actually gave the socket.
    uint32_t receiveBufferSize() const;

    // Asks the platform to say when a datagram sent from here met a port
    // nothing listens on (the ICMP "port unreachable" a host answers with).
    // Without this the platform keeps that to itself on a socket that is
    // not connected to one peer. False when the platform cannot. Whoever
    // turns it on must call takeUnreachable each pass: the platform keeps
    // the reports until they are read.
    bool reportUnreachable();
    // Reads the reports that arrived: puts the destinations nothing listens
    // at into `out` (at most `capacity`) and returns how many. Other
    // reports are read and dropped.
    uint32_t takeUnreachable(NetAddress* out, uint32_t capacity);

    // Installs a filter for outgoing datagrams; none restores direct sending.
    void setPacketFilter(PacketFilter* filter) { mFilter = filter; }
    PacketFilter* packetFilter() const { return mFilter; }

private:
    enum : int { InvalidSocket = -1 };
    int mPlatformSocket = InvalidSocket;
    uint16_t mTransport;
    PacketFilter* mFilter = nullptr;
    int mSetUpError = 0;
    bool mBindFailed = false;
    bool mReportsUnreachable = false;
};

// A stream over one datagram of at most 1500 bytes, in storage of its own.
class PacketStream : public BitStream {
public:
    enum : uint32_t { MaxPacketBytes = 1500 };
    explicit PacketStream(uint32_t targetSize = MaxPacketBytes);
    // The stream points into its own buffer: a copy would point into ours.
    PacketStream(const PacketStream&) = delete;

    // Sends bytes 0 .. bytePosition()-1 as one datagram.
    NetResult sendTo(Socket& socket, const NetAddress& address);
    // Receives one datagram and makes the stream cover exactly its bytes.
    NetResult receiveFrom(Socket& socket, NetAddress* address);

private:
    uint8_t mBuffer[MaxPacketBytes];
};

// A seeded network simulator for tests and for the program's simulation
// switch: drops, duplicates and delays outgoing datagrams. Delayed datagrams
// with different delays overtake each other, which reorders them. Time is
// passed in; held datagrams leave in update().
class NetworkSimulator : public PacketFilter {
public:
    struct Settings {
        uint32_t dropPercent = 0;      // 0..100
        uint32_t duplicatePercent = 0; // 0..100
        uint32_t minDelayMs = 0;
        uint32_t maxDelayMs = 0; // delay drawn uniformly in [min, max]
    };

    explicit NetworkSimulator(uint32_t seed) : NetworkSimulator(seed, Settings()) {}
    NetworkSimulator(uint32_t seed, const Settings& settings);
    ~NetworkSimulator() override;
    NetworkSimulator(const NetworkSimulator&) = delete;
    NetworkSimulator& operator=(const NetworkSimulator&) = delete;

    void setSettings(const Settings& settings);
    // The clock used for datagrams sent from now on.
    void setTime(uint32_t now);
    // Sets the clock and sends every held datagram that is due, in due order.
    void update(uint32_t now);
    uint32_t heldCount() const;

    NetResult filterSend(Socket& socket, const NetAddress& destination, const uint8_t* data, uint32_t length) override;

private:
    struct State; // socket_local.h
    std::unique_ptr<State> mState;
};

// ---- local interfaces ------------------------------------------------------

// One up, non-loopback IPv4 interface that can broadcast.
struct BroadcastInterface {
    std::string name;     // as the platform names it, such as "eth0"
    NetAddress address;   // the interface's own address, port 0
    NetAddress broadcast; // its subnet's broadcast address, port 0
};

// Every such interface, in the platform's order; one entry per address when
// an interface has several. Empty when the platform cannot list them.
std::vector<BroadcastInterface> listBroadcastInterfaces();

} // namespace seafold
