// LPC-10 analysis, pitch and spectrum: input conditioning, the low-pass and
// inverse filters, the AMDF pitch search, and the covariance solution for the
// reflection coefficients. Positions as in lpc10_voicing.cpp.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/platform.h"
#include "voice/lpc10_local.h"

namespace seafold {

EncoderState::EncoderState()
{
    // Every field starts at zero except the few the analysis needs primed.
    std::memset(static_cast<void*>(this), 0, sizeof(*this));
    vwin[2][0] = 307;
    vwin[2][1] = 462;
    awin[2][0] = 307;
    awin[2][1] = 462;
    osptr = 1;
    onsetD = 1.0f;
    l2ptr1 = 1;
    l2ptr2 = 9;
    hyst = false;
    dither = 20.0f;
    lbve = 3000;
    fbve = 3000;
    fbue = 187;
    ofbue = 187;
    sfbue = 187;
    lbue = 93;
    olbue = 93;
    slbue = 93;
    snr = float((fbve / fbue) << 6); // 1024
}

namespace lpc10 {
namespace {

// Pitch lags searched, in samples.
const int32_t Lags[60] = {20,  21,  22,  23,  24,  25,  26,  27,  28,  29,  30,  31,  32,  33,  34,
                           35,  36,  37,  38,  39,  40,  42,  44,  46,  48,  50,  52,  54,  56,  58,
                           60,  62,  64,  66,  68,  70,  72,  74,  76,  78,  80,  84,  88,  92,  96,
                           100, 104, 108, 112, 116, 120, 124, 128, 132, 136, 140, 144, 148, 152, 156};

// 31-tap equiripple low-pass (800 Hz pass, 1240 Hz stop), symmetric: tap k
// and tap 30 - k share LowPass[k]; the centre tap is LowPass[15].
const float LowPass[16] = {-0.0097201988f, -0.0105179986f, -0.0083479648f, 5.860774e-4f,
                            0.0130892089f,  0.0217052232f,  0.0184161253f,  3.39723e-4f,
                            -0.0260797087f, -0.0455563702f, -0.040306855f,  5.029835e-4f,
                            0.0729262903f,  0.1572008878f,  0.2247288674f,  0.250535965f};

void lowPass(EncoderState& s)
{
    // Tap pair by tap pair over the whole frame; each output still adds its
    // terms in the same order.
    const float* in = s.inbuf;
    float* out = &s.lpbuf[541];
    const int32_t n = LpcFrameSamples;
    for (int32_t i = 0; i < n; ++i)
        out[i] = (in[541 + i] + in[511 + i]) * LowPass[0];
    for (int k = 1; k < 15; ++k) {
        const float c = LowPass[k];
        const float* a = &in[541 - k];
        const float* b = &in[511 + k];
        for (int32_t i = 0; i < n; ++i)
            out[i] += (a[i] + b[i]) * c;
    }
    for (int32_t i = 0; i < n; ++i)
        out[i] += in[526 + i] * LowPass[15];
}

// Second-order inverse filter of the low-passed speech, on the 4:1
// decimated autocorrelation; fills ivbuf positions 361..540.
void inverseFilter(EncoderState& s, float ivrc[2])
{
    const float* lp = s.lpbuf;
    float r[3];
    for (int32_t i = 1; i <= 3; ++i) {
        int32_t lag = (i - 1) * 4;
        r[i - 1] = 0.0f;
        for (int32_t p = 360 + 4 * i; p <= 540; p += 2)
            r[i - 1] += lp[p] * lp[p - lag];
    }
    float pc1 = 0.0f, pc2 = 0.0f;
    ivrc[0] = 0.0f;
    ivrc[1] = 0.0f;
    if (r[0] > 1.0e-10f) {
        ivrc[0] = r[1] / r[0];
        ivrc[1] = (r[2] - ivrc[0] * r[1]) / (r[0] - ivrc[0] * r[1]);
        pc1 = ivrc[0] - ivrc[0] * ivrc[1];
        pc2 = ivrc[1];
    }
    for (int32_t p = 361; p <= 540; ++p)
        s.ivbuf[p] = lp[p] - pc1 * lp[p - 4] - pc2 * lp[p - 8];
}

// Average magnitude difference over 156 samples (every 4th) centred in the
// pitch window (positions 229..540 of `iv`), for each lag; min and max
// positions are 0-based.
void amdfForLags(const float* iv, const int32_t* lags, int32_t count, float* amdf, int32_t* minPos, int32_t* maxPos)
{
    const int32_t maxLag = 156, length = 156;
    // Window of lag i: 1-based samples n1 .. n1 + 155 of the pitch window
    // (position 229 = sample 1), n1 = (156 - lag) / 2 + 1, every 4th. The
    // sums of all lags advance together, each adding its terms in order.
    const int32_t terms = (length + 3) / 4;
    int32_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const float* a[8];
        int32_t lag[8];
        float sum[8] = {};
        for (int b = 0; b < 8; ++b) {
            lag[b] = lags[i + b];
            a[b] = iv + 228 + (maxLag - lag[b]) / 2 + 1;
        }
        for (int32_t m = 0; m < 4 * terms; m += 4) {
            for (int b = 0; b < 8; ++b)
                sum[b] += std::fabs(a[b][m] - a[b][m + lag[b]]);
        }
        for (int b = 0; b < 8; ++b)
            amdf[i + b] = sum[b];
    }
    for (; i < count; ++i) {
        const float* a = iv + 228 + (maxLag - lags[i]) / 2 + 1;
        float sum = 0.0f;
        for (int32_t m = 0; m < 4 * terms; m += 4)
            sum += std::fabs(a[m] - a[m + lags[i]]);
        amdf[i] = sum;
    }
    *minPos = 0;
    *maxPos = 0;
    for (int32_t i = 0; i < count; ++i) {
        if (amdf[i] < amdf[*minPos])
            *minPos = i;
        if (amdf[i] > amdf[*maxPos])
            *maxPos = i;
    }
}

// Coarse AMDF over the lag table, refined around the minimum at full
// resolution and checked one octave up. minPos/maxPos 0-based into Lags.
void pitchSearch(const float* iv, float amdf[60], int32_t* minPos, int32_t* maxPos, int32_t* mintau)
{
    amdfForLags(iv, Lags, 60, amdf, minPos, maxPos);
    *mintau = Lags[*minPos];
    int32_t minAmdf = int32_t(amdf[*minPos]); // the reference keeps it as an integer

    // Lags within +-3 of the minimum not yet in the table.
    int32_t extra[6];
    int32_t extraCount = 0;
    int32_t ptr = *minPos - 2;
    int32_t hi = std::min(*mintau + 3, Lags[59] - 1);
    for (int32_t lag = std::max(*mintau - 3, 41); lag <= hi; ++lag) {
        while (Lags[ptr] < lag)
            ++ptr;
        if (Lags[ptr] != lag)
            extra[extraCount++] = lag;
    }
    float amdf2[6];
    int32_t min2, max2;
    if (extraCount > 0) {
        amdfForLags(iv, extra, extraCount, amdf2, &min2, &max2);
        if (amdf2[min2] < float(minAmdf)) {
            *mintau = extra[min2];
            minAmdf = int32_t(amdf2[min2]);
        }
    }
    // One octave up.
    if (*mintau >= 80) {
        int32_t half = *mintau / 2;
        if ((half & 1) == 0) {
            extraCount = 2;
            extra[0] = half - 1;
            extra[1] = half + 1;
        } else {
            extraCount = 1;
            extra[0] = half;
        }
        amdfForLags(iv, extra, extraCount, amdf2, &min2, &max2);
        if (amdf2[min2] < float(minAmdf)) {
            *mintau = extra[min2];
            minAmdf = int32_t(amdf2[min2]);
            *minPos -= 20;
        }
    }
    amdf[*minPos] = float(minAmdf);
    // Maximum within half an octave of the minimum.
    *maxPos = std::max(*minPos - 5, 0);
    int32_t last = std::min(*minPos + 5, 59);
    for (int32_t i = *maxPos + 1; i <= last; ++i) {
        if (amdf[i] > amdf[*maxPos])
            *maxPos = i;
    }
}

// Covariance matrix phi (10x10, lower triangle used) and vector psi of the
// windowed speech x(1..n) (x[i - 1] holds x(i)).
void loadCovariance(const float* x, int32_t n, float phi[10][10], float psi[10])
{
    auto X = [x](int32_t i) { return x[i - 1]; };
    const int32_t order = 10;
    const int32_t start = 1 + order;
    // First column and last psi: all eleven sums advance together, each
    // still adding its products in order.
    float col[order + 1] = {};
    for (int32_t i = start; i <= n; ++i) {
        const float a = X(i - 1);
        for (int32_t r = 1; r <= order; ++r)
            col[r - 1] += a * X(i - r);
        col[order] += X(i) * X(i - order);
    }
    for (int32_t r = 1; r <= order; ++r)
        phi[r - 1][0] = col[r - 1];
    psi[order - 1] = col[order];
    // The other columns by end corrections of the first.
    for (int32_t r = 2; r <= order; ++r) {
        for (int32_t c = 2; c <= r; ++c)
            phi[r - 1][c - 1] = phi[r - 2][c - 2] - X(n + 1 - r) * X(n + 1 - c) + X(start - r) * X(start - c);
    }
    for (int32_t c = 1; c <= order - 1; ++c)
        psi[c - 1] = phi[c][0] - X(start - 1) * X(start - 1 - c) + X(n) * X(n - c);
}

// Cholesky solution of phi * a = psi, producing reflection-like coefficients
// limited to +-0.999; a singular step zeroes the remaining ones.
void solveCovariance(const float phi[10][10], const float psi[10], float rc[10])
{
    const int32_t order = 10;
    float v[10][10]; // v[i][j], i >= j
    for (int32_t j = 0; j < order; ++j) {
        for (int32_t i = j; i < order; ++i)
            v[i][j] = phi[i][j];
        for (int32_t k = 0; k < j; ++k) {
            float save = v[j][k] * v[k][k];
            for (int32_t i = j; i < order; ++i)
                v[i][j] -= v[i][k] * save;
        }
        if (std::fabs(v[j][j]) < 1.0e-10f) {
            for (int32_t i = j; i < order; ++i)
                rc[i] = 0.0f;
            return;
        }
        rc[j] = psi[j];
        for (int32_t k = 0; k < j; ++k)
            rc[j] -= rc[k] * v[j][k];
        v[j][j] = 1.0f / v[j][j];
        rc[j] *= v[j][j];
        rc[j] = std::max(std::min(rc[j], 0.999f), -0.999f);
    }
}

void shiftFrame(EncoderState& s)
{
    const int32_t f = LpcFrameSamples;
    std::memmove(&s.inbuf[181], &s.inbuf[181 + f], sizeof(float) * (720 - f - 181 + 1));
    std::memmove(&s.pebuf[181], &s.pebuf[181 + f], sizeof(float) * (720 - f - 181 + 1));
    std::memmove(&s.ivbuf[229], &s.ivbuf[229 + f], sizeof(float) * (540 - f - 229 + 1));
    std::memmove(&s.lpbuf[25], &s.lpbuf[25 + f], sizeof(float) * (720 - f - 25 + 1));
    int32_t kept = 1;
    for (int32_t i = 1; i < s.osptr; ++i) {
        if (s.osbuf[i] > f)
            s.osbuf[kept++] = s.osbuf[i] - f;
    }
    s.osptr = kept;
    s.voibuf[0][0] = s.voibuf[1][0];
    s.voibuf[0][1] = s.voibuf[1][1];
    for (int i = 0; i < 2; ++i) {
        s.vwin[i][0] = s.vwin[i + 1][0] - f;
        s.vwin[i][1] = s.vwin[i + 1][1] - f;
        s.awin[i][0] = s.awin[i + 1][0] - f;
        s.awin[i][1] = s.awin[i + 1][1] - f;
        s.obound[i] = s.obound[i + 1];
        s.voibuf[i + 1][0] = s.voibuf[i + 2][0];
        s.voibuf[i + 1][1] = s.voibuf[i + 2][1];
        s.rmsbuf[i] = s.rmsbuf[i + 1];
        std::memcpy(s.rcbuf[i], s.rcbuf[i + 1], sizeof(s.rcbuf[i]));
    }
}

} // namespace

void highPass100Hz(EncoderState& s, float* speech, int count)
{
    // Filter memory in locals: the output stores could otherwise alias it.
    float z11 = s.hpZ11, z21 = s.hpZ21, z12 = s.hpZ12, z22 = s.hpZ22;
    for (int i = 0; i < count; ++i) {
        float x = speech[i];
        float e = x + z11 * 1.859076f - z21 * 0.8648249f;
        x = e - z11 * 2.0f + z21;
        z21 = z11;
        z11 = e;
        e = x + z12 * 1.935715f - z22 * 0.9417004f;
        x = e - z12 * 2.0f + z22;
        z22 = z12;
        z12 = e;
        speech[i] = x * 0.902428f;
    }
    s.hpZ11 = z11;
    s.hpZ21 = z21;
    s.hpZ12 = z12;
    s.hpZ22 = z22;
}

void analyseFrame(EncoderState& s, const float* speech, FrameAnalysis* result)
{
    // The newest frame is analysed for voicing and pitch; RMS and
    // coefficients are delayed two frames so they match the decisions.
    shiftFrame(s);

    // Scale, remove the running DC bias; the bias moves by one step when the
    // frame's mean passes +-1/4096.
    float sum = 0.0f;
    for (int32_t i = 0; i < int32_t(LpcFrameSamples); ++i) {
        s.inbuf[541 + i] = speech[i] * 4096.0f - s.bias;
        sum += s.inbuf[541 + i];
    }
    if (sum > float(LpcFrameSamples))
        s.bias += 1.0f;
    else if (sum < -float(LpcFrameSamples))
        s.bias -= 1.0f;

    // Pre-emphasis, onsets and the voicing window.
    float z = s.zpre;
    for (int32_t p = 541; p <= 720; ++p) {
        s.pebuf[p] = s.inbuf[p] - 0.9375f * z;
        z = s.inbuf[p];
    }
    s.zpre = z;
    detectOnsets(s);
    placeVoicingWindow(s);

    // Pitch candidates from the low-passed, inverse-filtered speech.
    float ivrc[2];
    lowPass(s);
    inverseFilter(s, ivrc);
    float amdf[60];
    int32_t minPos, maxPos, mintau;
    pitchSearch(s.ivbuf, amdf, &minPos, &maxPos, &mintau);
    for (int32_t half = 0; half < 2; ++half)
        decideVoicing(s, half, amdf[minPos], amdf[maxPos], mintau, ivrc);

    int32_t midx;
    int32_t pitchIndex = trackPitch(s, amdf, minPos + 1, s.voibuf[3][1], &midx);

    // Analysis and energy windows, then energy and coefficients.
    int32_t ewin[2];
    placeAnalysisWindow(s, Lags[midx - 1], ewin);
    int32_t first = s.awin[2][0];
    int32_t length = s.awin[2][1] + 1 - first;
    // Window placement keeps every window between 90 and 156 samples; the
    // covariance needs more than the filter order.
    SF_ASSERT(length > int32_t(LpcOrder) && length <= 156, "LPC-10 analysis window out of range");
    float window[156];
    float mean = 0.0f;
    for (int32_t i = 0; i < length; ++i)
        mean += s.pebuf[first + i];
    mean /= float(length);
    for (int32_t i = 0; i < length; ++i)
        window[i] = s.pebuf[first + i] - mean;

    int32_t energyLength = ewin[1] - ewin[0] + 1;
    const float* e = &window[ewin[0] - first];
    float energy = 0.0f;
    for (int32_t i = 0; i < energyLength; ++i)
        energy += e[i] * e[i];
    s.rmsbuf[2] = std::sqrt(energy / float(energyLength));

    float phi[10][10], psi[10];
    loadCovariance(window, length, phi, psi);
    solveCovariance(phi, psi, s.rcbuf[2]);
    // An unstable set repeats the previous frame's coefficients.
    for (int i = 0; i < 10; ++i) {
        if (std::fabs(s.rcbuf[2][i]) > 0.99f) {
            std::memcpy(s.rcbuf[2], s.rcbuf[1], sizeof(s.rcbuf[2]));
            break;
        }
    }

    result->voice[0] = s.voibuf[1][0];
    result->voice[1] = s.voibuf[1][1];
    result->pitchIndex = pitchIndex;
    result->rms = s.rmsbuf[0];
    std::memcpy(result->rc, s.rcbuf[0], sizeof(result->rc));
}

} // namespace lpc10
} // namespace seafold
