// What a user's name may be, when two names are one, and how text from
// others is shown on one line. Pure text rules: no connection, no roster.
//
// A name is trimmed of white space at both ends, and every run of white
// space inside it (a no-break space, an ideographic space, ...) becomes one
// plain space. It is refused when nothing is left, when it is not UTF-8,
// when it holds a character that shows nothing or changes how the rest
// shows (controls, format and bidirectional characters such as a zero-width
// space or U+202E), and when it looks like one of the names kept for the
// server's own words ("server", "operator", "host").
//
// Two names are one when they look alike. A name's look is worked out
// twice, and two names agreeing in either are the same name:
//  - folded: compatibility forms made plain (full-width, mathematical and
//    circled letters, ligatures, super- and subscripts, letter-like
//    symbols), accents dropped, case folded, then lower-case Cyrillic and
//    Greek letters that look Latin written as those;
//  - as written: the same forms made plain and accents dropped, then
//    look-alikes of either case (capital I, 1 and | as l, 0 as o, Cyrillic
//    and Greek capitals) written as the Latin letter they look like, and
//    only then case folded.
#pragma once

#include <cstdint>
#include <string>

namespace seafold {

// A name as the server takes it, or why it does not.
struct NameVerdict {
    std::string name;    // trimmed, its inner white space made single spaces
    std::string refusal; // empty when the name is taken
    bool taken() const { return refusal.empty(); }
};
NameVerdict checkUserName(const std::string& asked);

// The start every refusal of a name but an empty one has, so that a client
// can tell it from other refusals.
extern const char* const NameRefusedPrefix; // "Name refused"

// The two looks of a name (see above).
struct NameLooks {
    std::string folded;
    std::string written;
};
NameLooks nameLooks(const std::string& name);
bool namesLookAlike(const std::string& a, const std::string& b);
bool namesLookAlike(const NameLooks& a, const NameLooks& b);

// A name that looks like one kept for the server's own words, with spaces
// and punctuation left out ("[Server]", "0perator", "h o s t").
bool isReservedName(const std::string& name);

// A character that shows nothing or changes how others show: C0 and C1
// controls, DEL, line and paragraph separators, and the format,
// bidirectional and invisible characters (zero-width spaces and joiners,
// directional marks, embeddings, overrides and isolates, variation
// selectors, tags, fillers).
bool isHiddenCharacter(uint32_t c);
// A code point as refusals name it: "U+202E".
std::string codePointText(uint32_t c);
// Unicode white space other than the controls (U+0020, U+00A0, U+2000 to
// U+200A, U+3000, ...).
bool isSpaceCharacter(uint32_t c);

// Why a chat line is not relayed, or empty: a line holds no control
// character (a newline neither) and nothing hidden, and is UTF-8.
std::string chatLineRefusal(const std::string& text);

// Text received from others, safe to show on one line in any view: bytes
// that are not UTF-8 and C0 controls become \xNN, every other hidden
// character \u{XXXX}. Everything else is kept as it is.
std::string oneLineText(const std::string& bytes);

} // namespace seafold
