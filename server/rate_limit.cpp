// SPDX-License-Identifier: BSD-2-Clause
#include "rate_limit.h"

#include <algorithm>

#include "common/report.h"

namespace kovari {

namespace {

// Forgets keys not printed for a window (a count that never recurred, after
// six). O(keys), run only when the map has
// grown, so its cost per line stays constant.
void forget_old(RateLimiter& limiter, long now_ms)
{
    for (auto it = limiter.seen.begin(); it != limiter.seen.end();) {
        const long age = now_ms - it->second.printed_ms;
        if ((age >= kRepeatWindowMs && it->second.suppressed == 0) || age >= 6 * kRepeatWindowMs)
            it = limiter.seen.erase(it);
        else
            ++it;
    }
}

}  // namespace

RateLimiter::Seen* report_due(RateLimiter& limiter, const std::string& key, long now_ms)
{
    if (limiter.seen.size() >= limiter.forget_at) {
        forget_old(limiter, now_ms);
        limiter.forget_at = std::max(RateLimiter::kMinForgetAt, 2 * limiter.seen.size());
    }
    const auto [it, fresh] = limiter.seen.try_emplace(key, RateLimiter::Seen{now_ms, 0});
    RateLimiter::Seen& s = it->second;
    if (!fresh && now_ms - s.printed_ms < kRepeatWindowMs) {
        ++s.suppressed;
        return nullptr;
    }
    return &s;
}

void print_report(RateLimiter::Seen& seen, std::FILE* err, const std::string& program,
                  const std::string& line, long now_ms)
{
    put_text(err, line);
    if (seen.suppressed > 0)
        std::fprintf(err, "%s: %llu more like the line above in the last %ld s.\n", program.c_str(),
                     static_cast<unsigned long long>(seen.suppressed), kRepeatWindowMs / 1000);
    seen = {now_ms, 0};
}

bool report_limited(RateLimiter& limiter, std::FILE* err, const std::string& program,
                    const std::string& key, const std::string& line, long now_ms)
{
    RateLimiter::Seen* seen = report_due(limiter, key, now_ms);
    if (seen == nullptr)
        return false;
    print_report(*seen, err, program, line, now_ms);
    return true;
}

}  // namespace kovari
