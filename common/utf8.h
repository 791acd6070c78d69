// SPDX-License-Identifier: BSD-2-Clause
// UTF-8, as today's voice programs send their texts. A text that is not
// well-formed UTF-8 is taken as 8-bit text, byte for byte: every rule here
// leaves such bytes to the byte rules of the caller.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kovari {

// The length of the well-formed UTF-8 sequence of 2 to 4 bytes that starts
// at text[i] (no overlong forms, no surrogates, nothing above U+10FFFF),
// or 0 when none starts there: an ASCII byte, or a byte that is not part of
// a well-formed sequence.
std::size_t utf8_sequence(std::string_view text, std::size_t i);

// The code point of the well-formed sequence of `len` bytes at text[i].
char32_t utf8_code_point(std::string_view text, std::size_t i, std::size_t len);

// Appends a code point (at most U+10FFFF) in UTF-8.
void append_utf8(std::string& out, char32_t c);

// True when every byte is below 0x80.
bool all_ascii(std::string_view text);

// True when every byte is ASCII or part of a well-formed sequence.
bool is_utf8(std::string_view text);

// The columns a UTF-8 text takes on a terminal or in a <pre> block: each
// character's wcwidth in the C.UTF-8 locale (none for combining and other
// zero-width characters), one for each ASCII byte or stray byte.
std::size_t display_width(std::string_view text);

// The lower-case form of a code point in C.UTF-8 (towlower); the code point
// itself when it has none.
char32_t lower_code_point(char32_t c);

}  // namespace kovari
