// The text rules both programs share: white space, case folding, decimal
// numbers and option letters. They are those of the POSIX locale: white
// space is blank, tab, newline, vertical tab, form feed and carriage
// return, and case folding touches 'A' to 'Z' only; every other byte,
// those above 127 included, stays as it is.
#pragma once

#include <string>
#include <string_view>

namespace kovari {

inline bool is_space(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// 'A'..'Z' to 'a'..'z'; every other byte unchanged.
inline char fold_case(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// Folds a text to lower case in place.
void lower_case(std::string& text);

// True when `text`, folded, equals `lowered` (already folded).
bool equal_folded(std::string_view text, std::string_view lowered);

// True when the two texts are equal once both are folded.
bool same_folded(std::string_view a, std::string_view b);

// True when `lowered` (already folded) occurs in `text`, folded. The empty
// text occurs everywhere.
bool contains_folded(std::string_view text, std::string_view lowered);

// Decimal conversion in the manner of strtol(…, 10): leading white space and
// a sign are accepted, reading stops at the first non-digit, no digits give
// 0. Saturates instead of overflowing.
long parse_decimal(const char* text);

// The letter of a command-line option: the character after the '-', a
// lower-case letter counting as its upper-case form.
inline char option_letter(const char* arg)
{
    const char c = arg[0] != '\0' ? arg[1] : '\0';
    return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
}

}  // namespace kovari
