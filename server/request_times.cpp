// SPDX-License-Identifier: BSD-2-Clause
#include "request_times.h"

namespace kovari {

void record_request_time(RequestTimes& times, long us)
{
    if (us < 0)
        us = 0;
    std::size_t k = 0;
    while (k < kRequestTimeBuckets.size() && us > kRequestTimeBuckets[k].bound_us)
        ++k;
    ++times.counts[k];
    times.sum_us += std::uint64_t(us);
}

}  // namespace kovari
