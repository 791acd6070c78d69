// SPDX-License-Identifier: BSD-2-Clause
// The request path: one received packet, checked, acted on, and what was
// decided handed back to the event loop.
#pragma once

#include <cstdint>
#include <ctime>
#include <span>

#include "common/protocol.h"
#include "server.h"

namespace kovari {

// The receive buffer: one request plus room for the forwarding trailer.
struct RequestBuffer {
    std::uint8_t bytes[kMaxRequest + kTrailerSize]{};
};

// What handle_packet decided, for the socket layer to carry out: first the
// writes the change asks for, then the copies to the peers, then the reply.
struct RequestAction {
    std::span<const std::uint8_t> reply;  // bytes to send, may be empty
    const char* send_failure = nullptr;   // phrase to report if the send fails
    // The packet marked as forwarded with its origin behind it, to be sent
    // to every peer; empty when nothing is forwarded.
    std::span<const std::uint8_t> forward;
    TableChange change;
};

bool valid_compound(std::span<const std::uint8_t> bytes, long n);

// Whether the bytes received so far on a connection are the start of a
// request whose own length fields say that more bytes are due: a header cut
// short (fewer than 4 bytes), or a last packet whose length runs past what
// arrived, both after APP alignment (so 2 or 3 bytes of an APP header are a
// whole header of length 0); a forwarded request (both top bits of its
// first byte set) also awaits its 4-byte trailer. Bytes that can no longer
// begin a valid request (not version 2, the padding flag, a first type
// outside 200-204) need nothing more: they are discarded as they are. A
// request for which this says yes is never valid as it stands.
bool more_due(std::span<const std::uint8_t> received);

// Acts on one received packet of n bytes. A receive that failed is handed
// on as an empty one: both are discarded and counted as invalid. peer_ip
// is in network order, peer_port in host order; `now` is the wall clock
// that stamps sites, `now_ms` the monotonic one that paces reports.
// The reply and the copy to forward, if any, point into the server's own
// storage and `buf`, and stay valid until the next call.
RequestAction handle_packet(Server& srv, RequestBuffer& buf, std::size_t n, std::uint32_t peer_ip,
                            std::uint16_t peer_port, std::time_t now, long now_ms);

}  // namespace kovari
