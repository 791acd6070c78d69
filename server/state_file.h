// SPDX-License-Identifier: BSD-2-Clause
// The state file (-S): the site table kept on disk, so that a restart
// (an upgrade, a reboot) keeps the directory. Here, when the server loads
// and writes it; its bytes are state_codec.h, the disk state_io.h.
#pragma once

#include <cstdint>
#include <ctime>

#include "writes.h"

namespace kovari {

struct Server;

// At start, before the server listens: checks that the file can be
// written where it is, and when it cannot, says so and returns false (the
// server refuses to start: it would run without keeping anything). Then
// fills the table from the file, if there is one. A file that cannot be
// used is reported, renamed to file.bad (or file.bad.1, ...: never over
// another) and the table starts empty.
bool load_state(Server& srv, std::time_t now);

// Starts a write of the state file, done as `how` says, when the table
// has changed since the last one and none is running. Called at every
// sweep.
void save_state_if_changed(Server& srv, std::time_t now, WriteMode how);

// A write of the state file has ended, however it was done: reports its
// result, a failure once until its reason changes. After a writer that ran
// past kWriteTimeLimitMs and was killed, the old file stays and the next
// write starts at once when `next` is in a child.
void finish_state_write(Server& srv, const JobResult& result, std::time_t now, WriteMode next);

// The server's exit status when the state could not be written at the end:
// the changes since the last write that got through are lost.
inline constexpr int kStateLostStatus = 3;

// At the end: ends a background write still running (its image of the
// table is older) and writes the table in process. Returns false when that
// write failed.
bool save_state_at_exit(Server& srv, std::time_t now);

}  // namespace kovari
