// Playback through OpenAL Soft's loopback device, rendered synchronously at
// 8000 Hz mono: what a stream plays, the priority pass, the source pool and
// the gain rules.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/platform.h"
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

std::vector<int16_t> render(SoundPool& sound, uint32_t frames)
{
    std::vector<int16_t> out(frames);
    EXPECT_TRUE(sound.renderSamples(out.data(), frames));
    return out;
}

// The mixer dithers its 16-bit output: silence is within +-2.
constexpr int Silence = 2;

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
        ASSERT_TRUE(mSound.init(setup));
        mSound.setClock([this] { return mNow; });
    }
    void TearDown() override
    {
        mSound.close();
        mSound.setClock(nullptr);
        removeFolder(mFolder);
    }
    SoundPool mSound;
    std::string mFolder;
    uint32_t mNow = 1000000;
};

} // namespace

TEST_F(LoopbackSound, QueuedVoiceStreamPlaysTheDecodedSamplesAfterTheNextPass)
{
    RefPtr<SFXObject> stream = new SFXObject(&mSound, nullptr, 1.0f, 0, 0);
    std::vector<int16_t> first = tone(800, 440), second = tone(800, 300, 5000);
    stream->queueVoiceSamples(samplesOf(first));
    // Heard only after the next pass, not on arrival.
    EXPECT_LE(peakOf(render(mSound, 200)), Silence);
    mSound.update();
    ASSERT_NE(stream->sourceIndex(), -1);
    // A second message while the first plays goes behind it.
    stream->queueVoiceSamples(samplesOf(second));
    std::vector<int16_t> out = render(mSound, 1800);
    std::vector<int16_t> both = first;
    both.insert(both.end(), second.begin(), second.end());
    EXPECT_GE(findStart(out, both, 2), 0);
    EXPECT_LE(peakOf(out, 1664), Silence);
}

TEST_F(LoopbackSound, AVoicesVolumeScalesOnlyItsOwnStreamAndZeroMutesIt)
{
    struct Case {
        float volume;
        double expectedScale; // of the peak of the voice alone
    } cases[] = {{1.0f, 1.0}, {0.5f, 0.5}, {0.0f, 0.0}, {1.5f, 1.5}, {5.0f, 2.0}};
    for (const Case& c : cases) {
        // Two speakers at once on different pitches: only the first one's
        // volume changes.
        RefPtr<SFXObject> turned = new SFXObject(&mSound, nullptr, 1.0f, 0, 0), other = new SFXObject(&mSound, nullptr, 1.0f, 0, 0);
        turned->setVoiceVolume(c.volume);
        turned->queueVoiceSamples(samplesOf(tone(800, 500, 6000)));
        mSound.update();
        std::vector<int16_t> alone = render(mSound, 800);
        EXPECT_NEAR(peakOf(alone, 100, 700), 6000 * c.expectedScale, 6000 * 0.03 + Silence) << c.volume;
        other->queueVoiceSamples(samplesOf(tone(800, 200, 3000)));
        mSound.update();
        // The other voice's own output is as it came.
        std::vector<int16_t> heard = render(mSound, 800);
        EXPECT_NEAR(peakOf(heard, 100, 700), 3000.0, 3000 * 0.03 + Silence) << c.volume;
        EXPECT_FLOAT_EQ(other->voiceVolume(), 1.0f);
    }
}

TEST_F(LoopbackSound, MessagesWaitingForASourceAreAllPlayed)
{
    // Two messages before the stream has a source: both are heard, in order.
    RefPtr<SFXObject> stream = new SFXObject(&mSound, nullptr, 1.0f, 0, 0);
    std::vector<int16_t> a = tone(400, 500), b = tone(400, 250, 3000);
    stream->queueVoiceSamples(samplesOf(a));
    stream->queueVoiceSamples(samplesOf(b));
    mSound.update();
    std::vector<int16_t> out = render(mSound, 900);
    std::vector<int16_t> both = a;
    both.insert(both.end(), b.begin(), b.end());
    EXPECT_GE(findStart(out, both, 2), 0);
}

TEST_F(LoopbackSound, UnderrunRestartsTheStoppedSourceBehindTheTargetBacklog)
{
    RefPtr<SFXObject> stream = new SFXObject(&mSound, nullptr, 1.0f, 0, 0);
    stream->queueVoiceSamples(samplesOf(tone(200, 400)));
    mSound.update();
    render(mSound, 400); // the queue runs dry; no pass has noticed yet
    int32_t source = stream->sourceIndex();
    ASSERT_NE(source, -1);
    EXPECT_FALSE(mSound.sourcePlaying(uint32_t(source)));
    EXPECT_EQ(stream->voiceUnderruns(), 0u);

    // More speech 50 ms after: an underrun. The stream starts again on the
    // same source with the target backlog of silence ahead of the new
    // samples, more than it was late (the played ones are not heard again).
    mNow += 50;
    std::vector<int16_t> next = tone(300, 600, 6000);
    stream->queueVoiceSamples(samplesOf(next));
    EXPECT_TRUE(mSound.sourcePlaying(uint32_t(source)));
    EXPECT_EQ(stream->voiceUnderruns(), 1u);
    const int pad = int(VoiceTargetBacklogMs * 8);
    std::vector<int16_t> out = render(mSound, 1000);
    EXPECT_LE(peakOf(out, 0, size_t(pad)), Silence);
    EXPECT_GE(findStart(std::vector<int16_t>(out.begin() + pad - 32, out.end()), next, 2), 0);

    // Once it has run dry and a pass sees it, the stream is idle again.
    mSound.update();
    EXPECT_EQ(stream->sourceIndex(), -1);
    EXPECT_TRUE(mSound.state().playList.empty());
    // Every streaming buffer came back.
    EXPECT_EQ(mSound.state().freeVoiceBuffers.size(), size_t(VoiceStreamBufferCount));

    // Within the gap after a pass noticed: an underrun again, the backlog
    // rebuilt as long as the message was late, within its bound, and kept
    // for a drain window although what follows is quiet.
    mNow += 150;
    std::vector<int16_t> again = tone(800, 500);
    stream->queueVoiceSamples(samplesOf(again));
    EXPECT_EQ(stream->voiceUnderruns(), 2u);
    EXPECT_EQ(stream->queuedVoiceSamples(), 150u * 8 + 800);
    mSound.update();
    out.clear();
    for (int m = 0; m < 5; ++m) {
        std::vector<int16_t> part = render(mSound, 800);
        out.insert(out.end(), part.begin(), part.end());
        mNow += 100;
        EXPECT_NEAR(double(stream->queuedVoiceSamples()), 150.0 * 8, 16.0) << "arrival " << m;
        stream->queueVoiceSamples(samplesOf(std::vector<int16_t>(800, 0)));
        mSound.update();
    }
    EXPECT_LE(peakOf(out, 0, 150 * 8 - 32), Silence);
    EXPECT_GE(findStart(std::vector<int16_t>(out.begin() + 150 * 8 - 32, out.end()), again, 2), 0);
    render(mSound, 8000);
    mSound.update();
    mNow += VoiceUnderrunGapMs - 1;
    stream->queueVoiceSamples(samplesOf(tone(100, 500)));
    EXPECT_EQ(stream->voiceUnderruns(), 3u);
    EXPECT_EQ(stream->queuedVoiceSamples(), VoiceMaxRestartBacklogMs * 8 + 100);
    mSound.update();
    render(mSound, VoiceMaxRestartBacklogMs * 8 + 200);
    mSound.update();
    mNow += VoiceUnderrunGapMs + 1;
    std::vector<int16_t> fresh = tone(300, 350, 7000);
    stream->queueVoiceSamples(samplesOf(fresh));
    mSound.update();
    EXPECT_EQ(stream->voiceUnderruns(), 3u);
    EXPECT_GE(findStart(render(mSound, 400), fresh, 2), 0);
}

TEST_F(LoopbackSound, MessagesBeyondTheStreamsBuffersWaitAndAreAllPlayed)
{
    // 33 short messages while the first plays: the stream queues at most
    // VoiceBuffersPerStream buffers on its source, joins the rest and plays
    // every sample in order. Empty messages change nothing.
    RefPtr<SFXObject> stream = new SFXObject(&mSound, nullptr, 1.0f, 0, 0);
    std::vector<int16_t> all;
    for (int i = 0; i < 33; ++i) {
        std::vector<int16_t> m = tone(100, 300 + 10 * i);
        all.insert(all.end(), m.begin(), m.end());
        stream->queueVoiceSamples(samplesOf(m));
        if (i == 0)
            mSound.update();
    }
    stream->queueVoiceSamples(new ByteBuffer(0));
    EXPECT_LE(VoiceStreamBufferCount - mSound.state().freeVoiceBuffers.size(), size_t(VoiceBuffersPerStream));
    EXPECT_EQ(stream->queuedVoiceSamples(), 3300u);
    std::vector<int16_t> out;
    for (int pass = 0; pass < 10; ++pass) {
        std::vector<int16_t> part = render(mSound, 400);
        out.insert(out.end(), part.begin(), part.end());
        mSound.update();
    }
    EXPECT_GE(findStart(out, all, 2), 0);
    EXPECT_EQ(stream->voiceUnderruns(), 0u);
    EXPECT_EQ(mSound.state().freeVoiceBuffers.size(), size_t(VoiceStreamBufferCount));
}

TEST_F(LoopbackSound, SeventeenObjectsSixteenSourcesFarthestDropped)
{
    std::vector<RefPtr<SFXObject>> objects;
    for (int i = 0; i < 17; ++i) {
        // Listed farthest first, so the sort has work to do.
        RefPtr<SFXObject> o = new SFXObject(&mSound, samplesOf(tone(8000, 300)), 1.0f, float(20 * (16 - i)), 0);
        o->setProfile(1);
        objects.push_back(o);
        mSound.requestPlay(o);
    }
    mSound.requestPlay(objects[3]); // listed once only
    EXPECT_EQ(mSound.state().playList.size(), 17u);
    mSound.update();
    EXPECT_EQ(mSound.state().playList.size(), 16u);
    EXPECT_EQ(objects[0]->sourceIndex(), -1); // 320 away: lowest priority
    std::vector<bool> used(MaxSoundSources, false);
    for (int i = 1; i < 17; ++i) {
        ASSERT_NE(objects[i]->sourceIndex(), -1) << i;
        EXPECT_FALSE(used[size_t(objects[i]->sourceIndex())]);
        used[size_t(objects[i]->sourceIndex())] = true;
    }
    // Highest priority first.
    for (size_t i = 1; i < mSound.state().playList.size(); ++i)
        EXPECT_GE(soundState(*mSound.state().playList[i - 1]).priority, soundState(*mSound.state().playList[i]).priority);
}

TEST_F(LoopbackSound, LoopingObjectLosesItsSourceKeepsItsPlaceAndGetsOneBack)
{
    RefPtr<SFXObject> loop = new SFXObject(&mSound, samplesOf(tone(400, 200)), 1.0f, 400, 0);
    loop->setProfile(16);
    mSound.requestPlay(loop);
    mSound.update();
    ASSERT_NE(loop->sourceIndex(), -1);

    std::vector<RefPtr<SFXObject>> near;
    for (int i = 0; i < 16; ++i) {
        RefPtr<SFXObject> o = new SFXObject(&mSound, samplesOf(tone(100, 500)), 1.0f, float(i), 0);
        o->setProfile(1);
        near.push_back(o);
        mSound.requestPlay(o);
    }
    mSound.update();
    EXPECT_EQ(loop->sourceIndex(), -1);
    EXPECT_EQ(mSound.state().playList.size(), 17u);
    for (auto& o : near)
        EXPECT_NE(o->sourceIndex(), -1);

    render(mSound, 300); // the short ones end
    mSound.update();
    EXPECT_NE(loop->sourceIndex(), -1);
    EXPECT_EQ(mSound.state().playList.size(), 1u);
    // It loops: still playing long after its 400 samples.
    render(mSound, 2000);
    mSound.update();
    EXPECT_TRUE(mSound.sourcePlaying(uint32_t(loop->sourceIndex())));
}

TEST_F(LoopbackSound, GainFollowsDistanceBandAndReachesTheSource)
{
    RefPtr<SFXObject> o = new SFXObject(&mSound, samplesOf(tone(4000, 300)), 0.8f, 0, 0);
    o->setProfile(1);
    soundState(*o).position[0] = 600;
    EXPECT_FLOAT_EQ(soundGain(*o), 0.0f);
    soundState(*o).position[0] = 150;
    EXPECT_FLOAT_EQ(soundGain(*o), 0.45f);
    soundState(*o).position[0] = 0;
    soundState(*o).position[1] = 375; // halfway through the band, times the object's gain
    EXPECT_FLOAT_EQ(soundGain(*o), 0.45f * 0.5f * 0.8f);
    EXPECT_FLOAT_EQ(soundPriority(*o), 0.25f);
    soundState(*o).position[1] = 750;
    EXPECT_FLOAT_EQ(soundPriority(*o), -0.5f);
    soundState(*o).position[1] = 375;

    RefPtr<SFXObject> relative = new SFXObject(&mSound, nullptr, 0.1f, 900, 900);
    relative->setProfile(24);
    EXPECT_FLOAT_EQ(soundGain(*relative), 0.45f);
    EXPECT_FLOAT_EQ(soundPriority(*relative), 1.0f);

    mSound.requestPlay(o);
    mSound.requestPlay(relative);
    mSound.update();
    // The relative one sorts first, despite being far away.
    ASSERT_EQ(mSound.state().playList.size(), 2u);
    EXPECT_EQ(mSound.state().playList[0].get(), relative.get());
    ASSERT_NE(o->sourceIndex(), -1);
    EXPECT_FLOAT_EQ(mSound.sourceGain(uint32_t(o->sourceIndex())), 0.45f * 0.5f * 0.8f);
    // Moving out of the band silences it on the next pass.
    soundState(*o).position[1] = 700;
    mSound.update();
    EXPECT_FLOAT_EQ(mSound.sourceGain(uint32_t(o->sourceIndex())), 0.0f);
}

TEST_F(LoopbackSound, CatalogueSoundPlaysFromItsBuffer)
{
    RefPtr<SFXObject> o = new SFXObject(&mSound, nullptr, 1.0f, 0, 0);
    o->setProfile(24); // relative, gain 0.45: flag_capture.wav
    mSound.requestPlay(o);
    mSound.update();
    std::vector<int16_t> out = render(mSound, 800);
    // The fixture's files are full-scale squares at 8000 Hz.
    EXPECT_NEAR(peakOf(out), 0.45 * 20000, 300);
    render(mSound, 200);
    mSound.update();
    EXPECT_TRUE(mSound.state().playList.empty());
    // The same source then streams voice: the catalogue buffer is detached
    // first (a source holding one refuses queued buffers).
    RefPtr<SFXObject> stream = new SFXObject(&mSound, nullptr, 1.0f, 0, 0);
    std::vector<int16_t> voice = tone(300, 350);
    stream->queueVoiceSamples(samplesOf(voice));
    mSound.update();
    EXPECT_EQ(stream->sourceIndex(), 0);
    EXPECT_GE(findStart(render(mSound, 400), voice, 2), 0);
}

// ---- voice streams: backlog, bounds, the pool, positions -------------------------------------

namespace {

// Faint noise, as the codec makes of silence: within +-30.
std::vector<int16_t> faint(size_t count, uint32_t seed = 1)
{
    std::vector<int16_t> v(count);
    for (size_t i = 0; i < count; ++i) {
        seed = seed * 1103515245u + 12345u;
        v[i] = int16_t(int(seed >> 16 & 63) - 31);
    }
    return v;
}

std::vector<int16_t> joined(std::initializer_list<std::vector<int16_t>> parts)
{
    std::vector<int16_t> all;
    for (auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Where `expected` occurs in `out` from `from` on (exactly, give or take
// the mixer's dither), or -1.
long findIn(const std::vector<int16_t>& out, const std::vector<int16_t>& expected, size_t from = 0)
{
    for (size_t at = from; at + expected.size() <= out.size(); ++at) {
        bool same = true;
        for (size_t i = 0; same && i < expected.size(); ++i)
            same = std::abs(int(out[at + i]) - int(expected[i])) <= 2;
        if (same)
            return long(at);
    }
    return -1;
}

} // namespace

TEST(ShortenQuiet, RemovesOnlyInsideQuietStretchesKeepingAGuardAtEachEnd)
{
    const int w = int(VoiceQuietWindowSamples);
    std::vector<int16_t> loud = tone(size_t(4 * w), 300);
    std::vector<int16_t> v = joined({faint(size_t(5 * w)), loud, faint(size_t(6 * w)), loud});
    std::vector<int16_t> original = v;
    // Unlimited: of 5 leading quiet windows 3 go, of the 6 between 4 go.
    EXPECT_EQ(shortenQuiet(v, 100000), uint32_t(7 * w));
    EXPECT_EQ(v, joined({faint(size_t(w)), std::vector<int16_t>(original.begin() + 4 * w, original.begin() + 10 * w),
                         std::vector<int16_t>(original.begin() + 14 * w, original.end())}));
    // The budget is kept, earliest first.
    v = original;
    EXPECT_EQ(shortenQuiet(v, uint32_t(2 * w + 5)), uint32_t(2 * w));
    EXPECT_EQ(v.size(), original.size() - size_t(2 * w));
    EXPECT_TRUE(std::equal(v.begin() + 3 * w, v.end(), original.begin() + 5 * w));
    // Nothing quiet, nothing removed; a window just above the quiet level is sound.
    std::vector<int16_t> speech = tone(size_t(20 * w), 200);
    EXPECT_EQ(shortenQuiet(speech, 100000), 0u);
    std::vector<int16_t> low(size_t(10 * w), int16_t(VoiceQuietPeak + 1));
    EXPECT_EQ(shortenQuiet(low, 100000), 0u);
}

TEST_F(LoopbackSound, StreamDrainsABacklogOfSilenceToTheTargetWithoutDroppingSpeech)
{
    // The first message holds 250 ms of speech, as the first tick after a
    // press does; then one message of 100 ms every 100 ms, each a burst of
    // speech between stretches of faint noise. The device plays in real time.
    RefPtr<SFXObject> stream = new SFXObject(&mSound, nullptr, 1.0f, 0, 0);
    std::vector<std::vector<int16_t>> bursts{tone(2000, 190, 9000)};
    std::vector<uint32_t> backlogMs;
    std::vector<int16_t> out;
    stream->queueVoiceSamples(samplesOf(bursts[0]));
    for (int m = 0; m < 20; ++m) {
        mSound.update();
        std::vector<int16_t> part = render(mSound, 800);
        out.insert(out.end(), part.begin(), part.end());
        mNow += 100;
        backlogMs.push_back(stream->queuedVoiceSamples() / 8);
        bursts.push_back(tone(320, 200 + 15 * m, 9000));
        stream->queueVoiceSamples(samplesOf(joined({faint(240, uint32_t(m)), bursts.back(), faint(240)})));
    }
    for (int i = 0; i < 4; ++i) {
        mSound.update();
        std::vector<int16_t> part = render(mSound, 800);
        out.insert(out.end(), part.begin(), part.end());
    }
    // 150 ms of backlog at the second arrival, the target within a second.
    EXPECT_NEAR(double(backlogMs[0]), 150.0, 10.0);
    for (size_t m = 10; m < backlogMs.size(); ++m)
        EXPECT_LE(backlogMs[m], VoiceTargetBacklogMs + 10) << "arrival " << m;
    for (size_t m = 1; m < backlogMs.size(); ++m)
        EXPECT_GE(backlogMs[m], VoiceTargetBacklogMs - 15) << "arrival " << m;
    // Every burst whole and in order, never run dry.
    long at = 0;
    for (size_t m = 0; m < bursts.size(); ++m) {
        at = findIn(out, bursts[m], size_t(at));
        ASSERT_GE(at, 0) << "burst " << m;
    }
    EXPECT_EQ(stream->voiceUnderruns(), 0u);

    // Speech alone is never shortened: a backlog of it stays.
    RefPtr<SFXObject> talker = new SFXObject(&mSound, nullptr, 1.0f, 0, 0);
    std::vector<int16_t> said = tone(2000, 180, 9000), heard;
    talker->queueVoiceSamples(samplesOf(said));
    for (int m = 0; m < 10; ++m) {
        mSound.update();
        std::vector<int16_t> part = render(mSound, 800);
        heard.insert(heard.end(), part.begin(), part.end());
        mNow += 100;
        std::vector<int16_t> more = tone(800, 180 + 20 * (m + 1), 9000);
        said.insert(said.end(), more.begin(), more.end());
        talker->queueVoiceSamples(samplesOf(more));
    }
    EXPECT_EQ(talker->queuedVoiceSamples(), 2000u);
    for (int i = 0; i < 3; ++i) {
        mSound.update();
        std::vector<int16_t> part = render(mSound, 800);
        heard.insert(heard.end(), part.begin(), part.end());
    }
    EXPECT_GE(findStart(heard, said, 2), 0);
}

TEST_F(LoopbackSound, StreamHoldsAtMostTwoSecondsTheOldestGoingFirst)
{
    RefPtr<SFXObject> stream = new SFXObject(&mSound, nullptr, 1.0f, 0, 0);
    std::vector<std::vector<int16_t>> messages;
    for (int m = 0; m < 30; ++m) {
        messages.push_back(tone(800, 150 + 10 * m, 8000));
        stream->queueVoiceSamples(samplesOf(messages.back()));
    }
    EXPECT_EQ(stream->queuedVoiceSamples(), VoiceMaxQueuedMs * 8);
    std::vector<int16_t> out;
    for (int i = 0; i < 24; ++i) {
        mSound.update();
        std::vector<int16_t> part = render(mSound, 800);
        out.insert(out.end(), part.begin(), part.end());
    }
    std::vector<int16_t> newest;
    for (int m = 10; m < 30; ++m)
        newest.insert(newest.end(), messages[size_t(m)].begin(), messages[size_t(m)].end());
    EXPECT_GE(findStart(out, newest, 2), 0);
    EXPECT_LT(findIn(out, messages[9]), 0);

    // While it plays too: a burst of three seconds leaves two queued.
    for (int m = 0; m < 30; ++m)
        stream->queueVoiceSamples(samplesOf(messages[size_t(m)]));
    mSound.update();
    EXPECT_LE(stream->queuedVoiceSamples(), VoiceMaxQueuedMs * 8);
    EXPECT_GE(stream->queuedVoiceSamples(), VoiceMaxQueuedMs * 8 - 800);
}

TEST_F(LoopbackSound, VoicesTakeThePoolBeforeEffectsAndTheLongestSilentGivesWay)
{
    // Sixteen effects fill the pool.
    std::vector<RefPtr<SFXObject>> effects;
    for (int i = 0; i < 16; ++i) {
        RefPtr<SFXObject> o = new SFXObject(&mSound, samplesOf(tone(8000, 300)), 1.0f, float(i), 0);
        o->setProfile(i % 2 ? 1 : 24);
        effects.push_back(o);
        mSound.requestPlay(o);
    }
    mSound.update();
    for (auto& o : effects)
        ASSERT_NE(o->sourceIndex(), -1);

    // Twenty people speak at once: sixteen get a source, effects give way.
    std::vector<RefPtr<SFXObject>> voices;
    for (int v = 0; v < 20; ++v) {
        voices.push_back(new SFXObject(&mSound, nullptr, 1.0f, 0, 0));
        voices.back()->queueVoiceSamples(samplesOf(tone(2400, 200 + 20 * v, 1500)));
    }
    for (int round = 0; round < 30; ++round) {
        mSound.update();
        std::vector<bool> used(MaxSoundSources, false);
        int playing = 0;
        for (auto& list : {voices, effects}) {
            for (auto& o : list) {
                if (o->sourceIndex() == -1)
                    continue;
                ASSERT_LT(o->sourceIndex(), int32_t(MaxSoundSources));
                EXPECT_FALSE(used[size_t(o->sourceIndex())]) << "one source, two sounds";
                used[size_t(o->sourceIndex())] = true;
                ++playing;
            }
        }
        EXPECT_LE(playing, int(MaxSoundSources));
        if (round == 0) {
            int voicesPlaying = 0;
            for (auto& o : voices)
                voicesPlaying += o->sourceIndex() != -1;
            EXPECT_EQ(voicesPlaying, int(MaxSoundSources));
            for (auto& o : effects)
                EXPECT_EQ(o->sourceIndex(), -1);
        }
        render(mSound, 160);
        mNow += 20;
        // Everyone keeps talking but voice 3, who falls silent.
        for (size_t v = 0; v < voices.size(); ++v)
            if (v != 3 && round % 5 == 4)
                voices[v]->queueVoiceSamples(samplesOf(tone(800, 200 + 20 * double(v), 1500)));
    }
    EXPECT_LE(VoiceStreamBufferCount - mSound.state().freeVoiceBuffers.size(), size_t(MaxSoundSources * VoiceBuffersPerStream));
    // Past the hold, the silent one has given its source to a waiting voice.
    EXPECT_EQ(voices[3]->sourceIndex(), -1);
    int waitingWithSource = 0;
    for (size_t v = 16; v < 20; ++v)
        waitingWithSource += voices[v]->sourceIndex() != -1;
    EXPECT_GE(waitingWithSource, 1);
    // The mix stays in range and everything comes back at the end.
    voices.clear();
    effects.clear();
    for (int i = 0; i < 20; ++i) {
        render(mSound, 4000);
        mSound.update();
    }
    EXPECT_TRUE(mSound.state().playList.empty());
    EXPECT_EQ(mSound.state().freeVoiceBuffers.size(), size_t(VoiceStreamBufferCount));
}

class StereoLoopback : public LoopbackSound {
protected:
    void SetUp() override
    {
        mFolder = makeCatalogueFolder();
        SoundSetup setup;
        setup.loopback = true;
        setup.loopbackChannels = 2;
        setup.loopbackRate = 16000;
        setup.sfxDirectory = mFolder;
        ASSERT_TRUE(mSound.init(setup));
        mSound.setClock([this] { return mNow; });
    }
    // Left and right RMS of `frames` rendered frames.
    std::pair<double, double> renderStereo(uint32_t frames)
    {
        std::vector<int16_t> out(frames * 2);
        EXPECT_TRUE(mSound.renderSamples(out.data(), frames));
        double l = 0, r = 0;
        for (uint32_t i = 0; i < frames; ++i) {
            l += double(out[2 * i]) * out[2 * i];
            r += double(out[2 * i + 1]) * out[2 * i + 1];
        }
        return {std::sqrt(l / frames), std::sqrt(r / frames)};
    }
    std::pair<double, double> playFrom(bool positioned, float x, float y, float z)
    {
        RefPtr<SFXObject> stream = new SFXObject(&mSound, nullptr, 1.0f, 0, 0);
        stream->setVoicePlacement(positioned, x, y, z);
        stream->queueVoiceSamples(samplesOf(tone(4000, 300, 8000)));
        mSound.update();
        renderStereo(800); // past the start
        std::pair<double, double> level = renderStereo(4000);
        renderStereo(8000); // to the end
        mSound.update();
        return level;
    }
};

TEST_F(StereoLoopback, VoiceFromTheRightIsLouderOnTheRightAndEveryoneStaysAudible)
{
    auto right = playFrom(true, 50, 0, 0);
    EXPECT_GT(right.second, 1.5 * right.first);
    auto left = playFrom(true, -50, 0, 0);
    EXPECT_GT(left.first, 1.5 * left.second);
    auto centre = playFrom(false, 50, 0, 0); // unpositioned: the place is ignored
    EXPECT_NEAR(centre.first, centre.second, 0.05 * centre.first);
    // Ahead, near and across the scene: fainter with distance, never lost.
    auto near = playFrom(true, 0, 0, -100);
    auto far = playFrom(true, 0, 0, -1400);
    auto beyond = playFrom(true, 0, 0, -5000);
    EXPECT_NEAR(near.first, centre.first, 0.05 * centre.first);
    EXPECT_LT(far.first, 0.5 * near.first);
    EXPECT_GT(far.first, 0.15 * near.first);
    EXPECT_NEAR(beyond.first, playFrom(true, 0, 0, -VoiceMaxDistance).first, 0.05 * far.first);
}

TEST(SoundStartUp, MissingOrDamagedEffectFilesLeaveOnlyThemSilent)
{
    SoundPool sound;
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
    bool ready = sound.init(setup);
    setDebugOutput(nullptr);
    EXPECT_TRUE(ready);
    EXPECT_TRUE(sound.ready());
    std::vector<std::string> expected = {"Failure (1) loading sound file 'bounce.wav'",
                                         "Failure (1) loading sound file 'grenade.wav'"};
    EXPECT_EQ(gLogLines, expected);

    // Voice still plays.
    RefPtr<SFXObject> stream = new SFXObject(&sound, nullptr, 1.0f, 0, 0);
    stream->queueVoiceSamples(samplesOf(tone(400, 440)));
    sound.update();
    EXPECT_GT(peakOf(render(sound, 500)), 7000);
    // The empty sound starts and ends without a sample.
    RefPtr<SFXObject> empty = new SFXObject(&sound, nullptr, 1.0f, 0, 0);
    empty->setProfile(10);
    sound.requestPlay(empty);
    sound.update();
    EXPECT_LE(peakOf(render(sound, 400)), Silence);
    sound.update();
    EXPECT_TRUE(sound.state().playList.empty());
    sound.close();
    removeFolder(folder);
}

TEST(SoundStartUp, NothingHappensWhileSoundIsOff)
{
    SoundPool sound;
    ASSERT_FALSE(sound.ready());
    RefPtr<SFXObject> stream = new SFXObject(&sound, nullptr, 1.0f, 0, 0);
    stream->queueVoiceSamples(samplesOf(tone(100, 400)));
    sound.requestPlay(stream);
    sound.update();
    sound.close();
    EXPECT_TRUE(sound.state().playList.empty());
    EXPECT_EQ(stream->sourceIndex(), -1);
    EXPECT_FALSE(soundState(*stream).samples);
}

TEST_F(LoopbackSound, DeafenedNothingOfAVoiceIsQueuedOrHeardUntilHearingAgain)
{
    RefPtr<SFXObject> stream = new SFXObject(&mSound, nullptr, 1.0f, 0, 0);
    stream->queueVoiceSamples(samplesOf(tone(4000, 300, 6000)));
    mSound.update();
    EXPECT_GT(peakOf(render(mSound, 800), 100), 3000);
    // What plays and what waits goes at once; what comes meanwhile is dropped.
    mSound.setVoicesSilenced(true);
    EXPECT_EQ(stream->queuedVoiceSamples(), 0u);
    stream->queueVoiceSamples(samplesOf(tone(800, 300, 6000)));
    mSound.update();
    EXPECT_EQ(stream->queuedVoiceSamples(), 0u);
    EXPECT_EQ(stream->sourceIndex(), -1);
    // The mixer fades a stopped source out over its first few samples.
    EXPECT_LE(peakOf(render(mSound, 1600), 100), Silence);
    // Heard again: the next message plays.
    mSound.setVoicesSilenced(false);
    stream->queueVoiceSamples(samplesOf(tone(800, 300, 6000)));
    mSound.update();
    EXPECT_GT(peakOf(render(mSound, 800), 100), 3000);
}

TEST_F(LoopbackSound, MasterVolumeScalesWhatPlaysWithinZeroAndOne)
{
    struct Case {
        float volume;
        double expectedScale;
    } cases[] = {{1.0f, 1.0}, {0.5f, 0.5}, {0.0f, 0.0}, {3.0f, 1.0}, {-1.0f, 0.0}};
    for (const Case& c : cases) {
        mSound.setMasterVolume(c.volume);
        RefPtr<SFXObject> stream = new SFXObject(&mSound, nullptr, 1.0f, 0, 0);
        stream->queueVoiceSamples(samplesOf(tone(800, 500, 6000)));
        mSound.update();
        EXPECT_NEAR(peakOf(render(mSound, 800), 100, 700), 6000 * c.expectedScale, 6000 * 0.03 + Silence) << c.volume;
        render(mSound, 800);
        mSound.update();
    }
}
