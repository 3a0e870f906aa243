// Test signals made here, and what tests measure of them: tones, a
// synthetic vowel, seeded noise, level and pitch.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace seafold::testsignals {

constexpr double Pi = 3.14159265358979323846;

inline std::vector<int16_t> tone(double hz, uint32_t rate, double seconds, double amplitude)
{
    std::vector<int16_t> out(size_t(rate * seconds));
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = int16_t(std::lround(amplitude * std::sin(2 * Pi * hz * double(i) / rate)));
    return out;
}

// A vowel like "ah": a 120 Hz pulse train through three formant resonators;
// with `glideHz`, its pitch wanders by that much either way, 0.3 times a
// second, as a held vowel's does.
inline std::vector<int16_t> vowel(uint32_t rate, double seconds, double amplitude, double glideHz = 0)
{
    const double formants[3][2] = {{700, 110}, {1220, 120}, {2600, 160}};
    std::vector<double> signal(size_t(rate * seconds));
    if (glideHz == 0) {
        const uint32_t period = rate / 120;
        for (size_t i = 0; i < signal.size(); i += period)
            signal[i] = 1.0;
    } else {
        double phase = 0;
        for (size_t i = 0; i < signal.size(); ++i) {
            phase += (120 + glideHz * std::sin(2 * Pi * 0.3 * double(i) / rate)) / rate;
            if (phase >= 1) {
                phase -= 1;
                signal[i] = 1.0;
            }
        }
    }
    for (const auto& f : formants) {
        const double r = std::exp(-Pi * f[1] / rate);
        const double a1 = 2 * r * std::cos(2 * Pi * f[0] / rate), a2 = -r * r;
        double y1 = 0, y2 = 0;
        for (double& x : signal) {
            const double y = x + a1 * y1 + a2 * y2;
            y2 = y1;
            y1 = y;
            x = y;
        }
    }
    double peak = 0;
    for (double x : signal)
        peak = std::max(peak, std::fabs(x));
    std::vector<int16_t> out(signal.size());
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = int16_t(std::lround(signal[i] / peak * amplitude));
    return out;
}

inline std::vector<int16_t> noise(size_t count, double amplitude, uint32_t seed)
{
    std::mt19937 random(seed);
    std::normal_distribution<double> normal(0.0, amplitude);
    std::vector<int16_t> out(count);
    for (auto& s : out)
        s = int16_t(std::clamp(std::lround(normal(random)), -32768l, 32767l));
    return out;
}

inline double rms(const int16_t* samples, size_t count)
{
    double sum = 0;
    for (size_t i = 0; i < count; ++i)
        sum += double(samples[i]) * samples[i];
    return count ? std::sqrt(sum / count) : 0;
}

inline double rms(const std::vector<int16_t>& samples, size_t from, size_t to)
{
    to = std::min(to, samples.size());
    return from < to ? rms(samples.data() + from, to - from) : 0;
}

// The frequency of a tone from its upward zero crossings.
inline double zeroCrossingHz(const std::vector<int16_t>& samples, size_t from, size_t to, uint32_t rate)
{
    size_t first = 0, last = 0, crossings = 0;
    for (size_t i = from + 1; i < std::min(to, samples.size()); ++i)
        if (samples[i - 1] < 0 && samples[i] >= 0) {
            if (crossings == 0)
                first = i;
            last = i;
            ++crossings;
        }
    return crossings > 1 ? double(crossings - 1) * rate / double(last - first) : 0;
}

// The pitch of a voiced sound (a vowel's, not a pure tone's only): the lag
// of the strongest autocorrelation between minHz and maxHz.
inline double autocorrelationHz(const std::vector<int16_t>& samples, size_t from, size_t to, uint32_t rate,
                                double minHz = 80, double maxHz = 400)
{
    to = std::min(to, samples.size());
    const size_t shortest = size_t(rate / maxHz), longest = size_t(rate / minHz);
    if (from + longest >= to)
        return 0;
    double best = 0;
    size_t bestLag = 0;
    for (size_t lag = shortest; lag <= longest; ++lag) {
        double sum = 0;
        for (size_t i = from; i + lag < to; ++i)
            sum += double(samples[i]) * samples[i + lag];
        sum /= double(to - from - lag);
        if (sum > best) {
            best = sum;
            bestLag = lag;
        }
    }
    return bestLag ? double(rate) / double(bestLag) : 0;
}

} // namespace seafold::testsignals
