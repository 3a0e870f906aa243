// The echo canceller on the capture path: speech that the program plays
// (through OpenAL Soft's loopback device, as the sound pool hands it out)
// comes back into the microphone through a room, and what leaves the
// capture's echo stages is measured against what came in.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <vector>

#include "base/platform.h"
#include "sound/sound.h"
#include "speech_fixture.h"
#include "testsignals.h"
#include "voice/voiceprocessing.h"

using namespace seafold;

namespace {

constexpr uint32_t Rate = 8000;
constexpr uint32_t FrameMs = CaptureProcessing::FrameMs;
constexpr uint32_t Frame = Rate / 1000 * FrameMs;

// A small room: the speaker's sound 30 ms later (buffering and distance),
// then two reflections, at half the loudness.
struct Room {
    std::deque<double> line = std::deque<double>(Rate / 10, 0.0);
    double hear(int16_t played)
    {
        line.push_front(played);
        line.pop_back();
        return 0.5 * line[240] + 0.2 * line[290] - 0.1 * line[380];
    }
};

RefPtr<ByteBuffer> bufferOf(const int16_t* samples, size_t count)
{
    RefPtr<ByteBuffer> b = new ByteBuffer(uint32_t(count * 2));
    std::memcpy(b->data(), samples, count * 2);
    return b;
}

double energy(const std::vector<double>& v, size_t from)
{
    double sum = 0;
    for (size_t i = from; i < v.size(); ++i)
        sum += v[i] * v[i];
    return sum;
}

} // namespace

TEST(EchoCancellation, PlayedSpeechHeardBackIsTwentyDecibelsDownAfterTwoSeconds)
{
    std::vector<int16_t> speech = seafold::testing::testSpeech();
    ASSERT_FALSE(speech.empty()) << "espeak-ng and sox make the test speech (install-deps.sh --test)";
    // Eight seconds of the utterance over and over, a pause between.
    std::vector<int16_t> played;
    while (played.size() < 8 * Rate) {
        played.insert(played.end(), speech.begin(), speech.end());
        played.resize(played.size() + Rate / 4, 0);
    }
    played.resize(8 * Rate);

    SoundPool sound;
    SoundSetup setup;
    setup.loopback = true;
    setup.loopbackRate = Rate;
    setup.sfxDirectory = ::testing::TempDir() + "/no-catalogue-here";
    // Voice needs no catalogue: its files' absence is no news here.
    setDebugOutput([](const char*) {});
    const bool opened = sound.init(setup);
    setDebugOutput(nullptr);
    ASSERT_TRUE(opened);
    uint32_t now = 500000;
    sound.setClock([&now] { return now; });
    RefPtr<SFXObject> voice = new SFXObject(&sound, nullptr, 1.0f, 0, 0);
    voice->setVoicePaced(true);
    // A frame in hand, so that the output never runs dry between frames.
    const std::vector<int16_t> lead(Frame, 0);
    voice->queueVoiceSamples(bufferOf(lead.data(), Frame));

    EchoCanceller canceller(Rate, Frame);
    // The capture's noise suppression, which takes out the canceller's
    // residue too; without the gain control, which would only move the
    // level measured.
    VoicePreprocessor::Settings plain;
    plain.automaticGain = plain.detectVoice = false;
    VoicePreprocessor residue(Rate, Frame, plain);
    residue.setEchoState(canceller.state());
    ASSERT_TRUE(canceller.valid());

    Room room;
    std::vector<double> echo, cancelled, left;
    std::vector<int16_t> mic(Frame), far(Frame), out(Frame);
    for (size_t at = 0; at + Frame <= played.size(); at += Frame) {
        // A frame handed to the output as it comes due, and played.
        voice->queueVoiceSamples(bufferOf(played.data() + at, Frame));
        sound.update();
        ASSERT_TRUE(sound.renderSamples(out.data(), Frame));
        now += FrameMs;
        // The microphone hears the room, and a little noise of its own.
        for (uint32_t i = 0; i < Frame; ++i)
            mic[i] = int16_t(std::lround(room.hear(out[i])));
        std::vector<int16_t> hiss = testsignals::noise(Frame, 30, uint32_t(at));
        for (uint32_t i = 0; i < Frame; ++i) {
            echo.push_back(mic[i]);
            mic[i] = int16_t(mic[i] + hiss[i]);
        }
        sound.readPlayed(far.data(), Frame, Rate, 0);

        canceller.cancel(mic.data(), far.data());
        for (int16_t s : mic)
            cancelled.push_back(s);
        residue.process(mic.data());
        for (int16_t s : mic)
            left.push_back(s);
    }
    sound.close();

    // After two seconds to learn the room.
    const size_t from = 2 * Rate;
    ASSERT_GT(energy(echo, from), 0.0);
    const double erle = 10 * std::log10(energy(echo, from) / std::max(energy(left, from), 1.0));
    const double filterOnly = 10 * std::log10(energy(echo, from) / std::max(energy(cancelled, from), 1.0));
    std::printf("echo return loss enhancement after 2 s: %.1f dB (the adaptive filter alone: %.1f dB)\n", erle,
                filterOnly);
    EXPECT_GE(erle, 20.0);
}

// A decoder resuming after concealment rebuilt a frame that clipped at full
// scale: the listener's limiter holds it under the ceiling, and lets speech
// under the ceiling through untouched.
TEST(PeakLimiter, HoldsAnOvershootUnderTheCeilingAndPassesSpeechBelowIt)
{
    PeakLimiter limiter(29204.0f, 16000);
    std::vector<int16_t> speech(320), burst(320);
    for (size_t i = 0; i < speech.size(); ++i) {
        speech[i] = int16_t(20000 * std::sin(2 * M_PI * 200 * double(i) / 16000));
        burst[i] = int16_t(32767 * std::sin(2 * M_PI * 300 * double(i) / 16000));
    }
    std::vector<int16_t> heard = speech;
    limiter.apply(heard.data(), heard.size());
    EXPECT_EQ(heard, speech);
    limiter.apply(burst.data(), burst.size());
    int most = 0;
    for (int16_t x : burst)
        most = std::max(most, std::abs(int(x)));
    EXPECT_LE(most, 29204);
    EXPECT_GT(most, 29000);
    // About 50 ms later the gain is back: speech passes whole again.
    for (int frame = 0; frame < 20; ++frame) {
        heard = speech;
        limiter.apply(heard.data(), heard.size());
    }
    EXPECT_GT(limiter.gain(), 0.999f);
}
