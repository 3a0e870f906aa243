#include "voice/opuscodec.h"

#include <opus/opus.h>

#include <algorithm>
#include <cstring>

#include "base/platform.h"

namespace seafold {

uint32_t opusBitrateForLink(uint32_t bytesPerSecond)
{
    // Two fifths of the link for one speaker's frames: two speakers take
    // four fifths, and the fifth left carries the events' own bits and
    // movement. 2,500 B/s gives 8 kbit/s.
    const uint64_t bits = uint64_t(bytesPerSecond) * 8 * 2 / 5;
    return uint32_t(std::clamp<uint64_t>(bits, OpusMinBitrate, OpusMaxBitrate));
}

OpusVoiceEncoder::OpusVoiceEncoder(uint32_t bitrate)
{
    int error = OPUS_OK;
    mEncoder = opus_encoder_create(OpusSampleRate, 1, OPUS_APPLICATION_VOIP, &error);
    if (error != OPUS_OK || !mEncoder) {
        writeLog("Opus: no encoder (%s)", opus_strerror(error));
        mEncoder = nullptr;
        return;
    }
    // The receiver asks the next packet for a lost one's copy; the encoder
    // only includes one when it expects loss, so tell it to.
    opus_encoder_ctl(mEncoder, OPUS_SET_INBAND_FEC(1));
    opus_encoder_ctl(mEncoder, OPUS_SET_PACKET_LOSS_PERC(int32_t(mLossPercent)));
    opus_encoder_ctl(mEncoder, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE));
    opus_encoder_ctl(mEncoder, OPUS_SET_MAX_BANDWIDTH(OPUS_BANDWIDTH_WIDEBAND));
    // Constrained VBR: frames of about the same size, so the link's budget
    // holds frame by frame and not only on average.
    opus_encoder_ctl(mEncoder, OPUS_SET_VBR_CONSTRAINT(1));
    setBitrate(bitrate);
}

OpusVoiceEncoder::~OpusVoiceEncoder()
{
    if (mEncoder)
        opus_encoder_destroy(mEncoder);
}

void OpusVoiceEncoder::setBitrate(uint32_t bitsPerSecond)
{
    mBitrate = std::clamp<uint32_t>(bitsPerSecond, OpusMinBitrate, OpusMaxBitrate);
    if (mEncoder)
        opus_encoder_ctl(mEncoder, OPUS_SET_BITRATE(int32_t(mBitrate)));
}

void OpusVoiceEncoder::setExpectedLossPercent(uint32_t percent)
{
    mLossPercent = std::min<uint32_t>(percent, 100);
    if (mEncoder)
        opus_encoder_ctl(mEncoder, OPUS_SET_PACKET_LOSS_PERC(int32_t(mLossPercent)));
}

uint32_t OpusVoiceEncoder::lookaheadSamples() const
{
    opus_int32 lookahead = 0;
    if (mEncoder)
        opus_encoder_ctl(mEncoder, OPUS_GET_LOOKAHEAD(&lookahead));
    return uint32_t(std::max<opus_int32>(lookahead, 0));
}

std::vector<uint8_t> OpusVoiceEncoder::encodeFrame(const int16_t* samples)
{
    std::vector<uint8_t> packet;
    if (!mEncoder)
        return packet;
    packet.resize(OpusMaxFrameBytes);
    const opus_int32 length = opus_encode(mEncoder, samples, OpusFrameSamples, packet.data(), OpusMaxFrameBytes);
    if (length < 0) {
        writeLog("Opus: encoding failed (%s)", opus_strerror(length));
        packet.clear();
        return packet;
    }
    packet.resize(size_t(length));
    return packet;
}

OpusVoiceDecoder::OpusVoiceDecoder()
{
    int error = OPUS_OK;
    mDecoder = opus_decoder_create(OpusSampleRate, 1, &error);
    if (error != OPUS_OK || !mDecoder) {
        writeLog("Opus: no decoder (%s)", opus_strerror(error));
        mDecoder = nullptr;
    }
}

OpusVoiceDecoder::~OpusVoiceDecoder()
{
    if (mDecoder)
        opus_decoder_destroy(mDecoder);
}

uint32_t OpusVoiceDecoder::decode(const uint8_t* packet, size_t size, int16_t* out)
{
    if (!mDecoder)
        return 0;
    if (packet && size > 0 && size <= OpusMaxPacketBytes) {
        const int count = opus_decode(mDecoder, packet, opus_int32(size), out, OpusMaxDecodedSamples, 0);
        if (count > 0)
            return uint32_t(count);
    }
    return conceal(out);
}

uint32_t OpusVoiceDecoder::conceal(int16_t* out, const uint8_t* next, size_t nextSize)
{
    if (!mDecoder)
        return 0;
    int count = -1;
    // With decode_fec set, the decoder gives the frame before `next` from
    // the copy `next` carries (or conceals, when it carries none).
    if (next && nextSize > 0 && nextSize <= OpusMaxPacketBytes)
        count = opus_decode(mDecoder, next, opus_int32(nextSize), out, OpusFrameSamples, 1);
    if (count <= 0)
        count = opus_decode(mDecoder, nullptr, 0, out, OpusFrameSamples, 0);
    if (count <= 0) {
        std::fill(out, out + OpusFrameSamples, int16_t(0));
        count = OpusFrameSamples;
    }
    return uint32_t(count);
}

// ---- frames in one buffer -------------------------------------------------------------

bool appendOpusFrame(std::vector<uint8_t>& out, const uint8_t* frame, size_t size)
{
    if (size > OpusMaxFramedBytes)
        return false;
    if (size < 0x80) {
        out.push_back(uint8_t(size));
    } else {
        out.push_back(uint8_t(0x80 | (size >> 8)));
        out.push_back(uint8_t(size & 0xFF));
    }
    out.insert(out.end(), frame, frame + size);
    return true;
}

bool splitOpusFrames(const uint8_t* data, size_t size, std::vector<OpusFrameView>& frames)
{
    size_t at = 0;
    while (at < size) {
        size_t length = data[at++];
        if (length & 0x80) {
            if (at >= size)
                return false;
            length = ((length & 0x7F) << 8) | data[at++];
        }
        if (length > size - at)
            return false;
        frames.push_back(OpusFrameView{data + at, length});
        at += length;
    }
    return true;
}

uint32_t OpusFramedEncoder::encodeFrame(const int16_t* samples, uint8_t* out)
{
    std::vector<uint8_t> packet = mEncoder.encodeFrame(samples);
    std::vector<uint8_t> framed;
    // A frame the library could not make is sent empty: the receiver
    // conceals it in its turn.
    appendOpusFrame(framed, packet.data(), packet.size());
    std::memcpy(out, framed.data(), framed.size());
    return uint32_t(framed.size());
}

} // namespace seafold
