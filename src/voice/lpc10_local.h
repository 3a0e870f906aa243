// Internal declarations shared by the LPC-10 analysis, quantisation and
// synthesis files. Not part of the voice module's interface.
#pragma once

#include <cmath>
#include <cstdint>

#include "voice/lpc10.h"

namespace seafold {
namespace lpc10 {

// Nearest integer, halves away from zero: the rounding of the reference
// algorithm wherever it rounds a real to an integer.
inline int32_t nearest(float x)
{
    return int32_t(x >= 0.0f ? std::floor(double(x) + 0.5) : -std::floor(0.5 - double(x)));
}

// Sign transfer: |a| with the sign of b (b = 0 counts as positive).
inline float signOf(float a, float b)
{
    float m = std::fabs(a);
    return b >= 0.0f ? m : -m;
}

// Unquantised result of analysing one frame (delayed by the analysis).
struct FrameAnalysis {
    int32_t voice[2];   // half-frame voicing, 1 = voiced
    int32_t pitchIndex; // 1..60 into the lag table
    float rms;
    float rc[LpcOrder];
};

// Input conditioning and analysis of one frame of 180 samples scaled to
// -1 .. 1 (the high-pass filter runs in place).
void highPass100Hz(EncoderState& state, float* speech, int count);
void analyseFrame(EncoderState& state, const float* speech, FrameAnalysis* result);

// Analysis steps (lpc10_voicing.cpp), in the order the analysis runs them.
void detectOnsets(EncoderState& state);
void placeVoicingWindow(EncoderState& state);
void decideVoicing(EncoderState& state, int32_t half, float minAmdf, float maxAmdf, int32_t mintau,
                   const float ivrc[2]);
// Returns the tracked pitch index (1..60); *midx gets this frame's best index.
int32_t trackPitch(EncoderState& state, const float amdf[60], int32_t minptr, int32_t voiced, int32_t* midx);
void placeAnalysisWindow(EncoderState& state, int32_t pitch, int32_t ewin[2]);

// Quantisation with error protection off.
LpcFrameCodes quantise(const FrameAnalysis& analysis);

// Dequantised parameters ready for synthesis.
struct FrameParameters {
    int32_t voice[2];
    int32_t pitch;
    float rms;
    float rc[LpcOrder];
};
void dequantise(DecoderState& state, const LpcFrameCodes& codes, FrameParameters* params);
// Synthesises one frame into state.buf and hands out the first 180 values.
void synthesise(DecoderState& state, FrameParameters& params, int16_t* out);

} // namespace lpc10
} // namespace seafold
