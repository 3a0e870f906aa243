// Opus, the playout buffer and the cleaning of captured sound, on signals
// made here: tones, a synthetic vowel and seeded noise.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "testsignals.h"
#include "voice/jitterbuffer.h"
#include "voice/opuscodec.h"
#include "voice/voiceprocessing.h"

using namespace seafold;
using namespace seafold::testsignals;

namespace {

std::vector<int16_t> throughOpus(const std::vector<int16_t>& input, uint32_t bitrate, double loss, uint32_t seed,
                                 std::vector<bool>* lostFrames = nullptr)
{
    OpusVoiceEncoder encoder(bitrate);
    OpusVoiceDecoder decoder;
    EXPECT_TRUE(encoder.valid());
    EXPECT_TRUE(decoder.valid());
    std::vector<std::vector<uint8_t>> packets;
    for (size_t at = 0; at + OpusFrameSamples <= input.size(); at += OpusFrameSamples)
        packets.push_back(encoder.encodeFrame(input.data() + at));
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> draw(0, 1);
    std::vector<bool> lost(packets.size());
    for (size_t i = 1; i < packets.size(); ++i)
        lost[i] = draw(random) < loss;
    if (lostFrames)
        *lostFrames = lost;
    std::vector<int16_t> output;
    std::vector<int16_t> frame(OpusMaxDecodedSamples);
    for (size_t i = 0; i < packets.size(); ++i) {
        uint32_t count;
        if (!lost[i])
            count = decoder.decode(packets[i].data(), packets[i].size(), frame.data());
        else if (i + 1 < packets.size() && !lost[i + 1])
            count = decoder.conceal(frame.data(), packets[i + 1].data(), packets[i + 1].size());
        else
            count = decoder.conceal(frame.data());
        output.insert(output.end(), frame.begin(), frame.begin() + count);
    }
    return output;
}

} // namespace

TEST(OpusVoice, BitrateFollowsTheLinkWithinItsBounds)
{
    struct Case {
        uint32_t bytesPerSecond, bitrate;
    } cases[] = {{0, OpusMinBitrate}, {1000, OpusMinBitrate}, {2500, 8000}, {3000, 9600}, {65535, OpusMaxBitrate}};
    for (const auto& c : cases)
        EXPECT_EQ(opusBitrateForLink(c.bytesPerSecond), c.bitrate) << c.bytesPerSecond;
}

TEST(OpusVoice, TonesKeepTheirPitchAndLevel)
{
    struct Case {
        double hz;
        uint32_t bitrate;
    } cases[] = {{220, 8000}, {440, 8000}, {1000, 8000}, {440, 24000}, {3000, 24000}};
    for (const auto& c : cases) {
        const auto input = tone(c.hz, OpusSampleRate, 1.0, 8000);
        const auto output = throughOpus(input, c.bitrate, 0, 1);
        ASSERT_EQ(output.size(), input.size() / OpusFrameSamples * OpusFrameSamples);
        // Past the codec's start-up, over whole frames.
        const size_t from = OpusSampleRate / 5, to = output.size() - OpusFrameSamples;
        EXPECT_NEAR(zeroCrossingHz(output, from, to, OpusSampleRate), c.hz, c.hz * 0.02) << c.hz << " Hz";
        const double gainDb = 20 * std::log10(rms(output, from, to) / rms(input, from, to));
        EXPECT_NEAR(gainDb, 0.0, 2.0) << c.hz << " Hz at " << c.bitrate;
    }
}

TEST(OpusVoice, AVowelKeepsItsLevelAndItsPitchPeriod)
{
    const auto input = vowel(OpusSampleRate, 1.0, 10000);
    const auto output = throughOpus(input, 8000, 0, 1);
    const size_t from = OpusSampleRate / 5, to = output.size() - OpusFrameSamples;
    EXPECT_NEAR(20 * std::log10(rms(output, from, to) / rms(input, from, to)), 0.0, 3.0);
    // The strongest repetition between 4 and 12 ms is the 120 Hz period.
    size_t bestLag = 0;
    double best = -1;
    for (size_t lag = OpusSampleRate / 250; lag <= OpusSampleRate / 83; ++lag) {
        double sum = 0;
        for (size_t i = from; i + lag < to; ++i)
            sum += double(output[i]) * output[i + lag];
        if (sum > best) {
            best = sum;
            bestLag = lag;
        }
    }
    EXPECT_NEAR(double(OpusSampleRate) / double(bestLag), 120.0, 3.0);
}

TEST(OpusVoice, LostFramesAreConcealedWithoutGaps)
{
    const auto input = tone(440, OpusSampleRate, 3.0, 8000);
    std::vector<bool> lost;
    const auto output = throughOpus(input, 8000, 0.10, 7, &lost);
    const double level = rms(input, 0, input.size());
    // Nothing falls silent where packets were lost: a single lost frame
    // (the next one there for its copy) stays within 12 dB, and most
    // frames within 6 dB. A run of losses fades, as concealment should,
    // rather than repeat a guess for long.
    size_t frames = 0, weak = 0, single = 0;
    for (size_t i = 10; (i + 1) * OpusFrameSamples <= output.size(); ++i) {
        const double frameLevel = rms(output.data() + i * OpusFrameSamples, OpusFrameSamples);
        ASSERT_GT(frameLevel, level * 0.05) << "frame " << i;
        ++frames;
        weak += frameLevel < level * 0.5;
        if (lost[i] && !lost[i - 1] && i + 1 < lost.size() && !lost[i + 1]) {
            ++single;
            EXPECT_GT(frameLevel, level * 0.25) << "frame " << i;
        }
    }
    EXPECT_GE(single, 3u);
    EXPECT_LE(weak, frames / 5);
}

TEST(OpusVoice, DamagedPacketsAreConcealedNotTrusted)
{
    OpusVoiceDecoder decoder;
    std::vector<int16_t> out(OpusMaxDecodedSamples);
    const uint8_t junk[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    EXPECT_EQ(decoder.decode(junk, sizeof junk, out.data()), uint32_t(OpusFrameSamples));
    EXPECT_EQ(decoder.decode(nullptr, 0, out.data()), uint32_t(OpusFrameSamples));
    std::vector<uint8_t> huge(100000, 0x11);
    EXPECT_EQ(decoder.decode(huge.data(), huge.size(), out.data()), uint32_t(OpusFrameSamples));
}

// ---- playout buffer -------------------------------------------------------------------

namespace {

struct Arrival {
    uint32_t atMs;
    uint16_t sequence;
    bool last = false;
};

struct Playout {
    std::vector<JitterBuffer::Action> actions;
    std::vector<uint16_t> played;
    std::vector<uint32_t> targets;
};

// Runs the buffer on a 1 ms clock until `untilMs`: arrivals at their times,
// a pop every frame period from `firstPopMs`.
Playout run(JitterBuffer& buffer, std::vector<Arrival> arrivals, uint32_t untilMs, uint32_t firstPopMs = 0)
{
    std::stable_sort(arrivals.begin(), arrivals.end(),
                     [](const Arrival& a, const Arrival& b) { return a.atMs < b.atMs; });
    Playout playout;
    size_t next = 0;
    for (uint32_t now = 0; now <= untilMs; ++now) {
        for (; next < arrivals.size() && arrivals[next].atMs <= now; ++next) {
            const uint16_t s = arrivals[next].sequence;
            buffer.push(s, {uint8_t(s), uint8_t(s >> 8)}, now, arrivals[next].last);
        }
        if (now >= firstPopMs && (now - firstPopMs) % 20 == 0) {
            auto out = buffer.pop(now);
            playout.actions.push_back(out.action);
            if (out.action == JitterBuffer::Action::Play)
                playout.played.push_back(uint16_t(out.frame[0] | out.frame[1] << 8));
            playout.targets.push_back(buffer.targetMs());
        }
    }
    return playout;
}

// A speaker's frames 0 .. count-1 sent in packets of `perPacket` frames
// every perPacket * 20 ms, each packet delayed by 5 ms plus up to
// `jitterMs`.
std::vector<Arrival> packets(uint16_t first, uint32_t count, uint32_t perPacket, uint32_t jitterMs, uint32_t seed,
                             uint32_t startMs = 0)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<uint32_t> jitter(0, jitterMs);
    std::vector<Arrival> out;
    for (uint32_t i = 0; i < count; i += perPacket) {
        const uint32_t sentMs = startMs + (i + perPacket) * 20; // once its last frame is captured
        const uint32_t at = sentMs + 5 + jitter(random);
        for (uint32_t k = i; k < std::min(count, i + perPacket); ++k)
            out.push_back({at, uint16_t(first + k), k + 1 == count});
    }
    return out;
}

} // namespace

TEST(JitterBuffer, TargetFollowsTheArrivalSpreadAndStaysWithinItsBounds)
{
    struct Case {
        uint32_t perPacket, jitterMs;
        uint32_t lowestMs, highestMs; // where the target settles
    } cases[] = {
        {1, 0, 5, 5},       // every frame on time: the floor, a quarter of a frame
        {1, 20, 15, 45},    // a little jitter: its spread
        {5, 0, 80, 100},    // bunches of five: the bunch's spread
        {5, 20, 80, 125},   // bunches and jitter
        {5, 400, 200, 200}, // more than the buffer may hold: the maximum
    };
    for (const auto& c : cases) {
        JitterBuffer buffer(20, 200);
        auto playout = run(buffer, packets(0, 250, c.perPacket, c.jitterMs, 3), 6000);
        EXPECT_GE(buffer.targetMs(), c.lowestMs) << c.perPacket << " per packet, jitter " << c.jitterMs;
        EXPECT_LE(buffer.targetMs(), c.highestMs) << c.perPacket << " per packet, jitter " << c.jitterMs;
    }
}

TEST(JitterBuffer, BunchedAndJitteryArrivalsPlayInOrderWithoutUnderruns)
{
    JitterBuffer buffer(20, 200);
    auto arrivals = packets(65500, 300, 5, 20, 11); // the numbers wrap past 65535
    auto playout = run(buffer, arrivals, 8000);
    ASSERT_EQ(playout.played.size(), 300u);
    for (size_t i = 0; i < playout.played.size(); ++i)
        ASSERT_EQ(playout.played[i], uint16_t(65500 + i));
    // It learns the jitter from the arrivals: at most one starved period
    // before it has seen enough of them, and nothing lost.
    EXPECT_LE(buffer.stats().underruns, 1u);
    EXPECT_EQ(buffer.stats().late, 0u);
}

TEST(JitterBuffer, MissingFramesAreConcealedFromTheNextWhenItIsThere)
{
    JitterBuffer buffer(20, 200);
    auto arrivals = packets(0, 200, 1, 2, 5);
    // Lose 10: 20 alone (21 is there, so from the next), 50 and 51 together.
    arrivals.erase(
        std::remove_if(arrivals.begin(), arrivals.end(),
                       [](const Arrival& a) { return a.sequence == 20 || a.sequence == 50 || a.sequence == 51; }),
        arrivals.end());
    auto playout = run(buffer, arrivals, 5000);
    // Every frame that came is played, but for at most one: a buffer held
    // a quarter of a frame deep first takes two frames lost together for
    // lateness, and the period it filled while waiting is drained again.
    EXPECT_LE(buffer.stats().drained, 1u);
    EXPECT_EQ(playout.played.size() + buffer.stats().drained, 197u);
    EXPECT_EQ(buffer.stats().late, 0u);
    // Each lost frame is made up once. A frame whose turn comes before any
    // later one arrived cannot be told from a late one: that period is
    // filled while it is still awaited (an underrun), and counted too.
    EXPECT_EQ(buffer.stats().concealed, 3u + buffer.stats().underruns);
    const auto fromNext =
        std::count(playout.actions.begin(), playout.actions.end(), JitterBuffer::Action::ConcealFromNext);
    EXPECT_GE(fromNext, 1); // 20 from 21 at least
}

TEST(JitterBuffer, LateAndDuplicateFramesAreDroppedAndCounted)
{
    JitterBuffer buffer(20, 200);
    auto arrivals = packets(0, 100, 1, 0, 1);
    arrivals.erase(arrivals.begin() + 10);
    arrivals.push_back({700, 10}); // long after its turn, which was concealed
    arrivals.push_back({700, 30}); // again after its turn (as a sender repeats a frame)
    arrivals.push_back({830, 40}); // again, before its turn (it came at 825)
    auto playout = run(buffer, arrivals, 3000);
    EXPECT_EQ(playout.played.size(), 99u);
    EXPECT_EQ(buffer.stats().late, 1u);
    EXPECT_EQ(buffer.stats().duplicates, 2u);
}

TEST(JitterBuffer, ABacklogAfterAStallDrainsBackToTheTarget)
{
    JitterBuffer buffer(20, 200);
    // The link stalls for 1.6 s from frame 100 on; then all that queued
    // up behind it comes at once.
    std::vector<Arrival> arrivals;
    for (uint32_t k = 0; k < 400; ++k)
        arrivals.push_back({k >= 100 && k < 180 ? 180 * 20 + 5 : k * 20 + 25, uint16_t(k), k == 399});
    auto playout = run(buffer, arrivals, 9000);
    EXPECT_GE(buffer.stats().underruns, 1u); // it ran dry during the stall
    EXPECT_EQ(buffer.stats().late, 0u);
    // The backlog is skipped, not played out late: well over half of it.
    EXPECT_GE(buffer.stats().drained, 40u);
    EXPECT_EQ(playout.played.size() + buffer.stats().drained, 400u);
    EXPECT_EQ(playout.played.back(), 399);
}

TEST(JitterBuffer, ASpurtsEndIsNoUnderrunAndTheNextSpurtPlays)
{
    JitterBuffer buffer(20, 200);
    // Frames 0..49, a 2 s pause (the numbers go on counting the periods),
    // then 150..199.
    auto arrivals = packets(0, 50, 5, 10, 2);
    auto second = packets(150, 50, 5, 10, 4, 3000);
    arrivals.insert(arrivals.end(), second.begin(), second.end());
    auto playout = run(buffer, arrivals, 6000);
    EXPECT_EQ(playout.played.size(), 100u);
    EXPECT_EQ(buffer.stats().underruns, 0u);
    EXPECT_EQ(buffer.stats().concealed, 0u);
    EXPECT_FALSE(buffer.playing());
}

TEST(JitterBuffer, ARestartedNumberingIsNotTakenForLateFrames)
{
    JitterBuffer buffer(20, 200);
    auto arrivals = packets(30000, 50, 1, 0, 1);
    auto again = packets(0, 50, 1, 0, 1, 2000);
    arrivals.insert(arrivals.end(), again.begin(), again.end());
    auto playout = run(buffer, arrivals, 4000);
    EXPECT_EQ(playout.played.size(), 100u);
    EXPECT_EQ(buffer.stats().late, 0u);
}

// A frame is placed by when its datagram arrived, which may be before the
// last pop when a busy pass handles it late. Such a stamp must not move the
// buffer's clock: counted from the earlier stamp, every period would run a
// little fast, each frame would seem to take longer on the way than the
// one before, and the target would grow with that false spread.
TEST(JitterBuffer, ArrivalsStampedBeforeTheLastPopLeaveTheClockAlone)
{
    JitterBuffer buffer(20, 200);
    uint32_t played = 0;
    for (uint32_t k = 0; k < 300; ++k) {
        buffer.pop(k * 20 + 5); // the pass that pops comes first ...
        buffer.push(uint16_t(k), {uint8_t(k)}, k * 20 + 2); // ... then handles what came 3 ms before it
        played = buffer.stats().played;
    }
    EXPECT_LT(buffer.targetMs(), 20u);
    EXPECT_EQ(buffer.stats().late, 0u);
    EXPECT_GE(played, 297u);
}

// Running dry (a frame that comes late) is answered by the measured spread;
// only a loss (later frames here, this one not) holds the target at two
// frames, so that the next frame's copy of a lost one comes in time.
TEST(JitterBuffer, OnlyALossRaisesTheTargetToTwoFrames)
{
    struct Case {
        const char* name;
        uint16_t odd;    // the frame that comes late or never
        uint32_t oddAt;  // when it comes (0: never)
        bool twoFrames;  // the target afterwards
    } cases[] = {
        {"one frame late", 50, 50 * 20 + 60, false},
        {"one frame lost", 50, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        JitterBuffer buffer(20, 200);
        std::vector<Arrival> arrivals;
        for (uint32_t k = 0; k < 80; ++k) {
            if (k != c.odd)
                arrivals.push_back({k * 20 + 25, uint16_t(k)});
            else if (c.oddAt)
                arrivals.push_back({c.oddAt, uint16_t(k)});
        }
        run(buffer, arrivals, 80 * 20 + 10);
        EXPECT_GE(buffer.stats().concealed, 1u);
        if (c.twoFrames)
            EXPECT_GE(buffer.targetMs(), 40u);
        else
            EXPECT_LT(buffer.targetMs(), 20u);
    }
}

// A sender driven faster than real time (three frames every period, for a
// minute) grows neither the buffer nor the delay: beyond the target and a
// few frames the oldest go.
TEST(JitterBuffer, FramesFasterThanRealTimeAreCappedAtTheTargetAndAFewFrames)
{
    JitterBuffer buffer(20, 200);
    std::vector<Arrival> arrivals;
    for (uint32_t k = 0; k < 9000; ++k)
        arrivals.push_back({k / 3 * 20, uint16_t(k)});
    uint32_t most = 0;
    size_t next = 0;
    for (uint32_t now = 0; now <= 60000; now += 20) {
        for (; next < arrivals.size() && arrivals[next].atMs <= now; ++next)
            buffer.push(arrivals[next].sequence, {1}, now);
        buffer.pop(now);
        most = std::max(most, buffer.bufferedMs());
    }
    EXPECT_LE(most, 200u + 20u * JitterBuffer::MaxFramesOverTarget);
    EXPECT_GT(buffer.stats().drained, 5000u);
}

// ---- captured sound --------------------------------------------------------------------

TEST(VoiceActivation, OpensOnARunOfSpeechAndHoldsOverPauses)
{
    struct Case {
        const char* frames; // s = speech, - = not
        const char* open;   // expected state after each frame
    } cases[] = {
        {"s-s-s-", "------"}, // scattered clicks never open it
        {"sss---", "--oooo"}, // three in a row open it
        {"sss"
         "----------------------",
         "--o"
         "oooooooooooooooooooo--"}, // 400 ms hangover, then shut
        {"sss----------s---------", "--o"
                                    "oooooooooooooooooooo"}, // speech in the hangover keeps it open
    };
    for (const auto& c : cases) {
        VoiceActivation activation(20);
        std::string got;
        for (const char* f = c.frames; *f; ++f)
            got += activation.update(*f == 's') ? 'o' : '-';
        EXPECT_EQ(got, c.open) << c.frames;
    }
}

TEST(VoicePreprocessor, RemovesStationaryNoiseFromAVowel)
{
    // At both capture rates: 8 kHz for LPC-10, 16 kHz for Opus; 20 ms frames.
    for (const uint32_t rate : {8000u, uint32_t(OpusSampleRate)}) {
        const uint32_t frame = rate / 50;
        // 2 s of noise alone, then 1 s of vowel in the same noise, then 1 s of noise.
        auto input = noise(rate * 4, 1000, 9);
        const auto voice = vowel(rate, 1.0, 8000);
        for (size_t i = 0; i < voice.size(); ++i)
            input[2 * rate + i] = int16_t(std::clamp(input[2 * rate + i] + voice[i], -32768, 32767));
        VoicePreprocessor::Settings settings;
        settings.automaticGain = false; // levels as they are, so the two SNRs compare
        VoicePreprocessor preprocessor(rate, frame, settings);
        ASSERT_TRUE(preprocessor.valid());
        auto output = input;
        for (size_t at = 0; at + frame <= output.size(); at += frame)
            preprocessor.process(output.data() + at);
        auto snrDb = [&](const std::vector<int16_t>& s) {
            const double speech = rms(s, 2 * rate + rate / 10, 3 * rate);
            const double quiet = rms(s, 3 * rate + rate / 2, 4 * rate);
            return 20 * std::log10(speech / std::max(quiet, 1.0));
        };
        const double gain = snrDb(output) - snrDb(input);
        RecordProperty("snr_gain_db_" + std::to_string(rate), std::to_string(gain));
        std::printf("preprocessor SNR at %u Hz: %.1f dB -> %.1f dB (gain %.1f dB)\n", rate, snrDb(input), snrDb(output),
                    gain);
        EXPECT_GT(gain, 10.0) << rate;
        // The vowel itself keeps most of its level.
        EXPECT_GT(rms(output, 2 * rate + rate / 10, 3 * rate), 0.5 * rms(voice, rate / 10, rate)) << rate;
    }
}

// A held vowel is speech however long it is held: cleaned in 10 ms blocks,
// the noise suppressor learnt one as noise and cut it by 30 dB within a
// second and a half.
TEST(VoicePreprocessor, AHeldVowelIsNotLearntAsNoise)
{
    const uint32_t rate = OpusSampleRate;
    std::vector<int16_t> input(rate / 2, 0);
    const auto voice = vowel(rate, 4.0, 20000, 20);
    input.insert(input.end(), voice.begin(), voice.end());
    CaptureProcessing processing(false);
    std::vector<int16_t> output;
    for (size_t at = 0; at + 160 <= input.size(); at += 160)
        processing.process(input.data() + at, 160, rate, output);
    ASSERT_GE(output.size(), input.size() - CaptureProcessing::FrameMs * (rate / 1000));
    // The levelling may take it down some 12 dB, toward its target; the
    // vowel's end is no quieter than its early part, and nowhere near the
    // 30 dB the suppressor takes off noise.
    const double said = rms(voice, 0, voice.size());
    const double early = rms(output, rate / 2 + rate, rate / 2 + rate * 3 / 2);
    const double late = rms(output, rate / 2 + rate * 7 / 2, rate / 2 + rate * 4 - rate / 20);
    std::printf("held vowel of %.0f rms: %.0f rms after 1 s, %.0f rms after 3.5 s\n", said, early, late);
    EXPECT_GT(early, 0.15 * said);
    EXPECT_GT(late, 0.5 * early);
}

TEST(VoicePreprocessor, TheDetectorOpensOnSpeechButNotOnSilenceOrNoise)
{
    struct Case {
        const char* what;
        std::vector<int16_t> signal;
        bool opens;
    };
    // The gate of voice activation as capture runs it, at both capture rates.
    for (const uint32_t rate : {8000u, uint32_t(OpusSampleRate)}) {
        auto speechInNoise = noise(rate * 4, 300, 5);
        // Syllables: 250 ms of vowel, 150 ms apart, from 2 s on.
        const auto syllable = vowel(rate, 0.25, 9000);
        for (size_t start = 2 * rate; start + syllable.size() < speechInNoise.size(); start += rate * 2 / 5)
            for (size_t i = 0; i < syllable.size(); ++i)
                speechInNoise[start + i] = int16_t(std::clamp(speechInNoise[start + i] + syllable[i], -32768, 32767));
        std::vector<Case> cases;
        cases.push_back({"silence", std::vector<int16_t>(rate * 4, 0), false});
        cases.push_back({"steady noise", noise(rate * 4, 1500, 8), false});
        cases.push_back({"speech in noise", speechInNoise, true});
        for (const auto& c : cases) {
            CaptureProcessing gate(true);
            const size_t piece = rate / 100 * 3; // 30 ms: pieces that do not match the frames
            bool openedLate = false;             // after the first second, which the noise estimate needs
            for (size_t at = 0; at < c.signal.size(); at += piece) {
                std::vector<int16_t> out;
                gate.process(c.signal.data() + at, std::min(piece, c.signal.size() - at), rate, out);
                if (!out.empty() && at >= rate)
                    openedLate = true;
            }
            EXPECT_EQ(openedLate, c.opens) << c.what << " at " << rate << " Hz";
        }
    }
}

TEST(Resampler, KeepsAToneAndTheRatioOfLengths)
{
    struct Case {
        uint32_t from, to;
    } cases[] = {{22050, 16000}, {8000, 16000}, {48000, 16000}, {16000, 16000}};
    for (const auto& c : cases) {
        Resampler resampler(c.from, c.to);
        ASSERT_TRUE(resampler.valid());
        const auto input = tone(1000, c.from, 1.0, 8000);
        std::vector<int16_t> output;
        // In uneven pieces, as a capture back end hands them over.
        for (size_t at = 0; at < input.size(); at += 777)
            resampler.process(input.data() + at, std::min<size_t>(777, input.size() - at), output);
        EXPECT_NEAR(double(output.size()), double(c.to), c.to * 0.01) << c.from;
        EXPECT_NEAR(zeroCrossingHz(output, c.to / 10, output.size() - c.to / 10, c.to), 1000.0, 10.0) << c.from;
    }
}

// A sender that repeats its last frame at the front of its next packet:
// a frame whose packet was lost comes one packet late, with the next one.
// That repeat must be played in its turn, not made up, once the buffer has
// seen that losses happen: only a frame whose repeat was lost too is
// concealed.
TEST(JitterBuffer, ARepeatOfALostFrameIsPlayedInsteadOfConcealed)
{
    for (uint32_t lossPercent : {2u, 10u}) {
        SCOPED_TRACE(std::to_string(lossPercent) + "% of packets lost");
        JitterBuffer buffer(20, 200);
        std::mt19937 random(lossPercent);
        std::uniform_int_distribution<uint32_t> percent(0, 99), jitter(0, 2);
        const uint32_t count = 1500, warmUp = 100;
        std::vector<bool> lost(count + 1);
        std::vector<Arrival> arrivals;
        uint32_t unrecoverable = 0;
        for (uint32_t k = 0; k <= count; ++k) {
            lost[k] = percent(random) < lossPercent;
            if (k >= warmUp && k > 0 && lost[k - 1] && lost[k])
                ++unrecoverable; // frame k - 1 and its repeat, both gone
            if (lost[k] || k == count)
                continue;
            const uint32_t at = (k + 1) * 20 + 5 + jitter(random);
            if (k > 0)
                arrivals.push_back({at, uint16_t(k - 1)});
            arrivals.push_back({at, uint16_t(k), k + 1 == count});
        }
        std::vector<JitterBuffer::Action> actions = run(buffer, arrivals, (count + 20) * 20).actions;
        const auto madeUp = std::count_if(actions.begin() + warmUp, actions.end(), [](JitterBuffer::Action a) {
            return a == JitterBuffer::Action::Conceal || a == JitterBuffer::Action::ConcealFromNext;
        });
        std::printf("%u%% loss: %u frames lost with their repeat, %ld periods made up, %u repaired, %u drained\n",
                    lossPercent, unrecoverable, long(madeUp), buffer.stats().repaired, buffer.stats().drained);
        EXPECT_LE(uint32_t(madeUp), unrecoverable + 2);
        // Losses the repeats mend keep the target where the repeats come
        // in time: it neither falls back to drop frames nor waits a period.
        EXPECT_LE(buffer.stats().drained, 1u);
    }
}

// Playout left a little behind its target (two frames, as after a short
// stall) catches up in the next pause: quiet frames (the codec's few bytes
// of silence) are skipped, and no frame of speech.
TEST(JitterBuffer, ADelayAStallLeftIsCaughtUpInThePauseNotInTheWords)
{
    JitterBuffer buffer(20, 200, OpusQuietFrameBytes);
    std::vector<Arrival> arrivals = packets(0, 400, 1, 0, 1);
    // The link stops for 50 ms at frame 100; what it held comes at once.
    for (Arrival& a : arrivals)
        if (a.atMs >= 100 * 20 && a.atMs < 100 * 20 + 50)
            a.atMs = 100 * 20 + 50;
    // Speech is frames 0-199 and 260-399, a pause between.
    const auto isQuiet = [](uint16_t s) { return s >= 200 && s < 260; };
    std::stable_sort(arrivals.begin(), arrivals.end(),
                     [](const Arrival& a, const Arrival& b) { return a.atMs < b.atMs; });
    std::vector<uint16_t> played;
    size_t next = 0;
    for (uint32_t now = 0; now <= 9000; ++now) {
        for (; next < arrivals.size() && arrivals[next].atMs <= now; ++next) {
            const uint16_t s = arrivals[next].sequence;
            std::vector<uint8_t> bytes(isQuiet(s) ? 6 : 60, uint8_t(s));
            bytes[1] = uint8_t(s >> 8);
            buffer.push(s, bytes, now, arrivals[next].last);
        }
        if (now % 20 == 0) {
            JitterBuffer::Output out = buffer.pop(now);
            if (out.action == JitterBuffer::Action::Play)
                played.push_back(uint16_t(out.frame[0] | out.frame[1] << 8));
        }
    }
    // Every word is heard; what the stall left is taken from the pause.
    for (uint16_t s = 0; s < 400; ++s) {
        if (!isQuiet(s)) {
            EXPECT_EQ(std::count(played.begin(), played.end(), s), 1) << "speech frame " << s;
        }
    }
    EXPECT_GE(buffer.stats().drained, 1u);
    EXPECT_LT(played.size(), 400u);
}
