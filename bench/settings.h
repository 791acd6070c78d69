// kvbench's command line:
//
//   kvbench --quorind PATH --ref PATH [--seconds S] [--reps R]
//           [--sizes N,N..] [--connections C] [--idle N] [--hostile S]
//           [--json] [--smoke]
//
// --reps 0 gives only the in-process figures, for the largest size;
// --hostile 0 leaves out the misbehaving clients (S seconds each, 20 by
// default); --smoke is a short run on tiny tables.
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
    double hostile_seconds = 20;  // each flood and burst
    int hostile_queries = 80;     // timed during each
    int pieces_queries = 200;     // written in two sends
    bool json = false;
};

// The settings, or nullopt after the usage text went to standard error.
std::optional<Settings> parse_settings(int argc, char** argv);

}  // namespace kovari::bench
