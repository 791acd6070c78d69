// SPDX-License-Identifier: BSD-2-Clause
// The JSON page (-J): the listed sites for programs, such as a web page's
// "who is on line" box, written beside the HTML pages by the same writer.
#pragma once

#include <ctime>
#include <string>

#include "common/site.h"
#include "table.h"

namespace kovari {

// One site as an object of the JSON page, on one line: ssrc (8 upper-case
// hex digits), cname, name, email, phone, loc, tool (strings as
// json_string writes them, null for a text the site does not carry),
// address (dotted), port (the number the pages show), time (its last
// announcement, seconds since the epoch).
std::string json_site(const SiteView& s);

// The whole file for the table at `now`: {"as_of": <now>, "sites": [...]},
// the listed sites in table order (newest first), one a line; unlisted
// sites never appear.
std::string json_page(const SiteTable& table, std::time_t now);

}  // namespace kovari
