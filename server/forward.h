// SPDX-License-Identifier: BSD-2-Clause
// Copies of announcements and sign-offs to peer servers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "server.h"

namespace kovari {

inline constexpr long kForwardLimitMs = 5000;          // a copy's time to be delivered
inline constexpr std::size_t kMaxCopiesPerPeer = 64;   // copies under way per peer

void parse_forward_list(Server& srv, std::string text);
// -A: the servers whose forwarded packets are taken besides the -F peers,
// in the syntax of -F (a port is allowed and has no meaning here).
void parse_accept_list(Server& srv, std::string text);
// Marks the packet of `length` bytes at the start of `buffer` as forwarded
// and appends the origin trailer behind it; returns the copy, mark and
// trailer included. `buffer` has room for the trailer.
std::span<const std::uint8_t> mark_forwarded(std::span<std::uint8_t> buffer, std::size_t length,
                                             std::uint32_t origin);
// Registers a copy's socket with the event loop; false when it cannot be.
using WatchCopy = std::function<bool(int fd)>;
// Starts a copy of `bytes` (already marked, trailer included) to every
// peer that is sent to, each socket handed to `watch` as soon as it is
// connecting; `now_ms` is the monotonic clock. Never blocks: the copies
// are finished by the event loop (serve_copy, expire_copies).
void start_copies(Server& srv, std::span<const std::uint8_t> bytes, long now_ms, const WatchCopy& watch);
// The copy's socket is writable or has failed: finish its connect and send
// it. Returns false when `fd` belongs to no copy.
bool serve_copy(Server& srv, int fd, long now_ms);
// Drops the copies whose time is up, reporting each.
void expire_copies(Server& srv, long now_ms);
// The earliest deadline of a copy under way, if any.
std::optional<long> next_copy_deadline(const Forwarder& fw);

}  // namespace kovari
