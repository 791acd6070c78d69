// SPDX-License-Identifier: BSD-2-Clause
// Repeated error lines, held to one per key and window. A peer that is down,
// or a client that keeps hitting a cap, would otherwise write the same line
// hundreds of times a second: the first is printed, those within the next
// kRepeatWindowMs are counted, and when it recurs after that it is printed
// again with one more line that says how many were held back.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>

#include "keyed_hash.h"

namespace kovari {

inline constexpr long kRepeatWindowMs = 10'000;

struct RateLimiter {
    struct Seen {
        long printed_ms = 0;          // monotonic
        std::uint64_t suppressed = 0;  // since it was printed
    };
    // By key: the message and its peer or cap; keys an outsider's address
    // steers, so hashed with the program's secret: O(1) a look-up on
    // average, and the keys of the last 10 s at most (forget_at).
    std::unordered_map<std::string, Seen, KeyedHasher> seen;
    // The size at which keys not seen for a window are looked for: twice
    // what stayed after the last look, and never below kMinForgetAt, so
    // that many addresses reported at once cost a constant amount per line,
    // not a walk of the map each.
    static constexpr std::size_t kMinForgetAt = 1024;
    std::size_t forget_at = kMinForgetAt;
};

// Prints `line` (a whole line, newline included) on `err` unless the same
// key was printed within the window; a line printed after suppressed ones
// is followed by "<program>: N more like the line above in the last 10 s.".
// Returns true when it printed. Keys not seen for a window are forgotten,
// so the map holds at most the keys of the last window.
bool report_limited(RateLimiter& limiter, std::FILE* err, const std::string& program,
                    const std::string& key, const std::string& line, long now_ms);

// The two halves of report_limited, for a report that a flood may ask for
// once per request: report_due counts the repeat and returns nullptr while
// the key is held back, so the line is made only when it is printed.
RateLimiter::Seen* report_due(RateLimiter& limiter, const std::string& key, long now_ms);
void print_report(RateLimiter::Seen& seen, std::FILE* err, const std::string& program,
                  const std::string& line, long now_ms);

}  // namespace kovari
