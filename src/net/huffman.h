// Huffman text coding for texts sent over the network, and the text
// members of BitStream built on it (BitStream::writeText and readText).
//
// The code is derived at run time from a constant table of character counts,
// so both ends build the same tree without ever exchanging it.
#pragma once

#include <cstdint>

namespace seafold {

class BitStream;

// Process-wide and built on first use of instance(); main thread only.
class HuffmanTextCoder {
public:
    enum : uint32_t { MaxTextBytes = 255, MaxCodeBits = 15 };

    static HuffmanTextCoder& instance();

    // Writes one text, cut to maxLength (at most 255) characters; a missing
    // text is written like the empty one. Wire layout:
    //   [coded]  (1 bit)  1 when the Huffman codes are shorter than the bytes
    //   [length] (8 bits) character count n
    //   [chars]           n codes when coded, else n bytes
    // Returns true when every bit was stored.
    bool encodeText(BitStream& stream, const char* text, uint32_t maxLength = MaxTextBytes);

    // Reads one text into `dest`, which must hold 256 characters; it is
    // always terminated. Returns false when the stream ran out (its error
    // flag is then set), with the characters read so far in `dest`.
    bool decodeText(BitStream& stream, char* dest);

    // The code of one byte value: its length in bits and its bits, bit 0
    // being the first branch taken from the root.
    uint32_t codeLength(uint8_t symbol) const { return mLeaves[symbol].codeLength; }
    uint32_t code(uint8_t symbol) const { return mLeaves[symbol].code; }

    HuffmanTextCoder(const HuffmanTextCoder&) = delete;
    HuffmanTextCoder& operator=(const HuffmanTextCoder&) = delete;

private:
    HuffmanTextCoder();
    void buildTables();
    void assignCodes(int16_t reference, uint32_t depth, uint32_t code);

    struct Leaf {
        uint32_t weight;
        uint8_t symbol;
        uint8_t codeLength;
        uint32_t code;
    };
    // A child reference v >= 0 names node v; v < 0 names leaf ~v.
    struct Node {
        uint32_t weight;
        int16_t child[2];
    };
    // Every MaxCodeBits-bit window of the stream, mapped to the character
    // whose code it starts with and that code's length.
    struct Lookup {
        uint8_t symbol;
        uint8_t length;
    };

    Leaf mLeaves[256];
    Node mNodes[256]; // slot 0 is the root, 1..255 the inner nodes in order made
    Lookup mLookup[1u << MaxCodeBits];
    bool mBuilt = false;
};

} // namespace seafold
