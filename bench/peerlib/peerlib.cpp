// Seafold's connection beside ENet on the same link: reliable, ordered
// 64-byte messages from one peer to another at a steady rate, through a
// proxy of our own on loopback that delays every datagram by the same time
// each way and drops a seeded share of them, the same for both libraries.
//
// Each run forks a sender and a receiver; the parent is the proxy. The
// sender stamps each message with the monotonic clock when it hands it to
// the library; the receiver takes the difference when the library hands
// the message over (in order). Both report their processor time over the
// message phase. Runs of the two libraries alternate, and the table shows
// the median of the runs for each cell.
//
//   bench_peerlib [--runs N] [--seconds S] [--cell RATE,LOSS,DELAY_MS]...
//
// Seafold runs as two Seafold programs use it by default: sealed (key
// exchange at the handshake), the adaptive rate, the ordered queue.
#include <enet/enet.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "net/eventconnection.h"
#include "net/netinterface.h"

using namespace seafold;

namespace {

constexpr uint32_t MessageBytes = 64;

int64_t monotonicUs()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

double cpuMs()
{
    rusage r;
    getrusage(RUSAGE_SELF, &r);
    return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000.0 + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000.0;
}

struct Cell {
    uint32_t rate = 60;   // messages a second
    uint32_t loss = 0;    // percent, each way
    uint32_t delayMs = 2; // each way
};

// What one side of one run reports through its pipe.
struct Report {
    double cpuMs = 0;
    uint32_t count = 0;
    double p50 = 0, p99 = 0;
};

// ---- the message ----------------------------------------------------------

void fillMessage(uint8_t* bytes, uint32_t number)
{
    std::memset(bytes, 0xA5, MessageBytes);
    const int64_t stamp = monotonicUs();
    std::memcpy(bytes, &number, 4);
    std::memcpy(bytes + 4, &stamp, 8);
}

struct Arrivals {
    std::vector<double> delaysMs;
    uint32_t next = 0;
    bool outOfOrder = false;
    void take(const uint8_t* bytes)
    {
        uint32_t number;
        int64_t stamp;
        std::memcpy(&number, bytes, 4);
        std::memcpy(&stamp, bytes + 4, 8);
        outOfOrder = outOfOrder || number != next;
        next = number + 1;
        delaysMs.push_back((monotonicUs() - stamp) / 1000.0);
    }
};

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    size_t at = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return values[at];
}

// ---- Seafold ---------------------------------------------------------------

Arrivals* gArrivals = nullptr;

class BenchMessage : public NetEvent {
    SF_DECLARE_CLASS(BenchMessage)
public:
    BenchMessage() : NetEvent(GuaranteedOrdered, DirAny) {}
    void pack(EventConnection*, BitStream& s) override { s.writeBytes(MessageBytes, bytes); }
    void unpack(EventConnection*, BitStream& s) override { s.readBytes(MessageBytes, bytes); }
    void process(EventConnection*) override
    {
        if (gArrivals)
            gArrivals->take(bytes);
    }
    uint8_t bytes[MessageBytes] = {};
};
SF_IMPLEMENT_NETEVENT(BenchMessage);

// A class of version 1: the two peers share it, as two Seafold programs
// share their own calls, and so run the adaptive rate.
class BenchMessageLater : public BenchMessage {
    SF_DECLARE_CLASS(BenchMessageLater)
};
NetClassRepInstance<BenchMessageLater> BenchMessageLater::dynClassRep("BenchMessageLater", NetClassGroupDefaultMask,
                                                                      NetClassTypeEvent, 1);

class BenchConnection : public EventConnection {
    SF_DECLARE_CLASS(BenchConnection)
public:
    uint32_t classGroup() const override { return NetClassGroupDefault; }
};
SF_IMPLEMENT_NETCONNECTION(BenchConnection);

constexpr int32_t SeafoldVersion = 1;

Report seafoldReceiver(uint16_t port, uint32_t expected, uint32_t limitMs)
{
    setDebugOutput([](const char*) {});
    Arrivals arrivals;
    gArrivals = &arrivals;
    RefPtr<NetInterface> host = new NetInterface(NetAddress(IPProtocol, LocalhostAddress, port));
    host->setPrivateKey(new AsymmetricKey(32));
    host->setAdaptiveRate(SeafoldVersion, false);
    double startCpu = -1;
    const int64_t end = monotonicUs() + int64_t(limitMs) * 1000;
    while (arrivals.delaysMs.size() < expected && monotonicUs() < end) {
        host->receivePackets();
        host->serviceConnections();
        if (startCpu < 0 && !host->connections().empty())
            startCpu = cpuMs();
        host->waitForPackets(host->msUntilDue(50));
    }
    // Let the last acknowledgements go.
    for (int64_t linger = monotonicUs() + 200000; monotonicUs() < linger;) {
        host->receivePackets();
        host->serviceConnections();
        host->waitForPackets(host->msUntilDue(10));
    }
    Report r;
    r.cpuMs = cpuMs() - std::max(startCpu, 0.0);
    r.count = uint32_t(arrivals.delaysMs.size());
    r.p50 = percentile(arrivals.delaysMs, 0.5);
    r.p99 = percentile(arrivals.delaysMs, 0.99);
    if (arrivals.outOfOrder)
        r.count = 0; // a broken run
    return r;
}

Report seafoldSender(uint16_t proxyPort, const Cell& cell, uint32_t count)
{
    setDebugOutput([](const char*) {});
    RefPtr<NetInterface> host = new NetInterface(NetAddress(IPProtocol, LocalhostAddress, 0));
    host->setAsksForKeyExchange(true);
    host->setAdaptiveRate(SeafoldVersion, false);
    RefPtr<BenchConnection> connection = new BenchConnection;
    connection->connect(host, NetAddress(IPProtocol, LocalhostAddress, proxyPort), true);
    for (int64_t end = monotonicUs() + 20000000; !connection->isEstablished() && monotonicUs() < end;) {
        host->receivePackets();
        host->serviceConnections();
        host->waitForPackets(host->msUntilDue(20));
    }
    Report r;
    if (!connection->isEstablished())
        return r;
    const double startCpu = cpuMs();
    const int64_t start = monotonicUs(), periodUs = 1000000 / cell.rate;
    uint32_t sent = 0;
    int64_t settle = 0;
    uint32_t lastAcked = connection->highestAckedSequence();
    int64_t lastAckChange = monotonicUs();
    const bool verbose = std::getenv("PEERLIB_VERBOSE") != nullptr;
    for (;;) {
        if (verbose) {
            if (connection->highestAckedSequence() != lastAcked) {
                if (monotonicUs() - lastAckChange > 300000)
                    std::fprintf(stderr, "stall of %.0f ms ended\n", (monotonicUs() - lastAckChange) / 1000.0);
                lastAcked = connection->highestAckedSequence();
                lastAckChange = monotonicUs();
            } else if (monotonicUs() - lastAckChange > 300000 && monotonicUs() - lastAckChange < 300000 + 20000) {
                EventConnection::QueueDepths q = connection->queueDepths();
                std::fprintf(stderr, "stalled: in flight %u cwnd %.1f queued %u/%u awaiting %u sent %u\n",
                             connection->lastSentSequence() - connection->highestAckedSequence(),
                             double(connection->congestionWindow()), q.orderedSend, q.unorderedSend,
                             q.awaitingDelivery, connection->stats().packetsSent);
            }
        }
        host->receivePackets();
        const int64_t now = monotonicUs();
        while (sent < count && now >= start + int64_t(sent) * periodUs) {
            auto* message = new BenchMessage;
            fillMessage(message->bytes, sent++);
            connection->postEvent(message);
        }
        host->serviceConnections();
        if (sent == count) {
            const bool settled = connection->queuedEventCount() == 0 &&
                                 connection->lastSentSequence() == connection->highestAckedSequence();
            if (settled && !settle)
                settle = now + 300000;
            if ((settle && now >= settle) || now > start + int64_t(count) * periodUs + 15000000)
                break;
        }
        int64_t untilNext = sent < count ? start + int64_t(sent) * periodUs - monotonicUs() : 10000;
        uint32_t waitMs = uint32_t(std::clamp<int64_t>(untilNext / 1000, 0, 10));
        host->waitForPackets(host->msUntilDue(waitMs));
    }
    r.cpuMs = cpuMs() - startCpu;
    r.count = sent;
    if (std::getenv("PEERLIB_VERBOSE")) {
        const NetConnection::Stats& st = connection->stats();
        std::fprintf(stderr, "seafold sender: sent %u delivered %u dropped %u rtt %.2f cwnd %.1f\n", st.packetsSent,
                     st.packetsDelivered, st.packetsDropped, double(st.roundTripMs),
                     double(connection->congestionWindow()));
    }
    return r;
}

// ---- ENet ---------------------------------------------------------------------

Report enetReceiver(uint16_t port, uint32_t expected, uint32_t limitMs)
{
    enet_initialize();
    ENetAddress address;
    enet_address_set_host(&address, "127.0.0.1");
    address.port = port;
    ENetHost* host = enet_host_create(&address, 4, 1, 0, 0);
    Arrivals arrivals;
    double startCpu = -1;
    const int64_t end = monotonicUs() + int64_t(limitMs) * 1000;
    auto service = [&](uint32_t waitMs) {
        ENetEvent event;
        int got = enet_host_service(host, &event, waitMs);
        while (got > 0) {
            if (event.type == ENET_EVENT_TYPE_CONNECT && startCpu < 0)
                startCpu = cpuMs();
            if (event.type == ENET_EVENT_TYPE_RECEIVE) {
                if (event.packet->dataLength == MessageBytes)
                    arrivals.take(event.packet->data);
                enet_packet_destroy(event.packet);
            }
            got = enet_host_check_events(host, &event);
        }
    };
    while (host && arrivals.delaysMs.size() < expected && monotonicUs() < end)
        service(50);
    for (int64_t linger = monotonicUs() + 200000; host && monotonicUs() < linger;)
        service(10);
    Report r;
    r.cpuMs = cpuMs() - std::max(startCpu, 0.0);
    r.count = arrivals.outOfOrder ? 0 : uint32_t(arrivals.delaysMs.size());
    r.p50 = percentile(arrivals.delaysMs, 0.5);
    r.p99 = percentile(arrivals.delaysMs, 0.99);
    if (host)
        enet_host_destroy(host);
    enet_deinitialize();
    return r;
}

Report enetSender(uint16_t proxyPort, const Cell& cell, uint32_t count)
{
    enet_initialize();
    ENetHost* host = enet_host_create(nullptr, 1, 1, 0, 0);
    ENetAddress address;
    enet_address_set_host(&address, "127.0.0.1");
    address.port = proxyPort;
    ENetPeer* peer = host ? enet_host_connect(host, &address, 1, 0) : nullptr;
    Report r;
    bool connected = false;
    ENetEvent event;
    for (int64_t end = monotonicUs() + 20000000; peer && !connected && monotonicUs() < end;)
        if (enet_host_service(host, &event, 20) > 0 && event.type == ENET_EVENT_TYPE_CONNECT)
            connected = true;
    if (!connected) {
        if (host)
            enet_host_destroy(host);
        return r;
    }
    const double startCpu = cpuMs();
    const int64_t start = monotonicUs(), periodUs = 1000000 / cell.rate;
    uint32_t sent = 0;
    int64_t settle = 0;
    for (;;) {
        const int64_t now = monotonicUs();
        while (sent < count && now >= start + int64_t(sent) * periodUs) {
            uint8_t bytes[MessageBytes];
            fillMessage(bytes, sent++);
            enet_peer_send(peer, 0, enet_packet_create(bytes, MessageBytes, ENET_PACKET_FLAG_RELIABLE));
        }
        // Sends what was just queued, as the Seafold sender's service step does.
        enet_host_flush(host);
        if (sent == count) {
            const bool settled = enet_list_empty(&peer->sentReliableCommands) &&
                                 enet_list_empty(&peer->outgoingCommands);
            if (settled && !settle)
                settle = now + 300000;
            if ((settle && now >= settle) || now > start + int64_t(count) * periodUs + 15000000)
                break;
        }
        int64_t untilNext = sent < count ? start + int64_t(sent) * periodUs - monotonicUs() : 10000;
        uint32_t waitMs = uint32_t(std::clamp<int64_t>(untilNext / 1000, 0, 10));
        int got = enet_host_service(host, &event, waitMs);
        while (got > 0) {
            if (event.type == ENET_EVENT_TYPE_RECEIVE)
                enet_packet_destroy(event.packet);
            got = enet_host_check_events(host, &event);
        }
    }
    r.cpuMs = cpuMs() - startCpu;
    r.count = sent;
    enet_peer_disconnect_now(peer, 0);
    enet_host_destroy(host);
    enet_deinitialize();
    return r;
}

// ---- the proxy ------------------------------------------------------------------

int udpSocket(uint16_t port)
{
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("proxy socket");
        std::exit(2);
    }
    return fd;
}

uint16_t portOf(int fd)
{
    sockaddr_in a{};
    socklen_t length = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    return ntohs(a.sin_port);
}

// A free loopback port for the receiver (closed again at once).
uint16_t freePort()
{
    int fd = udpSocket(0);
    uint16_t port = portOf(fd);
    ::close(fd);
    return port;
}

struct Held {
    int64_t dueUs;
    int fromFront; // 1: sender -> receiver
    std::vector<uint8_t> bytes;
};

// Relays between the sender (on `front`) and the receiver (`backPort`, from
// `back`) until both children have ended; each datagram is dropped with the
// cell's chance or held for the cell's delay.
void runProxy(int front, int back, uint16_t backPort, const Cell& cell, uint32_t seed, pid_t a, pid_t b)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<uint32_t> percent(0, 99);
    std::deque<Held> held; // one delay for all: due in arrival order
    sockaddr_in senderAddress{}, receiverAddress{};
    receiverAddress.sin_family = AF_INET;
    receiverAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    receiverAddress.sin_port = htons(backPort);
    bool senderKnown = false;
    int running = 2;
    uint8_t buffer[2048];
    while (running > 0) {
        for (pid_t child : {a, b}) {
            int status;
            if (child > 0 && waitpid(child, &status, WNOHANG) == child)
                --running;
        }
        const int64_t now = monotonicUs();
        while (!held.empty() && held.front().dueUs <= now) {
            Held& h = held.front();
            if (h.fromFront)
                sendto(back, h.bytes.data(), h.bytes.size(), 0, reinterpret_cast<sockaddr*>(&receiverAddress),
                       sizeof receiverAddress);
            else if (senderKnown)
                sendto(front, h.bytes.data(), h.bytes.size(), 0, reinterpret_cast<sockaddr*>(&senderAddress),
                       sizeof senderAddress);
            held.pop_front();
        }
        int waitMs = held.empty() ? 5 : int(std::clamp<int64_t>((held.front().dueUs - now + 999) / 1000, 0, 5));
        pollfd fds[2] = {{front, POLLIN, 0}, {back, POLLIN, 0}};
        if (::poll(fds, 2, waitMs) <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            for (;;) {
                sockaddr_in from{};
                socklen_t length = sizeof from;
                ssize_t n = recvfrom(fds[i].fd, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                                     &length);
                if (n <= 0)
                    break;
                if (i == 0) {
                    senderAddress = from;
                    senderKnown = true;
                }
                if (percent(random) < cell.loss)
                    continue;
                held.push_back({monotonicUs() + int64_t(cell.delayMs) * 1000, i == 0 ? 1 : 0,
                                std::vector<uint8_t>(buffer, buffer + n)});
            }
        }
    }
}

// ---- runs -----------------------------------------------------------------------

struct RunResult {
    bool ok = false;
    double p50 = 0, p99 = 0, cpuPer1000 = 0;
};

template <typename Body> pid_t forkReporting(int* readEnd, Body body)
{
    int fds[2];
    if (pipe(fds) != 0)
        std::exit(2);
    pid_t pid = fork();
    if (pid == 0) {
        ::close(fds[0]);
        Report r = body();
        if (write(fds[1], &r, sizeof r) != ssize_t(sizeof r))
            _exit(3);
        _exit(0);
    }
    ::close(fds[1]);
    *readEnd = fds[0];
    return pid;
}

RunResult runOnce(bool enet, const Cell& cell, uint32_t seconds, uint32_t seed)
{
    const uint32_t count = cell.rate * seconds;
    int front = udpSocket(0), back = udpSocket(0);
    const uint16_t frontPort = portOf(front), receiverPort = freePort();
    const uint32_t limitMs = seconds * 1000 + 25000;
    int receiverPipe, senderPipe;
    pid_t receiver = forkReporting(&receiverPipe, [&] {
        return enet ? enetReceiver(receiverPort, count, limitMs) : seafoldReceiver(receiverPort, count, limitMs);
    });
    usleep(100000); // the receiver binds its port
    pid_t sender = forkReporting(&senderPipe, [&] {
        return enet ? enetSender(frontPort, cell, count) : seafoldSender(frontPort, cell, count);
    });
    runProxy(front, back, receiverPort, cell, seed, sender, receiver);
    Report rr{}, sr{};
    bool ok = read(receiverPipe, &rr, sizeof rr) == ssize_t(sizeof rr) &&
              read(senderPipe, &sr, sizeof sr) == ssize_t(sizeof sr);
    ::close(receiverPipe);
    ::close(senderPipe);
    ::close(front);
    ::close(back);
    RunResult result;
    result.ok = ok && rr.count == count && sr.count == count;
    result.p50 = rr.p50;
    result.p99 = rr.p99;
    result.cpuPer1000 = (rr.cpuMs + sr.cpuMs) * 1000.0 / count;
    if (!result.ok)
        std::fprintf(stderr, "%s run at %u/s, %u%%: received %u of %u\n", enet ? "ENet" : "Seafold", cell.rate,
                     cell.loss, rr.count, count);
    return result;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    uint32_t runs = 3, seconds = 8;
    std::vector<Cell> cells;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--runs" && i + 1 < argc)
            runs = uint32_t(std::max(1, std::atoi(argv[++i])));
        else if (arg == "--seconds" && i + 1 < argc)
            seconds = uint32_t(std::max(1, std::atoi(argv[++i])));
        else if (arg == "--cell" && i + 1 < argc) {
            Cell c;
            if (std::sscanf(argv[++i], "%u,%u,%u", &c.rate, &c.loss, &c.delayMs) != 3 || c.rate == 0 ||
                c.rate > 100000 || c.loss > 100) {
                std::fprintf(stderr, "--cell takes RATE,LOSS_PERCENT,DELAY_MS\n");
                return 2;
            }
            cells.push_back(c);
        } else {
            std::fprintf(stderr, "usage: %s [--runs N] [--seconds S] [--cell RATE,LOSS,DELAY_MS]...\n", argv[0]);
            return 2;
        }
    }
    if (cells.empty())
        cells = {{60, 0, 2}, {60, 10, 2}, {500, 0, 2}, {500, 10, 2}};
    NetClassRep::initialize();

    std::printf("reliable ordered %u-byte messages, %u s a run, median of %u interleaved runs\n", MessageBytes,
                seconds, runs);
    std::printf("%-16s | %-22s | %-22s | %-22s | %s\n", "cell", "p50 ms Seafold/ENet", "p99 ms Seafold/ENet",
                "CPU ms/1000 Seafold/ENet", "ratios p50 p99 CPU");
    for (const Cell& cell : cells) {
        std::vector<double> p50[2], p99[2], cpu[2];
        uint32_t failed = 0;
        for (uint32_t run = 0; run < runs; ++run) {
            for (int lib = 0; lib < 2; ++lib) { // Seafold, then ENet, alternating
                RunResult r = runOnce(lib == 1, cell, seconds, 1000 + run * 17 + cell.loss);
                if (!r.ok) {
                    ++failed;
                    continue;
                }
                p50[lib].push_back(r.p50);
                p99[lib].push_back(r.p99);
                cpu[lib].push_back(r.cpuPer1000);
            }
        }
        char name[32];
        std::snprintf(name, sizeof name, "%u/s %u%% %ums", cell.rate, cell.loss, cell.delayMs);
        const double s50 = median(p50[0]), e50 = median(p50[1]), s99 = median(p99[0]), e99 = median(p99[1]);
        const double sc = median(cpu[0]), ec = median(cpu[1]);
        std::printf("%-16s | %9.2f / %-10.2f | %9.2f / %-10.2f | %9.1f / %-10.1f | %.2f %.2f %.2f%s\n", name, s50, e50,
                    s99, e99, sc, ec, s50 / e50, s99 / e99, sc / ec, failed ? "  (some runs failed)" : "");
        std::fflush(stdout);
    }
    return 0;
}
