#include "voice/voicecodec.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "voice/lpc10.h"

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "voice buffers hold little-endian samples and are used in place"
#endif

namespace seafold {

namespace {

bool isSampleAligned(const void* p)
{
    return (reinterpret_cast<uintptr_t>(p) & (alignof(int16_t) - 1)) == 0;
}

} // namespace

RefPtr<ByteBuffer> VoiceEncoder::encodeBuffer(const RefPtr<ByteBuffer>& samples)
{
    if (samples.isNull())
        return nullptr;
    const uint32_t n = samples->size() / 2;
    const uint32_t f = frameSampleCount();
    const uint32_t frames = n / f;
    if (frames == 0)
        return nullptr;

    RefPtr<ByteBuffer> out = new ByteBuffer(maxFrameBytes() * frames);
    uint8_t* in = samples->data();
    // A view may start at an odd address; frames are then copied out first.
    std::vector<int16_t> copy;
    if (!isSampleAligned(in))
        copy.resize(f);
    uint32_t written = 0;
    for (uint32_t k = 0; k < frames; ++k) {
        const uint8_t* frame = in + size_t(k) * f * 2;
        const int16_t* pcm;
        if (copy.empty()) {
            pcm = reinterpret_cast<const int16_t*>(frame);
        } else {
            std::memcpy(copy.data(), frame, size_t(f) * 2);
            pcm = copy.data();
        }
        written += encodeFrame(pcm, out->data() + written);
    }
    out->resize(written);

    const uint32_t leftover = n - frames * f;
    std::memmove(in, in + size_t(frames) * f * 2, size_t(leftover) * 2);
    samples->resize(leftover * 2);
    return out;
}

uint32_t VoiceDecoder::decodedSampleCount(const ByteBuffer* encoded) const
{
    const uint32_t len = encoded ? encoded->size() : 0;
    uint64_t frames = 0;
    for (uint32_t consumed = 0; consumed < len; ++frames) {
        uint32_t used = frameBytes(encoded->data() + consumed, len - consumed);
        // Every frame takes at least one byte, as decodeBuffer counts it.
        consumed = used == 0 || used >= len - consumed ? len : consumed + used;
    }
    return uint32_t(std::min<uint64_t>(frames * frameSampleCount(), 0xFFFFFFFFu));
}

RefPtr<ByteBuffer> VoiceDecoder::decodeBuffer(const ByteBuffer* encoded)
{
    const uint32_t f = frameSampleCount();
    const uint32_t h = frameBytesHint();
    const uint32_t len = encoded ? encoded->size() : 0;
    const uint8_t* in = encoded ? encoded->data() : nullptr;

    // A buffer's size is 32 bits: the most frames one output can hold. Only
    // inputs of many megabytes come near it; decoding stops there.
    const uint32_t maxFrames = uint32_t(0xFFFFFFFFull / (uint64_t(f) * 2));
    uint32_t capacity = std::min(len / h + 1, maxFrames);
    RefPtr<ByteBuffer> out = new ByteBuffer(capacity * f * 2);
    uint32_t consumed = 0;
    uint32_t k = 0;
    while (consumed < len) {
        if (k == capacity) {
            if (capacity == maxFrames)
                break;
            // Grow by what the remaining bytes can hold, not by doubling.
            capacity = uint32_t(std::min<uint64_t>(uint64_t((len - consumed) / h) + k + 1, maxFrames));
            out->resize(capacity * f * 2);
        }
        // Our own buffer's storage is allocated, hence aligned for samples.
        int16_t* pcm = reinterpret_cast<int16_t*>(out->data()) + size_t(k) * f;
        uint32_t used = decodeFrame(pcm, in + consumed, len - consumed);
        consumed = used >= len - consumed ? len : consumed + used;
        ++k;
    }
    out->resize(k * f * 2);
    return out;
}

// ---- LPC-10 ----

LPC10VoiceEncoder::LPC10VoiceEncoder() : mState(new EncoderState) {}
LPC10VoiceEncoder::~LPC10VoiceEncoder() = default;
uint32_t LPC10VoiceEncoder::frameSampleCount() const
{
    return LpcFrameSamples;
}
uint32_t LPC10VoiceEncoder::maxFrameBytes() const
{
    return LpcMaxFrameBytes;
}
uint32_t LPC10VoiceEncoder::encodeFrame(const int16_t* samples, uint8_t* out)
{
    return encodeLpcFrame(*mState, samples, out);
}

LPC10VoiceDecoder::LPC10VoiceDecoder() : mState(new DecoderState) {}
LPC10VoiceDecoder::~LPC10VoiceDecoder() = default;
uint32_t LPC10VoiceDecoder::frameSampleCount() const
{
    return LpcFrameSamples;
}
uint32_t LPC10VoiceDecoder::frameBytesHint() const
{
    return 4;
}
uint32_t LPC10VoiceDecoder::decodeFrame(int16_t* out, const uint8_t* in, uint32_t remaining)
{
    return decodeLpcFrame(in, remaining, *mState, out);
}
uint32_t LPC10VoiceDecoder::frameBytes(const uint8_t* in, uint32_t remaining) const
{
    return lpcFrameBytes(in, remaining);
}

} // namespace seafold
