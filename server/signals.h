// SPDX-License-Identifier: BSD-2-Clause
// The signals the server answers. A handler only notes that its signal
// came, as a byte on a pipe that the event loop watches; the loop does the
// work between requests, never inside one.
//
//   SIGHUP, SIGINT, SIGTERM   stop the server
//   SIGUSR1                   write the statistics
//   SIGCHLD                   a child writing the pages or the state ended
//   SIGPIPE                   nothing: the failed send reports itself
#pragma once

#include <cstdio>

#include "common/fd.h"

namespace kovari {

// Makes the pipe and installs the handlers; the loop watches `read_end`.
// Reports a failure on `err` and returns false.
bool catch_signals(Fd& read_end, std::FILE* err);

struct NotedSignals {
    bool stop = false;
    bool statistics = false;
    bool child_ended = false;
};

// Empties the pipe and says what the signals since the last call ask for.
NotedSignals take_signals(const Fd& read_end);

}  // namespace kovari
