// SPDX-License-Identifier: BSD-2-Clause
// quorin-soak's command line:
//
//   quorin-soak --server PATH [--requests N] [--seconds S] [--population P]
//               [--seed N] [--valgrind]
//
// --valgrind runs the server under valgrind's memcheck, by default with a
// shorter, smaller run.
#pragma once

#include <optional>
#include <string>

namespace kovari::soak {

struct Options {
    std::string server;
    long requests = 1'000'000;
    long seconds = 600;
    long population = 3000;
    unsigned seed = 2076;
    bool valgrind = false;
};

// The options, or nullopt after the usage text went to standard error.
std::optional<Options> parse_options(int argc, char** argv);

}  // namespace kovari::soak
