// SPDX-License-Identifier: BSD-2-Clause
#include "protocol.h"

#include <cstring>

namespace kovari {

std::optional<std::string_view> read_item(ByteCursor& c)
{
    const auto len = c.peek(1);
    if (!len) {
        c.skip(c.left());
        return std::nullopt;
    }
    const auto item = c.read_bytes(2 + std::size_t(*len));
    if (!item)
        return std::nullopt;
    // Texts are NUL-terminated everywhere they are used: a NUL inside an
    // item ends its text there.
    const char* first = reinterpret_cast<const char*>(item->data() + 2);
    return std::string_view(first, ::strnlen(first, *len));
}

}  // namespace kovari
