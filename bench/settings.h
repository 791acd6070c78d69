// SPDX-License-Identifier: BSD-2-Clause
// kvbench's command line:
//
//   kvbench --quorind PATH --ref PATH [--seconds S] [--reps R]
//           [--sizes N,N..] [--connections C] [--idle N] [--hostile S]
//           [--lag S] [--large N] [--syscalls 0|1] [--writes] [--json] [--smoke]
//           [--server-option OPT]...
//   kvbench --large-only N
//
// --reps 0 gives only the in-process figures, for the largest size;
// --hostile 0 leaves out the misbehaving clients (S seconds each, 20 by
// default); --lag 0 leaves out the page lag run (S seconds, 15 by
// default); --large 0 leaves out the figures of a large table (N sites,
// 1,000,000 by default); --syscalls 0 leaves out the count of system
// calls per request (strace); --writes gives only the figures of the page and
// state writes (the page lag, the write starts, the state file at start,
// the large table) at the largest size; --falsehit gives only the figures
// of the false-candidate attack (bench/falsehit.h); --smoke is a short run
// on tiny tables. --server-option adds OPT to the command line of the quorind that
// the workloads are run against (each round's own), with every "{dir}" in
// it replaced by a temporary folder of that run: --server-option
// -X{dir}/quorind measures the server writing its metrics file.
// --collide N,N.. gives the sizes of the hash-flooding run (bench/collide.h;
// 100,000 and 250,000 sites by default, 0 leaves it out); --collide-only
// runs it alone.
// --large-only N gives the large table's figures alone, as one JSON line:
// kvbench runs itself so, for a fresh process whose memory is the table's.
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
    double lag_seconds = 15;      // the page lag run, at the largest size
    int lag_rate = 10;            // new sites a second during it
    std::uint32_t large = 1'000'000;  // sites of the large table
    bool large_only = false;      // --large-only
    bool writes_only = false;     // --writes
    bool falsehit_only = false;   // --falsehit
    std::vector<std::uint32_t> falsehit_sizes = {100000, 250000};  // false candidates
    double falsehit_seconds = 3;  // each of its runs
    bool syscalls = true;         // --syscalls: traced with strace when it is installed
    bool json = false;
    std::vector<std::uint32_t> collide_sizes = {100000, 250000};  // sorted; empty: none
    std::uint32_t collide_pairs = 10000;  // announce+query pairs timed after each fill
    bool collide_only = false;    // --collide-only
    std::vector<std::string> server_options;  // --server-option
};

// The settings, or nullopt after the usage text went to standard error.
std::optional<Settings> parse_settings(int argc, char** argv);

}  // namespace kovari::bench
