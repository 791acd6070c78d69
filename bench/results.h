// kvbench's figures: every run's result, gathered by server, workload and
// table size, the resident memory per site of each round, and the medians
// that the report shows.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "bench/engine.h"

namespace kovari::bench {

struct Samples {
    std::vector<double> rps, p50, p99, cpu;
    std::uint64_t errors = 0;
};

struct Results {
    // By server ("quorind", "ref"), workload name and table size.
    std::map<std::tuple<std::string, std::string, std::uint32_t>, Samples> runs;
    std::vector<double> rss_per_site;  // bytes, one per round at the largest size
};

void add_run(Results& res, const std::string& server, const std::string& workload, std::uint32_t sites,
             const LoadResult& r);
// The samples of one kind of run; empty when there was none.
const Samples& samples(const Results& res, const std::string& server, const std::string& workload,
                       std::uint32_t sites);

// The median; -1 for no values.
double median(std::vector<double> v);

}  // namespace kovari::bench
