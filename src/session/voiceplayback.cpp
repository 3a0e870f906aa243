#include "session/voiceplayback.h"

#include <algorithm>

#include "base/platform.h"
#include "net/netinterface.h"
#include "session/simpleeventconnection.h"
#include "sound/sound.h"
#include "voice/voicecodec.h"

namespace seafold {

uint32_t voiceMessageSamples(const ByteBuffer* frames)
{
    // Frame lengths are the codec's; any decoder of it can count them.
    static RefPtr<VoiceDecoder> counter = new LPC10VoiceDecoder;
    return counter->decodedSampleCount(frames);
}

bool voiceMessageFits(const ByteBuffer* frames, const char* speaker)
{
    uint32_t samples = voiceMessageSamples(frames);
    if (samples <= MaxVoiceMessageSamples)
        return true;
    SF_LOG("LogVoice", "Voice message of %s dropped: %u ms of sound, more than %u ms", speaker,
           samples / (VoiceSampleRate / 1000), MaxVoiceMessageSamples / (VoiceSampleRate / 1000));
    return false;
}

bool playVoiceMessage(VoiceDecoder& decoder, SFXObject& stream, const ByteBuffer* frames, const char* speaker)
{
    if (!frames || frames->size() == 0)
        return true;
    if (!voiceMessageFits(frames, speaker))
        return false;
    stream.queueVoiceSamples(decoder.decodeBuffer(frames));
    return true;
}

uint32_t voiceArrivalMs(const SoundPool* pool)
{
    // The stamp is on the high-precision timer; the pool may run on a clock
    // of its own (tests), so only the datagram's age is carried over. An
    // age beyond a second is no stamp of this pass.
    const double age = getHighPrecisionMilliseconds(getHighPrecisionTimerValue() - NetInterface::arrivalTimer());
    const uint32_t ageMs = age > 0 && age < 1000 ? uint32_t(age) : 0;
    return soundTime(pool) - ageMs;
}

// ---- the relay allowance ----------------------------------------------------------

bool VoiceAllowance::admit(uint32_t samples, uint32_t nowMs, const char* sender, uint32_t bytes)
{
    const double perMs = double(VoiceRelaySecondsPerSecond) * VoiceSampleRate / 1000.0;
    const double burst = double(VoiceRelayBurstMs) * VoiceSampleRate / 1000.0;
    const double bytesPerMs = double(VoiceRelayBytesPerSecond) / 1000.0;
    const double byteBurst = double(VoiceRelayBurstMs) * bytesPerMs;
    if (!mStarted) {
        mStarted = true;
        mSamples = burst;
        mBytes = byteBurst;
    } else {
        const double elapsed = double(uint32_t(nowMs - mLastMs));
        mSamples = std::min(burst, mSamples + elapsed * perMs);
        mBytes = std::min(byteBurst, mBytes + elapsed * bytesPerMs);
    }
    mLastMs = nowMs;
    if (double(samples) <= mSamples && double(bytes) <= mBytes) {
        mSamples -= double(samples);
        mBytes -= double(bytes);
        mDropping = false;
        return true;
    }
    ++mDropped;
    if (!mDropping) {
        mDropping = true;
        SF_LOG("LogVoice", "Voice of %s beyond %u s a second or %u bytes a second: the excess is dropped", sender,
               VoiceRelaySecondsPerSecond, VoiceRelayBytesPerSecond);
    }
    return false;
}

// ---- one pair per speaker ------------------------------------------------------------

SpeakerVoices::SpeakerVoices(SoundPool* pool) : mPool(pool) {}
SpeakerVoices::~SpeakerVoices() = default;

bool SpeakerVoices::play(const std::string& speaker, const ByteBuffer* frames, const Roster& roster)
{
    if (!frames || frames->size() == 0)
        return true;
    uint32_t now = soundTime(mPool);
    // A message that is dropped makes no pair.
    if (!voiceMessageFits(frames, speaker.c_str()))
        return false;
    Speaker& entry = speakerFor(speaker, roster, now);
    if (!entry.decoder)
        entry.decoder = new LPC10VoiceDecoder;
    entry.stream->setVoiceRate(VoiceSampleRate);
    entry.stream->queueVoiceSamples(entry.decoder->decodeBuffer(frames));
    return true;
}

SpeakerVoices::Speaker& SpeakerVoices::speakerFor(const std::string& speaker, const Roster& roster, uint32_t nowMs)
{
    auto it = mSpeakers.find(speaker);
    if (it == mSpeakers.end()) {
        if (!roster.find(speaker))
            dropIdleStrangers(roster, nowMs);
        Speaker made;
        made.stream = new SFXObject(mPool, nullptr, 1.0f, 0, 0);
        it = mSpeakers.emplace(speaker, std::move(made)).first;
    }
    it->second.lastHeardMs = nowMs;
    return it->second;
}

void SpeakerVoices::playFrames(const std::string& speaker, uint32_t sequence, bool endsSpurt,
                               const std::vector<OpusFrameView>& frames, const Roster& roster)
{
    const uint32_t now = voiceArrivalMs(mPool);
    Speaker& entry = speakerFor(speaker, roster, now);
    if (!entry.playout)
        entry.playout = std::make_unique<VoicePlayout>(entry.stream.get());
    entry.playout->receive(sequence, endsSpurt, frames, now);
}

void SpeakerVoices::service(uint32_t nowMs)
{
    for (auto& entry : mSpeakers)
        if (entry.second.playout)
            entry.second.playout->service(nowMs);
}

const VoicePlayout* SpeakerVoices::playoutOf(const std::string& speaker) const
{
    auto it = mSpeakers.find(speaker);
    return it == mSpeakers.end() ? nullptr : it->second.playout.get();
}

void SpeakerVoices::dropIdleStrangers(const Roster& roster, uint32_t nowMs)
{
    size_t strangers = 0;
    auto quietest = mSpeakers.end();
    for (auto it = mSpeakers.begin(); it != mSpeakers.end();) {
        if (roster.find(it->first)) {
            ++it;
            continue;
        }
        if (uint32_t(nowMs - it->second.lastHeardMs) >= StrangerVoiceIdleMs) {
            it = mSpeakers.erase(it);
            continue;
        }
        ++strangers;
        if (quietest == mSpeakers.end() ||
            uint32_t(nowMs - it->second.lastHeardMs) > uint32_t(nowMs - quietest->second.lastHeardMs))
            quietest = it;
        ++it;
    }
    // The one about to be made is a stranger too.
    if (strangers >= MaxStrangerVoices && quietest != mSpeakers.end())
        mSpeakers.erase(quietest);
}

void SpeakerVoices::forget(const std::string& speaker)
{
    mSpeakers.erase(speaker);
}

void SpeakerVoices::clear()
{
    mSpeakers.clear();
}

SFXObject* SpeakerVoices::streamOf(const std::string& speaker) const
{
    auto it = mSpeakers.find(speaker);
    return it == mSpeakers.end() ? nullptr : it->second.stream.get();
}

VoiceDecoder* SpeakerVoices::decoderOf(const std::string& speaker) const
{
    auto it = mSpeakers.find(speaker);
    return it == mSpeakers.end() ? nullptr : it->second.decoder.get();
}

void SpeakerVoices::forEach(const std::function<void(const std::string&, SFXObject&)>& visit) const
{
    for (auto& entry : mSpeakers)
        visit(entry.first, *entry.second.stream);
}

// ---- the listener's volumes ----------------------------------------------------------

void ListenerVolumes::setMuted(const std::string& speaker, bool muted)
{
    mSettings[speaker].muted = muted;
}

void ListenerVolumes::setVolume(const std::string& speaker, float volume)
{
    mSettings[speaker].volume = std::clamp(volume, 0.0f, float(MaxVoiceVolume));
}

bool ListenerVolumes::muted(const std::string& speaker) const
{
    auto it = mSettings.find(speaker);
    return it != mSettings.end() && it->second.muted;
}

float ListenerVolumes::volume(const std::string& speaker) const
{
    auto it = mSettings.find(speaker);
    return it == mSettings.end() ? 1.0f : it->second.volume;
}

// ---- for the scene and the statistics -------------------------------------------------

void forEachVoiceStream(Session& session,
                        const std::function<void(const std::string&, const ClientRecord*, SFXObject&)>& visit)
{
    Roster& roster = session.roster();
    // The server's voices are its connections'.
    for (size_t i = 0; i < roster.size(); ++i) {
        SimpleEventConnection* connection = roster[i].connection;
        if (SFXObject* stream = connection ? connection->voice().stream() : nullptr)
            visit(roster[i].name, &roster[i], *stream);
    }
    session.speakerVoices().forEach(
        [&](const std::string& speaker, SFXObject& stream) { visit(speaker, roster.find(speaker), stream); });
}

void serviceVoices(Session& session)
{
    const uint32_t now = soundTime(session.soundPool());
    session.speakerVoices().service(now);
    Roster& roster = session.roster();
    for (size_t i = 0; i < roster.size(); ++i)
        if (SimpleEventConnection* connection = roster[i].connection)
            connection->serviceVoice(now);
}

const VoicePlayout* voicePlayoutOf(Session& session, const std::string& speaker)
{
    if (const VoicePlayout* playout = session.speakerVoices().playoutOf(speaker))
        return playout;
    const ClientRecord* record = session.roster().find(speaker);
    return record && record->connection ? record->connection->voice().playout() : nullptr;
}

void applyListenerVolumes(Session& session)
{
    const ListenerVolumes& volumes = session.listenerVolumes();
    forEachVoiceStream(session, [&](const std::string& speaker, const ClientRecord*, SFXObject& stream) {
        stream.setVoiceVolume(volumes.gainOf(speaker));
    });
}

void placeVoices(Session& session, const std::function<bool(const ClientRecord&, float[3])>& where)
{
    const bool flat = session.settings().flatVoice;
    forEachVoiceStream(session, [&](const std::string&, const ClientRecord* record, SFXObject& stream) {
        float place[3] = {0, 0, 0};
        bool positioned = !flat && record && where(*record, place);
        stream.setVoicePlacement(positioned, place[0], place[1], place[2]);
    });
}

} // namespace seafold
