// SPDX-License-Identifier: BSD-2-Clause
// JSON texts for programs that read the directory: quorinq -J and the
// server's JSON page write every string through the one rule here.
#pragma once

#include <string>
#include <string_view>

namespace kovari {

// The quoted JSON string of a text from the network, valid JSON whatever
// its bytes: well-formed UTF-8 is kept as it is; a byte that is not part of
// well-formed UTF-8 becomes the Latin-1 character the pages show for it
// (U+0080..U+00FF, in UTF-8); '"' and '\' are escaped, and so is every
// control character: U+0000..U+001F as \b \f \n \r \t or \u00xx, DEL and
// U+0080..U+009F as \u00xx, so that no reader's terminal acts on them.
std::string json_string(std::string_view text);

}  // namespace kovari
