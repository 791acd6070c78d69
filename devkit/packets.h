// SPDX-License-Identifier: BSD-2-Clause
// Builders of the raw packets of the directory protocol, for the tests,
// the tools, the benchmark, the soak and the fuzz corpus. They write
// exactly the bytes a voice program, a lookup or a peer server would send.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/protocol.h"
#include "devkit/bytes.h"

namespace kovari::devkit {

struct Item {
    std::uint8_t type;
    std::string text;
};

// One SDES chunk: SSRC, items, the 0 item, alignment counted from the start
// of `packet` (the packet being built).
void append_chunk(Bytes& packet, const Ssrc& ssrc, const std::vector<Item>& items);

// An SDES packet with one chunk (count 1), length field filled in.
Bytes sdes_packet(const Ssrc& ssrc, const std::vector<Item>& items);

// The usual announcement: CNAME and optional texts, and a 'P' item when a
// port is given.
struct Announcement {
    Ssrc ssrc{};
    std::string cname;
    std::optional<std::string> name, email, phone, loc, tool;
    std::optional<int> port;
};
Bytes announcement(const Announcement& a);

// The 'P' private item text for a port: "\1P2076".
std::string port_item_text(int port);

// A match reply as the server sends it: byte 0 counts the chunks, the
// length field covers them all.
struct Chunk {
    Ssrc ssrc{};
    std::vector<Item> items;
};
Bytes match_reply(const std::vector<Chunk>& chunks);

// A BYE packet with one SSRC.
Bytes bye_packet(const Ssrc& ssrc);
// A receiver report with no report blocks (8 bytes).
Bytes receiver_report(const Ssrc& ssrc);
// A sender report with no report blocks (28 bytes).
Bytes sender_report(const Ssrc& ssrc);

// A lookup query for a text (NUL-terminated, zero-padded).
Bytes query_packet(const std::string& text);
// The 12-byte server message request.
Bytes message_request();

// A packet as one server forwards it: byte 0 marked, origin appended.
Bytes forwarded(Bytes packet, std::uint32_t origin_network_order);

Bytes concat(std::initializer_list<Bytes> parts);

// Reads "10.0.0.1" into network order.
std::uint32_t ipv4(const char* dotted);

inline Ssrc make_ssrc(std::uint32_t v)
{
    return {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)};
}

}  // namespace kovari::devkit
