// CPU time of the voice path: one voice tick (100 ms of captured speech
// levelled and encoded), the capture processing of 20 ms, one received message (decoded, and queued on a
// voice stream that plays through the loopback device), and a client
// hearing several people at once (a decoder and a stream each, mixed).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "base/platform.h"
#include "session/clientvoice.h"
#include "session/roster.h"
#include "session/voiceplayback.h"
#include "sound/sound.h"
#include "voice/voicecapture.h"

using namespace seafold;

namespace {

// Speech-like input: a voiced buzz whose pitch and loudness wander, with
// some noise, so that every frame kind appears.
std::vector<int16_t> speechLike(size_t count)
{
    std::vector<int16_t> v(count);
    uint32_t noise = 12345;
    double phase = 0;
    for (size_t i = 0; i < count; ++i) {
        double t = double(i) / 8000.0;
        double pitch = 120 + 40 * std::sin(2 * M_PI * 0.7 * t);
        phase += pitch / 8000.0;
        double voiced =
            std::sin(2 * M_PI * phase) + 0.5 * std::sin(4 * M_PI * phase) + 0.3 * std::sin(10 * M_PI * phase);
        noise = noise * 1103515245u + 12345u;
        double hiss = (double(noise >> 16 & 0x7FFF) / 16384.0 - 1.0);
        double loud = 0.5 + 0.5 * std::sin(2 * M_PI * 1.3 * t);
        v[i] = int16_t(6000 * loud * (voiced + 0.3 * hiss));
    }
    return v;
}

class BenchCapture : public CaptureBackend {
public:
    bool openDevice() override { return true; }
    bool startCapture() override
    {
        resetRing();
        return true;
    }
    uint32_t readPosition() override { return writeOffset(); }
    void stopCapture() override {}
    void feed(const int16_t* samples, uint32_t count) { writeRing(samples, count); }
};

void BM_VoiceTick(benchmark::State& state)
{
    auto owned = std::make_unique<BenchCapture>();
    BenchCapture* capture = owned.get();
    VoiceCapture voice;
    voice.setBackend(std::move(owned));
    size_t bytes = 0;
    voice.setSender([&](const RefPtr<ByteBuffer>& frames) { bytes += frames->size(); });
    voice.start();
    std::vector<int16_t> speech = speechLike(8000 * 10);
    size_t at = 0;
    for (auto _ : state) {
        // 100 ms of new samples per tick, as the main loop delivers them.
        if (at + 800 > speech.size())
            at = 0;
        capture->feed(speech.data() + at, 800);
        at += 800;
        voice.tick();
    }
    state.counters["bytes_per_tick"] = benchmark::Counter(double(bytes) / double(state.iterations()));
    voice.stop();
}
BENCHMARK(BM_VoiceTick)->Unit(benchmark::kMicrosecond);

// The capture processing alone (noise suppression, gain, voice detection and
// the voice-activation gate) on 20 ms of speech at the capture rate: 8000 Hz
// for LPC-10, 16000 Hz for Opus. Its share of a core is the time per
// iteration over 20 ms.
void BM_CaptureProcessing(benchmark::State& state)
{
    const uint32_t rate = uint32_t(state.range(0));
    const uint32_t frame = rate / 1000 * CaptureProcessing::FrameMs;
    // The 8 kHz speech played at the rate asked for: only the load matters.
    std::vector<int16_t> speech = speechLike(rate * 10);
    CaptureProcessing processing(true);
    std::vector<int16_t> out;
    size_t at = 0;
    for (auto _ : state) {
        if (at + frame > speech.size())
            at = 0;
        out.clear();
        processing.process(speech.data() + at, frame, rate, out);
        at += frame;
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["core_share_pct"] =
        benchmark::Counter(double(state.iterations()) * (CaptureProcessing::FrameMs / 1000.0) / 100.0,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_CaptureProcessing)->Arg(8000)->Arg(16000)->Unit(benchmark::kMicrosecond);

// One regular message: 100 ms of speech, 4 or 5 frames.
std::vector<RefPtr<ByteBuffer>> messages()
{
    RefPtr<LPC10VoiceEncoder> encoder = new LPC10VoiceEncoder;
    std::vector<int16_t> speech = speechLike(8000 * 10);
    std::vector<RefPtr<ByteBuffer>> out;
    RefPtr<ByteBuffer> pending = new ByteBuffer(0);
    for (size_t at = 0; at + 800 <= speech.size(); at += 800) {
        uint32_t old = pending->size();
        pending->resize(old + 1600);
        for (size_t i = 0; i < 800; ++i) {
            pending->data()[old + 2 * i] = uint8_t(uint16_t(speech[at + i]));
            pending->data()[old + 2 * i + 1] = uint8_t(uint16_t(speech[at + i]) >> 8);
        }
        RefPtr<ByteBuffer> frames = encoder->encodeBuffer(pending);
        if (frames)
            out.push_back(frames);
    }
    return out;
}

void BM_DecodeOneMessage(benchmark::State& state)
{
    std::vector<RefPtr<ByteBuffer>> all = messages();
    RefPtr<LPC10VoiceDecoder> decoder = new LPC10VoiceDecoder;
    size_t i = 0, bytes = 0;
    for (auto _ : state) {
        const ByteBuffer* message = all[i++ % all.size()];
        bytes += message->size();
        RefPtr<ByteBuffer> samples = decoder->decodeBuffer(message);
        benchmark::DoNotOptimize(samples->data());
    }
    state.counters["bytes_per_message"] = benchmark::Counter(double(bytes) / double(state.iterations()));
}
BENCHMARK(BM_DecodeOneMessage)->Unit(benchmark::kMicrosecond);

// Sound on OpenAL's loopback device (at `rate`, or its default), without
// effects: voice needs none. Skips the benchmark when there is no device.
bool initLoopbackSound(SoundPool& sound, benchmark::State& state, uint32_t rate = 0)
{
    SoundSetup setup;
    setup.loopback = true;
    if (rate)
        setup.loopbackRate = rate;
    setup.sfxDirectory = "/nonexistent";
    setDebugOutput([](const char*) {});
    bool ready = sound.init(setup);
    setDebugOutput(nullptr);
    if (!ready)
        state.SkipWithError("no loopback device");
    return ready;
}

// `count` users in `roster`, by name.
std::vector<std::string> rosterOf(Roster& roster, int count)
{
    std::vector<std::string> names;
    for (int s = 0; s < count; ++s) {
        names.push_back("speaker " + std::to_string(s));
        roster.append(names.back(), nullptr);
    }
    return names;
}

// Decode, queue on the stream and one sound pass, with the loopback device
// mixing the message's 100 ms (the mixing is included).
void BM_ReceiveAndPlayOneMessage(benchmark::State& state)
{
    SoundPool sound;
    if (!initLoopbackSound(sound, state))
        return;
    std::vector<RefPtr<ByteBuffer>> all = messages();
    RefPtr<LPC10VoiceDecoder> decoder = new LPC10VoiceDecoder;
    RefPtr<SFXObject> stream = new SFXObject(&sound, nullptr, 1.0f, 0, 0);
    std::vector<int16_t> mixed(8000);
    size_t i = 0;
    for (auto _ : state) {
        const ByteBuffer* message = all[i++ % all.size()];
        RefPtr<ByteBuffer> samples = decoder->decodeBuffer(message);
        stream->queueVoiceSamples(samples);
        sound.update();
        sound.renderSamples(mixed.data(), std::min<uint32_t>(8000, samples->size() / 2));
    }
    sound.close();
}
BENCHMARK(BM_ReceiveAndPlayOneMessage)->Unit(benchmark::kMicrosecond);

// A client hearing `speakers` people talk at once: each 100 ms round, one
// message of each is decoded by that speaker's decoder and queued on that
// speaker's stream, one sound pass runs, and the loopback device mixes the
// round's 100 ms at the mixer's own rate. core_share: seconds of processor
// time per second of those voices, the share of one core they take.
void BM_HearSpeakersAtOnce(benchmark::State& state)
{
    const uint32_t mixerRate = 11025;
    SoundPool sound;
    if (!initLoopbackSound(sound, state, mixerRate))
        return;
    const int speakers = int(state.range(0));
    std::vector<RefPtr<ByteBuffer>> all = messages();
    Roster roster;
    SpeakerVoices voices(&sound);
    std::vector<std::string> names = rosterOf(roster, speakers);
    uint32_t now = 1000;
    sound.setClock([&] { return now; });
    std::vector<int16_t> mixed(mixerRate / 10);
    size_t round = 0;
    for (auto _ : state) {
        for (int s = 0; s < speakers; ++s)
            voices.play(names[size_t(s)], all[(round + size_t(s) * 7) % all.size()], roster);
        sound.update();
        sound.renderSamples(mixed.data(), uint32_t(mixed.size()));
        now += 100;
        ++round;
    }
    state.counters["core_share"] =
        benchmark::Counter(double(state.iterations()) * 0.1, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    voices.clear();
    sound.close();
}
BENCHMARK(BM_HearSpeakersAtOnce)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMicrosecond);

// One 20 ms frame period of a Seafold peer's voice: the voice tick in Opus
// mode (capture read, the capture processing's noise suppression, gain and
// voice detection, levelling, one encode at the default link's bitrate)
// and four speakers heard (each frame through its speaker's jitter buffer,
// decoded and queued on its stream), one sound pass and the loopback
// device mixing the 20 ms. core_share: processor seconds per second of it.
void BM_OpusFramePeriod(benchmark::State& state)
{
    SoundPool sound;
    if (!initLoopbackSound(sound, state, OpusSampleRate))
        return;
    auto owned = std::make_unique<BenchCapture>();
    BenchCapture* capture = owned.get();
    VoiceCapture voice;
    voice.setBackend(std::move(owned));
    voice.setProcessing(std::make_unique<CaptureProcessing>());
    RefPtr<OpusFramedEncoder> encoder = new OpusFramedEncoder(opusBitrateForLink(2500));
    voice.setModeChooser([&] {
        VoiceMode mode;
        mode.codec = VoiceCodecId::Opus;
        mode.encoder = encoder.get();
        mode.sampleRate = OpusSampleRate;
        mode.levelPeak = OpusLevelPeak;
        mode.firstTickMs = mode.tickPeriodMs = OpusFrameMs;
        mode.keepCadence = true;
        return mode;
    });
    std::vector<RefPtr<ByteBuffer>> sent;
    voice.setSender([&](const RefPtr<ByteBuffer>& frames) { sent.push_back(frames); });
    voice.start();
    // Ten seconds of speech at 16 kHz, and the frames four speakers say.
    std::vector<int16_t> narrow = speechLike(8000 * 10), speech(narrow.size() * 2);
    for (size_t i = 0; i < speech.size(); ++i)
        speech[i] = narrow[i / 2];
    std::vector<RefPtr<ByteBuffer>> frames;
    {
        OpusFramedEncoder other(opusBitrateForLink(2500));
        for (size_t at = 0; at + OpusFrameSamples <= speech.size(); at += OpusFrameSamples) {
            RefPtr<ByteBuffer> pcm = new ByteBuffer(OpusFrameSamples * 2);
            std::memcpy(pcm->data(), &speech[at], OpusFrameSamples * 2);
            frames.push_back(other.encodeBuffer(pcm));
        }
    }
    Roster roster;
    SpeakerVoices voices(&sound);
    const int speakers = 4;
    std::vector<std::string> names = rosterOf(roster, speakers);
    uint32_t now = 1000;
    sound.setClock([&] { return now; });
    std::vector<int16_t> mixed(OpusFrameSamples);
    size_t at = 0, k = 0;
    std::vector<OpusFrameView> split;
    for (auto _ : state) {
        if (at + OpusFrameSamples > speech.size())
            at = 0;
        capture->feed(speech.data() + at, OpusFrameSamples);
        at += OpusFrameSamples;
        voice.tick();
        for (int s = 0; s < speakers; ++s) {
            split.clear();
            splitVoiceFrames(frames[(k + size_t(s) * 37) % frames.size()], split);
            voices.playFrames(names[size_t(s)], uint32_t(k), false, split, roster);
        }
        voices.service(now);
        sound.update();
        sound.renderSamples(mixed.data(), uint32_t(mixed.size()));
        now += OpusFrameMs;
        ++k;
        if (sent.size() > 64)
            sent.clear();
    }
    state.counters["core_share"] = benchmark::Counter(double(state.iterations()) * OpusFrameMs / 1000.0,
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    voice.stop();
    voices.clear();
    sound.close();
}
BENCHMARK(BM_OpusFramePeriod)->Unit(benchmark::kMicrosecond);

} // namespace
