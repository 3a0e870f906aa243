// What keeps a connection's send queues moving or bounded: the caps (a
// connection that reaches one is ended by its interface at the next step,
// alone, with "Send queue overflow") and the floor under the negotiated rate.
#include "nettestutil.h"

#include "net/eventconnection.h"

using namespace seafold;
using namespace seafold::test;

namespace {

// An event of a chosen size.
class SizedEvent : public NetEvent {
    SF_DECLARE_CLASS(SizedEvent)
public:
    explicit SizedEvent(uint32_t size = 4) : NetEvent(Guaranteed, DirAny), mSize(size) {}
    void pack(EventConnection*, BitStream& stream) override
    {
        stream.writeU32(mSize);
        std::vector<uint8_t> bytes(mSize - 4, 0x33);
        stream.writeBytes(mSize - 4, bytes.data());
        ++packs;
    }
    void unpack(EventConnection*, BitStream& stream) override
    {
        uint32_t size = stream.readU32();
        if (size < 4 || size > 1400) {
            stream.setError();
            return;
        }
        std::vector<uint8_t> bytes(size - 4);
        stream.readBytes(size - 4, bytes.data());
    }
    void process(EventConnection* connection) override;
    static inline uint32_t packs = 0;

private:
    uint32_t mSize;
};
SF_IMPLEMENT_NETEVENT(SizedEvent);

class QueueConnection : public EventConnection {
    SF_DECLARE_CLASS(QueueConnection)
public:
    uint32_t classGroup() const override { return NetClassGroupDefault; }
    void onDisconnected(uint32_t reason, const char* message) override { ended.emplace_back(reason, message); }
    std::vector<std::pair<uint32_t, std::string>> ended;
    uint32_t received = 0;
};
SF_IMPLEMENT_NETCONNECTION(QueueConnection);

void SizedEvent::process(EventConnection* connection)
{
    ++static_cast<QueueConnection*>(connection)->received;
}

struct Session {
    TestClock clock;
    RefPtr<NetInterface> server, deafClient, liveClient;
    RefPtr<QueueConnection> deaf, live;

    Session()
    {
        server = new NetInterface(loopbackAny());
        deafClient = new NetInterface(loopbackAny());
        liveClient = new NetInterface(loopbackAny());
        for (NetInterface* n : {server.get(), deafClient.get(), liveClient.get()})
            n->setTimeSource(clock.source());
        deaf = new QueueConnection;
        live = new QueueConnection;
        deaf->connect(deafClient, server->boundAddress());
        live->connect(liveClient, server->boundAddress());
    }
    QueueConnection* serverSideOf(NetInterface* client)
    {
        return static_cast<QueueConnection*>(server->findConnection(client->boundAddress()));
    }
    bool connected()
    {
        return pump({server, deafClient, liveClient}, clock, 300, 10, [&] {
            return deaf->isEstablished() && live->isEstablished() && server->connections().size() == 2;
        });
    }
    // The deaf client never reads again: nothing the server sends is acknowledged.
    void runDeaf(uint32_t rounds)
    {
        for (uint32_t i = 0; i < rounds; ++i) {
            server->receivePackets();
            liveClient->receivePackets();
            server->serviceConnections();
            liveClient->serviceConnections();
            clock.now += 10;
        }
    }
};

} // namespace

TEST(SendQueueCap, AConnectionThatStopsReadingEndsAloneAtTheEventCap)
{
    Session s;
    ASSERT_TRUE(s.connected());
    RefPtr<QueueConnection> toDeaf = s.serverSideOf(s.deafClient);
    RefPtr<QueueConnection> toLive = s.serverSideOf(s.liveClient);
    ASSERT_TRUE(toDeaf && toLive);

    // Everything posted goes to both; the deaf one's window closes and its
    // queue grows until the cap.
    uint32_t posted = 0;
    bool refused = false;
    for (uint32_t round = 0; round < 400 && !refused; ++round) {
        for (int k = 0; k < 20 && !refused; ++k, ++posted) {
            toLive->postEvent(new SizedEvent(8));
            refused = !toDeaf->postEvent(new SizedEvent(8));
        }
        if (!refused)
            s.runDeaf(1);
    }
    ASSERT_TRUE(refused);
    EXPECT_GE(posted, uint32_t(EventConnection::MaxQueuedEvents));
    EXPECT_EQ(toDeaf->endReason(), std::string("Send queue overflow"));
    // Not ended under the caller: that waits for the interface's next step.
    EXPECT_EQ(toDeaf->state(), Connected);
    EXPECT_EQ(toDeaf->queuedEventCount(), uint32_t(EventConnection::MaxQueuedEvents));
    EXPECT_FALSE(toDeaf->postEvent(new SizedEvent(8)));

    s.server->serviceConnections();
    EXPECT_EQ(toDeaf->state(), Disconnected);
    ASSERT_EQ(toDeaf->ended.size(), 1u);
    EXPECT_EQ(toDeaf->ended[0], std::make_pair(uint32_t(ReasonError), std::string("Send queue overflow")));
    ASSERT_EQ(s.server->connections().size(), 1u);
    EXPECT_EQ(s.server->connections()[0], toLive.get());

    // The other connection is untouched and gets everything.
    s.runDeaf(3000);
    EXPECT_EQ(toLive->state(), Connected);
    EXPECT_TRUE(toLive->ended.empty());
    EXPECT_EQ(s.live->received, posted);

    // The deaf client hears why, once it reads again.
    pump({s.deafClient}, s.clock, 5, 10, [&] { return !s.deaf->ended.empty(); });
    ASSERT_EQ(s.deaf->ended.size(), 1u);
    EXPECT_EQ(s.deaf->ended[0].second, "Send queue overflow");
}

TEST(SendQueueCap, LargeEventsReachTheByteCapFirstAndEachEventIsMeasuredOnce)
{
    Session s;
    ASSERT_TRUE(s.connected());
    RefPtr<QueueConnection> toDeaf = s.serverSideOf(s.deafClient);
    ASSERT_TRUE(toDeaf);
    uint32_t accepted = 0;
    RefPtr<SizedEvent> shared = new SizedEvent(1000);
    SizedEvent::packs = 0;
    while (accepted < 2000 && toDeaf->postEvent(shared))
        ++accepted;
    EXPECT_EQ(SizedEvent::packs, 1u); // one event in many places is measured once
    EXPECT_LT(accepted, uint32_t(EventConnection::MaxQueuedEvents));
    EXPECT_EQ(accepted, uint32_t(EventConnection::MaxQueuedBytes) / 1000);
    EXPECT_LE(toDeaf->queuedByteCount(), uint32_t(EventConnection::MaxQueuedBytes));
    s.server->serviceConnections();
    EXPECT_EQ(toDeaf->state(), Disconnected);
    EXPECT_TRUE(s.server->connections().size() == 1);
}

TEST(SendQueueCap, WrittenAndResentEventsLeaveAndReenterTheCount)
{
    Session s;
    ASSERT_TRUE(s.connected());
    RefPtr<QueueConnection> toLive = s.serverSideOf(s.liveClient);
    ASSERT_TRUE(toLive);
    NetworkSimulator::Settings lossy;
    lossy.dropPercent = 30;
    NetworkSimulator simulator(7, lossy);
    s.server->setNetworkSimulator(&simulator);
    for (int i = 0; i < 50; ++i)
        toLive->postEvent(new SizedEvent(20));
    EXPECT_EQ(toLive->queuedEventCount(), 50u);
    EXPECT_EQ(toLive->queuedByteCount(), 50u * 20u);
    ASSERT_TRUE(pump({s.server, s.liveClient}, s.clock, 3000, 10, [&] { return s.live->received == 50; }));
    EXPECT_GT(toLive->stats().packetsDropped, 0u);
    EXPECT_EQ(toLive->queuedEventCount(), 0u);
    EXPECT_EQ(toLive->queuedByteCount(), 0u);
    s.server->setNetworkSimulator(nullptr);
}

TEST(RateFloor, APeerAnnouncingNoBandwidthOrATinyPacketStillReceivesEvents)
{
    for (uint32_t bandwidth : {0u, 10u}) {
        SCOPED_TRACE(bandwidth);
        Session s;
        NetConnection::RateInfo stingy;
        stingy.maxRecvBandwidth = bandwidth;
        s.live->setLocalRate(stingy);
        ASSERT_TRUE(s.connected());
        RefPtr<QueueConnection> toLive = s.serverSideOf(s.liveClient);
        // The stingy rate record reaches the server with the client's first data packet.
        s.live->postEvent(new SizedEvent(8));
        ASSERT_TRUE(pump({s.server, s.liveClient}, s.clock, 500, 10,
                         [&] { return toLive->received == 1 && toLive->packetSize() < 240; }));
        EXPECT_EQ(toLive->packetSize(), uint32_t(NetConnection::MinPacketBytes));

        // Small events and one as large as a packet can hold.
        for (int i = 0; i < 10; ++i)
            toLive->postEvent(new SizedEvent(8));
        toLive->postEvent(new SizedEvent(1400));
        ASSERT_TRUE(pump({s.server, s.liveClient}, s.clock, 1000, 10, [&] { return s.live->received == 11; }));
    }
}

TEST(SendQueueCap, APeerThatTalksButNeverAcknowledgesTimesOutLikeASilentOne)
{
    Session s;
    ASSERT_TRUE(s.connected());
    RefPtr<QueueConnection> toDeaf = s.serverSideOf(s.deafClient);
    ASSERT_TRUE(toDeaf);
    // The deaf client pings every second and never reads what comes back.
    s.deaf->setPingTimeouts(1000, 0xFFFFFFFFu);
    toDeaf->postEvent(new SizedEvent(8));
    uint32_t start = s.clock.now;
    for (uint32_t i = 0; i < 8000 && toDeaf->ended.empty(); ++i) {
        s.server->receivePackets();
        s.server->serviceConnections();
        s.deafClient->serviceConnections();
        s.clock.now += 10;
    }
    ASSERT_EQ(toDeaf->ended.size(), 1u);
    EXPECT_EQ(toDeaf->ended[0], std::make_pair(uint32_t(ReasonTimedOut), std::string("Timeout")));
    // The silence limit, give or take the time-out checks' 1.5 s.
    EXPECT_GE(s.clock.now - start, uint32_t(NetConnection::SilenceLimitMs));
    EXPECT_LE(s.clock.now - start, uint32_t(NetConnection::SilenceLimitMs) + 1600u);
}

// Events one connection's traffic makes the server post on another (a
// relay) are that connection's to answer for: when they fill the
// receiver's queue, or all queues together past the budget, the sender is
// ended, not the receiver, and the receiver's host is not counted as
// misbehaving.
TEST(SendQueueCap, RelaysThatFillAReceiversQueueEndTheirSender)
{
    const struct {
        const char* what;
        uint64_t budget;
    } cases[] = {
        {"the receiver's own cap", NetInterface::DefaultQueueBudgetBytes},
        {"the budget of all queues", 64 * 1024},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Session s;
        ASSERT_TRUE(s.connected());
        s.server->setQueueBudgetBytes(c.budget);
        RefPtr<QueueConnection> toDeaf = s.serverSideOf(s.deafClient);
        RefPtr<QueueConnection> sender = s.serverSideOf(s.liveClient);
        ASSERT_TRUE(toDeaf && sender);
        // The deaf receiver's own traffic: a little.
        for (int i = 0; i < 10; ++i)
            toDeaf->postEvent(new SizedEvent(100));
        RefPtr<SizedEvent> relay = new SizedEvent(1000);
        for (uint32_t round = 0; round < 200 && !sender->endReason(); ++round) {
            {
                EventConnection::PostingFor charged(sender);
                for (int k = 0; k < 10; ++k)
                    toDeaf->postEvent(relay);
            }
            EXPECT_EQ(toDeaf->queuedBytesFromOthers(), sender->queuedBytesForOthers());
            s.runDeaf(1);
        }
        s.runDeaf(2);
        ASSERT_EQ(sender->ended.size(), 1u);
        EXPECT_EQ(sender->ended[0], std::make_pair(uint32_t(ReasonError), std::string("Send queue overflow")));
        EXPECT_TRUE(toDeaf->ended.empty());
        EXPECT_EQ(toDeaf->state(), Connected);
        // It answers for no more than its own (the rest in flight).
        EXPECT_LE(toDeaf->queuedBytesCaused(), 1000u);
    }
}
