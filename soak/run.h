// SPDX-License-Identifier: BSD-2-Clause
// The soak's course: the warm-up, the load paced over the whole time with
// the server's resident memory read now and then, and the end, when every
// site ever announced is looked up once more.
#pragma once

#include <sys/types.h>

#include "soak/load.h"
#include "soak/options.h"

namespace kovari::soak {

struct RunFigures {
    double load_seconds = 0;  // the load, warm-up included
    double total_seconds = 0;  // the load and the final look-ups
    long rss_warm_kb = -1;     // after the warm-up
    long rss_peak_kb = 0;      // the largest seen on the way
    long rss_end_kb = -1;      // after the final look-ups
    long uncertain = 0;        // sites left unchecked at the end (near expiry)
};

RunFigures run_soak(Load& l, const Options& opt, pid_t server);

}  // namespace kovari::soak
