// A client's own Opus frames to the server (c2sVoiceFrames, version 1):
// numbered by the sender's frame periods (VoiceFrameNumbers), the last
// frame sent again at the front of the next event where the link has room
// (VoiceFrameRepeat), and frames still waiting unsent joined into one event
// (VoiceFrameBatches).
//
// These calls are unguaranteed on purpose. Voice is only worth hearing on
// time: a frame lost on the way would be resent a round trip or more later,
// long after its turn in the listener's playout, and a resent frame would
// hold up every frame queued behind it. So a lost frame is not resent; the
// listener's playout conceals it (from the next frame's forward error
// correction where it can) and plays on.
//
// Main thread only.
#pragma once

#include <cstdint>

#include "session/voiceframes.h"

namespace seafold {

class SimpleEventConnection;

class VoiceFrameSender {
public:
    explicit VoiceFrameSender(SimpleEventConnection& connection) : mConnection(connection) {}
    VoiceFrameSender(const VoiceFrameSender&) = delete;
    VoiceFrameSender& operator=(const VoiceFrameSender&) = delete;

    // A tick's frames (each with its length) taken at `nowMs`; `endsSpurt`
    // after the last of a press. False when nothing was sent (the server
    // does not speak version 1, or the frames are malformed).
    bool send(const RefPtr<ByteBuffer>& frames, bool endsSpurt, uint32_t nowMs);

private:
    SimpleEventConnection& mConnection;
    VoiceFrameNumbers mNumbers;
    VoiceFrameRepeat mRepeat;
    VoiceFrameBatches mBatches; // the one speaker: 0
};

} // namespace seafold
