// LPC-10 quantisation and dequantisation with the standard's tables, and the
// byte frame format described in lpc10.h.
#include <algorithm>
#include <cstring>

#include "voice/lpc10_local.h"

namespace seafold {
namespace lpc10 {
namespace {

// ---- quantiser tables ----

// Pitch code for each of the 60 lags of a wholly voiced frame.
const int32_t PitchCodes[60] = {19, 11, 27, 25, 29, 21,  23,  22,  30, 14,  15,  7,   39,  38,  46,
                                 42, 43, 41, 45, 37, 53,  49,  51,  50, 54,  52,  60,  56,  58,  26,
                                 90, 88, 92, 84, 86, 82,  83,  81,  85, 69,  77,  73,  75,  74,  78,
                                 70, 71, 67, 99, 97, 113, 112, 114, 98, 106, 104, 108, 100, 101, 76};

// RMS levels, descending; the index sent is 31 - position / 2.
const int32_t RmsLevels[64] = {1024, 936, 856, 784, 718, 656, 600, 550, 502, 460, 420, 384, 352, 328, 294, 270,
                                246,  226, 206, 188, 172, 158, 144, 132, 120, 110, 102, 92,  84,  78,  70,  64,
                                60,   54,  50,  46,  42,  38,  34,  32,  30,  26,  24,  22,  20,  18,  17,  16,
                                15,   14,  13,  12,  11,  10,  9,   8,   7,   6,   5,   4,   3,   2,   1,   0};

// Log-area coding of |RC1|, |RC2| (in units of 512/32768).
const int32_t LogAreaCodes[64] = {0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1,  2,  2,  2,  2,  2,  2,  2, 3, 3,
                                   3, 3, 3, 3, 3, 4, 4, 4, 4, 4, 4, 4, 5,  5,  5,  5,  5,  6,  6,  6, 6, 6,
                                   7, 7, 7, 7, 7, 8, 8, 8, 8, 9, 9, 9, 10, 10, 11, 11, 12, 13, 14, 15};

// Linear coding of RC3..RC10 (indexed by coefficient - 3): offset, scale and
// the number of low bits dropped.
const int32_t LinearOffset[8] = {-1152, 2816, 1536, 3584, 1280, 2432, -768, 1920};
const float LinearScale[8] = {0.0112f, 0.0125f, 0.0135f, 0.0143f, 0.0147f, 0.0145f, 0.0167f, 0.0204f};
const int32_t LinearShift[8] = {3, 3, 4, 4, 4, 4, 5, 6};

// ---- dequantiser tables ----

// Pitch for each 7-bit code; values of 4 or less mark codes without a pitch.
const int32_t PitchOfCode[128] = {
    0,  0,   0,   3,   0,   3,   3,  31, 0,  3,   3,   21,  3,   3,   29, 30, 0,   3,  3,   20, 3,   25,
    27, 26,  3,   23,  58,  22,  3,  24, 28, 3,   0,   3,   3,   3,   3,  39, 33,  32, 3,   37, 35,  36,
    3,  38,  34,  3,   3,   42,  46, 44, 50, 40,  48,  3,   54,  3,   56, 3,  52,  3,  3,   1,  0,   3,
    3,  108, 3,   78,  100, 104, 3,  84, 92, 88,  156, 80,  96,  3,   3,  74, 70,  72, 66,  76, 68,  3,
    62, 3,   60,  3,   64,  3,   3,  1,  3,  116, 132, 112, 148, 152, 3,  3,  140, 3,  136, 3,  144, 3,
    3,  1,   124, 120, 128, 3,   3,  3,  3,  1,   3,   3,   3,   1,   3,  1,  1,   1};

// Log-area decoding of RC1, RC2, read at twice the code magnitude.
const int32_t LogAreaValues[32] = {4,   11,  18,  25,  32,  39,  46,  53,  60,  66,  72,  77,  82,  87,  92,  96,
                                    101, 104, 108, 111, 114, 115, 117, 119, 121, 122, 123, 124, 125, 126, 127, 127};

// Linear decoding of RC3..RC10: code << (15 - bits) + half step, scaled and
// offset.
const int32_t DecodeBits[8] = {5, 5, 4, 4, 4, 4, 3, 2};
const int32_t DecodeHalfStep[8] = {511, 511, 1023, 1023, 1023, 1023, 2047, 4095};
const float DecodeScale[8] = {0.6953f, 0.625f, 0.5781f, 0.5469f, 0.5312f, 0.5391f, 0.4688f, 0.3828f};
const int32_t DecodeOffset[8] = {1152, -2816, -1536, -3584, -1280, -2432, 768, -1920};

// Field widths of RC1..RC10 in the byte frame.
const int32_t RcFieldBits[LpcOrder] = {5, 5, 5, 5, 4, 4, 4, 4, 3, 3};

} // namespace

LpcFrameCodes quantise(const FrameAnalysis& a)
{
    LpcFrameCodes c;
    if (a.voice[0] != 0 && a.voice[1] != 0)
        c.pitchCode = PitchCodes[a.pitchIndex - 1];
    else
        c.pitchCode = (a.voice[0] << 1) + a.voice[1];

    // RMS: binary search in the level table.
    int32_t rms = std::min(nearest(a.rms), 1023);
    int32_t j = 32;
    for (int32_t step = 16; step > 0; step /= 2) {
        if (rms > RmsLevels[j - 1])
            j -= step;
        if (rms < RmsLevels[j - 1])
            j += step;
    }
    if (rms > RmsLevels[j - 1])
        --j;
    c.rmsIndex = 31 - j / 2;

    int32_t scaled[LpcOrder];
    for (uint32_t i = 0; i < LpcOrder; ++i)
        scaled[i] = nearest(a.rc[i] * 32768.0f);
    for (int i = 0; i < 2; ++i) {
        int32_t m = std::min(std::abs(scaled[i]) / 512, 63);
        c.rcCodes[i] = scaled[i] < 0 ? -LogAreaCodes[m] : LogAreaCodes[m];
    }
    for (int i = 2; i < 10; ++i) {
        int32_t v = int32_t(float(scaled[i] / 2 + LinearOffset[i - 2]) * LinearScale[i - 2]);
        v = std::max(std::min(v, 127), -127);
        bool negative = v < 0;
        v /= 1 << LinearShift[i - 2];
        if (negative)
            --v; // the standard's rounding of negative codes, exact multiples included
        c.rcCodes[i] = v;
    }
    return c;
}

void dequantise(DecoderState& state, const LpcFrameCodes& c, FrameParameters* p)
{
    int32_t code = c.pitchCode & 127;
    p->voice[0] = code > 1 ? 1 : 0;
    p->voice[1] = (code == 0 || code == 2) ? 0 : 1;
    int32_t pitch = PitchOfCode[code];
    if (pitch <= 4)
        pitch = state.previousPitch;
    if (p->voice[0] == 1 && p->voice[1] == 1)
        state.previousPitch = pitch;
    if (p->voice[0] != p->voice[1])
        pitch = state.previousPitch;
    p->pitch = pitch;

    int32_t rmsIndex = std::min(std::max(c.rmsIndex, 0), 31);
    p->rms = float(RmsLevels[(31 - rmsIndex) * 2]);

    int32_t rc[LpcOrder];
    for (int i = 0; i < 2; ++i) {
        int32_t v = c.rcCodes[i];
        bool negative = v < 0;
        if (negative)
            v = -v;
        if (v > 15)
            v = 0;
        v = LogAreaValues[v * 2];
        rc[i] = (negative ? -v : v) * (1 << (15 - 8));
    }
    for (int i = 2; i < 10; ++i) {
        int32_t v = c.rcCodes[i] * (1 << (15 - DecodeBits[i - 2])) + DecodeHalfStep[i - 2];
        rc[i] = int32_t(float(v) * DecodeScale[i - 2] + float(DecodeOffset[i - 2]));
    }
    for (uint32_t i = 0; i < LpcOrder; ++i)
        p->rc[i] = float(rc[i]) / 16384.0f;
}

} // namespace lpc10

// ---- byte frames ----

namespace {

void putBits(uint8_t* out, uint32_t& bit, uint32_t value, uint32_t width)
{
    for (uint32_t i = 0; i < width; ++i, ++bit) {
        if ((value >> i) & 1)
            out[bit >> 3] |= uint8_t(1u << (bit & 7));
    }
}

// Reads bits below `limit`; bits at or past it read as zero.
uint32_t getBits(const uint8_t* in, uint32_t limit, uint32_t& bit, uint32_t width)
{
    uint32_t value = 0;
    for (uint32_t i = 0; i < width; ++i, ++bit) {
        if (bit < limit && ((in[bit >> 3] >> (bit & 7)) & 1))
            value |= 1u << i;
    }
    return value;
}

int32_t signExtend(uint32_t value, uint32_t width)
{
    int32_t v = int32_t(value);
    if (value & (1u << (width - 1)))
        v -= int32_t(1u << width);
    return v;
}

} // namespace

uint32_t packLpcFrame(const LpcFrameCodes& codes, uint8_t* out)
{
    std::memset(out, 0, LpcMaxFrameBytes);
    if (codes.rmsIndex < 10) {
        out[0] = LpcSilenceCode;
        return 1;
    }
    uint32_t bit = 0;
    putBits(out, bit, uint32_t(codes.pitchCode), 7);
    putBits(out, bit, uint32_t(codes.rmsIndex), 5);
    for (int i = 0; i < 4; ++i)
        putBits(out, bit, uint32_t(codes.rcCodes[i]), uint32_t(lpc10::RcFieldBits[i]));
    if (codes.pitchCode == 0)
        return 4;
    for (uint32_t i = 4; i < LpcOrder; ++i)
        putBits(out, bit, uint32_t(codes.rcCodes[i]), uint32_t(lpc10::RcFieldBits[i]));
    return 7;
}

uint32_t lpcFrameBytes(const uint8_t* in, uint32_t remaining)
{
    uint32_t code = remaining ? in[0] & 0x7F : 0;
    if (code == LpcSilenceCode)
        return 1;
    return code == 0 || code == 126 ? 4 : 7;
}

uint32_t unpackLpcFrame(const uint8_t* in, uint32_t remaining, LpcFrameCodes* codes)
{
    *codes = LpcFrameCodes();
    uint32_t limit = remaining >= 7 ? 54 : remaining * 8;
    uint32_t bit = 0;
    uint32_t code = getBits(in, limit, bit, 7);
    if (code == LpcSilenceCode)
        return 1; // code 0, RMS index 0, coefficients 0
    codes->pitchCode = int32_t(code);
    codes->rmsIndex = int32_t(getBits(in, limit, bit, 5));
    for (int i = 0; i < 4; ++i) {
        uint32_t w = uint32_t(lpc10::RcFieldBits[i]);
        codes->rcCodes[i] = signExtend(getBits(in, limit, bit, w), w);
    }
    if (code == 0 || code == 126)
        return 4;
    for (uint32_t i = 4; i < LpcOrder; ++i) {
        uint32_t w = uint32_t(lpc10::RcFieldBits[i]);
        codes->rcCodes[i] = signExtend(getBits(in, limit, bit, w), w);
    }
    return 7;
}

LpcFrameCodes analyseLpcFrame(EncoderState& state, const int16_t* samples)
{
    float speech[LpcFrameSamples];
    for (uint32_t i = 0; i < LpcFrameSamples; ++i)
        speech[i] = float(samples[i]) / 32768.0f;
    lpc10::highPass100Hz(state, speech, LpcFrameSamples);
    lpc10::FrameAnalysis analysis;
    lpc10::analyseFrame(state, speech, &analysis);
    return lpc10::quantise(analysis);
}

uint32_t encodeLpcFrame(EncoderState& state, const int16_t* samples, uint8_t* out)
{
    return packLpcFrame(analyseLpcFrame(state, samples), out);
}

void synthesiseLpcFrame(DecoderState& state, const LpcFrameCodes& codes, int16_t* out)
{
    lpc10::FrameParameters params;
    lpc10::dequantise(state, codes, &params);
    lpc10::synthesise(state, params, out);
}

uint32_t decodeLpcFrame(const uint8_t* in, uint32_t remaining, DecoderState& state, int16_t* out)
{
    LpcFrameCodes codes;
    uint32_t length = unpackLpcFrame(in, remaining, &codes);
    synthesiseLpcFrame(state, codes, out);
    return length;
}

} // namespace seafold
