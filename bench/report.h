// SPDX-License-Identifier: BSD-2-Clause
// kvbench's output for people: a line per run on standard error as it
// ends, then the table of medians with the ratios quorind / reference,
// the other figures below it, and whether the targets hold.
#pragma once

#include <cstdint>
#include <string>

#include "bench/engine.h"
#include "bench/in_process.h"
#include "bench/results.h"
#include "bench/settings.h"
#include "bench/workloads.h"

namespace kovari::bench {

// One run; with --json a JSON line on standard output instead.
void print_run(const Settings& set, const std::string& server, const std::string& label, Workload w,
               std::uint32_t sites, const LoadResult& r);
void print_table(const Settings& set, const Results& res, const InProcess& inproc);
void print_targets(const Settings& set, const Results& res, const InProcess& inproc);
// The in-process figures alone (--reps 0).
void print_in_process(std::uint32_t sites, const InProcess& inproc);
// The figures of the writes away from the request path (the page lag,
// the write starts, the state file at start, the large table) and their
// targets.
void print_writes(const Settings& set, const Results& res);
void print_write_targets(const Settings& set, const Results& res);
// The figures of the write starts and the state load in process, and of
// the large table.
void print_stalls(const WriteStalls& w);
void print_large(const LargeTable& t);
void print_syscalls(const SyscallCounts& sc);

}  // namespace kovari::bench
