// seafold-sfxgen: synthesises the sound-effect catalogue as WAV files.
//
//   seafold-sfxgen FOLDER
//
// Writes one 22050 Hz mono 16-bit file per catalogue name into FOLDER. Every
// effect is built from a few primitives (swept tones, filtered noise, simple
// envelopes) with a fixed seed, so the output is the same on every build.
// The looping sounds start and end on the same phase, so they loop without
// a click.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "sound/sound.h"

namespace {

constexpr double SampleRateHz = 22050.0;
constexpr double Pi = 3.14159265358979323846;

using Signal = std::vector<double>;

// A small deterministic generator for noise.
struct Noise {
    uint32_t state = 0x9E3779B9u;
    double next()
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return double(state) / 2147483648.0 - 1.0;
    }
};

Signal silence(double seconds)
{
    return Signal(size_t(seconds * SampleRateHz), 0.0);
}

// A tone whose frequency moves from f0 to f1 (exponentially), with a shape:
// 0 sine, 1 square-ish, 2 saw.
Signal sweep(double seconds, double f0, double f1, int shape = 0)
{
    Signal s(size_t(seconds * SampleRateHz));
    double phase = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        double t = double(i) / double(s.size());
        double f = f0 * std::pow(f1 / f0, t);
        phase += f / SampleRateHz;
        double p = phase - std::floor(phase);
        double v = std::sin(2 * Pi * p);
        if (shape == 1)
            v = std::tanh(4 * v);
        else if (shape == 2)
            v = 2 * p - 1;
        s[i] = v;
    }
    return s;
}

// White noise through a one-pole low-pass whose cut-off falls from c0 to c1
// (0 ... 1 of the pass coefficient).
Signal noise(double seconds, double c0, double c1, uint32_t seed)
{
    Noise n;
    n.state ^= seed * 2654435761u;
    Signal s(size_t(seconds * SampleRateHz));
    double y = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        double t = double(i) / double(s.size());
        double c = c0 + (c1 - c0) * t;
        y += c * (n.next() - y);
        s[i] = y * 2.5;
    }
    return s;
}

// Attack then exponential decay to about -60 dB at the end.
void envelope(Signal& s, double attackSeconds, double decayPower = 1.0)
{
    size_t attack = size_t(attackSeconds * SampleRateHz);
    for (size_t i = 0; i < s.size(); ++i) {
        double t = double(i) / double(s.size());
        double a = attack ? std::min(1.0, double(i) / double(attack)) : 1.0;
        s[i] *= a * std::exp(-6.9 * std::pow(t, decayPower));
    }
}

// Fades both ends by a few milliseconds so nothing clicks.
void fadeEnds(Signal& s, double seconds = 0.004)
{
    size_t n = std::min(s.size() / 2, size_t(seconds * SampleRateHz));
    for (size_t i = 0; i < n; ++i) {
        double g = double(i) / double(n);
        s[i] *= g;
        s[s.size() - 1 - i] *= g;
    }
}

Signal mix(const Signal& a, const Signal& b, double gb = 1.0)
{
    Signal out(std::max(a.size(), b.size()), 0.0);
    for (size_t i = 0; i < a.size(); ++i)
        out[i] += a[i];
    for (size_t i = 0; i < b.size(); ++i)
        out[i] += gb * b[i];
    return out;
}

Signal then(const Signal& a, const Signal& b)
{
    Signal out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

// Amplitude modulation: a tremolo of the given rate and depth.
void tremolo(Signal& s, double rate, double depth)
{
    for (size_t i = 0; i < s.size(); ++i)
        s[i] *= 1.0 - depth * 0.5 * (1.0 - std::cos(2 * Pi * rate * double(i) / SampleRateHz));
}

// A seamless loop: whole periods of a steady sound with a slow wobble.
Signal loopTone(double seconds, double f, int shape, double wobbleRate, double noiseAmount, uint32_t seed)
{
    // Round the frequencies so a whole number of periods fits the loop.
    double periods = std::round(f * seconds);
    f = periods / seconds;
    double wobble = std::max(1.0, std::round(wobbleRate * seconds)) / seconds;
    Signal s = sweep(seconds, f, f, shape);
    tremolo(s, wobble, 0.5);
    if (noiseAmount > 0) {
        // Noise that repeats exactly at the loop point is still seamless when
        // the filter state is warmed up over one pass first.
        Signal n = noise(seconds * 2, 0.3, 0.3, seed);
        for (size_t i = 0; i < s.size(); ++i)
            s[i] += noiseAmount * n[i + s.size()];
    }
    return s;
}

Signal make(const std::string& name)
{
    if (name == "phaser.wav") {
        Signal s = sweep(0.35, 1800, 300, 1);
        envelope(s, 0.005, 0.7);
        return s;
    }
    if (name == "phaser_impact.wav") {
        Signal s = mix(noise(0.3, 0.6, 0.05, 1), sweep(0.3, 400, 120), 0.5);
        envelope(s, 0.002);
        return s;
    }
    if (name == "bounce.wav") {
        Signal s = sweep(0.25, 900, 450, 0);
        envelope(s, 0.003, 0.8);
        return s;
    }
    if (name == "bounce_impact.wav") {
        Signal s = mix(sweep(0.2, 300, 80), noise(0.2, 0.4, 0.05, 2), 0.6);
        envelope(s, 0.001);
        return s;
    }
    if (name == "triple.wav") {
        Signal one = sweep(0.08, 1400, 700, 2);
        envelope(one, 0.002);
        return then(then(then(one, silence(0.03)), then(one, silence(0.03))), one);
    }
    if (name == "triple_impact.wav") {
        Signal hit = noise(0.1, 0.7, 0.1, 3);
        envelope(hit, 0.001);
        return then(then(then(hit, silence(0.02)), then(hit, silence(0.02))), hit);
    }
    if (name == "turret.wav") {
        Signal s = mix(sweep(0.18, 220, 110, 1), noise(0.18, 0.8, 0.2, 4), 0.7);
        envelope(s, 0.001, 0.6);
        return s;
    }
    if (name == "turret_impact.wav") {
        Signal s = noise(0.35, 0.5, 0.03, 5);
        envelope(s, 0.001, 0.8);
        return s;
    }
    if (name == "grenade.wav") {
        Signal s = mix(noise(0.9, 0.35, 0.01, 6), sweep(0.9, 90, 35), 0.8);
        envelope(s, 0.003, 0.5);
        return s;
    }
    if (name == "mine_deploy.wav") {
        Signal s = then(sweep(0.06, 500, 500, 1), sweep(0.12, 250, 200, 0));
        envelope(s, 0.002, 1.5);
        return s;
    }
    if (name == "mine_arm.wav") {
        Signal beep = sweep(0.07, 1760, 1760);
        fadeEnds(beep);
        return then(then(beep, silence(0.06)), beep);
    }
    if (name == "mine_explode.wav") {
        Signal s = mix(noise(1.2, 0.25, 0.01, 7), sweep(1.2, 70, 28), 1.0);
        envelope(s, 0.002, 0.45);
        return s;
    }
    if (name == "ship_explode.wav") {
        Signal s = mix(noise(1.6, 0.45, 0.008, 8), sweep(1.6, 110, 25, 1), 0.7);
        envelope(s, 0.004, 0.4);
        return s;
    }
    if (name == "ship_heal.wav") {
        Signal s = mix(sweep(0.7, 440, 880), sweep(0.7, 660, 1320), 0.5);
        tremolo(s, 12, 0.4);
        envelope(s, 0.05, 2.0);
        return s;
    }
    if (name == "ship_turbo.wav")
        return loopTone(1.0, 70, 2, 6, 0.6, 9);
    if (name == "bounce_wall.wav") {
        Signal s = mix(sweep(0.15, 180, 90), noise(0.15, 0.3, 0.02, 10), 0.8);
        envelope(s, 0.001);
        return s;
    }
    if (name == "bounce_obj.wav") {
        Signal s = mix(sweep(0.18, 520, 380), noise(0.18, 0.5, 0.05, 11), 0.3);
        envelope(s, 0.001);
        return s;
    }
    if (name == "bounce_shield.wav") {
        Signal s = mix(sweep(0.3, 1200, 600), sweep(0.3, 1210, 605), 1.0);
        envelope(s, 0.002, 0.7);
        return s;
    }
    if (name == "ship_shield.wav")
        return loopTone(1.0, 160, 0, 4, 0.15, 12);
    if (name == "ship_sensor.wav")
        return loopTone(1.0, 1000, 0, 2, 0.0, 13);
    if (name == "ship_repair.wav")
        return loopTone(1.0, 320, 1, 8, 0.2, 14);
    if (name == "ship_cloak.wav")
        return loopTone(1.0, 90, 0, 1, 0.5, 15);
    if (name == "flag_capture.wav") {
        Signal a = sweep(0.12, 523, 523), b = sweep(0.12, 659, 659), c = sweep(0.3, 784, 784);
        fadeEnds(a);
        fadeEnds(b);
        envelope(c, 0.005, 1.5);
        return then(then(a, b), c);
    }
    if (name == "flag_drop.wav") {
        Signal a = sweep(0.15, 523, 523), b = sweep(0.3, 392, 392);
        fadeEnds(a);
        envelope(b, 0.005, 1.5);
        return then(a, b);
    }
    if (name == "flag_return.wav") {
        Signal s = sweep(0.4, 392, 784);
        envelope(s, 0.01, 2.0);
        return s;
    }
    if (name == "flag_snatch.wav") {
        Signal s = sweep(0.2, 1000, 2000, 2);
        envelope(s, 0.002, 1.2);
        return s;
    }
    if (name == "teleport_in.wav") {
        Signal s = mix(sweep(0.6, 200, 2400), noise(0.6, 0.05, 0.6, 16), 0.4);
        tremolo(s, 25, 0.5);
        envelope(s, 0.05, 3.0);
        return s;
    }
    if (name == "teleport_out.wav") {
        Signal s = mix(sweep(0.6, 2400, 200), noise(0.6, 0.6, 0.05, 17), 0.4);
        tremolo(s, 25, 0.5);
        envelope(s, 0.01, 1.0);
        return s;
    }
    if (name == "forcefield_up.wav") {
        Signal s = sweep(0.5, 60, 240, 2);
        tremolo(s, 30, 0.3);
        envelope(s, 0.1, 3.0);
        return s;
    }
    if (name == "forcefield_down.wav") {
        Signal s = sweep(0.5, 240, 60, 2);
        tremolo(s, 30, 0.3);
        envelope(s, 0.005, 1.0);
        return s;
    }
    if (name == "boop.wav") {
        Signal s = sweep(0.12, 660, 620);
        envelope(s, 0.003, 1.5);
        return s;
    }
    if (name == "comm_up.wav") {
        Signal a = sweep(0.06, 880, 880), b = sweep(0.08, 1320, 1320);
        fadeEnds(a);
        fadeEnds(b);
        return then(a, b);
    }
    if (name == "comm_down.wav") {
        Signal a = sweep(0.06, 1320, 1320), b = sweep(0.08, 880, 880);
        fadeEnds(a);
        fadeEnds(b);
        return then(a, b);
    }
    return Signal();
}

bool writeEffect(const std::string& path, Signal s, double peak)
{
    double top = 0;
    for (double v : s)
        top = std::max(top, std::fabs(v));
    std::vector<int16_t> pcm(s.size());
    double scale = top > 0 ? peak * 32767.0 / top : 0;
    for (size_t i = 0; i < s.size(); ++i)
        pcm[i] = int16_t(std::lround(s[i] * scale));
    return seafold::writeWaveFile(path, pcm.data(), pcm.size(), uint32_t(SampleRateHz));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: seafold-sfxgen FOLDER\n");
        return 2;
    }
    std::string folder = argv[1];
    std::set<std::string> done;
    for (uint32_t i = 0; i < seafold::SoundProfileCount; ++i) {
        std::string name = seafold::gSoundProfiles[i].fileName;
        if (!done.insert(name).second)
            continue;
        Signal s = make(name);
        if (s.empty()) {
            std::fprintf(stderr, "seafold-sfxgen: no recipe for %s\n", name.c_str());
            return 1;
        }
        if (!seafold::gSoundProfiles[i].isLooping)
            fadeEnds(s);
        if (!writeEffect(folder + "/" + name, s, 0.8)) {
            std::fprintf(stderr, "seafold-sfxgen: cannot write %s/%s\n", folder.c_str(), name.c_str());
            return 1;
        }
    }
    return 0;
}
