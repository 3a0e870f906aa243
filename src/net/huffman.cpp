#include "net/huffman.h"

#include <cstring>

#include "base/platform.h"
#include "net/bitstream.h"

namespace seafold {

namespace {

// How often each byte value occurs in typical texts. Both ends derive the
// same code from it, so changing one count changes the wire format.
const uint32_t gCharCounts[256] = {
    0,    0,    0,    0,    0,    0,    0,   0,   0,   329,  21,  0,   0,    0,   0,    0,    // 0..15
    0,    0,    0,    0,    0,    0,    0,   0,   0,   0,    0,   0,   0,    0,   0,    0,    // 16..31
    2809, 68,   0,    27,   0,    58,   3,   62,  4,   7,    0,   0,   15,   65,  554,  3,    // 32..47
    394,  404,  189,  117,  30,   51,   27,  15,  34,  32,   80,  1,   142,  3,   142,  39,   // 48..63
    0,    144,  125,  44,   122,  275,  70,  135, 61,  127,  8,   12,  113,  246, 122,  36,   // 64..79
    185,  1,    149,  309,  335,  12,   11,  14,  54,  151,  0,   0,   2,    0,   0,    211,  // 80..95
    0,    2090, 344,  736,  993,  2872, 701, 605, 646, 1552, 328, 305, 1240, 735, 1533, 1713, // 96..111
    562,  3,    1775, 1149, 1469, 979,  407, 553, 59,  279,  31,  0,   0,    0,   68,   0,    // 112..127
    // 128..255 all count 0
};

// An entry of the work list while the tree is built: one leaf or one node.
struct WorkEntry {
    bool isNode;
    uint16_t index;
};

} // namespace

HuffmanTextCoder& HuffmanTextCoder::instance()
{
    // Built on first use; the tables are never rebuilt.
    static HuffmanTextCoder coder;
    return coder;
}

HuffmanTextCoder::HuffmanTextCoder()
{
    buildTables();
}

// The tie rules below are part of the wire format: a different choice among
// equal weights gives a different (equally good) code that peers cannot read.
void HuffmanTextCoder::buildTables()
{
    SF_ASSERT(!mBuilt, "Cannot build tables twice!");

    for (uint32_t b = 0; b < 256; ++b)
        mLeaves[b] = Leaf{gCharCounts[b] + 1, uint8_t(b), 0, 0};

    WorkEntry work[256];
    for (uint32_t b = 0; b < 256; ++b)
        work[b] = WorkEntry{false, uint16_t(b)};
    uint32_t count = 256;
    uint32_t nextSlot = 1; // slot 0 is kept for the root

    auto weightOf = [this](const WorkEntry& e) { return e.isNode ? mNodes[e.index].weight : mLeaves[e.index].weight; };
    auto referenceOf = [](const WorkEntry& e) { return e.isNode ? int16_t(e.index) : int16_t(~int32_t(e.index)); };

    while (count > 1) {
        // The two lowest weights; on equal weights the entry seen first wins.
        uint32_t bestWeight = 0xFFFFFFFE, secondWeight = 0xFFFFFFFF;
        int32_t best = -1, second = -1;
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t w = weightOf(work[i]);
            if (w < bestWeight) {
                secondWeight = bestWeight;
                second = best;
                bestWeight = w;
                best = int32_t(i);
            } else if (w < secondWeight) {
                secondWeight = w;
                second = int32_t(i);
            }
        }
        SF_ASSERT(best >= 0 && second >= 0 && nextSlot < 256, "wrong wraps?");

        Node& node = mNodes[nextSlot];
        node.weight = bestWeight + secondWeight;
        node.child[0] = referenceOf(work[best]);
        node.child[1] = referenceOf(work[second]);

        uint32_t low = uint32_t(best < second ? best : second);
        uint32_t high = uint32_t(best < second ? second : best);
        work[low] = WorkEntry{true, uint16_t(nextSlot)};
        if (high != count - 1)
            work[high] = work[count - 1];
        --count;
        ++nextSlot;
    }
    SF_ASSERT(nextSlot == 256, "wrong wraps?");
    SF_ASSERT(work[0].isNode, "Wrong wrap type!");
    mNodes[0] = mNodes[work[0].index];

    assignCodes(0, 0, 0);

    // Every window of 15 stream bits begins with exactly one code, since the
    // code is complete and prefix free.
    for (uint32_t b = 0; b < 256; ++b) {
        const Leaf& leaf = mLeaves[b];
        SF_ASSERT(leaf.codeLength > 0 && leaf.codeLength <= MaxCodeBits, "Huffman code length out of range");
        uint32_t fill = 1u << (MaxCodeBits - leaf.codeLength);
        for (uint32_t high = 0; high < fill; ++high)
            mLookup[leaf.code | (high << leaf.codeLength)] = Lookup{leaf.symbol, leaf.codeLength};
    }
    mBuilt = true;
}

// Depth first, branch 0 before branch 1; branch bit at depth d goes to code
// bit d.
void HuffmanTextCoder::assignCodes(int16_t reference, uint32_t depth, uint32_t code)
{
    if (reference < 0) {
        Leaf& leaf = mLeaves[~reference];
        leaf.codeLength = uint8_t(depth);
        leaf.code = code;
        return;
    }
    SF_ASSERT(depth < 32, "Huffman code longer than 32 bits");
    const Node& node = mNodes[reference];
    assignCodes(node.child[0], depth + 1, code);
    assignCodes(node.child[1], depth + 1, code | (1u << depth));
}

bool HuffmanTextCoder::encodeText(BitStream& stream, const char* text, uint32_t maxLength)
{
    SF_ASSERT(maxLength <= MaxTextBytes, "encodeText: maximum length above 255");
    if (maxLength > MaxTextBytes)
        maxLength = MaxTextBytes;
    if (!text) {
        bool stored = stream.writeUnsigned(0, 1);
        return stream.writeUnsigned(0, 8) && stored;
    }

    uint32_t length = uint32_t(strnlen(text, maxLength));
    const uint8_t* chars = reinterpret_cast<const uint8_t*>(text);
    uint32_t codedBits = 0;
    for (uint32_t i = 0; i < length; ++i)
        codedBits += mLeaves[chars[i]].codeLength;

    if (codedBits >= 8 * length) {
        // Raw bytes: a text never costs more than 9 + 8n bits.
        bool stored = stream.writeUnsigned(0, 1);
        stored = stream.writeUnsigned(length, 8) && stored;
        return stream.writeBytes(length, text) && stored;
    }

    bool stored = stream.writeUnsigned(1, 1);
    stored = stream.writeUnsigned(length, 8) && stored;
    // Codes are gathered into 32-bit words; the bits on the wire are the
    // same as one write per character.
    uint64_t pending = 0;
    uint32_t pendingBits = 0;
    for (uint32_t i = 0; i < length; ++i) {
        const Leaf& leaf = mLeaves[chars[i]];
        pending |= uint64_t(leaf.code) << pendingBits;
        pendingBits += leaf.codeLength;
        if (pendingBits >= 32) {
            stored = stream.writeUnsigned(uint32_t(pending), 32) && stored;
            pending >>= 32;
            pendingBits -= 32;
        }
    }
    if (pendingBits)
        stored = stream.writeUnsigned(uint32_t(pending), pendingBits) && stored;
    return stored;
}

bool HuffmanTextCoder::decodeText(BitStream& stream, char* dest)
{
    dest[0] = 0;
    uint32_t before = stream.bitPosition();
    bool coded = stream.readFlag();
    uint32_t length = stream.readUnsigned(8);
    if (stream.bitPosition() != before + 9)
        return false; // header cut short: error flag set by the reads

    if (!coded) {
        if (!stream.readBytes(length, dest))
            return false; // dest still holds the empty text
        dest[length] = 0;
        return true;
    }

    for (uint32_t i = 0; i < length; ++i) {
        uint32_t position = stream.bitPosition();
        uint32_t limit = stream.readLimitBits();
        if (position <= limit && limit - position >= MaxCodeBits) {
            const Lookup& entry = mLookup[stream.readUnsigned(MaxCodeBits)];
            stream.setBitPosition(position + entry.length);
            dest[i] = char(entry.symbol);
            continue;
        }
        // Near the end of the stream: walk the tree one bit at a time.
        int16_t reference = 0;
        while (reference >= 0) {
            uint32_t at = stream.bitPosition();
            bool branch = stream.readFlag();
            if (stream.bitPosition() == at) {
                dest[i] = 0;
                return false;
            }
            reference = mNodes[reference].child[branch ? 1 : 0];
        }
        dest[i] = char(mLeaves[~reference].symbol);
    }
    dest[length] = 0;
    return true;
}

// ---- texts on a bit stream -------------------------------------------------
//
// BitStream's text members live here, above both layers: the stream keeps the
// previous text (its memory) and the bits, the coder owns the characters.

// Wire layout:
//   [shared] (1 bit)  1 when the text starts with more than 2 characters of
//                     the stream's previous text
//   [prefix] (8 bits) only when shared: count of characters taken from the
//                     previous text
//   [rest]            the remaining characters, Huffman text coded
bool BitStream::writeText(const char* text, uint32_t maxLength)
{
    SF_ASSERT(maxLength <= MaxTextBytes, "writeText: maximum length above 255");
    if (maxLength > MaxTextBytes)
        maxLength = MaxTextBytes;
    if (!text)
        text = "";

    uint32_t shared = 0;
    while (shared < maxLength && text[shared] && text[shared] == mTextMemory[shared])
        ++shared;
    uint32_t end = shared;
    while (end < maxLength && text[end]) {
        mTextMemory[end] = text[end];
        ++end;
    }
    mTextMemory[end] = 0;

    HuffmanTextCoder& coder = HuffmanTextCoder::instance();
    if (shared > 2) {
        bool stored = writeUnsigned(1, 1);
        stored = writeUnsigned(shared, 8) && stored;
        return coder.encodeText(*this, text + shared, maxLength - shared) && stored;
    }
    bool stored = writeUnsigned(0, 1);
    return coder.encodeText(*this, text, maxLength) && stored;
}

// A conforming writer never announces a prefix longer than its previous text,
// nor a prefix and rest longer than 255 characters. Such a text is cut to
// what the memory holds and the stream is marked bad, so the packet is
// dropped.
bool BitStream::readText(char* dest)
{
    HuffmanTextCoder& coder = HuffmanTextCoder::instance();
    if (readFlag()) {
        uint32_t shared = readUnsigned(8);
        char rest[MaxTextBytes + 1];
        bool ok = coder.decodeText(*this, rest);
        if (shared > std::strlen(mTextMemory)) {
            mError = true;
            ok = false;
            shared = uint32_t(std::strlen(mTextMemory));
        }
        size_t restLength = std::strlen(rest);
        if (shared + restLength > MaxTextBytes) {
            mError = true;
            ok = false;
            restLength = MaxTextBytes - shared;
        }
        std::memcpy(mTextMemory + shared, rest, restLength);
        mTextMemory[shared + restLength] = 0;
        std::memcpy(dest, mTextMemory, shared + restLength + 1);
        return ok;
    }
    bool ok = coder.decodeText(*this, dest);
    setTextMemory(dest);
    return ok;
}

} // namespace seafold
