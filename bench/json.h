// SPDX-License-Identifier: BSD-2-Clause
// The benchmark's figures as JSON, one object per line, for scripts that
// keep them: one run of the load generator, or kvbench's whole table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bench/engine.h"
#include "bench/workloads.h"

namespace kovari::bench {

struct Settings;
struct Results;
struct InProcess;

// One run against one server.
std::string json_line(std::string_view server, Workload w, std::uint32_t sites, int connections,
                      const LoadResult& r);

// kvbench's medians, as the table shows them, in one object.
std::string json_summary(const Settings& set, const Results& res, const InProcess& inproc);

// The figures of the page and state writes alone (kvbench --writes).
std::string json_writes(const Results& res);

// The number after "key": in a line of flat JSON; nullopt when there is none.
std::optional<double> json_number(std::string_view line, std::string_view key);

}  // namespace kovari::bench
