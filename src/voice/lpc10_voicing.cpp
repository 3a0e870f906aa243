// LPC-10 analysis, voicing: onsets, voicing and analysis window placement, the
// half-frame voicing detector and the dynamic pitch tracker.
//
// Sample positions are those of the analysis span: 181..720 for the input,
// the newest frame at 541..720. Frames are numbered 0 (past) .. 3 (the newest
// half-frame decisions); windows of frames 1..3 sit in slots 0..2.
#include <algorithm>
#include <cmath>

#include "voice/lpc10_local.h"

namespace seafold {
namespace lpc10 {

// ---- onset detection --------------------------------------------------------

void detectOnsets(EncoderState& s)
{
    // An onset is a jump of the low-passed first reflection coefficient of the
    // pre-emphasised speech; once seen, 10 samples must pass before another.
    if (s.hyst)
        s.lasti -= LpcFrameSamples;
    // The running values live in locals: stores into l2buf could otherwise
    // alias them and force a reload every sample.
    float n = s.onsetN, d = s.onsetD, fpc = s.onsetFpc, l2sum1 = s.l2sum1;
    int32_t ptr1 = s.l2ptr1, ptr2 = s.l2ptr2;
    for (int32_t i = 541; i <= 720; ++i) {
        float prev = s.pebuf[i - 1];
        n = (s.pebuf[i] * prev + n * 63.0f) / 64.0f;
        d = (prev * prev + d * 63.0f) / 64.0f;
        if (d != 0.0f) {
            if (std::fabs(n) > d)
                fpc = signOf(1.0f, n);
            else
                fpc = n / d;
        }
        // 16-sample moving sums, eight apart.
        float l2sum2 = s.l2buf[ptr1 - 1];
        l2sum1 = l2sum1 - s.l2buf[ptr2 - 1] + fpc;
        s.l2buf[ptr2 - 1] = l2sum1;
        s.l2buf[ptr1 - 1] = fpc;
        ptr1 = ptr1 % 16 + 1;
        ptr2 = ptr2 % 16 + 1;
        if (std::fabs(l2sum1 - l2sum2) > 1.7f) {
            if (!s.hyst) {
                if (s.osptr <= 10) { // a full onset list ignores the rest
                    s.osbuf[s.osptr] = i - 9;
                    ++s.osptr;
                }
                s.hyst = true;
            }
            s.lasti = i;
        } else if (s.hyst && i - s.lasti >= 10) {
            s.hyst = false;
        }
    }
    s.onsetN = n;
    s.onsetD = d;
    s.onsetFpc = fpc;
    s.l2sum1 = l2sum1;
    s.l2ptr1 = ptr1;
    s.l2ptr2 = ptr2;
}

// ---- voicing window ---------------------------------------------------------

void placeVoicingWindow(EncoderState& s)
{
    const int32_t minWin = 90, maxWin = 156, defaultLow = 307;
    int32_t* osbuf = s.osbuf; // entries 1 .. osptr-1
    int32_t lrange = std::max(s.vwin[1][1] + 1, 181);
    int32_t hrange = 540;
    int32_t& obound = s.obound[2];
    int32_t* win = s.vwin[2];

    // Onsets past the placement range do not matter.
    int32_t last = s.osptr - 1;
    while (last >= 1 && osbuf[last] > hrange)
        --last;
    // Now onsets 1..last lie at or below hrange.
    if (last < 1 || osbuf[last] < lrange) {
        // No onset in range: the default place, full length.
        win[0] = std::max(s.vwin[1][1] + 1, defaultLow);
        win[1] = win[0] + maxWin - 1;
        obound = 0;
        return;
    }
    // First onset within the range.
    int32_t q = last;
    while (q - 1 >= 1 && osbuf[q - 1] >= lrange)
        --q;
    // Another onset far enough after it leaves room for a window between them.
    bool critical = false;
    for (int32_t i = q + 1; i <= last; ++i) {
        if (osbuf[i] - osbuf[q] >= minWin) {
            critical = true;
            break;
        }
    }
    if (!critical && osbuf[q] > std::max(int32_t(360), lrange + minWin - 1)) {
        // Window just before the onset.
        win[1] = osbuf[q] - 1;
        win[0] = std::max(lrange, win[1] - maxWin + 1);
        obound = 2;
        return;
    }
    // Window starting at the onset, ending before the next one if that comes
    // after at least the minimum length.
    win[0] = osbuf[q];
    for (;;) {
        ++q;
        if (q > last || osbuf[q] > win[0] + maxWin) {
            win[1] = std::min(win[0] + maxWin - 1, hrange);
            obound = 1;
            return;
        }
        if (osbuf[q] >= win[0] + minWin)
            break;
    }
    win[1] = osbuf[q] - 1;
    obound = 3;
}

// ---- analysis and energy windows ---------------------------------------------

void placeAnalysisWindow(EncoderState& s, int32_t pitch, int32_t ewin[2])
{
    const int32_t maxWin = 156;
    const int32_t lrange = 181, hrange = 540;
    const int32_t obound = s.obound[2];
    const int32_t(*v)[2] = s.voibuf;
    int32_t* win = s.awin[2];
    const int32_t* vw = s.vwin[2];

    bool allVoiced = v[1][1] == 1 && v[2][0] == 1 && v[2][1] == 1 && v[3][0] == 1 && v[3][1] == 1;
    bool windowVoiced = v[3][0] == 1 || v[3][1] == 1;
    bool phaseLocked;
    if (allVoiced || (windowVoiced && obound == 0)) {
        // Phase-synchronous with the previous analysis window, as near the
        // centre of the voicing window as whole pitch periods allow.
        int32_t first = (lrange + pitch - 1 - s.awin[1][0]) / pitch * pitch + s.awin[1][0];
        int32_t centred = (vw[0] + vw[1] + 1 - maxWin) / 2;
        win[0] = first + nearest(float(centred - first) / float(pitch)) * pitch;
        win[1] = win[0] + maxWin - 1;
        if (obound >= 2 && win[1] > vw[1]) {
            win[0] -= pitch;
            win[1] -= pitch;
        }
        if ((obound == 1 || obound == 3) && win[0] < vw[0]) {
            win[0] += pitch;
            win[1] += pitch;
        }
        while (win[1] > hrange) {
            win[0] -= pitch;
            win[1] -= pitch;
        }
        while (win[0] < lrange) {
            win[0] += pitch;
            win[1] += pitch;
        }
        phaseLocked = true;
    } else {
        win[0] = vw[0];
        win[1] = vw[1];
        phaseLocked = false;
    }
    // The energy window covers whole pitch periods of the analysis window.
    int32_t periods = (win[1] - win[0] + 1) / pitch * pitch;
    if (periods == 0 || !windowVoiced) {
        ewin[0] = vw[0];
        ewin[1] = vw[1];
    } else if (!phaseLocked && obound == 2) {
        ewin[0] = win[1] - periods + 1;
        ewin[1] = win[1];
    } else {
        ewin[0] = win[0];
        ewin[1] = win[0] + periods - 1;
    }
}

// ---- voicing detector ----------------------------------------------------------

namespace {

struct VoicingMeasures {
    int32_t zc, lbe, fbe;
    float qs, rc1, arB, arF;
};

// Zero crossings, energies and correlations over one half of the voicing
// window, of the full-band input and the low-passed input.
VoicingMeasures measureHalf(EncoderState& s, const int32_t vwin[2], int32_t half, int32_t mintau)
{
    const float* in = s.inbuf;
    const float* lp = s.lpbuf;
    float lpRms = 0, apRms = 0, ePre = 0, e0ap = 0, rc1 = 0, e0 = 0, eB = 0, eF = 0, rF = 0, rB = 0;
    int32_t zc = 0;
    int32_t vlen = vwin[1] - vwin[0] + 1;
    int32_t start = vwin[0] + half * vlen / 2 + 1;
    int32_t stop = start + vlen / 2 - 1;

    float dither = s.dither;
    float oldSign = signOf(1.0f, in[start - 1] - dither);
    for (int32_t i = start; i <= stop; ++i) {
        lpRms += std::fabs(lp[i]);
        apRms += std::fabs(in[i]);
        ePre += std::fabs(in[i] - in[i - 1]);
        e0ap += in[i] * in[i];
        rc1 += in[i] * in[i - 1];
        e0 += lp[i] * lp[i];
        eB += lp[i - mintau] * lp[i - mintau];
        eF += lp[i + mintau] * lp[i + mintau];
        rF += lp[i] * lp[i + mintau];
        rB += lp[i] * lp[i - mintau];
        // Branch-free: speech makes this comparison a coin toss.
        const bool crossed = signOf(1.0f, in[i] + dither) != oldSign;
        zc += crossed;
        oldSign = crossed ? -oldSign : oldSign;
        dither = -dither;
    }
    s.dither = dither;
    VoicingMeasures m;
    m.rc1 = rc1 / std::max(e0ap, 1.0f);
    m.qs = ePre / std::max(apRms * 2.0f, 1.0f);
    m.arB = rB / std::max(eB, 1.0f) * (rB / std::max(e0, 1.0f));
    m.arF = rF / std::max(eF, 1.0f) * (rF / std::max(e0, 1.0f));
    // Normalised to the old fixed window of 180 samples.
    float scale = 90.0f / float(vlen);
    m.zc = nearest(float(zc * 2) * scale);
    m.lbe = std::min(nearest(lpRms / 4 * scale), 32767);
    m.fbe = std::min(nearest(apRms / 4 * scale), 32767);
    return m;
}

// Discriminant coefficients per SNR class: maxmin, lbe/lbve, zc, rc1, qs,
// ivrc2, aR_b, aR_f, log(lbe/lbve) (unused), constant.
const float VoicingCoefficients[5][10] = {
    {0.0f, 1714.0f, -110.0f, 334.0f, -4096.0f, -654.0f, 3752.0f, 3769.0f, 0.0f, 1181.0f},
    {0.0f, 874.0f, -97.0f, 300.0f, -4096.0f, -1021.0f, 2451.0f, 2527.0f, 0.0f, -500.0f},
    {0.0f, 510.0f, -70.0f, 250.0f, -4096.0f, -1270.0f, 2194.0f, 2491.0f, 0.0f, -1500.0f},
    {0.0f, 500.0f, -10.0f, 200.0f, -4096.0f, -1300.0f, 2000.0f, 2000.0f, 0.0f, -2000.0f},
    {0.0f, 500.0f, 0.0f, 0.0f, -4096.0f, -1300.0f, 2000.0f, 2000.0f, 0.0f, -2500.0f},
};
const float SnrThresholds[4] = {600.0f, 450.0f, 300.0f, 200.0f};

// Smoothing over the past (1), present (2) and future (3) half-frame pairs:
// unvoiced runs last at least two halves, voiced runs two within a frame or
// three otherwise, and a transition within half a frame of an onset moves to
// the onset.
void smoothVoicing(EncoderState& s)
{
    int32_t(*vb)[2] = s.voibuf;
    const float(*v)[2] = s.voice;
    const int32_t* ob = s.obound;
    bool onsetTransition = ((ob[0] & 2) != 0 || ob[1] == 1) && (ob[2] & 1) == 0;
    int32_t state = (vb[1][0] << 3) + (vb[1][1] << 2) + (vb[2][0] << 1) + vb[2][1];
    switch (state) {
    case 1: // 0 0 0 1
        if (onsetTransition && vb[3][0] == 1)
            vb[2][0] = 1;
        break;
    case 2: // 0 0 1 0
        if (vb[3][0] == 0 || v[1][0] < -v[1][1])
            vb[2][0] = 0;
        else
            vb[2][1] = 1;
        break;
    case 4: // 0 1 0 0
        vb[1][1] = 0;
        break;
    case 5: // 0 1 0 1
        if (v[0][1] < -v[1][0])
            vb[1][1] = 0;
        else
            vb[2][0] = 1;
        break;
    case 6: // 0 1 1 0
        if (vb[0][0] == 1 || vb[3][0] == 1 || v[1][1] > v[0][0])
            vb[2][1] = 1;
        else
            vb[1][0] = 1;
        break;
    case 7: // 0 1 1 1
        if (onsetTransition)
            vb[1][1] = 0;
        break;
    case 8: // 1 0 0 0
        if (onsetTransition)
            vb[1][1] = 1;
        break;
    case 10: // 1 0 1 0
        if (v[1][0] < -v[0][1])
            vb[2][0] = 0;
        else
            vb[1][1] = 1;
        break;
    case 11: // 1 0 1 1
        vb[1][1] = 1;
        break;
    case 13: // 1 1 0 1
        if (vb[3][0] == 0 && v[1][1] < -v[1][0])
            vb[2][1] = 0;
        else
            vb[2][0] = 1;
        break;
    case 14: // 1 1 1 0
        if (onsetTransition && vb[3][0] == 0)
            vb[2][0] = 0;
        break;
    default:
        break;
    }
}

} // namespace

void decideVoicing(EncoderState& s, int32_t half, float minAmdf, float maxAmdf, int32_t mintau, const float ivrc[2])
{
    if (half == 0) {
        s.voice[0][0] = s.voice[1][0];
        s.voice[0][1] = s.voice[1][1];
        s.voice[1][0] = s.voice[2][0];
        s.voice[1][1] = s.voice[2][1];
        s.maxmin = maxAmdf / std::max(minAmdf, 1.0f);
    }
    VoicingMeasures m = measureHalf(s, s.vwin[2], half, mintau);

    // Signal-to-noise estimate picks the coefficient row.
    s.snr = float(nearest((s.snr + float(s.fbve) / float(std::max(s.fbue, 1))) * 63 / 64.0f));
    float snr2 = s.snr * float(s.fbue) / float(std::max(s.lbue, 1));
    int32_t row = 0;
    while (row < 4 && !(snr2 > SnrThresholds[row]))
        ++row;

    float value[8] = {s.maxmin, float(m.lbe) / float(std::max(s.lbve, 1)), float(m.zc), m.rc1, m.qs, ivrc[1], m.arB,
                      m.arF};
    const float* c = VoicingCoefficients[row];
    float d = c[9];
    for (int i = 0; i < 8; ++i)
        d += c[i] * value[i];
    s.voice[2][half] = d;
    int32_t(*vb)[2] = s.voibuf;
    vb[3][half] = d > 0.0f ? 1 : 0;

    if (half != 0)
        smoothVoicing(s);

    // Energy trackers: unvoiced ones limited to 10 dB above their last input.
    if (vb[3][half] == 0) {
        s.sfbue = nearest(float(s.sfbue * 63 + (std::min(m.fbe, s.ofbue * 3) << 3)) / 64.0f);
        s.fbue = s.sfbue / 8;
        s.ofbue = m.fbe;
        s.slbue = nearest(float(s.slbue * 63 + (std::min(m.lbe, s.olbue * 3) << 3)) / 64.0f);
        s.lbue = s.slbue / 8;
        s.olbue = m.lbe;
    } else {
        s.lbve = nearest(float(s.lbve * 63 + m.lbe) / 64.0f);
        s.fbve = nearest(float(s.fbve * 63 + m.fbe) / 64.0f);
    }
    float dither = std::sqrt(float(s.lbue * s.lbve)) * 64 / 3000;
    s.dither = std::min(std::max(dither, 1.0f), 20.0f);
}

// ---- dynamic pitch tracking ----------------------------------------------------

int32_t trackPitch(EncoderState& s, const float amdf[60], int32_t minptr, int32_t voiced, int32_t* midxOut)
{
    const int32_t ltau = 60;
    // Slope of the cost ramp: high when unvoiced, so every lag stays a
    // candidate.
    if (voiced == 1)
        s.alphax = s.alphax * 0.75f + amdf[minptr - 1] / 2.0f;
    else
        s.alphax *= 0.984375f;
    float alpha = s.alphax / 16;
    if (voiced == 0 && s.alphax < 128.0f)
        alpha = 8.0f;

    float* cost = s.pathCost;
    int32_t* p = s.backPointer[s.trackPoint];
    // Left to right.
    int32_t pbar = 1;
    float sbar = cost[0];
    for (int32_t i = 1; i <= ltau; ++i) {
        sbar += alpha;
        if (sbar < cost[i - 1]) {
            cost[i - 1] = sbar;
            p[i - 1] = pbar;
        } else {
            sbar = cost[i - 1];
            p[i - 1] = i;
            pbar = i;
        }
    }
    // Right to left.
    int32_t i = pbar - 1;
    sbar = cost[i];
    while (i >= 1) {
        sbar += alpha;
        if (sbar < cost[i - 1]) {
            cost[i - 1] = sbar;
            p[i - 1] = pbar;
        } else {
            pbar = p[i - 1];
            i = pbar;
            sbar = cost[i - 1];
        }
        --i;
    }
    // Add this frame's AMDF and normalise.
    cost[0] += amdf[0] / 2;
    float minsc = cost[0], maxsc = minsc;
    int32_t midx = 1;
    for (int32_t k = 2; k <= ltau; ++k) {
        cost[k - 1] += amdf[k - 1] / 2;
        if (cost[k - 1] > maxsc)
            maxsc = cost[k - 1];
        if (cost[k - 1] < minsc) {
            midx = k;
            minsc = cost[k - 1];
        }
    }
    for (int32_t k = 0; k < ltau; ++k)
        cost[k] -= minsc;
    maxsc -= minsc;
    // Prefer a higher octave with a significant dip.
    int32_t j = 0;
    for (int32_t k = 20; k <= 40; k += 10) {
        if (midx > k && cost[midx - k - 1] < maxsc / 4)
            j = k;
    }
    midx -= j;
    // Trace back two frames.
    int32_t pitch = midx;
    int32_t slot = s.trackPoint;
    for (int32_t k = 0; k < 2; ++k) {
        pitch = s.backPointer[slot][pitch - 1];
        slot ^= 1;
    }
    s.trackPoint ^= 1;
    *midxOut = midx;
    return pitch;
}

} // namespace lpc10
} // namespace seafold
