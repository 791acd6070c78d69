// SPDX-License-Identifier: BSD-2-Clause
// JSON texts for what came from the network, as the programs write it for
// other programs (the server's JSON page, the lookup's JSON output).
#pragma once

#include <string>
#include <string_view>

namespace kovari {

// `bytes` as a JSON string, quotes included, valid whatever the bytes are:
// well-formed UTF-8 as it is, a byte that is not part of well-formed UTF-8
// as its Latin-1 character (as the pages show it), '"' and '\' escaped,
// and every control character (U+0000 to U+001F, U+007F, U+0080 to
// U+009F) escaped: \b \f \n \r \t for those that have a short form, else
// \u00XX.
std::string json_string(std::string_view bytes);

}  // namespace kovari
