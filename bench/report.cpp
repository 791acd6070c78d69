// SPDX-License-Identifier: BSD-2-Clause
#include "bench/report.h"

#include <cstdio>

#include "bench/json.h"
#include "common/report.h"

namespace kovari::bench {
namespace {

void print_row(Workload w, std::uint32_t sites, const Samples& q, const Samples& r)
{
    const double qr = median(q.rps), rr = median(r.rps);
    const double qc = median(q.cpu), rc = median(r.cpu);
    std::printf("%-8s %7u | %9.0f %8.1f %8.1f %8.2f | %9.0f %8.1f %8.1f %8.2f | %7.2f %7.2f | %6llu\n",
                workload_name(w), sites, qr, median(q.p50), median(q.p99), qc, rr, median(r.p50),
                median(r.p99), rc, rr > 0 ? qr / rr : 0, rc > 0 ? qc / rc : 0,
                static_cast<unsigned long long>(q.errors + r.errors));
}

// The figures below the table: memory, pages, idle connections and the
// in-process cost of each request.
void print_extras(const Settings& set, const Results& res, const InProcess& inproc)
{
    if (!res.rss_per_site.empty())
        std::printf("resident memory per site at %u sites: %.0f bytes\n", set.sizes.back(),
                    median(res.rss_per_site));
    if (inproc.pages_ms >= 0)
        std::printf("HTML pages at %u sites: %.1f ms for both (public %.1f ms, private %.1f ms)\n",
                    set.sizes.back(), inproc.pages_ms, inproc.public_ms, inproc.private_ms);
    else
        std::printf("HTML pages at %u sites: not written (no page writer)\n", set.sizes.back());
    const Samples& plain = samples(res, "quorind", "refresh-plain", set.sizes.front());
    const Samples& idle = samples(res, "quorind", "refresh+idle", set.sizes.front());
    if (!idle.rps.empty())
        std::printf("refresh at %u sites with %d idle connections open: %.0f req/s, %.2f of the %.0f "
                    "without\n",
                    set.sizes.front(), set.idle, median(idle.rps), median(idle.rps) / median(plain.rps),
                    median(plain.rps));
    std::printf("in-process cost per request at %u sites (us):", set.sizes.back());
    for (Workload w : kAllWorkloads)
        std::printf(" %s %.2f", workload_name(w), inproc.us_per_request.at(workload_name(w)));
    std::printf("\nrefused from an address that owns none of the sites (us): refresh %.2f, churn %.2f\n",
                inproc.us_per_request.at("refresh-refused"), inproc.us_per_request.at("churn-refused"));
}

// quorind's figure over the reference's, by requests per second or by CPU
// time per request.
double ratio(const Results& res, Workload w, std::uint32_t sites, bool cpu)
{
    const Samples& q = samples(res, "quorind", workload_name(w), sites);
    const Samples& r = samples(res, "ref", workload_name(w), sites);
    return cpu ? median(q.cpu) / median(r.cpu) : median(q.rps) / median(r.rps);
}

void say(bool ok, const std::string& what) { std::printf("  %-6s %s\n", ok ? "holds" : "MISSES", what.c_str()); }

}  // namespace

void print_run(const Settings& set, const std::string& server, const std::string& label, Workload w,
               std::uint32_t sites, const LoadResult& r)
{
    if (set.json)
        std::printf("%s\n", json_line(server, w, sites, set.connections, r).c_str());
    else
        std::fprintf(stderr, "  %-8s %-8s %6u sites: %8.0f req/s p50 %7.1f us p99 %8.1f us cpu %6.2f us/req errors %llu\n",
                     server.c_str(), label.c_str(), sites, r.rps, r.p50_us, r.p99_us, r.cpu_us_per_request,
                     static_cast<unsigned long long>(r.errors));
}

void print_table(const Settings& set, const Results& res, const InProcess& inproc)
{
    std::printf("\nMedians of %d runs, %d exchanges in flight, %.1f s each; cpu = server's user+system "
                "time per request.\n\n",
                set.reps, set.connections, set.seconds);
    std::printf("%-8s %7s | %9s %8s %8s %8s | %9s %8s %8s %8s | %7s %7s | %6s\n", "workload", "sites",
                "quorind/s", "p50 us", "p99 us", "cpu us", "ref/s", "p50 us", "p99 us", "cpu us", "ratio/s",
                "cpu x", "errors");
    for (std::uint32_t sites : set.sizes)
        for (Workload w : kAllWorkloads)
            print_row(w, sites, samples(res, "quorind", workload_name(w), sites),
                      samples(res, "ref", workload_name(w), sites));
    std::printf("\n");
    print_extras(set, res, inproc);
    print_syscalls(res.syscalls);
    print_writes(set, res);
}

void print_syscalls(const SyscallCounts& sc)
{
    if (sc.sites == 0)
        return;  // --syscalls 0
    const auto one = [](const SyscallCount& c) {
        return c.ran ? format("%.2f (%llu calls, %llu requests)", c.per_request(),
                              static_cast<unsigned long long>(c.calls), static_cast<unsigned long long>(c.requests))
                     : std::string("not measured");
    };
    std::printf("system calls per request, exact queries at %u sites (strace -c -f): quorind %s, reference %s\n",
                sc.sites, one(sc.quorind).c_str(), one(sc.ref).c_str());
}

void print_targets(const Settings& set, const Results& res, const InProcess& inproc)
{
    std::printf("\nTargets:\n");
    const std::uint32_t small = set.sizes.front(), large = set.sizes.back();
    bool all_small = true;
    for (Workload w : kAllWorkloads)
        all_small = all_small && ratio(res, w, small, false) >= 0.9 && ratio(res, w, small, true) <= 1.3;
    say(all_small, "at " + std::to_string(small) + " sites every workload >= 0.9 of the reference's "
                   "req/s and <= 1.3 x its cpu per request");
    bool large_ok = true;
    for (Workload w : {Workload::refresh, Workload::churn, Workload::query_exact})
        large_ok = large_ok && ratio(res, w, large, false) >= 0.8 && ratio(res, w, large, true) <= 1.5;
    say(large_ok, "at " + std::to_string(large) + " sites refresh, churn, exact >= 0.8 of the "
                  "reference's req/s and <= 1.5 x its cpu per request");
    say(median(samples(res, "quorind", "miss", large).p50) < 1000,
        "a query that matches nothing at " + std::to_string(large) + " sites: p50 < 1 ms");
    bool floor_ok = true;
    for (std::uint32_t sites : set.sizes)
        for (Workload w : kAllWorkloads)
            floor_ok = floor_ok && ratio(res, w, sites, false) >= 1.0 && ratio(res, w, sites, true) <= 1.05;
    say(floor_ok, "at every size every workload >= the reference's req/s and <= 1.05 x its cpu per request");
    const SyscallCounts& sc = res.syscalls;
    if (set.syscalls)
        say(sc.quorind.ran && sc.ref.ran && sc.quorind.per_request() < sc.ref.per_request(),
            "fewer system calls per request than the reference (strace -c)");
    say(inproc.pages_ms >= 0 && inproc.pages_ms < 200, "pages at " + std::to_string(large) + " sites < 200 ms");
    say(!res.rss_per_site.empty() && median(res.rss_per_site) < 400, "resident memory < 400 bytes per site");
    const Samples& plain = samples(res, "quorind", "refresh-plain", small);
    const Samples& idle = samples(res, "quorind", "refresh+idle", small);
    say(!idle.rps.empty() && median(idle.rps) >= 0.9 * median(plain.rps),
        "with " + std::to_string(set.idle) + " idle connections >= 0.9 of the throughput without");
    print_write_targets(set, res);
}

void print_writes(const Settings& set, const Results& res)
{
    const PageLag& p = res.page_lag;
    if (p.ran)
        std::printf("page lag at %u sites, -I0, %d new sites a second for %.0f s: exact queries p50 %.2f ms, "
                    "p99 %.2f ms, max %.2f ms (%.0f req/s, %llu errors); %d new sites (%d failed), %d in the "
                    "public page, announcement to page p50 %.0f ms, max %.0f ms, %d after 2 s or never; %d page "
                    "writes\n",
                    p.sites, p.rate, p.seconds, p.queries.p50_us / 1000, p.queries.p99_us / 1000,
                    p.queries.max_us / 1000, p.queries.rps, static_cast<unsigned long long>(p.queries.errors),
                    p.announced, p.failed_announcements, p.in_page, p.lag_p50_ms, p.lag_max_ms, p.late,
                    p.page_writes);
    else if (set.lag_seconds > 0)
        std::printf("page lag: not measured (quorind did not start or take its fill)\n");
    print_stalls(res.stalls);
    const StateStart& st = res.state_start;
    if (st.ran)
        std::printf("quorind started on a state file of %u sites: answered %.1f ms after its exec%s\n", st.sites,
                    st.ms, st.site_found ? "" : ", without the site asked for");
    else
        std::printf("quorind started on a state file of %u sites: no answer\n", st.sites);
    if (set.large > 0)
        print_large(res.large);
}

void print_write_targets(const Settings& set, const Results& res)
{
    const std::string at = " at " + std::to_string(set.sizes.back()) + " sites";
    const PageLag& p = res.page_lag;
    if (set.lag_seconds > 0) {
        say(p.ran && p.queries.errors == 0 && p.queries.p99_us < 20000,
            "pages written on every change (-I0)" + at + ", " + std::to_string(set.lag_rate) +
                " new sites a second: query p99 < 20 ms");
        say(p.ran && p.announced > 0 && p.failed_announcements == 0 && p.late == 0,
            "every new site in the public page within 2 s of its announcement");
    }
    const WriteStalls& w = res.stalls;
    const StateStart& st = res.state_start;
    say(w.loaded_all && w.load_ms < kLoadLimitMs && st.ran && st.site_found && st.ms < kLoadLimitMs,
        "state file" + at + " loaded < 1 s (in process; from quorind's exec to its first answer)");
    say(w.forked && w.page_start_ms >= 0 && w.page_start_ms < kWriteStartLimitMs && w.state_start_ms >= 0 &&
            w.state_start_ms < kWriteStartLimitMs,
        "starting a page write or a state write" + at + " < 5 ms (median)");
    if (set.large > 0) {
        const LargeTable& t = res.large;
        say(t.ran && t.loaded_all && t.load_ms < kLargeLoadLimitMs,
            "state file of " + std::to_string(t.sites) + " sites loaded < 1.5 s (in process)");
        say(t.start.ran && t.start.site_found && t.start.ready_ms < kLargeReadyLimitMs,
            "quorind on it with both pages: READY=1 < 2 s after its exec");
    }
}

void print_stalls(const WriteStalls& w)
{
    std::printf("write starts at %u sites%s: page write %.2f ms (max %.2f), state write %.2f ms (max %.2f); "
                "state file loaded in %.1f ms%s\n",
                w.sites, w.forked ? "" : " (not forked: written in process)", w.page_start_ms, w.page_start_max_ms,
                w.state_start_ms, w.state_start_max_ms, w.load_ms, w.loaded_all ? "" : " (NOT every site)");
}

void print_large(const LargeTable& t)
{
    if (!t.ran) {
        std::printf("%u sites: not measured\n", t.sites);
        return;
    }
    std::printf("%u sites (built in process in %.1f s): %.0f bytes resident per site; in process a query that "
                "matches nothing %.2f us, an exact one %.2f us; pages %.0f ms (public %.0f, "
                "private %.0f); state file of %.1f MB written durably in %.0f ms (encoded in %.0f), loaded in "
                "%.0f ms (decoded in %.0f), its search texts filed %.0f ms after that%s\n",
                t.sites, t.build_s, t.rss_bytes_per_site, t.miss_us, t.exact_us, t.pages_ms, t.public_ms, t.private_ms,
                t.state_bytes / 1e6, t.state_write_ms, t.encode_ms, t.load_ms, t.decode_ms, t.filing_ms,
                t.loaded_all ? "" : " (NOT every site)");
    if (t.start.ran)
        std::printf("quorind started on that state file with both pages: READY=1 %.0f ms after its exec, first "
                    "query answered after %.0f ms%s\n",
                    t.start.ready_ms, t.start.answer_ms, t.start.site_found ? "" : " (WITHOUT the site asked for)");
    else
        std::printf("quorind started on that state file: no answer\n");
}

void print_in_process(std::uint32_t sites, const InProcess& inproc)
{
    std::printf("HTML pages at %u sites: %.1f ms (public %.1f, private %.1f)\nin-process cost per "
                "request (us):",
                sites, inproc.pages_ms, inproc.public_ms, inproc.private_ms);
    for (const auto& [w, us] : inproc.us_per_request)
        std::printf(" %s %.2f", w.c_str(), us);
    std::printf("\n");
}

}  // namespace kovari::bench
