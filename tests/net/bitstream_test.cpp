#include "net/bitstream.h"
#include "net/socket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace seafold {
namespace {

// Every stream bit in order, for comparing encodings with hand-worked bits.
std::string bitsOf(const uint8_t* data, uint32_t bitCount)
{
    std::string bits;
    for (uint32_t i = 0; i < bitCount; ++i)
        bits += ((data[i >> 3] >> (i & 7)) & 1) ? '1' : '0';
    return bits;
}

TEST(BitStream, HandWorkedBytesAndReadBack)
{
    uint8_t storage[4] = {};
    BitStream out(storage, sizeof storage);
    EXPECT_TRUE(out.writeFlag(true));
    EXPECT_TRUE(out.writeUnsigned(5, 3));
    EXPECT_TRUE(out.writeUnsigned(0x1FF, 9));
    EXPECT_EQ(storage[0], 0xFB);
    EXPECT_EQ(storage[1], 0x1F);
    EXPECT_EQ(out.bytePosition(), 2u);

    BitStream in(storage, 2);
    EXPECT_TRUE(in.readFlag());
    EXPECT_EQ(in.readUnsigned(3), 5u);
    EXPECT_EQ(in.readUnsigned(9), 0x1FFu);
    EXPECT_FALSE(in.hasError());
}

TEST(BitStream, MultiByteValuesAreLittleEndian)
{
    uint8_t storage[16] = {};
    BitStream out(storage, sizeof storage);
    out.writeU32(0x12345678);
    EXPECT_EQ(storage[0], 0x78);
    EXPECT_EQ(storage[1], 0x56);
    EXPECT_EQ(storage[2], 0x34);
    EXPECT_EQ(storage[3], 0x12);

    // 1.0 is 3FF0000000000000: least significant byte first.
    out.writeF64(1.0);
    const uint8_t one[8] = {0, 0, 0, 0, 0, 0, 0xF0, 0x3F};
    EXPECT_EQ(std::memcmp(storage + 4, one, 8), 0);
}

TEST(BitStream, WritesKeepNeighbouringBits)
{
    // Writing into the middle of set bits changes only the written range.
    uint8_t storage[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    BitStream out(storage, sizeof storage);
    out.setBitPosition(3);
    out.writeUnsigned(0, 10);
    EXPECT_EQ(bitsOf(storage, 32), "11100000000001111111111111111111");
    out.setBitPosition(20);
    out.writeFlag(false);
    EXPECT_EQ(storage[2], 0xEF);
}

// The word-wise copies against a bit-by-bit model, at every bit offset and
// across the lengths where they change strategy.
TEST(BitStream, BulkCopyMatchesBitModel)
{
    std::mt19937 rng(7);
    for (uint32_t offset = 0; offset < 8; ++offset) {
        for (uint32_t length = 1; length <= 200; length += (length < 70 ? 1 : 13)) {
            uint8_t source[32], before[40], storage[40];
            for (auto& b : source)
                b = uint8_t(rng());
            for (auto& b : before)
                b = uint8_t(rng());
            std::memcpy(storage, before, sizeof storage);
            BitStream stream(storage, sizeof storage);
            stream.setBitPosition(offset);
            ASSERT_TRUE(stream.writeBits(length, source));
            for (uint32_t i = 0; i < 8 * sizeof storage; ++i) {
                bool inRun = i >= offset && i < offset + length;
                uint32_t from = i - offset;
                int expected = inRun ? (source[from >> 3] >> (from & 7)) & 1 : (before[i >> 3] >> (i & 7)) & 1;
                ASSERT_EQ((storage[i >> 3] >> (i & 7)) & 1, expected)
                    << "offset " << offset << " length " << length << " bit " << i;
            }
            uint8_t back[32];
            std::memset(back, 0, sizeof back);
            stream.setBitPosition(offset);
            ASSERT_TRUE(stream.readBits(length, back));
            for (uint32_t k = 0; k < length; ++k)
                ASSERT_EQ((back[k >> 3] >> (k & 7)) & 1, (source[k >> 3] >> (k & 7)) & 1)
                    << "offset " << offset << " length " << length << " bit " << k;
        }
    }
}

TEST(BitStream, RangedWidths)
{
    EXPECT_EQ(BitStream::bitsForRange(10), 4u);
    EXPECT_EQ(BitStream::bitsForRange(8), 3u);
    EXPECT_EQ(BitStream::bitsForRange(1), 0u);
    EXPECT_EQ(BitStream::bitsForRange(9), 4u);
    EXPECT_EQ(BitStream::bitsForRange(1u << 24), 24u);
    EXPECT_EQ(BitStream::bitsForRange((1u << 24) + 1), 25u);
    // The whole 32-bit range, and sizes whose float rounds up to 2^32, fit
    // in 32 bits.
    EXPECT_EQ(BitStream::bitsForRange(0), 32u);
    EXPECT_EQ(BitStream::bitsForRange(0xFFFFFFFFu), 32u);

    uint8_t storage[8] = {};
    BitStream out(storage, sizeof storage);
    out.writeRanged(7, 0, 9);
    EXPECT_EQ(out.bitPosition(), 4u);
    out.writeRanged(4, 0, 7);
    EXPECT_EQ(out.bitPosition(), 7u);
    out.writeRanged(5, 5, 5);
    EXPECT_EQ(out.bitPosition(), 7u);
    out.writeRanged(1000, 990, 1010);
    out.writeRanged(0xFFFFFFFFu, 0, 0xFFFFFFFFu);

    BitStream in(storage, sizeof storage);
    EXPECT_EQ(in.readRanged(0, 9), 7u);
    EXPECT_EQ(in.readRanged(0, 7), 4u);
    EXPECT_EQ(in.readRanged(5, 5), 5u);
    EXPECT_EQ(in.bitPosition(), 7u);
    EXPECT_EQ(in.readRanged(990, 1010), 1000u);
    EXPECT_EQ(in.readRanged(0, 0xFFFFFFFFu), 0xFFFFFFFFu);
}

bool gAlertSeen = false;
bool retryAlert(const char*, const char*)
{
    gAlertSeen = true;
    return true;
}

TEST(BitStream, RangedMisuseIsAProgrammingError)
{
    setAlertHandler(retryAlert);
    uint8_t storage[4] = {};
    BitStream out(storage, sizeof storage);
    gAlertSeen = false;
    out.writeRanged(11, 0, 9);
    EXPECT_TRUE(gAlertSeen);
    gAlertSeen = false;
    out.writeRanged(3, 5, 2);
    EXPECT_TRUE(gAlertSeen);
    setAlertHandler(nullptr);
}

TEST(BitStream, ReadsPastTheEndFailAndLeaveDestination)
{
    uint8_t storage[2] = {0xFF, 0xFF};
    BitStream in(storage, 2);
    in.setBitPosition(16);
    EXPECT_FALSE(in.readFlag());
    EXPECT_TRUE(in.hasError());

    in.resetStream();
    in.setBitPosition(16);
    uint8_t dest = 0xAB;
    EXPECT_FALSE(in.readBits(1, &dest));
    EXPECT_EQ(dest, 0xAB);
    EXPECT_TRUE(in.hasError());
    EXPECT_EQ(in.bitPosition(), 16u);

    // A read that would straddle the limit takes nothing.
    in.resetStream();
    in.setBitPosition(10);
    EXPECT_EQ(in.readUnsigned(7), 0u);
    EXPECT_EQ(in.bitPosition(), 10u);
    EXPECT_EQ(in.readF64(), 0.0);
    uint8_t bytes[4] = {1, 2, 3, 4};
    EXPECT_FALSE(in.readBytes(4, bytes));
    EXPECT_EQ(bytes[0], 1);
    EXPECT_EQ(in.readUnsigned(6), 0x3Fu); // exactly to the end still works
    EXPECT_TRUE(in.hasError());           // but the flag stays set

    // Positions far beyond the buffer are refused without overflow.
    in.resetStream();
    in.setBitPosition(0xFFFFFFF0u);
    EXPECT_EQ(in.readUnsigned(32), 0u);
    EXPECT_FALSE(in.readBytes(0x20000000u, bytes));
    EXPECT_TRUE(in.hasError());

    // readUnsigned masks what lies above the read bits.
    in.resetStream();
    EXPECT_EQ(in.readUnsigned(3), 7u);
}

TEST(BitStream, PacketStreamNeverGrows)
{
    PacketStream packet;
    std::vector<uint8_t> block(PacketStream::MaxPacketBytes, 0x5A);
    EXPECT_TRUE(packet.writeBytes(PacketStream::MaxPacketBytes, block.data()));
    EXPECT_FALSE(packet.hasError());
    EXPECT_FALSE(packet.writeFlag(true));
    EXPECT_TRUE(packet.hasError());
    EXPECT_FALSE(packet.writeUnsigned(1, 1));
    EXPECT_EQ(packet.bytePosition(), PacketStream::MaxPacketBytes);
    EXPECT_EQ(packet.size(), PacketStream::MaxPacketBytes);

    PacketStream small(20);
    EXPECT_EQ(small.readLimitBits(), 160u);
    EXPECT_EQ(small.writeLimitBits(), 8u * 1500);
}

TEST(BitStream, OwnedStreamGrowsWithPad)
{
    BitStream stream;
    std::vector<uint8_t> block(1600);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = uint8_t(i * 7);
    stream.writeFlag(true);
    EXPECT_TRUE(stream.writeBytes(1600, block.data()));
    // ((12000 + 12801 - 12000 + 7) / 8) + 1500 bytes
    EXPECT_EQ(stream.size(), 1601u + 1500u);
    EXPECT_EQ(stream.writeLimitBits(), 8u * 3101);
    EXPECT_EQ(stream.readLimitBits(), 8u * 3101);

    stream.setBitPosition(0);
    std::vector<uint8_t> back(1600);
    EXPECT_TRUE(stream.readFlag());
    EXPECT_TRUE(stream.readBytes(1600, back.data()));
    EXPECT_EQ(back, block);

    // Streams over external storage refuse instead.
    uint8_t storage[2];
    BitStream fixed(storage, 2);
    EXPECT_FALSE(fixed.writeU32(1));
    EXPECT_TRUE(fixed.hasError());
    EXPECT_EQ(fixed.bitPosition(), 0u);
}

TEST(ByteBuffer, OwnershipAndResize)
{
    uint8_t storage[4] = {1, 2, 3, 4};
    ByteBuffer view(storage, 4);
    EXPECT_FALSE(view.resize(8));
    EXPECT_EQ(view.size(), 4u);
    EXPECT_TRUE(view.resize(2));

    ByteBuffer shared(view);
    EXPECT_EQ(shared.data(), storage);
    EXPECT_FALSE(shared.isOwned());

    view.ensureOwned();
    EXPECT_NE(view.data(), storage);
    EXPECT_EQ(view.data()[1], 2);
    EXPECT_TRUE(view.resize(100));
    EXPECT_EQ(view.data()[0], 1);
    EXPECT_EQ(view.data()[1], 2);

    view.wrapExternal(storage, 3);
    EXPECT_FALSE(view.isOwned());
    EXPECT_EQ(view.data(), storage);
}

TEST(BitStream, BufferLimits)
{
    BitStream stream;
    RefPtr<ByteBuffer> full = new ByteBuffer(1023);
    std::memset(full->data(), 0x33, 1023);
    EXPECT_TRUE(stream.writeBuffer(full));
    EXPECT_EQ(stream.bitPosition(), 10u + 8184u);
    RefPtr<ByteBuffer> tooBig = new ByteBuffer(1024);
    EXPECT_FALSE(stream.writeBuffer(tooBig));
    EXPECT_EQ(stream.bitPosition(), 10u + 8184u);

    stream.setBitPosition(0);
    uint8_t external[2] = {9, 9};
    RefPtr<ByteBuffer> back = new ByteBuffer(external, 2);
    EXPECT_TRUE(stream.readBuffer(back));
    EXPECT_TRUE(back->isOwned());
    ASSERT_EQ(back->size(), 1023u);
    EXPECT_EQ(back->data()[1022], 0x33);
    EXPECT_EQ(external[0], 9);

    // A length announcing more bytes than the stream holds fails before
    // anything is allocated or copied.
    uint8_t lying[3] = {0xFF, 0x03, 0xAA}; // length 1023, then 14 bits
    BitStream in(lying, 3);
    RefPtr<ByteBuffer> target = new ByteBuffer(4);
    EXPECT_FALSE(in.readBuffer(target));
    EXPECT_TRUE(in.hasError());
    EXPECT_EQ(target->size(), 4u);
}

TEST(BitStream, TextPrefixSharing)
{
    BitStream out;
    EXPECT_TRUE(out.writeText("hello world"));
    uint32_t second = out.bitPosition();
    EXPECT_TRUE(out.writeText("hello there"));
    uint32_t end = out.bitPosition();

    // Second text: shared flag, prefix 6, then "there" on its own.
    BitStream alone;
    alone.writeText("there");
    std::string secondBits = bitsOf(out.data(), end).substr(second);
    EXPECT_EQ(secondBits.substr(0, 9), "1"
                                       "01100000");
    EXPECT_EQ(secondBits.substr(9), bitsOf(alone.data(), alone.bitPosition()).substr(1));

    // Short prefixes are not shared.
    BitStream shortShare;
    shortShare.writeText("abcdef");
    uint32_t mark = shortShare.bitPosition();
    shortShare.writeText("abxyz");
    EXPECT_EQ((shortShare.data()[mark >> 3] >> (mark & 7)) & 1, 0);

    out.setBitPosition(0);
    out.setTextMemory("");
    char text[256];
    EXPECT_TRUE(out.readText(text));
    EXPECT_STREQ(text, "hello world");
    EXPECT_TRUE(out.readText(text));
    EXPECT_STREQ(text, "hello there");
    EXPECT_FALSE(out.hasError());

    // The same text twice costs the flag, the prefix and an empty rest.
    BitStream twice;
    twice.writeText("fishingboat.mesh");
    uint32_t before = twice.bitPosition();
    twice.writeText("fishingboat.mesh");
    EXPECT_EQ(twice.bitPosition() - before, 1u + 8u + 9u);
    twice.setBitPosition(0);
    twice.setTextMemory(nullptr);
    EXPECT_TRUE(twice.readText(text));
    EXPECT_TRUE(twice.readText(text));
    EXPECT_STREQ(text, "fishingboat.mesh");
}

TEST(BitStream, LongTextIsCutTo255)
{
    std::string longText(300, 'x');
    for (size_t i = 0; i < longText.size(); ++i)
        longText[i] = char('a' + i % 26);
    BitStream out;
    out.writeText(longText.c_str());
    out.writeText(longText.c_str()); // all 255 shared
    out.setBitPosition(0);
    out.setTextMemory("");
    char text[256];
    EXPECT_TRUE(out.readText(text));
    EXPECT_EQ(std::string(text), longText.substr(0, 255));
    EXPECT_TRUE(out.readText(text));
    EXPECT_EQ(std::string(text), longText.substr(0, 255));
    EXPECT_FALSE(out.hasError());
}

// A hostile sender announces a shared prefix that, with the decoded rest,
// would pass the 255 characters of the text memory.
TEST(BitStream, ReadTextOverflowIsCutAndMarksPacketBad)
{
    std::string first(250, 'q');
    BitStream out;
    out.writeText(first.c_str());
    // Hand-made second text: shared flag, prefix 250, then 20 raw characters.
    out.writeFlag(true);
    out.writeUnsigned(250, 8);
    out.writeFlag(false);
    out.writeUnsigned(20, 8);
    out.writeBytes(20, "ZZZZZZZZZZZZZZZZZZZZ");

    out.setBitPosition(0);
    out.setTextMemory("");
    char text[256 + 16];
    std::memset(text, 0x7E, sizeof text);
    EXPECT_TRUE(out.readText(text));
    EXPECT_FALSE(out.readText(text));
    EXPECT_TRUE(out.hasError());
    EXPECT_EQ(std::strlen(text), 255u);
    EXPECT_EQ(std::string(text), first + "ZZZZZ");
    EXPECT_EQ(text[256], 0x7E); // nothing stored past the 256 characters
    EXPECT_EQ(std::strlen(out.textMemory()), 255u);

    // A prefix longer than the previous text is as bad.
    BitStream lie;
    lie.writeFlag(true);
    lie.writeUnsigned(40, 8);
    lie.writeText("abc");
    lie.setBitPosition(0);
    lie.setTextMemory("");
    EXPECT_FALSE(lie.readText(text));
    EXPECT_TRUE(lie.hasError());
    EXPECT_LE(std::strlen(text), 255u);
}

TEST(BitStream, TruncatedTextIsTerminatedAndFails)
{
    BitStream out;
    out.writeText("a rather long text that will be cut short");
    out.writeText("\xF0\xF1\xF2 raw bytes \xF3\xF4\xF5\xF6\xF7\xF8\xF9\xFA");
    uint32_t full = out.bitPosition();
    for (uint32_t cut = 0; cut * 8 < full; ++cut) {
        std::vector<uint8_t> bytes(out.data(), out.data() + cut);
        BitStream in(bytes.data(), cut);
        char text[256];
        std::memset(text, 'X', sizeof text);
        bool ok = in.readText(text) && in.readText(text);
        EXPECT_FALSE(ok) << "cut " << cut;
        EXPECT_TRUE(in.hasError());
        EXPECT_LT(std::strlen(text), 256u);
    }
}

// Mixed writes with random widths and values, then the same reads in order.
TEST(BitStream, SeededRandomRoundTrip)
{
    enum Kind { Flag, Unsigned, Ranged, F64, Bytes, Buffer, Text, KindCount };
    const char* words[] = {"alice", "alicia", "fishingboat.mesh", "fishingboat.material", "razor.mesh",
                           "",      "x",      "hello world",      "hello there",          "\xC3\xA9t\xC3\xA9"};

    for (uint32_t seed = 1; seed <= 40; ++seed) {
        std::mt19937 rng(seed);
        struct Op {
            Kind kind;
            uint32_t a = 0, b = 0, c = 0;
            double d = 0;
            std::string s;
            std::vector<uint8_t> bytes;
        };
        std::vector<Op> ops;
        BitStream out;
        for (int i = 0; i < 200; ++i) {
            Op op;
            op.kind = Kind(rng() % KindCount);
            switch (op.kind) {
            case Flag:
                op.a = rng() & 1;
                EXPECT_EQ(out.writeFlag(op.a != 0), op.a != 0);
                break;
            case Unsigned:
                op.b = rng() % 33;
                op.a = op.b == 32 ? uint32_t(rng()) : uint32_t(rng()) & ((1u << op.b) - 1);
                EXPECT_TRUE(out.writeUnsigned(op.a, op.b));
                break;
            case Ranged: {
                op.b = (rng() % 4 == 0) ? 0 : uint32_t(rng()) >> (rng() % 32);
                uint64_t span = uint64_t(uint32_t(rng()) >> (rng() % 32));
                op.c = uint32_t(std::min<uint64_t>(op.b + span, 0xFFFFFFFFu));
                op.a = uint32_t(op.b + uint64_t(rng()) % (uint64_t(op.c) - op.b + 1));
                EXPECT_TRUE(out.writeRanged(op.a, op.b, op.c));
                break;
            }
            case F64:
                op.d = std::uniform_real_distribution<double>(-1e9, 1e9)(rng);
                EXPECT_TRUE(out.writeF64(op.d));
                break;
            case Bytes:
            case Buffer:
                op.bytes.resize(rng() % (op.kind == Buffer ? 300 : 40));
                for (auto& byte : op.bytes)
                    byte = uint8_t(rng());
                if (op.kind == Bytes) {
                    EXPECT_TRUE(out.writeBytes(uint32_t(op.bytes.size()), op.bytes.data()));
                } else {
                    ByteBuffer view(op.bytes.data(), uint32_t(op.bytes.size()));
                    EXPECT_TRUE(out.writeBuffer(&view));
                }
                break;
            case Text:
                op.s = words[rng() % (sizeof words / sizeof words[0])];
                if (rng() % 3 == 0)
                    op.s += std::to_string(rng() % 1000);
                if (rng() % 8 == 0)
                    op.s = std::string(rng() % 300, char(0x80 + rng() % 100));
                EXPECT_TRUE(out.writeText(op.s.c_str()));
                if (op.s.size() > 255)
                    op.s.resize(255);
                break;
            default:
                break;
            }
            ops.push_back(op);
        }
        ASSERT_FALSE(out.hasError());
        uint32_t written = out.bitPosition();

        out.setBitPosition(0);
        out.setTextMemory("");
        for (size_t i = 0; i < ops.size(); ++i) {
            const Op& op = ops[i];
            SCOPED_TRACE(testing::Message() << "seed " << seed << " op " << i);
            switch (op.kind) {
            case Flag:
                EXPECT_EQ(out.readFlag(), op.a != 0);
                break;
            case Unsigned:
                EXPECT_EQ(out.readUnsigned(op.b), op.a);
                break;
            case Ranged:
                EXPECT_EQ(out.readRanged(op.b, op.c), op.a);
                break;
            case F64:
                EXPECT_EQ(out.readF64(), op.d);
                break;
            case Bytes: {
                std::vector<uint8_t> back(op.bytes.size());
                EXPECT_TRUE(out.readBytes(uint32_t(back.size()), back.data()));
                EXPECT_EQ(back, op.bytes);
                break;
            }
            case Buffer: {
                RefPtr<ByteBuffer> back = new ByteBuffer;
                EXPECT_TRUE(out.readBuffer(back));
                EXPECT_EQ(std::vector<uint8_t>(back->data(), back->data() + back->size()), op.bytes);
                break;
            }
            case Text: {
                char text[256];
                EXPECT_TRUE(out.readText(text));
                EXPECT_EQ(std::string(text), op.s);
                break;
            }
            default:
                break;
            }
        }
        EXPECT_EQ(out.bitPosition(), written);
        EXPECT_FALSE(out.hasError());
    }
}

} // namespace
} // namespace seafold
