// Voice codecs: frame-based encoders and decoders of 16-bit mono 8000 Hz
// speech, the buffer operations that cut a sample stream into frames and
// back, and the LPC-10 codec behind them.
//
// Samples travel in a ByteBuffer as little-endian signed 16-bit values, two
// bytes per sample.
#pragma once

#include <cstdint>
#include <memory>

#include "base/bytebuffer.h"
#include "base/object.h"

namespace seafold {

struct EncoderState;
struct DecoderState;

class VoiceEncoder : public Object {
public:
    virtual uint32_t frameSampleCount() const = 0;
    // The most bytes one encoded frame can take.
    virtual uint32_t maxFrameBytes() const = 0;
    // Encodes exactly frameSampleCount() samples; returns the frame's length.
    // May write up to maxFrameBytes() bytes at `out` even when it reports
    // fewer.
    virtual uint32_t encodeFrame(const int16_t* samples, uint8_t* out) = 0;

    // Encodes the whole frames of `samples` and returns them, or null when
    // there is not one whole frame. Leaves only the unencoded tail (fewer
    // than frameSampleCount() samples) in `samples`, moved to its start.
    RefPtr<ByteBuffer> encodeBuffer(const RefPtr<ByteBuffer>& samples);
};

class VoiceDecoder : public Object {
public:
    virtual uint32_t frameSampleCount() const = 0;
    // Bytes per frame assumed when sizing decodeBuffer's output.
    virtual uint32_t frameBytesHint() const = 0;
    // Decodes one frame from `remaining` bytes at `in` into exactly
    // frameSampleCount() samples; returns the bytes the frame occupies (at
    // least 1, possibly more than remain).
    virtual uint32_t decodeFrame(int16_t* out, const uint8_t* in, uint32_t remaining) = 0;
    // The bytes the frame at `in` occupies, as decodeFrame would report
    // them, without decoding it.
    virtual uint32_t frameBytes(const uint8_t* in, uint32_t remaining) const = 0;

    // The number of samples decodeBuffer would give for `encoded`, counted
    // from the frames' lengths alone: cheap enough to check a message from
    // the network before any work is done on it.
    uint32_t decodedSampleCount(const ByteBuffer* encoded) const;

    // Decodes every frame of `encoded` (null or empty gives an empty
    // buffer). Never returns null.
    RefPtr<ByteBuffer> decodeBuffer(const ByteBuffer* encoded);
};

// LPC-10 at 2400 bit/s: 180-sample frames of 1, 4 or 7 bytes. The analysis
// state carries over between calls, so successive calls must see one
// continuous stream.
class LPC10VoiceEncoder : public VoiceEncoder {
public:
    LPC10VoiceEncoder();
    ~LPC10VoiceEncoder() override;
    uint32_t frameSampleCount() const override;
    uint32_t maxFrameBytes() const override;
    uint32_t encodeFrame(const int16_t* samples, uint8_t* out) override;

private:
    std::unique_ptr<EncoderState> mState;
};

// Decodes LPC-10 frames; the synthesis state carries over between buffers of
// one stream. Unvoiced excitation draws from the process-wide noise
// generator shared by all decoders.
class LPC10VoiceDecoder : public VoiceDecoder {
public:
    LPC10VoiceDecoder();
    ~LPC10VoiceDecoder() override;
    uint32_t frameSampleCount() const override;
    uint32_t frameBytesHint() const override; // 4: an unvoiced frame
    uint32_t decodeFrame(int16_t* out, const uint8_t* in, uint32_t remaining) override;
    uint32_t frameBytes(const uint8_t* in, uint32_t remaining) const override;

private:
    std::unique_ptr<DecoderState> mState;
};

} // namespace seafold
