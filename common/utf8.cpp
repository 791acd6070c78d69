// SPDX-License-Identifier: BSD-2-Clause
#include "utf8.h"

#include <cstdint>
#include <cstring>

#include <locale.h>
#include <wchar.h>
#include <wctype.h>

#include <cstdint>
#include <cstring>

namespace kovari {

namespace {

bool continuation(unsigned char b) { return (b & 0xC0) == 0x80; }


// The C.UTF-8 character classes, made once and never changed; nullptr on a
// system without them, where only ASCII letters fold and every character
// takes one column.
locale_t utf8_locale()
{
    static const locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(nullptr));
    return loc;
}

}  // namespace

std::size_t utf8_sequence(std::string_view text, std::size_t i)
{
    if (i >= text.size())
        return 0;
    const auto b0 = static_cast<unsigned char>(text[i]);
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // the allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        if (b0 == 0xE0)
            lo = 0xA0;  // overlong below
        else if (b0 == 0xED)
            hi = 0x9F;  // surrogates above
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        if (b0 == 0xF0)
            lo = 0x90;  // overlong below
        else if (b0 == 0xF4)
            hi = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    if (text.size() - i < len)
        return 0;
    const auto b1 = static_cast<unsigned char>(text[i + 1]);
    if (b1 < lo || b1 > hi)
        return 0;
    for (std::size_t k = 2; k < len; ++k)
        if (!continuation(static_cast<unsigned char>(text[i + k])))
            return 0;
    return len;
}

char32_t utf8_code_point(std::string_view text, std::size_t i, std::size_t len)
{
    static constexpr unsigned char kLeadMask[] = {0, 0, 0x1F, 0x0F, 0x07};
    char32_t c = static_cast<unsigned char>(text[i]) & kLeadMask[len];
    for (std::size_t k = 1; k < len; ++k)
        c = c << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    return c;
}

void append_utf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | c >> 6);
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | c >> 12);
        out += char(0x80 | (c >> 6 & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | c >> 18);
        out += char(0x80 | (c >> 12 & 0x3F));
        out += char(0x80 | (c >> 6 & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

bool all_ascii(std::string_view text)
{
    // Eight bytes a step: every text of a site goes through here when it is
    // entered, a million of them when a state file is loaded.
    std::size_t i = 0;
    std::uint64_t high = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, text.data() + i, 8);
        high |= w;
    }
    for (; i < text.size(); ++i)
        high |= static_cast<unsigned char>(text[i]);
    return (high & 0x8080808080808080ull) == 0;
}

bool is_utf8(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        const std::size_t len = utf8_sequence(text, i);
        if (len == 0)
            return false;
        i += len;
    }
    return true;
}

std::size_t display_width(std::string_view text)
{
    if (all_ascii(text))
        return text.size();  // the usual case, without a locale switch
    const locale_t loc = utf8_locale();
    const locale_t previous = loc != nullptr ? uselocale(loc) : nullptr;
    std::size_t width = 0;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t len = utf8_sequence(text, i);
        if (len == 0) {
            ++width;
            ++i;
            continue;
        }
        const int w = loc != nullptr ? ::wcwidth(wchar_t(utf8_code_point(text, i, len))) : 1;
        width += w > 0 ? std::size_t(w) : 0;
        i += len;
    }
    if (loc != nullptr)
        uselocale(previous);
    return width;
}

char32_t lower_code_point(char32_t c)
{
    if (c < 0x80)
        return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
    const locale_t loc = utf8_locale();
    return loc != nullptr ? char32_t(::towlower_l(wint_t(c), loc)) : c;
}

}  // namespace kovari
