#include "net/huffman.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "net/bitstream.h"

namespace seafold {
namespace {

std::string bitsOf(const uint8_t* data, uint32_t from, uint32_t to)
{
    std::string bits;
    for (uint32_t i = from; i < to; ++i)
        bits += ((data[i >> 3] >> (i & 7)) & 1) ? '1' : '0';
    return bits;
}

uint32_t encodedBits(const char* text, uint32_t maxLength = 255)
{
    BitStream stream;
    EXPECT_TRUE(HuffmanTextCoder::instance().encodeText(stream, text, maxLength));
    return stream.bitPosition();
}

std::string roundTrip(const char* text, uint32_t maxLength = 255)
{
    BitStream stream;
    HuffmanTextCoder::instance().encodeText(stream, text, maxLength);
    stream.setBitPosition(0);
    char dest[256];
    EXPECT_TRUE(HuffmanTextCoder::instance().decodeText(stream, dest));
    EXPECT_FALSE(stream.hasError());
    return dest;
}

// The code follows from the count table and the tie rules alone; a change
// to either breaks the wire format, which these lengths pin down.
TEST(HuffmanTextCoder, CodeLengths)
{
    const HuffmanTextCoder& coder = HuffmanTextCoder::instance();
    EXPECT_EQ(coder.codeLength(' '), 4u);
    EXPECT_EQ(coder.codeLength('e'), 4u);
    EXPECT_EQ(coder.codeLength('a'), 4u);
    EXPECT_EQ(coder.codeLength('s'), 5u);
    EXPECT_EQ(coder.codeLength('.'), 6u);
    EXPECT_EQ(coder.codeLength('A'), 8u);
    EXPECT_EQ(coder.codeLength('0'), 6u);
    EXPECT_EQ(coder.codeLength(';'), 14u);
    uint32_t shortest = 99, longest = 0;
    for (uint32_t b = 0; b < 256; ++b) {
        uint32_t length = coder.codeLength(uint8_t(b));
        shortest = std::min(shortest, length);
        longest = std::max(longest, length);
        if (b == 0 || b >= 128) {
            EXPECT_EQ(length, 15u) << "byte " << b;
        }
    }
    EXPECT_EQ(shortest, 4u);
    EXPECT_EQ(longest, 15u);
}

TEST(HuffmanTextCoder, HandWorkedEncodings)
{
    // abc: coded flag, length 3, then a's code first: 1, 0, 0, 1.
    BitStream stream;
    HuffmanTextCoder::instance().encodeText(stream, "abc");
    const HuffmanTextCoder& coder = HuffmanTextCoder::instance();
    uint32_t codeBits = coder.codeLength('a') + coder.codeLength('b') + coder.codeLength('c');
    EXPECT_EQ(codeBits, 16u);
    EXPECT_EQ(stream.bitPosition(), 9u + 16u);
    EXPECT_EQ(bitsOf(stream.data(), 0, 9), "1"
                                           "11000000");
    EXPECT_EQ(bitsOf(stream.data(), 9, 13), "1001");

    // Empty and missing texts: flag 0 and length 0.
    BitStream empty;
    HuffmanTextCoder::instance().encodeText(empty, "");
    HuffmanTextCoder::instance().encodeText(empty, nullptr);
    EXPECT_EQ(empty.bitPosition(), 18u);
    EXPECT_EQ(bitsOf(empty.data(), 0, 18), std::string(18, '0'));
    EXPECT_EQ(roundTrip(""), "");
    EXPECT_EQ(roundTrip(nullptr), "");

    // Only count-0 characters: 15 bits each would exceed 8, so raw bytes.
    BitStream raw;
    HuffmanTextCoder::instance().encodeText(raw, "\x80\xFF\x90");
    EXPECT_EQ(raw.bitPosition(), 9u + 24u);
    EXPECT_EQ(bitsOf(raw.data(), 0, 9), "0"
                                        "11000000");
    EXPECT_EQ(roundTrip("\x80\xFF\x90"), "\x80\xFF\x90");
}

TEST(HuffmanTextCoder, TotalBitsOfTypicalTexts)
{
    EXPECT_EQ(encodedBits("alice"), 31u);
    EXPECT_EQ(encodedBits("fishingboat.mesh"), 89u);
    EXPECT_EQ(encodedBits("hello world"), 61u);
    EXPECT_EQ(encodedBits("The quick brown fox jumps over the lazy dog."), 243u);
    EXPECT_EQ(encodedBits("SimpleEventConnection"), 112u);
}

TEST(HuffmanTextCoder, LengthLimits)
{
    std::string longText;
    for (int i = 0; i < 300; ++i)
        longText += char('a' + i % 26);
    EXPECT_EQ(roundTrip(longText.c_str()), longText.substr(0, 255));
    EXPECT_EQ(roundTrip(longText.c_str(), 10), longText.substr(0, 10));
    std::string rawLong(300, '\xAB');
    EXPECT_EQ(roundTrip(rawLong.c_str()), rawLong.substr(0, 255));
    EXPECT_EQ(encodedBits(rawLong.c_str()), 9u + 8u * 255u);

    // Every byte value except 0 round-trips, coded or raw.
    std::string all;
    for (int b = 1; b < 256; ++b)
        all += char(b);
    EXPECT_EQ(roundTrip(all.c_str()), all);
    EXPECT_EQ(roundTrip(all.c_str() + 96), all.substr(96));
}

// Any length byte is safe for a 256-character destination, and a stream that
// runs out leaves a terminated text and the error flag.
TEST(HuffmanTextCoder, HostileInput)
{
    for (int coded = 0; coded < 2; ++coded) {
        uint8_t storage[600];
        std::memset(storage, 0xA5, sizeof storage);
        BitStream stream(storage, sizeof storage);
        stream.writeFlag(coded != 0);
        stream.writeUnsigned(255, 8);
        stream.setBitPosition(0);
        char dest[256 + 8];
        std::memset(dest, 0x7E, sizeof dest);
        EXPECT_TRUE(HuffmanTextCoder::instance().decodeText(stream, dest));
        EXPECT_EQ(std::strlen(dest), 255u) << coded; // 0xA5 decodes to no 0 byte here
        EXPECT_EQ(dest[256], 0x7E);

        BitStream shortStream(storage, 5);
        std::memset(dest, 0x7E, sizeof dest);
        EXPECT_FALSE(HuffmanTextCoder::instance().decodeText(shortStream, dest));
        EXPECT_TRUE(shortStream.hasError());
        EXPECT_LT(std::strlen(dest), 256u);
    }
}

} // namespace
} // namespace seafold
