// LPC-10e vocoder (FS-1015, 2400 bit/s): 180-sample frames of 16-bit speech at
// 8000 Hz in, variable-length byte frames out, and back.
//
// Pure computation: no device, no buffer classes. The encoder and decoder
// states carry the per-stream filter memories and histories; the noise
// generator of the unvoiced excitation is one per process, shared by every
// decoder.
//
// Frame layout (stream bit i is bit i % 8 of byte i / 8, bit 0 = value 1; each
// field least significant bit first):
//   [pitch/voicing code] (7 bits, unsigned)  127 = silence, 0 = unvoiced,
//                                            1 = second half voiced,
//                                            2 = first half voiced,
//                                            other = voiced, pitch code
//   [RMS index]          (5 bits, unsigned 0..31)
//   [RC1..RC4]           (5 bits each, two's complement)
//   [RC5..RC8]           (4 bits each, two's complement)
//   [RC9]                (3 bits, two's complement)
//   [RC10]               (3 bits, two's complement)
//   [unused]             (2 bits, zero)
// A silence frame is its code alone (1 byte, 0x7F); codes 0 and 126 end after
// RC4 (4 bytes); every other code carries all fields (7 bytes).
#pragma once

#include <cstdint>

namespace seafold {

enum : uint32_t {
    LpcFrameSamples = 180,
    LpcOrder = 10,
    LpcMaxFrameBytes = 7,
    LpcSilenceCode = 127,
};

// Quantised parameters of one frame, as they travel.
struct LpcFrameCodes {
    int32_t pitchCode = 0;          // 0..127
    int32_t rmsIndex = 0;           // 0..31
    int32_t rcCodes[LpcOrder] = {}; // signed, within their field widths
};

// Analysis state of one encoded stream. Positions in the analysis buffers are
// the sample positions of the 540-sample analysis span (181..720): index =
// position, the entries below the span's first position are never used.
struct EncoderState {
    EncoderState();

    // 100 Hz high-pass: two second-order sections.
    float hpZ11, hpZ21, hpZ12, hpZ22;

    float inbuf[721];     // scaled input, positions 181..720
    float pebuf[721];     // pre-emphasised, positions 181..720
    float lpbuf[721];     // low-passed, positions 25..720
    float ivbuf[541];     // inverse filtered, positions 229..540
    float bias;           // DC bias removed from the input
    int32_t osbuf[11];    // onset positions, entries 1..10
    int32_t osptr;        // next free onset entry
    int32_t obound[3];    // onset bounds of the voicing windows of frames 1..3
    int32_t vwin[3][2];   // voicing windows (first, last) of frames 1..3
    int32_t awin[3][2];   // analysis windows of frames 1..3
    int32_t voibuf[4][2]; // half-frame voicing decisions of frames 0..3
    float rmsbuf[3];
    float rcbuf[3][LpcOrder];
    float zpre; // pre-emphasis memory

    // Onset detector.
    float onsetN, onsetD, onsetFpc;
    float l2buf[16];
    float l2sum1;
    int32_t l2ptr1, l2ptr2;
    int32_t lasti;
    bool hyst;

    // Voicing detector.
    float dither;
    float snr;
    float maxmin;
    float voice[3][2]; // discriminant values, frames 1..3
    int32_t lbve, lbue, fbve, fbue, ofbue, sfbue, olbue, slbue;

    // Dynamic pitch tracker.
    float pathCost[60];
    int32_t backPointer[2][60];
    int32_t trackPoint;
    float alphax;
};

// Synthesis state of one decoded stream.
struct DecoderState {
    DecoderState();

    int32_t previousPitch; // last pitch of a wholly voiced frame

    float buf[2 * LpcFrameSamples]; // synthesised speech not yet output
    int32_t bufLength;

    // Pitch-synchronous interpolation.
    int32_t oldVoicing;
    int32_t oldPitch;
    float oldRms;
    float oldRc[LpcOrder];
    int32_t carrySamples;
    bool firstFrame;

    // Excitation.
    int32_t previousPeriod;
    float exc[166];
    float exc2[166];
    float lpi[3];
    float hpi[3];
    float previousGain;

    // De-emphasis.
    float dei[2];
    float deo[3];
};

// The additive noise generator of unvoiced excitation.
struct LpcNoiseGenerator {
    int16_t y[5] = {-21161, -8478, 30892, -10216, 16950};
    int32_t j = 1; // index of the addend
    int32_t k = 4; // index of the value updated next
    int32_t next();
};

// The one generator every decoder of the process draws from. It is never
// reset by the codec; tests may save and restore it.
LpcNoiseGenerator& sharedLpcNoise();

// Encodes 180 samples. Writes all 7 output bytes (unused ones zero) and
// returns the frame's length: 1, 4 or 7.
uint32_t encodeLpcFrame(EncoderState& state, const int16_t* samples, uint8_t* out);

// Decodes one frame from `remaining` input bytes (missing bits read as zero)
// into 180 samples and returns its nominal length: 1, 4 or 7 (which may be
// more than `remaining`).
uint32_t decodeLpcFrame(const uint8_t* in, uint32_t remaining, DecoderState& state, int16_t* out);

// ---- the steps, exposed for tests and tools ----

// Analysis and quantisation of one frame without packing.
LpcFrameCodes analyseLpcFrame(EncoderState& state, const int16_t* samples);
// Frame length for these codes, and the packed bytes (all 7 written).
uint32_t packLpcFrame(const LpcFrameCodes& codes, uint8_t* out);
// The length of the frame at `in` (1, 4 or 7) from its first byte alone,
// as decodeLpcFrame reports it.
uint32_t lpcFrameBytes(const uint8_t* in, uint32_t remaining);
// Reads one frame; the codes of a silence frame come back as code 0, RMS 0.
uint32_t unpackLpcFrame(const uint8_t* in, uint32_t remaining, LpcFrameCodes* codes);
// Dequantises and synthesises one frame of codes into 180 samples.
void synthesiseLpcFrame(DecoderState& state, const LpcFrameCodes& codes, int16_t* out);

} // namespace seafold
