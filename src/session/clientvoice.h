// A client's voice as the server receives it on that client's connection:
// checked against what one sender may have relayed, decoded and played by
// the server itself. Each connection keeps its own decoder (the synthesis
// state runs on from message to message) and its own stream, made at the
// first voice and released with the connection. A client plays relayed voice
// by speaker instead (SpeakerVoices).
//
// A client that speaks Opus (version 1 of the wire) is played through a
// playout of its own; what it plays is also what receivers that know only
// LPC-10 hear of this client, encoded again by this speaker's one LPC-10
// encoder, shared by all of them, in the specified 100 ms messages.
//
// Also here: how a press of push-to-talk runs on a connection (voiceModeFor).
//
// Main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "base/object.h"
#include "session/voiceframes.h"
#include "session/voiceplayback.h"
#include "voice/voicecapture.h"

namespace seafold {

class ByteBuffer;
class EventConnection;
class Resampler;
class SFXObject;
class SoundPool;
class VoiceDecoder;
class VoiceEncoder;

// How a press runs on the client's connection to the server: Opus at the
// codec's rate and frame cadence, at a bitrate from the connection's
// negotiated rate (opusBitrateForLink), when the server speaks version 1;
// otherwise (or without a connection) LPC-10 with the specified timing.
VoiceMode voiceModeFor(const EventConnection* connectionToServer);
// Sets the press's Opus bitrate from the connection's negotiated rate and
// its expected loss from the connection's measured loss (LinkLossMeter).
// Run at every tick, not only when a press starts: a press made right after
// connecting starts before the server's rate has come, at the default
// link's bitrate, and would keep it to its end.
void followLinkRate(const EventConnection& connectionToServer);

// The share of a connection's packets lost, from its counts of packets
// delivered and dropped (both only grow on one connection), over stretches
// of at least LossStretchPackets outcomes. Before the first stretch is
// complete: OpusExpectedLossPercent.
class LinkLossMeter {
public:
    enum : uint32_t { LossStretchPackets = 100 };
    // The percent lost (rounded up) after these counts.
    uint32_t update(uint32_t delivered, uint32_t dropped);

private:
    uint32_t mDelivered = 0, mDropped = 0; // counts at the stretch's start
    uint32_t mPercent = OpusExpectedLossPercent;
};
// The bytes a second `connection` may send at its negotiated rate.
uint32_t linkBytesPerSecond(const EventConnection& connection);

class ClientVoice {
public:
    ClientVoice();
    ~ClientVoice();
    ClientVoice(const ClientVoice&) = delete;
    ClientVoice& operator=(const ClientVoice&) = delete;

    // True when a message of `sender` at `nowMs` is to be played and
    // relayed: no longer than any tick's (MaxVoiceMessageSamples) and within
    // what one sender may have relayed (VoiceAllowance). Otherwise it is
    // dropped whole, with a line on the "LogVoice" channel.
    bool admit(const ByteBuffer* data, uint32_t nowMs, const char* sender);
    // Decodes the message and queues it for playing through `pool` (none:
    // decoded, not heard).
    void play(SoundPool* pool, const ByteBuffer* data, const char* sender);

    // False: played on a silent stream, only to be encoded again for the
    // listeners of version 0 (a server's own user, who must not hear
    // themselves). Set before the first voice.
    void setHeardHere(bool heard) { mHeardHere = heard; }
    bool heardHere() const { return mHeardHere; }

    // The stream played so far, or none before the first voice.
    SFXObject* stream() const { return mStream.get(); }
    bool hasDecoder() const { return bool(mDecoder); }
    // Messages dropped for being beyond the allowance.
    uint32_t dropped() const { return mAllowance.dropped(); }

    // ---- Opus ----
    // True when the frames numbered from `sequence` fit the allowance at
    // `nowMs`, in seconds and in bytes. A frame that is not after the last
    // one admitted gains its sender nothing: the one just before (sent
    // again, as a speaker does when its link has room) is counted like any
    // other, and those before it are left out, `*stale` of them at the
    // front, neither counted nor to be played or relayed.
    bool admitFrames(uint32_t sequence, const std::vector<OpusFrameView>& frames, uint32_t nowMs, const char* sender,
                     uint32_t* stale);
    // Frames to play through `pool`, numbered from `sequence`.
    void playFrames(SoundPool* pool, uint32_t sequence, bool endsSpurt, const std::vector<OpusFrameView>& frames, uint32_t nowMs);
    // Plays what is due by `nowMs`. With `transcode`, what was played is
    // also encoded in LPC-10: the frames of a whole message, once 100 ms
    // are together, are returned (null otherwise).
    RefPtr<ByteBuffer> service(uint32_t nowMs, bool transcode);
    // The playout, or none before the first Opus frames.
    const VoicePlayout* playout() const { return mPlayout.get(); }

private:
    SFXObject* ensureStream(SoundPool* pool);

    RefPtr<VoiceDecoder> mDecoder;
    RefPtr<SFXObject> mStream;
    VoiceAllowance mAllowance;
    bool mHaveFramesEnd = false;
    uint16_t mFramesEnd = 0; // the number after the last frame admitted
    std::unique_ptr<VoicePlayout> mPlayout;
    // The LPC-10 of this speaker for receivers of version 0.
    std::unique_ptr<Resampler> mNarrowing;
    RefPtr<VoiceEncoder> mLpcEncoder;
    RefPtr<ByteBuffer> mNarrow; // 8000 Hz samples not yet encoded
    bool mHeardHere = true;
};

} // namespace seafold
