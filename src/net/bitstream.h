// Byte buffers and bit streams: the single definition of how every value is
// laid out on the wire.
//
// Bit numbering: stream bit i is bit (i mod 8) of byte i / 8, bit 0 being the
// least significant. A value of n bits is written least significant bit first,
// so multi-byte values that start on a byte boundary are little-endian.
#pragma once

#include <cstdint>

#include "base/bytebuffer.h"
#include "base/platform.h"

namespace seafold {

class BitStream : public ByteBuffer {
public:
    enum : uint32_t { DefaultSizeBytes = 1500, MaxTextBytes = 255, MaxBufferBytes = 1023 };

    // Reads and writes up to `size` bytes of external storage.
    BitStream(uint8_t* data, uint32_t size);
    // External storage with separate read and write sizes (bytes).
    BitStream(uint8_t* data, uint32_t readSize, uint32_t writeSize);
    // An owned 1500-byte buffer that grows as needed.
    BitStream();

    // ---- position and limits ----
    uint32_t bitPosition() const { return mBitPosition; }
    void setBitPosition(uint32_t bit) { mBitPosition = bit; }
    // Bytes touched so far: (bit position + 7) / 8.
    uint32_t bytePosition() const { return (mBitPosition + 7) >> 3; }
    void setBytePosition(uint32_t byte) { mBitPosition = byte << 3; }
    void setLimits(uint32_t readSize, uint32_t writeSize);
    uint32_t readLimitBits() const { return mReadLimit; }
    uint32_t writeLimitBits() const { return mWriteLimit; }
    // Position 0, error cleared, text memory emptied.
    void resetStream();
    bool hasError() const { return mError; }
    void setError() { mError = true; }

    // ---- primitives: writes return true when stored, reads fail past the read limit ----
    bool writeBits(uint32_t bitCount, const void* source);
    bool readBits(uint32_t bitCount, void* dest);
    bool writeFlag(bool value);
    bool readFlag();
    bool writeUnsigned(uint32_t value, uint32_t bitCount);
    uint32_t readUnsigned(uint32_t bitCount);
    bool writeRanged(uint32_t value, uint32_t low, uint32_t high);
    uint32_t readRanged(uint32_t low, uint32_t high);
    bool writeU8(uint8_t value) { return writeUnsigned(value, 8); }
    uint8_t readU8() { return uint8_t(readUnsigned(8)); }
    bool writeU32(uint32_t value) { return writeUnsigned(value, 32); }
    uint32_t readU32() { return readUnsigned(32); }
    bool writeF64(double value);
    double readF64();
    bool writeBytes(uint32_t byteCount, const void* data);
    bool readBytes(uint32_t byteCount, void* dest);

    // A 10-bit length and that many bytes; refuses buffers over 1023 bytes.
    bool writeBuffer(const ByteBuffer* buffer);
    // Makes `buffer` owned and of the read length. Fails (error set) when the
    // stream cannot hold the announced bytes.
    bool readBuffer(ByteBuffer* buffer);

    // Texts share a prefix with the previous text of this stream, then the
    // rest goes through the Huffman text coder. Text coding is the layer
    // above bit streams, so these two are defined with it (huffman.cpp).
    bool writeText(const char* text, uint32_t maxLength = MaxTextBytes);
    // `dest` must hold 256 characters; it is always terminated.
    bool readText(char* dest);
    // The stream's text memory, for callers that must take a write back.
    const char* textMemory() const { return mTextMemory; }
    void setTextMemory(const char* text);

    // Widths used by ranged values: the smallest b with 2^b >= rangeSize.
    static uint32_t bitsForRange(uint32_t rangeSize);

protected:
    // Grows an owned buffer by at least `extraBits` (plus a 1500-byte pad).
    bool growBits(uint32_t extraBits);
    bool makeRoomFor(uint32_t bitCount);

    uint32_t mBitPosition = 0;
    bool mError = false;
    uint32_t mReadLimit = 0;
    uint32_t mWriteLimit = 0;
    char mTextMemory[MaxTextBytes + 1] = {};
};

} // namespace seafold
