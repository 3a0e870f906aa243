// POSIX datagram sockets. This is the only file that talks to the platform's
// socket calls.
#include "net/socket.h"
#include "base/platform.h"
#include "net/socket_local.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <linux/errqueue.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace seafold {

// ---- socket library --------------------------------------------------------

static uint32_t gNetworkingStartCount = 0;

void startNetworking()
{
    // Sockets need no library start here; only the users are counted.
    ++gNetworkingStartCount;
}

void stopNetworking()
{
    if (gNetworkingStartCount > 0)
        --gNetworkingStartCount;
}

uint32_t networkingStartCount()
{
    return gNetworkingStartCount;
}

// ---- socket ----------------------------------------------------------------

static const char* transportLabel(uint16_t transport)
{
    switch (transport) {
    case IPProtocol:
        return "UDP";
    case TCPProtocol:
        return "TCP";
    case IPXProtocol:
        return "IPX";
    default:
        return "unknown";
    }
}

static NetAddress boundAddressOf(int fd, uint16_t transport)
{
    NetAddress result(TransportProtocol(transport), AnyAddress, 0);
    sockaddr_in local;
    socklen_t length = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0 && local.sin_family == AF_INET) {
        result = NetAddress::fromSockAddr(local);
        result.transport = transport;
    }
    return result;
}

// What a socket is set up with after the bind.
struct SocketOptions {
    const char* label;
    uint16_t transport;
    uint32_t sendBufferSize;
    uint32_t receiveBufferSize;
    bool acceptsBroadcast;
    bool nonblockingIO;
};

// The buffer sizes, broadcast and non-blocking mode, after a set-up that is
// `ok` so far; false once a step failed.
static bool applyOptions(int fd, bool ok, const SocketOptions& o)
{
    // Each option step runs only while all before it succeeded; from the
    // first failure on, each remaining step logs its error instead.
    if (ok) {
        int size = int(o.receiveBufferSize);
        ok = setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) == 0;
        if (ok)
            SF_LOG("LogUDP", "%s socket receive buffer size set to %d.", o.label, size);
        // The system caps the size quietly (net.core.rmem_max on Linux, which
        // reports back twice what it grants): say so when it gave less.
        int granted = 0;
        socklen_t length = sizeof granted;
        if (ok && getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &length) == 0 && granted < size)
            SF_LOG("LogUDP",
                   "%s socket receive buffer is %d bytes, less than the %d asked for; a burst of datagrams "
                   "may be dropped (the system's limit is net.core.rmem_max).",
                   o.label, granted, size);
    }
    if (!ok)
        SF_LOG("LogUDP", "%s socket error: unable to set the receive buffer size on socket.", o.label);

    if (ok) {
        int size = int(o.sendBufferSize);
        ok = setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) == 0;
        if (ok)
            SF_LOG("LogUDP", "%s socket send buffer size set to %d.", o.label, size);
    }
    if (!ok)
        SF_LOG("LogUDP", "%s socket error: unable to set the send buffer size on socket.", o.label);

    if (o.transport != TCPProtocol) {
        if (ok) {
            int allow = o.acceptsBroadcast ? 1 : 0;
            ok = setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &allow, sizeof allow) == 0;
        }
        if (!ok)
            SF_LOG("LogUDP", "%s socket error: unable to set broadcast mode on socket.", o.label);
    }

    // A blocking socket would stall the single-threaded main loop in
    // recvfrom, so a failed switch fails the set-up too.
    if (o.nonblockingIO) {
        if (ok) {
            int flags = fcntl(fd, F_GETFL, 0);
            ok = flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
        }
        if (!ok)
            SF_LOG("LogUDP", "%s socket error: unable to set non-blocking mode on socket.", o.label);
    }
    return ok;
}

Socket::Socket(const NetAddress& bindAddress, uint32_t sendBufferSize, uint32_t receiveBufferSize,
               bool acceptsBroadcast, bool nonblockingIO, bool sharesPort)
    : mTransport(bindAddress.transport)
{
    startNetworking();
    const char* label = transportLabel(mTransport);
    int fd = InvalidSocket;
    switch (mTransport) {
    case IPProtocol:
        fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        break;
    case TCPProtocol:
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        break;
    case IPXProtocol:
        // There is no IPX stack on this platform: the socket cannot exist.
        errno = EAFNOSUPPORT;
        break;
    default:
        mSetUpError = EAFNOSUPPORT;
        SF_LOG("LogUDP", "Attempted to create a socket bound to an invalid transport.");
        return;
    }
    if (fd < 0) {
        mSetUpError = errno;
        SF_LOG("LogUDP", "%s socket error: unable to create socket (%s).", label, std::strerror(errno));
        SF_LOG("LogUDP", "Error prevented successful initialization of %s socket.", label);
        return;
    }

    // Sharing must be asked for before the bind. SO_REUSEPORT, not
    // SO_REUSEADDR: only sockets of the same user may join.
    bool ok = true;
    if (sharesPort) {
        int share = 1;
        ok = setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &share, sizeof share) == 0;
        if (!ok) {
            mSetUpError = errno;
            SF_LOG("LogUDP", "%s socket error: unable to share the port (%s).", label, std::strerror(errno));
        }
    }

    // Bind. A socket that is not bound where it was asked to be would send
    // from, and listen on, a port nobody expects: that is a failed set-up.
    sockaddr_in local;
    bindAddress.toSockAddr(&local);
    if (ok) {
        ok = ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
        if (!ok) {
            mSetUpError = errno;
            mBindFailed = true;
        }
    }
    if (ok) {
        SF_LOG("LogUDP", "%s socket created - bound to address: %s", label, boundAddressOf(fd, mTransport).toText());
    } else {
        SF_LOG("LogUDP", "%s socket error: unable to bind to address %s (%s).", label, bindAddress.toText(),
               std::strerror(mSetUpError));
    }

    ok = applyOptions(fd, ok, {label, mTransport, sendBufferSize, receiveBufferSize, acceptsBroadcast, nonblockingIO});

    if (!ok) {
        if (mSetUpError == 0)
            mSetUpError = errno ? errno : EINVAL;
        SF_LOG("LogUDP", "Error prevented successful initialization of %s socket.", label);
        ::close(fd);
        return;
    }
    // The kernel stamps each datagram as it arrives: a reader that comes
    // late (after a frame was drawn, say) still knows when it came. Without
    // the stamps the read time stands in.
    int stamps = 1;
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &stamps, sizeof stamps);
    mPlatformSocket = fd;
    SF_LOG("LogUDP", "%s socket non-blocking IO set.  Socket initialized.", label);
}

Socket::~Socket()
{
    if (mPlatformSocket != InvalidSocket)
        ::close(mPlatformSocket);
    stopNetworking();
}

NetAddress Socket::boundAddress() const
{
    if (mPlatformSocket == InvalidSocket)
        return NetAddress(TransportProtocol(mTransport), AnyAddress, 0);
    return boundAddressOf(mPlatformSocket, mTransport);
}

NetResult Socket::sendto(const NetAddress& destination, const uint8_t* data, uint32_t length)
{
    if (destination.transport != mTransport)
        return TransportMismatch;
    if (mFilter)
        return mFilter->filterSend(*this, destination, data, length);
    return sendRaw(destination, data, length);
}

NetResult Socket::sendRaw(const NetAddress& destination, const uint8_t* data, uint32_t length)
{
    if (destination.transport != mTransport)
        return TransportMismatch;
    // IP and TCP only: an IPX socket never exists on this platform.
    if (mPlatformSocket == InvalidSocket || mTransport == IPXProtocol)
        return Failure;
    sockaddr_in to;
    destination.toSockAddr(&to);
    ssize_t sent = ::sendto(mPlatformSocket, data, length, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to);
    if (sent < 0)
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? WouldBlock : Failure;
    return Success;
}

NetResult Socket::recvfrom(NetAddress* source, uint8_t* buffer, uint32_t capacity, uint32_t* length)
{
    if (mPlatformSocket == InvalidSocket)
        return WouldBlock;
    // Each pass reads (and so removes) one datagram; the bound only keeps a
    // flood of unusable ones from holding the caller here.
    for (uint32_t attempt = 0; attempt < MaxBatch; ++attempt) {
        sockaddr_in from;
        socklen_t fromLength = sizeof from;
        // MSG_TRUNC reports the datagram's real length: a datagram that did
        // not fit is dropped rather than handed on cut short.
        ssize_t received =
            ::recvfrom(mPlatformSocket, buffer, capacity, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (received < 0)
            return WouldBlock;
        if (uint64_t(received) > capacity || fromLength < sizeof from || from.sin_family != AF_INET)
            continue;
        *source = NetAddress::fromSockAddr(from);
        source->transport = mTransport;
        *length = uint32_t(received);
        return Success;
    }
    return WouldBlock;
}

bool Socket::reportUnreachable()
{
    if (mPlatformSocket == InvalidSocket || mTransport == TCPProtocol)
        return false;
    int on = 1;
    mReportsUnreachable = setsockopt(mPlatformSocket, IPPROTO_IP, IP_RECVERR, &on, sizeof on) == 0;
    return mReportsUnreachable;
}

uint32_t Socket::takeUnreachable(NetAddress* out, uint32_t capacity)
{
    if (!mReportsUnreachable)
        return 0;
    uint32_t found = 0;
    // Bounded: a flood of reports cannot hold the loop here.
    for (uint32_t read = 0; read < MaxBatch; ++read) {
        sockaddr_in destination;
        uint8_t payload[64];
        alignas(cmsghdr) uint8_t control[256];
        iovec vector{payload, sizeof payload};
        msghdr message;
        std::memset(&message, 0, sizeof message);
        message.msg_name = &destination;
        message.msg_namelen = sizeof destination;
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        if (::recvmsg(mPlatformSocket, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0)
            break;
        for (cmsghdr* part = CMSG_FIRSTHDR(&message); part; part = CMSG_NXTHDR(&message, part)) {
            if (part->cmsg_level != IPPROTO_IP || part->cmsg_type != IP_RECVERR)
                continue;
            sock_extended_err error;
            std::memcpy(&error, CMSG_DATA(part), sizeof error);
            // ICMP type 3 (destination unreachable), code 3 (port): the
            // host is there, nothing listens on the port.
            const bool portUnreachable =
                error.ee_origin == SO_EE_ORIGIN_ICMP && error.ee_type == 3 && error.ee_code == 3;
            if (portUnreachable && found < capacity && message.msg_namelen >= sizeof destination &&
                destination.sin_family == AF_INET) {
                out[found] = NetAddress::fromSockAddr(destination);
                out[found].transport = mTransport;
                ++found;
            }
        }
    }
    return found;
}

uint32_t Socket::receiveBatch(ReceivedDatagram* slots, uint32_t count)
{
    if (mPlatformSocket == InvalidSocket || count == 0)
        return 0;
    count = std::min<uint32_t>(count, MaxBatch);
    mmsghdr headers[MaxBatch];
    iovec vectors[MaxBatch];
    sockaddr_in sources[MaxBatch];
    union Control {
        cmsghdr align;
        char bytes[CMSG_SPACE(sizeof(timespec))];
    } controls[MaxBatch];
    std::memset(headers, 0, sizeof(mmsghdr) * count);
    for (uint32_t i = 0; i < count; ++i) {
        vectors[i].iov_base = slots[i].bytes;
        vectors[i].iov_len = ReceivedDatagram::CapacityBytes;
        headers[i].msg_hdr.msg_name = &sources[i];
        headers[i].msg_hdr.msg_namelen = sizeof sources[i];
        headers[i].msg_hdr.msg_iov = &vectors[i];
        headers[i].msg_hdr.msg_iovlen = 1;
        headers[i].msg_hdr.msg_control = controls[i].bytes;
        headers[i].msg_hdr.msg_controllen = sizeof controls[i].bytes;
    }
    int received = ::recvmmsg(mPlatformSocket, headers, count, MSG_DONTWAIT, nullptr);
    if (received <= 0)
        return 0;
    // The stamps are of the wall clock; the program times on the monotonic
    // one. Their difference now converts them.
    timespec wall, mono;
    clock_gettime(CLOCK_REALTIME, &wall);
    clock_gettime(CLOCK_MONOTONIC, &mono);
    const int64_t monoNow = int64_t(mono.tv_sec) * 1000000000 + mono.tv_nsec;
    const int64_t wallNow = int64_t(wall.tv_sec) * 1000000000 + wall.tv_nsec;
    for (int i = 0; i < received; ++i) {
        ReceivedDatagram& slot = slots[i];
        const msghdr& header = headers[i].msg_hdr;
        slot.arrivalTimer = monoNow;
        for (cmsghdr* c = CMSG_FIRSTHDR(&headers[i].msg_hdr); c; c = CMSG_NXTHDR(&headers[i].msg_hdr, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec stamp;
                std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
                const int64_t age = wallNow - (int64_t(stamp.tv_sec) * 1000000000 + stamp.tv_nsec);
                if (age >= 0 && age < int64_t(10) * 1000000000) // a clock step makes nonsense of it
                    slot.arrivalTimer = monoNow - age;
            }
        }
        // MSG_TRUNC: the datagram was larger than the slot and has been cut.
        slot.usable = !(header.msg_flags & MSG_TRUNC) && header.msg_namelen >= sizeof(sockaddr_in) &&
                      sources[i].sin_family == AF_INET;
        slot.length = slot.usable ? uint32_t(headers[i].msg_len) : 0;
        if (slot.usable) {
            slot.source = NetAddress::fromSockAddr(sources[i]);
            slot.source.transport = mTransport;
        }
    }
    return uint32_t(received);
}

bool Socket::waitReadable(uint32_t ms)
{
    if (mPlatformSocket == InvalidSocket) {
        sleepMilliseconds(ms);
        return false;
    }
    pollfd watched{mPlatformSocket, POLLIN, 0};
    int ready = ::poll(&watched, 1, int(std::min<uint32_t>(ms, 0x7FFFFFFF)));
    return ready > 0 && (watched.revents & POLLIN);
}

uint32_t Socket::receiveBufferSize() const
{
    int size = 0;
    socklen_t length = sizeof size;
    if (mPlatformSocket == InvalidSocket || getsockopt(mPlatformSocket, SOL_SOCKET, SO_RCVBUF, &size, &length) != 0)
        return 0;
    return uint32_t(size);
}

// ---- packet streams --------------------------------------------------------

PacketStream::PacketStream(uint32_t targetSize)
    : BitStream(mBuffer, targetSize <= MaxPacketBytes ? targetSize : MaxPacketBytes, MaxPacketBytes)
{
    SF_ASSERT(targetSize <= MaxPacketBytes, "PacketStream: target size above the datagram limit");
    // Zeroed so that the unwritten bits of a partly written last byte never
    // carry stack contents onto the wire.
    std::memset(mBuffer, 0, sizeof mBuffer);
}

NetResult PacketStream::sendTo(Socket& socket, const NetAddress& address)
{
    return socket.sendto(address, data(), bytePosition());
}

NetResult PacketStream::receiveFrom(Socket& socket, NetAddress* address)
{
    uint32_t length = 0;
    NetResult result = socket.recvfrom(address, mBuffer, MaxPacketBytes, &length);
    if (result != Success)
        return result;
    wrapExternal(mBuffer, length);
    mReadLimit = length * 8;
    mWriteLimit = 0;
    resetStream();
    return Success;
}

// ---- network simulator -----------------------------------------------------

NetworkSimulator::State::State(uint32_t seed, const Settings& initialSettings)
    : settings(initialSettings), generator(uint64_t(seed) * 0x9E3779B97F4A7C15ull + 1)
{
}

uint32_t NetworkSimulator::State::nextRandom()
{
    uint64_t z = (generator += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return uint32_t((z ^ (z >> 31)) >> 32);
}

void NetworkSimulator::State::hold(Socket& socket, const NetAddress& destination, const uint8_t* data, uint32_t length)
{
    uint32_t span = settings.maxDelayMs > settings.minDelayMs ? settings.maxDelayMs - settings.minDelayMs : 0;
    uint32_t delay = settings.minDelayMs + (span ? nextRandom() % (span + 1) : 0);
    Held datagram{now + delay, arrivals++, &socket, destination, std::vector<uint8_t>(data, data + length)};
    held.push_back(std::move(datagram));
}

NetworkSimulator::NetworkSimulator(uint32_t seed, const Settings& settings)
    : mState(std::make_unique<State>(seed, settings))
{
}

NetworkSimulator::~NetworkSimulator() = default;

void NetworkSimulator::setSettings(const Settings& settings)
{
    mState->settings = settings;
}

void NetworkSimulator::setTime(uint32_t now)
{
    mState->now = now;
}

uint32_t NetworkSimulator::heldCount() const
{
    return uint32_t(mState->held.size());
}

NetResult NetworkSimulator::filterSend(Socket& socket, const NetAddress& destination, const uint8_t* data,
                                       uint32_t length)
{
    State& st = *mState;
    if (st.nextRandom() % 100 < st.settings.dropPercent)
        return Success; // lost on the way: the sender cannot tell
    uint32_t copies = st.nextRandom() % 100 < st.settings.duplicatePercent ? 2 : 1;
    for (uint32_t i = 0; i < copies; ++i) {
        if (st.settings.maxDelayMs == 0 && st.settings.minDelayMs == 0) {
            NetResult result = socket.sendRaw(destination, data, length);
            if (result != Success)
                return result;
        } else {
            st.hold(socket, destination, data, length);
        }
    }
    return Success;
}

void NetworkSimulator::update(uint32_t now)
{
    State& st = *mState;
    st.now = now;
    // Sort by due time (wrap-safe against now), arrival order breaking ties.
    std::stable_sort(st.held.begin(), st.held.end(), [now](const State::Held& a, const State::Held& b) {
        int32_t da = int32_t(a.due - now), db = int32_t(b.due - now);
        return da != db ? da < db : a.order < b.order;
    });
    while (!st.held.empty() && int32_t(st.held.front().due - now) <= 0) {
        State::Held datagram = std::move(st.held.front());
        st.held.pop_front();
        datagram.socket->sendRaw(datagram.destination, datagram.bytes.data(), uint32_t(datagram.bytes.size()));
    }
}

// ---- local interfaces ------------------------------------------------------

std::vector<BroadcastInterface> listBroadcastInterfaces()
{
    std::vector<BroadcastInterface> result;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return result;
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        const unsigned flags = entry->ifa_flags;
        if (!(flags & IFF_UP) || (flags & IFF_LOOPBACK) || !(flags & IFF_BROADCAST))
            continue;
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !entry->ifa_broadaddr ||
            entry->ifa_broadaddr->sa_family != AF_INET)
            continue;
        BroadcastInterface found;
        found.name = entry->ifa_name ? entry->ifa_name : "";
        found.address = NetAddress::fromSockAddr(*reinterpret_cast<const sockaddr_in*>(entry->ifa_addr));
        found.broadcast = NetAddress::fromSockAddr(*reinterpret_cast<const sockaddr_in*>(entry->ifa_broadaddr));
        found.address.port = 0;
        found.broadcast.port = 0;
        result.push_back(found);
    }
    freeifaddrs(list);
    return result;
}

} // namespace seafold
