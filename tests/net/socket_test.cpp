// Loopback only (127.0.0.1); every wait is bounded.
#include "net/bitstream.h"
#include "base/platform.h"
#include "net/socket.h"
#include "net/socket_local.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace seafold;

namespace {

class LineCatcher : public LogSink {
public:
    void logString(const char* line) override { lines.push_back(line); }
    bool contains(const std::string& text) const
    {
        for (const std::string& l : lines)
            if (l.find(text) != std::string::npos)
                return true;
        return false;
    }
    std::vector<std::string> lines;
};

NetAddress loopback(uint16_t port = 0)
{
    return NetAddress(IPProtocol, LocalhostAddress, port);
}

// Waits up to about half a second for one datagram.
NetResult receiveOne(Socket& s, NetAddress* from, std::vector<uint8_t>* bytes, uint32_t capacity = 1500)
{
    bytes->assign(capacity, 0);
    for (int attempt = 0; attempt < 500; ++attempt) {
        uint32_t length = 0;
        NetResult r = s.recvfrom(from, bytes->data(), capacity, &length);
        if (r == Success) {
            bytes->resize(length);
            return r;
        }
        sleepMilliseconds(1);
    }
    return WouldBlock;
}

TEST(Socket, SendsAndReceivesDatagramsOnLoopback)
{
    Socket a(loopback()), b(loopback());
    ASSERT_TRUE(a.isValid());
    ASSERT_TRUE(b.isValid());
    NetAddress to = b.boundAddress();
    ASSERT_NE(to.port, 0);

    const uint8_t payload[] = {1, 2, 3, 250, 0, 7};
    ASSERT_EQ(a.sendto(to, payload, sizeof payload), Success);
    NetAddress from;
    std::vector<uint8_t> got;
    ASSERT_EQ(receiveOne(b, &from, &got), Success);
    EXPECT_EQ(got, std::vector<uint8_t>(payload, payload + sizeof payload));
    EXPECT_EQ(from, a.boundAddress());

    // An empty datagram is still a datagram.
    ASSERT_EQ(a.sendto(to, payload, 0), Success);
    ASSERT_EQ(receiveOne(b, &from, &got), Success);
    EXPECT_TRUE(got.empty());
}

TEST(Socket, EmptyQueueIsWouldBlockAndLeavesOutputsAlone)
{
    Socket s(loopback());
    ASSERT_TRUE(s.isValid());
    NetAddress from;
    ASSERT_TRUE(from.parse("9.9.9.9:9"));
    NetAddress before = from;
    uint8_t buffer[16];
    uint32_t length = 1234;
    EXPECT_EQ(s.recvfrom(&from, buffer, sizeof buffer, &length), WouldBlock);
    EXPECT_EQ(length, 1234u);
    EXPECT_EQ(from, before);
}

TEST(Socket, RefusesOtherTransportsWithoutSending)
{
    Socket s(loopback());
    NetAddress tcp;
    ASSERT_TRUE(tcp.parse("tcp:127.0.0.1:80"));
    uint8_t byte = 0;
    EXPECT_EQ(s.sendto(tcp, &byte, 1), TransportMismatch);
    NetAddress ipx;
    ASSERT_TRUE(ipx.parse("ipx:broadcast:5"));
    EXPECT_EQ(s.sendto(ipx, &byte, 1), TransportMismatch);
}

TEST(Socket, DropsDatagramsLargerThanTheBufferInsteadOfCuttingThem)
{
    Socket a(loopback()), b(loopback());
    std::vector<uint8_t> big(2000, 0x5A), small(10, 0x11);
    ASSERT_EQ(a.sendto(b.boundAddress(), big.data(), uint32_t(big.size())), Success);
    ASSERT_EQ(a.sendto(b.boundAddress(), small.data(), uint32_t(small.size())), Success);
    NetAddress from;
    std::vector<uint8_t> got;
    ASSERT_EQ(receiveOne(b, &from, &got, 1500), Success);
    EXPECT_EQ(got, small);
}

TEST(Socket, ABatchReadsPastAnOversizedDatagramAndKeepsTheRest)
{
    Socket a(loopback()), b(loopback());
    std::vector<uint8_t> big(2000, 0x5A), first(10, 0x11), last(1500, 0x22);
    ASSERT_EQ(a.sendto(b.boundAddress(), first.data(), uint32_t(first.size())), Success);
    ASSERT_EQ(a.sendto(b.boundAddress(), big.data(), uint32_t(big.size())), Success);
    ASSERT_EQ(a.sendto(b.boundAddress(), last.data(), uint32_t(last.size())), Success);
    ASSERT_TRUE(b.waitReadable(500));
    std::vector<ReceivedDatagram> slots(Socket::MaxBatch);
    std::vector<std::vector<uint8_t>> usable;
    uint32_t read = 0;
    for (int attempt = 0; attempt < 500 && read < 3; ++attempt) {
        uint32_t count = b.receiveBatch(slots.data(), uint32_t(slots.size()));
        for (uint32_t i = 0; i < count; ++i) {
            if (slots[i].usable) {
                usable.emplace_back(slots[i].bytes, slots[i].bytes + slots[i].length);
                EXPECT_EQ(slots[i].source, a.boundAddress());
            }
        }
        read += count;
        if (count == 0)
            sleepMilliseconds(1);
    }
    EXPECT_EQ(read, 3u);
    ASSERT_EQ(usable.size(), 2u);
    EXPECT_EQ(usable[0], first);
    EXPECT_EQ(usable[1], last);
    EXPECT_EQ(b.receiveBatch(slots.data(), uint32_t(slots.size())), 0u);
}

TEST(Socket, ADatagramCarriesWhenItArrivedNotWhenItWasRead)
{
    // Read after a pause, a datagram stamped at the read would seem to have
    // come after it (the fault: motion drawn from late stamps).
    Socket a(loopback()), b(loopback());
    const uint8_t byte = 7;
    const int64_t beforeSend = getHighPrecisionTimerValue();
    ASSERT_EQ(a.sendto(b.boundAddress(), &byte, 1), Success);
    ASSERT_TRUE(b.waitReadable(2000));
    sleepMilliseconds(20);
    const int64_t beforeRead = getHighPrecisionTimerValue();
    std::vector<ReceivedDatagram> slots(Socket::MaxBatch);
    ASSERT_EQ(b.receiveBatch(slots.data(), uint32_t(slots.size())), 1u);
    EXPECT_GE(slots[0].arrivalTimer, beforeSend);
    EXPECT_LT(slots[0].arrivalTimer, beforeRead);
}

TEST(Socket, WaitingEndsWhenADatagramIsThere)
{
    Socket a(loopback()), b(loopback());
    EXPECT_FALSE(b.waitReadable(1));
    const uint8_t byte = 7;
    ASSERT_EQ(a.sendto(b.boundAddress(), &byte, 1), Success);
    EXPECT_TRUE(b.waitReadable(2000));
}

TEST(Socket, LogsEachSetUpStep)
{
    LineCatcher lines;
    LogChannel* channel = findOrCreateLogChannel("LogUDP");
    bool wasEnabled = channel->enabled;
    channel->enabled = true;
    {
        Socket s(loopback());
        ASSERT_TRUE(s.isValid());
        std::string bound = std::string("UDP socket created - bound to address: ") + s.boundAddress().toText();
        EXPECT_TRUE(lines.contains(bound));
    }
    EXPECT_TRUE(lines.contains("LogUDP: UDP socket receive buffer size set to 32768."));
    EXPECT_TRUE(lines.contains("UDP socket send buffer size set to 32768."));
    EXPECT_TRUE(lines.contains("UDP socket non-blocking IO set.  Socket initialized."));
    EXPECT_FALSE(lines.contains("Error prevented"));
    channel->enabled = wasEnabled;
}

TEST(Socket, SaysWhenTheSystemGivesASmallerReceiveBuffer)
{
    LineCatcher lines;
    LogChannel* channel = findOrCreateLogChannel("LogUDP");
    bool wasEnabled = channel->enabled;
    channel->enabled = true;
    const uint32_t huge = 1u << 30; // far above any system's limit
    Socket s(loopback(), 32768, huge);
    ASSERT_TRUE(s.isValid());
    EXPECT_LT(s.receiveBufferSize(), huge);
    EXPECT_TRUE(lines.contains("less than the 1073741824 asked for"));
    channel->enabled = wasEnabled;
}

// A socket whose bind failed used to look healthy: it sent from a port the
// kernel picked and never received what was sent to the requested one.
TEST(Socket, FailedBindLeavesTheSocketInvalid)
{
    LineCatcher lines;
    LogChannel* channel = findOrCreateLogChannel("LogUDP");
    bool wasEnabled = channel->enabled;
    channel->enabled = true;

    Socket first(loopback());
    ASSERT_TRUE(first.isValid());
    Socket second(first.boundAddress()); // the port is taken
    EXPECT_FALSE(second.isValid());
    EXPECT_TRUE(
        lines.contains("UDP socket error: unable to bind to address " + std::string(first.boundAddress().toText())));
    EXPECT_TRUE(lines.contains("UDP socket error: unable to set the receive buffer size on socket."));
    EXPECT_TRUE(lines.contains("Error prevented successful initialization of UDP socket."));

    uint8_t byte = 1;
    EXPECT_EQ(second.sendto(first.boundAddress(), &byte, 1), Failure);
    NetAddress from;
    uint32_t length = 0;
    EXPECT_EQ(second.recvfrom(&from, &byte, 1, &length), WouldBlock);
    channel->enabled = wasEnabled;
}

TEST(Socket, UnknownAndUnavailableTransportsGiveInvalidSockets)
{
    LineCatcher lines;
    LogChannel* channel = findOrCreateLogChannel("LogUDP");
    bool wasEnabled = channel->enabled;
    channel->enabled = true;

    NetAddress odd = loopback();
    odd.transport = 7;
    Socket s(odd);
    EXPECT_FALSE(s.isValid());
    EXPECT_TRUE(lines.contains("Attempted to create a socket bound to an invalid transport."));

    Socket ipx(NetAddress(IPXProtocol, AnyAddress, 0));
    EXPECT_FALSE(ipx.isValid());
    EXPECT_TRUE(lines.contains("Error prevented successful initialization of IPX socket."));
    channel->enabled = wasEnabled;
}

TEST(Socket, CountsNetworkingUsers)
{
    uint32_t before = networkingStartCount();
    {
        Socket s(loopback());
        EXPECT_EQ(networkingStartCount(), before + 1);
    }
    EXPECT_EQ(networkingStartCount(), before);
}

TEST(PacketStream, SendsWhatWasWrittenAndCoversExactlyWhatWasReceived)
{
    Socket a(loopback()), b(loopback());
    PacketStream out;
    out.writeU32(0xDEADBEEF);
    out.writeFlag(true); // 33 bits: 5 bytes on the wire
    ASSERT_EQ(out.sendTo(a, b.boundAddress()), Success);

    PacketStream in;
    NetAddress from;
    NetResult r = WouldBlock;
    for (int attempt = 0; attempt < 500 && r != Success; ++attempt) {
        r = in.receiveFrom(b, &from);
        if (r != Success)
            sleepMilliseconds(1);
    }
    ASSERT_EQ(r, Success);
    EXPECT_EQ(from, a.boundAddress());
    EXPECT_EQ(in.size(), 5u);
    EXPECT_EQ(in.readLimitBits(), 40u);
    EXPECT_EQ(in.writeLimitBits(), 0u);
    EXPECT_EQ(in.readU32(), 0xDEADBEEFu);
    EXPECT_TRUE(in.readFlag());
    in.readUnsigned(7);
    EXPECT_FALSE(in.hasError());
    in.readFlag(); // past the datagram
    EXPECT_TRUE(in.hasError());
}

// ---- the send hook ----------------------------------------------------------

std::vector<uint32_t> receiveNumbers(Socket& s, uint32_t expected)
{
    std::vector<uint32_t> numbers;
    for (int attempt = 0; attempt < 500 && numbers.size() < expected; ++attempt) {
        NetAddress from;
        uint8_t buffer[4];
        uint32_t length = 0;
        if (s.recvfrom(&from, buffer, 4, &length) == Success && length == 4)
            numbers.push_back(uint32_t(buffer[0]) | uint32_t(buffer[1]) << 8);
        else
            sleepMilliseconds(1);
    }
    return numbers;
}

void sendNumbers(Socket& from, const NetAddress& to, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t buffer[4] = {uint8_t(i), uint8_t(i >> 8), 0, 0};
        from.sendto(to, buffer, 4);
    }
}

TEST(NetworkSimulator, DropsAndDuplicatesAsConfigured)
{
    Socket a(loopback()), b(loopback());
    NetworkSimulator::Settings settings;
    settings.dropPercent = 100;
    NetworkSimulator sim(1, settings);
    a.setPacketFilter(&sim);
    sendNumbers(a, b.boundAddress(), 5);
    a.setPacketFilter(nullptr);
    sendNumbers(a, b.boundAddress(), 1); // a marker that passes directly
    EXPECT_EQ(receiveNumbers(b, 1), std::vector<uint32_t>{0});

    settings.dropPercent = 0;
    settings.duplicatePercent = 100;
    sim.setSettings(settings);
    a.setPacketFilter(&sim);
    sendNumbers(a, b.boundAddress(), 3);
    EXPECT_EQ(receiveNumbers(b, 6), (std::vector<uint32_t>{0, 0, 1, 1, 2, 2}));
}

TEST(NetworkSimulator, DelaysUntilDueAndReordersTheSameWayForTheSameSeed)
{
    std::vector<uint32_t> orders[2];
    for (auto& order : orders) {
        Socket a(loopback()), b(loopback());
        NetworkSimulator::Settings settings;
        settings.minDelayMs = 10;
        settings.maxDelayMs = 90;
        NetworkSimulator sim(42, settings);
        sim.setTime(1000);
        a.setPacketFilter(&sim);
        sendNumbers(a, b.boundAddress(), 30);
        EXPECT_EQ(sim.heldCount(), 30u);
        sim.update(1009); // nothing is due before the shortest delay
        EXPECT_EQ(sim.heldCount(), 30u);
        sim.update(1090);
        EXPECT_EQ(sim.heldCount(), 0u);
        order = receiveNumbers(b, 30);
        ASSERT_EQ(order.size(), 30u);
    }
    EXPECT_EQ(orders[0], orders[1]);
    std::vector<uint32_t> sorted = orders[0];
    std::sort(sorted.begin(), sorted.end());
    EXPECT_NE(sorted, orders[0]) << "different delays should reorder";
    for (uint32_t i = 0; i < 30; ++i)
        EXPECT_EQ(sorted[i], i);
}

} // namespace
