// SPDX-License-Identifier: BSD-2-Clause
// What the development tools read about processes in /proc: a process's
// state, parent and CPU time, its resident memory, its descendants, and
// the TCP listeners of a process tree. Linux only; each call reads the
// files afresh (a few system calls, a whole /proc walk for the trees).
#pragma once

#include <sys/types.h>

#include <optional>
#include <vector>

namespace kovari::devkit {

// The fields of /proc/<pid>/stat the tools use.
struct ProcStat {
    char state = '?';
    pid_t ppid = 0;
    unsigned long long utime_ticks = 0;  // user CPU time, clock ticks
    unsigned long long stime_ticks = 0;  // system CPU time, clock ticks
};
// nullopt when the process is gone (or never was).
std::optional<ProcStat> read_proc_stat(pid_t pid);

// User plus system CPU time in microseconds.
double cpu_us(const ProcStat& s);

// The same to the nanosecond, from /proc/<pid>/schedstat (the time the
// process ran, as the scheduler counts it), for spans too short for the
// clock ticks of cpu_us; nullopt when the kernel does not give it.
std::optional<double> run_time_us(pid_t pid);

// The fields of /proc/<pid>/status the tools use.
struct ProcStatus {
    long rss_kb = -1;  // VmRSS; -1 when the kernel gives none (a zombie)
};
std::optional<ProcStatus> read_proc_status(pid_t pid);

// The process and all its descendants, the root first (a wrapper such as
// faketime may run the program proper as its child).
std::vector<pid_t> process_tree(pid_t root);

// The port of a listening TCP socket on IPv4 that the process tree of
// `root` holds (on `port`, or any port). Sockets that this process holds
// itself do not count: a child holds copies of them between its fork and
// its exec.
std::optional<int> listening_port_of(pid_t root, std::optional<int> port);

// True when any process listens on the TCP port (IPv4, any address).
bool port_listening(int port);

}  // namespace kovari::devkit
