// SPDX-License-Identifier: BSD-2-Clause
// The state file (-S): the site table kept on disk, so that a restart
// (an upgrade, a reboot) keeps the directory. docs/state-file.md gives the
// format: a magic text, a version, the sites in table order, a checksum.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/site.h"
#include "table.h"
#include "writes.h"

namespace kovari {

struct Server;

inline constexpr std::uint32_t kStateVersion = 1;

// The file's bytes for the table as it stands at `now`.
std::string encode_state(const SiteTable& t, std::time_t now);

// What became of a state file's bytes.
struct DecodedState {
    std::optional<std::string> problem;  // "is truncated (...)"; set: nothing was taken
    std::size_t too_old = 0;             // left out: older than a site may be
};

// Reads a file's bytes and hands each site to `take`, the tail of the table
// first, so that entering them one by one at the head rebuilds the order.
// Nothing is handed over unless the whole file is sound. A site older than
// the table keeps one is left out; one stamped after `now` is taken as
// announced at `now`. `most` > 0: only the `most` sites nearest the head
// are taken.
DecodedState decode_state(std::span<const std::uint8_t> bytes, std::time_t now, std::size_t most,
                          const std::function<void(Site&&)>& take);

// The same, each site handed as a look at `bytes` (valid as long as they
// are), and before the first, `expect` told how many will come.
DecodedState decode_state_views(std::span<const std::uint8_t> bytes, std::time_t now, std::size_t most,
                                const std::function<void(std::size_t)>& expect,
                                const std::function<void(const SiteView&)>& take);

// At start, before the server listens: checks that the file can be
// written where it is, and when it cannot, says so and returns false (the
// server refuses to start: it would run without keeping anything). Then
// fills the table from the file, if there is one. A file that cannot be
// used is reported, renamed to file.bad (or file.bad.1, ...: never over
// another) and the table starts empty.
bool load_state(Server& srv, std::time_t now);

// Starts a write of the state file when the table has changed since the
// last one and none is running. Called at every sweep.
void save_state_if_changed(Server& srv, std::time_t now);

// The background write has ended: reports its result.
void finish_state_write(Server& srv, const JobResult& result);

// A state writer that has run past kWriteTimeLimitMs at `now_ms`
// (monotonic) is killed and reported, once until a write succeeds again;
// the old file stays and the next write starts.
void stop_overdue_state_write(Server& srv, long now_ms, std::time_t now);

// The server's exit status when the state could not be written at the end:
// the changes since the last write that got through are lost.
inline constexpr int kStateLostStatus = 3;

// At the end: ends a background write still running (its image of the
// table is older) and writes the table in process. Returns false when that
// write failed.
bool save_state_at_exit(Server& srv, std::time_t now);

}  // namespace kovari
