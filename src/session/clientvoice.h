// A client's voice as the server receives it on that client's connection:
// checked against what one sender may have relayed, decoded and played by
// the server itself. Each connection keeps its own decoder (the synthesis
// state runs on from message to message) and its own stream, made at the
// first voice and released with the connection. A client plays relayed voice
// by speaker instead (SpeakerVoices).
//
// Main thread only.
#pragma once

#include <cstdint>

#include "base/object.h"
#include "session/voiceplayback.h"

namespace seafold {

class ByteBuffer;
class SFXObject;
class VoiceDecoder;

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
    // Decodes the message and queues it for playing.
    void play(const ByteBuffer* data, const char* sender);

    // The stream played so far, or none before the first voice.
    SFXObject* stream() const { return mStream.get(); }
    bool hasDecoder() const { return bool(mDecoder); }
    // Messages dropped for being beyond the allowance.
    uint32_t dropped() const { return mAllowance.dropped(); }

private:
    RefPtr<VoiceDecoder> mDecoder;
    RefPtr<SFXObject> mStream;
    VoiceAllowance mAllowance;
};

} // namespace seafold
