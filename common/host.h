// SPDX-License-Identifier: BSD-2-Clause
// Naming a server: "host" or "host:port" texts, and the IPv4 address of a
// host, as both the lookup's -H and the server's -F list give them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol.h"

namespace kovari {

struct HostPort {
    std::string host;
    long port = kDefaultPort;  // as read; only its low 16 bits are dialled
};

// Splits at the first ':'. Without one the port is the default; the text
// after it is read like strtol (white space and a sign accepted, no digits
// give 0). White space inside the host part stays part of it.
HostPort split_host_port(std::string_view text);

// The IPv4 address (network order) of a host part: a dotted address when
// it begins with a digit and reads as one, else the first address the
// system's resolver gives. nullopt when neither works. This may block on
// the resolver; both programs call it only while starting.
std::optional<std::uint32_t> resolve_host(const std::string& host);

}  // namespace kovari
