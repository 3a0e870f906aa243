// The start of speech after silence through the capture processing's first
// frames, the levelling and the codec's first frames: a listener's copy had
// a full-scale sample at the onset of speech said at -1.2 dBFS. It came
// from the codec: the levelling lifted the start to -0.6 dBFS, and Opus
// rebuilt the sharp start with more overshoot than that, clipped.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "base/wavfile.h"
#include "speech_fixture.h"
#include "testsignals.h"
#include "voice/opuscodec.h"
#include "voice/voicecapture.h"
#include "voice/voiceprocessing.h"

using namespace seafold;
using namespace seafold::testsignals;

namespace {

int peakOf(const std::vector<int16_t>& v, size_t from, size_t to)
{
    int p = 0;
    for (size_t i = from; i < to && i < v.size(); ++i)
        p = std::max(p, std::abs(int(v[i])));
    return p;
}

size_t firstLoud(const std::vector<int16_t>& v, int threshold)
{
    for (size_t i = 0; i < v.size(); ++i)
        if (std::abs(int(v[i])) > threshold)
            return i;
    return v.size();
}

double dbOf(double peak)
{
    return 20 * std::log10(peak / 32768.0);
}

// No click: the start is heard at most 1 dB above the peak said. Opus
// rebuilds a sharp start's peak up to about 1 dB above or 1.5 dB below the
// levelled one, depending on where it falls in a frame; below, 2 dB.
#define EXPECT_HEARD_AS_SAID(heardDb, saidDb)                                                                          \
    do {                                                                                                               \
        EXPECT_LE(heardDb, (saidDb) + 1.0);                                                                            \
        EXPECT_GE(heardDb, (saidDb)-2.0);                                                                              \
    } while (0)

// What a listener decodes of `said` (at `rate`: OpusSampleRate for Opus,
// CaptureSampleRate for LPC-10) captured through push-to-talk held
// throughout, or voice activation.
std::vector<int16_t> heardOf(const std::vector<int16_t>& said, uint32_t rate, bool voiceActivation)
{
    const bool opus = rate == OpusSampleRate;
    // A directory of this process: the tests of this file run side by side.
    const std::string path = seafold::testing::testTempDir() + "/onset.wav";
    EXPECT_TRUE(writeWaveFile(path, said.data(), said.size(), rate));

    double clockMs = 0;
    VoiceCapture capture;
    capture.setBackend(createFileCaptureBackend(path, [&] { return clockMs; }));
    capture.setProcessing(std::make_unique<CaptureProcessing>(voiceActivation));
    RefPtr<OpusFramedEncoder> encoder = new OpusFramedEncoder(OpusMaxBitrate);
    capture.setModeChooser([&] {
        VoiceMode mode;
        if (!opus)
            return mode;
        mode.codec = VoiceCodecId::Opus;
        mode.encoder = encoder.get();
        mode.sampleRate = rate;
        mode.levelPeak = OpusLevelPeak;
        mode.firstTickMs = mode.tickPeriodMs = OpusFrameMs;
        mode.keepCadence = true;
        return mode;
    });
    OpusVoiceDecoder decoder;
    RefPtr<LPC10VoiceDecoder> lpc = new LPC10VoiceDecoder;
    std::vector<int16_t> heard;
    capture.setSender([&](const RefPtr<ByteBuffer>& frames) {
        if (!opus) {
            RefPtr<ByteBuffer> pcm = lpc->decodeBuffer(frames.get());
            for (uint32_t i = 0; pcm && i + 1 < pcm->size(); i += 2)
                heard.push_back(int16_t(uint16_t(pcm->data()[i] | pcm->data()[i + 1] << 8)));
            return;
        }
        std::vector<OpusFrameView> split;
        ASSERT_TRUE(splitOpusFrames(frames->data(), frames->size(), split));
        for (const OpusFrameView& f : split) {
            int16_t pcm[OpusMaxDecodedSamples];
            heard.insert(heard.end(), pcm, pcm + decoder.decode(f.data, f.size, pcm));
        }
    });
    capture.start();
    EXPECT_TRUE(capture.active());
    const uint32_t ticks = uint32_t(said.size() / (rate / 1000) / OpusFrameMs) + 20;
    for (uint32_t tick = 0; tick < ticks; ++tick) {
        clockMs += OpusFrameMs;
        if (capture.tickDue(OpusFrameMs))
            capture.tick();
    }
    capture.stop();
    return heard;
}

} // namespace

TEST(SpeechOnset, EveryUtterancesStartIsHeardWithinADecibelOfItsPeak)
{
    for (uint32_t rate : {uint32_t(OpusSampleRate), uint32_t(CaptureSampleRate)}) {
        // A quiet room, then a vowel peaking at -1.2 dBFS; a pause long
        // enough for voice activation to close, and the vowel again.
        std::vector<int16_t> said = noise(rate, 30, 7);
        std::vector<int16_t> a = vowel(rate, 1.0, 28500), b = vowel(rate, 1.0, 28500);
        said.insert(said.end(), a.begin(), a.end());
        std::vector<int16_t> pause = noise(rate * 3 / 2, 30, 8);
        said.insert(said.end(), pause.begin(), pause.end());
        said.insert(said.end(), b.begin(), b.end());
        std::vector<int16_t> tail = noise(rate / 2, 30, 9);
        said.insert(said.end(), tail.begin(), tail.end());
        const int saidPeak = peakOf(said, 0, said.size());
        for (bool voiceActivation : {false, true}) {
            std::vector<int16_t> heard = heardOf(said, rate, voiceActivation);
            size_t at = 0;
            for (int utterance = 0; utterance < 2; ++utterance) {
                const size_t onset =
                    firstLoud(std::vector<int16_t>(heard.begin() + long(std::min(at, heard.size())), heard.end()),
                              1500) + at;
                ASSERT_LT(onset, heard.size()) << "utterance " << utterance << " was not heard";
                const int onsetPeak = peakOf(heard, onset, onset + rate / 5);
                std::printf("%u Hz, voice activation %d, utterance %d: said peak %.2f dBFS, heard at the onset "
                            "%.2f dBFS\n", rate, voiceActivation, utterance, dbOf(saidPeak), dbOf(onsetPeak));
                SCOPED_TRACE(std::to_string(rate) + " Hz, voice activation " + std::to_string(voiceActivation) +
                             ", utterance " + std::to_string(utterance));
                EXPECT_HEARD_AS_SAID(dbOf(onsetPeak), dbOf(saidPeak));
                // The next utterance starts after this one's second of sound.
                at = onset + rate + rate / 4;
            }
        }
    }
}

// Where the start of speech falls in a tick decides how much of it the
// levelling sees at once: levelled to full scale, some starts came back
// from Opus clipped (0 dBFS for -1.2 dBFS said).
TEST(SpeechOnset, TheStartIsHeardWithoutAClickWhereverItFallsInATick)
{
    const uint32_t rate = OpusSampleRate;
    for (bool voiceActivation : {false, true}) {
        for (uint32_t shiftMs = 0; shiftMs < OpusFrameMs; ++shiftMs) {
            std::vector<int16_t> said = noise(rate + shiftMs * (rate / 1000), 30, 3), v = vowel(rate, 1.0, 28500);
            said.insert(said.end(), v.begin(), v.end());
            said.resize(said.size() + rate / 2, 0);
            std::vector<int16_t> heard = heardOf(said, rate, voiceActivation);
            const size_t onset = firstLoud(heard, 1500);
            ASSERT_LT(onset, heard.size()) << "nothing was heard";
            const double onsetDb = dbOf(peakOf(heard, onset, onset + rate / 5));
            SCOPED_TRACE("voice activation " + std::to_string(voiceActivation) + ", start " + std::to_string(shiftMs) +
                         " ms into a tick");
            EXPECT_HEARD_AS_SAID(onsetDb, dbOf(peakOf(said, 0, said.size())));
        }
    }
}

TEST(SpeechOnset, ThePeakHeardAtTheStartIsWithinADecibelOfThePeakSaid)
{
    // One second of silence, then a vowel peaking at -1.2 dBFS.
    const uint32_t rate = OpusSampleRate;
    std::vector<int16_t> said(rate, 0), v = vowel(rate, 1.5, 28500);
    said.insert(said.end(), v.begin(), v.end());
    said.resize(said.size() + rate / 2, 0);
    std::vector<int16_t> heard = heardOf(said, rate, false);

    const int saidPeak = peakOf(said, 0, said.size());
    const size_t onset = firstLoud(heard, 1500);
    ASSERT_LT(onset, heard.size()) << "nothing was heard";
    const int onsetPeak = peakOf(heard, onset, onset + rate / 5);
    std::printf("said peak %.2f dBFS, heard at the onset %.2f dBFS\n", dbOf(saidPeak), dbOf(onsetPeak));
    EXPECT_HEARD_AS_SAID(dbOf(onsetPeak), dbOf(saidPeak));
}
