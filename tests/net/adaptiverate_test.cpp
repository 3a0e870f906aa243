// The adaptive rate between peers that both run it: announced from the
// handshake on by both, never to a peer of version 0; its window; its prompt
// acknowledgements. Two real interfaces on loopback, a settable clock, and a
// filter of our own that records (and may drop) every datagram sent.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "net/crypto.h"
#include "net/eventconnection.h"
#include "net/netinterface.h"
#include "nettestutil.h"

using namespace seafold;

namespace {

// The default group gains a class of version 1, so that a peer offering
// only version 0 meets this one at a version border.
class AdaptiveMove : public NetEvent {
    SF_DECLARE_CLASS(AdaptiveMove)
public:
    explicit AdaptiveMove(uint32_t n = 0) : NetEvent(GuaranteedOrdered, DirAny), number(n) {}
    void pack(EventConnection*, BitStream& stream) override { stream.writeU32(number); }
    void unpack(EventConnection*, BitStream& stream) override { number = stream.readU32(); }
    void process(EventConnection*) override {}
    uint32_t number;
};
SF_IMPLEMENT_NETEVENT(AdaptiveMove);

class AdaptiveLater : public AdaptiveMove {
    SF_DECLARE_CLASS(AdaptiveLater)
};
NetClassRepInstance<AdaptiveLater> AdaptiveLater::dynClassRep("AdaptiveLater", NetClassGroupDefaultMask,
                                                              NetClassTypeEvent, 1);

class RateConnection : public EventConnection {
    SF_DECLARE_CLASS(RateConnection)
public:
    uint32_t classGroup() const override { return NetClassGroupDefault; }
};
SF_IMPLEMENT_NETCONNECTION(RateConnection);

// Offers only version 0 on the connections it accepts: a server of the
// older program.
class OldServer : public NetInterface {
public:
    using NetInterface::NetInterface;
    bool old = false;

protected:
    void prepareIncomingConnection(NetConnection* connection) override
    {
        if (old)
            static_cast<EventConnection*>(connection)->setHighestClassVersion(0);
    }
};

// Records every datagram sent and lets a test drop some.
struct Recorder : PacketFilter {
    std::vector<std::vector<uint8_t>> sent;
    std::function<bool(const uint8_t*, uint32_t)> drop;
    NetResult filterSend(Socket& socket, const NetAddress& to, const uint8_t* data, uint32_t length) override
    {
        sent.emplace_back(data, data + length);
        if (drop && drop(data, length))
            return Success;
        return socket.sendRaw(to, data, length);
    }
};

// What the header and rate information of a data packet say.
struct DataHeader {
    bool data = false;
    bool rateChanged = false, adaptive = false;
    uint32_t values[4] = {};
};

DataHeader readHeader(std::vector<uint8_t> bytes)
{
    DataHeader h;
    if (bytes.empty() || !(bytes[0] & 0x80))
        return h;
    BitStream s(bytes.data(), uint32_t(bytes.size()));
    h.data = s.readUnsigned(2) == NetConnection::DataPacket;
    s.readUnsigned(5 + 1 + 6 + 10);
    uint32_t ackBytes = s.readRanged(0, 4);
    if (ackBytes)
        s.readUnsigned(8 * ackBytes);
    s.readUnsigned(8);
    if (!h.data)
        return h;
    h.rateChanged = s.readFlag();
    if (h.rateChanged) {
        h.adaptive = s.readFlag();
        if (!h.adaptive) {
            h.values[0] = s.readRanged(0, 65535);
            h.values[1] = s.readRanged(0, 65535);
            h.values[2] = s.readRanged(1, 2047);
            h.values[3] = s.readRanged(1, 2047);
        }
    }
    return h;
}

struct Pair {
    test::TestClock clock{50000};
    Recorder clientWire, serverWire;
    RefPtr<OldServer> server;
    RefPtr<NetInterface> client;
    RefPtr<RateConnection> connection;

    Pair(bool oldClient, bool oldServer, bool sealed = false)
    {
        setDebugOutput([](const char*) {});
        NetAddress bind(IPProtocol, LocalhostAddress, 0);
        server = new OldServer(bind);
        client = new NetInterface(bind);
        server->old = oldServer;
        if (sealed) {
            server->setPrivateKey(new AsymmetricKey(32));
            server->setRequiresKeyExchange(true);
            client->setRequiresKeyExchange(true);
        }
        for (NetInterface* n : {static_cast<NetInterface*>(server.get()), client.get()}) {
            n->setTimeSource(clock.source());
            n->setAdaptiveRate(1, false);
        }
        server->socket().setPacketFilter(&serverWire);
        client->socket().setPacketFilter(&clientWire);
        connection = new RateConnection;
        if (oldClient)
            connection->setHighestClassVersion(0);
        connection->connect(client, server->boundAddress());
        run(2000, 1, [&] { return connection->isEstablished() && serverSide(); });
    }
    ~Pair()
    {
        server->socket().setPacketFilter(nullptr);
        client->socket().setPacketFilter(nullptr);
        setDebugOutput(nullptr);
    }
    RateConnection* serverSide() const
    {
        return server->connections().empty() ? nullptr
                                             : static_cast<RateConnection*>(server->connections()[0].get());
    }
    // One pass of each side; the socket's datagrams are on loopback at once.
    void pass() { test::pump({server.get(), client.get()}, clock, 1, 0); }
    bool run(uint32_t passes, uint32_t stepMs, const std::function<bool()>& done)
    {
        return test::pump({server.get(), client.get()}, clock, passes, stepMs, done);
    }
};

std::vector<DataHeader> dataHeaders(const Recorder& wire)
{
    std::vector<DataHeader> out;
    for (const auto& bytes : wire.sent) {
        DataHeader h = readHeader(bytes);
        if (h.data)
            out.push_back(h);
    }
    return out;
}

TEST(AdaptiveRate, AVersionZeroPeerSeesTheFixedRateAndNoAdaptiveFlagInEitherDirection)
{
    struct Case {
        bool oldClient, oldServer, adaptive;
    } cases[] = {{false, false, true}, {true, false, false}, {false, true, false}};
    for (const Case& c : cases) {
        Pair p(c.oldClient, c.oldServer);
        ASSERT_TRUE(p.serverSide());
        p.connection->postEvent(new AdaptiveMove(1));
        p.serverSide()->postEvent(new AdaptiveMove(2));
        p.run(50, 10, [] { return false; });
        for (const Recorder* wire : {&p.clientWire, &p.serverWire}) {
            std::vector<DataHeader> headers = dataHeaders(*wire);
            ASSERT_FALSE(headers.empty());
            // The first data packet announces the rate: the flag alone, or
            // the default record of the specified negotiation.
            EXPECT_TRUE(headers[0].rateChanged);
            EXPECT_EQ(headers[0].adaptive, c.adaptive) << c.oldClient << c.oldServer;
            for (const DataHeader& h : headers)
                EXPECT_FALSE(!c.adaptive && h.adaptive);
            if (!c.adaptive) {
                const uint32_t defaults[4] = {2500, 2500, 96, 96};
                for (int i = 0; i < 4; ++i)
                    EXPECT_EQ(headers[0].values[i], defaults[i]);
            }
        }
        for (NetConnection* side : {static_cast<NetConnection*>(p.connection.get()),
                                    static_cast<NetConnection*>(p.serverSide())}) {
            const uint32_t adaptiveFlags = NetConnection::LocalAdaptive | NetConnection::RemoteAdaptive;
            EXPECT_EQ(side->roleFlags() & adaptiveFlags, c.adaptive ? adaptiveFlags : 0u);
            EXPECT_EQ(side->sendInterval(), c.adaptive ? 0u : 96u);
        }
    }
}

TEST(AdaptiveRate, TheWindowGrowsWhilePacketsArriveAndABurstOfLossesHalvesItOnce)
{
    Pair p(false, false);
    ASSERT_TRUE(p.serverSide());
    // A steady stream: one event per pass, 1 ms apart.
    uint32_t posted = 0;
    auto stream = [&](uint32_t passes) {
        for (uint32_t i = 0; i < passes; ++i) {
            p.connection->postEvent(new AdaptiveMove(posted++));
            p.pass();
            p.clock.now += 1;
        }
    };
    stream(200);
    const float grown = p.connection->congestionWindow();
    EXPECT_GT(grown, 8.0f);
    EXPECT_LE(grown, float(NetConnection::MaxPacketsInFlight));

    // Three packets in a row lost: one loss event, one halving.
    uint32_t toDrop = 3;
    p.clientWire.drop = [&](const uint8_t* data, uint32_t length) {
        if (toDrop == 0 || !readHeader(std::vector<uint8_t>(data, data + length)).data)
            return false;
        --toDrop;
        return true;
    };
    const uint32_t droppedBefore = p.connection->stats().packetsDropped;
    for (uint32_t i = 0; i < 100 && p.connection->stats().packetsDropped < droppedBefore + 3; ++i)
        stream(1);
    ASSERT_EQ(p.connection->stats().packetsDropped, droppedBefore + 3);
    const float after = p.connection->congestionWindow();
    EXPECT_LE(after, grown / 2 + 1.0f);
    EXPECT_GE(after, grown / 2 - 1.0f);
}

TEST(AdaptiveRate, AReceiverWithNothingToSendAcknowledgesOnThePassThatReadThePacket)
{
    Pair p(false, false);
    ASSERT_TRUE(p.serverSide());
    p.run(20, 100, [] { return false; }); // quiet
    p.serverWire.sent.clear();
    p.connection->postEvent(new AdaptiveMove(7));
    // Without advancing the clock: the client sends, the server reads and
    // answers in the same pass.
    p.client->serviceConnections();
    p.server->receivePackets();
    p.server->serviceConnections();
    bool acked = false;
    for (const auto& bytes : p.serverWire.sent)
        acked = acked || (bytes[0] & 0x80 && (bytes[0] & 3) == NetConnection::AckPacket);
    EXPECT_TRUE(acked);
    p.client->receivePackets();
    EXPECT_EQ(p.connection->lastSentSequence(), p.connection->highestAckedSequence());
}

// A sealed sender whose whole window is out and whose last acknowledgement
// was lost can only probe with a ping that repeats its last sequence. The
// receiver took such a ping for a copy and dropped it unanswered, so the
// sender stalled until the receiver's own keep-alive ping three seconds
// later (the 3 s stalls of the one-way stream at 10% loss on real sockets).
// The receiver now answers it with an acknowledgement, without counting it
// as heard.
TEST(AdaptiveRate, ASealedSenderWithAFullWindowAndItsAcknowledgementLostRecoversAtOnce)
{
    Pair p(false, false, true);
    ASSERT_TRUE(p.serverSide());
    uint32_t posted = 0;
    for (uint32_t i = 0; i < 3000 && p.connection->congestionWindow() < float(NetConnection::MaxPacketsInFlight); ++i) {
        p.connection->postEvent(new AdaptiveMove(posted++));
        p.pass();
        p.clock.now += 1;
    }
    ASSERT_GE(p.connection->congestionWindow(), float(NetConnection::MaxPacketsInFlight));
    // Everything the receiver says is lost while a burst fills the window.
    bool deaf = true;
    p.serverWire.drop = [&](const uint8_t*, uint32_t) { return deaf; };
    const uint32_t acked = p.connection->highestAckedSequence();
    for (uint32_t i = 0; i < 200 && p.connection->lastSentSequence() - acked < NetConnection::MaxPacketsInFlight; ++i) {
        p.connection->postEvent(new AdaptiveMove(posted++)); // a packet each
        p.pass();
        p.clock.now += 1;
    }
    ASSERT_EQ(p.connection->lastSentSequence() - acked, uint32_t(NetConnection::MaxPacketsInFlight));
    // The receiver has everything, and its answers (to the probes too) are
    // lost for a little longer; then it hears again and owes nothing: the
    // sender has only its probes.
    p.run(30, 1, [] { return false; });
    ASSERT_EQ(p.connection->highestAckedSequence(), acked);
    deaf = false;
    const uint32_t from = p.clock.now;
    ASSERT_TRUE(p.run(10000, 1, [&] { return p.connection->highestAckedSequence() != acked; }));
    EXPECT_LT(p.clock.now - from, 500u) << "the sender waited for the receiver's keep-alive";
}

} // namespace

// Holds the datagrams a side sends for `delayMs` (on the test's clock)
// before they go: a queue standing on the path.
struct DelayLine : Recorder {
    uint32_t delayMs = 0;
    const uint32_t* clock = nullptr;
    struct Held {
        uint32_t due;
        NetAddress to;
        std::vector<uint8_t> bytes;
    };
    std::vector<Held> held;
    Socket* socket = nullptr;
    NetResult filterSend(Socket& s, const NetAddress& to, const uint8_t* data, uint32_t length) override
    {
        socket = &s;
        if (delayMs == 0 && held.empty())
            return s.sendRaw(to, data, length);
        held.push_back({*clock + delayMs, to, std::vector<uint8_t>(data, data + length)});
        return Success;
    }
    void release()
    {
        size_t i = 0;
        for (; i < held.size() && int32_t(*clock - held[i].due) >= 0; ++i)
            socket->sendRaw(held[i].to, held[i].bytes.data(), uint32_t(held[i].bytes.size()));
        held.erase(held.begin(), held.begin() + long(i));
    }
};

// A queue that stands while the window is at its floor: the sender spaces
// its packets out, and closes the gap again once the queue is gone.
TEST(AdaptiveRate, AQueueThatOutlastsTheWindowsFloorSpacesPacketsOutUntilItIsGone)
{
    Pair p(false, false);
    ASSERT_TRUE(p.serverSide());
    DelayLine acks;
    acks.clock = &p.clock.now;
    p.server->socket().setPacketFilter(&acks);
    uint32_t posted = 0;
    auto stream = [&](uint32_t passes) {
        for (uint32_t i = 0; i < passes; ++i) {
            p.connection->postEvent(new AdaptiveMove(posted++));
            p.pass();
            acks.release();
            p.clock.now += 1;
        }
    };
    stream(300); // the least round trip: the loopback's
    EXPECT_EQ(p.connection->queuePaceMs(), 0.0f);
    acks.delayMs = 60;
    stream(2000);
    EXPECT_EQ(p.connection->congestionWindow(), float(NetConnection::AdaptiveMinWindow));
    EXPECT_GE(p.connection->queuePaceMs(), float(NetConnection::QueuePaceFirstMs));
    acks.delayMs = 0;
    stream(3000);
    EXPECT_EQ(p.connection->queuePaceMs(), 0.0f);
    p.server->socket().setPacketFilter(&p.serverWire);
}
