// Bookkeeping of encodeBuffer and decodeBuffer: whole frames only, the tail
// kept at the start of the input, output sized from the hint and grown from
// the bytes that remain.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "voice/lpc10.h"
#include "voice/voicecodec.h"

namespace seafold {
namespace {

RefPtr<ByteBuffer> sampleBuffer(uint32_t count, uint32_t seed = 1)
{
    RefPtr<ByteBuffer> b = new ByteBuffer(count * 2);
    int16_t* s = reinterpret_cast<int16_t*>(b->data());
    for (uint32_t i = 0; i < count; ++i)
        s[i] = int16_t((i * 7919u + seed * 104729u) % 20000u) - 10000;
    return b;
}

// A codec whose frames are easy to read back: an encoded frame is one byte
// holding the frame's first sample's low byte, padded with 0xEE up to the
// maximum that encodeFrame may scribble over.
class MarkerEncoder : public VoiceEncoder {
public:
    uint32_t frameSampleCount() const override { return 10; }
    uint32_t maxFrameBytes() const override { return 3; }
    uint32_t encodeFrame(const int16_t* samples, uint8_t* out) override
    {
        out[0] = uint8_t(samples[0]);
        out[1] = 0xEE;
        out[2] = 0xEE;
        return 1;
    }
};

// Each input byte is a one-byte frame; the decoded frame repeats that byte
// and the frame's index, so lost or shifted frames show.
class MarkerDecoder : public VoiceDecoder {
public:
    uint32_t frameSampleCount() const override { return 180; }
    uint32_t frameBytesHint() const override { return 4; }
    uint32_t decodeFrame(int16_t* out, const uint8_t* in, uint32_t remaining) override
    {
        EXPECT_GE(remaining, 1u);
        for (uint32_t i = 0; i < 180; ++i)
            out[i] = int16_t(in[0] * 1000 + calls);
        ++calls;
        return 1;
    }
    uint32_t frameBytes(const uint8_t*, uint32_t) const override { return 1; }
    int calls = 0;
};

TEST(EncodeBuffer, LessThanOneFrameReturnsNullAndLeavesTheInputAlone)
{
    LPC10VoiceEncoder encoder;
    RefPtr<ByteBuffer> in = sampleBuffer(179);
    std::vector<uint8_t> before(in->data(), in->data() + in->size());
    EXPECT_TRUE(encoder.encodeBuffer(in).isNull());
    ASSERT_EQ(in->size(), 358u);
    EXPECT_EQ(0, std::memcmp(in->data(), before.data(), before.size()));
}

TEST(EncodeBuffer, ExactFramesEmptyTheInput)
{
    LPC10VoiceEncoder encoder;
    RefPtr<ByteBuffer> in = sampleBuffer(360);
    RefPtr<ByteBuffer> out = encoder.encodeBuffer(in);
    ASSERT_TRUE(out.isValid());
    EXPECT_EQ(in->size(), 0u);
    // Two frames of 1, 4 or 7 bytes.
    uint32_t pos = 0, frames = 0;
    while (pos < out->size()) {
        LpcFrameCodes codes;
        pos += unpackLpcFrame(out->data() + pos, out->size() - pos, &codes);
        ++frames;
    }
    EXPECT_EQ(pos, out->size());
    EXPECT_EQ(frames, 2u);
}

TEST(EncodeBuffer, TailMovesToTheStartAndNextCallContinuesTheStream)
{
    RefPtr<ByteBuffer> in = sampleBuffer(1000);
    std::vector<uint8_t> tail(in->data() + 900 * 2, in->data() + 1000 * 2);
    MarkerEncoder encoder;
    RefPtr<ByteBuffer> out = encoder.encodeBuffer(in);
    ASSERT_TRUE(out.isValid());
    ASSERT_EQ(out->size(), 100u); // 100 one-byte frames, the padding overwritten
    ASSERT_EQ(in->size(), 0u);

    LPC10VoiceEncoder lpc;
    RefPtr<ByteBuffer> speech = sampleBuffer(1000);
    std::vector<uint8_t> last(speech->data() + 900 * 2, speech->data() + 1000 * 2);
    RefPtr<ByteBuffer> frames = lpc.encodeBuffer(speech);
    ASSERT_TRUE(frames.isValid());
    ASSERT_EQ(speech->size(), 200u);
    EXPECT_EQ(0, std::memcmp(speech->data(), last.data(), 200));

    // Feeding the same stream in uneven pieces gives the same frames as one call.
    LPC10VoiceEncoder whole, pieces;
    RefPtr<ByteBuffer> all = sampleBuffer(1800, 3);
    std::vector<uint8_t> allBytes(all->data(), all->data() + all->size());
    RefPtr<ByteBuffer> expected = whole.encodeBuffer(all);
    std::vector<uint8_t> got;
    RefPtr<ByteBuffer> pending = new ByteBuffer(0);
    uint32_t offset = 0;
    for (uint32_t piece : {250u, 77u, 600u, 1u, 872u}) {
        uint32_t old = pending->size();
        ASSERT_TRUE(pending->resize(old + piece * 2));
        std::memcpy(pending->data() + old, allBytes.data() + offset, piece * 2);
        offset += piece * 2;
        RefPtr<ByteBuffer> part = pieces.encodeBuffer(pending);
        if (part.isValid())
            got.insert(got.end(), part->data(), part->data() + part->size());
    }
    ASSERT_EQ(offset, allBytes.size());
    ASSERT_EQ(got.size(), expected->size());
    EXPECT_EQ(0, std::memcmp(got.data(), expected->data(), got.size()));
}

TEST(EncodeBuffer, UnalignedViewEncodesLikeAlignedSamples)
{
    RefPtr<ByteBuffer> aligned = sampleBuffer(400);
    std::vector<uint8_t> storage(aligned->size() + 1);
    std::memcpy(storage.data() + 1, aligned->data(), aligned->size());
    RefPtr<ByteBuffer> view = new ByteBuffer(storage.data() + 1, aligned->size());
    LPC10VoiceEncoder a, b;
    RefPtr<ByteBuffer> x = a.encodeBuffer(aligned);
    RefPtr<ByteBuffer> y = b.encodeBuffer(view);
    ASSERT_TRUE(x.isValid() && y.isValid());
    ASSERT_EQ(x->size(), y->size());
    EXPECT_EQ(0, std::memcmp(x->data(), y->data(), x->size()));
    EXPECT_EQ(view->size(), 80u); // 40 samples left, moved within the view
    EXPECT_EQ(0, std::memcmp(view->data(), aligned->data(), 80));
}

TEST(DecodeBuffer, EmptyAndNullGiveEmptyBuffers)
{
    LPC10VoiceDecoder decoder;
    ByteBuffer empty(0);
    RefPtr<ByteBuffer> out = decoder.decodeBuffer(&empty);
    ASSERT_TRUE(out.isValid());
    EXPECT_EQ(out->size(), 0u);
    out = decoder.decodeBuffer(nullptr);
    ASSERT_TRUE(out.isValid());
    EXPECT_EQ(out->size(), 0u);
}

TEST(DecodeBuffer, GrowsPastTheHintWithoutLosingFrames)
{
    // Ten one-byte frames: the first allocation holds 10 / 4 + 1 = 3 frames.
    uint8_t bytes[10];
    for (int i = 0; i < 10; ++i)
        bytes[i] = uint8_t(i + 1);
    ByteBuffer in(bytes, 10);
    MarkerDecoder decoder;
    RefPtr<ByteBuffer> out = decoder.decodeBuffer(&in);
    ASSERT_EQ(out->size(), 1800u * 2);
    const int16_t* s = reinterpret_cast<const int16_t*>(out->data());
    for (int f = 0; f < 10; ++f) {
        EXPECT_EQ(s[f * 180], (f + 1) * 1000 + f) << "frame " << f;
        EXPECT_EQ(s[f * 180 + 179], (f + 1) * 1000 + f) << "frame " << f;
    }

    LPC10VoiceDecoder lpc;
    uint8_t silence[10];
    std::memset(silence, 0x7F, sizeof silence);
    ByteBuffer quiet(silence, 10);
    EXPECT_EQ(lpc.decodeBuffer(&quiet)->size(), 1800u * 2);
}

TEST(DecodeBuffer, FrameCutShortStillYieldsAWholeFrame)
{
    // A voiced 7-byte frame followed by the first 3 bytes of another.
    LpcFrameCodes c;
    c.pitchCode = 19;
    c.rmsIndex = 20;
    uint8_t bytes[10];
    ASSERT_EQ(packLpcFrame(c, bytes), 7u);
    uint8_t second[7];
    packLpcFrame(c, second);
    std::memcpy(bytes + 7, second, 3);
    ByteBuffer in(bytes, 10);
    LPC10VoiceDecoder decoder;
    EXPECT_EQ(decoder.decodeBuffer(&in)->size(), 360u * 2);
}

TEST(DecodeBuffer, SampleCountIsKnownBeforeDecodingAndMatchesIt)
{
    // Silence, unvoiced and voiced frames, then a voiced frame cut short:
    // counted as decodeBuffer decodes them, without touching the decoder.
    LpcFrameCodes voiced, unvoiced;
    voiced.pitchCode = 19;
    voiced.rmsIndex = 20;
    unvoiced.rmsIndex = 12;
    std::vector<uint8_t> bytes;
    uint8_t frame[7];
    for (const LpcFrameCodes* c : {&voiced, &unvoiced, &voiced}) {
        uint32_t n = packLpcFrame(*c, frame);
        bytes.insert(bytes.end(), frame, frame + n);
        bytes.push_back(0x7F);
    }
    bytes.insert(bytes.end(), frame, frame + 2);
    ByteBuffer in(bytes.data(), uint32_t(bytes.size()));
    LPC10VoiceDecoder decoder;
    EXPECT_EQ(decoder.decodedSampleCount(&in), 7u * 180);
    EXPECT_EQ(decoder.decodeBuffer(&in)->size(), 7u * 180 * 2);
    EXPECT_EQ(decoder.decodedSampleCount(nullptr), 0u);

    // The longest legal message, 1023 silence frames: 23 s of audio.
    std::vector<uint8_t> silence(1023, 0x7F);
    ByteBuffer longest(silence.data(), 1023);
    EXPECT_EQ(decoder.decodedSampleCount(&longest), 1023u * 180);
}

} // namespace
} // namespace seafold
