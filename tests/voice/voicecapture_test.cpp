// Push-to-talk and the voice tick with a scripted capture back end: what is
// sent for a press, the ring's wrapped reads, the loudness levelling, and the
// file back end on a clock of the test's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "sound/sound.h"
#include "voice/voicecapture.h"

using namespace seafold;

namespace {

// Capture whose samples the test writes into the ring.
class ScriptedCapture : public CaptureBackend {
public:
    bool openDevice() override
    {
        ++opens;
        return deviceWorks;
    }
    bool startCapture() override
    {
        resetRing();
        return true;
    }
    uint32_t readPosition() override
    {
        if (!noticeOnRead.empty())
            addNotice(std::move(noticeOnRead));
        noticeOnRead.clear();
        return writeOffset();
    }
    void stopCapture() override { ++stops; }

    void feed(const std::vector<int16_t>& samples) { writeRing(samples.data(), uint32_t(samples.size())); }

    bool deviceWorks = true;
    std::string noticeOnRead; // said at the next read, as a device falling back does
    int opens = 0;
    int stops = 0;
};

std::vector<int16_t> ramp(size_t count, int16_t start = 0)
{
    std::vector<int16_t> v(count);
    for (size_t i = 0; i < count; ++i)
        v[i] = int16_t(start + int16_t(i % 1000));
    return v;
}

std::vector<int16_t> speechLike(size_t count, double amplitude = 6000)
{
    std::vector<int16_t> v(count);
    for (size_t i = 0; i < count; ++i) {
        double t = double(i) / 8000.0;
        v[i] = int16_t(amplitude * (0.6 * std::sin(2 * M_PI * 140 * t) + 0.3 * std::sin(2 * M_PI * 700 * t) +
                                    0.1 * std::sin(2 * M_PI * 2200 * t)));
    }
    return v;
}

std::vector<int16_t> samplesIn(const ByteBuffer& b)
{
    std::vector<int16_t> v(b.size() / 2);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = int16_t(uint16_t(b.data()[2 * i] | b.data()[2 * i + 1] << 8));
    return v;
}

uint32_t framesIn(const ByteBuffer& encoded)
{
    RefPtr<LPC10VoiceDecoder> decoder = new LPC10VoiceDecoder;
    RefPtr<ByteBuffer> decoded = decoder->decodeBuffer(&encoded);
    return decoded->size() / 2 / 180;
}

class PushToTalk : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto backend = std::make_unique<ScriptedCapture>();
        capture = backend.get();
        voice.setBackend(std::move(backend));
        sent.clear();
        voice.setSender([this](const RefPtr<ByteBuffer>& frames) { sent.push_back(frames); });
    }
    void TearDown() override { voice.stop(); }
    // `ticks` ticks of 100 ms at 8000 Hz, each after speech or silence.
    void tickAfter(int ticks, bool speech)
    {
        for (int tick = 0; tick < ticks; ++tick) {
            capture->feed(speech ? speechLike(800) : std::vector<int16_t>(800, 0));
            voice.tick();
        }
    }
    VoiceCapture voice;
    ScriptedCapture* capture = nullptr;
    std::vector<RefPtr<ByteBuffer>> sent;
};

} // namespace

TEST_F(PushToTalk, PressHeldFor200msSendsOneMessageOfEightFrames)
{
    capture->feed(speechLike(500)); // before the press: not part of the speech
    voice.start();
    ASSERT_TRUE(voice.active());
    EXPECT_EQ(voice.countdownMs(), 250u);
    EXPECT_EQ(voice.capturedSamples()->size(), 0u);
    capture->feed(speechLike(1600));
    voice.stop(); // released before the first tick was due
    EXPECT_FALSE(voice.active());
    EXPECT_FALSE(voice.capturedSamples()); // the last 160 samples are dropped
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(framesIn(*sent[0]), 8u);
    EXPECT_EQ(capture->stops, 1);
}

// The main loop hands each accepted tick's whole ms to the countdown, which
// starts at 250 with the press.
TEST_F(PushToTalk, CountdownFiresWhenItRunsOutAndRestartsAtThePeriod)
{
    struct Step {
        uint32_t elapsedMs;
        bool due;
        uint32_t countdownAfter;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"shrinks, then fires at exactly 0", {{200, false, 50}, {50, true, VoiceTickPeriodMs}}},
        {"the excess is dropped, not carried", {{245, false, 5}, {9, true, 100}, {99, false, 1}}},
        {"every tick restarts at the period", {{250, true, 100}, {100, true, 100}, {60, false, 40}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        voice.start();
        for (const Step& step : c.steps) {
            EXPECT_EQ(voice.tickDue(step.elapsedMs), step.due);
            EXPECT_EQ(voice.countdownMs(), step.countdownAfter);
        }
        // Released: time passes without ticks and leaves the countdown alone.
        voice.stop();
        EXPECT_FALSE(voice.tickDue(1000));
        EXPECT_EQ(voice.countdownMs(), c.steps.back().countdownAfter);
    }
}

TEST_F(PushToTalk, TickEncodesWholeFramesAndKeepsTheTail)
{
    voice.start();
    capture->feed(speechLike(1000)); // 5 frames and 100 left
    voice.tick();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(framesIn(*sent[0]), 5u);
    EXPECT_EQ(voice.capturedSamples()->size(), 200u);
    EXPECT_EQ(voice.lastPacket().get(), sent[0].get());
    // 100 ms more: 800 new and 100 kept make 900: 5 frames, nothing left.
    capture->feed(speechLike(800));
    voice.tick();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(framesIn(*sent[1]), 5u);
    EXPECT_EQ(voice.capturedSamples()->size(), 0u);
    // No new samples: nothing sent. Fewer than one frame: nothing sent either.
    voice.tick();
    capture->feed(speechLike(100));
    voice.tick();
    EXPECT_EQ(sent.size(), 2u);
    EXPECT_EQ(voice.capturedSamples()->size(), 200u);
}

TEST_F(PushToTalk, ReadAcrossTheEndOfTheRingKeepsOrder)
{
    voice.start();
    RefPtr<ByteBuffer> taken = new ByteBuffer(0);
    capture->feed(std::vector<int16_t>(7600, 0)); // read offset 15200
    voice.readCapturedSamples(taken);
    EXPECT_EQ(voice.readOffset(), 15200u);
    std::vector<int16_t> wrapped = ramp(900, 100);
    capture->feed(wrapped); // 400 to the end, 500 from the start
    taken->resize(0);
    voice.readCapturedSamples(taken);
    EXPECT_EQ(samplesIn(*taken), wrapped);
    EXPECT_EQ(voice.readOffset(), 1000u);

    // More than a second between reads: the distance of the offsets modulo
    // the ring is what is read, the newest samples.
    capture->feed(ramp(8000 + 300, 0));
    taken->resize(0);
    voice.readCapturedSamples(taken);
    EXPECT_EQ(taken->size(), 600u);
}

TEST_F(PushToTalk, LevellingOfFullScaleQuietAndSilentInput)
{
    voice.setLevel(0);
    std::vector<int16_t> loud = {32767, -32768, 1000, 0};
    voice.normaliseGain(loud.data(), uint32_t(loud.size()));
    EXPECT_EQ(voice.level(), 34816); // -32768 counts as 32768
    float g = float(32767.0 / 34816.0);
    EXPECT_EQ(loud[0], int16_t(32767.0f * g));
    EXPECT_EQ(loud[1], int16_t(-32768.0f * g));
    EXPECT_EQ(loud[2], int16_t(1000.0f * g));

    // The level decays by 0.95 per tick of silence until 2048 ...
    std::vector<int16_t> quiet(10, 0);
    int32_t before = voice.level();
    voice.normaliseGain(quiet.data(), 10);
    EXPECT_EQ(voice.level(), int32_t(double(before) * double(0.95f)));
    for (int i = 0; i < 200; ++i)
        voice.normaliseGain(quiet.data(), 10);
    EXPECT_EQ(voice.level(), 2048);
    // ... from where samples pass unscaled,
    voice.setLevel(0);
    std::vector<int16_t> silent = {0, 0, 0};
    voice.normaliseGain(silent.data(), 3);
    EXPECT_EQ(voice.level(), 2048);
    EXPECT_EQ(silent, (std::vector<int16_t>{0, 0, 0}));
    // while a level of 2049 still scales.
    std::vector<int16_t> one = {1, -1};
    voice.normaliseGain(one.data(), 2);
    EXPECT_EQ(voice.level(), 2049);
    float g2 = float(32767.0 / 2049.0);
    EXPECT_EQ(one[0], int16_t(1.0f * g2));
    EXPECT_EQ(one[1], int16_t(-1.0f * g2));
}

TEST_F(PushToTalk, OnlyNewSamplesAreLevelledOnce)
{
    voice.start();
    capture->feed(std::vector<int16_t>(250, 16000)); // one frame and 70 left
    voice.tick();
    ASSERT_EQ(voice.capturedSamples()->size(), 140u);
    std::vector<int16_t> tail = samplesIn(*voice.capturedSamples());
    int16_t levelled = tail[0];
    EXPECT_EQ(levelled, int16_t(16000.0f * float(32767.0 / (16000 + 2048))));
    capture->feed(std::vector<int16_t>(10, 100));
    int32_t level = voice.level();
    voice.tick(); // 80 samples: no frame, nothing sent
    std::vector<int16_t> after = samplesIn(*voice.capturedSamples());
    EXPECT_EQ(after[0], levelled);
    EXPECT_EQ(voice.level(), int32_t(double(level) * double(0.95f)));
}

TEST_F(PushToTalk, NoDeviceMakesThePressDoNothingAndIsNotRetried)
{
    auto backend = std::make_unique<ScriptedCapture>();
    backend->deviceWorks = false;
    ScriptedCapture* broken = backend.get();
    voice.setBackend(std::move(backend));
    EXPECT_EQ(voice.status(), CaptureStatus::Off);
    voice.start();
    EXPECT_FALSE(voice.active());
    EXPECT_EQ(voice.status(), CaptureStatus::Failed); // "No microphone"
    voice.start();
    EXPECT_FALSE(voice.active());
    EXPECT_EQ(broken->opens, 1);
    voice.stop();
    voice.tick();
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(voice.status(), CaptureStatus::Failed);
}

TEST_F(PushToTalk, StatusFollowsThePressAndRelease)
{
    EXPECT_EQ(voice.status(), CaptureStatus::Off);
    voice.start();
    EXPECT_EQ(voice.status(), CaptureStatus::Running);
    voice.stop();
    EXPECT_EQ(voice.status(), CaptureStatus::Off);
}

TEST_F(PushToTalk, SecondPressWhileActiveChangesNothing)
{
    voice.start();
    capture->feed(speechLike(300));
    ASSERT_FALSE(voice.tickDue(210));
    voice.start();
    EXPECT_EQ(voice.countdownMs(), 40u);
    EXPECT_EQ(capture->opens, 1);
}

TEST_F(PushToTalk, VoiceActivationSendsSpeechWithItsOnsetAndNothingOfTheQuietRoom)
{
    voice.setProcessing(std::make_unique<CaptureProcessing>(true));
    voice.start();
    // A quiet room: noise at about -50 dBFS, a second of it in 100 ms ticks.
    uint32_t seed = 1;
    auto room = [&](size_t count) {
        std::vector<int16_t> v(count);
        for (auto& x : v) {
            seed = seed * 1103515245u + 12345u;
            x = int16_t(int32_t(seed >> 16 & 0xff) - 128);
        }
        return v;
    };
    for (int tick = 0; tick < 10; ++tick) {
        capture->feed(room(800));
        voice.tick();
    }
    EXPECT_TRUE(sent.empty());
    EXPECT_FALSE(voice.transmitting());
    // Speech: it opens within three 20 ms frames, and goes out from the
    // frames before it opened on.
    capture->feed(speechLike(800));
    voice.tick();
    EXPECT_TRUE(voice.transmitting());
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_GE(framesIn(*sent[0]), 4u); // 100 ms of speech and the pre-roll, less a part frame
    // Quiet again: the hangover (400 ms) still goes out, then nothing.
    for (int tick = 0; tick < 10; ++tick) {
        capture->feed(room(800));
        voice.tick();
    }
    EXPECT_FALSE(voice.transmitting());
    const size_t messages = sent.size();
    EXPECT_LE(messages, 7u);
    capture->feed(room(800));
    voice.tick();
    EXPECT_EQ(sent.size(), messages);
}

TEST(FileCapture, PlaysTheFileInRealTimeThenSilence)
{
    std::string path = ::testing::TempDir() + "/seafold_capture.wav";
    std::vector<int16_t> speech = ramp(1200, 1);
    ASSERT_TRUE(writeWaveFile(path, speech.data(), speech.size(), 8000));
    double now = 1000;
    auto backend = createFileCaptureBackend(path, [&] { return now; });
    ASSERT_TRUE(backend->openDevice());
    ASSERT_TRUE(backend->startCapture());
    EXPECT_EQ(backend->readPosition(), 0u);
    now += 100; // 800 samples
    ASSERT_EQ(backend->readPosition(), 1600u);
    std::vector<int16_t> got(800);
    for (size_t i = 0; i < got.size(); ++i)
        got[i] = int16_t(uint16_t(backend->ring()[2 * i] | backend->ring()[2 * i + 1] << 8));
    EXPECT_EQ(got, std::vector<int16_t>(speech.begin(), speech.begin() + 800));
    now += 100; // 400 more of the file, then 400 of silence
    ASSERT_EQ(backend->readPosition(), 3200u);
    EXPECT_EQ(backend->ring()[2 * 1199], uint8_t(speech[1199]));
    EXPECT_EQ(backend->ring()[2 * 1200], 0);
    // Each start begins at the file's start again.
    backend->stopCapture();
    ASSERT_TRUE(backend->startCapture());
    now += 50;
    EXPECT_EQ(backend->readPosition(), 800u);
    EXPECT_EQ(backend->ring()[0], 1);
    std::remove(path.c_str());
}

TEST(FileCapture, ResamplesAFileAtAnotherRateAndSaysWhyItRefusesOne)
{
    std::string path = ::testing::TempDir() + "/seafold_capture_22k.wav";
    // One second of a 500 Hz tone at 22,050 Hz: one second at the capture rate.
    std::vector<int16_t> tone(22050);
    for (size_t i = 0; i < tone.size(); ++i)
        tone[i] = int16_t(8000 * std::sin(2 * M_PI * 500 * double(i) / 22050));
    ASSERT_TRUE(writeWaveFile(path, tone.data(), tone.size(), 22050));
    std::string error;
    EXPECT_TRUE(checkCaptureFile(path, &error)) << error;
    EXPECT_NEAR(double(captureFileMs(path)), 1000.0, 10.0);
    double now = 0;
    auto backend = createFileCaptureBackend(path, [&] { return now; });
    ASSERT_TRUE(backend->openDevice());
    ASSERT_TRUE(backend->startCapture());
    now += 500;
    ASSERT_EQ(backend->readPosition(), 8000u); // 4000 samples at 8000 Hz
    uint32_t crossings = 0;
    for (size_t i = 1; i < 4000; ++i) {
        auto at = [&](size_t k) { return int16_t(uint16_t(backend->ring()[2 * k] | backend->ring()[2 * k + 1] << 8)); };
        crossings += (at(i - 1) < 0) != (at(i) < 0);
    }
    EXPECT_NEAR(double(crossings), 500.0, 5.0); // still 500 Hz: 1000 crossings a second

    // What cannot serve says why, for the panel and the console.
    const std::string missing = path + ".missing";
    EXPECT_FALSE(checkCaptureFile(missing, &error));
    EXPECT_NE(error.find("cannot read"), std::string::npos);
    auto none = createFileCaptureBackend(missing);
    EXPECT_FALSE(none->openDevice());
    EXPECT_EQ(none->error(), error);
    std::remove(path.c_str());
}

TEST_F(PushToTalk, APressThatFindsNoCaptureSaysWhy)
{
    voice.setBackend(createFileCaptureBackend(::testing::TempDir() + "/seafold_no_such_capture.wav"));
    EXPECT_EQ(voice.failure(), "");
    voice.start();
    EXPECT_EQ(voice.status(), CaptureStatus::Failed);
    EXPECT_NE(voice.failure().find("cannot read"), std::string::npos) << voice.failure();
}

// Every utterance under voice activation ended without a mark, so listeners
// counted its end as an underrun and made up frames after it.
TEST_F(PushToTalk, VoiceActivationClosingEndsTheTalkSpurt)
{
    voice.setProcessing(std::make_unique<CaptureProcessing>(true));
    // A codec whose messages can carry an end without frames (LPC-10's
    // cannot); the frames themselves are LPC-10's.
    voice.setModeChooser([] {
        VoiceMode mode;
        mode.codec = VoiceCodecId::Opus;
        return mode;
    });
    std::vector<bool> ends;
    voice.setSender([&](const RefPtr<ByteBuffer>&) { ends.push_back(voice.tickEndsSpurt()); });
    voice.start();
    tickAfter(5, false);
    tickAfter(3, true);
    ASSERT_FALSE(ends.empty());
    EXPECT_FALSE(ends.back()); // speaking: no end yet
    for (int tick = 0; tick < 10 && voice.transmitting(); ++tick)
        tickAfter(1, false);
    ASSERT_FALSE(voice.transmitting());
    // The tick that closed sent the last frames, marked as the end; only
    // that one.
    EXPECT_TRUE(ends.back());
    EXPECT_EQ(std::count(ends.begin(), ends.end(), true), 1);
    // The capture outlives `ends`: the tear-down's stop sends nothing there.
    voice.setSender([this](const RefPtr<ByteBuffer>& frames) { sent.push_back(frames); });
    EXPECT_FALSE(voice.tickEndsSpurt());
}

// Voice activation opens capture at the start, before any server answered:
// the mode chosen then (LPC-10 at 8000 Hz) stayed for the whole run, so a
// user who speaks by voice activation never spoke Opus, and a host never
// spoke at all. Between utterances the capture takes up the mode of now;
// never in the middle of one.
TEST_F(PushToTalk, VoiceActivationTakesUpANewModeBetweenUtterances)
{
    voice.setProcessing(std::make_unique<CaptureProcessing>(true));
    bool opus = false;
    voice.setModeChooser([&] {
        VoiceMode mode;
        if (opus) {
            mode.codec = VoiceCodecId::Opus;
            mode.sampleRate = 16000;
        }
        return mode;
    });
    voice.start();
    ASSERT_EQ(voice.mode().codec, VoiceCodecId::Lpc10);
    for (int tick = 0; tick < 5; ++tick) {
        capture->feed(std::vector<int16_t>(800, 0));
        voice.tick();
    }
    for (int tick = 0; tick < 3; ++tick) {
        capture->feed(speechLike(800));
        voice.tick();
    }
    ASSERT_TRUE(voice.transmitting());
    opus = true;
    tickAfter(1, true);
    EXPECT_EQ(voice.mode().codec, VoiceCodecId::Lpc10) << "the mode changed in the middle of speech";
    for (int tick = 0; tick < 20 && voice.mode().codec == VoiceCodecId::Lpc10; ++tick)
        tickAfter(1, false);
    EXPECT_FALSE(voice.transmitting());
    EXPECT_EQ(voice.mode().codec, VoiceCodecId::Opus);
    EXPECT_EQ(capture->rate(), 16000u);
    EXPECT_TRUE(voice.active());
    EXPECT_EQ(capture->opens, 2);
    voice.setModeChooser(nullptr); // `opus` goes before the capture does
}

// A codec of fixed frames ticks on the pass its frame becomes whole, not on
// a countdown whose phase the press set: with the countdown, a frame
// completed just after a tick waited a whole period. What the processing
// holds for a frame of its own counts as waiting, yet never makes a pass
// tick for nothing.
TEST_F(PushToTalk, AFixedFrameIsDueAsSoonAsItIsWhole)
{
    struct Case {
        const char* name;
        bool processing;
    } cases[] = {{"as captured", false}, {"through the processing's frames", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        voice.setProcessing(c.processing ? std::make_unique<CaptureProcessing>(false) : nullptr);
        voice.setModeChooser([] {
            VoiceMode mode; // LPC-10's 180-sample frames, ticked by frame
            mode.firstTickMs = mode.tickPeriodMs = 20;
            mode.keepCadence = true;
            return mode;
        });
        sent.clear();
        voice.start();
        ASSERT_TRUE(voice.active());
        capture->feed(speechLike(170));
        EXPECT_FALSE(voice.frameDue());
        EXPECT_EQ(voice.msUntilFrame(5), 2u); // 10 samples at 8000 Hz, rounded up
        EXPECT_FALSE(voice.tickDue(20)) << "the countdown ran out before the frame was whole";
        capture->feed(speechLike(10));
        EXPECT_TRUE(voice.frameDue());
        EXPECT_EQ(voice.msUntilFrame(5), 0u);
        uint32_t ticks = 0;
        for (int pass = 0; pass < 4 && voice.frameDue(); ++pass, ++ticks)
            voice.tick();
        EXPECT_LE(ticks, 2u) << "the held samples made every pass tick";
        EXPECT_FALSE(voice.frameDue());
        EXPECT_GE(voice.msUntilFrame(5), 1u);
        if (!c.processing) {
            ASSERT_EQ(sent.size(), 1u);
            EXPECT_EQ(framesIn(*sent[0]), 1u);
        }
        voice.stop();
    }
    voice.setProcessing(nullptr);
}

// The microphone test: capture runs without push-to-talk, the tap hears
// the processed samples and the meter's levels move, nothing is sent, and
// the capture it opened ends with it without a last message.
TEST_F(PushToTalk, TheMicrophoneTestHearsEverythingAndSendsNothing)
{
    voice.setProcessing(std::make_unique<CaptureProcessing>(false));
    size_t heard = 0;
    voice.setTest([&heard](const int16_t*, size_t count, uint32_t rate) {
        EXPECT_EQ(rate, CaptureSampleRate);
        heard += count;
    });
    ASSERT_TRUE(voice.active());
    for (int tick = 0; tick < 5; ++tick) {
        capture->feed(speechLike(800));
        voice.tick();
    }
    EXPECT_GE(heard, 3200u); // all but what the processing holds for a frame
    EXPECT_TRUE(sent.empty());
    EXPECT_GT(voice.processing()->inputDb(), -30.0);
    // A steady sound is the room as far as the detector knows: speech
    // would be the threshold (9 dB) over it.
    EXPECT_NEAR(voice.processing()->speechDb() - voice.processing()->inputDb(), 9.0, 1.0);
    capture->feed(speechLike(800));
    voice.setTest(nullptr);
    EXPECT_FALSE(voice.active());
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(capture->stops, 1);
}

// A microphone that goes away is found when the device is read, and the
// default that takes its place may deliver nothing for a while: the user
// hears of it at once, from the reads the loop makes while it waits for a
// frame, not when the next frame is whole (that took 2 s).
TEST_F(PushToTalk, ADeviceNoticeIsPassedOnWhileNoFrameIsDue)
{
    std::vector<std::string> notices;
    voice.setNotice([&](const std::string& line) { notices.push_back(line); });
    voice.setModeChooser([] {
        VoiceMode mode;
        mode.firstTickMs = mode.tickPeriodMs = 20;
        mode.keepCadence = true;
        return mode;
    });
    voice.start();
    ASSERT_TRUE(voice.active());
    capture->noticeOnRead = "The microphone \"Headset\" went away";
    EXPECT_FALSE(voice.frameDue());
    EXPECT_GE(voice.msUntilFrame(5), 1u);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0], "The microphone \"Headset\" went away");
}
