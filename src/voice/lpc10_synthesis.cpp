// LPC-10 synthesis: pitch-synchronous interpolation of the frame parameters,
// pulse or noise excitation through the all-pole filter, de-emphasis, and the
// conversion to 16-bit samples.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/platform.h"
#include "voice/lpc10_local.h"

namespace seafold {

DecoderState::DecoderState()
{
    std::memset(static_cast<void*>(this), 0, sizeof(*this));
    previousPitch = 60;
    bufLength = LpcFrameSamples;
    oldRms = 1.0f;
    firstFrame = true;
}

int32_t LpcNoiseGenerator::next()
{
    // 16-bit two's complement addition, wrapping on overflow.
    y[k] = int16_t(uint16_t(uint16_t(y[k]) + uint16_t(y[j])));
    int32_t value = y[k];
    if (--k < 0)
        k = 4;
    if (--j < 0)
        j = 4;
    return value;
}

LpcNoiseGenerator& sharedLpcNoise()
{
    static LpcNoiseGenerator gLpcNoise;
    return gLpcNoise;
}

namespace lpc10 {
namespace {

enum { MaxEpochs = 16 };

// One frame's pitch periods ("epochs") with their interpolated parameters.
struct Epochs {
    int32_t count = 0;
    int32_t voiced[MaxEpochs];
    int32_t length[MaxEpochs];
    float rms[MaxEpochs];
    float rc[MaxEpochs][LpcOrder];
    float ratio = 0.0f; // frame RMS against the previous one, for plosive pulses
};

// The first frame has no past to interpolate from: whole periods of its
// own pitch (45 samples when unvoiced) with its own parameters.
void firstFrameEpochs(DecoderState& s, int32_t ivoice, int32_t& pitch, float rms, const float* rc, Epochs& e)
{
    const int32_t f = LpcFrameSamples;
    if (ivoice == 0)
        pitch = f / 4;
    e.count = f / pitch;
    s.carrySamples = f - e.count * pitch;
    for (int32_t i = 0; i < e.count; ++i) {
        std::memcpy(e.rc[i], rc, sizeof(e.rc[i]));
        e.voiced[i] = ivoice;
        e.length[i] = pitch;
        e.rms[i] = rms;
    }
    s.firstFrame = false;
}

// One pass of period placement over samples istart..lsamp.
struct EpochPass {
    int32_t istart;
    int32_t lsamp;
    float slope;  // pitch change per sample
    float uvpit;  // a fixed period (unvoiced tail), or 0
    int32_t ivoice;
};

// Places the pass's periods after `jused`, each with log-area ratios and log
// RMS interpolated between the old frame's and `rc`/`rms` at its middle.
void placeEpochs(const DecoderState& s, const float* rc, float rms, const EpochPass& pass, int32_t& jused,
                 int32_t& pitch, Epochs& e)
{
    float alro[LpcOrder], alrn[LpcOrder];
    for (uint32_t j = 0; j < LpcOrder; ++j) {
        alro[j] = std::log((s.oldRc[j] + 1) / (1 - s.oldRc[j]));
        alrn[j] = std::log((rc[j] + 1) / (1 - rc[j]));
    }
    const float logOld = std::log(s.oldRms);
    const float logNew = std::log(rms);
    for (int32_t i = pass.istart; i <= pass.lsamp; ++i) {
        int32_t ip = int32_t(float(s.oldPitch) + pass.slope * float(i) + 0.5f);
        if (pass.uvpit != 0.0f)
            ip = int32_t(pass.uvpit);
        if (ip > i - jused)
            continue;
        SF_ASSERT(e.count < MaxEpochs, "LPC-10 synthesis: too many pitch periods in a frame");
        int32_t n = e.count++;
        e.length[n] = ip;
        pitch = ip;
        e.voiced[n] = pass.ivoice;
        jused += ip;
        float prop = float(jused - ip / 2) / float(pass.lsamp);
        for (uint32_t j = 0; j < LpcOrder; ++j) {
            float xxy = std::exp(alro[j] + prop * (alrn[j] - alro[j]));
            e.rc[n][j] = (xxy - 1.0f) / (xxy + 1.0f);
        }
        e.rms[n] = std::exp(logOld + prop * (logNew - logOld));
    }
}

// Splits the frame (plus the samples carried from the last one) into pitch
// periods, interpolating log-area coefficients and log RMS across the frame.
// Voicing changes are placed at the quarter or three-quarter point.
void splitEpochs(DecoderState& s, const int32_t voice[2], int32_t& pitch, float& rms, float* rc, Epochs& e)
{
    const int32_t f = LpcFrameSamples;
    if (rms < 1.0f)
        rms = 1.0f;
    if (s.oldRms < 1.0f)
        s.oldRms = 1.0f;
    float uvpit = 0.0f;
    e.ratio = rms / (s.oldRms + 8.0f);

    if (s.firstFrame) {
        firstFrameEpochs(s, voice[1], pitch, rms, rc, e);
    } else {
        bool secondPass = false;
        float heldRc[LpcOrder];
        int32_t lsamp = f + s.carrySamples;
        float slope = float(pitch - s.oldPitch) / float(lsamp);
        int32_t ivoice;
        int32_t jused = 0;
        int32_t istart = 1;
        e.count = 0;
        if (voice[0] == s.oldVoicing && voice[1] == voice[0]) {
            if (voice[1] == 0) {
                // Unvoiced throughout: fixed 45-sample periods.
                pitch = f / 4;
                s.oldPitch = pitch;
                if (e.ratio > 8.0f)
                    s.oldRms = rms;
            }
            slope = float(pitch - s.oldPitch) / float(lsamp);
            ivoice = voice[1];
        } else if (s.oldVoicing != 1) {
            // Unvoiced to voiced: two unvoiced periods up to the change.
            int32_t nl = s.oldVoicing == voice[0] ? lsamp - f / 4 : lsamp - f * 3 / 4;
            e.length[0] = nl / 2;
            e.length[1] = nl - e.length[0];
            e.voiced[0] = 0;
            e.voiced[1] = 0;
            e.rms[0] = s.oldRms;
            e.rms[1] = s.oldRms;
            for (uint32_t i = 0; i < LpcOrder; ++i) {
                e.rc[0][i] = s.oldRc[i];
                e.rc[1][i] = s.oldRc[i];
                s.oldRc[i] = rc[i];
            }
            slope = 0.0f;
            e.count = 2;
            s.oldPitch = pitch;
            jused = nl;
            istart = nl + 1;
            ivoice = 1;
        } else {
            // Voiced to unvoiced: voiced periods with the old parameters up
            // to the change, then unvoiced ones with the new.
            lsamp = (s.oldVoicing != voice[0] ? f / 4 : f * 3 / 4) + s.carrySamples;
            for (uint32_t i = 0; i < LpcOrder; ++i) {
                heldRc[i] = rc[i];
                rc[i] = s.oldRc[i];
            }
            ivoice = 1;
            slope = 0.0f;
            secondPass = true;
        }
        for (;;) {
            placeEpochs(s, rc, rms, {istart, lsamp, slope, uvpit, ivoice}, jused, pitch, e);
            if (!secondPass)
                break;
            secondPass = false;
            istart = jused + 1;
            lsamp = f + s.carrySamples;
            slope = 0.0f;
            ivoice = 0;
            uvpit = float((lsamp - istart) / 2);
            if (uvpit > 90.0f)
                uvpit /= 2;
            s.oldRms = rms;
            for (uint32_t i = 0; i < LpcOrder; ++i) {
                rc[i] = heldRc[i];
                s.oldRc[i] = heldRc[i];
            }
        }
        s.carrySamples = lsamp - jused;
    }
    if (e.count != 0) {
        s.oldVoicing = voice[1];
        s.oldPitch = pitch;
        s.oldRms = rms;
        std::memcpy(s.oldRc, rc, sizeof(s.oldRc));
    }
}

// Reflection to predictor coefficients; returns the two-pass filter gain.
float toPredictor(const float* rc, float* pc, float gain)
{
    float g = 1.0f;
    for (uint32_t i = 0; i < LpcOrder; ++i)
        g *= 1.0f - rc[i] * rc[i];
    g = gain * std::sqrt(g);
    float temp[LpcOrder];
    pc[0] = rc[0];
    for (uint32_t i = 1; i < LpcOrder; ++i) {
        for (uint32_t j = 0; j < i; ++j)
            temp[j] = pc[j] - rc[i] * pc[i - j - 1];
        std::memcpy(pc, temp, sizeof(float) * i);
        pc[i] = rc[i];
    }
    return g;
}

// The voiced excitation pulse.
const int32_t Pulse[25] = {8,    -16, 26,  -48, 86,  -162, 294, -502, 718, -728, 184, 672, -610,
                            -672, 184, 728, 718, 502, 294,  162, 86,   48,  26,   16,  8};

// One pitch period of excitation through the filter, scaled to the RMS.
void synthesisePeriod(DecoderState& s, const float* pc, int32_t ip, int32_t voiced, float* out, float rms, float ratio,
                      float g2pass)
{
    const int32_t order = LpcOrder;
    LpcNoiseGenerator& noise = sharedLpcNoise();
    float* exc = s.exc;
    float* exc2 = s.exc2;

    // Scale the filter history to the new level.
    float xy = std::min(s.previousGain / (rms + 1.0e-6f), 8.0f);
    s.previousGain = rms;
    for (int32_t i = 0; i < order; ++i)
        exc2[i] = exc2[s.previousPeriod + i] * xy;
    s.previousPeriod = ip;

    if (voiced == 0) {
        // Noise, plus a doublet for plosives.
        for (int32_t i = 0; i < ip; ++i)
            exc[order + i] = float(noise.next() / 64);
        int32_t px = (noise.next() + 32768) * (ip - 1) / 65536 + order + 1;
        float pulse = std::min(ratio / 4.0f * 342, 2000.0f);
        exc[px - 1] += pulse;
        exc[px] -= pulse;
    } else {
        // Low-passed pulse plus high-passed noise.
        float sscale = std::sqrt(float(ip)) / 6.928f;
        float lpi0 = s.lpi[0], lpi1 = s.lpi[1];
        for (int32_t i = 0; i < ip; ++i) {
            float x = i < 25 ? sscale * float(Pulse[i]) : 0.0f;
            exc[order + i] = x * 0.125f + lpi0 * 0.75f + lpi1 * 0.125f;
            lpi1 = lpi0;
            lpi0 = x;
        }
        s.lpi[0] = lpi0;
        s.lpi[1] = lpi1;
        float hpi0 = s.hpi[0], hpi1 = s.hpi[1];
        for (int32_t i = 0; i < ip; ++i) {
            float x = float(noise.next()) / 64.0f;
            exc[order + i] += x * -0.125f + hpi0 * 0.25f + hpi1 * -0.125f;
            hpi1 = hpi0;
            hpi0 = x;
        }
        s.hpi[0] = hpi0;
        s.hpi[1] = hpi1;
    }
    // Two passes through the all-pole filter. The first only reads the
    // excitation, so it runs tap by tap over all outputs at once (each
    // output still sums its taps in order).
    float acc[156] = {};
    for (int32_t j = 0; j < order; ++j) {
        const float c = pc[j];
        const float* x = exc + order - j - 1;
        for (int32_t i = 0; i < ip; ++i)
            acc[i] += c * x[i];
    }
    for (int32_t i = 0; i < ip; ++i)
        exc2[order + i] = acc[i] * g2pass + exc[order + i];
    float energy = 0.0f;
    for (int32_t i = 0; i < ip; ++i) {
        int32_t k = order + i;
        float sum = 0.0f;
        for (int32_t j = 0; j < order; ++j)
            sum += pc[j] * exc2[k - j - 1];
        exc2[k] = sum + exc2[k];
        energy += exc2[k] * exc2[k];
    }
    for (int32_t i = 0; i < order; ++i) {
        exc[i] = exc[ip + i];
        exc2[i] = exc2[ip + i];
    }
    float gain = std::sqrt(rms * rms * float(ip) / energy);
    for (int32_t i = 0; i < ip; ++i)
        out[i] = gain * exc2[order + i];
}

void deemphasise(DecoderState& s, float* x, int32_t n)
{
    // Memory in locals: x points into the state's own buffer.
    float dei0 = s.dei[0], dei1 = s.dei[1];
    float deo0 = s.deo[0], deo1 = s.deo[1], deo2 = s.deo[2];
    for (int32_t i = 0; i < n; ++i) {
        float in = x[i];
        float y = x[i] - dei0 * 1.9998f + dei1;
        y = y + deo0 * 2.5f - deo1 * 2.0925f + deo2 * 0.585f;
        x[i] = y;
        dei1 = dei0;
        dei0 = in;
        deo2 = deo1;
        deo1 = deo0;
        deo0 = y;
    }
    s.dei[0] = dei0;
    s.dei[1] = dei1;
    s.deo[0] = deo0;
    s.deo[1] = deo1;
    s.deo[2] = deo2;
}

int16_t toSample(float v)
{
    float x = v * 8.0f;
    if (x >= 32767.0f)
        return 32767;
    if (x <= -32768.0f)
        return -32768;
    if (x != x)
        return 0;
    return int16_t(nearest(x));
}

} // namespace

void synthesise(DecoderState& s, FrameParameters& p, int16_t* out)
{
    p.pitch = std::max(std::min(p.pitch, 156), 20);
    for (uint32_t i = 0; i < LpcOrder; ++i)
        p.rc[i] = std::max(std::min(p.rc[i], 0.99f), -0.99f);
    Epochs e;
    splitEpochs(s, p.voice, p.pitch, p.rms, p.rc, e);
    for (int32_t j = 0; j < e.count; ++j) {
        float pc[LpcOrder];
        float g2pass = toPredictor(e.rc[j], pc, 0.7f);
        SF_ASSERT(s.bufLength + e.length[j] <= int32_t(2 * LpcFrameSamples), "LPC-10 synthesis: buffer overrun");
        float* dest = &s.buf[s.bufLength];
        synthesisePeriod(s, pc, e.length[j], e.voiced[j], dest, e.rms[j], e.ratio, g2pass);
        deemphasise(s, dest, e.length[j]);
        s.bufLength += e.length[j];
    }
    SF_ASSERT(s.bufLength >= int32_t(LpcFrameSamples), "LPC-10 synthesis: buffer underrun");
    for (uint32_t i = 0; i < LpcFrameSamples; ++i)
        out[i] = toSample(s.buf[i]);
    s.bufLength -= LpcFrameSamples;
    std::memmove(s.buf, s.buf + LpcFrameSamples, sizeof(float) * uint32_t(s.bufLength));
}

} // namespace lpc10
} // namespace seafold
