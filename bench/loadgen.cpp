// kvload: one run of the load generator against a server already running.
//
//   kvload -Pport -Wworkload [-Nsites] [-Cconnections] [-Sseconds] [-F] [-Kpid]
//
// -F fills the table with sites 0..N-1 first; -K names the server's process
// so that its CPU time per request is reported. Workloads: new, refresh,
// churn, exact, miss, empty. Prints one line for people and one JSON line.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/json.h"
#include "bench/workloads.h"

int main(int argc, char** argv)
{
    using namespace kovari::bench;
    LoadOptions opt;
    std::uint32_t sites = 1000;
    bool fill = false;
    std::optional<Workload> w;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.size() < 2 || a[0] != '-') {
            std::fprintf(stderr, "kvload: unexpected argument %s\n", a.c_str());
            return 2;
        }
        const std::string v = a.substr(2);
        switch (a[1]) {
        case 'P': opt.port = std::atoi(v.c_str()); break;
        case 'W': w = parse_workload(v); break;
        case 'N': sites = std::uint32_t(std::strtoul(v.c_str(), nullptr, 10)); break;
        case 'C': opt.connections = std::atoi(v.c_str()); break;
        case 'S': opt.seconds = std::atof(v.c_str()); break;
        case 'F': fill = true; break;
        case 'K': opt.server_pid = pid_t(std::atoi(v.c_str())); break;
        default:
            std::fprintf(stderr, "kvload: unknown option %s\n", a.c_str());
            return 2;
        }
    }
    if (opt.port <= 0 || !w || opt.connections < 1 || sites < 1) {
        std::fputs("usage: kvload -Pport -W{new|refresh|churn|exact|miss|empty} [-Nsites] "
                   "[-Cconnections] [-Sseconds] [-F] [-Kpid]\n",
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
