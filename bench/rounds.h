// SPDX-License-Identifier: BSD-2-Clause
// kvbench's rounds over the network: quorind and the reference server
// started afresh, every workload driven against one, then the other.
#pragma once

#include <cstdint>

#include "bench/results.h"
#include "bench/settings.h"

namespace kovari::bench {

// One round at one table size; each run's figures go into `res` and, as
// a line, to the output. False when a server does not start.
bool run_round(const Settings& set, std::uint32_t sites, int round, Results& res);

// Misbehaving clients against quorind under descriptor limits of 1024 and
// 256 (soft and hard): the flood, the burst and, at 1024, requests in
// pieces; a line each on standard output. False when quorind does not start.
bool run_hostile(const Settings& set);

}  // namespace kovari::bench
