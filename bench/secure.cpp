// What --secure costs. Per packet: sealing and checking alone at the sizes
// the session sends, and a whole data packet and its acknowledgement written
// and read by two connections in memory, plain against sealed. Per
// connection: the key pair, the public-key import and the shared secret a
// handshake adds, and connect-to-Connected over loopback, plain against
// secure (the client puzzle dominates that one).
//
//   bench_secure                      (Release or RelWithDebInfo build)
//   bench_secure --benchmark_filter=Packet
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "net/netinterface.h"
#include "net/random.h"

using namespace seafold;

namespace {

void seedOnce()
{
    static bool seeded = false;
    if (!seeded) {
        const uint8_t seed[6] = {'s', 'e', 'c', 'u', 'r', 'e'};
        Random::setFixedSeed(seed, sizeof seed);
        seeded = true;
    }
}

// The server's key size.
constexpr uint32_t KeySizeBytes = 32;

const uint8_t CipherKey[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                               0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
const uint8_t InitVector[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

// ---- sealing alone ------------------------------------------------------------

// The counter, the digest and the cipher over a packet of state.range(0)
// bytes (5 more on the wire): 12 is an ack, 48 a movement, 240 a full packet
// at the default rate, 1500 the largest.
void BM_Seal(benchmark::State& state)
{
    SymmetricCipher cipher(CipherKey, InitVector);
    const uint32_t size = uint32_t(state.range(0));
    std::vector<uint8_t> packet(size + SealDigestBytes, 0x5A);
    uint32_t sequence = 0;
    for (auto _ : state) {
        BitStream stream(packet.data(), uint32_t(packet.size()));
        stream.setBytePosition(size);
        cipher.setCounter(++sequence, 7, 0, 0);
        appendDigestAndEncrypt(stream, SealDigestBytes, NetConnection::ClearHeaderBytes, &cipher);
        benchmark::DoNotOptimize(packet.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Seal)->Arg(12)->Arg(48)->Arg(240)->Arg(1500);

void BM_Check(benchmark::State& state)
{
    SymmetricCipher cipher(CipherKey, InitVector);
    const uint32_t size = uint32_t(state.range(0));
    std::vector<uint8_t> sealed(size + SealDigestBytes, 0x5A);
    BitStream writer(sealed.data(), uint32_t(sealed.size()));
    writer.setBytePosition(size);
    cipher.setCounter(1, 7, 0, 0);
    appendDigestAndEncrypt(writer, SealDigestBytes, NetConnection::ClearHeaderBytes, &cipher);
    std::vector<uint8_t> packet(sealed.size());
    bool ok = true;
    for (auto _ : state) {
        std::memcpy(packet.data(), sealed.data(), sealed.size());
        BitStream stream(packet.data(), uint32_t(packet.size()));
        cipher.setCounter(1, 7, 0, 0);
        ok = decryptAndVerifyDigest(stream, SealDigestBytes, NetConnection::ClearHeaderBytes, &cipher) && ok;
    }
    if (!ok)
        state.SkipWithError("a sealed packet failed its check");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Check)->Arg(12)->Arg(48)->Arg(240)->Arg(1500);

// A forged packet costs the receiver the same decryption and digest before it
// is turned away: what a flood of spoofed datagrams that pass the window costs.
void BM_CheckForged(benchmark::State& state)
{
    SymmetricCipher cipher(CipherKey, InitVector);
    std::vector<uint8_t> forged(48 + SealDigestBytes, 0xA5), packet(forged.size());
    for (auto _ : state) {
        std::memcpy(packet.data(), forged.data(), forged.size());
        BitStream stream(packet.data(), uint32_t(packet.size()));
        cipher.setCounter(1, 7, 0, 0);
        benchmark::DoNotOptimize(decryptAndVerifyDigest(stream, SealDigestBytes, 3, &cipher));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CheckForged);

// ---- whole packets through two connections --------------------------------------

// Carries state.range(1) payload bytes in every data packet.
class PayloadConnection : public NetConnection {
public:
    uint32_t payloadBytes = 0;
    uint64_t payloadsRead = 0;
    bool isDataToTransmit() const override { return true; }
    void writePacket(BitStream& stream, PacketNotify*) override
    {
        static const uint8_t ZeroFill[1500] = {};
        stream.writeBytes(payloadBytes, ZeroFill);
    }
    void readPacket(BitStream& stream) override
    {
        uint8_t sink[1500];
        if (stream.readBytes(payloadBytes, sink))
            ++payloadsRead;
    }
    void sendAck() { sendAckPacket(); }
};

// The other end of the wire, in memory: each datagram is handed over at once.
class Wire : public ConnectionOwner {
public:
    NetConnection* peer = nullptr;
    uint32_t currentTime() const override { return 1000; }
    void sendTo(const NetAddress&, const BitStream& stream) override
    {
        std::memcpy(mBuffer, stream.data(), stream.bytePosition());
        BitStream received(mBuffer, stream.bytePosition());
        peer->receivePacket(received);
    }
    void startConnect(NetConnection*) override {}
    void disconnect(NetConnection*, uint32_t, const char*) override {}

private:
    uint8_t mBuffer[1500];
};

// One iteration: A writes a data packet, B reads it, B writes an ack packet,
// A reads it. Items are packets (two per iteration). Args: sealed (0 or 1),
// payload bytes.
void BM_PacketExchange(benchmark::State& state)
{
    seedOnce();
    const bool sealed = state.range(0) != 0;
    RefPtr<PayloadConnection> a = new PayloadConnection, b = new PayloadConnection;
    RefPtr<Wire> toB = new Wire, toA = new Wire;
    toB->peer = b;
    toA->peer = a;
    a->setInterface(toB);
    b->setInterface(toA);
    a->setInitialReceiveSequence(b->initialSendSequence());
    b->setInitialReceiveSequence(a->initialSendSequence());
    a->payloadBytes = b->payloadBytes = uint32_t(state.range(1));
    NetConnection::RateInfo large;
    large.maxSendBandwidth = large.maxRecvBandwidth = 65535; // 1500-byte packets at most
    a->setLocalRate(large);
    b->setLocalRate(large);
    if (sealed) {
        a->setSymmetricCipher(new SymmetricCipher(CipherKey, InitVector));
        b->setSymmetricCipher(new SymmetricCipher(CipherKey, InitVector));
    }
    a->setState(Connected);
    b->setState(Connected);
    for (auto _ : state) {
        a->sendStep(true, 1000);
        b->sendAck();
    }
    if (b->payloadsRead != uint64_t(state.iterations()))
        state.SkipWithError("not every packet was read");
    state.SetItemsProcessed(state.iterations() * 2);
    state.counters["wire_bytes_per_data_packet"] =
        double(a->stats().bytesSent) / double(std::max<uint32_t>(a->stats().packetsSent, 1));
}
BENCHMARK(BM_PacketExchange)->ArgsProduct({{0, 1}, {40, 235}})->ArgNames({"sealed", "payload"});

// ---- connect time -----------------------------------------------------------------

// A client makes one key pair per connection; a --secure server one at start.
void BM_KeyPairGeneration(benchmark::State& state)
{
    seedOnce();
    for (auto _ : state) {
        RefPtr<AsymmetricKey> key = new AsymmetricKey(KeySizeBytes);
        if (!key->isValid())
            state.SkipWithError("no key");
    }
}
BENCHMARK(BM_KeyPairGeneration)->Unit(benchmark::kMillisecond);

// Both sides read the other's public key from the wire once per connection.
void BM_PublicKeyImport(benchmark::State& state)
{
    seedOnce();
    RefPtr<AsymmetricKey> key = new AsymmetricKey(KeySizeBytes);
    ByteBuffer* pub = key->publicKey();
    for (auto _ : state) {
        RefPtr<AsymmetricKey> imported = new AsymmetricKey(pub->data(), pub->size());
        if (!imported->isValid())
            state.SkipWithError("import failed");
    }
}
BENCHMARK(BM_PublicKeyImport)->Unit(benchmark::kMillisecond);

// Each side computes the shared secret once per connection.
void BM_SharedSecret(benchmark::State& state)
{
    seedOnce();
    setDebugOutput([](const char*) {}); // the "Timer: secretSubKeyGen" line of every call
    RefPtr<AsymmetricKey> mine = new AsymmetricKey(KeySizeBytes), theirs = new AsymmetricKey(KeySizeBytes);
    RefPtr<AsymmetricKey> theirPublic = new AsymmetricKey(theirs->publicKey()->data(), theirs->publicKey()->size());
    for (auto _ : state) {
        RefPtr<ByteBuffer> secret = mine->computeSharedSecret(theirPublic);
        if (!secret)
            state.SkipWithError("no secret");
    }
    setDebugOutput(nullptr);
}
BENCHMARK(BM_SharedSecret)->Unit(benchmark::kMillisecond);

// The connection class the server makes for each connect request.
class HandshakeConnection : public NetConnection {
    SF_DECLARE_CLASS(HandshakeConnection)
};
SF_IMPLEMENT_NETCONNECTION(HandshakeConnection);

NetAddress loopback()
{
    return NetAddress(IPProtocol, LocalhostAddress, 0); // any free port
}

// From connect to Connected on loopback, the whole handshake with the puzzle
// at its default difficulty, plain (0) or with key exchange (1). The puzzle's
// time varies widely from one connection to the next: compare medians.
void BM_ConnectToConnected(benchmark::State& state)
{
    seedOnce();
    setDebugOutput([](const char*) {});
    const bool secure = state.range(0) != 0;
    RefPtr<NetInterface> server = new NetInterface(loopback());
    if (secure) {
        server->setPrivateKey(new AsymmetricKey(KeySizeBytes));
        server->setRequiresKeyExchange(true);
    }
    for (auto _ : state) {
        RefPtr<NetInterface> client = new NetInterface(loopback());
        client->setRequiresKeyExchange(secure);
        auto start = std::chrono::steady_clock::now();
        RefPtr<NetConnection> connection = new HandshakeConnection;
        connection->connect(client, server->boundAddress(), secure);
        for (int i = 0; i < 100000 && !connection->isEstablished(); ++i) {
            server->receivePackets();
            client->receivePackets();
            server->serviceConnections();
            client->serviceConnections();
        }
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (!connection->isEstablished())
            state.SkipWithError("no connection");
        connection->disconnect("Done");
        server->receivePackets();
    }
    setDebugOutput(nullptr);
}
BENCHMARK(BM_ConnectToConnected)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(41)
    ->ReportAggregatesOnly(true);

} // namespace
