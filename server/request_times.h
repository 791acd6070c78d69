// SPDX-License-Identifier: BSD-2-Clause
// The time each request takes, from accepting its connection to closing
// it, counted in the buckets of a histogram.
#pragma once

#include <array>
#include <cstdint>

namespace kovari {

// The upper bounds of the buckets of the request time (from accepting a
// connection to closing it), in microseconds: a query answered at once
// takes tens of microseconds, a connection that sends nothing is closed
// after 10 s. A time above the last bound counts in +Inf only.
struct TimeBucket {
    long bound_us;
    const char* le;  // the bound in seconds, as the label shows it
};
inline constexpr std::array<TimeBucket, 19> kRequestTimeBuckets{{
    {10, "1e-05"},       {25, "2.5e-05"},     {50, "5e-05"},     {100, "0.0001"},  {250, "0.00025"},
    {500, "0.0005"},     {1000, "0.001"},     {2500, "0.0025"},  {5000, "0.005"},  {10'000, "0.01"},
    {25'000, "0.025"},   {50'000, "0.05"},    {100'000, "0.1"},  {250'000, "0.25"}, {500'000, "0.5"},
    {1'000'000, "1"},    {2'500'000, "2.5"},  {5'000'000, "5"},  {10'000'000, "10"},
}};

// The request times seen: a count per bucket (not cumulative; the last
// slot for those above every bound) and their sum.
struct RequestTimes {
    std::array<std::uint64_t, kRequestTimeBuckets.size() + 1> counts{};
    std::uint64_t sum_us = 0;
};

// Counts one request that took `us` microseconds. A few compares: it runs
// once per connection.
void record_request_time(RequestTimes& times, long us);

}  // namespace kovari
