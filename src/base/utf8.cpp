#include "base/utf8.h"

#include <algorithm>

namespace seafold {

size_t utf8SequenceLength(const unsigned char* p, size_t left)
{
    unsigned char lead = p[0];
    if (lead < 0x80)
        return 1;
    size_t length;
    unsigned char low = 0x80, high = 0xBF; // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (left < length || p[1] < low || p[1] > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if (p[i] < 0x80 || p[i] > 0xBF)
            return 0;
    return length;
}

size_t decodeUtf8(const std::string& text, size_t i, uint32_t* c)
{
    if (i >= text.size())
        return 0;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + i;
    const size_t length = utf8SequenceLength(p, text.size() - i);
    if (length == 0)
        return 0;
    static const unsigned char leadMask[5] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    uint32_t code = p[0] & leadMask[length];
    for (size_t k = 1; k < length; ++k)
        code = code << 6 | (p[k] & 0x3F);
    *c = code;
    return length;
}

std::string fitUtf8(const std::string& text, size_t maxBytes)
{
    size_t cut = std::min(text.size(), maxBytes);
    // A character cut short (by us or by a sender's text limit) goes whole:
    // find where the last character starts and whether all of it is there.
    size_t start = cut;
    while (start > 0 && cut - start < 4 && (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80)
        --start;
    if (start > 0) {
        const unsigned char lead = static_cast<unsigned char>(text[start - 1]);
        const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if (length > 1 && cut - (start - 1) < length)
            cut = start - 1;
    }
    return text.substr(0, cut);
}

} // namespace seafold
