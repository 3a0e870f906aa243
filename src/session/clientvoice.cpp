#include "session/clientvoice.h"

#include <algorithm>
#include <cstring>

#include "net/eventconnection.h"
#include "session/wireversion.h"
#include "sound/sound.h"
#include "voice/voicecodec.h"
#include "voice/voiceprocessing.h"

namespace seafold {

namespace {

// One encoder for the process: its state runs on from press to press.
OpusFramedEncoder& pressEncoder()
{
    static RefPtr<OpusFramedEncoder> encoder = new OpusFramedEncoder;
    return *encoder;
}

} // namespace

VoiceMode voiceModeFor(const EventConnection* connectionToServer)
{
    VoiceMode mode;
    if (!connectionToServer || !speaksSeafold(*connectionToServer))
        return mode;
    followLinkRate(*connectionToServer);
    mode.codec = VoiceCodecId::Opus;
    mode.encoder = &pressEncoder();
    mode.sampleRate = OpusSampleRate;
    mode.levelPeak = OpusLevelPeak;
    // Each frame leaves as soon as it is whole: no first wait, no batch.
    mode.firstTickMs = OpusFrameMs;
    mode.tickPeriodMs = OpusFrameMs;
    mode.keepCadence = true;
    return mode;
}

void followLinkRate(const EventConnection& connectionToServer)
{
    static LinkLossMeter loss;
    OpusVoiceEncoder& encoder = pressEncoder().encoder();
    encoder.setBitrate(opusBitrateForLink(linkBytesPerSecond(connectionToServer)));
    const auto& stats = connectionToServer.stats();
    encoder.setExpectedLossPercent(loss.update(stats.packetsDelivered, stats.packetsDropped));
}

uint32_t LinkLossMeter::update(uint32_t delivered, uint32_t dropped)
{
    if (delivered < mDelivered || dropped < mDropped) {
        // Counts of another connection: a new start, the estimate kept.
        mDelivered = delivered;
        mDropped = dropped;
        return mPercent;
    }
    const uint32_t lost = dropped - mDropped;
    const uint32_t outcomes = lost + (delivered - mDelivered);
    if (outcomes < LossStretchPackets)
        return mPercent;
    mPercent = uint32_t((uint64_t(lost) * 100 + outcomes - 1) / outcomes);
    mDelivered = delivered;
    mDropped = dropped;
    return mPercent;
}

uint32_t linkBytesPerSecond(const EventConnection& connection)
{
    const uint32_t interval = std::max<uint32_t>(connection.sendInterval(), 1);
    return uint32_t(uint64_t(connection.packetSize()) * 1000 / interval);
}

ClientVoice::ClientVoice() = default;

ClientVoice::~ClientVoice() = default;

bool ClientVoice::admit(const ByteBuffer* data, uint32_t nowMs, const char* sender)
{
    return voiceMessageFits(data, sender) && mAllowance.admit(voiceMessageSamples(data), nowMs, sender);
}

void ClientVoice::play(SoundPool* pool, const ByteBuffer* data, const char* sender)
{
    if (!data || data->size() == 0)
        return;
    if (!mDecoder)
        mDecoder = new LPC10VoiceDecoder;
    ensureStream(pool)->setVoiceRate(VoiceSampleRate);
    playVoiceMessage(*mDecoder, *mStream, data, sender);
}

SFXObject* ClientVoice::ensureStream(SoundPool* pool)
{
    if (!mStream) {
        mStream = new SFXObject(pool, nullptr, 1.0f, 0, 0);
        if (!mHeardHere)
            mStream->setVoiceVolume(0);
    }
    return mStream.get();
}

bool ClientVoice::admitFrames(uint32_t sequence, const std::vector<OpusFrameView>& frames, uint32_t nowMs,
                              const char* sender, uint32_t* stale)
{
    const uint32_t frameCount = uint32_t(frames.size());
    const uint16_t first = uint16_t(sequence);
    const uint16_t end = uint16_t(first + frameCount);
    *stale = 0;
    if (mHaveFramesEnd) {
        // Frames numbered up to the last admitted, less the one just before.
        const int32_t seen = int16_t(uint16_t(mFramesEnd - first)) - 1;
        *stale = uint32_t(std::clamp<int32_t>(seen, 0, int32_t(frameCount)));
    }
    uint32_t bytes = 0;
    for (uint32_t i = *stale; i < frameCount; ++i)
        bytes += uint32_t(frames[i].size);
    const uint32_t fresh = frameCount - *stale;
    if (fresh == 0 && frameCount)
        return false;
    // Seconds counted in the allowance's own units: samples at 8000 Hz.
    if (!mAllowance.admit(fresh * OpusFrameMs * (VoiceSampleRate / 1000), nowMs, sender, bytes))
        return false;
    if (!mHaveFramesEnd || int16_t(uint16_t(end - mFramesEnd)) > 0)
        mFramesEnd = end;
    mHaveFramesEnd = true;
    return true;
}

void ClientVoice::playFrames(SoundPool* pool, uint32_t sequence, bool endsSpurt, const std::vector<OpusFrameView>& frames,
                             uint32_t nowMs)
{
    if (!mPlayout)
        mPlayout = std::make_unique<VoicePlayout>(ensureStream(pool));
    mPlayout->receive(sequence, endsSpurt, frames, nowMs);
}

RefPtr<ByteBuffer> ClientVoice::service(uint32_t nowMs, bool transcode)
{
    if (!mPlayout)
        return nullptr;
    std::vector<int16_t> played;
    mPlayout->service(nowMs, transcode ? &played : nullptr);
    if (!transcode || played.empty())
        return nullptr;
    if (!mLpcEncoder) {
        mNarrowing = std::make_unique<Resampler>(OpusSampleRate, VoiceSampleRate);
        mLpcEncoder = new LPC10VoiceEncoder;
        mNarrow = new ByteBuffer(0);
    }
    std::vector<int16_t> narrow;
    mNarrowing->process(played.data(), played.size(), narrow);
    const uint32_t old = mNarrow->size();
    if (!mNarrow->resize(old + uint32_t(narrow.size()) * 2))
        return nullptr;
    std::memcpy(mNarrow->data() + old, narrow.data(), narrow.size() * 2);
    // The specified cadence: a message every 100 ms of speech.
    if (mNarrow->size() / 2 < VoiceTickPeriodMs * (VoiceSampleRate / 1000))
        return nullptr;
    return mLpcEncoder->encodeBuffer(mNarrow);
}

} // namespace seafold
