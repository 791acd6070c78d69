#include "layout.h"

#include "clock.h"

namespace kovari {

void pad_to(std::string& line, std::size_t width)
{
    if (line.size() < width)
        line.append(width - line.size(), ' ');
}

namespace {

void put_filtered(std::string& out, std::string_view text, TextFilter filter)
{
    if (filter != nullptr)
        out += filter(text);
    else
        out += text;
}

// The text, then blanks up to `width` characters of the text as received.
void put_padded(std::string& out, std::string_view text, std::size_t width, TextFilter filter)
{
    put_filtered(out, text, filter);
    if (text.size() < width)
        out.append(width - text.size(), ' ');
}

void put_indented(std::string& out, const char* label, const std::optional<std::string_view>& text,
                  TextFilter filter)
{
    if (!text)
        return;
    out.append(kIndent, ' ');
    out += label;
    put_filtered(out, *text, filter);
    out += '\n';
}

}  // namespace

void put_site_block(std::string& out, const SiteView& s, TextFilter filter)
{
    out += '\n';
    put_padded(out, address_text(s.ip, s.port), kAddressWidth, filter);
    out += ' ';
    put_padded(out, s.cname.value_or(std::string_view()), kCnameWidth, filter);
    out += ' ';
    out += clock_text(s.time);
    out += '\n';
    put_indented(out, "", s.name, filter);
    put_indented(out, "", s.loc, filter);
    put_indented(out, "Phone:  ", s.phone, filter);
    put_indented(out, "E-mail: ", s.email, filter);
}

}  // namespace kovari
