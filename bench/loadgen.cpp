// SPDX-License-Identifier: BSD-2-Clause
// kvload: one run of the load generator against a server already running.
//
//   kvload -Pport -Wworkload [-Nsites] [-Cconnections] [-Sseconds] [-F] [-Kpid]
//   kvload -Pport -Wflood [-Sseconds] [-Rrate] [-Qqueries]
//   kvload -Pport -Wburst [-Sseconds] [-Cconnections] [-Qqueries]
//   kvload -Pport -Wpieces [-Qqueries]
//
// -F fills the table with sites 0..N-1 first; -K names the server's process
// so that its CPU time per request is reported. Workloads: new, refresh,
// churn, exact, miss, empty. Prints one line for people and one JSON line.
//
// flood: 127.0.0.2 opens -R idle connections a second (150) and holds each
// for 11 s, for -S seconds (20); burst: 127.0.0.2 keeps -C requests in
// flight (256). Either way -Q queries (80) from 127.0.0.1 are timed
// meanwhile; one line with their p50, p99, maximum and how many went
// unanswered (30 s), and for the burst the machine's listen-queue
// overflows. pieces: -Q queries (200) each written in two sends, header
// then body, and an announcement in three pieces a second apart.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/hostile.h"
#include "bench/json.h"
#include "bench/workloads.h"

namespace {

using namespace kovari::bench;

int run_hostile(const std::string& mode, const LoadOptions& opt, bool seconds_given, bool connections_given,
                int rate, int queries)
{
    HostileOptions h;
    h.port = opt.port;
    h.seconds = seconds_given ? opt.seconds : h.seconds;
    h.in_flight = connections_given ? opt.connections : h.in_flight;
    h.rate = rate > 0 ? rate : h.rate;
    h.queries = queries > 0 ? queries : mode == "pieces" ? 200 : h.queries;
    const std::string text = mode == "flood"   ? flood_text(run_flood(h))
                             : mode == "burst" ? burst_text(run_burst(h))
                                               : pieces_text(run_pieces(h));
    std::printf("%s: %s\n", mode.c_str(), text.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    LoadOptions opt;
    std::uint32_t sites = 1000;
    bool fill = false;
    std::optional<Workload> w;
    std::string hostile;
    bool seconds_given = false, connections_given = false;
    int rate = 0, queries = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.size() < 2 || a[0] != '-') {
            std::fprintf(stderr, "kvload: unexpected argument %s\n", a.c_str());
            return 2;
        }
        const std::string v = a.substr(2);
        switch (a[1]) {
        case 'P': opt.port = std::atoi(v.c_str()); break;
        case 'W':
            w = parse_workload(v);
            hostile = v == "flood" || v == "burst" || v == "pieces" ? v : "";
            break;
        case 'N': sites = std::uint32_t(std::strtoul(v.c_str(), nullptr, 10)); break;
        case 'C': opt.connections = std::atoi(v.c_str()), connections_given = true; break;
        case 'S': opt.seconds = std::atof(v.c_str()), seconds_given = true; break;
        case 'R': rate = std::atoi(v.c_str()); break;
        case 'Q': queries = std::atoi(v.c_str()); break;
        case 'F': fill = true; break;
        case 'K': opt.server_pid = pid_t(std::atoi(v.c_str())); break;
        default:
            std::fprintf(stderr, "kvload: unknown option %s\n", a.c_str());
            return 2;
        }
    }
    if (opt.port > 0 && !hostile.empty() && opt.connections >= 1)
        return run_hostile(hostile, opt, seconds_given, connections_given, rate, queries);
    if (opt.port <= 0 || !w || opt.connections < 1 || sites < 1) {
        std::fputs("usage: kvload -Pport -W{new|refresh|churn|exact|miss|empty} [-Nsites] "
                   "[-Cconnections] [-Sseconds] [-F] [-Kpid]\n"
                   "       kvload -Pport -Wflood [-Sseconds] [-Rrate] [-Qqueries]\n"
                   "       kvload -Pport -Wburst [-Sseconds] [-Cconnections] [-Qqueries]\n"
                   "       kvload -Pport -Wpieces [-Qqueries]\n",
                   stderr);
        return 2;
    }
    if (fill && fill_table(opt.port, 0, sites, opt.connections) != 0)
        std::fprintf(stderr, "kvload: some announcements of the fill failed\n");
    const LoadResult r = run_load(opt, workload_source(*w, sites, sites + 10'000'000, opt.connections));
    std::printf("%s %u sites: %.0f req/s, p50 %.1f us, p99 %.1f us, %llu errors", workload_name(*w),
                sites, r.rps, r.p50_us, r.p99_us, static_cast<unsigned long long>(r.errors));
    if (r.cpu_us_per_request >= 0)
        std::printf(", server cpu %.2f us/request", r.cpu_us_per_request);
    std::printf("\n%s\n", json_line("server", *w, sites, opt.connections, r).c_str());
    return r.requests > 0 ? 0 : 1;
}
