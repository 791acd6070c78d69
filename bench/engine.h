// SPDX-License-Identifier: BSD-2-Clause
// The closed-loop load engine: a fixed number of exchanges in flight, each
// a TCP connection of its own to 127.0.0.1 (connect, send one packet, read
// until the server closes), a new one started as soon as one ends. One
// thread, epoll; the requests come from a RequestSource.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>

#include "devkit/bytes.h"

namespace kovari::bench {

// What comes back for a request.
enum class Expect { nothing, reply };

// Gives the next request of exchange slot `slot`; false when there is none
// left (the run then ends once the exchanges under way are done).
using RequestSource = std::function<bool(int slot, devkit::Bytes& request, Expect& expect)>;

struct LoadOptions {
    int port = 0;
    int connections = 8;    // exchanges in flight
    double seconds = 2.0;   // measured time
    double warmup = 0.3;    // run before measuring, not counted
    pid_t server_pid = -1;  // whose CPU time to read, if any
    const char* local_ip = nullptr;  // the clients' loopback address (127.0.0.1 if none)
};

struct LoadResult {
    std::uint64_t requests = 0;  // exchanges completed in the measured time
    std::uint64_t errors = 0;    // failed connects, resets, timeouts, wrong replies
    double seconds = 0;
    double rps = 0;
    double p50_us = 0;
    double p99_us = 0;
    double max_us = 0;
    double cpu_us_per_request = -1;  // server's user+system time, -1 if unknown
};

LoadResult run_load(const LoadOptions& opt, const RequestSource& source);

// The server's default cap of sites per address, which an outsider's fill
// stays within by spreading its sites over many loopback addresses.
inline constexpr std::uint32_t kSitesPerAddress = 1000;

// Sends the packets packet(0) .. packet(count - 1) as an outsider filling
// the table would: kSitesPerAddress from each address 127.1.x.y in turn, 8
// in flight, no reply expected. Returns the errors.
std::uint64_t send_from_many_addresses(int port, std::uint32_t count,
                                       const std::function<devkit::Bytes(std::uint32_t)>& packet);

}  // namespace kovari::bench
