#include "net/bitstream.h"

#include <cstdlib>
#include <cstring>

namespace seafold {

// ---- bit copy helpers ------------------------------------------------------
//
// Values are moved through a 64-bit word in whole-byte steps: a run of up to
// 57 bits starting at any bit touches at most 8 bytes, so one load, one mask
// and one store place it. Only the bytes that hold bits of the run are read
// or written.

namespace {

inline uint64_t loadLittle(const uint8_t* p, uint32_t count)
{
    if (count == 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        v = __builtin_bswap64(v);
#endif
        return v;
    }
    uint64_t v = 0;
    for (uint32_t i = 0; i < count; ++i)
        v |= uint64_t(p[i]) << (8 * i);
    return v;
}

inline void storeLittle(uint8_t* p, uint64_t v, uint32_t count)
{
    if (count == 8) {
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        v = __builtin_bswap64(v);
#endif
        std::memcpy(p, &v, 8);
        return;
    }
    for (uint32_t i = 0; i < count; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

inline uint64_t lowMask(uint32_t bits)
{
    return bits >= 64 ? ~uint64_t(0) : (uint64_t(1) << bits) - 1;
}

// Stores the low `bits` (1..57) of `value` at stream bit `pos`.
inline void putBits(uint8_t* data, uint32_t pos, uint64_t value, uint32_t bits)
{
    uint8_t* p = data + (pos >> 3);
    uint32_t shift = pos & 7;
    uint32_t span = (shift + bits + 7) >> 3;
    uint64_t mask = lowMask(bits) << shift;
    uint64_t word = loadLittle(p, span);
    word = (word & ~mask) | ((value << shift) & mask);
    storeLittle(p, word, span);
}

// Returns `bits` (1..57) stream bits starting at `pos`.
inline uint64_t getBits(const uint8_t* data, uint32_t pos, uint32_t bits)
{
    const uint8_t* p = data + (pos >> 3);
    uint32_t shift = pos & 7;
    uint32_t span = (shift + bits + 7) >> 3;
    return (loadLittle(p, span) >> shift) & lowMask(bits);
}

constexpr uint32_t ChunkBits = 56; // seven whole source or destination bytes
constexpr uint64_t MaxStreamBits = 0xFFFFFFFFull;

} // namespace

// ---- BitStream -------------------------------------------------------------

BitStream::BitStream(uint8_t* data, uint32_t size) : BitStream(data, size, size) {}

BitStream::BitStream(uint8_t* data, uint32_t readSize, uint32_t writeSize) : ByteBuffer(data, readSize)
{
    setLimits(readSize, writeSize);
    resetStream();
}

BitStream::BitStream() : ByteBuffer(DefaultSizeBytes)
{
    setLimits(mSize, mSize);
    resetStream();
}

void BitStream::setLimits(uint32_t readSize, uint32_t writeSize)
{
    SF_ASSERT(readSize <= MaxStreamBits / 8 && writeSize <= MaxStreamBits / 8, "Stream limit too large");
    mReadLimit = readSize << 3;
    mWriteLimit = writeSize << 3;
}

void BitStream::resetStream()
{
    mBitPosition = 0;
    mError = false;
    mTextMemory[0] = 0;
}

void BitStream::setTextMemory(const char* text)
{
    if (!text)
        text = "";
    size_t length = strnlen(text, MaxTextBytes);
    std::memcpy(mTextMemory, text, length);
    mTextMemory[length] = 0;
}

// New size = ((write limit + extra + 7) / 8) + 1500 bytes. Only owned buffers
// can grow; views of external storage (and so every PacketStream) refuse.
bool BitStream::growBits(uint32_t extraBits)
{
    uint64_t newSize = (uint64_t(mWriteLimit) + extraBits + 7) / 8 + DefaultSizeBytes;
    if (newSize > MaxStreamBits / 8 || !resize(uint32_t(newSize))) {
        mError = true;
        return false;
    }
    mReadLimit = mWriteLimit = uint32_t(newSize) << 3;
    return true;
}

// Room for `bitCount` more bits at the position, growing an owned stream;
// false (error set) when there is none.
bool BitStream::makeRoomFor(uint32_t bitCount)
{
    uint64_t end = uint64_t(mBitPosition) + bitCount;
    if (end <= mWriteLimit)
        return true;
    if (end > MaxStreamBits) {
        mError = true;
        return false;
    }
    return growBits(uint32_t(end - mWriteLimit));
}

bool BitStream::writeBits(uint32_t bitCount, const void* source)
{
    if (bitCount == 0)
        return true;
    if (!makeRoomFor(bitCount))
        return false;

    const uint8_t* src = static_cast<const uint8_t*>(source);
    uint32_t pos = mBitPosition;
    uint32_t remaining = bitCount;
    if ((pos & 7) == 0) {
        uint32_t whole = remaining >> 3;
        if (whole) {
            std::memcpy(mData + (pos >> 3), src, whole);
            src += whole;
            pos += whole << 3;
        }
        remaining &= 7;
    } else {
        // Long runs: the bits that share a byte with the previous step stay
        // in a register, so each step stores whole bytes and never reloads
        // what it has just stored. A step's eighth byte is only partly
        // filled; at least 8 more bits of the run follow and complete it.
        if (remaining >= 64) {
            uint8_t* dst = mData + (pos >> 3);
            uint32_t carryBits = pos & 7;
            uint64_t carry = dst[0] & lowMask(carryBits);
            while (remaining >= 64) {
                uint64_t word = carry | ((loadLittle(src, 8) & lowMask(ChunkBits)) << carryBits);
                storeLittle(dst, word, 8);
                carry = word >> ChunkBits;
                src += 7;
                dst += 7;
                pos += ChunkBits;
                remaining -= ChunkBits;
            }
        }
        while (remaining >= ChunkBits) {
            putBits(mData, pos, loadLittle(src, 7), ChunkBits);
            src += 7;
            pos += ChunkBits;
            remaining -= ChunkBits;
        }
    }
    if (remaining)
        putBits(mData, pos, loadLittle(src, (remaining + 7) >> 3), remaining);
    mBitPosition += bitCount;
    return true;
}

bool BitStream::readBits(uint32_t bitCount, void* dest)
{
    if (bitCount == 0)
        return true;
    uint64_t end = uint64_t(mBitPosition) + bitCount;
    if (end > mReadLimit) {
        mError = true;
        return false;
    }

    uint8_t* dst = static_cast<uint8_t*>(dest);
    uint32_t pos = mBitPosition;
    uint32_t remaining = bitCount;
    if ((pos & 7) == 0) {
        uint32_t whole = remaining >> 3;
        if (whole) {
            std::memcpy(dst, mData + (pos >> 3), whole);
            dst += whole;
            pos += whole << 3;
        }
        remaining &= 7;
    } else {
        // While 8 destination bytes remain, store them whole; the eighth
        // is rewritten by the next step.
        while (remaining >= 64) {
            storeLittle(dst, getBits(mData, pos, ChunkBits), 8);
            dst += 7;
            pos += ChunkBits;
            remaining -= ChunkBits;
        }
        while (remaining >= ChunkBits) {
            storeLittle(dst, getBits(mData, pos, ChunkBits), 7);
            dst += 7;
            pos += ChunkBits;
            remaining -= ChunkBits;
        }
    }
    // The last destination byte is written whole; bits above the run are 0.
    if (remaining)
        storeLittle(dst, getBits(mData, pos, remaining), (remaining + 7) >> 3);
    mBitPosition = uint32_t(end);
    return true;
}

bool BitStream::writeFlag(bool value)
{
    if (mBitPosition >= mWriteLimit) {
        if (mBitPosition == MaxStreamBits) {
            mError = true;
            return false;
        }
        if (!growBits(mBitPosition + 1 - mWriteLimit))
            return false;
    }
    uint8_t mask = uint8_t(1u << (mBitPosition & 7));
    uint8_t& byte = mData[mBitPosition >> 3];
    if (value)
        byte |= mask;
    else
        byte &= uint8_t(~mask);
    ++mBitPosition;
    return value;
}

bool BitStream::readFlag()
{
    if (mBitPosition >= mReadLimit) {
        mError = true;
        return false;
    }
    bool value = (mData[mBitPosition >> 3] >> (mBitPosition & 7)) & 1;
    ++mBitPosition;
    return value;
}

bool BitStream::writeUnsigned(uint32_t value, uint32_t bitCount)
{
    SF_ASSERT(bitCount <= 32, "writeUnsigned: more than 32 bits");
    if (bitCount > 32)
        bitCount = 32;
    if (bitCount == 0)
        return true;
    if (!makeRoomFor(bitCount))
        return false;
    putBits(mData, mBitPosition, value, bitCount);
    mBitPosition += bitCount;
    return true;
}

uint32_t BitStream::readUnsigned(uint32_t bitCount)
{
    SF_ASSERT(bitCount <= 32, "readUnsigned: more than 32 bits");
    if (bitCount > 32) {
        mError = true;
        return 0;
    }
    if (bitCount == 0)
        return 0;
    uint64_t end = uint64_t(mBitPosition) + bitCount;
    if (end > mReadLimit) {
        mError = true;
        return 0;
    }
    uint32_t value = uint32_t(getBits(mData, mBitPosition, bitCount));
    mBitPosition = uint32_t(end);
    return value;
}

// The width is taken from the binary exponent of the range size as a 32-bit
// float, so both ends agree on it bit for bit. Exact (the smallest b with
// 2^b >= size) up to 2^24; above that the float's rounding may add one bit.
// A size of 0 stands for the full 32-bit range (high - low + 1 wrapped), and
// no range ever needs more than 32 bits.
uint32_t BitStream::bitsForRange(uint32_t rangeSize)
{
    if (rangeSize == 0)
        return 32;
    float asFloat = float(rangeSize);
    uint32_t floatBits;
    std::memcpy(&floatBits, &asFloat, sizeof floatBits);
    uint32_t exponent = ((floatBits >> 23) & 0xFF) - 127;
    bool powerOfTwo = (rangeSize & (rangeSize - 1)) == 0;
    uint32_t bits = powerOfTwo ? exponent : exponent + 1;
    return bits > 32 ? 32 : bits;
}

bool BitStream::writeRanged(uint32_t value, uint32_t low, uint32_t high)
{
    SF_ASSERT(low <= high, "error, end of range less than start");
    SF_ASSERT(value >= low && value <= high, "Out of bounds value!");
    // Past a failed check (a test answering Retry) keep the stream's layout:
    // the value is clamped into the range.
    if (high < low)
        high = low;
    if (value < low)
        value = low;
    if (value > high)
        value = high;
    return writeUnsigned(value - low, bitsForRange(high - low + 1));
}

uint32_t BitStream::readRanged(uint32_t low, uint32_t high)
{
    SF_ASSERT(low <= high, "error, end of range less than start");
    if (high < low)
        high = low;
    return low + readUnsigned(bitsForRange(high - low + 1));
}

// An IEEE-754 double, least significant byte first.
bool BitStream::writeF64(double value)
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    uint8_t bytes[8];
    storeLittle(bytes, bits, 8);
    return writeBits(64, bytes);
}

double BitStream::readF64()
{
    uint8_t bytes[8];
    if (!readBits(64, bytes))
        return 0.0;
    uint64_t bits = loadLittle(bytes, 8);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

bool BitStream::writeBytes(uint32_t byteCount, const void* data)
{
    if (byteCount > MaxStreamBits / 8) {
        mError = true;
        return false;
    }
    return writeBits(byteCount << 3, data);
}

bool BitStream::readBytes(uint32_t byteCount, void* dest)
{
    if (byteCount > MaxStreamBits / 8) {
        mError = true;
        return false;
    }
    return readBits(byteCount << 3, dest);
}

// Wire layout:
//   [size]  (10 bits)   byte count, 0..1023
//   [bytes] (8 * size)  the buffer's bytes in order
bool BitStream::writeBuffer(const ByteBuffer* buffer)
{
    uint32_t size = buffer ? buffer->size() : 0;
    if (size > MaxBufferBytes)
        return false;
    if (!writeUnsigned(size, 10))
        return false;
    return writeBytes(size, buffer ? buffer->data() : nullptr);
}

bool BitStream::readBuffer(ByteBuffer* buffer)
{
    SF_ASSERT(buffer != nullptr, "readBuffer: no buffer");
    uint32_t start = mBitPosition;
    uint32_t size = readUnsigned(10);
    if (mBitPosition == start) // the length itself could not be read
        return false;
    // Refuse before allocating when the announced bytes are not there.
    if (uint64_t(mBitPosition) + uint64_t(size) * 8 > mReadLimit) {
        mError = true;
        return false;
    }
    if (!buffer)
        return false;
    buffer->ensureOwned();
    if (!buffer->resize(size) || buffer->size() != size) {
        mError = true;
        return false;
    }
    return readBytes(size, buffer->data());
}

} // namespace seafold
