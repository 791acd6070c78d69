// SPDX-License-Identifier: BSD-2-Clause
// The page lag: quorind with a full table writing its pages on every
// change (-I0), new sites announced at a steady rate while the closed-loop
// load sends exact queries. The queries' latency shows what the page
// writes cost the request path; each new site is timed from its
// announcement until the public page holds it.
#pragma once

#include <cstdint>

#include "bench/engine.h"

namespace kovari::bench {

struct Settings;

struct PageLag {
    bool ran = false;  // quorind started and took the fill
    std::uint32_t sites = 0;
    double seconds = 0;
    int rate = 0;                 // new sites a second
    LoadResult queries;           // the exact queries meanwhile
    int announced = 0;            // new sites
    int failed_announcements = 0;
    int in_page = 0;              // of the new sites, found in the public page
    int late = 0;                 // found after 2 s, or never
    double lag_p50_ms = -1, lag_max_ms = -1;  // announcement to page, of those found
    int page_writes = 0;          // public pages renamed into place meanwhile
};

// The run at `sites` sites, set.lag_seconds long, set.lag_rate new sites a
// second; a line on standard error as it ends.
PageLag run_page_lag(const Settings& set, std::uint32_t sites);

// The limit of a new site's way into the page.
inline constexpr double kPageLagLimitMs = 2000;

}  // namespace kovari::bench
