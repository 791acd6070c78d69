// SPDX-License-Identifier: BSD-2-Clause
// The rule by which a query selects a site, the one rule of the query's
// walk, the table's indexes and its walk from the head.
#pragma once

#include <string_view>

#include "common/site.h"

namespace kovari {

// Whether a lowered query selects the site. A query, candidate or CNAME
// with the unlisted marker asks for the whole candidate (each without its
// marker, compared folded); any other query need only occur in the
// candidate or the name, folded. The empty query selects every listed site.
bool site_matches(std::string_view lowered_query, const SiteView& s);

}  // namespace kovari
