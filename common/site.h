// SPDX-License-Identifier: BSD-2-Clause
// The site record: what both programs know about one voice program.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "protocol.h"

namespace kovari {

struct Site {
    std::time_t time = 0;  // server: arrival of the announcement; lookup: 'T' item
    Ssrc ssrc{};           // as received, never converted
    std::uint32_t ip = 0;  // IPv4, network order
    std::int16_t port = 0; // signed: a port above 32767 prints negative
    std::optional<std::string> cname;
    std::optional<std::string> name;
    std::optional<std::string> email;
    std::optional<std::string> phone;
    std::optional<std::string> loc;
    std::optional<std::string> tool;
};

// A read-only look at a site record, whichever way its texts are stored.
// The server's table hands these out when it is walked.
struct SiteView {
    std::time_t time = 0;
    Ssrc ssrc{};
    std::uint32_t ip = 0;
    std::int16_t port = 0;
    std::optional<std::string_view> cname, name, email, phone, loc, tool;
};

inline std::optional<std::string_view> view_text(const std::optional<std::string>& t)
{
    return t ? std::optional<std::string_view>(*t) : std::nullopt;
}

inline SiteView view_of(const Site& s)
{
    return {s.time,           s.ssrc,           s.ip,
            s.port,           view_text(s.cname), view_text(s.name),
            view_text(s.email), view_text(s.phone), view_text(s.loc),
            view_text(s.tool)};
}

// A record of its own, texts copied, from a look at one.
Site site_of(const SiteView& v);

// The text field that SDES item type 1..6 fills, or nullptr for any other,
// in a record of its own or a view.
template <typename Record>
auto item_field(Record& s, std::uint8_t type) -> decltype(&s.cname)
{
    switch (type) {
    case kItemCNAME: return &s.cname;
    case kItemNAME: return &s.name;
    case kItemEMAIL: return &s.email;
    case kItemPHONE: return &s.phone;
    case kItemLOC: return &s.loc;
    case kItemTOOL: return &s.tool;
    default: return nullptr;
    }
}

// Reads the items of one SDES chunk into `s`, a record of its own or a
// view whose texts point into the bytes received, from the cursor up to
// and including its 0 item. Texts of types 1..6 fill their fields (a later
// item of a type replaces an earlier one); each private item (type 8) is
// handed to on_private(text), a std::string_view; other types are passed
// over. Returns true when the 0 item was read; false when the bytes ended
// first or an item ran past them, the cursor then being at the end.
template <typename Record, typename F>
bool read_chunk_items(ByteCursor& c, Record& s, F&& on_private)
{
    while (const auto type = c.peek()) {
        if (*type == kItemEnd) {
            c.skip(1);
            return true;
        }
        const auto text = read_item(c);
        if (!text)
            return false;
        if (auto* field = item_field(s, *type))
            *field = *text;
        else if (*type == kItemPRIV)
            on_private(*text);
    }
    return false;
}

// The unlisted marker: a cname or email beginning with '*' keeps its site
// off the public page and out of all but exact queries. A query that
// begins with it asks for an exact match.
inline constexpr char kUnlistedMarker = '*';

inline bool has_marker(std::string_view t) { return !t.empty() && t[0] == kUnlistedMarker; }
inline bool has_marker(const std::optional<std::string_view>& t) { return t && has_marker(*t); }

inline bool is_unlisted(const std::optional<std::string_view>& cname,
                        const std::optional<std::string_view>& email)
{
    return has_marker(cname) || has_marker(email);
}
inline bool is_unlisted(const SiteView& s) { return is_unlisted(s.cname, s.email); }

// The text a site is known by: its e-mail text, else its CNAME (empty for
// a record with neither). Queries search it, the activity log shows it.
inline std::string_view candidate_text(const SiteView& s)
{
    return s.email ? *s.email : s.cname.value_or(std::string_view());
}

// A text without its one leading marker, if it has one.
inline std::string_view without_marker(std::string_view t)
{
    return has_marker(t) ? t.substr(1) : t;
}

// Dotted form of an IPv4 address held in network order.
std::string dotted(std::uint32_t ip_network_order);

// "%s:%d" of an address and a signed port.
std::string address_text(std::uint32_t ip, std::int16_t port);

// The diagnostic dump: one header line, then one line per text that is set.
// Times are shown in local time in the 24-character ctime form. Each text
// goes through `shown` when it is given (texts come from the network).
void dump_site(std::FILE* out, const SiteView& s, std::string (*shown)(std::string_view) = nullptr);

}  // namespace kovari
