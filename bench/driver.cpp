// kvbench: the benchmark that `make bench` runs. It starts quorind and the
// reference server (kvref) several times each, drives every workload
// against one after the other with the closed-loop load generator, and
// prints one table of medians with the ratios quorind / reference. It also
// measures quorind's resident memory per site, its throughput with idle
// connections held open, and, in this process, the time to write the HTML
// pages and the cost of each request without the network.
//
//   kvbench --quorind PATH --ref PATH [--seconds S] [--reps R]
//           [--sizes N,N..] [--connections C] [--idle N] [--json] [--smoke]
//
// --reps 0 gives only the in-process figures, for the largest size.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "load.h"
#include "server/server.h"
#include "sites.h"
#include "devkit/files.h"
#include "devkit/loopback.h"
#include "devkit/process.h"
#include "devkit/server_process.h"

namespace {

using namespace kovari;
using namespace kovari::bench;
using Clock = std::chrono::steady_clock;

struct Settings {
    std::string quorind;
    std::string ref;
    double seconds = 2.0;
    double warmup = 0.3;
    int reps = 5;
    std::vector<std::uint32_t> sizes = {1000, 100000};
    int connections = 8;
    int idle = 100;
    bool json = false;
};

struct Key {
    std::string server;
    std::string workload;
    std::uint32_t sites;
    bool operator<(const Key& o) const
    {
        return std::tie(server, workload, sites) < std::tie(o.server, o.workload, o.sites);
    }
};

struct Samples {
    std::vector<double> rps, p50, p99, cpu;
    std::uint64_t errors = 0;
};

double median(std::vector<double> v)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

std::map<Key, Samples> results;
std::vector<double> rss_per_site;

void record(const Settings& set, const std::string& server, const std::string& workload,
            std::uint32_t sites, const LoadOptions& opt, Workload w, const LoadResult& r)
{
    auto& s = results[{server, workload, sites}];
    s.rps.push_back(r.rps);
    s.p50.push_back(r.p50_us);
    s.p99.push_back(r.p99_us);
    if (r.cpu_us_per_request >= 0)
        s.cpu.push_back(r.cpu_us_per_request);
    s.errors += r.errors;
    if (set.json)
        std::printf("%s\n", json_line(server, w, sites, opt, r).c_str());
    else
        std::fprintf(stderr, "  %-8s %-8s %6u sites: %8.0f req/s p50 %7.1f us p99 %8.1f us cpu %6.2f us/req errors %llu\n",
                     server.c_str(), workload.c_str(), sites, r.rps, r.p50_us, r.p99_us,
                     r.cpu_us_per_request, static_cast<unsigned long long>(r.errors));
}

LoadResult drive(const Settings& set, int port, pid_t pid, Workload w, std::uint32_t sites)
{
    LoadOptions opt;
    opt.port = port;
    opt.connections = set.connections;
    opt.seconds = set.seconds;
    opt.warmup = set.warmup;
    opt.server_pid = pid;
    return run_load(opt, workload_source(w, sites, sites + 10'000'000, set.connections));
}

// Connections that connect and send nothing, held open while they live.
std::vector<Fd> open_idle(int port, int count)
{
    std::vector<Fd> v;
    for (int i = 0; i < count; ++i)
        v.push_back(devkit::connect_loopback(port));
    return v;
}

// One round at one table size: quorind (filled first) and the reference
// both listen; each workload runs against one, then the other, so that the
// two figures of a pair see the same neighbours on the machine. The order
// within the pairs alternates from round to round.
void run_round(const Settings& set, std::uint32_t sites, int round)
{
    devkit::ServerProcess s;
    if (!devkit::start_server(s, set.quorind, {})) {
        std::fprintf(stderr, "kvbench: quorind did not start\n");
        std::exit(1);
    }
    const pid_t pid = s.child.pid;
    const int ref_port = devkit::free_port();
    devkit::Child ref = devkit::start_child({set.ref, "-P" + std::to_string(ref_port)});
    if (!devkit::wait_listening(ref_port, 5000)) {
        std::fprintf(stderr, "kvbench: the reference server did not start\n");
        devkit::stop_child(ref);
        std::exit(1);
    }
    // The table is filled by the same kind of exchanges the workloads use.
    const auto rss0 = process_rss_kb(pid);
    const auto t0 = Clock::now();
    const auto fill_errors = fill_table(s.port, 0, sites, set.connections);
    const double fill_s = std::chrono::duration<double>(Clock::now() - t0).count();
    const auto rss1 = process_rss_kb(pid);
    std::fprintf(stderr, "  quorind filled with %u sites in %.2f s (%llu errors)\n", sites, fill_s,
                 static_cast<unsigned long long>(fill_errors));
    if (rss0 && rss1 && sites == set.sizes.back())
        rss_per_site.push_back(double(*rss1 - *rss0) * 1024.0 / double(sites));

    LoadOptions opt;
    opt.connections = set.connections;
    for (Workload w : kAllWorkloads) {
        for (int k = 0; k < 2; ++k) {
            if ((k + round) % 2 == 0)
                record(set, "quorind", workload_name(w), sites, opt, w, drive(set, s.port, pid, w, sites));
            else
                record(set, "ref", workload_name(w), sites, opt, w, drive(set, ref_port, ref.pid, w, sites));
        }
    }
    // Idle connections: refreshes with and without them, alternately.
    if (sites == set.sizes.front() && set.idle > 0) {
        for (int k = 0; k < 2; ++k) {
            record(set, "quorind", "refresh-plain", sites, opt, Workload::refresh,
                   drive(set, s.port, pid, Workload::refresh, sites));
            const auto idle = open_idle(s.port, set.idle);
            record(set, "quorind", "refresh+idle", sites, opt, Workload::refresh,
                   drive(set, s.port, pid, Workload::refresh, sites));
        }
    }
    devkit::stop_child(ref);
    devkit::stop_child(s.child);
}

Site site_record(std::uint32_t id, std::time_t now)
{
    const devkit::Announcement a = bench_site(id);
    Site s;
    s.ssrc = a.ssrc;
    s.ip = devkit::ipv4("10.1.2.3");
    s.port = std::int16_t(*a.port);
    s.time = now - std::time_t(id % 600);
    s.cname = a.cname;
    s.name = a.name;
    s.email = a.email;
    s.phone = a.phone;
    s.loc = a.loc;
    return s;
}

struct InProcess {
    double pages_ms = -1;  // both pages
    double public_ms = -1, private_ms = -1;
    std::map<std::string, double> us_per_request;  // by workload
};

// The page writer and the request path in this process, without sockets.
InProcess run_in_process(std::uint32_t sites)
{
    InProcess res;
    Server srv;
    std::FILE* null = std::fopen("/dev/null", "w");
    srv.out = null;
    srv.err = null;
    const std::time_t now = std::time(nullptr);
    for (std::uint32_t i = 0; i < sites; ++i)
        enter_site(srv, site_record(i, now), now);

    // Each page on its own, as update_html writes it when only that page
    // is configured, three times; the medians, and their sum for both.
    char dir[] = "/tmp/kvbench-pages-XXXXXX";
    if (::mkdtemp(dir) != nullptr) {
        std::vector<double> times[2];
        bool written = true;
        for (int round = 0; round < 3; ++round) {
            for (bool private_page : {false, true}) {
                const std::string base = std::string(dir) + (private_page ? "/private" : "/public");
                (private_page ? srv.settings.private_base : srv.settings.public_base) = base;
                srv.settings.html_interval = 0;
                srv.html.table_changed = true;
                const auto t0 = Clock::now();
                update_html(srv, now);
                times[private_page].push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
                written = written && ::access((base + ".html").c_str(), F_OK) == 0;
                ::unlink((base + ".html").c_str());
                srv.settings.public_base.reset();
                srv.settings.private_base.reset();
            }
        }
        ::rmdir(dir);
        res.public_ms = median(times[0]);
        res.private_ms = median(times[1]);
        if (written)
            res.pages_ms = res.public_ms + res.private_ms;
    }

    RequestBuffer buf;
    for (Workload w : kAllWorkloads) {
        const int per_slot = 1;
        auto src = workload_source(w, sites, sites + 10'000'000, per_slot);
        // As many requests as fit in half a second, at most 20,000.
        int rounds = 0;
        const auto t0 = Clock::now();
        for (; rounds < 20000 && (rounds % 16 != 0 || Clock::now() - t0 < std::chrono::milliseconds(500));
             ++rounds) {
            devkit::Bytes req;
            Expect expect;
            src(0, req, expect);
            std::memcpy(buf.bytes, req.data(), req.size());
            handle_packet(srv, buf, long(req.size()), devkit::ipv4("127.0.0.1"), 40000, now);
        }
        res.us_per_request[workload_name(w)] =
            std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / rounds;
    }
    std::fclose(null);
    return res;
}

void print_table(const Settings& set, const InProcess& inproc)
{
    std::printf("\nMedians of %d runs, %d exchanges in flight, %.1f s each; cpu = server's user+system "
                "time per request.\n\n",
                set.reps, set.connections, set.seconds);
    std::printf("%-8s %7s | %9s %8s %8s %8s | %9s %8s %8s %8s | %7s %7s | %6s\n", "workload",
                "sites", "quorind/s", "p50 us", "p99 us", "cpu us", "ref/s", "p50 us", "p99 us",
                "cpu us", "ratio/s", "cpu x", "errors");
    for (std::uint32_t sites : set.sizes) {
        for (Workload w : kAllWorkloads) {
            const auto& q = results[{"quorind", workload_name(w), sites}];
            const auto& r = results[{"ref", workload_name(w), sites}];
            const double qr = median(q.rps), rr = median(r.rps);
            const double qc = median(q.cpu), rc = median(r.cpu);
            std::printf("%-8s %7u | %9.0f %8.1f %8.1f %8.2f | %9.0f %8.1f %8.1f %8.2f | %7.2f %7.2f | %6llu\n",
                        workload_name(w), sites, qr, median(q.p50), median(q.p99), qc, rr,
                        median(r.p50), median(r.p99), rc, rr > 0 ? qr / rr : 0,
                        rc > 0 ? qc / rc : 0, static_cast<unsigned long long>(q.errors + r.errors));
        }
    }
    std::printf("\n");
    if (!rss_per_site.empty())
        std::printf("resident memory per site at %u sites: %.0f bytes\n", set.sizes.back(),
                    median(rss_per_site));
    if (inproc.pages_ms >= 0)
        std::printf("HTML pages at %u sites: %.1f ms for both (public %.1f ms, private %.1f ms)\n",
                    set.sizes.back(), inproc.pages_ms, inproc.public_ms, inproc.private_ms);
    else
        std::printf("HTML pages at %u sites: not written (no page writer)\n", set.sizes.back());
    const auto& plain = results[{"quorind", "refresh-plain", set.sizes.front()}];
    const auto& idle = results[{"quorind", "refresh+idle", set.sizes.front()}];
    if (!idle.rps.empty())
        std::printf("refresh at %u sites with %d idle connections open: %.0f req/s, %.2f of the %.0f "
                    "without\n",
                    set.sizes.front(), set.idle, median(idle.rps), median(idle.rps) / median(plain.rps),
                    median(plain.rps));
    std::printf("in-process cost per request at %u sites (us):", set.sizes.back());
    for (Workload w : kAllWorkloads)
        std::printf(" %s %.2f", workload_name(w), inproc.us_per_request.at(workload_name(w)));
    std::printf("\n");
}

// The table's figures again, as one JSON object on one line.
void print_json_summary(const Settings& set, const InProcess& inproc)
{
    std::string j = "{\"rounds\":" + std::to_string(set.reps) + ",\"rows\":[";
    bool first = true;
    for (std::uint32_t sites : set.sizes) {
        for (Workload w : kAllWorkloads) {
            const auto& q = results[{"quorind", workload_name(w), sites}];
            const auto& r = results[{"ref", workload_name(w), sites}];
            char row[512];
            std::snprintf(row, sizeof row,
                          "%s{\"workload\":\"%s\",\"sites\":%u,\"quorind\":{\"rps\":%.1f,\"p50_us\":%.1f,"
                          "\"p99_us\":%.1f,\"cpu_us\":%.2f},\"ref\":{\"rps\":%.1f,\"p50_us\":%.1f,"
                          "\"p99_us\":%.1f,\"cpu_us\":%.2f},\"errors\":%llu}",
                          first ? "" : ",", workload_name(w), sites, median(q.rps), median(q.p50),
                          median(q.p99), median(q.cpu), median(r.rps), median(r.p50), median(r.p99),
                          median(r.cpu), static_cast<unsigned long long>(q.errors + r.errors));
            j += row;
            first = false;
        }
    }
    const auto& plain = results[{"quorind", "refresh-plain", set.sizes.front()}];
    const auto& idle = results[{"quorind", "refresh+idle", set.sizes.front()}];
    char tail[256];
    std::snprintf(tail, sizeof tail,
                  "],\"rss_bytes_per_site\":%.0f,\"pages_ms\":%.1f,\"idle_rps\":%.1f,\"plain_rps\":%.1f}",
                  median(rss_per_site), inproc.pages_ms, median(idle.rps), median(plain.rps));
    j += tail;
    std::printf("%s\n", j.c_str());
}

void print_targets(const Settings& set, const InProcess& inproc)
{
    const auto ratio = [&](Workload w, std::uint32_t sites, bool cpu) {
        const auto& q = results[{"quorind", workload_name(w), sites}];
        const auto& r = results[{"ref", workload_name(w), sites}];
        return cpu ? median(q.cpu) / median(r.cpu) : median(q.rps) / median(r.rps);
    };
    const auto say = [](bool ok, const std::string& what) {
        std::printf("  %-6s %s\n", ok ? "holds" : "MISSES", what.c_str());
    };
    std::printf("\nTargets:\n");
    const std::uint32_t small = set.sizes.front(), large = set.sizes.back();
    bool all_small = true;
    for (Workload w : kAllWorkloads)
        all_small = all_small && ratio(w, small, false) >= 0.9 && ratio(w, small, true) <= 1.3;
    say(all_small, "at " + std::to_string(small) + " sites every workload >= 0.9 of the reference's "
                   "req/s and <= 1.3 x its cpu per request");
    bool large_ok = true;
    for (Workload w : {Workload::refresh, Workload::churn, Workload::query_exact})
        large_ok = large_ok && ratio(w, large, false) >= 0.8 && ratio(w, large, true) <= 1.5;
    say(large_ok, "at " + std::to_string(large) + " sites refresh, churn, exact >= 0.8 of the "
                  "reference's req/s and <= 1.5 x its cpu per request");
    say(median(results[{"quorind", "miss", large}].p50) < 1000,
        "a query that matches nothing at " + std::to_string(large) + " sites: p50 < 1 ms");
    say(inproc.pages_ms >= 0 && inproc.pages_ms < 200, "pages at " + std::to_string(large) + " sites < 200 ms");
    say(!rss_per_site.empty() && median(rss_per_site) < 400, "resident memory < 400 bytes per site");
    const auto& plain = results[{"quorind", "refresh-plain", small}];
    const auto& idle = results[{"quorind", "refresh+idle", small}];
    say(!idle.rps.empty() && median(idle.rps) >= 0.9 * median(plain.rps),
        "with " + std::to_string(set.idle) + " idle connections >= 0.9 of the throughput without");
}

int usage()
{
    std::fputs("usage: kvbench --quorind PATH --ref PATH [--seconds S] [--reps R] [--sizes N,N..]\n"
               "               [--connections C] [--idle N] [--json] [--smoke]\n",
               stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
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
        else if (a == "--json")
            set.json = true;
        else if (a == "--smoke") {
            set.seconds = 0.2;
            set.warmup = 0.05;
            set.reps = 1;
            set.sizes = {50, 500};
            set.idle = 10;
        } else if (a == "--sizes") {
            set.sizes.clear();
            const std::string v = value();
            for (std::size_t p = 0; p < v.size();) {
                const auto q = v.find(',', p);
                set.sizes.push_back(std::uint32_t(std::stoul(v.substr(p, q - p))));
                p = q == std::string::npos ? v.size() : q + 1;
            }
        } else
            return usage();
    }
    if (set.quorind.empty() || set.ref.empty() || set.sizes.empty() || set.reps < 0 ||
        set.connections < 1 || set.seconds <= 0)
        return usage();
    std::sort(set.sizes.begin(), set.sizes.end());

    for (int rep = 1; rep <= set.reps; ++rep) {
        std::fprintf(stderr, "round %d of %d\n", rep, set.reps);
        for (std::uint32_t sites : set.sizes)
            run_round(set, sites, rep);
    }
    const InProcess inproc = run_in_process(set.sizes.back());
    if (set.reps == 0) {  // the in-process figures alone
        std::printf("HTML pages at %u sites: %.1f ms (public %.1f, private %.1f)\nin-process cost per "
                    "request (us):",
                    set.sizes.back(), inproc.pages_ms, inproc.public_ms, inproc.private_ms);
        for (const auto& [w, us] : inproc.us_per_request)
            std::printf(" %s %.2f", w.c_str(), us);
        std::printf("\n");
        return 0;
    }
    print_table(set, inproc);
    print_targets(set, inproc);
    print_json_summary(set, inproc);
    return 0;
}
