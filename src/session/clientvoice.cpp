#include "session/clientvoice.h"

#include "sound/sound.h"
#include "voice/voicecodec.h"

namespace seafold {

ClientVoice::ClientVoice() = default;

ClientVoice::~ClientVoice() = default;

bool ClientVoice::admit(const ByteBuffer* data, uint32_t nowMs, const char* sender)
{
    return voiceMessageFits(data, sender) && mAllowance.admit(voiceMessageSamples(data), nowMs, sender);
}

void ClientVoice::play(const ByteBuffer* data, const char* sender)
{
    if (!data || data->size() == 0)
        return;
    if (!mDecoder) {
        mDecoder = new LPC10VoiceDecoder;
        mStream = new SFXObject(nullptr, 1.0f, 0, 0);
    }
    playVoiceMessage(*mDecoder, *mStream, data, sender);
}

} // namespace seafold
