// SPDX-License-Identifier: BSD-2-Clause
// kvbench's figures: every run's result, gathered by server, workload and
// table size, the resident memory per site of each round, the figures of
// the page and state writes, and the medians that the report shows.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "bench/engine.h"
#include "bench/page_lag.h"
#include "bench/state_writes.h"
#include "bench/syscalls.h"

namespace kovari::bench {

struct Samples {
    std::vector<double> rps, p50, p99, cpu;
    std::uint64_t errors = 0;
};

struct Results {
    // By server ("quorind", "ref"), workload name and table size.
    std::map<std::tuple<std::string, std::string, std::uint32_t>, Samples> runs;
    std::vector<double> rss_per_site;  // bytes, one per round at the largest size
    // The writes away from the request path, at the largest size, and the
    // large table.
    PageLag page_lag;
    WriteStalls stalls;
    StateStart state_start;
    LargeTable large;
    SyscallCounts syscalls;
};

void add_run(Results& res, const std::string& server, const std::string& workload, std::uint32_t sites,
             const LoadResult& r);
// The samples of one kind of run; empty when there was none.
const Samples& samples(const Results& res, const std::string& server, const std::string& workload,
                       std::uint32_t sites);

// The median; -1 for no values.
double median(std::vector<double> v);

}  // namespace kovari::bench
