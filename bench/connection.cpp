// Whole-connection figures on loopback: time from connect to Connected with
// the puzzle at its default difficulty, and events per second through one
// connection at the highest rate, with the wire bytes each delivered event
// costs, at 0% and 10% loss.
#include <benchmark/benchmark.h>

#include <chrono>

#include "net/eventconnection.h"
#include "net/netinterface.h"

using namespace seafold;

namespace {

class BenchMove : public NetEvent {
    SF_DECLARE_CLASS(BenchMove)
public:
    BenchMove() : NetEvent(GuaranteedOrdered, DirAny) {}
    void pack(EventConnection*, BitStream& s) override
    {
        s.writeF64(x);
        s.writeF64(y);
        s.writeF64(z);
    }
    void unpack(EventConnection*, BitStream& s) override
    {
        x = s.readF64();
        y = s.readF64();
        z = s.readF64();
    }
    void process(EventConnection* connection) override;
    double x = 1, y = 2, z = 3;
};
SF_IMPLEMENT_NETEVENT(BenchMove);

class BenchConnection : public EventConnection {
    SF_DECLARE_CLASS(BenchConnection)
public:
    uint32_t classGroup() const override { return NetClassGroupDefault; }
    uint64_t received = 0;
};
SF_IMPLEMENT_NETCONNECTION(BenchConnection);

void BenchMove::process(EventConnection* connection)
{
    ++static_cast<BenchConnection*>(connection)->received;
}

NetAddress loopback()
{
    return NetAddress(IPProtocol, LocalhostAddress, 0); // any free port
}

void pumpOnce(NetInterface* a, NetInterface* b)
{
    a->receivePackets();
    b->receivePackets();
    a->serviceConnections();
    b->serviceConnections();
}

void BM_ConnectToConnected(benchmark::State& state)
{
    setDebugOutput([](const char*) {}); // "Client puzzle solved in ..." lines
    for (auto _ : state) {
        RefPtr<NetInterface> server = new NetInterface(loopback());
        RefPtr<NetInterface> client = new NetInterface(loopback());
        auto start = std::chrono::steady_clock::now();
        RefPtr<BenchConnection> connection = new BenchConnection;
        connection->connect(client, server->boundAddress());
        for (int i = 0; i < 100000 && !connection->isEstablished(); ++i)
            pumpOnce(server, client);
        auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(elapsed);
        if (!connection->isEstablished())
            state.SkipWithError("no connection");
    }
    setDebugOutput(nullptr);
}
BENCHMARK(BM_ConnectToConnected)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(41)
    ->ReportAggregatesOnly(true);

// Real time, real sockets: the rate allows 1500-byte packets every 23 ms
// (65535 bytes per second), the most the rate record can express.
void BM_EventsThroughOneConnection(benchmark::State& state)
{
    setDebugOutput([](const char*) {});
    const uint32_t drop = uint32_t(state.range(0));
    NetworkSimulator clientSim(7, {drop, 0, 0, 0}), serverSim(11, {drop, 0, 0, 0});
    RefPtr<NetInterface> server = new NetInterface(loopback());
    RefPtr<NetInterface> client = new NetInterface(loopback());
    server->setNetworkSimulator(&serverSim);
    client->setNetworkSimulator(&clientSim);
    RefPtr<BenchConnection> connection = new BenchConnection;
    connection->connect(client, server->boundAddress());
    for (int i = 0; i < 100000 && !(connection->isEstablished() && !server->connections().empty()); ++i)
        pumpOnce(server, client);
    if (server->connections().empty()) {
        state.SkipWithError("no connection");
        return;
    }
    auto* receiver = static_cast<BenchConnection*>(server->connections()[0].get());
    NetConnection::RateInfo fast;
    fast.minPacketSendPeriod = fast.minPacketRecvPeriod = 23;
    fast.maxSendBandwidth = fast.maxRecvBandwidth = 65535;
    connection->setLocalRate(fast);
    receiver->setLocalRate(fast);
    // Rates travel in data packets only: the receiver announces its own
    // with one event of its own.
    receiver->postEvent(new BenchMove);

    uint64_t bytesBefore = connection->stats().bytesSent + receiver->stats().bytesSent;
    uint64_t receivedBefore = receiver->received;
    auto start = std::chrono::steady_clock::now();
    uint64_t posted = receivedBefore;
    for (auto _ : state) {
        // Keep the queue topped up; the rate decides what goes out.
        while (posted - receiver->received < 3000) {
            connection->postEvent(new BenchMove);
            ++posted;
        }
        pumpOnce(server, client);
        sleepMilliseconds(1);
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    uint64_t delivered = receiver->received - receivedBefore;
    uint64_t bytes = connection->stats().bytesSent + receiver->stats().bytesSent - bytesBefore;
    state.counters["events_per_s"] = double(delivered) / seconds;
    state.counters["wire_bytes_per_event"] = delivered ? double(bytes) / double(delivered) : 0;
    state.counters["delivered"] = double(delivered);
    server->setNetworkSimulator(nullptr);
    client->setNetworkSimulator(nullptr);
    setDebugOutput(nullptr);
}
BENCHMARK(BM_EventsThroughOneConnection)->Arg(0)->Arg(10)->Iterations(3000)->Unit(benchmark::kMillisecond);

} // namespace
