// The LPC-10 byte frame format, pinned by frames worked out by hand from the
// field list in voice/lpc10.h, and the codec's behaviour at its edges.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "speech_fixture.h"
#include "voice/lpc10.h"

namespace seafold {
namespace {

LpcFrameCodes makeCodes(int32_t code, int32_t rms, std::vector<int32_t> rc)
{
    LpcFrameCodes c;
    c.pitchCode = code;
    c.rmsIndex = rms;
    for (size_t i = 0; i < rc.size(); ++i)
        c.rcCodes[i] = rc[i];
    return c;
}

void expectCodes(const LpcFrameCodes& a, const LpcFrameCodes& b)
{
    EXPECT_EQ(a.pitchCode, b.pitchCode);
    EXPECT_EQ(a.rmsIndex, b.rmsIndex);
    for (uint32_t i = 0; i < LpcOrder; ++i)
        EXPECT_EQ(a.rcCodes[i], b.rcCodes[i]) << "RC" << i + 1;
}

// Voiced frame: code 19 = 0010011, RMS 20 = 10100, RC1 -3 = 11101, RC2 5 =
// 00101, RC3 -16 = 10000, RC4 15 = 01111, RC5 -8 = 1000, RC6 7 = 0111,
// RC7 -1 = 1111, RC8 0 = 0000, RC9 -4 = 100, RC10 3 = 011, laid out from
// bit 0 upward, least significant bit first:
//   byte 0: code bits 0-6, RMS bit 0           -> 0x13
//   byte 1: RMS bits 1-4, RC1 bits 0-3         -> 0xDA
//   byte 2: RC1 bit 4, RC2, RC3 bits 0-1       -> 0x0B
//   byte 3: RC3 bits 2-4, RC4                  -> 0x7C
//   byte 4: RC5, RC6                           -> 0x78
//   byte 5: RC7, RC8                           -> 0x0F
//   byte 6: RC9, RC10, two zero bits           -> 0x1C
const uint8_t VoicedBytes[7] = {0x13, 0xDA, 0x0B, 0x7C, 0x78, 0x0F, 0x1C};
const LpcFrameCodes Voiced = makeCodes(19, 20, {-3, 5, -16, 15, -8, 7, -1, 0, -4, 3});

// Unvoiced frame: code 0, RMS 12 = 01100, RC1 -5 = 11011, RC2 9 = 01001,
// RC3 -1 = 11111, RC4 2 = 00010 -> 0x00 0xB6 0xD3 0x17.
const uint8_t UnvoicedBytes[4] = {0x00, 0xB6, 0xD3, 0x17};
const LpcFrameCodes Unvoiced = makeCodes(0, 12, {-5, 9, -1, 2});

TEST(Lpc10Frame, FullFrameFieldsSitWhereTheLayoutSays)
{
    uint8_t out[7];
    ASSERT_EQ(packLpcFrame(Voiced, out), 7u);
    EXPECT_EQ(0, std::memcmp(out, VoicedBytes, 7));

    LpcFrameCodes back;
    ASSERT_EQ(unpackLpcFrame(VoicedBytes, 7, &back), 7u);
    expectCodes(back, Voiced); // negative codes come back sign-extended
}

TEST(Lpc10Frame, UnvoicedFrameIsFourBytesAndClearsTheRest)
{
    uint8_t out[7];
    std::memset(out, 0xEE, sizeof out);
    ASSERT_EQ(packLpcFrame(Unvoiced, out), 4u);
    EXPECT_EQ(0, std::memcmp(out, UnvoicedBytes, 4));
    EXPECT_EQ(out[4], 0);
    EXPECT_EQ(out[5], 0);
    EXPECT_EQ(out[6], 0);

    // Bytes after a short frame belong to the next frame: RC5..RC10 stay 0.
    const uint8_t stream[7] = {0x00, 0xB6, 0xD3, 0x17, 0xFF, 0xFF, 0xFF};
    LpcFrameCodes back;
    ASSERT_EQ(unpackLpcFrame(stream, 7, &back), 4u);
    expectCodes(back, Unvoiced);
}

TEST(Lpc10Frame, SilenceRuleAtRmsIndexTen)
{
    uint8_t out[7];
    LpcFrameCodes quiet = Voiced;
    quiet.rmsIndex = 9;
    ASSERT_EQ(packLpcFrame(quiet, out), 1u);
    EXPECT_EQ(out[0], 0x7F);
    for (int i = 1; i < 7; ++i)
        EXPECT_EQ(out[i], 0);

    LpcFrameCodes loud = Voiced;
    loud.rmsIndex = 10;
    EXPECT_EQ(packLpcFrame(loud, out), 7u);
    loud = Unvoiced;
    loud.rmsIndex = 10;
    EXPECT_EQ(packLpcFrame(loud, out), 4u);
}

TEST(Lpc10Frame, SilenceCodeReadsAsQuietUnvoicedWhateverBitSeven)
{
    for (uint8_t first : {uint8_t(0x7F), uint8_t(0xFF)}) {
        const uint8_t stream[7] = {first, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        LpcFrameCodes back;
        ASSERT_EQ(unpackLpcFrame(stream, 7, &back), 1u);
        expectCodes(back, LpcFrameCodes());
    }
}

TEST(Lpc10Frame, Code126IsAShortFrame)
{
    // Code 126 = 1111110, RMS 31, RC1..RC4 all ones (-1).
    const uint8_t stream[7] = {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    LpcFrameCodes back;
    ASSERT_EQ(unpackLpcFrame(stream, 7, &back), 4u);
    expectCodes(back, makeCodes(126, 31, {-1, -1, -1, -1}));
}

TEST(Lpc10Frame, MissingBytesReadAsZeroAndTheNominalLengthIsReported)
{
    // One byte left: code 19 and RMS bit 0 only.
    const uint8_t one[1] = {0x93};
    LpcFrameCodes back;
    EXPECT_EQ(unpackLpcFrame(one, 1, &back), 7u);
    expectCodes(back, makeCodes(19, 1, {}));

    // Two bytes of the unvoiced frame: RC1 loses its top bit (11011 -> 01011).
    EXPECT_EQ(unpackLpcFrame(UnvoicedBytes, 2, &back), 4u);
    expectCodes(back, makeCodes(0, 12, {11, 0, 0, 0}));

    // Nothing at all left reads as an unvoiced frame.
    EXPECT_EQ(unpackLpcFrame(UnvoicedBytes, 0, &back), 4u);
    expectCodes(back, LpcFrameCodes());
}

TEST(Lpc10Codec, ZeroInputEncodesToSilenceBytes)
{
    EncoderState state;
    int16_t zeros[180] = {};
    for (int f = 0; f < 5; ++f) {
        uint8_t out[7];
        std::memset(out, 0xEE, sizeof out);
        ASSERT_EQ(encodeLpcFrame(state, zeros, out), 1u);
        EXPECT_EQ(out[0], 0x7F);
        for (int i = 1; i < 7; ++i)
            EXPECT_EQ(out[i], 0) << "unused bytes are cleared";
    }
}

TEST(Lpc10Codec, HostileInputStaysWithinTheFrameFormat)
{
    // Full-scale extremes exercise the limits of the analysis: clipping
    // squares, clicks, white noise, DC at the rails and the Nyquist tone.
    uint32_t seed = 7;
    auto noise = [&] {
        seed = seed * 1664525u + 1013904223u;
        return int16_t(seed >> 16);
    };
    std::vector<std::vector<int16_t>> signals(5, std::vector<int16_t>(180 * 60));
    for (size_t i = 0; i < signals[0].size(); ++i) {
        signals[0][i] = (i / 40) % 2 ? 32767 : -32768;
        signals[1][i] = i % 333 == 0 ? 32767 : 0;
        signals[2][i] = noise();
        signals[3][i] = i < 180 * 30 ? -32768 : 32767;
        signals[4][i] = i % 2 ? 32767 : -32768;
    }
    for (const auto& signal : signals) {
        EncoderState enc;
        DecoderState dec;
        for (size_t f = 0; f < signal.size() / 180; ++f) {
            uint8_t bytes[7];
            uint32_t n = encodeLpcFrame(enc, &signal[f * 180], bytes);
            ASSERT_TRUE(n == 1 || n == 4 || n == 7);
            LpcFrameCodes codes;
            ASSERT_EQ(unpackLpcFrame(bytes, n, &codes), n);
            int16_t out[180];
            ASSERT_EQ(decodeLpcFrame(bytes, n, dec, out), n);
        }
    }
}

// A deterministic vowel-and-hiss signal: a pulse train of falling pitch
// through two resonators, then noise, then near-silence, repeated.
std::vector<int16_t> syntheticSpeech()
{
    std::vector<int16_t> out;
    uint32_t seed = 99;
    double y1 = 0, y2 = 0, z1 = 0, z2 = 0;
    int nextPulse = 0;
    for (int i = 0; i < 180 * 200; ++i) {
        int part = (i / 3000) % 3;
        seed = seed * 1664525u + 1013904223u;
        double noise = double(int32_t(seed >> 16) - 32768) / 32768.0;
        double x = 0;
        if (part == 0 && i >= nextPulse) {
            x = 9000;
            nextPulse = i + 50 + (i % 3000) / 100; // 160 Hz falling to 100 Hz
        } else if (part == 1) {
            x = 2500 * noise;
        } else if (part == 2) {
            x = 10 * noise;
        }
        double y = x + 1.5 * y1 - 0.9 * y2;
        y2 = y1;
        y1 = y;
        double z = y + 0.4 * z1 - 0.8 * z2;
        z2 = z1;
        z1 = z;
        out.push_back(int16_t(std::max(-32768.0, std::min(32767.0, 0.08 * z))));
    }
    return out;
}

uint64_t fnv(uint64_t h, const void* data, size_t size)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i)
        h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

TEST(Lpc10Codec, OutputIsBitExactOnAFixedSignal)
{
    // Pins the arithmetic on this platform (x86-64, SSE, no contraction) so
    // that reorganising the signal processing cannot drift unnoticed. Only
    // an intended change of the codec's results may update these values.
    std::vector<int16_t> signal = syntheticSpeech();
    LpcNoiseGenerator saved = sharedLpcNoise();
    sharedLpcNoise() = LpcNoiseGenerator();
    EncoderState enc;
    DecoderState dec;
    uint64_t frames = 14695981039346656037ull, samples = frames;
    int kinds[8] = {};
    for (size_t f = 0; f < signal.size() / 180; ++f) {
        uint8_t bytes[7];
        uint32_t n = encodeLpcFrame(enc, &signal[f * 180], bytes);
        ++kinds[n];
        frames = fnv(frames, bytes, n);
        int16_t out[180];
        decodeLpcFrame(bytes, n, dec, out);
        samples = fnv(samples, out, sizeof out);
    }
    sharedLpcNoise() = saved;
    EXPECT_GT(kinds[1], 0);
    EXPECT_GT(kinds[4], 0);
    EXPECT_GT(kinds[7], 0);
    EXPECT_EQ(frames, 0xa3df5c585e1b483dull);
    EXPECT_EQ(samples, 0xda31d1ad839ea652ull);
}

TEST(Lpc10Codec, SilenceDecodesToFaintNoiseNotZeros)
{
    DecoderState state;
    const uint8_t silence[1] = {0x7F};
    int16_t out[180];
    int nonZero = 0, peak = 0;
    for (int f = 0; f < 4; ++f) {
        ASSERT_EQ(decodeLpcFrame(silence, 1, state, out), 1u);
        for (int16_t s : out) {
            nonZero += s != 0;
            peak = std::max(peak, std::abs(int(s)));
        }
    }
    EXPECT_GT(nonZero, 100);
    EXPECT_LT(peak, 200);
}

TEST(Lpc10Codec, OvershootingSynthesisSaturatesInsteadOfWrapping)
{
    // Loudest RMS at the longest pitch period with a nearly flat spectrum:
    // the period's energy gathers in the pulse, whose peaks pass full scale
    // whatever the noise generator's state.
    DecoderState state;
    uint8_t frame[7];
    packLpcFrame(makeCodes(76, 31, {-16}), frame);
    int clippedHigh = 0, clippedLow = 0;
    for (int f = 0; f < 20; ++f) {
        int16_t out[180];
        decodeLpcFrame(frame, 7, state, out);
        for (int i = 0; i < 180; ++i) {
            clippedHigh += out[i] == 32767;
            clippedLow += out[i] == -32768;
            if (i > 0) { // a wrapped sample would jump across the whole range
                EXPECT_LT(std::abs(int(out[i]) - int(out[i - 1])), 60000);
            }
        }
    }
    EXPECT_GT(clippedHigh + clippedLow, 0);
}

TEST(Lpc10Codec, DecodersShareOneNoiseGenerator)
{
    // A fresh decoder's first output frame is its empty synthesis buffer;
    // the second holds the first frame's noise.
    const uint8_t silence[1] = {0x7F};
    auto secondFrame = [&](DecoderState& d, int16_t* out) {
        decodeLpcFrame(silence, 1, d, out);
        decodeLpcFrame(silence, 1, d, out);
    };
    LpcNoiseGenerator saved = sharedLpcNoise();
    int16_t first[180], second[180], again[180];
    {
        DecoderState a, b;
        secondFrame(a, first);
        secondFrame(b, second); // a fresh decoder, but the noise has moved on
    }
    sharedLpcNoise() = saved;
    {
        DecoderState c;
        secondFrame(c, again);
    }
    sharedLpcNoise() = saved;
    EXPECT_EQ(0, std::memcmp(first, again, sizeof first));
    EXPECT_NE(0, std::memcmp(first, second, sizeof first));
}

TEST(Lpc10Codec, SpeechUsesAllThreeFrameKindsAndSurvivesTheRoundTrip)
{
    const std::vector<int16_t>& speech = testing::testSpeech();
    if (speech.size() < 180 * 50)
        GTEST_SKIP() << "espeak-ng or sox not available";
    EncoderState enc;
    DecoderState dec;
    int kinds[8] = {};
    std::vector<double> inLevel, outLevel;
    size_t frames = speech.size() / 180;
    for (size_t f = 0; f < frames; ++f) {
        uint8_t bytes[7];
        uint32_t n = encodeLpcFrame(enc, &speech[f * 180], bytes);
        ASSERT_TRUE(n == 1 || n == 4 || n == 7);
        ++kinds[n];
        LpcFrameCodes codes;
        EXPECT_EQ(unpackLpcFrame(bytes, n, &codes), n) << "frame " << f;
        int16_t out[180];
        ASSERT_EQ(decodeLpcFrame(bytes, n, dec, out), n);
        double ein = 0, eout = 0;
        for (int i = 0; i < 180; ++i) {
            ein += double(speech[f * 180 + i]) * speech[f * 180 + i];
            eout += double(out[i]) * out[i];
        }
        inLevel.push_back(std::sqrt(ein / 180));
        outLevel.push_back(std::sqrt(eout / 180));
    }
    EXPECT_GT(kinds[1], 10);
    EXPECT_GT(kinds[4], 10);
    EXPECT_GT(kinds[7], 50);

    // The decoded loudness follows the input's, two frames later (the
    // analysis delay) give or take a frame of synthesis buffering.
    double best = 0;
    for (size_t lag = 1; lag <= 4; ++lag) {
        double sxy = 0, sxx = 0, syy = 0, mx = 0, my = 0;
        size_t n = frames - lag;
        for (size_t i = 0; i < n; ++i) {
            mx += inLevel[i];
            my += outLevel[i + lag];
        }
        mx /= n;
        my /= n;
        for (size_t i = 0; i < n; ++i) {
            double x = inLevel[i] - mx, y = outLevel[i + lag] - my;
            sxy += x * y;
            sxx += x * x;
            syy += y * y;
        }
        best = std::max(best, sxy / std::sqrt(sxx * syy));
    }
    EXPECT_GT(best, 0.8);
}

} // namespace
} // namespace seafold
