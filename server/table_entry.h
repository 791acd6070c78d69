// SPDX-License-Identifier: BSD-2-Clause
// How a slot of the site table holds a site: its texts packed back to
// back, and what the table's rules read of them. Only the table's own
// files include it.
#pragma once

#include <optional>
#include <string_view>

#include "match.h"
#include "table.h"

namespace kovari::table_entry {

using Entry = SiteTable::Entry;

// Positions of the texts a query needs; the others follow in item order.
constexpr int kCname = 0, kName = 1, kEmail = 2;

inline bool has(const Entry& e, int k) { return (e.present >> k) & 1; }

inline std::string_view text_of(const Entry& e, int k)
{
    std::size_t off = 0;
    for (int j = 0; j < k; ++j)
        off += e.length[j];
    return {e.texts.get() + off, e.length[k]};
}

inline std::optional<std::string_view> text_if(const Entry& e, int k)
{
    return has(e, k) ? std::optional(text_of(e, k)) : std::nullopt;
}

inline std::string_view cname_key(const Entry& e) { return without_marker(text_of(e, kCname)); }

// The texts a query is compared with, as a view holds them: the rules of
// site.h apply to them as to any record.
inline SiteView query_texts(const Entry& e)
{
    SiteView v;
    v.cname = text_of(e, kCname);
    v.name = text_if(e, kName);
    v.email = text_if(e, kEmail);
    return v;
}

inline std::string_view candidate_of(const Entry& e) { return candidate_text(query_texts(e)); }

// The candidate without one leading '*' (still in its stored case): what an
// exact query is compared with.
inline std::string_view candidate_key(const Entry& e) { return without_marker(candidate_of(e)); }

// The name that a substring query searches besides the candidate.
inline std::string_view search_name(const Entry& e) { return has(e, kName) ? text_of(e, kName) : std::string_view(); }

// Sites that only an exact query finds.
inline bool unlisted(const Entry& e) { return is_unlisted(text_of(e, kCname), text_if(e, kEmail)); }

// Whether a lowered query selects the site (site_matches).
inline bool matches(const Entry& e, std::string_view lowered) { return site_matches(lowered, query_texts(e)); }

// A slot's record of a site: its fields, and its texts copied back to back.
Entry pack(const SiteView& s);

}  // namespace kovari::table_entry
