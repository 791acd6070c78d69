// SPDX-License-Identifier: BSD-2-Clause
// The text rules both programs share: white space, case folding, decimal
// numbers and option letters. White space is that of the POSIX locale:
// blank, tab, newline, vertical tab, form feed and carriage return.
//
// Case folding: a text that is well-formed UTF-8 folds every letter with
// the C.UTF-8 case mapping, so "ŁUKASZ" and "łukasz" are the same text;
// any other text is 8-bit text and folds 'A' to 'Z' only, every other byte
// staying as it is. Folding may change a UTF-8 text's length in bytes.
#pragma once

#include <string>
#include <string_view>

namespace kovari {

inline bool is_space(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// 'A'..'Z' to 'a'..'z'; every other byte unchanged: the rule for one byte
// of 8-bit text, and for ASCII.
inline char fold_case(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// Appends the folded form of `text` to `out`.
void append_folded(std::string& out, std::string_view text);

// Folds a text to lower case in place.
void lower_case(std::string& text);

// True when `text`, folded, equals `lowered` (already folded).
bool equal_folded(std::string_view text, std::string_view lowered);

// True when the two texts are equal once both are folded.
bool same_folded(std::string_view a, std::string_view b);

// True when `lowered` (already folded) occurs in `text`, folded. The empty
// text occurs everywhere.
bool contains_folded(std::string_view text, std::string_view lowered);

// A text from the network as a log line holds it: bytes below 0x20 and
// 0x7F as \xHH, so no text can start a line of its own or steer the
// terminal; every other byte, UTF-8 included, as it is.
std::string escape_controls(std::string_view text);

// Decimal conversion in the manner of strtol(…, 10) in the C locale:
// leading white space and a sign are accepted, reading stops at the first
// non-digit or the end of the text, no digits give 0. Saturates instead of
// overflowing.
long parse_decimal(std::string_view text);

// The letter of a command-line option: the character after the '-', a
// lower-case letter counting as its upper-case form.
inline char option_letter(const char* arg)
{
    const char c = arg[0] != '\0' ? arg[1] : '\0';
    return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
}

}  // namespace kovari
