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

}  // namespace kovari::bench
