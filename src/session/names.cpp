#include "session/names.h"
#include "session/endcode.h"

#include "base/utf8.h"

#include <algorithm>
#include <cstdio>

namespace seafold {

const char* const NameRefusedPrefix = "Name refused";

namespace {

// ---- tables ------------------------------------------------------------------------
// Transcribed from the Unicode Character Database (compatibility
// decompositions with the combining marks dropped) for the blocks people
// type names in; the look-alikes follow the confusables of Unicode TR39 for
// Latin, Cyrillic and Greek.

// U+00C0 to U+017F: the plain Latin letter each one looks like ('.': none).
// Letters with a stroke (Ø, Đ, Ł, ...) count as their letter too.
const char LatinPlain[] = "AAAAAA.CEEEEIIII.NOOOOO.OUUUUY..aaaaaa.ceeeeiiii.nooooo.ouuuuy.y"
                          "AaAaAaCcCcCcCcDdDdEeEeEeEeEeGgGgGgGgHhHhIiIiIiIiIi..JjKk.LlLlLlL"
                          "lLlNnNnNn...OoOoOo..RrRrRrSsSsSsSsTtTtTtUuUuUuUuUuUuWwYyYZzZzZzs";

struct CodeMap {
    uint32_t from;
    uint32_t to;
};

// Greek and Cyrillic letters with accents, as the letter without.
const CodeMap AccentedGreekCyrillic[] = {
    {0x0386, 0x0391}, {0x0388, 0x0395}, {0x0389, 0x0397}, {0x038A, 0x0399}, {0x038C, 0x039F}, {0x038E, 0x03A5},
    {0x038F, 0x03A9}, {0x0390, 0x03B9}, {0x03AA, 0x0399}, {0x03AB, 0x03A5}, {0x03AC, 0x03B1}, {0x03AD, 0x03B5},
    {0x03AE, 0x03B7}, {0x03AF, 0x03B9}, {0x03B0, 0x03C5}, {0x03CA, 0x03B9}, {0x03CB, 0x03C5}, {0x03CC, 0x03BF},
    {0x03CD, 0x03C5}, {0x03CE, 0x03C9}, {0x0400, 0x0415}, {0x0401, 0x0415}, {0x0403, 0x0413}, {0x0407, 0x0406},
    {0x040C, 0x041A}, {0x040D, 0x0418}, {0x040E, 0x0423}, {0x0419, 0x0418}, {0x0439, 0x0438}, {0x0450, 0x0435},
    {0x0451, 0x0435}, {0x0453, 0x0433}, {0x0457, 0x0456}, {0x045C, 0x043A}, {0x045D, 0x0438}, {0x045E, 0x0443},
};

// Super- and subscripts, ordinal indicators and letter-like symbols.
const CodeMap LetterLike[] = {
    {0x00AA, 'a'}, {0x00B2, '2'}, {0x00B3, '3'}, {0x00B9, '1'}, {0x00BA, 'o'}, {0x2070, '0'}, {0x2071, 'i'},
    {0x2074, '4'}, {0x2075, '5'}, {0x2076, '6'}, {0x2077, '7'}, {0x2078, '8'}, {0x2079, '9'}, {0x207F, 'n'},
    {0x2080, '0'}, {0x2081, '1'}, {0x2082, '2'}, {0x2083, '3'}, {0x2084, '4'}, {0x2085, '5'}, {0x2086, '6'},
    {0x2087, '7'}, {0x2088, '8'}, {0x2089, '9'}, {0x2090, 'a'}, {0x2091, 'e'}, {0x2092, 'o'}, {0x2093, 'x'},
    {0x2095, 'h'}, {0x2096, 'k'}, {0x2097, 'l'}, {0x2098, 'm'}, {0x2099, 'n'}, {0x209A, 'p'}, {0x209B, 's'},
    {0x209C, 't'}, {0x2102, 'C'}, {0x210A, 'g'}, {0x210B, 'H'}, {0x210C, 'H'}, {0x210D, 'H'}, {0x210E, 'h'},
    {0x2110, 'I'}, {0x2111, 'I'}, {0x2112, 'L'}, {0x2113, 'l'}, {0x2115, 'N'}, {0x2119, 'P'}, {0x211A, 'Q'},
    {0x211B, 'R'}, {0x211C, 'R'}, {0x211D, 'R'}, {0x2124, 'Z'}, {0x2128, 'Z'}, {0x212A, 'K'}, {0x212B, 'A'},
    {0x212C, 'B'}, {0x212D, 'C'}, {0x212F, 'e'}, {0x2130, 'E'}, {0x2131, 'F'}, {0x2133, 'M'}, {0x2134, 'o'},
    {0x2139, 'i'}, {0x2145, 'D'}, {0x2146, 'd'}, {0x2147, 'e'}, {0x2148, 'i'}, {0x2149, 'j'},
};

// Letters of either case that look like a Latin one, and the ASCII
// characters that look like l and o.
const CodeMap LookAlikes[] = {
    // Cyrillic capitals
    {0x0405, 'S'}, {0x0406, 'l'}, {0x0408, 'J'}, {0x0410, 'A'}, {0x0412, 'B'}, {0x0415, 'E'}, {0x041A, 'K'},
    {0x041C, 'M'}, {0x041D, 'H'}, {0x041E, 'O'}, {0x0420, 'P'}, {0x0421, 'C'}, {0x0422, 'T'}, {0x0423, 'Y'},
    {0x0425, 'X'}, {0x04AE, 'Y'}, {0x04C0, 'l'}, {0x051A, 'Q'}, {0x051C, 'W'},
    // Cyrillic small letters
    {0x0430, 'a'}, {0x0435, 'e'}, {0x043E, 'o'}, {0x0440, 'p'}, {0x0441, 'c'}, {0x0443, 'y'}, {0x0445, 'x'},
    {0x0455, 's'}, {0x0456, 'i'}, {0x0458, 'j'}, {0x04AF, 'y'}, {0x04BB, 'h'}, {0x04CF, 'l'}, {0x0501, 'd'},
    {0x051B, 'q'}, {0x051D, 'w'},
    // Greek capitals
    {0x037F, 'J'}, {0x0391, 'A'}, {0x0392, 'B'}, {0x0395, 'E'}, {0x0396, 'Z'}, {0x0397, 'H'}, {0x0399, 'l'},
    {0x039A, 'K'}, {0x039C, 'M'}, {0x039D, 'N'}, {0x039F, 'O'}, {0x03A1, 'P'}, {0x03A4, 'T'}, {0x03A5, 'Y'},
    {0x03A7, 'X'}, {0x03F9, 'C'},
    // Greek small letters
    {0x03B1, 'a'}, {0x03B3, 'y'}, {0x03B9, 'i'}, {0x03BD, 'v'}, {0x03BF, 'o'}, {0x03C1, 'p'}, {0x03C5, 'u'},
    {0x03C7, 'x'}, {0x03F2, 'c'}, {0x03F3, 'j'},
    // Latin letters of other shapes, and ASCII
    {0x0251, 'a'}, {0x0261, 'g'}, {0x0269, 'i'}, {'I', 'l'}, {'1', 'l'}, {'|', 'l'}, {'0', 'o'},
};

// The ligatures U+FB00 to U+FB06 spelled out.
const char* const Ligatures[] = {"ff", "fi", "fl", "ffi", "ffl", "st", "st"};

template <size_t N> const CodeMap* findIn(const CodeMap (&table)[N], uint32_t c)
{
    for (const CodeMap& entry : table)
        if (entry.from == c)
            return &entry;
    return nullptr;
}

bool inRange(uint32_t c, uint32_t first, uint32_t last)
{
    return c >= first && c <= last;
}

bool isCombiningMark(uint32_t c)
{
    return inRange(c, 0x0300, 0x036F) || inRange(c, 0x1AB0, 0x1AFF) || inRange(c, 0x1DC0, 0x1DFF) ||
           inRange(c, 0x20D0, 0x20FF) || inRange(c, 0xFE20, 0xFE2F);
}

// Opening brackets and quotes (Unicode's "open punctuation"), in every width
// and script: the server's own lines begin with one on every console.
bool isOpeningBracket(uint32_t c)
{
    static const uint32_t Openers[] = {
        0x0028, 0x005B, 0x007B, 0x0F3A, 0x0F3C, 0x169B, 0x201A, 0x201E, 0x2045, 0x207D, 0x208D, 0x2308, 0x230A,
        0x2329, 0x2768, 0x276A, 0x276C, 0x276E, 0x2770, 0x2772, 0x2774, 0x27C5, 0x27E6, 0x27E8, 0x27EA, 0x27EC,
        0x27EE, 0x2983, 0x2985, 0x2987, 0x2989, 0x298B, 0x298D, 0x298F, 0x2991, 0x2993, 0x2995, 0x2997, 0x29D8,
        0x29DA, 0x29FC, 0x2E22, 0x2E24, 0x2E26, 0x2E28, 0x2E42, 0x3008, 0x300A, 0x300C, 0x300E, 0x3010, 0x3014,
        0x3016, 0x3018, 0x301A, 0x301D, 0xFD3F, 0xFE17, 0xFE35, 0xFE37, 0xFE39, 0xFE3B, 0xFE3D, 0xFE3F, 0xFE41,
        0xFE43, 0xFE47, 0xFE59, 0xFE5B, 0xFE5D, 0xFF08, 0xFF3B, 0xFF5B, 0xFF5F, 0xFF62};
    for (uint32_t opener : Openers)
        if (opener == c)
            return true;
    return false;
}

void appendUtf8(std::u32string& out, uint32_t c)
{
    out.push_back(char32_t(c));
}

// The plain form of one character, appended to `out` (nothing for an
// accent on its own).
void appendPlain(std::u32string& out, uint32_t c)
{
    if (c < 0x80)
        return appendUtf8(out, c);
    if (isSpaceCharacter(c))
        return appendUtf8(out, ' ');
    if (isCombiningMark(c))
        return;
    if (inRange(c, 0x00C0, 0x017F) && LatinPlain[c - 0xC0] != '.')
        return appendUtf8(out, uint32_t(LatinPlain[c - 0xC0]));
    if (inRange(c, 0xFF01, 0xFF5E)) // full-width ASCII
        return appendUtf8(out, c - 0xFEE0);
    if (inRange(c, 0xFB00, 0xFB06)) {
        for (const char* p = Ligatures[c - 0xFB00]; *p; ++p)
            appendUtf8(out, uint32_t(*p));
        return;
    }
    if (inRange(c, 0x1D400, 0x1D6A3)) { // mathematical letters: 13 alphabets of A-Z, a-z
        const uint32_t i = (c - 0x1D400) % 52;
        return appendUtf8(out, i < 26 ? 'A' + i : 'a' + i - 26);
    }
    if (inRange(c, 0x1D7CE, 0x1D7FF)) // mathematical digits
        return appendUtf8(out, '0' + (c - 0x1D7CE) % 10);
    if (inRange(c, 0x24B6, 0x24CF)) // circled capitals
        return appendUtf8(out, 'A' + c - 0x24B6);
    if (inRange(c, 0x24D0, 0x24E9)) // circled small letters
        return appendUtf8(out, 'a' + c - 0x24D0);
    if (inRange(c, 0x2460, 0x2468)) // circled digits 1-9
        return appendUtf8(out, '1' + c - 0x2460);
    if (inRange(c, 0x1F130, 0x1F189)) // squared and negative circled or squared capitals
        return appendUtf8(out, 'A' + (c - 0x1F130) % 32 % 26);
    if (const CodeMap* accented = findIn(AccentedGreekCyrillic, c))
        return appendUtf8(out, accented->to);
    if (const CodeMap* letter = findIn(LetterLike, c))
        return appendUtf8(out, letter->to);
    appendUtf8(out, c);
}

uint32_t foldCase(uint32_t c)
{
    if (inRange(c, 'A', 'Z') || (inRange(c, 0xC0, 0xDE) && c != 0xD7) || (inRange(c, 0x391, 0x3A9) && c != 0x3A2) ||
        inRange(c, 0x410, 0x42F))
        return c + 0x20;
    if (inRange(c, 0x400, 0x40F))
        return c + 0x50;
    if (c == 0x3C2) // final sigma
        return 0x3C3;
    if (c == 0x152 || c == 0x14A) // Œ, Ŋ: the rest of Latin Extended-A is plain by now
        return c + 1;
    return c;
}

uint32_t lookAlike(uint32_t c)
{
    const CodeMap* entry = findIn(LookAlikes, c);
    return entry ? entry->to : c;
}

std::string toUtf8(const std::u32string& text)
{
    std::string out;
    for (char32_t c : text) {
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// The code points of `text`; false at the first byte that is not UTF-8.
bool decodeAll(const std::string& text, std::u32string* out)
{
    for (size_t i = 0; i < text.size();) {
        uint32_t c;
        size_t length = decodeUtf8(text, i, &c);
        if (!length)
            return false;
        out->push_back(char32_t(c));
        i += length;
    }
    return true;
}

const char* const ReservedNames[] = {"server", "operator", "host"};

std::string lettersAndDigits(const std::string& look)
{
    std::string out;
    for (char c : look)
        if (static_cast<unsigned char>(c) >= 0x80 || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
            out += c;
    return out;
}

} // namespace

std::string codePointText(uint32_t c)
{
    char text[16];
    std::snprintf(text, sizeof text, "U+%04X", unsigned(c));
    return text;
}

bool isHiddenCharacter(uint32_t c)
{
    return c < 0x20 || inRange(c, 0x7F, 0x9F) || c == 0xAD || c == 0x34F || c == 0x61C || inRange(c, 0x115F, 0x1160) ||
           inRange(c, 0x17B4, 0x17B5) || inRange(c, 0x180B, 0x180F) || inRange(c, 0x200B, 0x200F) ||
           inRange(c, 0x2028, 0x202E) || inRange(c, 0x2060, 0x206F) || c == 0x2800 || c == 0x3164 ||
           inRange(c, 0xFE00, 0xFE0F) || c == 0xFEFF || c == 0xFFA0 || inRange(c, 0xFFF0, 0xFFFB) ||
           inRange(c, 0x1D173, 0x1D17A) || inRange(c, 0xE0000, 0xE0FFF);
}

bool isSpaceCharacter(uint32_t c)
{
    return c == 0x20 || c == 0xA0 || c == 0x1680 || inRange(c, 0x2000, 0x200A) || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

NameVerdict checkUserName(const std::string& asked)
{
    NameVerdict verdict;
    std::u32string codes;
    // A text argument carries 255 bytes: a longer name arrives cut, maybe
    // inside its last character, which then goes whole.
    const std::string whole = asked.size() >= 255 ? fitUtf8(asked, asked.size()) : asked;
    if (!decodeAll(whole, &codes)) {
        verdict.refusal = std::string(NameRefusedPrefix) + ": it is not UTF-8 text";
        return verdict;
    }
    std::u32string kept;
    bool spaceWaits = false;
    for (char32_t c : codes) {
        if (isHiddenCharacter(c)) {
            verdict.refusal =
                std::string(NameRefusedPrefix) + ": it holds a character that does not show (" + codePointText(c) + ")";
            return verdict;
        }
        if (isSpaceCharacter(c)) {
            spaceWaits = !kept.empty();
            continue;
        }
        if (spaceWaits)
            kept.push_back(U' ');
        spaceWaits = false;
        kept.push_back(c);
    }
    if (kept.empty()) {
        verdict.refusal = NameRequiredReason;
        return verdict;
    }
    verdict.name = toUtf8(kept);
    // Every line a user's words make on a console begins with the name, and
    // the server's own begin with "[server]": a name that begins with a
    // bracket, or with a mark that sits on whatever is before it, could
    // make a line that reads as the server's.
    if (isOpeningBracket(kept[0]) || isCombiningMark(kept[0])) {
        verdict.refusal = std::string(NameRefusedPrefix) + ": \"" + verdict.name +
                          "\" begins with a bracket or a mark, as only the server's own lines do";
        return verdict;
    }
    if (isReservedName(verdict.name))
        verdict.refusal = std::string(NameRefusedPrefix) + ": \"" + verdict.name +
                          "\" looks like a name kept for the server's own words";
    return verdict;
}

NameLooks nameLooks(const std::string& name)
{
    std::u32string codes;
    if (!decodeAll(name, &codes)) // not a name; it looks like its bytes
        return {name, name};
    std::u32string plain;
    for (char32_t c : codes)
        appendPlain(plain, c);
    std::u32string folded, written;
    for (char32_t c : plain) {
        folded.push_back(char32_t(lookAlike(foldCase(c))));
        written.push_back(char32_t(foldCase(lookAlike(c))));
    }
    return {toUtf8(folded), toUtf8(written)};
}

bool namesLookAlike(const NameLooks& a, const NameLooks& b)
{
    return a.folded == b.folded || a.written == b.written;
}

bool namesLookAlike(const std::string& a, const std::string& b)
{
    return namesLookAlike(nameLooks(a), nameLooks(b));
}

bool isReservedName(const std::string& name)
{
    NameLooks looks = nameLooks(name);
    const std::string folded = lettersAndDigits(looks.folded), written = lettersAndDigits(looks.written);
    for (const char* reserved : ReservedNames) {
        const NameLooks kept = nameLooks(reserved);
        if (folded == kept.folded || written == kept.written)
            return true;
    }
    return false;
}

std::string chatLineRefusal(const std::string& text)
{
    std::u32string codes;
    if (!decodeAll(text, &codes))
        return "it is not UTF-8 text";
    for (char32_t c : codes)
        if (isHiddenCharacter(c))
            return "it holds a character that does not show (" + codePointText(c) + ")";
    return std::string();
}

std::string oneLineText(const std::string& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        uint32_t c = 0;
        size_t length = decodeUtf8(bytes, i, &c);
        if (!length || c < 0x20 || c == 0x7F) {
            const unsigned char byte = static_cast<unsigned char>(bytes[i]);
            out += "\\x";
            out += digits[byte >> 4];
            out += digits[byte & 15];
            i += 1;
            continue;
        }
        if (isHiddenCharacter(c)) {
            char escaped[16];
            std::snprintf(escaped, sizeof escaped, "\\u{%04X}", unsigned(c));
            out += escaped;
        } else {
            out.append(bytes, i, length);
        }
        i += length;
    }
    return out;
}

} // namespace seafold
