// SPDX-License-Identifier: BSD-2-Clause
// kvbench's figures without the network: quorind's own routines called in
// this process through the server's public functions, as its event loop
// calls them. A table of bench sites is entered first.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <string>

#include "bench/workloads.h"
#include "devkit/packets.h"
#include "common/site.h"

namespace kovari {
struct Server;
}

namespace kovari::bench {

struct InProcess {
    double pages_ms = -1;  // both pages; -1 when a page was not written
    double public_ms = -1, private_ms = -1;
    std::map<std::string, double> us_per_request;  // by workload name
};

InProcess run_in_process(std::uint32_t sites);

// The mean time of one request of the workload, handed to the request
// path of `srv`, whose table holds bench sites 0..sites-1, as if sent
// from `from`: as many as fit in half a second, at most 20,000.
double time_requests(Server& srv, Workload w, std::uint32_t sites, std::time_t now,
                     std::uint32_t from = devkit::ipv4("127.0.0.1"));

// Bench site `id` as the table holds it after an announcement from
// 127.0.0.1 (where the load comes from), heard up to ten minutes before `now`.
Site bench_record(std::uint32_t id, std::time_t now);

}  // namespace kovari::bench
