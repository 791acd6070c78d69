// SPDX-License-Identifier: BSD-2-Clause
// How a slot of the site table holds a site: its texts packed back to
// back, and what the table's rules read of them. Only the table's own
// files include it.
#pragma once

#include <optional>
#include <string_view>

#include "table.h"

namespace kovari::table_entry {

using Entry = SiteTable::Entry;

// Positions of the texts a query needs; the others follow in item order.
constexpr int kCname = 0, kName = 1, kEmail = 2;

inline bool has(const Entry& e, int k) { return (e.present >> k) & 1; }

std::string_view text_of(const Entry& e, int k);
std::optional<std::string_view> text_if(const Entry& e, int k);
std::string_view cname_key(const Entry& e);

// The texts a query is compared with, as a view holds them: the rules of
// site.h apply to them as to any record.
SiteView query_texts(const Entry& e);

std::string_view candidate_of(const Entry& e);

// The candidate without one leading '*' (still in its stored case): what an
// exact query is compared with.
std::string_view candidate_key(const Entry& e);

// The name that a substring query searches besides the candidate.
std::string_view search_name(const Entry& e);

// Sites that only an exact query finds.
bool unlisted(const Entry& e);

// Whether a lowered query selects the site (site_matches).
bool matches(const Entry& e, std::string_view lowered);

// A slot's record of a site: its fields, and its texts copied back to back.
Entry pack(const SiteView& s);

}  // namespace kovari::table_entry
