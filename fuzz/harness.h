// SPDX-License-Identifier: BSD-2-Clause
// The work of each fuzz target, apart from libFuzzer's entry point, so that
// the regression tests can replay saved inputs through exactly the same
// code under the ordinary build.
//
// Each run_* routine takes one input and returns nullptr when every check
// held, or a text naming the check that failed. A crash or a sanitizer
// report is a finding as well, of course.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "server/request.h"
#include "server/server.h"

namespace kovari::fuzz {

// Streams that swallow the programs' output.
std::FILE* null_stream();

// --- one received packet at a time (fuzz_request) ---
//
// Input layout:
//   byte 0       settings: 0x01 -D, 0x02 -V, 0x04 -VV, 0x08 peers listed
//                (with negative ports, so nothing is ever sent)
//   then records, as many as the input holds:
//     1 byte     clock step, in units of 8 seconds, taken before the packet
//     1 byte     peer: the packet comes from 127.0.0.<peer>, port 40000+peer
//     2 bytes    big-endian size of the packet; 0xFFFF stands for a failed
//                receive, handed on as an empty one; anything above 1024
//                is cut to 1024 as one receive would cut it
//     the packet bytes (fewer if the input ends first)
// The server, its table and its clock live on between inputs, so that
// sequences of announcements, sign-offs, queries and sweeps build up; the
// table is emptied when it grows past kMaxFuzzSites.
inline constexpr std::size_t kMaxFuzzSites = 2048;
inline constexpr std::time_t kFuzzEpoch = 870000000;

struct RequestState {
    Server srv;
    RequestBuffer* buf = nullptr;  // heap, so that its tail can be poisoned
    std::time_t now = kFuzzEpoch;
    std::time_t next_sweep = kFuzzEpoch + kSweepInterval;
    RequestState();
    ~RequestState();
    RequestState(const RequestState&) = delete;
    RequestState& operator=(const RequestState&) = delete;
};

const char* run_request_input(RequestState& st, const std::uint8_t* data, std::size_t size);

// Checks that the walk of the table agrees with its size and that every entry
// has a CNAME, unique once the unlisted marker is set aside.
const char* check_table(const SiteTable& t);

// Checks a match reply: size, cap, header, chunk layout, item lengths.
// Sets `chunks` to the number of chunks read.
const char* check_match_reply(std::span<const std::uint8_t> reply, std::size_t& chunks);

// --- the query path (fuzz_query) ---
//
// Input layout:
//   the query text, up to the first NUL (no NUL: the whole input is the
//   query and the table is empty)
//   then sites, each laid out like a chunk of a match reply without its
//   alignment: 4 bytes SSRC, SDES items (1-6 texts; 8 with "\1P", "\1I",
//   "\1T" private texts for port, address and time), ended by a 0 item.
//   A site without a CNAME item is left out, as the server leaves it out.
const char* run_query_input(const std::uint8_t* data, std::size_t size);

}  // namespace kovari::fuzz

namespace kovari::fuzz {

// --- the lookup's reply decoder (fuzz_reply) ---
//
// Input layout:
//   byte 0       output modes: 0x01 list, 0x02 address, 0x04 table,
//                0x08 debug, 0x10 the server message request is pending,
//                0x20 the same reply arrives twice (for a second query)
//   the rest     the reply as one receive returned it (at most 1500 bytes)
const char* run_reply_input(const std::uint8_t* data, std::size_t size);

}  // namespace kovari::fuzz
