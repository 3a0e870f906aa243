// UTF-8 text: checking sequences and cutting text on a character boundary.
// Names and texts arrive from peers as bytes; these decide what is text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace seafold {

// Length of the well-formed UTF-8 sequence at `p` (at most `left` bytes), or
// 0. Overlong forms, surrogates and code points above U+10FFFF are not
// well-formed.
size_t utf8SequenceLength(const unsigned char* p, size_t left);

// The same for the sequence at text[i], with its code point in `c`; 0 at
// the end of the text.
size_t decodeUtf8(const std::string& text, size_t i, uint32_t* c);

// `text` cut to at most `maxBytes` bytes, never inside a UTF-8 character.
std::string fitUtf8(const std::string& text, size_t maxBytes);

} // namespace seafold
