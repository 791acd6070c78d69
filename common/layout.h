// SPDX-License-Identifier: BSD-2-Clause
// The status layout of one site, shared by the HTML pages and the
// lookup's table output: a line with the address and port, the CNAME and
// the time of the last announcement, then name, location, phone and e-mail,
// each on a line of its own under the CNAME.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "site.h"
#include "utf8.h"

namespace kovari {

inline constexpr std::size_t kAddressWidth = 24;  // "%-24s"
inline constexpr std::size_t kCnameWidth = 48;    // "%-48s", padded, never cut
inline constexpr std::size_t kIndent = 25;        // texts stand under the CNAME

// Appends blanks to `line` until it is `width` bytes long; never cuts.
void pad_to(std::string& line, std::size_t width);

// How the texts of a block are written. `shown` gives what a reader sees of
// a site text (a terminal's safe characters), `width` the columns that
// takes, and `put` appends it as the output holds it (UTF-8 and HTML
// entities on a page). A hook left out leaves the text as it is. The page
// writer calls these a few times per site, for 100,000 sites and more:
// `put` writes straight into the output, with no text of its own between.
struct TextStyle {
    std::string (*shown)(std::string_view) = nullptr;
    std::size_t (*width)(std::string_view) = display_width;
    void (*put)(std::string& out, std::string_view text) = nullptr;
};

// Appends the site's block, beginning with a newline:
//   address:port (padded to 24) CNAME (padded to 48) HH:MM
//                            name / location / "Phone:  " / "E-mail: "
// The time is the announcement's, in local time; the tool is never shown.
// Padding counts the columns of what is shown, never cuts.
void put_site_block(std::string& out, const SiteView& s, const TextStyle& style = {});

}  // namespace kovari
