// SPDX-License-Identifier: BSD-2-Clause
// Query matching and the match reply.
#include <algorithm>
#include <cstring>

#include "common/utf8.h"
#include "match.h"
#include "query.h"

namespace kovari {
namespace {

// U+00A0, the no-break space, counts as white space; the C1 controls
// U+0080..U+009F are dropped like the bytes 0x80..0x9F of 8-bit text.
constexpr char32_t kNoBreakSpace = 0xA0;
bool c1_control(char32_t c) { return c >= 0x80 && c <= 0x9F; }

// Whether a text is already as the clean-up would leave it: printable
// ASCII without '<', words apart by single blanks, none at either end. So
// are nearly all texts, which then cost one pass and a copy instead of the
// clean-up's work per character, otherwise most of the server's own work
// for a query that matches one site.
bool clean_already(std::uint8_t type, std::string_view text)
{
    bool after_blank = true;  // a blank here would go
    for (std::size_t i = type == kItemPRIV ? 1 : 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == ' ' && !after_blank)
            after_blank = true;
        else if (c > ' ' && c < 0x7f && c != '<')
            after_blank = false;
        else
            return false;
    }
    return !after_blank;
}

// Clean-up for display: control characters go, runs of white space become
// one blank, <tags> with a closing '>' vanish. A well-formed UTF-8
// character is kept whole; every other byte goes by the byte rules of 8-bit
// text. Returns the length of the cleaned text in `area`.
std::size_t clean_item_text(std::uint8_t type, std::string_view text, std::span<char, 256> area)
{
    std::size_t len = 0;
    bool skipping = true;
    text = text.substr(0, area.size() - 1);
    if (clean_already(type, text))
        return text.copy(area.data(), text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (type == kItemPRIV && i == 0) {
            area[len++] = char(c);  // the prefix length byte survives
            continue;
        }
        // No UTF-8 sequence starts with an ASCII byte.
        const std::size_t seq = c < 0x80 ? 0 : utf8_sequence(text, i);
        const char32_t code = seq > 0 ? utf8_code_point(text, i, seq) : c;
        if (seq > 0 && c1_control(code)) {
            i += seq - 1;
            continue;
        }
        const bool space = is_space(c) || (seq > 0 && code == kNoBreakSpace);
        if (seq == 0 && !space && (c < 0x20 || (c >= 0x7f && c <= 0xa0)))
            continue;
        if (space && skipping) {
            i += seq > 0 ? seq - 1 : 0;
            continue;
        }
        if (c == '<') {
            const auto close = text.find('>', i + 1);
            if (close != std::string_view::npos) {
                i = close;
                skipping = len > 0 && is_space(static_cast<unsigned char>(area[len - 1]));
                continue;
            }
        }
        if (space) {
            area[len++] = ' ';
            skipping = true;
            i += seq > 0 ? seq - 1 : 0;
        } else if (seq > 0) {
            text.copy(&area[len], seq, i);
            len += seq;
            i += seq - 1;
            skipping = false;
        } else {
            area[len++] = char(c);
            skipping = false;
        }
    }
    while (len > 0 && is_space(static_cast<unsigned char>(area[len - 1])))
        --len;
    return len;
}

// The length of a cleaned text of more than 48 bytes after its cut: at the
// last blank among positions 47 down to 32, else 47 bytes, moved back to
// the first byte of a UTF-8 character that the cut would split.
std::size_t cut_item_text(std::string_view cleaned)
{
    for (std::size_t p = kMaxItemText - 1; p >= 32; --p)
        if (is_space(static_cast<unsigned char>(cleaned[p])))
            return p;
    const std::size_t cut = kMaxItemText - 1;
    for (std::size_t i = 0; i < cut;) {
        const std::size_t step = std::max<std::size_t>(utf8_sequence(cleaned, i), 1);
        if (i + step > cut)
            return i;
        i += step;
    }
    return cut;
}

}  // namespace

void put_item(std::uint8_t type, std::string_view text, std::span<std::uint8_t> out,
              std::size_t& cursor)
{
    char area[256];
    std::size_t len = clean_item_text(type, text, area);
    if (len == 0)
        return;
    if (len > kMaxItemText)
        len = cut_item_text(std::string_view(area, len));
    out[cursor++] = type;
    out[cursor++] = std::uint8_t(len);
    std::memcpy(&out[cursor], area, len);
    cursor += len;
}

namespace {

// The decimal digits of `v` at `out` (room for 20); returns how many.
std::size_t put_decimal(char* out, std::uint64_t v)
{
    char digits[20];
    std::size_t n = 0;
    do {
        digits[n++] = char('0' + v % 10);
        v /= 10;
    } while (v != 0);
    for (std::size_t k = 0; k < n; ++k)
        out[k] = digits[n - 1 - k];
    return n;
}

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
    // "\1P%d" of the port, "\1I%u.%u.%u.%u" of the address, "\1T%lu" of
    // the time, written without printf, which would cost a third of a
    // query.
    char text[32] = {'\1', 'P'};
    std::size_t n = 2;
    if (s.port < 0)
        text[n++] = '-';
    n += put_decimal(text + n, std::uint64_t(s.port < 0 ? -int(s.port) : int(s.port)));
    put_item(kItemPRIV, std::string_view(text, n), out, cursor);
    const auto ip = reinterpret_cast<const std::uint8_t*>(&s.ip);  // network order
    text[1] = 'I';
    n = 2;
    for (int k = 0; k < 4; ++k) {
        if (k > 0)
            text[n++] = '.';
        n += put_decimal(text + n, ip[k]);
    }
    put_item(kItemPRIV, std::string_view(text, n), out, cursor);
    text[1] = 'T';
    n = 2 + put_decimal(text + 2, static_cast<unsigned long>(s.time));
    put_item(kItemPRIV, std::string_view(text, n), out, cursor);
    out[cursor++] = 0;
    while (cursor % 4 != 0)
        out[cursor++] = 0;
}

// The smallest chunk: SSRC, the three private items at their shortest, the
// 0 item and alignment. So at most (512 - 4) / 28 = 18 chunks fit, and the
// walk always ends by the 19th match.
constexpr std::size_t kMinChunk = 28;
constexpr std::size_t kMostMatches = (kMaxReply - 4) / kMinChunk + 1;

}  // namespace

std::span<const std::uint8_t> answer_query(Server& srv, std::string_view query,
                                           std::uint32_t requester, ReplyBuffer& reply)
{
    std::string text(query);
    if (srv.settings.very_verbose)
        std::fprintf(srv.out, "%s: %s query \"%s\"\n", srv.settings.program_name.c_str(),
                     dotted(requester).c_str(), escape_controls(text).c_str());
    lower_case(text);
    std::span<std::uint8_t> out(reply.bytes);
    out[0] = kReplyByte0;
    out[1] = kTypeSDES;
    std::size_t cursor = 4;
    // Adds a site's chunk unless it takes the reply past the cap; then the
    // reply ends, even if a later chunk would still fit.
    const auto add = [&](const SiteView& s) {
        const std::size_t start = cursor;
        put_chunk(s, out, cursor);
        if (cursor > kMaxReply) {
            cursor = start;
            return false;
        }
        ++out[0];
        return true;
    };
    if (text.empty()) {
        // Every listed site matches: the walk from the head ends at the cap.
        for_each_site(srv.table, [&](const SiteView& s) { return !site_matches(text, s) || add(s); });
    } else {
        // The first matches in table order, found through the table's indexes.
        std::uint32_t found[kMostMatches];
        const std::optional<std::size_t> n = table_find(srv.table, text, found, kMostMatches);
        if (!n) {
            // Too costly to answer (texts made to hold the query's every
            // trigram in its place): refused with no reply at all, which
            // the lookup reports, rather than with a reply that would look
            // like the whole answer.
            ++srv.stats.refused_queries;
            return {};
        }
        for (std::size_t i = 0; i < *n && add(table_view(srv.table, found[i])); ++i) {
        }
    }
    put_length_field(out, cursor);
    return std::span<const std::uint8_t>(reply.bytes, cursor);
}

}  // namespace kovari
