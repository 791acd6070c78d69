// SPDX-License-Identifier: BSD-2-Clause
// The lookup's few socket calls, each bounded in time. They return a
// status and leave errno set; the caller reports the failure.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "common/fd.h"

namespace kovari {

// Connects `s` to `to`, waiting at most timeout_ms. On failure returns
// false with errno set (ETIMEDOUT when the time ran out). The socket is
// left in blocking mode.
bool connect_within(const Fd& s, const sockaddr_in& to, int timeout_ms);

// One receive of at most buf.size() bytes, waiting at most timeout_ms for
// it. Returns the byte count (0: the peer closed without sending), or -1
// with errno set (ETIMEDOUT when nothing came in time).
long receive_within(const Fd& s, std::span<std::uint8_t> buf, int timeout_ms);

}  // namespace kovari
