// SPDX-License-Identifier: BSD-2-Clause
// Child processes for the development tools: started with their output
// streams captured to files, waited for with a bound, and stopped together
// with any processes they started themselves.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace kovari::devkit {

struct Child {
    pid_t pid = -1;
    std::string out_path;  // standard output, captured to a file
    std::string err_path;  // standard error, captured to a file
    std::optional<int> status;  // exit status once reaped (128+sig if killed)
};

// The limit on open descriptors (RLIMIT_NOFILE) to give a child.
struct OpenFileLimit {
    unsigned long soft = 0;
    unsigned long hard = 0;
};

// Starts argv[0] (searched in PATH) with the given arguments; `env`
// entries ("NAME=value") are added to (or replace in) the environment,
// "NAME" alone removes one. The child holds none of this process's
// descriptors beyond its three streams; with `files` its descriptor limit
// is set before it starts (a child that cannot get it does not start).
Child start_child(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                  const std::string& stdin_path = "/dev/null",
                  std::optional<OpenFileLimit> files = std::nullopt);
// Waits up to timeout_ms for the child to end; returns its status.
std::optional<int> wait_child(Child& c, int timeout_ms);
// SIGTERM to the child's descendants, the deepest first, then to the child
// unless it ended with them; SIGKILL to those still there after a second.
// Costs a walk of /proc.
void stop_child(Child& c);
// Removes the files that hold the child's output.
void remove_output_files(const Child& c);
// Waits until the child itself (or a process it started) listens on
// `port`, or on any port, and returns that port. Another program
// listening there does not count; nullopt when the child ends first or
// timeout_ms pass.
std::optional<int> wait_child_listening(Child& c, std::optional<int> port, int timeout_ms);

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};
// Runs a program to its end (stopped after timeout_ms, status -1).
RunResult run_program(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                      int timeout_ms = 10000);

}  // namespace kovari::devkit
