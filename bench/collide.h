// SPDX-License-Identifier: BSD-2-Clause
// The hash-flooding attack, `collide`: an outsider announces sites from
// many loopback addresses (127.1.x.y, each within the default cap of 1,000
// sites per address) whose SSRCs and CNAMEs were chosen offline to meet in
// one run of cells under the unkeyed hashes a server without a secret would
// use. Beside it the same number of sites with keys not so chosen, and
// after either an ordinary voice program's announcements and exact
// queries, one pair at a time. For each program (quorind, the reference)
// two servers are started afresh, one per fill, and the pairs are timed on
// one and the other in turn.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bench/settings.h"

namespace kovari::bench {

struct CollideRun {
    double cpu_us_per_announcement = -1;  // over the whole fill
    double pair_cpu_us = -1;              // server CPU of one announcement + query afterwards
    double pair_p50_us = 0;               // latency of one request of the pairs
    std::uint64_t errors = 0;
};

struct CollideResult {
    std::uint32_t sites = 0;
    CollideRun quorind_random, quorind_colliding, ref_random, ref_colliding;
};

// One result per size of set.collide_sizes; empty when a server does not
// start.
std::vector<CollideResult> run_collide(const Settings& set);

// One line for people per size.
std::string collide_text(const CollideResult& r);

// The keys the attacker computes offline, exposed for the benchmark's own
// check that they collide: `count` SSRC values and CNAMEs (16 bytes each)
// whose unkeyed hashes have their low 20 bits below 256.
std::vector<std::uint32_t> colliding_ssrcs(std::uint32_t count);
std::vector<std::string> colliding_cnames(std::uint32_t count);

}  // namespace kovari::bench
