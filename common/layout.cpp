// SPDX-License-Identifier: BSD-2-Clause
#include "layout.h"

#include "clock.h"

namespace kovari {

void pad_to(std::string& line, std::size_t width)
{
    if (line.size() < width)
        line.append(width - line.size(), ' ');
}

namespace {

// What is shown of a text, as the style writes it; its columns in `width`.
void put_shown(std::string& out, std::string_view shown, const TextStyle& style, std::size_t* width)
{
    if (width != nullptr)
        *width = style.width != nullptr ? style.width(shown) : shown.size();
    if (style.put != nullptr)
        style.put(out, shown);
    else
        out += shown;
}

void put_styled(std::string& out, std::string_view text, const TextStyle& style, std::size_t* width)
{
    if (style.shown != nullptr)
        put_shown(out, style.shown(text), style, width);
    else
        put_shown(out, text, style, width);
}

// The text, then blanks up to `columns` columns.
void put_padded(std::string& out, std::string_view text, std::size_t columns, const TextStyle& style)
{
    std::size_t width = 0;
    put_styled(out, text, style, &width);
    if (width < columns)
        out.append(columns - width, ' ');
}

void put_indented(std::string& out, const char* label, const std::optional<std::string_view>& text,
                  const TextStyle& style)
{
    if (!text)
        return;
    out.append(kIndent, ' ');
    out += label;
    put_styled(out, *text, style, nullptr);
    out += '\n';
}

}  // namespace

void put_site_block(std::string& out, const SiteView& s, const TextStyle& style)
{
    out += '\n';
    put_padded(out, address_text(s.ip, s.port), kAddressWidth, {});
    out += ' ';
    put_padded(out, s.cname.value_or(std::string_view()), kCnameWidth, style);
    out += ' ';
    out += clock_text(s.time);
    out += '\n';
    put_indented(out, "", s.name, style);
    put_indented(out, "", s.loc, style);
    put_indented(out, "Phone:  ", s.phone, style);
    put_indented(out, "E-mail: ", s.email, style);
}

}  // namespace kovari
