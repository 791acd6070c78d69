// SPDX-License-Identifier: BSD-2-Clause
#include "bench/rounds.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/hostile.h"
#include "bench/report.h"
#include "bench/workloads.h"
#include "devkit/loopback.h"
#include "devkit/files.h"
#include "devkit/procfs.h"
#include "devkit/server_process.h"

namespace kovari::bench {
namespace {

using Clock = std::chrono::steady_clock;

// A server to drive: its port and the process whose CPU time is read.
struct Target {
    const char* name;
    int port;
    pid_t pid;
};

void drive(const Settings& set, const Target& t, Workload w, const char* label, std::uint32_t sites,
           Results& res)
{
    LoadOptions opt;
    opt.port = t.port;
    opt.connections = set.connections;
    opt.seconds = set.seconds;
    opt.warmup = set.warmup;
    opt.server_pid = t.pid;
    const LoadResult r = run_load(opt, workload_source(w, sites, sites + 10'000'000, set.connections));
    add_run(res, t.name, label, sites, r);
    print_run(set, t.name, label, w, sites, r);
}

std::optional<long> rss_kb(pid_t pid)
{
    const auto status = devkit::read_proc_status(pid);
    return status && status->rss_kb >= 0 ? std::optional<long>(status->rss_kb) : std::nullopt;
}

// Fills quorind's table by the same kind of exchanges the workloads use;
// at the largest size, notes the resident memory that each site costs.
void fill(const Settings& set, const Target& q, std::uint32_t sites, Results& res)
{
    const auto rss0 = rss_kb(q.pid);
    const auto t0 = Clock::now();
    const auto errors = fill_table(q.port, 0, sites, set.connections);
    const double took = std::chrono::duration<double>(Clock::now() - t0).count();
    const auto rss1 = rss_kb(q.pid);
    std::fprintf(stderr, "  quorind filled with %u sites in %.2f s (%llu errors)\n", sites, took,
                 static_cast<unsigned long long>(errors));
    if (rss0 && rss1 && sites == set.sizes.back())
        res.rss_per_site.push_back(double(*rss1 - *rss0) * 1024.0 / double(sites));
}

// Connections that connect and send nothing, held open while they live.
// They come from four addresses other than the load's, 25 each for 100,
// so that each stays within the server's cap of waiting connections per
// address and the load's own connections never meet it.
std::vector<Fd> open_idle(int port, int count)
{
    static const char* const from[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"};
    std::vector<Fd> v;
    for (int i = 0; i < count; ++i)
        v.push_back(devkit::connect_loopback(port, from[i % 4]));
    return v;
}

// Refreshes with and without idle connections open, alternately.
void drive_with_idle(const Settings& set, const Target& q, std::uint32_t sites, Results& res)
{
    for (int k = 0; k < 2; ++k) {
        drive(set, q, Workload::refresh, "refresh-plain", sites, res);
        const auto idle = open_idle(q.port, set.idle);
        drive(set, q, Workload::refresh, "refresh+idle", sites, res);
    }
}

}  // namespace

bool run_hostile(const Settings& set)
{
    for (unsigned long limit : {1024ul, 256ul}) {
        std::fprintf(stderr, "misbehaving clients, descriptor limit %lu\n", limit);
        devkit::ServerProcess quorind;
        devkit::ServerLaunch how;
        how.binary = set.quorind;
        how.open_files = devkit::OpenFileLimit{limit, limit};
        if (!devkit::launch_server(quorind, how)) {
            std::fprintf(stderr, "kvbench: quorind did not start\n");
            return false;
        }
        HostileOptions h;
        h.port = quorind.port;
        h.seconds = set.hostile_seconds;
        h.queries = set.hostile_queries;
        std::printf("descriptor limit %lu, flood of %d idle connections a second from %s for %.0f s: %s\n", limit,
                    h.rate, h.other, h.seconds, flood_text(run_flood(h)).c_str());
        std::printf("descriptor limit %lu, burst of %d requests in flight from %s for %.0f s: %s\n", limit,
                    h.in_flight, h.other, h.seconds, burst_text(run_burst(h)).c_str());
        if (limit == 1024) {
            h.queries = set.pieces_queries;
            std::printf("requests in pieces: %s\n", pieces_text(run_pieces(h)).c_str());
        }
    }
    return true;
}

bool run_round(const Settings& set, std::uint32_t sites, int round, Results& res)
{
    // The outputs that --server-option asks for go to a folder of the round.
    devkit::TempDir dir("kvbench-outputs");
    // -C0: every site of the load comes from 127.0.0.1, more than one
    // address may hold by default.
    std::vector<std::string> options{"-C0"};
    for (std::string opt : set.server_options) {
        for (std::size_t at; (at = opt.find("{dir}")) != std::string::npos;)
            opt.replace(at, 5, dir.path());
        options.push_back(opt);
    }
    devkit::ServerProcess quorind, ref;
    if (!dir.valid() || !devkit::start_server(quorind, set.quorind, options)) {
        std::fprintf(stderr, "kvbench: quorind did not start\n");
        return false;
    }
    // kvref takes -P as quorind does: port 0 is read back the same way.
    if (!devkit::start_server(ref, set.ref, {})) {
        std::fprintf(stderr, "kvbench: the reference server did not start\n");
        return false;
    }
    const Target q{"quorind", quorind.port, quorind.child.pid};
    const Target r{"ref", ref.port, ref.child.pid};
    fill(set, q, sites, res);
    // The two runs of a pair see the same neighbours on the machine; the
    // order within the pairs alternates from round to round.
    for (Workload w : kAllWorkloads)
        for (int k = 0; k < 2; ++k)
            drive(set, (k + round) % 2 == 0 ? q : r, w, workload_name(w), sites, res);
    if (sites == set.sizes.front() && set.idle > 0)
        drive_with_idle(set, q, sites, res);
    return true;
}

}  // namespace kovari::bench
