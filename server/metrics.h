// SPDX-License-Identifier: BSD-2-Clause
// The metrics file (-X): the statistics in the text format that Prometheus
// scrapes, as path.prom, for the node exporter's textfile collector. The
// counters are the ones SIGUSR1 writes; this is a second formatter over
// them.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <string>

namespace kovari {

struct Server;
struct Statistics;
struct StateStatus;

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

struct SiteCounts {
    std::size_t listed = 0, unlisted = 0;
};

// The whole metrics text for the counters, the state file's counts and the
// sites in the table now.
std::string metrics_text(const Statistics& st, const StateStatus& state, SiteCounts sites);

// The metrics file is rewritten this often while the server runs, and once
// when it stops.
inline constexpr long kMetricsIntervalMs = 10'000;

// Writes base.prom (through base.prom.new, renamed into place), in
// process: a few kilobytes whatever the size of the table (the table keeps
// its count of unlisted sites, so nothing walks it). A failure is reported with the
// path and the reason, once until the reason changes; it never stops the
// server. Returns whether the file was replaced.
bool write_metrics(Server& srv);

}  // namespace kovari
