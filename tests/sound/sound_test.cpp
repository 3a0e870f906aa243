// Playback through OpenAL Soft's loopback device, rendered synchronously at
// 8000 Hz mono: what a stream plays, the priority pass, the source pool and
// the gain rules.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/platform.h"
#include "sound/sound.h"
#include "sound/sound_local.h"
#include "sound_fixture.h"

using namespace seafold;

namespace {

std::vector<std::string> gLogLines;

void captureLog(const char* text)
{
    if (std::string(text) != "\n")
        gLogLines.push_back(text);
}

RefPtr<ByteBuffer> samplesOf(const std::vector<int16_t>& values)
{
    RefPtr<ByteBuffer> b = new ByteBuffer(uint32_t(values.size() * 2));
    for (size_t i = 0; i < values.size(); ++i) {
        b->data()[2 * i] = uint8_t(uint16_t(values[i]));
        b->data()[2 * i + 1] = uint8_t(uint16_t(values[i]) >> 8);
    }
    return b;
}

// A recognisable signal: a slow sine with a per-message offset.
std::vector<int16_t> tone(size_t count, double frequency, double amplitude = 8000)
{
    std::vector<int16_t> v(count);
    for (size_t i = 0; i < count; ++i)
        v[i] = int16_t(std::lround(amplitude * std::sin(2 * M_PI * frequency * double(i) / 8000.0)));
    return v;
}

std::vector<int16_t> render(uint32_t frames)
{
    std::vector<int16_t> out(frames);
    EXPECT_TRUE(renderSoundSamples(out.data(), frames));
    return out;
}

// The mixer dithers its 16-bit output: silence is within +-2.
constexpr int kSilence = 2;

int peakOf(const std::vector<int16_t>& v, size_t from = 0, size_t to = SIZE_MAX)
{
    int peak = 0;
    for (size_t i = from; i < v.size() && i < to; ++i)
        peak = std::max(peak, std::abs(int(v[i])));
    return peak;
}

// Where `expected` starts in `out` (the mixer delays by a few samples), or -1.
int findStart(const std::vector<int16_t>& out, const std::vector<int16_t>& expected, int tolerance)
{
    for (size_t shift = 0; shift < 64 && shift + expected.size() <= out.size(); ++shift) {
        bool same = true;
        for (size_t i = 0; same && i < expected.size(); ++i)
            same = std::abs(int(out[shift + i]) - int(expected[i])) <= tolerance;
        if (same)
            return int(shift);
    }
    return -1;
}

class LoopbackSound : public ::testing::Test {
protected:
    void SetUp() override
    {
        mFolder = makeCatalogueFolder();
        SoundSetup setup;
        setup.loopback = true;
        setup.sfxDirectory = mFolder;
        ASSERT_TRUE(initSound(setup));
    }
    void TearDown() override
    {
        closeSound();
        removeFolder(mFolder);
    }
    std::string mFolder;
};

} // namespace

TEST_F(LoopbackSound, QueuedVoiceStreamPlaysTheDecodedSamplesAfterTheNextPass)
{
    RefPtr<SFXObject> stream = new SFXObject(nullptr, 1.0f, 0, 0);
    std::vector<int16_t> first = tone(800, 440), second = tone(800, 300, 5000);
    stream->queueVoiceSamples(samplesOf(first));
    // Heard only after the next pass, not on arrival.
    EXPECT_LE(peakOf(render(200)), kSilence);
    updateSound();
    ASSERT_NE(stream->sourceIndex, -1);
    // A second message while the first plays goes behind it.
    stream->queueVoiceSamples(samplesOf(second));
    std::vector<int16_t> out = render(1800);
    std::vector<int16_t> both = first;
    both.insert(both.end(), second.begin(), second.end());
    EXPECT_GE(findStart(out, both, 2), 0);
    EXPECT_LE(peakOf(out, 1664), kSilence);
}

TEST_F(LoopbackSound, MessagesWaitingForASourceAreAllPlayed)
{
    // Two messages before the stream has a source: both are heard, in order.
    RefPtr<SFXObject> stream = new SFXObject(nullptr, 1.0f, 0, 0);
    std::vector<int16_t> a = tone(400, 500), b = tone(400, 250, 3000);
    stream->queueVoiceSamples(samplesOf(a));
    stream->queueVoiceSamples(samplesOf(b));
    updateSound();
    std::vector<int16_t> out = render(900);
    std::vector<int16_t> both = a;
    both.insert(both.end(), b.begin(), b.end());
    EXPECT_GE(findStart(out, both, 2), 0);
}

TEST_F(LoopbackSound, UnderrunThenNewMessageRestartsTheStoppedSource)
{
    RefPtr<SFXObject> stream = new SFXObject(nullptr, 1.0f, 0, 0);
    stream->queueVoiceSamples(samplesOf(tone(200, 400)));
    updateSound();
    render(400); // the queue runs dry; no pass has noticed yet
    int32_t source = stream->sourceIndex;
    ASSERT_NE(source, -1);
    EXPECT_FALSE(sourcePlaying(uint32_t(source)));
    std::vector<int16_t> next = tone(300, 600, 6000);
    stream->queueVoiceSamples(samplesOf(next));
    EXPECT_TRUE(sourcePlaying(uint32_t(source)));
    EXPECT_GE(findStart(render(400), next, 2), 0);
    // Once it has run dry and a pass sees it, the stream is idle again.
    updateSound();
    EXPECT_EQ(stream->sourceIndex, -1);
    EXPECT_TRUE(gPlayList.empty());
    // Every streaming buffer came back.
    EXPECT_EQ(gFreeVoiceBuffers.size(), size_t(VoiceStreamBufferCount));
}

TEST_F(LoopbackSound, ThirtyThirdQueuedMessageIsDroppedAndEmptyOnesIgnored)
{
    RefPtr<SFXObject> stream = new SFXObject(nullptr, 1.0f, 0, 0);
    stream->queueVoiceSamples(samplesOf(tone(100, 400)));
    updateSound();
    for (int i = 0; i < 32; ++i)
        stream->queueVoiceSamples(samplesOf(tone(100, 400)));
    EXPECT_TRUE(gFreeVoiceBuffers.empty());
    stream->queueVoiceSamples(new ByteBuffer(0));
    std::vector<int16_t> out = render(4000);
    // 32 buffers of 100 samples played, then silence.
    EXPECT_GT(peakOf(out, 3100, 3200), 1000);
    EXPECT_LE(peakOf(out, 3264), kSilence);
    updateSound();
    EXPECT_EQ(gFreeVoiceBuffers.size(), size_t(VoiceStreamBufferCount));
}

TEST_F(LoopbackSound, SeventeenObjectsSixteenSourcesFarthestDropped)
{
    std::vector<RefPtr<SFXObject>> objects;
    for (int i = 0; i < 17; ++i) {
        // Listed farthest first, so the sort has work to do.
        RefPtr<SFXObject> o = new SFXObject(samplesOf(tone(8000, 300)), 1.0f, float(20 * (16 - i)), 0);
        o->setProfile(1);
        objects.push_back(o);
        requestPlay(o);
    }
    requestPlay(objects[3]); // listed once only
    EXPECT_EQ(gPlayList.size(), 17u);
    updateSound();
    EXPECT_EQ(gPlayList.size(), 16u);
    EXPECT_EQ(objects[0]->sourceIndex, -1); // 320 away: lowest priority
    std::vector<bool> used(MaxSoundSources, false);
    for (int i = 1; i < 17; ++i) {
        ASSERT_NE(objects[i]->sourceIndex, -1) << i;
        EXPECT_FALSE(used[size_t(objects[i]->sourceIndex)]);
        used[size_t(objects[i]->sourceIndex)] = true;
    }
    // Highest priority first.
    for (size_t i = 1; i < gPlayList.size(); ++i)
        EXPECT_GE(gPlayList[i - 1]->priority, gPlayList[i]->priority);
}

TEST_F(LoopbackSound, LoopingObjectLosesItsSourceKeepsItsPlaceAndGetsOneBack)
{
    RefPtr<SFXObject> loop = new SFXObject(samplesOf(tone(400, 200)), 1.0f, 400, 0);
    loop->setProfile(16);
    requestPlay(loop);
    updateSound();
    ASSERT_NE(loop->sourceIndex, -1);

    std::vector<RefPtr<SFXObject>> near;
    for (int i = 0; i < 16; ++i) {
        RefPtr<SFXObject> o = new SFXObject(samplesOf(tone(100, 500)), 1.0f, float(i), 0);
        o->setProfile(1);
        near.push_back(o);
        requestPlay(o);
    }
    updateSound();
    EXPECT_EQ(loop->sourceIndex, -1);
    EXPECT_EQ(gPlayList.size(), 17u);
    for (auto& o : near)
        EXPECT_NE(o->sourceIndex, -1);

    render(300); // the short ones end
    updateSound();
    EXPECT_NE(loop->sourceIndex, -1);
    EXPECT_EQ(gPlayList.size(), 1u);
    // It loops: still playing long after its 400 samples.
    render(2000);
    updateSound();
    EXPECT_TRUE(sourcePlaying(uint32_t(loop->sourceIndex)));
}

TEST_F(LoopbackSound, GainFollowsDistanceBandAndReachesTheSource)
{
    RefPtr<SFXObject> o = new SFXObject(samplesOf(tone(4000, 300)), 0.8f, 0, 0);
    o->setProfile(1);
    o->position[0] = 600;
    EXPECT_FLOAT_EQ(soundGain(*o), 0.0f);
    o->position[0] = 150;
    EXPECT_FLOAT_EQ(soundGain(*o), 0.45f);
    o->position[0] = 0;
    o->position[1] = 375; // halfway through the band, times the object's gain
    EXPECT_FLOAT_EQ(soundGain(*o), 0.45f * 0.5f * 0.8f);
    EXPECT_FLOAT_EQ(soundPriority(*o), 0.25f);
    o->position[1] = 750;
    EXPECT_FLOAT_EQ(soundPriority(*o), -0.5f);
    o->position[1] = 375;

    RefPtr<SFXObject> relative = new SFXObject(nullptr, 0.1f, 900, 900);
    relative->setProfile(24);
    EXPECT_FLOAT_EQ(soundGain(*relative), 0.45f);
    EXPECT_FLOAT_EQ(soundPriority(*relative), 1.0f);

    requestPlay(o);
    requestPlay(relative);
    updateSound();
    // The relative one sorts first, despite being far away.
    ASSERT_EQ(gPlayList.size(), 2u);
    EXPECT_EQ(gPlayList[0].get(), relative.get());
    ASSERT_NE(o->sourceIndex, -1);
    EXPECT_FLOAT_EQ(sourceGain(uint32_t(o->sourceIndex)), 0.45f * 0.5f * 0.8f);
    // Moving out of the band silences it on the next pass.
    o->position[1] = 700;
    updateSound();
    EXPECT_FLOAT_EQ(sourceGain(uint32_t(o->sourceIndex)), 0.0f);
}

TEST_F(LoopbackSound, CatalogueSoundPlaysFromItsBuffer)
{
    RefPtr<SFXObject> o = new SFXObject(nullptr, 1.0f, 0, 0);
    o->setProfile(24); // relative, gain 0.45: flag_capture.wav
    requestPlay(o);
    updateSound();
    std::vector<int16_t> out = render(800);
    // The fixture's files are full-scale squares at 8000 Hz.
    EXPECT_NEAR(peakOf(out), 0.45 * 20000, 300);
    render(200);
    updateSound();
    EXPECT_TRUE(gPlayList.empty());
    // The same source then streams voice: the catalogue buffer is detached
    // first (a source holding one refuses queued buffers).
    RefPtr<SFXObject> stream = new SFXObject(nullptr, 1.0f, 0, 0);
    std::vector<int16_t> voice = tone(300, 350);
    stream->queueVoiceSamples(samplesOf(voice));
    updateSound();
    EXPECT_EQ(stream->sourceIndex, 0);
    EXPECT_GE(findStart(render(400), voice, 2), 0);
}

TEST(SoundStartUp, MissingOrDamagedEffectFilesLeaveOnlyThemSilent)
{
    std::string folder = makeCatalogueFolder();
    std::remove((folder + "/grenade.wav").c_str());
    std::FILE* f = std::fopen((folder + "/bounce.wav").c_str(), "wb");
    ASSERT_TRUE(f);
    std::fputs("RIFF\x04\x00\x00\x00WAVEdata", f);
    std::fclose(f);

    gLogLines.clear();
    setDebugOutput(captureLog);
    SoundSetup setup;
    setup.loopback = true;
    setup.sfxDirectory = folder;
    bool ready = initSound(setup);
    setDebugOutput(nullptr);
    EXPECT_TRUE(ready);
    EXPECT_TRUE(gSoundReady);
    std::vector<std::string> expected = {"Failure (1) loading sound file 'bounce.wav'",
                                         "Failure (1) loading sound file 'grenade.wav'"};
    EXPECT_EQ(gLogLines, expected);

    // Voice still plays.
    RefPtr<SFXObject> stream = new SFXObject(nullptr, 1.0f, 0, 0);
    stream->queueVoiceSamples(samplesOf(tone(400, 440)));
    updateSound();
    EXPECT_GT(peakOf(render(500)), 7000);
    // The empty sound starts and ends without a sample.
    RefPtr<SFXObject> empty = new SFXObject(nullptr, 1.0f, 0, 0);
    empty->setProfile(10);
    requestPlay(empty);
    updateSound();
    EXPECT_LE(peakOf(render(400)), kSilence);
    updateSound();
    EXPECT_TRUE(gPlayList.empty());
    closeSound();
    removeFolder(folder);
}

TEST(SoundStartUp, NothingHappensWhileSoundIsOff)
{
    ASSERT_FALSE(gSoundReady);
    RefPtr<SFXObject> stream = new SFXObject(nullptr, 1.0f, 0, 0);
    stream->queueVoiceSamples(samplesOf(tone(100, 400)));
    requestPlay(stream);
    updateSound();
    closeSound();
    EXPECT_TRUE(gPlayList.empty());
    EXPECT_EQ(stream->sourceIndex, -1);
    EXPECT_FALSE(stream->samples);
}
