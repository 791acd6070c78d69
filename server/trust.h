// SPDX-License-Identifier: BSD-2-Clause
// Who may change what, and the reports of what is refused.
#pragma once

#include <cstdint>
#include <string_view>

#include "server.h"

namespace kovari {

// The kinds of change that only a site's owner, or a configured peer, may
// make.
enum class Refusal { sign_off, take_over, forwarded, over_cap };

// Whether a packet marked as forwarded is taken from this address: one of
// the -F peers or the -A servers. A server with neither takes none.
bool accepts_forwarded(const ServerSettings& set, std::uint32_t peer_ip);

// Counts a refusal, writes its -D line (`detail` says which site), and
// reports it on the error stream at most once per 10 s per address and
// kind. Costs no allocation while its report is held back.
void refuse(Server& srv, Refusal kind, std::uint32_t ip, std::string_view detail, long now_ms);

}  // namespace kovari
