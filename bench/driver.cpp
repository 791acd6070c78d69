// kvbench: the benchmark that `make bench` runs. It starts quorind and the
// reference server (kvref) several times each, drives every workload
// against one after the other with the closed-loop load generator, and
// prints one table of medians with the ratios quorind / reference. It also
// measures quorind's resident memory per site, its throughput with idle
// connections held open, and, in this process, the time to write the HTML
// pages and the cost of each request without the network, and last what
// misbehaving clients cost the others (bench/hostile.h). The command line
// is in settings.h.
#include <cstdio>

#include "bench/in_process.h"
#include "bench/json.h"
#include "bench/report.h"
#include "bench/rounds.h"
#include "bench/settings.h"

int main(int argc, char** argv)
{
    using namespace kovari::bench;
    const auto set = parse_settings(argc, argv);
    if (!set)
        return 2;
    Results res;
    for (int rep = 1; rep <= set->reps; ++rep) {
        std::fprintf(stderr, "round %d of %d\n", rep, set->reps);
        for (std::uint32_t sites : set->sizes)
            if (!run_round(*set, sites, rep, res))
                return 1;
    }
    const InProcess inproc = run_in_process(set->sizes.back());
    if (set->reps == 0) {
        print_in_process(set->sizes.back(), inproc);
        return 0;
    }
    print_table(*set, res, inproc);
    print_targets(*set, res, inproc);
    std::printf("%s\n", json_summary(*set, res, inproc).c_str());
    if (set->hostile_seconds > 0 && !run_hostile(*set))
        return 1;
    return 0;
}
