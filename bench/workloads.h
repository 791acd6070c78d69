// SPDX-License-Identifier: BSD-2-Clause
// The benchmark's workloads: which requests each sends, over a table of
// bench sites, and the fill that announces the table first.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "bench/engine.h"

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

// The request source of a workload over a table of `table_size` sites
// (numbered 0..table_size-1); new announcements take numbers from
// `new_base` on.
RequestSource workload_source(Workload w, std::uint32_t table_size, std::uint32_t new_base,
                              int connections);

// Announces sites first..first+count-1, each once, `connections` in flight.
// Returns the number of failed exchanges.
std::uint64_t fill_table(int port, std::uint32_t first, std::uint32_t count, int connections);

}  // namespace kovari::bench
