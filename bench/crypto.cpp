// Puzzle solving, the hash rate it stands on, and the packet cipher.
//
//   bench_crypto --benchmark_filter=.   (Release build)
#include "net/crypto.h"
#include "base/platform.h"
#include "net/random.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <vector>

using namespace seafold;

namespace {

void seedOnce()
{
    static bool seeded = false;
    if (!seeded) {
        const uint8_t seed[8] = {'b', 'e', 'n', 'c', 'h'};
        Random::setFixedSeed(seed, sizeof seed);
        seeded = true;
    }
}

// One full client solve per iteration, each with fresh nonces, resumed until
// solved exactly as the handshake does. Reports the median and mean solve
// time and the candidates tested per second.
void BM_SolvePuzzle(benchmark::State& state)
{
    seedOnce();
    std::vector<double> times;
    double candidates = 0;
    for (auto _ : state) {
        Nonce c, s;
        c.getRandom();
        s.getRandom();
        uint32_t identity = Random::randomU32();
        uint32_t counter = 0;
        int64_t start = getHighPrecisionTimerValue();
        while (!solvePuzzle(&counter, c, s, uint32_t(state.range(0)), identity)) {
        }
        times.push_back(getHighPrecisionMilliseconds(getHighPrecisionTimerValue() - start));
        candidates += double(counter) + 1;
        benchmark::DoNotOptimize(counter);
    }
    std::sort(times.begin(), times.end());
    state.counters["median_ms"] = times[times.size() / 2];
    state.counters["candidates_per_s"] = benchmark::Counter(candidates, benchmark::Counter::kIsRate);
}
// At each difficulty a server gives as it fills: 17 while less than a
// quarter full, one more per quarter.
BENCHMARK(BM_SolvePuzzle)->Unit(benchmark::kMillisecond)->Iterations(30)->DenseRange(17, 20);

// The solver's raw speed: at difficulty 32 practically nothing passes, so
// every call runs its full 30 ms slice of 50000-candidate blocks.
void BM_SolverRawCandidates(benchmark::State& state)
{
    seedOnce();
    Nonce c, s;
    c.getRandom();
    s.getRandom();
    double candidates = 0;
    for (auto _ : state) {
        uint32_t counter = 0;
        solvePuzzle(&counter, c, s, 32, 1);
        candidates += counter;
    }
    state.counters["candidates_per_s"] = benchmark::Counter(candidates, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SolverRawCandidates)->Unit(benchmark::kMillisecond)->Iterations(30);

// SHA-256 of the 24-byte puzzle input through the library's general hash.
void BM_Sha256PuzzleInput(benchmark::State& state)
{
    seedOnce();
    Nonce c, s;
    c.getRandom();
    s.getRandom();
    uint32_t solution = 0;
    uint8_t digest[32];
    for (auto _ : state) {
        puzzleDigest(digest, solution++, c, s, 7);
        benchmark::DoNotOptimize(digest);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Sha256PuzzleInput);

void BM_CipherEncrypt(benchmark::State& state)
{
    uint8_t key[16] = {1}, iv[16] = {2};
    SymmetricCipher cipher(key, iv);
    std::vector<uint8_t> packet(size_t(state.range(0)), 0x5A);
    for (auto _ : state) {
        cipher.encrypt(packet.data(), packet.data(), uint32_t(packet.size()));
        benchmark::DoNotOptimize(packet.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CipherEncrypt)->Arg(64)->Arg(1500);

void BM_CipherDecrypt(benchmark::State& state)
{
    uint8_t key[16] = {1}, iv[16] = {2};
    SymmetricCipher cipher(key, iv);
    std::vector<uint8_t> packet(size_t(state.range(0)), 0x5A);
    for (auto _ : state) {
        cipher.decrypt(packet.data(), packet.data(), uint32_t(packet.size()));
        benchmark::DoNotOptimize(packet.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CipherDecrypt)->Arg(1500);

} // namespace
