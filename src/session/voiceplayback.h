// Received voice as it is played: each voice through a decoder and a stream
// of its own, every message bounded in length, every sender in how much it
// may have relayed.
//
// The server decodes each client's voice with that connection's own pair
// (ClientVoice). A client receives every other user's
// voice over its one connection and keeps one pair per speaker, by the
// speaker's name (SpeakerVoices), so that people talking at once are heard
// at once, each decoded as the signal it is.
//
// Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "net/netbase.h"
#include "session/voiceframes.h"

namespace seafold {

class ByteBuffer;
class Roster;
struct ClientRecord;
class SFXObject;
class Session;
class SoundPool;
class VoiceDecoder;

// The longest a received voice message may play (samples at 8000 Hz): one
// second, all a tick can take from the one-second capture ring. Anything
// longer is no sender's tick; the longest legal message would hold 23 s.
constexpr uint32_t MaxVoiceMessageSamples = 8000;

// The samples `frames` decodes to, counted from the frames' lengths.
uint32_t voiceMessageSamples(const ByteBuffer* frames);

// False, with a line on the "LogVoice" channel naming `speaker`, for a
// message longer than MaxVoiceMessageSamples: it is to be dropped.
bool voiceMessageFits(const ByteBuffer* frames, const char* speaker);

// Decodes a message with `decoder` and queues it on `stream`. A message
// longer than MaxVoiceMessageSamples is dropped, with a line on the
// "LogVoice" channel naming `speaker`, before any work: false then. Empty
// messages are ignored (true). Decoded even without sound, so that the
// decoder's state follows its stream.
bool playVoiceMessage(VoiceDecoder& decoder, SFXObject& stream, const ByteBuffer* frames, const char* speaker);

// What one sender may have relayed: VoiceRelaySecondsPerSecond seconds of
// speech each second, twice what one person says, with up to
// VoiceRelayBurstMs saved up for a burst after a stall. Beyond it the
// server drops the messages (neither played nor relayed), so that one
// sender cannot bury the others' view; each episode of drops starts with a
// line on the "LogVoice" channel.
//
// Bytes are counted too, VoiceRelayBytesPerSecond with the same burst:
// twice the most a speaker of ours sends (Opus at its highest bitrate, each
// frame with its length and sent twice where the link has room). Seconds
// alone let a sender relay frames of any size (1,000 bytes every 20 ms
// filled a slow listener's queue within seconds).
constexpr uint32_t VoiceRelaySecondsPerSecond = 2;
constexpr uint32_t VoiceRelayBurstMs = 2000;
constexpr uint32_t VoiceRelayBytesPerSecond = 2 * 2 * (24000 / 8 + 2 * 100);

class VoiceAllowance {
public:
    // True when `samples` and `bytes` more fit at `nowMs` (and are
    // counted); false when the message is to be dropped. `sender` names it
    // in the log line.
    bool admit(uint32_t samples, uint32_t nowMs, const char* sender, uint32_t bytes = 0);
    // Messages dropped so far.
    uint32_t dropped() const { return mDropped; }

private:
    double mBytes = 0;   // bytes that may still pass
    double mSamples = 0; // samples that may still pass
    uint32_t mLastMs = 0;
    bool mStarted = false;
    bool mDropping = false;
    uint32_t mDropped = 0;
};

// A client's voices, one decoder and one stream per speaker's name: made
// at the speaker's first message, dropped when the roster removes the user.
// A speaker the roster does not know (yet) is heard through a pair of its
// own all the same; at most MaxStrangerVoices such pairs are kept, and one
// silent for StrangerVoiceIdleMs goes.
class SpeakerVoices {
public:
    static constexpr size_t MaxStrangerVoices = 8;
    static constexpr uint32_t StrangerVoiceIdleMs = 30000;

    // Plays through `pool` (see setSoundPool).
    explicit SpeakerVoices(SoundPool* pool = nullptr);
    ~SpeakerVoices();
    SpeakerVoices(const SpeakerVoices&) = delete;
    SpeakerVoices& operator=(const SpeakerVoices&) = delete;

    // Where new voices play, and whose clock times them (none: unheard,
    // on the real clock).
    void setSoundPool(SoundPool* pool) { mPool = pool; }

    // Plays a message of `speaker`; false when it was dropped (too long).
    bool play(const std::string& speaker, const ByteBuffer* frames, const Roster& roster);
    // Opus frames of `speaker` numbered from `sequence`, for its playout.
    void playFrames(const std::string& speaker, uint32_t sequence, bool endsSpurt,
                    const std::vector<OpusFrameView>& frames, const Roster& roster);
    // Every playout plays what is due by `nowMs` (once per main-loop pass).
    void service(uint32_t nowMs);
    // The user left: the pair goes; what is already queued plays out.
    void forget(const std::string& speaker);
    void clear();

    size_t size() const { return mSpeakers.size(); }
    // The speaker's stream and decoder, or none.
    SFXObject* streamOf(const std::string& speaker) const;
    VoiceDecoder* decoderOf(const std::string& speaker) const;
    const VoicePlayout* playoutOf(const std::string& speaker) const;
    void forEach(const std::function<void(const std::string& speaker, SFXObject& stream)>& visit) const;

private:
    struct Speaker {
        RefPtr<VoiceDecoder> decoder; // LPC-10, made at the first such message
        RefPtr<SFXObject> stream;
        std::unique_ptr<VoicePlayout> playout; // Opus, made at the first frames
        uint32_t lastHeardMs = 0;
    };
    // Makes room among the pairs of speakers the roster does not know.
    void dropIdleStrangers(const Roster& roster, uint32_t nowMs);
    // The speaker's entry, made when new.
    Speaker& speakerFor(const std::string& speaker, const Roster& roster, uint32_t nowMs);

    std::map<std::string, Speaker> mSpeakers;
    SoundPool* mPool = nullptr;
};

// What this listener hears of each speaker, by name: muted or not, and a
// volume. Local to this program: nothing of it goes on the wire, and no
// other listener hears a difference.
class ListenerVolumes {
public:
    void setMuted(const std::string& speaker, bool muted);
    // 0 (silent) to MaxVoiceVolume; 1 plays the voice as it came.
    void setVolume(const std::string& speaker, float volume);
    bool muted(const std::string& speaker) const;
    float volume(const std::string& speaker) const;
    // What the speaker's stream is played at: 0 when muted.
    float gainOf(const std::string& speaker) const { return muted(speaker) ? 0.0f : volume(speaker); }

private:
    struct Setting {
        bool muted = false;
        float volume = 1.0f;
    };
    std::map<std::string, Setting> mSettings;
};

// The time on `pool`'s clock (soundTime) at which the datagram being
// handled arrived: voice is placed in its playout by when the kernel had
// it, not by when a later pass of a busy main loop got to it. Outside the
// handling of a datagram: soundTime.
uint32_t voiceArrivalMs(const SoundPool* pool);

// ---- for the scene and the statistics ------------------------------------------------

// Visits every voice stream with the roster record of its speaker (null for
// a speaker the roster does not know).
void forEachVoiceStream(
    Session& session,
    const std::function<void(const std::string& speaker, const ClientRecord* record, SFXObject& stream)>& visit);

// Plays every voice's frames due now (the session pool's time), once per main-loop pass;
// on the server it also sends what speakers of Opus said, in LPC-10, to the
// clients that know only version 0.
void serviceVoices(Session& session);

// The playout of a voice played through a jitter buffer, or none.
const VoicePlayout* voicePlayoutOf(Session& session, const std::string& speaker);

// Places every voice: `where` gives a user's place relative to the listener
// (x right, y up, -z ahead) and returns true, or returns false for a user
// without a model, who is heard from the listener's own place. With flat
// voice (SessionSettings::flatVoice) every voice is heard that way.
void placeVoices(Session& session, const std::function<bool(const ClientRecord& record, float place[3])>& where);

// Gives every voice stream the volume the session's listener set for its
// speaker (Session::listenerVolumes); once per main-loop pass.
void applyListenerVolumes(Session& session);

} // namespace seafold
