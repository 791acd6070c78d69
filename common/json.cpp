// SPDX-License-Identifier: BSD-2-Clause
#include "json.h"

#include "utf8.h"

namespace kovari {

namespace {

bool is_control(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

void append_escaped(std::string& out, char32_t c)
{
    switch (c) {
    case '\b': out += "\\b"; return;
    case '\f': out += "\\f"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    default: break;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\u00";
    out += kHex[c >> 4];
    out += kHex[c & 0xF];
}

}  // namespace

std::string json_string(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t seq = utf8_sequence(text, i);
        // A stray byte stands for its Latin-1 character.
        const char32_t c = seq > 0 ? utf8_code_point(text, i, seq)
                                   : char32_t(static_cast<unsigned char>(text[i]));
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (is_control(c)) {
            append_escaped(out, c);
        } else if (seq > 0) {
            out.append(text, i, seq);
        } else {
            append_utf8(out, c);
        }
        i += seq > 0 ? seq : 1;
    }
    out += '"';
    return out;
}

}  // namespace kovari
