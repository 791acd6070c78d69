// Query matching and the match reply.
#include <cstring>

#include "server.h"

namespace kovari {

void lower_case(std::string& text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
}

namespace {

std::string lowered(std::string_view text)
{
    std::string t(text);
    lower_case(t);
    return t;
}

}  // namespace

bool site_matches(std::string_view query, const SiteView& s)
{
    const std::string_view source = s.email ? *s.email : *s.cname;
    std::string candidate = lowered(source);
    std::string_view c = candidate;
    bool exact = false;
    if (!query.empty() && query[0] == '*') {
        exact = true;
        query.remove_prefix(1);
    }
    if (!c.empty() && c[0] == '*') {
        exact = true;
        c.remove_prefix(1);
    }
    if (has_marker(s.cname))
        exact = true;
    if (exact)
        return c == query;
    if (c.find(query) != std::string_view::npos)
        return true;
    return s.name && lowered(*s.name).find(query) != std::string::npos;
}

void put_item(std::uint8_t type, std::string_view text, std::span<std::uint8_t> out,
              std::size_t& cursor)
{
    // Clean-up for display: control characters go, runs of white space
    // become one blank, <tags> with a closing '>' vanish.
    char area[256];
    std::size_t len = 0;
    bool skipping = true;
    const std::size_t n = std::min(text.size(), sizeof area - 1);
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (type == kItemPRIV && i == 0) {
            area[len++] = char(c);  // the prefix length byte survives
            continue;
        }
        const bool space = is_space(c);
        if (!space && (c < 0x20 || (c >= 0x7f && c <= 0xa0)))
            continue;
        if (space && skipping)
            continue;
        if (c == '<') {
            const auto close = text.substr(0, n).find('>', i + 1);
            if (close != std::string_view::npos) {
                i = close;
                skipping = len > 0 && is_space(static_cast<unsigned char>(area[len - 1]));
                continue;
            }
        }
        if (space) {
            area[len++] = ' ';
            skipping = true;
        } else {
            area[len++] = char(c);
            skipping = false;
        }
    }
    while (len > 0 && is_space(static_cast<unsigned char>(area[len - 1])))
        --len;
    if (len == 0)
        return;
    if (len > kMaxItemText) {
        std::size_t cut = kMaxItemText - 1;
        for (std::size_t p = kMaxItemText - 1; p >= 32; --p) {
            if (is_space(static_cast<unsigned char>(area[p]))) {
                cut = p;
                break;
            }
        }
        len = cut;
    }
    out[cursor++] = type;
    out[cursor++] = std::uint8_t(len);
    std::memcpy(&out[cursor], area, len);
    cursor += len;
}

namespace {

// Writes one site's chunk at `cursor`.
void put_chunk(const SiteView& s, std::span<std::uint8_t> out, std::size_t& cursor)
{
    std::memcpy(&out[cursor], s.ssrc.data(), 4);
    cursor += 4;
    put_item(kItemCNAME, without_marker(*s.cname), out, cursor);
    if (s.name)
        put_item(kItemNAME, *s.name, out, cursor);
    if (s.email)
        put_item(kItemEMAIL, without_marker(*s.email), out, cursor);
    if (s.phone)
        put_item(kItemPHONE, *s.phone, out, cursor);
    if (s.loc)
        put_item(kItemLOC, *s.loc, out, cursor);
    if (s.tool)
        put_item(kItemTOOL, *s.tool, out, cursor);
    put_item(kItemPRIV, format("\1P%d", int(s.port)), out, cursor);
    put_item(kItemPRIV, "\1I" + dotted(s.ip), out, cursor);
    put_item(kItemPRIV, format("\1T%lu", static_cast<unsigned long>(s.time)), out, cursor);
    out[cursor++] = 0;
    while (cursor % 4 != 0)
        out[cursor++] = 0;
}

}  // namespace

std::span<const std::uint8_t> answer_query(Server& srv, std::string_view query,
                                           std::uint32_t requester, ReplyBuffer& reply)
{
    std::string text(query);
    if (srv.settings.very_verbose)
        std::fprintf(srv.out, "%s: %s query \"%s\"\n", srv.settings.program_name.c_str(),
                     dotted(requester).c_str(), text.c_str());
    lower_case(text);
    std::span<std::uint8_t> out(reply.bytes);
    out[0] = kReplyByte0;
    out[1] = kTypeSDES;
    std::size_t cursor = 4;
    for_each_site(srv.table, [&](const SiteView& s) {
        if (!site_matches(text, s))
            return true;
        const std::size_t start = cursor;
        put_chunk(s, out, cursor);
        if (cursor > kMaxReply) {
            cursor = start;
            return false;
        }
        ++out[0];
        return true;
    });
    put_length_field(out, cursor);
    return std::span<const std::uint8_t>(reply.bytes, cursor);
}

}  // namespace kovari
