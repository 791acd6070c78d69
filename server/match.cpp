// SPDX-License-Identifier: BSD-2-Clause
#include "match.h"

#include "common/text.h"

namespace kovari {

bool site_matches(std::string_view query, const SiteView& s)
{
    // The site's texts are compared as if lower-cased; nothing is copied.
    const std::string_view candidate = candidate_text(s);
    if (has_marker(query) || is_unlisted(s))
        return equal_folded(without_marker(candidate), without_marker(query));
    if (contains_folded(candidate, query))
        return true;
    return s.name && contains_folded(*s.name, query);
}

}  // namespace kovari
