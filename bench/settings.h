// kvbench's command line:
//
//   kvbench --quorind PATH --ref PATH [--seconds S] [--reps R]
//           [--sizes N,N..] [--connections C] [--idle N] [--json] [--smoke]
//
// --reps 0 gives only the in-process figures, for the largest size;
// --smoke is a short run on tiny tables.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kovari::bench {

struct Settings {
    std::string quorind;
    std::string ref;
    double seconds = 2.0;
    double warmup = 0.3;
    int reps = 5;
    std::vector<std::uint32_t> sizes = {1000, 100000};  // sorted, smallest first
    int connections = 8;
    int idle = 100;
    bool json = false;
};

// The settings, or nullopt after the usage text went to standard error.
std::optional<Settings> parse_settings(int argc, char** argv);

}  // namespace kovari::bench
