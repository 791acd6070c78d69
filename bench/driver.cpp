// SPDX-License-Identifier: BSD-2-Clause
// kvbench: the benchmark that `make bench` runs. It starts quorind and the
// reference server (kvref) several times each, drives every workload
// against one after the other with the closed-loop load generator, and
// prints one table of medians with the ratios quorind / reference. It also
// measures quorind's resident memory per site, its throughput with idle
// connections held open, and, in this process, the time to write the HTML
// pages and the cost of each request without the network; then the writes
// away from the request path: the page lag under -I0 (bench/page_lag.h),
// what starting a write costs, loading the state file, and a large table
// (bench/state_writes.h); the system calls per request of both servers
// (bench/syscalls.h); the hash-flooding attack (bench/collide.h); what
// misbehaving clients cost the others (bench/hostile.h); and last the
// false-candidate attack (bench/falsehit.h). The command line is in settings.h.
#include <cstdio>

#include "bench/collide.h"
#include "bench/falsehit.h"
#include "bench/in_process.h"
#include "bench/json.h"
#include "bench/page_lag.h"
#include "bench/report.h"
#include "bench/rounds.h"
#include "bench/settings.h"
#include "bench/state_writes.h"
#include "bench/syscalls.h"

namespace {

using namespace kovari::bench;

// The writes away from the request path, at the largest size, and the
// large table. The write starts come first: the cost of a fork grows with
// this process's memory, which should be that of the table, as in quorind.
void run_writes(const Settings& set, Results& res)
{
    const std::uint32_t largest = set.sizes.back();
    std::fprintf(stderr, "write starts and state file, %u sites\n", largest);
    res.stalls = run_write_stalls(largest);
    res.state_start = run_state_start(set, largest);
    if (set.lag_seconds > 0)
        res.page_lag = run_page_lag(set, largest);
    if (set.large > 0)
        res.large = run_large_apart(set.large, set.quorind);
}

// The false-candidate attack against both servers at each size.
void run_falsehits(const Settings& set)
{
    for (std::uint32_t sites : set.falsehit_sizes) {
        for (const auto* server : {"quorind", "ref"}) {
            std::fprintf(stderr, "false candidates, %s, %u sites\n", server, sites);
            const bool ours = server[0] == 'q';
            const FalsehitResult r = run_falsehit(ours ? set.quorind : set.ref, {}, sites, set.falsehit_seconds);
            std::printf("falsehit %s\n", falsehit_text(server, r).c_str());
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const auto set = parse_settings(argc, argv);
    if (!set)
        return 2;
    if (set->large_only) {
        std::printf("%s\n", large_json(run_large_table(set->large, set->quorind)).c_str());
        return 0;
    }
    if (set->falsehit_only) {
        run_falsehits(*set);
        return 0;
    }
    if (set->collide_only)
        return set->collide_sizes.empty() || !run_collide(*set).empty() ? 0 : 1;
    Results res;
    if (set->writes_only) {
        run_writes(*set, res);
        print_writes(*set, res);
        std::printf("\nTargets:\n");
        print_write_targets(*set, res);
        std::printf("%s\n", json_writes(res).c_str());
        return 0;
    }
    for (int rep = 1; rep <= set->reps; ++rep) {
        std::fprintf(stderr, "round %d of %d\n", rep, set->reps);
        for (std::uint32_t sites : set->sizes)
            if (!run_round(*set, sites, rep, res))
                return 1;
    }
    if (set->reps == 0) {
        const InProcess inproc = run_in_process(set->sizes.back());
        print_in_process(set->sizes.back(), inproc);
        return 0;
    }
    if (set->syscalls)
        res.syscalls = run_syscall_counts(*set);
    run_writes(*set, res);
    const InProcess inproc = run_in_process(set->sizes.back());
    print_table(*set, res, inproc);
    print_targets(*set, res, inproc);
    std::printf("%s\n", json_summary(*set, res, inproc).c_str());
    if (!set->collide_sizes.empty() && run_collide(*set).empty())
        return 1;
    if (set->hostile_seconds > 0 && !run_hostile(*set))
        return 1;
    run_falsehits(*set);
    return 0;
}
