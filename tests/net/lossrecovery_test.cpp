// Loss recovery by time: a receiver acknowledges soon, a sender probes
// when its oldest packet goes unacknowledged, so a lost packet of a one-way
// stream is resent within about a round trip instead of after many packets
// or a keep-alive. Simulated time on loopback.
#include "nettestutil.h"

#include <algorithm>
#include <map>

using namespace seafold;
using namespace seafold::test;

namespace {

struct Stream {
    TestClock clock;
    RefPtr<NetInterface> server, client;
    RefPtr<ProbeConnection> sender;
    NetworkSimulator lossy;

    explicit Stream(uint32_t dropPercent, uint32_t seed) : lossy(seed, settings(dropPercent))
    {
        server = new NetInterface(loopbackAny());
        client = new NetInterface(loopbackAny());
        server->setTimeSource(clock.source());
        client->setTimeSource(clock.source());
        sender = new ProbeConnection;
        sender->connect(client, server->boundAddress());
    }
    ~Stream() { client->setNetworkSimulator(nullptr); }
    static NetworkSimulator::Settings settings(uint32_t drop)
    {
        NetworkSimulator::Settings s;
        s.dropPercent = drop;
        return s;
    }
    ProbeConnection* receiver()
    {
        return server->connections().empty() ? nullptr : static_cast<ProbeConnection*>(server->connections()[0].get());
    }
    void step()
    {
        server->receivePackets();
        client->receivePackets();
        server->serviceConnections();
        client->serviceConnections();
        clock.now += 5; // about one main-loop pass
    }

    // The client sends one payload every `everyMs` and hears nothing but
    // acknowledgements; its own datagrams are lost at `drop` percent. Returns
    // the delay of each payload, from being queued to reaching the server.
    std::vector<uint32_t> run(uint32_t payloads, uint32_t everyMs)
    {
        client->setNetworkSimulator(&lossy);
        std::map<uint32_t, uint32_t> queuedAt;
        std::vector<uint32_t> delays;
        ProbeConnection* in = receiver();
        size_t seen = in->received.size();
        uint32_t next = 0, lastQueued = clock.now - everyMs;
        for (uint32_t guard = 0; guard < 200000 && delays.size() < payloads; ++guard) {
            if (next < payloads && uint32_t(clock.now - lastQueued) >= everyMs) {
                queuedAt[next] = clock.now;
                sender->outgoing.push_back(next++);
                lastQueued = clock.now;
            }
            step();
            for (; seen < in->received.size(); ++seen)
                delays.push_back(clock.now - queuedAt[in->received[seen]]);
        }
        return delays;
    }
};

uint32_t percentile(std::vector<uint32_t> values, double p)
{
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

} // namespace

TEST(LossRecovery, AOneWayStreamAtTenPercentLossRecoversEachLossWithinAboutARoundTrip)
{
    Stream s(10, 4242);
    ASSERT_TRUE(
        pump({s.server, s.client}, s.clock, 300, 10, [&] { return s.sender->isEstablished() && s.receiver(); }));
    std::vector<uint32_t> delays = s.run(200, 250);
    ASSERT_EQ(delays.size(), 200u);
    ASSERT_GE(s.sender->dropped.size(), 10u); // losses did happen
    // Unhurt payloads leave at the next send step. A lost one is probed after
    // two round trips plus a send interval (about 350 ms at the default rate)
    // and resent at once; a probe lost too waits twice as long.
    // Before, a loss waited for 16 later packets or a keep-alive ping: 3 s.
    EXPECT_LE(percentile(delays, 0.5), 110u);
    EXPECT_LE(percentile(delays, 0.95), 400u);
    EXPECT_LE(*std::max_element(delays.begin(), delays.end()), 700u);
    EXPECT_EQ(s.receiver()->received.size(), 200u);
}

TEST(LossRecovery, TheLastPacketOfABurstIsResentWithoutAnyLaterTraffic)
{
    Stream s(0, 1);
    ASSERT_TRUE(
        pump({s.server, s.client}, s.clock, 300, 10, [&] { return s.sender->isEstablished() && s.receiver(); }));
    // Let the first packet through, lose the second (the last one), then
    // nothing is lost any more.
    s.sender->outgoing.push_back(1);
    ASSERT_TRUE(pump({s.server, s.client}, s.clock, 100, 5, [&] { return s.receiver()->received.size() == 1; }));
    s.client->setNetworkSimulator(&s.lossy);
    s.lossy.setSettings(Stream::settings(100));
    s.sender->outgoing.push_back(2);
    uint32_t sentAt = s.clock.now;
    pump({s.server, s.client}, s.clock, 40, 5,
         [&] { return s.sender->lastSentSequence() != s.sender->highestAckedSequence(); });
    s.lossy.setSettings(Stream::settings(0));
    ASSERT_TRUE(pump({s.server, s.client}, s.clock, 400, 5, [&] { return s.receiver()->received.size() == 2; }));
    EXPECT_EQ(s.sender->dropped, std::vector<uint32_t>{2});
    EXPECT_LE(s.clock.now - sentAt, 600u);
}

TEST(LossRecovery, AReceiverWithNothingToSayAcknowledgesWithinOneSendInterval)
{
    Stream s(0, 1);
    ASSERT_TRUE(
        pump({s.server, s.client}, s.clock, 300, 10, [&] { return s.sender->isEstablished() && s.receiver(); }));
    s.sender->outgoing.push_back(7);
    uint32_t start = s.clock.now;
    ASSERT_TRUE(pump({s.server, s.client}, s.clock, 400, 5, [&] { return s.sender->delivered.size() == 1; }));
    // One send interval (96 ms) for the packet to leave, one for the ack.
    EXPECT_LE(s.clock.now - start, 2 * 96u + 20u);
}

TEST(LossRecovery, AClientThatOnlySendsLearnsItsRoundTripAndDeliveriesFromAcknowledgements)
{
    Stream s(0, 1);
    // 30 ms each way: a round trip of 60 ms, whatever the peer holds back.
    NetworkSimulator::Settings slow;
    slow.minDelayMs = slow.maxDelayMs = 30;
    NetworkSimulator there(1, slow), back(2, slow);
    s.client->setNetworkSimulator(&there);
    s.server->setNetworkSimulator(&back);
    ASSERT_TRUE(
        pump({s.server, s.client}, s.clock, 300, 10, [&] { return s.sender->isEstablished() && s.receiver(); }));
    for (uint32_t i = 0; i < 20; ++i)
        s.sender->outgoing.push_back(i);
    ASSERT_TRUE(pump({s.server, s.client}, s.clock, 2000, 5, [&] { return s.sender->delivered.size() == 20; }));
    const NetConnection::Stats& stats = s.sender->stats();
    EXPECT_EQ(stats.packetsDelivered, 20u);
    EXPECT_EQ(stats.packetsDropped, 0u);
    EXPECT_GE(stats.roundTripMs, 55.0f);
    EXPECT_LE(stats.roundTripMs, 75.0f);
    s.client->setNetworkSimulator(nullptr);
    s.server->setNetworkSimulator(nullptr);
}
