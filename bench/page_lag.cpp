// SPDX-License-Identifier: BSD-2-Clause
#include "bench/page_lag.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/results.h"
#include "bench/settings.h"
#include "bench/sites.h"
#include "bench/workloads.h"
#include "common/fd.h"
#include "devkit/files.h"
#include "devkit/loopback.h"
#include "devkit/packets.h"
#include "devkit/server_process.h"
#include "devkit/wait.h"

namespace kovari::bench {
namespace {

using Clock = std::chrono::steady_clock;

double ms_between(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// The new sites take numbers far above the table's and the workloads' own.
constexpr std::uint32_t kNewBase = 20'000'000;

// Reads the whole file into `out` (reused from one page to the next);
// false when it cannot be opened.
bool read_page(const std::string& path, std::string& out)
{
    const Fd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    out.clear();
    if (!f.valid())
        return false;
    char chunk[1 << 16];
    for (ssize_t n; (n = ::read(f.get(), chunk, sizeof chunk)) > 0;)
        out.append(chunk, std::size_t(n));
    return true;
}

bool holds(const std::string& page, const std::string& text)
{
    return ::memmem(page.data(), page.size(), text.data(), text.size()) != nullptr;
}

// Whether a rename put the public page in place, among the events that
// the watch on its folder has queued.
bool page_renamed(int watch, const std::string& name)
{
    alignas(inotify_event) char buf[4096];
    bool renamed = false;
    for (ssize_t n; (n = ::read(watch, buf, sizeof buf)) > 0;) {
        for (char* p = buf; p < buf + n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(p);
            if (ev->len > 0 && name == ev->name)
                renamed = true;
            p += sizeof(inotify_event) + ev->len;
        }
    }
    return renamed;
}

struct NewSite {
    std::string cname;
    Clock::time_point sent;
};

// The announcements at their times, and the public page read at each
// rename until every new site is in it or 5 s after the last one.
struct Announcer {
    const Settings& set;
    int port;
    std::string page_path;
    int watch;
    PageLag& res;
    std::vector<NewSite> pending{};
    std::vector<double> lags_ms{};
    std::string page{};

    void announce(int k)
    {
        const devkit::Announcement a = bench_site(kNewBase + std::uint32_t(k));
        const auto sent = Clock::now();
        if (!devkit::round_trip(port, devkit::announcement(a)))
            ++res.failed_announcements;
        ++res.announced;
        pending.push_back({a.cname, sent});
    }

    void look_at_page()
    {
        const auto seen = Clock::now();
        ++res.page_writes;
        if (!read_page(page_path, page))
            return;
        std::erase_if(pending, [&](const NewSite& s) {
            if (!holds(page, s.cname))
                return false;
            lags_ms.push_back(ms_between(s.sent, seen));
            return true;
        });
    }

    void run()
    {
        const int total = int(set.lag_seconds * set.lag_rate);
        const auto step = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / set.lag_rate));
        const auto t0 = Clock::now();
        int next = 0;
        Clock::time_point last = t0;
        for (;;) {
            const auto now = Clock::now();
            if (next < total && now >= t0 + next * step) {
                announce(next++);
                last = Clock::now();
                continue;
            }
            if (next >= total && (pending.empty() || now - last > std::chrono::seconds(5)))
                return;
            const auto until = next < total ? t0 + next * step : now + std::chrono::milliseconds(50);
            pollfd p{watch, POLLIN, 0};
            const auto wait_ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
            if (::poll(&p, 1, int(std::max<long>(0, wait_ms + 1))) > 0 && page_renamed(watch, "pub.html"))
                look_at_page();
        }
    }
};

// After the fill the server may still be writing pages of a smaller
// table: the run starts once the public page holds the last site filled.
bool wait_for_fill_page(const std::string& path, std::uint32_t sites)
{
    const std::string last = bench_site(sites - 1).cname;
    std::string page;
    return devkit::wait_until(60000, 100, [&] { return read_page(path, page) && holds(page, last); });
}

}  // namespace

PageLag run_page_lag(const Settings& set, std::uint32_t sites)
{
    PageLag res;
    res.sites = sites;
    res.seconds = set.lag_seconds;
    res.rate = set.lag_rate;
    std::fprintf(stderr, "page lag: %u sites, -I0, %d new sites a second for %.0f s with exact queries\n", sites,
                 set.lag_rate, set.lag_seconds);
    const devkit::TempDir dir("kvbench-lag");
    devkit::ServerProcess quorind;
    if (!dir.valid() || !devkit::start_server(quorind, set.quorind, {"-C0", "-I0", "-H" + dir / "pub", "-Z" + dir / "priv"})) {
        std::fprintf(stderr, "kvbench: quorind did not start\n");
        return res;
    }
    const auto errors = fill_table(quorind.port, 0, sites, set.connections);
    if (errors != 0 || !wait_for_fill_page(dir / "pub.html", sites)) {
        std::fprintf(stderr, "kvbench: the fill of quorind failed (%llu errors) or never reached the page\n",
                     static_cast<unsigned long long>(errors));
        return res;
    }
    const Fd watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!watch.valid() || ::inotify_add_watch(watch.get(), dir.path().c_str(), IN_MOVED_TO) < 0) {
        std::fprintf(stderr, "kvbench: cannot watch %s: %s\n", dir.path().c_str(), std::strerror(errno));
        return res;
    }
    res.ran = true;

    LoadOptions opt;
    opt.port = quorind.port;
    opt.connections = set.connections;
    opt.seconds = set.lag_seconds;
    opt.warmup = 0;
    opt.server_pid = quorind.child.pid;
    std::thread load([&] {
        res.queries = run_load(opt, workload_source(Workload::query_exact, sites, kNewBase, set.connections));
    });
    Announcer an{set, quorind.port, dir / "pub.html", watch.get(), res};
    an.run();
    load.join();

    res.in_page = int(an.lags_ms.size());
    res.late = int(an.pending.size()) +
               int(std::count_if(an.lags_ms.begin(), an.lags_ms.end(), [](double ms) { return ms > kPageLagLimitMs; }));
    if (!an.lags_ms.empty()) {
        res.lag_p50_ms = median(an.lags_ms);
        res.lag_max_ms = *std::max_element(an.lags_ms.begin(), an.lags_ms.end());
    }
    std::fprintf(stderr,
                 "  queries: %.0f req/s, p50 %.2f ms, p99 %.2f ms, max %.2f ms, %llu errors; %d new sites, %d in the "
                 "page (p50 %.0f ms, max %.0f ms), %d late; %d page writes seen\n",
                 res.queries.rps, res.queries.p50_us / 1000, res.queries.p99_us / 1000, res.queries.max_us / 1000,
                 static_cast<unsigned long long>(res.queries.errors), res.announced, res.in_page, res.lag_p50_ms,
                 res.lag_max_ms, res.late, res.page_writes);
    return res;
}

}  // namespace kovari::bench
