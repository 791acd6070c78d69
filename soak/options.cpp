// SPDX-License-Identifier: BSD-2-Clause
#include "soak/options.h"

#include <cstdio>
#include <cstdlib>

namespace kovari::soak {
namespace {

std::optional<Options> usage(const char* program)
{
    std::fprintf(stderr,
                 "usage: %s --server PATH [--requests N] [--seconds S] [--population P] "
                 "[--seed N] [--valgrind]\n",
                 program);
    return std::nullopt;
}

}  // namespace

std::optional<Options> parse_options(int argc, char** argv)
{
    Options o;
    bool requests_given = false, seconds_given = false, population_given = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--server")
            o.server = value();
        else if (a == "--requests")
            o.requests = std::atol(value()), requests_given = true;
        else if (a == "--seconds")
            o.seconds = std::atol(value()), seconds_given = true;
        else if (a == "--population")
            o.population = std::atol(value()), population_given = true;
        else if (a == "--seed")
            o.seed = unsigned(std::atol(value()));
        else if (a == "--valgrind")
            o.valgrind = true;
        else
            return usage(argv[0]);
    }
    if (o.valgrind) {
        // Long enough for idle connections to reach the server's limit.
        if (!requests_given)
            o.requests = 50'000;
        if (!seconds_given)
            o.seconds = 60;
        if (!population_given)
            o.population = 300;
    }
    if (o.server.empty() || o.requests <= 0 || o.population <= 0)
        return usage(argv[0]);
    return o;
}

}  // namespace kovari::soak
