// SPDX-License-Identifier: BSD-2-Clause
// kvbench's count of system calls per request: quorind and kvref each
// traced with `strace -c -f -p PID` (attached once the server listens, so
// its start-up is not counted) while the load sends exact queries at the
// smallest table size for the seconds of one workload, with no warm-up. Left out, and said so, when
// strace is not installed or cannot attach.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kovari::bench {

struct Settings;

struct SyscallCount {
    bool ran = false;
    std::uint64_t calls = 0;     // every call of the server while traced
    std::uint64_t requests = 0;  // exchanges the load completed meanwhile
    double per_request() const { return requests > 0 ? double(calls) / double(requests) : -1; }
};

struct SyscallCounts {
    std::uint32_t sites = 0;
    SyscallCount quorind, ref;
};
SyscallCounts run_syscall_counts(const Settings& set);

// The calls column of the "total" line of strace -c's table.
std::optional<std::uint64_t> strace_total_calls(const std::string& table);

}  // namespace kovari::bench
