// The microphone back end against a real capture device: a private sound
// server playing a tone into the default source, which tests/sound/
// microphone_test.py sets up before it runs this program (it is not one of
// the suite's plain test programs for that reason).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "voice/voicecapture.h"

using namespace seafold;

TEST(OpenALCapture, RecordsTheToneThroughPushToTalk)
{
    const char* tone = std::getenv("SEAFOLD_TEST_MICROPHONE_TONE_HZ");
    ASSERT_TRUE(tone) << "run by microphone_test.py, which starts the sound server";
    double expectedHz = std::atof(tone);

    VoiceCapture voice;
    voice.setBackend(createOpenALCaptureBackend());
    std::vector<RefPtr<ByteBuffer>> sent;
    voice.setSender([&](const RefPtr<ByteBuffer>& frames) { sent.push_back(frames); });

    // Held for up to 8 s, ticking every 100 ms, until 3 s of loud tone came
    // through (the server needs a moment before the first samples).
    voice.start();
    ASSERT_TRUE(voice.active());
    std::vector<int16_t> heard;
    for (int tick = 0; tick < 80; ++tick) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        RefPtr<ByteBuffer> fresh = new ByteBuffer(0);
        voice.readCapturedSamples(fresh);
        for (uint32_t i = 0; i + 1 < fresh->size(); i += 2) {
            int16_t s = int16_t(uint16_t(fresh->data()[i] | fresh->data()[i + 1] << 8));
            if (!heard.empty() || std::abs(int(s)) > 1000)
                heard.push_back(s);
        }
        // Keep the tick's own path going too.
        voice.capturedSamples()->resize(0);
        if (heard.size() >= 3 * 8000)
            break;
    }
    ASSERT_GE(heard.size(), size_t(3 * 8000)) << "the tone did not arrive";

    // One second in the middle: its pitch by zero crossings.
    int crossings = 0;
    for (size_t i = 8000 + 1; i < 2 * 8000; ++i)
        crossings += (heard[i - 1] < 0) != (heard[i] < 0);
    EXPECT_NEAR(crossings / 2.0, expectedHz, expectedHz * 0.03);

    // And the tick sends frames of it.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    voice.tick();
    voice.stop();
    ASSERT_FALSE(sent.empty());
    EXPECT_GT(sent[0]->size(), 4u);
}
