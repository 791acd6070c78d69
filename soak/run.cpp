// SPDX-License-Identifier: BSD-2-Clause
#include "soak/run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

#include "devkit/procfs.h"

namespace kovari::soak {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

long resident_kb(pid_t pid)
{
    const auto status = devkit::read_proc_status(pid);
    return status ? status->rss_kb : -1;
}

// The requests until both their number and the time are reached, spread
// over the whole time when they would go faster; a line every 30 s.
void run_load(Load& l, const Options& opt, pid_t server, Clock::time_point t0, RunFigures& fig)
{
    const long warm_mark = l.tally.requests + opt.requests / 20;
    const double rate = opt.seconds > 0 ? double(opt.requests) / double(opt.seconds) : 0;
    double last_note = 0;
    while (l.tally.requests < opt.requests || seconds_since(t0) < double(opt.seconds)) {
        step(l);
        if (fig.rss_warm_kb < 0 && l.tally.requests >= warm_mark)
            fig.rss_warm_kb = resident_kb(server);
        const double elapsed = seconds_since(t0);
        if (elapsed - last_note >= 30) {
            last_note = elapsed;
            const long rss = resident_kb(server);
            fig.rss_peak_kb = std::max(fig.rss_peak_kb, rss);
            std::printf("  %6.0f s  %8ld requests  %5zu sites  RSS %ld kB  %ld failures\n", elapsed,
                        l.tally.requests, l.model.alive.size(), rss, l.tally.failures);
            std::fflush(stdout);
        }
        if (rate > 0 && double(l.tally.requests) > rate * elapsed)
            std::this_thread::sleep_for(std::chrono::duration<double>(double(l.tally.requests) / rate - elapsed));
    }
}

// Every site ever announced, looked up one by one.
long check_every_site(Load& l)
{
    const std::time_t now = std::time(nullptr);
    long uncertain = 0;
    for (std::size_t k = 0; k < l.model.sites.size(); ++k) {
        const ModelSite& m = l.model.sites[k];
        if (near_expiry(m, now))
            ++uncertain;
        else
            check_site(l, k, listed_at(m, now));
    }
    return uncertain;
}

}  // namespace

RunFigures run_soak(Load& l, const Options& opt, pid_t server)
{
    RunFigures fig;
    const auto t0 = Clock::now();
    // Warm-up: the whole population announces itself, then a twentieth of
    // the run's requests.
    while (std::ptrdiff_t(l.model.alive.size()) < opt.population)
        announce(l, new_site(l.model), false);
    run_load(l, opt, server, t0, fig);
    fig.load_seconds = seconds_since(t0);
    l.idle.clear();
    fig.uncertain = check_every_site(l);
    fig.rss_end_kb = resident_kb(server);
    fig.total_seconds = seconds_since(t0);
    return fig;
}

}  // namespace kovari::soak
