// SPDX-License-Identifier: BSD-2-Clause
#include "bench/results.h"

#include <algorithm>

namespace kovari::bench {

void add_run(Results& res, const std::string& server, const std::string& workload, std::uint32_t sites,
             const LoadResult& r)
{
    Samples& s = res.runs[{server, workload, sites}];
    s.rps.push_back(r.rps);
    s.p50.push_back(r.p50_us);
    s.p99.push_back(r.p99_us);
    if (r.cpu_us_per_request >= 0)
        s.cpu.push_back(r.cpu_us_per_request);
    s.errors += r.errors;
}

const Samples& samples(const Results& res, const std::string& server, const std::string& workload,
                       std::uint32_t sites)
{
    static const Samples none;
    const auto it = res.runs.find({server, workload, sites});
    return it != res.runs.end() ? it->second : none;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

}  // namespace kovari::bench
