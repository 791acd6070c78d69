// SPDX-License-Identifier: BSD-2-Clause
// The answer to a query: the matching rule, the items of the reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "common/site.h"
#include "server.h"

namespace kovari {

bool site_matches(std::string_view lowered_query, const SiteView& s);
// Appends one cleaned item at `cursor` (an offset in `out`).
void put_item(std::uint8_t type, std::string_view text, std::span<std::uint8_t> out,
              std::size_t& cursor);
// Builds the match reply for a query text (as it arrived) and returns its
// bytes, which live in `reply`.
std::span<const std::uint8_t> answer_query(Server& srv, std::string_view query,
                                           std::uint32_t requester, ReplyBuffer& reply);

}  // namespace kovari
