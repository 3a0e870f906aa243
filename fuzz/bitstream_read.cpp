// Drives the bit stream readers with arbitrary data.
//
// Input layout:
//   [count]  (1 byte)      number of operations n (at most 64)
//   [script] (n bytes)     one operation per byte: low 3 bits the kind,
//                          high 5 bits its parameter
//   [data]   (the rest)    the stream that the operations read
//
// Every read must stay inside the data, every text must come back
// terminated and within 255 characters, and every text read must survive
// a write and read of its own unchanged.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "net/bitstream.h"
#include "net/huffman.h"

using namespace seafold;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

void checkTextRoundTrip(const char* text)
{
    BitStream out;
    check(out.writeText(text));
    out.setBitPosition(0);
    out.setTextMemory("");
    char back[256];
    check(out.readText(back));
    check(std::strcmp(back, text) == 0);
    check(!out.hasError());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size)
{
    if (size == 0)
        return 0;
    size_t count = input[0] % 65;
    if (size < 1 + count)
        count = size - 1;
    const uint8_t* script = input + 1;
    // An exactly sized heap copy, so any read outside it is caught.
    std::vector<uint8_t> data(input + 1 + count, input + size);
    uint8_t* bytes = data.empty() ? nullptr : data.data();
    BitStream stream(bytes, uint32_t(data.size()));

    for (size_t i = 0; i < count; ++i) {
        uint32_t kind = script[i] & 7;
        uint32_t param = script[i] >> 3;
        uint32_t before = stream.bitPosition();
        switch (kind) {
        case 0:
            stream.readFlag();
            break;
        case 1:
            stream.readUnsigned(param + (param == 31 ? 1 : 0)); // widths 0..30 and 32
            break;
        case 2: {
            uint32_t low = param * 37;
            uint32_t high = low + (param < 16 ? (1u << param) - 1 : 0xFFFFFFFFu - low);
            uint32_t value = stream.readRanged(low, high);
            // Small ranges are exact powers of two: the value cannot pass
            // high. Wider ones may wrap, which the reader leaves to callers.
            if (param < 16)
                check(value >= low && value <= high);
            break;
        }
        case 3:
            stream.readF64();
            break;
        case 4: {
            uint8_t dest[32];
            stream.readBytes(param, dest);
            break;
        }
        case 5: {
            RefPtr<ByteBuffer> buffer = new ByteBuffer;
            if (stream.readBuffer(buffer))
                check(buffer->size() <= BitStream::MaxBufferBytes);
            break;
        }
        case 6: {
            char text[256 + 1];
            text[256] = 0x5A;
            bool ok = stream.readText(text);
            check(text[256] == 0x5A);
            size_t length = strnlen(text, 256);
            check(length <= 255);
            check(std::strlen(stream.textMemory()) <= 255);
            if (ok)
                checkTextRoundTrip(text);
            break;
        }
        case 7: {
            char text[256];
            if (HuffmanTextCoder::instance().decodeText(stream, text))
                checkTextRoundTrip(text);
            check(strnlen(text, 256) <= 255);
            break;
        }
        }
        check(stream.bitPosition() <= stream.readLimitBits());
        check(stream.bitPosition() >= before);
    }
    return 0;
}
