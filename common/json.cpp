// SPDX-License-Identifier: BSD-2-Clause
#include "json.h"

#include "utf8.h"

namespace kovari {

namespace {

bool is_control(char32_t c) { return c < 0x20 || (c >= 0x7f && c <= 0x9f); }

void put_code_point(std::string& out, char32_t c)
{
    switch (c) {
    case '"': out += "\\\""; return;
    case '\\': out += "\\\\"; return;
    case '\b': out += "\\b"; return;
    case '\f': out += "\\f"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    default: break;
    }
    if (is_control(c)) {
        static constexpr char kHex[] = "0123456789abcdef";
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 0xf];
    } else {
        append_utf8(out, c);
    }
}

}  // namespace

std::string json_string(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size() + 2);
    out += '"';
    for (std::size_t i = 0; i < bytes.size();) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            put_code_point(out, c);
            ++i;
        } else if (const std::size_t len = utf8_sequence(bytes, i); len > 0) {
            if (const char32_t cp = utf8_code_point(bytes, i, len); is_control(cp))
                put_code_point(out, cp);
            else
                out.append(bytes, i, len);
            i += len;
        } else {
            put_code_point(out, c);  // a stray byte, as Latin-1
            ++i;
        }
    }
    out += '"';
    return out;
}

}  // namespace kovari
