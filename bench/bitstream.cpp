// Bit stream and text coding throughput.
//
// Mixed writes and reads follow the shape of a data packet: flags, small
// widths, ranged values, doubles, a few bytes. Texts are the short names a
// session sends: user names and model names.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "net/bitstream.h"
#include "net/huffman.h"
#include "net/socket.h"

using namespace seafold;

namespace {

// One packet-like record: 1 + 5 + 10 + 7 + 64 + 32 + 128 + 3 = 250 bits.
inline void writeRecord(BitStream& s, uint32_t i, const uint8_t* payload)
{
    s.writeFlag(i & 1);
    s.writeUnsigned(i & 31, 5);
    s.writeUnsigned(i & 1023, 10);
    s.writeRanged(i % 100, 0, 99);
    s.writeF64(double(i) * 0.5);
    s.writeU32(i * 2654435761u);
    s.writeBytes(16, payload);
    s.writeUnsigned(i & 7, 3);
}
constexpr uint32_t RecordBits = 250;
constexpr uint32_t RecordsPerPacket = (1400 * 8) / RecordBits;

inline uint32_t readRecord(BitStream& s, uint8_t* payload)
{
    uint32_t sum = s.readFlag();
    sum += s.readUnsigned(5);
    sum += s.readUnsigned(10);
    sum += s.readRanged(0, 99);
    sum += uint32_t(s.readF64());
    sum += s.readU32();
    s.readBytes(16, payload);
    sum += s.readUnsigned(3);
    return sum;
}

void BM_BitStreamMixedWrite(benchmark::State& state)
{
    PacketStream packet;
    uint8_t payload[16];
    std::memset(payload, 0x3C, sizeof payload);
    uint64_t bits = 0;
    for (auto _ : state) {
        packet.resetStream();
        for (uint32_t i = 0; i < RecordsPerPacket; ++i)
            writeRecord(packet, i, payload);
        bits += packet.bitPosition();
        benchmark::DoNotOptimize(packet.data());
    }
    state.SetBytesProcessed(int64_t(bits / 8));
    state.counters["bits/s"] = benchmark::Counter(double(bits), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BitStreamMixedWrite);

void BM_BitStreamMixedRead(benchmark::State& state)
{
    PacketStream packet;
    uint8_t payload[16] = {};
    for (uint32_t i = 0; i < RecordsPerPacket; ++i)
        writeRecord(packet, i, payload);
    uint64_t bits = 0;
    uint32_t sum = 0;
    for (auto _ : state) {
        packet.setBitPosition(0);
        for (uint32_t i = 0; i < RecordsPerPacket; ++i)
            sum += readRecord(packet, payload);
        bits += packet.bitPosition();
    }
    benchmark::DoNotOptimize(sum);
    state.SetBytesProcessed(int64_t(bits / 8));
    state.counters["bits/s"] = benchmark::Counter(double(bits), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BitStreamMixedRead);

// Bulk bytes at an odd bit offset (the word-wise copy) and on a byte
// boundary (plain memcpy). Argument: bytes per copy.
void BM_BitStreamBulkCopy(benchmark::State& state, uint32_t bitOffset)
{
    uint32_t count = uint32_t(state.range(0));
    std::vector<uint8_t> source(count, 0xA7), back(count);
    std::vector<uint8_t> storage(count + 8);
    BitStream stream(storage.data(), uint32_t(storage.size()));
    for (auto _ : state) {
        stream.setBitPosition(bitOffset);
        stream.writeBytes(count, source.data());
        stream.setBitPosition(bitOffset);
        stream.readBytes(count, back.data());
        benchmark::DoNotOptimize(back.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * count * 2);
}
BENCHMARK_CAPTURE(BM_BitStreamBulkCopy, unaligned, 3)->Arg(64)->Arg(1024);
BENCHMARK_CAPTURE(BM_BitStreamBulkCopy, aligned, 0)->Arg(64)->Arg(1024);

const char* const gNames[] = {"alice",      "bob",           "charlie",      "fishingboat.mesh",
                              "razor.mesh", "ogrehead.mesh", "Captain_Nemo", "athene.mesh"};
constexpr uint32_t NameCount = sizeof gNames / sizeof gNames[0];

void BM_HuffmanEncode(benchmark::State& state)
{
    HuffmanTextCoder& coder = HuffmanTextCoder::instance();
    PacketStream packet;
    for (auto _ : state) {
        packet.resetStream();
        for (uint32_t i = 0; i < NameCount; ++i)
            coder.encodeText(packet, gNames[i]);
        benchmark::DoNotOptimize(packet.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * NameCount);
}
BENCHMARK(BM_HuffmanEncode);

void BM_HuffmanDecode(benchmark::State& state)
{
    HuffmanTextCoder& coder = HuffmanTextCoder::instance();
    PacketStream packet;
    for (uint32_t i = 0; i < NameCount; ++i)
        coder.encodeText(packet, gNames[i]);
    char text[256];
    for (auto _ : state) {
        packet.setBitPosition(0);
        for (uint32_t i = 0; i < NameCount; ++i)
            coder.decodeText(packet, text);
        benchmark::DoNotOptimize(text);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * NameCount);
}
BENCHMARK(BM_HuffmanDecode);

// Texts through the stream with prefix sharing, as a roster update sends
// them: "fishingboat.mesh" then "fishingboat.material" and so on.
void BM_TextWriteReadShared(benchmark::State& state)
{
    const char* const texts[] = {
        "fishingboat.mesh", "fishingboat.material", "razor.mesh", "razor.skeleton", "alice", "alicia"};
    constexpr uint32_t count = sizeof texts / sizeof texts[0];
    PacketStream packet;
    char text[256];
    for (auto _ : state) {
        packet.resetStream();
        for (uint32_t i = 0; i < count; ++i)
            packet.writeText(texts[i]);
        packet.setBitPosition(0);
        packet.setTextMemory("");
        for (uint32_t i = 0; i < count; ++i)
            packet.readText(text);
        benchmark::DoNotOptimize(text);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * count);
}
BENCHMARK(BM_TextWriteReadShared);

} // namespace
