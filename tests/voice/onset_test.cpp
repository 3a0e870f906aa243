// The start of speech after silence through the capture processing's first
// frames, the levelling and the codec's first frames: a listener's copy had
// a full-scale sample at the onset of speech said at -1.2 dBFS, and these
// are two of the places it could come from.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "base/wavfile.h"
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

} // namespace

TEST(SpeechOnset, ThePeakHeardAtTheStartIsWithinADecibelOfThePeakSaid)
{
    // One second of silence, then a vowel peaking at -1.2 dBFS.
    const uint32_t rate = OpusSampleRate;
    std::vector<int16_t> said(rate, 0), v = vowel(rate, 1.5, 28500);
    said.insert(said.end(), v.begin(), v.end());
    said.resize(said.size() + rate / 2, 0);
    const std::string path = ::testing::TempDir() + "/seafold_onset.wav";
    ASSERT_TRUE(writeWaveFile(path, said.data(), said.size(), rate));

    double clockMs = 0;
    VoiceCapture capture;
    capture.setBackend(createFileCaptureBackend(path, [&] { return clockMs; }));
    capture.setProcessing(std::make_unique<CaptureProcessing>(false));
    RefPtr<OpusFramedEncoder> encoder = new OpusFramedEncoder(OpusMaxBitrate);
    capture.setModeChooser([&] {
        VoiceMode mode;
        mode.codec = VoiceCodecId::Opus;
        mode.encoder = encoder.get();
        mode.sampleRate = rate;
        mode.firstTickMs = mode.tickPeriodMs = OpusFrameMs;
        mode.keepCadence = true;
        return mode;
    });
    OpusVoiceDecoder decoder;
    std::vector<int16_t> heard;
    capture.setSender([&](const RefPtr<ByteBuffer>& frames) {
        std::vector<OpusFrameView> split;
        ASSERT_TRUE(splitOpusFrames(frames->data(), frames->size(), split));
        for (const OpusFrameView& f : split) {
            int16_t pcm[OpusMaxDecodedSamples];
            heard.insert(heard.end(), pcm, pcm + decoder.decode(f.data, f.size, pcm));
        }
    });
    capture.start();
    ASSERT_TRUE(capture.active());
    for (int tick = 0; tick < 150; ++tick) {
        clockMs += OpusFrameMs;
        if (capture.tickDue(OpusFrameMs))
            capture.tick();
    }
    capture.stop();

    const int saidPeak = peakOf(said, 0, said.size());
    const size_t onset = firstLoud(heard, 1500);
    ASSERT_LT(onset, heard.size()) << "nothing was heard";
    const int onsetPeak = peakOf(heard, onset, onset + rate / 5);
    std::printf("said peak %.2f dBFS, heard at the onset %.2f dBFS\n", dbOf(saidPeak), dbOf(onsetPeak));
    EXPECT_NEAR(dbOf(onsetPeak), dbOf(saidPeak), 1.0);
}
