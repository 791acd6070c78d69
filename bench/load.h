// The closed-loop load generator: a fixed number of exchanges in flight,
// each a TCP connection of its own (connect, send one packet, read until the
// server closes), a new one started as soon as one ends. One thread, epoll.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "devkit/packets.h"

namespace kovari::bench {

enum class Workload {
    announce_new,  // announcements of CNAMEs the table has not seen
    refresh,       // announcements of sites already listed
    churn,         // sign-off of a listed site, then its announcement again
    query_exact,   // a query that matches one site exactly
    query_miss,    // a query that matches nothing
    query_empty,   // the empty query: a reply cut at the cap
};
inline constexpr Workload kAllWorkloads[] = {Workload::refresh,     Workload::churn,
                                             Workload::query_exact, Workload::query_miss,
                                             Workload::query_empty, Workload::announce_new};

const char* workload_name(Workload w);
std::optional<Workload> parse_workload(std::string_view name);

// What comes back for a request.
enum class Expect { nothing, reply };

// Gives the next request of exchange slot `slot`; false when there is none
// left (the run then ends once the exchanges under way are done).
using RequestSource = std::function<bool(int slot, devkit::Bytes& request, Expect& expect)>;

struct LoadOptions {
    int port = 0;
    int connections = 8;    // exchanges in flight
    double seconds = 2.0;   // measured time
    double warmup = 0.3;    // run before measuring, not counted
    pid_t server_pid = -1;  // whose CPU time to read, if any
};

struct LoadResult {
    std::uint64_t requests = 0;  // exchanges completed in the measured time
    std::uint64_t errors = 0;    // failed connects, resets, timeouts, wrong replies
    double seconds = 0;
    double rps = 0;
    double p50_us = 0;
    double p99_us = 0;
    double cpu_us_per_request = -1;  // server's user+system time, -1 if unknown
};

LoadResult run_load(const LoadOptions& opt, const RequestSource& source);

// The request source of a workload over a table of `table_size` sites
// (numbered 0..table_size-1); new announcements take numbers from
// `new_base` on.
RequestSource workload_source(Workload w, std::uint32_t table_size, std::uint32_t new_base,
                              int connections);

// Announces sites first..first+count-1, each once, `connections` in flight.
// Returns the number of failed exchanges.
std::uint64_t fill_table(int port, std::uint32_t first, std::uint32_t count, int connections);

// The server's user+system CPU time in microseconds, from /proc/<pid>/stat.
std::optional<double> process_cpu_us(pid_t pid);
// The server's resident memory in kB, from /proc/<pid>/status.
std::optional<long> process_rss_kb(pid_t pid);

// One JSON object (one line) describing a run.
std::string json_line(std::string_view server, Workload w, std::uint32_t sites,
                      const LoadOptions& opt, const LoadResult& r);

}  // namespace kovari::bench
