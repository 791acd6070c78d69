// kvbench's figures without the network: quorind's own routines called in
// this process through the server's public functions, as its event loop
// calls them. A table of bench sites is entered first.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace kovari::bench {

struct InProcess {
    double pages_ms = -1;  // both pages; -1 when a page was not written
    double public_ms = -1, private_ms = -1;
    std::map<std::string, double> us_per_request;  // by workload name
};

InProcess run_in_process(std::uint32_t sites);

}  // namespace kovari::bench
