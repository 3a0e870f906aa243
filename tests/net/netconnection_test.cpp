// Packet headers, acknowledgements, the send window, pings and pacing,
// through real interfaces whose outgoing datagrams a test filter holds back
// and releases one by one.
#include "nettestutil.h"

using namespace seafold;
using namespace seafold::test;

namespace {

// Holds every datagram; the test decides which ones go out.
struct HoldingFilter : PacketFilter {
    struct Held {
        NetAddress to;
        std::vector<uint8_t> bytes;
    };
    bool holding = false;
    std::vector<Held> held;
    NetResult filterSend(Socket& socket, const NetAddress& to, const uint8_t* data, uint32_t length) override
    {
        if (!holding)
            return socket.sendRaw(to, data, length);
        held.push_back({to, std::vector<uint8_t>(data, data + length)});
        return Success;
    }
    void release(Socket& socket, size_t i)
    {
        socket.sendRaw(held[i].to, held[i].bytes.data(), uint32_t(held[i].bytes.size()));
    }
    static uint32_t typeOf(const Held& h) { return h.bytes[0] & 3; }
};

struct Link {
    TestClock clock;
    RefPtr<NetInterface> server, client;
    RefPtr<ProbeConnection> sender; // client side
    ProbeConnection* receiver = nullptr;
    HoldingFilter clientOut, serverOut;

    Link()
    {
        server = new NetInterface(loopbackAny());
        client = new NetInterface(loopbackAny());
        server->setTimeSource(clock.source());
        client->setTimeSource(clock.source());
        client->socket().setPacketFilter(&clientOut);
        server->socket().setPacketFilter(&serverOut);
        sender = new ProbeConnection;
        sender->connect(client, server->boundAddress());
        pump({server, client}, clock, 200, 10,
             [&] { return sender->isEstablished() && !server->connections().empty(); });
        receiver = static_cast<ProbeConnection*>(server->connections()[0].get());
    }
    ~Link()
    {
        client->socket().setPacketFilter(nullptr);
        server->socket().setPacketFilter(nullptr);
    }
    void step(uint32_t ms = 10) { pump({server, client}, clock, 1, ms); }
};

} // namespace

TEST(NetConnection, WindowClosesAtThirtyUnacknowledgedPacketsAndAnAckReopensIt)
{
    Link link;
    for (uint32_t i = 0; i < 40; ++i)
        link.sender->outgoing.push_back(i);
    link.serverOut.holding = true; // no acknowledgement gets back
    // Ten seconds: the window is full after three, the silence limit far.
    for (int i = 0; i < 100; ++i)
        link.step(100);
    EXPECT_EQ(link.receiver->received.size(), 30u);
    EXPECT_EQ(link.sender->lastSentSequence() - link.sender->highestAckedSequence(), 30u);
    EXPECT_EQ(link.sender->outgoing.size(), 10u);

    // One acknowledgement (the server's newest held packet) reopens the window.
    ASSERT_FALSE(link.serverOut.held.empty());
    link.serverOut.release(link.server->socket(), link.serverOut.held.size() - 1);
    link.step(100);
    link.step(100);
    EXPECT_GT(link.receiver->received.size(), 30u);
}

namespace {

// Rewrites the 11-bit sequence of a plain (unsealed) packet header.
std::vector<uint8_t> withSequence(std::vector<uint8_t> bytes, uint32_t sequence)
{
    bytes[0] = uint8_t((bytes[0] & 0x83) | ((sequence & 0x1F) << 2));
    bytes[1] = uint8_t((bytes[1] & 0xC0) | ((sequence >> 5) & 0x3F));
    return bytes;
}

// Holds the sender's first data packets and returns their indexes.
std::vector<size_t> holdDataPackets(Link& link, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i)
        link.sender->outgoing.push_back(i);
    link.clientOut.holding = true;
    std::vector<size_t> data;
    for (int i = 0; i < 80 && data.size() < count; ++i) {
        link.step(100);
        data.clear();
        for (size_t k = 0; k < link.clientOut.held.size(); ++k)
            if (HoldingFilter::typeOf(link.clientOut.held[k]) == NetConnection::DataPacket)
                data.push_back(k);
    }
    return data;
}

} // namespace

TEST(NetConnection, SequenceThirtyOneAheadIsAcceptedAndThirtyTwoAheadIgnored)
{
    Link link;
    uint32_t first = link.sender->initialSendSequence() + 1;
    std::vector<size_t> data = holdDataPackets(link, 2);
    ASSERT_EQ(data.size(), 2u);
    link.clientOut.release(link.client->socket(), data[0]);
    link.server->receivePackets();
    ASSERT_EQ(link.receiver->received, std::vector<uint32_t>{0});

    auto deliver = [&](const std::vector<uint8_t>& bytes) {
        link.client->socket().sendRaw(link.server->boundAddress(), bytes.data(), uint32_t(bytes.size()));
        link.server->receivePackets();
    };
    std::vector<uint8_t> second = link.clientOut.held[data[1]].bytes;
    deliver(withSequence(second, first + 32));
    EXPECT_EQ(link.receiver->received.size(), 1u); // 32 ahead: ignored
    deliver(withSequence(second, first + 31));
    EXPECT_EQ(link.receiver->received, (std::vector<uint32_t>{0, 1})); // 31 ahead: accepted
    EXPECT_EQ(link.receiver->lastReceivedSequence(), first + 31);
}

TEST(NetConnection, LatePacketsAndDuplicatesAreRefusedAndGapsReportedLost)
{
    Link link;
    std::vector<size_t> data = holdDataPackets(link, 33);
    // The window stops the sender at 30 packets in flight.
    ASSERT_EQ(data.size(), 30u);
    link.clientOut.release(link.client->socket(), data[0]);
    link.clientOut.release(link.client->socket(), data[29]);
    link.clientOut.release(link.client->socket(), data[5]);  // late: behind the newest
    link.clientOut.release(link.client->socket(), data[29]); // duplicate
    link.server->receivePackets();
    EXPECT_EQ(link.receiver->received, (std::vector<uint32_t>{0, 29}));

    // The next packet back tells the sender: 2..29 lost, 1 and 30 arrived.
    link.clientOut.holding = false;
    link.clientOut.held.clear();
    link.receiver->outgoing.push_back(1000);
    for (int i = 0; i < 20 && link.sender->dropped.size() < 28; ++i)
        link.step(100);
    ASSERT_GE(link.sender->delivered.size(), 2u);
    EXPECT_EQ(link.sender->delivered[0], 0u);
    EXPECT_EQ(link.sender->delivered[1], 29u);
    EXPECT_EQ(link.sender->dropped.size(), 28u);
}

TEST(NetConnection, APingIsAnsweredWithAnAckAndNeitherAdvancesTheSequence)
{
    Link link;
    uint32_t sentBefore = link.sender->lastSentSequence();
    link.serverOut.holding = true;
    link.clientOut.holding = true;
    // Silence: the keep-alive test sends a ping after 5 s.
    for (int i = 0; i < 80 && link.clientOut.held.empty(); ++i)
        link.step(100);
    ASSERT_EQ(link.clientOut.held.size(), 1u);
    EXPECT_EQ(HoldingFilter::typeOf(link.clientOut.held[0]), NetConnection::PingPacket);
    EXPECT_EQ(link.sender->lastSentSequence(), sentBefore);
    // The header by hand: byte 0 = type (2 bits) | sequence bits 0-4 << 2 |
    // marker 0x80; byte 1 = sequence bits 5-10 | acknowledged bits 0-1 << 6;
    // byte 2 = acknowledged bits 2-9; then the 3-bit ack byte count.
    const std::vector<uint8_t>& ping = link.clientOut.held[0].bytes;
    uint32_t seq = sentBefore, ack = link.sender->lastReceivedSequence();
    EXPECT_EQ(ping[0], uint8_t(0x80 | ((seq & 0x1F) << 2) | NetConnection::PingPacket));
    EXPECT_EQ(ping[1], uint8_t(((seq >> 5) & 0x3F) | ((ack & 3) << 6)));
    EXPECT_EQ(ping[2], uint8_t((ack >> 2) & 0xFF));
    size_t heldBefore = link.serverOut.held.size();
    link.clientOut.release(link.client->socket(), 0);
    link.server->receivePackets();
    ASSERT_EQ(link.serverOut.held.size(), heldBefore + 1);
    const auto& answer = link.serverOut.held.back();
    EXPECT_EQ(HoldingFilter::typeOf(answer), NetConnection::AckPacket);
    // A ping and an ack are the bare header: 35 bits plus the ack mask.
    EXPECT_LE(answer.bytes.size(), 9u);
}

TEST(NetConnection, DefaultRatePacesOnePacketPer96MsAndSpendsSavedCredit)
{
    Link link;
    EXPECT_EQ(link.sender->packetSize(), 240u);
    EXPECT_EQ(link.sender->sendInterval(), 96u);
    // Idle for two seconds: the credit fills up to its 1000 ms cap.
    for (int i = 0; i < 200; ++i)
        link.step(10);
    for (uint32_t i = 0; i < 40; ++i)
        link.sender->outgoing.push_back(i);
    uint32_t before = link.sender->stats().packetsSent;
    // 5 ms passes: each costs 96 - 5 of the 1000 ms credit, so about 11 go
    // out back to back before pacing takes over.
    for (int i = 0; i < 11; ++i)
        link.step(5);
    uint32_t burst = link.sender->stats().packetsSent - before;
    EXPECT_GE(burst, 10u);
    EXPECT_LE(burst, 12u);
    before = link.sender->stats().packetsSent;
    for (int i = 0; i < 96; ++i)
        link.step(10); // 960 ms at the steady pace: 10 packets
    uint32_t steady = link.sender->stats().packetsSent - before;
    EXPECT_GE(steady, 9u);
    EXPECT_LE(steady, 11u);
}
