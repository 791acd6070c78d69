// SPDX-License-Identifier: BSD-2-Clause
#include "bench/falsehit.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <thread>

#include "bench/sites.h"
#include "common/report.h"
#include "devkit/packets.h"
#include "devkit/procfs.h"
#include "devkit/server_process.h"

namespace kovari::bench {
namespace {

constexpr const char* kQuery = "abcd";
constexpr const char* kAligned = "efgh";
constexpr const char* kAttacker = "127.0.0.9";
constexpr const char* kOrdinary = "127.0.0.1";

devkit::Announcement false_site(std::uint32_t n)
{
    devkit::Announcement a;
    a.ssrc = bench_ssrc(20'000'000 + n);
    a.cname = format("efgXXXXXXfgh%u@h%u", n, n / kSitesPerAddress);
    a.name = format("abcXbcd %u", n);
    a.port = 5004;
    return a;
}

// Announces the false candidates, each address's thousand in one run.
std::uint64_t fill_false(int port, std::uint32_t sites)
{
    return send_from_many_addresses(port, sites, [](std::uint32_t n) { return devkit::announcement(false_site(n)); });
}

RequestSource attack_source(const char* query = kQuery)
{
    return [query](int, devkit::Bytes& req, Expect& expect) {
        req = devkit::query_packet(query);
        expect = Expect::reply;
        return true;
    };
}

// An ordinary voice program: its announcement, then a lookup of it, one
// exchange at a time. Its own sites, numbered apart from the bench's.
RequestSource ordinary_source()
{
    auto k = std::make_shared<std::uint32_t>(0);
    return [k](int, devkit::Bytes& req, Expect& expect) {
        const std::uint32_t id = 5'000'000 + (*k / 2) % 500;
        if (*k % 2 == 0) {
            req = devkit::announcement(bench_site(id));
            expect = Expect::nothing;
        } else {
            req = devkit::query_packet(exact_query(id));
            expect = Expect::reply;
        }
        ++*k;
        return true;
    };
}

LoadOptions options_for(int port, pid_t pid, int connections, double seconds, const char* from)
{
    LoadOptions opt;
    opt.port = port;
    opt.connections = connections;
    opt.seconds = seconds;
    opt.warmup = 0.2;
    opt.server_pid = pid;
    opt.local_ip = from;
    return opt;
}

}  // namespace

FalsehitResult run_falsehit(const std::string& binary, const std::vector<std::string>& options,
                            std::uint32_t sites, double seconds)
{
    FalsehitResult r;
    r.sites = sites;
    devkit::ServerProcess server;
    if (!devkit::start_server(server, binary, options))
        return r;
    const int port = server.port;
    const pid_t pid = server.child.pid;
    r.fill_errors = fill_false(port, sites);
    r.query = run_load(options_for(port, pid, 1, seconds, kAttacker), attack_source());
    // Exchanges without a reply count as failed, so its CPU is read here.
    const auto cpu0 = devkit::read_proc_stat(pid);
    LoadOptions aligned = options_for(port, -1, 1, seconds, kAttacker);
    aligned.warmup = 0;  // the CPU read around it is all counted
    r.aligned = run_load(aligned, attack_source(kAligned));
    const auto cpu1 = devkit::read_proc_stat(pid);
    const auto exchanges = r.aligned.requests + r.aligned.errors;
    if (cpu0 && cpu1 && exchanges > 0)
        r.aligned_cpu_us = (devkit::cpu_us(*cpu1) - devkit::cpu_us(*cpu0)) / double(exchanges);
    r.pairs_alone = run_load(options_for(port, pid, 1, seconds, kOrdinary), ordinary_source());
    std::thread attacker([&] { r.attack = run_load(options_for(port, -1, 8, seconds + 0.4, kAttacker), attack_source()); });
    r.pairs_attacked = run_load(options_for(port, -1, 1, seconds, kOrdinary), ordinary_source());
    attacker.join();
    return r;
}

std::string falsehit_text(const char* server, const FalsehitResult& r)
{
    return format("%-8s %7u sites (%llu fill errors): query '%s' %8.1f us CPU, %6.0f/s; query '%s' %8.1f us CPU, "
                  "%6.0f/s, %llu of %llu without reply; ordinary pair alone "
                  "%6.0f req/s p99 %6.2f ms; beside 8 such queries in flight %6.0f req/s p99 %6.2f ms "
                  "(the queries %5.0f/s, %llu errors)",
                  server, r.sites, static_cast<unsigned long long>(r.fill_errors), kQuery,
                  r.query.cpu_us_per_request, r.query.rps, kAligned, r.aligned_cpu_us, r.aligned.rps,
                  static_cast<unsigned long long>(r.aligned.errors),
                  static_cast<unsigned long long>(r.aligned.requests + r.aligned.errors), r.pairs_alone.rps, r.pairs_alone.p99_us / 1000,
                  r.pairs_attacked.rps, r.pairs_attacked.p99_us / 1000, r.attack.rps,
                  static_cast<unsigned long long>(r.attack.errors));
}

}  // namespace kovari::bench
