#include "session/voicesender.h"
#include "session/clientvoice.h"
#include "session/simpleeventconnection.h"
#include "session/wireversion.h"

#include <cstring>

namespace seafold {

bool VoiceFrameSender::send(const RefPtr<ByteBuffer>& frames, bool endsSpurt, uint32_t nowMs)
{
    // A server of version 0 would refuse the call: its frames are not sent.
    if (!frames || !speaksSeafold(mConnection))
        return false;
    std::vector<OpusFrameView> split;
    if (!splitVoiceFrames(frames, split))
        return false;
    if (split.empty() && !endsSpurt)
        return true;
    const uint32_t count = uint32_t(split.size());
    const uint16_t sequence = mNumbers.take(count, nowMs, endsSpurt);
    const uint32_t codec = uint32_t(VoiceCodecId::Opus);
    const std::vector<uint8_t>* repeat =
        voiceRepeatFits(linkBytesPerSecond(mConnection)) ? mRepeat.before(sequence) : nullptr;
    mRepeat.sent(sequence, split, endsSpurt);
    // Joined to a waiting event, the frame before these is in it already.
    uint32_t skip = 0;
    if (mBatches.amend(0, codec, sequence, endsSpurt, *frames, count, true, RPCArg<RefPtr<ByteBuffer>>::MaxBytes,
                       &skip))
        return true;
    RefPtr<ByteBuffer> buffer = copyOfFrames(*frames);
    uint16_t first = sequence;
    // An end of a press carries no frame, and nothing repeats an empty one:
    // no copy from an empty vector's null data.
    if (repeat && !repeat->empty() && buffer->resize(uint32_t(repeat->size() + frames->size()))) {
        std::memcpy(buffer->data(), repeat->data(), repeat->size());
        if (frames->size())
            std::memcpy(buffer->data() + repeat->size(), frames->data(), frames->size());
        first = uint16_t(sequence - 1);
    }
    RefPtr<RPCEvent> event = mConnection.c2sVoiceFrames_build(codec, first, endsSpurt, buffer);
    if (!event || !mConnection.postEvent(event))
        return false;
    mBatches.posted(0, event, codec, first, uint32_t(uint16_t(sequence - first)) + count);
    return true;
}

} // namespace seafold
