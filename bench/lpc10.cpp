// LPC-10 encode and decode speed, as multiples of real time on one thread,
// beside Debian's spandsp build of the same vocoder measured in the same run.
//
//   bench_lpc10 --benchmark_counters_tabular=true --benchmark_repetitions=10
//               --benchmark_report_aggregates_only=true
//
// "realtime" is seconds of speech handled per second of CPU time. On a
// shared machine read the "best" aggregate: the fastest repetition is the
// one least disturbed by other work.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "voice/lpc10.h"

#if defined(SEAFOLD_HAVE_SPANDSP)
extern "C" {
#include <spandsp.h>
}
#endif

namespace {

using namespace seafold;

// Speech from espeak-ng and sox when they are installed; otherwise a
// synthetic stand-in of voiced vowels (a pulse train through two formant
// resonators), fricative noise and pauses.
const std::vector<int16_t>& benchSpeech()
{
    static std::vector<int16_t> samples;
    if (!samples.empty())
        return samples;
    std::string raw = "/tmp/seafold-bench-lpc10-" + std::to_string(getpid()) + ".raw";
    std::string cmd = "espeak-ng --stdout \"The quick brown fox jumps over the lazy dog. She sells sea "
                      "shells by the sea shore.\" 2>/dev/null | sox -D -R -t wav - -r 8000 -c 1 -b 16 "
                      "-e signed-integer -t raw '" +
                      raw + "' 2>/dev/null";
    if (std::system(cmd.c_str()) == 0) {
        if (FILE* f = std::fopen(raw.c_str(), "rb")) {
            int16_t buf[4096];
            size_t n;
            while ((n = std::fread(buf, 2, 4096, f)) > 0)
                samples.insert(samples.end(), buf, buf + n);
            std::fclose(f);
        }
        std::remove(raw.c_str());
    }
    if (samples.size() < 180 * 100) {
        samples.clear();
        uint32_t seed = 12345;
        double y1 = 0, y2 = 0, z1 = 0, z2 = 0;
        for (int i = 0; i < 8000 * 6; ++i) {
            int phase = (i / 4000) % 3; // vowel, fricative, pause
            seed = seed * 1664525u + 1013904223u;
            double noise = double(int32_t(seed >> 16) - 32768) / 32768.0;
            double x = phase == 0 ? ((i % 64) == 0 ? 8000.0 : 0.0) : phase == 1 ? 1500.0 * noise : 20.0 * noise;
            double a = 1.6 * std::cos(2 * M_PI * 700 / 8000) * 0.95;
            double y = x + a * y1 - 0.9025 * y2;
            y2 = y1;
            y1 = y;
            double b = 1.6 * std::cos(2 * M_PI * 1200 / 8000) * 0.95;
            double z = y + b * z1 - 0.9025 * z2;
            z2 = z1;
            z1 = z;
            samples.push_back(int16_t(std::max(-32768.0, std::min(32767.0, z * 0.05))));
        }
    }
    samples.resize(samples.size() / 180 * 180);
    return samples;
}

// Aggregate over repetitions: the highest value (the best realtime factor).
double best(const std::vector<double>& v)
{
    return *std::max_element(v.begin(), v.end());
}

void reportRealTime(benchmark::State& state, int64_t frames)
{
    state.counters["realtime"] = benchmark::Counter(double(frames) * 0.0225, benchmark::Counter::kIsRate);
    state.SetItemsProcessed(frames);
}

void BM_SeafoldEncode(benchmark::State& state)
{
    const std::vector<int16_t>& speech = benchSpeech();
    size_t frames = speech.size() / 180;
    EncoderState enc;
    uint8_t out[7];
    int64_t done = 0;
    for (auto _ : state) {
        for (size_t f = 0; f < frames; ++f)
            benchmark::DoNotOptimize(encodeLpcFrame(enc, &speech[f * 180], out));
        done += int64_t(frames);
    }
    reportRealTime(state, done);
}
BENCHMARK(BM_SeafoldEncode)->Unit(benchmark::kMillisecond)->ComputeStatistics("best", best);

void BM_SeafoldDecode(benchmark::State& state)
{
    const std::vector<int16_t>& speech = benchSpeech();
    size_t frames = speech.size() / 180;
    std::vector<uint8_t> stream;
    {
        EncoderState enc;
        for (size_t f = 0; f < frames; ++f) {
            uint8_t out[7];
            uint32_t n = encodeLpcFrame(enc, &speech[f * 180], out);
            stream.insert(stream.end(), out, out + n);
        }
    }
    DecoderState dec;
    int16_t pcm[180];
    int64_t done = 0;
    for (auto _ : state) {
        size_t pos = 0;
        while (pos < stream.size()) {
            pos += decodeLpcFrame(&stream[pos], uint32_t(stream.size() - pos), dec, pcm);
            benchmark::DoNotOptimize(pcm);
        }
        done += int64_t(frames);
    }
    reportRealTime(state, done);
}
BENCHMARK(BM_SeafoldDecode)->Unit(benchmark::kMillisecond)->ComputeStatistics("best", best);

#if defined(SEAFOLD_HAVE_SPANDSP)
void BM_SpandspEncode(benchmark::State& state)
{
    const std::vector<int16_t>& speech = benchSpeech();
    size_t frames = speech.size() / 180;
    lpc10_encode_state_t* enc = lpc10_encode_init(nullptr, 0);
    uint8_t out[7];
    int64_t done = 0;
    for (auto _ : state) {
        for (size_t f = 0; f < frames; ++f)
            benchmark::DoNotOptimize(lpc10_encode(enc, out, &speech[f * 180], 180));
        done += int64_t(frames);
    }
    lpc10_encode_free(enc);
    reportRealTime(state, done);
}
BENCHMARK(BM_SpandspEncode)->Unit(benchmark::kMillisecond)->ComputeStatistics("best", best);

void BM_SpandspDecode(benchmark::State& state)
{
    const std::vector<int16_t>& speech = benchSpeech();
    size_t frames = speech.size() / 180;
    std::vector<uint8_t> stream(frames * 7);
    lpc10_encode_state_t* enc = lpc10_encode_init(nullptr, 0);
    lpc10_encode(enc, stream.data(), speech.data(), int(frames * 180));
    lpc10_encode_free(enc);
    lpc10_decode_state_t* dec = lpc10_decode_init(nullptr, 0);
    int16_t pcm[180];
    int64_t done = 0;
    for (auto _ : state) {
        for (size_t f = 0; f < frames; ++f) {
            lpc10_decode(dec, pcm, &stream[f * 7], 7);
            benchmark::DoNotOptimize(pcm);
        }
        done += int64_t(frames);
    }
    lpc10_decode_free(dec);
    reportRealTime(state, done);
}
BENCHMARK(BM_SpandspDecode)->Unit(benchmark::kMillisecond)->ComputeStatistics("best", best);
#endif

} // namespace
