// SPDX-License-Identifier: BSD-2-Clause
#include "bench/settings.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace kovari::bench {
namespace {

std::optional<Settings> usage()
{
    std::fputs("usage: kvbench --quorind PATH --ref PATH [--seconds S] [--reps R] [--sizes N,N..]\n"
               "               [--connections C] [--idle N] [--hostile S] [--lag S] [--large N] [--syscalls 0|1]\n"
               "               [--writes] [--falsehit] [--json] [--smoke] [--server-option OPT]...\n"
               "               [--collide N,N..] [--collide-only]\n"
               "       kvbench --large-only N\n",
               stderr);
    return std::nullopt;
}

std::vector<std::uint32_t> parse_sizes(const std::string& v)
{
    std::vector<std::uint32_t> sizes;
    for (std::size_t p = 0; p < v.size();) {
        const auto q = v.find(',', p);
        sizes.push_back(std::uint32_t(std::strtoul(v.substr(p, q - p).c_str(), nullptr, 10)));
        p = q == std::string::npos ? v.size() : q + 1;
    }
    return sizes;
}

void make_smoke(Settings& set)
{
    set.seconds = 0.2;
    set.warmup = 0.05;
    set.reps = 1;
    set.sizes = {50, 500};
    set.idle = 10;
    set.hostile_seconds = 1;
    set.hostile_queries = 10;
    set.pieces_queries = 10;
    set.lag_seconds = 2;
    set.large = 5000;
    set.falsehit_sizes = {2000};
    set.falsehit_seconds = 0.5;
    set.collide_sizes = {2000};
    set.collide_pairs = 100;
}

}  // namespace

std::optional<Settings> parse_settings(int argc, char** argv)
{
    Settings set;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--quorind")
            set.quorind = value();
        else if (a == "--ref")
            set.ref = value();
        else if (a == "--seconds")
            set.seconds = std::atof(value().c_str());
        else if (a == "--reps")
            set.reps = std::atoi(value().c_str());
        else if (a == "--connections")
            set.connections = std::atoi(value().c_str());
        else if (a == "--idle")
            set.idle = std::atoi(value().c_str());
        else if (a == "--hostile")
            set.hostile_seconds = std::atof(value().c_str());
        else if (a == "--lag")
            set.lag_seconds = std::atof(value().c_str());
        else if (a == "--large")
            set.large = std::uint32_t(std::strtoul(value().c_str(), nullptr, 10));
        else if (a == "--large-only") {
            set.large = std::uint32_t(std::strtoul(value().c_str(), nullptr, 10));
            set.large_only = true;
        } else if (a == "--syscalls")
            set.syscalls = std::atoi(value().c_str()) != 0;
        else if (a == "--writes")
            set.writes_only = true;
        else if (a == "--falsehit")
            set.falsehit_only = true;
        else if (a == "--json")
            set.json = true;
        else if (a == "--smoke")
            make_smoke(set);
        else if (a == "--sizes")
            set.sizes = parse_sizes(value());
        else if (a == "--collide")
            set.collide_sizes = parse_sizes(value());
        else if (a == "--collide-only")
            set.collide_only = true;
        else if (a == "--server-option")
            set.server_options.push_back(value());
        else
            return usage();
    }
    if (set.large_only)
        return set.large > 0 ? std::optional<Settings>(set) : usage();
    if (set.quorind.empty() || set.ref.empty() || set.sizes.empty() || set.reps < 0 ||
        set.connections < 1 || set.seconds <= 0 || set.hostile_seconds < 0 || set.lag_seconds < 0)
        return usage();
    std::sort(set.sizes.begin(), set.sizes.end());
    std::erase(set.collide_sizes, 0u);
    std::sort(set.collide_sizes.begin(), set.collide_sizes.end());
    return set;
}

}  // namespace kovari::bench
