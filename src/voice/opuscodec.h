// Opus for voice between peers that both speak it: wideband (16 Hz) mono,
// 20 ms frames, the VoIP application, with in-band forward error correction,
// so that a lost frame can be rebuilt from the one after it.
//
// Unlike LPC-10, every Opus frame is a packet of its own length: a caller
// keeps frames apart (the wire carries each with its length). Encoder and
// decoder keep state from frame to frame, so each speaker has its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "voice/voicecodec.h"

struct OpusEncoder;
struct OpusDecoder;

namespace seafold {

enum : uint32_t {
    OpusSampleRate = 16000,
    OpusFrameMs = 20,
    OpusFrameSamples = OpusSampleRate / 1000 * OpusFrameMs, // 320
    // A received packet may hold up to 120 ms of audio; what decoding may
    // give for one packet.
    OpusMaxDecodedSamples = OpusSampleRate / 1000 * 120,
    // The largest frame our encoder writes; more than any bitrate we use
    // needs (24 kbit/s is 60 bytes a frame).
    OpusMaxFrameBytes = 400,
    // The largest packet a decoder takes from a peer: more than any peer of
    // ours sends; anything longer is treated as lost, not decoded.
    OpusMaxPacketBytes = OpusMaxFrameBytes * 4,
    // The loss an encoder expects before any is measured.
    OpusExpectedLossPercent = 10,
    OpusMinBitrate = 6000,
    OpusMaxBitrate = 24000,
    // Our encoder spends 5 to 9 bytes on most frames of silence, and more
    // than this on all frames of speech from 12 kbit/s up (at 6 kbit/s on
    // nearly all): a frame this short is quiet.
    OpusQuietFrameBytes = 12,
};

// The peak the capture's levelling lifts speech to before Opus (VoiceMode::
// levelPeak): -1 dBFS. The codec rebuilds a sharp start of speech with up
// to about 1 dB of overshoot, which above it would be clipped into a click.
constexpr float OpusLevelPeak = 29204.0f;

// The bitrate (bit/s) a speaker's voice may use on a link that carries
// `bytesPerSecond`: two speakers at once, movement and the events' own
// overhead must still fit without a standing backlog. About 8 kbit/s on the
// default 2,500 B/s link, the most (24 kbit/s) on a LAN-rate link.
uint32_t opusBitrateForLink(uint32_t bytesPerSecond);

class OpusVoiceEncoder {
public:
    explicit OpusVoiceEncoder(uint32_t bitrate = OpusMinBitrate);
    ~OpusVoiceEncoder();
    OpusVoiceEncoder(const OpusVoiceEncoder&) = delete;
    OpusVoiceEncoder& operator=(const OpusVoiceEncoder&) = delete;

    // False when the library could not make an encoder; nothing encodes then.
    bool valid() const { return mEncoder != nullptr; }
    // Clamped to OpusMinBitrate ... OpusMaxBitrate.
    void setBitrate(uint32_t bitsPerSecond);
    uint32_t bitrate() const { return mBitrate; }
    // The share of packets (percent) the encoder expects lost: with some,
    // it puts a copy of each frame into the next for forward error
    // correction, which takes bits from the frame itself (at 24 kbit/s,
    // about 0.02 of intelligibility on a clean link); with none, it does
    // not. Below about 16 kbit/s wideband the library sends no copy at any
    // loss. OpusExpectedLossPercent until set.
    void setExpectedLossPercent(uint32_t percent);
    uint32_t expectedLossPercent() const { return mLossPercent; }
    // Samples of delay the encoder adds (its look-ahead).
    uint32_t lookaheadSamples() const;

    // Encodes exactly OpusFrameSamples samples into one packet; empty when
    // the library fails.
    std::vector<uint8_t> encodeFrame(const int16_t* samples);

private:
    OpusEncoder* mEncoder = nullptr;
    uint32_t mBitrate = OpusMinBitrate;
    uint32_t mLossPercent = OpusExpectedLossPercent;
};

class OpusVoiceDecoder {
public:
    OpusVoiceDecoder();
    ~OpusVoiceDecoder();
    OpusVoiceDecoder(const OpusVoiceDecoder&) = delete;
    OpusVoiceDecoder& operator=(const OpusVoiceDecoder&) = delete;

    bool valid() const { return mDecoder != nullptr; }

    // Decodes one packet into `out` (room for OpusMaxDecodedSamples);
    // returns the samples written. A packet the library refuses (damaged,
    // or from a peer that lies) is concealed instead: one frame of the
    // decoder's own estimate, so the stream never stalls on bad data.
    uint32_t decode(const uint8_t* packet, size_t size, int16_t* out);
    // One frame (OpusFrameSamples) where a packet never came: rebuilt from
    // the forward error correction in `next`, the packet after the missing
    // one, when it is given, otherwise the decoder's loss concealment.
    uint32_t conceal(int16_t* out, const uint8_t* next = nullptr, size_t nextSize = 0);

private:
    OpusDecoder* mDecoder = nullptr;
};

// ---- frames in one buffer ------------------------------------------------------------
// Several Opus frames travel in one byte buffer, each preceded by its
// length: one byte 0 ... 127, or two bytes (high bit set, then the low
// eight bits) up to OpusMaxFramedBytes.
enum : uint32_t { OpusMaxFramedBytes = 0x7FFF };

// Appends one frame with its length to `out`; false (nothing written) for
// a frame longer than OpusMaxFramedBytes.
bool appendOpusFrame(std::vector<uint8_t>& out, const uint8_t* frame, size_t size);
// The frames of `data`, in order; false when the buffer does not split
// into whole frames (what split before the fault is still given).
struct OpusFrameView {
    const uint8_t* data;
    size_t size;
};
bool splitOpusFrames(const uint8_t* data, size_t size, std::vector<OpusFrameView>& frames);

// The voice tick's encoder for Opus: each OpusFrameSamples of the stream
// become one frame with its length in front, so a tick's frames can be
// split apart again.
class OpusFramedEncoder : public VoiceEncoder {
public:
    explicit OpusFramedEncoder(uint32_t bitrate = OpusMinBitrate) : mEncoder(bitrate) {}
    OpusVoiceEncoder& encoder() { return mEncoder; }

    uint32_t frameSampleCount() const override { return OpusFrameSamples; }
    uint32_t maxFrameBytes() const override { return OpusMaxFrameBytes + 2; }
    uint32_t encodeFrame(const int16_t* samples, uint8_t* out) override;

private:
    OpusVoiceEncoder mEncoder;
};

} // namespace seafold
