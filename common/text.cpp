// SPDX-License-Identifier: BSD-2-Clause
#include "text.h"

#include <limits>

#include "utf8.h"

namespace kovari {

namespace {

// Calls put(piece) with the folded text, a piece at a time, without
// building it: a byte for ASCII and 8-bit text, a character for UTF-8.
template <typename F>
void fold_pieces(std::string_view text, F&& put)
{
    if (all_ascii(text) || !is_utf8(text)) {
        for (const char c : text) {
            const char f = fold_case(c);
            put(std::string_view(&f, 1));
        }
        return;
    }
    std::string piece;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t len = utf8_sequence(text, i);
        if (len == 0) {
            const char f = fold_case(text[i++]);
            put(std::string_view(&f, 1));
            continue;
        }
        piece.clear();
        append_utf8(piece, lower_code_point(utf8_code_point(text, i, len)));
        put(std::string_view(piece));
        i += len;
    }
}

}  // namespace

void append_folded(std::string& out, std::string_view text)
{
    fold_pieces(text, [&](std::string_view piece) { out += piece; });
}

void lower_case(std::string& text)
{
    // ASCII and 8-bit text fold in place, as every query is folded.
    if (all_ascii(text) || !is_utf8(text)) {
        for (char& c : text)
            c = fold_case(c);
        return;
    }
    std::string folded;
    folded.reserve(text.size());
    append_folded(folded, text);
    text.swap(folded);
}

bool equal_folded(std::string_view text, std::string_view lowered)
{
    std::size_t at = 0;
    bool same = true;
    fold_pieces(text, [&](std::string_view piece) {
        if (!same)
            return;
        same = piece.size() <= lowered.size() - at && lowered.compare(at, piece.size(), piece) == 0;
        at += piece.size();
    });
    return same && at == lowered.size();
}

bool same_folded(std::string_view a, std::string_view b)
{
    if (all_ascii(a) && all_ascii(b)) {
        if (a.size() != b.size())
            return false;
        for (std::size_t i = 0; i < a.size(); ++i)
            if (fold_case(a[i]) != fold_case(b[i]))
                return false;
        return true;
    }
    std::string folded;
    append_folded(folded, a);
    return equal_folded(b, folded);
}

bool contains_folded(std::string_view text, std::string_view lowered)
{
    if (lowered.empty())
        return true;
    if (all_ascii(text) || !is_utf8(text)) {
        // Folded a byte at a time as it is compared: nothing is copied. The
        // first byte of the query is looked for in both cases.
        const std::size_t m = lowered.size();
        const char first = lowered[0];
        if (first >= 'A' && first <= 'Z')
            return false;  // no byte folds to it
        const char upper = first >= 'a' && first <= 'z' ? char(first - 'a' + 'A') : first;
        for (std::size_t i = 0; i + m <= text.size(); ++i) {
            if (text[i] != first && text[i] != upper)
                continue;
            std::size_t j = 1;
            while (j < m && fold_case(text[i + j]) == lowered[j])
                ++j;
            if (j == m)
                return true;
        }
        return false;
    }
    std::string folded;
    append_folded(folded, text);
    return folded.find(lowered) != std::string::npos;
}

std::string escape_controls(std::string_view text)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

long parse_decimal(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    const bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        ++i;
    // Gathered as a negative number, whose range reaches LONG_MIN.
    constexpr long kMin = std::numeric_limits<long>::min();
    long v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const int d = text[i] - '0';
        v = v < (kMin + d) / 10 ? kMin : v * 10 - d;
    }
    if (negative)
        return v;
    return v == kMin ? std::numeric_limits<long>::max() : -v;
}

}  // namespace kovari
