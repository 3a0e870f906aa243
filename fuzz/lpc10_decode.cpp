// Arbitrary bytes as a received voice buffer: decodeBuffer must give 180
// samples per frame it reads, never read outside the input, and keep the
// synthesis state sound for the next buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "voice/voicecodec.h"

using namespace seafold;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 4096)
        return 0;
    // An owned copy of exactly the input, so reading past it is caught.
    std::vector<uint8_t> bytes(data, data + size);
    ByteBuffer buffer(size ? bytes.data() : nullptr, uint32_t(size));

    RefPtr<LPC10VoiceDecoder> decoder = new LPC10VoiceDecoder;
    for (int pass = 0; pass < 2; ++pass) {
        RefPtr<ByteBuffer> out = decoder->decodeBuffer(&buffer);
        if (out.isNull())
            std::abort();
        uint32_t frames = out->size() / 360;
        if (out->size() % 360 != 0 || frames > size || (size > 0 && frames == 0) || (size == 0 && frames != 0))
            std::abort();
    }
    return 0;
}
