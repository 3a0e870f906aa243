// CPU time to write and to read one data packet full of typical events:
// movement calls (three F64) and short texts, three to one, guaranteed
// ordered, as the session sends them. The argument is the packet's target
// size: 240 bytes (the default rate) or 1500.
//
//   bench_events --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "net/rpc.h"
#include "net/socket.h"

using namespace seafold;

namespace {

constexpr uint32_t BenchGroup = 1;
constexpr uint32_t BenchMask = 1u << BenchGroup;

class BenchConnection : public EventConnection {
public:
    uint32_t classGroup() const override { return BenchGroup; }
    SF_DECLARE_RPC(bnMove, double, double, double);
    SF_DECLARE_RPC(bnChat, StringPtr);
    double sum = 0;
    uint64_t textBytes = 0;
};

SF_IMPLEMENT_RPC_EX(BenchConnection, bnMove, BenchMask, 0, GuaranteedOrdered, DirAny, (double x, double y, double z))
{
    sum += x + y + z;
}

SF_IMPLEMENT_RPC_EX(BenchConnection, bnChat, BenchMask, 0, GuaranteedOrdered, DirAny, (StringPtr text))
{
    textBytes += text.length();
}

void establish(BenchConnection& connection)
{
    NetClassRep::initialize();
    BenchConnection peer;
    PacketStream request;
    peer.writeConnectRequest(request);
    BitStream in(request.data(), request.bytePosition());
    const char* error = nullptr;
    connection.readConnectRequest(in, &error);
    connection.setState(Connected);
}

const char* const Texts[] = {"hello", "ready", "player 7 joined", "gg"};

void postTypical(BenchConnection& connection, uint32_t i)
{
    if (i % 4 == 3)
        connection.bnChat(Texts[(i / 4) % 4]);
    else
        connection.bnMove(0.5 * i, -1.25, 3.0 + i);
}

// One packet written and heard delivered; the sender keeps a steady backlog
// by posting as many events as the packet took (the posting is counted).
void BM_WritePacket(benchmark::State& state)
{
    const uint32_t target = uint32_t(state.range(0));
    BenchConnection sender;
    establish(sender);
    uint32_t posted = 0;
    while (posted < 120)
        postTypical(sender, posted++);
    uint64_t events = 0, packets = 0, bytes = 0;
    for (auto _ : state) {
        PacketStream out(target);
        std::unique_ptr<NetConnection::PacketNotify> notify(sender.allocNotify());
        const uint32_t before = EventConnection::liveNoteCount();
        sender.writePacket(out, notify.get());
        sender.packetDelivered(notify.get());
        const uint32_t written = before - EventConnection::liveNoteCount();
        for (uint32_t k = 0; k < written; ++k)
            postTypical(sender, posted++);
        events += written;
        bytes += out.bytePosition();
        ++packets;
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["events/packet"] = double(events) / double(packets);
    state.counters["bytes/packet"] = double(bytes) / double(packets);
    state.counters["time/event"] =
        benchmark::Counter(double(events), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_WritePacket)->Arg(240)->Arg(1500);

// One packet read, its events created, unpacked and their handlers run. The
// packets cover 1024 ordered events (a multiple of the 128 sequence values),
// so reading them round and round keeps the sequences in step.
void BM_ReadPacket(benchmark::State& state)
{
    const uint32_t target = uint32_t(state.range(0));
    BenchConnection sender, receiver;
    establish(sender);
    establish(receiver);
    std::vector<std::vector<uint8_t>> packets;
    const uint32_t total = 1024;
    for (uint32_t i = 0; i < total; ++i)
        postTypical(sender, i);
    while (sender.isDataToTransmit() && packets.size() < total) {
        PacketStream out(target);
        std::unique_ptr<NetConnection::PacketNotify> notify(sender.allocNotify());
        sender.writePacket(out, notify.get());
        sender.packetDelivered(notify.get());
        packets.emplace_back(out.data(), out.data() + out.bytePosition());
    }
    size_t next = 0;
    for (auto _ : state) {
        std::vector<uint8_t>& p = packets[next];
        next = next + 1 == packets.size() ? 0 : next + 1;
        BitStream in(p.data(), uint32_t(p.size()));
        receiver.readPacket(in);
    }
    if (receiver.errorText())
        state.SkipWithError(receiver.errorText());
    const double perPacket = double(total) / double(packets.size());
    state.counters["events/packet"] = perPacket;
    state.counters["time/event"] = benchmark::Counter(double(state.iterations()) * perPacket,
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    benchmark::DoNotOptimize(receiver.sum);
}
BENCHMARK(BM_ReadPacket)->Arg(240)->Arg(1500);

} // namespace
