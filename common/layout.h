// The status layout of one site, shared by the HTML pages and the
// lookup's table output: a line with the address and port, the CNAME and
// the time of the last announcement, then name, location, phone and e-mail,
// each on a line of its own under the CNAME.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "site.h"

namespace kovari {

inline constexpr std::size_t kAddressWidth = 24;  // "%-24s"
inline constexpr std::size_t kCnameWidth = 48;    // "%-48s", padded, never cut
inline constexpr std::size_t kIndent = 25;        // texts stand under the CNAME

// Appends blanks to `line` until it is `width` long; never cuts.
void pad_to(std::string& line, std::size_t width);

// Turns a site text into what the output holds (HTML escaping on a page).
using TextFilter = std::string (*)(std::string_view);

// Appends the site's block, beginning with a newline:
//   address:port (padded to 24) CNAME (padded to 48) HH:MM
//                            name / location / "Phone:  " / "E-mail: "
// The time is the announcement's, in local time; the tool is never shown.
// Every site text goes through `filter` when one is given; the padding
// counts the text as received.
void put_site_block(std::string& out, const SiteView& s, TextFilter filter = nullptr);

}  // namespace kovari
