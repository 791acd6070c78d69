// kvbench's figures without the network: quorind's own routines called in
// this process through the server's public functions, as its event loop
// calls them. A table of bench sites is entered first.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <string>

#include "common/site.h"

namespace kovari::bench {

struct InProcess {
    double pages_ms = -1;  // both pages; -1 when a page was not written
    double public_ms = -1, private_ms = -1;
    std::map<std::string, double> us_per_request;  // by workload name
};

InProcess run_in_process(std::uint32_t sites);

// Bench site `id` as the table holds it after an announcement from
// 127.0.0.1 (where the load comes from), heard up to ten minutes before `now`.
Site bench_record(std::uint32_t id, std::time_t now);

}  // namespace kovari::bench
