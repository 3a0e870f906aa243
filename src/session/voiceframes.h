// Voice between peers that speak version 1 of the wire: Opus frames,
// numbered per speaker, sent unguaranteed.
//
// A sender numbers its frames by its own frame periods (VoiceFrameNumbers),
// so a frame's number is its place in the speaker's time and a receiver's
// jitter buffer can tell lateness from loss. Frames that wait unsent on a
// connection are gathered into one event per speaker (VoiceFrameBatches):
// a link that sends a packet every 96 ms carries about five frames of a
// speaker in one event rather than five events with five headers.
//
// A receiver plays a speaker's frames through a VoicePlayout: the jitter
// buffer, the Opus decoder with its loss concealment, and the speaker's
// stream at the codec's rate, driven once per main-loop pass.
//
// Main thread only.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "base/object.h"
#include "net/rpc.h"
#include "voice/jitterbuffer.h"
#include "voice/opuscodec.h"
#include "voice/voiceprocessing.h"

namespace seafold {

class ByteBuffer;
class SFXObject;

// The most frames one voice event may carry: a second of speech, what the
// slowest tick and the longest stall of one packet ever gather.
constexpr uint32_t MaxVoiceFramesPerEvent = 1000 / OpusFrameMs;

// The frames of an event as sent: false, with `frames` empty, for a buffer
// that does not split into whole frames or holds more than
// MaxVoiceFramesPerEvent.
bool splitVoiceFrames(const ByteBuffer* data, std::vector<OpusFrameView>& frames);

// The frames as a buffer of their own: the caller's may change, and a
// waiting event takes more frames in place.
RefPtr<ByteBuffer> copyOfFrames(const ByteBuffer& frames);
// `frames`, each with its length, in one buffer of their own.
RefPtr<ByteBuffer> framesBuffer(const std::vector<OpusFrameView>& frames);

// A sender's frame numbers: one per frame period of its clock, spoken or
// not, so the pause between two talk spurts shows as a gap in the numbers.
class VoiceFrameNumbers {
public:
    // The number of the first of `count` frames sent at `nowMs`; the
    // numbers after it follow on. `endsSpurt`: the speaker stops after them.
    uint16_t take(uint32_t count, uint32_t nowMs, bool endsSpurt);

private:
    uint16_t mNext = 0;
    bool mInSpurt = false;
    uint32_t mEndMs = 0; // when the last spurt's frames ran out
};

// A sender's last frame, sent a second time at the front of its next
// event where the link has room for it (voiceRepeatFits): a single lost
// packet then costs no frame at all, since the frame it carried comes
// again with the next one. The receiver's jitter buffer drops whichever
// copy comes second, so a peer that does not repeat hears both alike.
class VoiceFrameRepeat {
public:
    // The frames numbered from `sequence` were sent; the last is kept,
    // unless the spurt ends with them (the next spurt starts after a gap).
    void sent(uint16_t sequence, const std::vector<OpusFrameView>& frames, bool endsSpurt);
    // The frame numbered `sequence - 1` with its length in front, when it is
    // the one kept; null otherwise.
    const std::vector<uint8_t>* before(uint16_t sequence) const;

private:
    std::vector<uint8_t> mFrame; // with its length; empty when none is kept
    uint16_t mSequence = 0;
};

// The bytes of one speaker's frames that wait for a receiver whose packets
// carry `packetBytes`: one packet's worth, so that a speaker's event never
// runs past a packet, and a packet where movements or roster changes wait
// leaves them their room (EventConnection::writePacket): the voice waits
// for the next packet instead, and its oldest frames go meanwhile.
uint32_t voiceBytesPerPacket(uint32_t packetBytes);

// True when a link of `bytesPerSecond` carries every frame twice: two
// speakers' repeated frames in the share opusBitrateForLink gives voice.
// So at LAN rates, not on the default link.
bool voiceRepeatFits(uint32_t bytesPerSecond);

// Voice events still waiting to be sent on one connection, by speaker.
//
// This is the receiver's voice budget: each speaker has at most one event
// waiting on the connection, and it holds at most the newest
// MaxWaitingVoiceFrames frames within `maxBytes` (voiceBytesPerPacket: one
// packet's worth).
// A link that cannot carry every speaker so gets less of each (the oldest
// frames go) instead of a growing queue:
// a frame that waited longer than a receiver's playout ever holds back
// (JitterBuffer's largest target) would come too late to be played, and
// voice is never worth delaying the movements and roster changes behind it.
// Frames that were sent to this receiver already (a speaker's repeat) are
// sent again only where the link has room for repeats.
class VoiceFrameBatches {
public:
    static constexpr uint32_t VoiceHorizonMs = 200;
    static constexpr uint32_t MaxWaitingVoiceFrames = VoiceHorizonMs / OpusFrameMs;

    // Adds the frames to the speaker's waiting event when it can still be
    // changed (posted here only, not yet written) and carries the same
    // codec: frames it holds already are left out, a gap in the numbers
    // replaces what it held (older, unsent, so late by now), and the oldest
    // go beyond MaxWaitingVoiceFrames or what one event carries. False when
    // a new event is to be posted; `*skip` is then the frames at the front
    // not to send (sent before, and no room for repeats on this link).
    bool amend(uint64_t speaker, uint32_t codec, uint32_t sequence, bool endsSpurt, const ByteBuffer& frames,
               uint32_t frameCount, bool repeats, uint32_t maxBytes, uint32_t* skip);
    // How many of `frames` (oldest first) to leave out so that the rest fit
    // one waiting event of at most `maxBytes`; counted as dropped.
    size_t overBudget(const std::vector<OpusFrameView>& frames, uint32_t maxBytes);
    // Frames left out so far for being late or over the budget.
    uint32_t droppedFrames() const { return mDropped; }
    // The event just posted for the speaker.
    void posted(uint64_t speaker, RefPtr<RPCEvent> event, uint32_t codec, uint32_t sequence, uint32_t frameCount);
    void forget(uint64_t speaker) { mWaiting.erase(speaker); }
    bool knows(uint64_t speaker) const { return mWaiting.count(speaker) != 0; }

private:
    struct Waiting {
        RefPtr<RPCEvent> event;
        uint32_t codec = 0;
        uint32_t nextSequence = 0; // the number the next frame must have (16 bits)
        uint32_t frames = 0;
    };
    std::map<uint64_t, Waiting> mWaiting;
    uint32_t mDropped = 0;
};

// One speaker's Opus voice as it is played.
class VoicePlayout {
public:
    // Plays into `stream`, which it sets to the codec's rate.
    explicit VoicePlayout(SFXObject* stream);
    ~VoicePlayout();
    VoicePlayout(const VoicePlayout&) = delete;
    VoicePlayout& operator=(const VoicePlayout&) = delete;

    // Frames numbered from `sequence` arrived at `nowMs`.
    void receive(uint32_t sequence, bool endsSpurt, const std::vector<OpusFrameView>& frames, uint32_t nowMs);
    // Plays every frame period due by `nowMs`: a frame received, one made up
    // for a lost or late one, or nothing while the speaker is silent. The
    // samples played (at OpusSampleRate) are appended to `played` if given.
    void service(uint32_t nowMs, std::vector<int16_t>* played = nullptr);

    const JitterStats& stats() const { return mBuffer.stats(); }
    // Frames left out because the stream had fallen behind its clock.
    uint32_t skipped() const { return mSkipped; }
    uint32_t targetMs() const { return mBuffer.targetMs(); }

private:
    void play(const int16_t* samples, uint32_t count, std::vector<int16_t>* played);

    JitterBuffer mBuffer;
    OpusVoiceDecoder mDecoder;
    // A frame rebuilt after concealment can overshoot into a click.
    PeakLimiter mLimiter{OpusLevelPeak, OpusSampleRate};
    RefPtr<SFXObject> mStream;
    bool mRunning = false; // playing a spurt: a frame period each OpusFrameMs
    uint32_t mNextMs = 0;  // when the next frame period is due
    uint32_t mSkipped = 0;
};

} // namespace seafold
