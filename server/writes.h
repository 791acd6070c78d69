// SPDX-License-Identifier: BSD-2-Clause
// Files the server writes away from the request path: the pages and the
// state file. Each is written whole to a temporary name and renamed over
// the old one, so a reader (or a restart after a crash) finds either the
// old file or the new one, never a mix.
//
// While the server runs, a write is done by a forked child: it has a
// copy-on-write image of the table as it stood at the fork, writes from
// it and exits, and the event loop only starts it and collects its result.
// So a page of 18 MB costs the loop the fork (about a millisecond at
// 100,000 sites), not the 150 ms of building and writing it.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/fd.h"

namespace kovari {

// Where writing a file stopped, if it did; `time_limit`: its writer ran
// past kWriteTimeLimitMs and was killed.
enum class FileStep : std::uint8_t { done, open, write, rename, sync, time_limit };

struct FileOutcome {
    FileStep failed = FileStep::done;
    int error = 0;  // errno of the failed step
    bool operator==(const FileOutcome&) const = default;
};

// A problem that is told once, and again only when its reason changes: a
// missing directory or a hung file system fails every write the same way,
// and is an operator's mistake to be told about, not at every change.
struct ProblemNote {
    FileOutcome last{};
};

// Takes the latest outcome of a write; true when it is a failure other
// than the last one (a success makes the next failure news again).
bool is_news(ProblemNote& note, const FileOutcome& now);

// The directory a path names a file in ("." for a bare name).
std::string directory_of(const std::string& path);

// Writes `bytes` to `temp` (created with `mode`, or emptied) and renames it
// to `final_name`. A failed write or close removes `temp` and leaves the
// old file. `durable`: the file is flushed to disk before the rename and
// the directory after it, so the rename survives a power cut as well.
FileOutcome replace_file(const std::string& temp, const std::string& final_name,
                         std::string_view bytes, unsigned mode, bool durable);

// The files one write may replace: the pages write up to three.
inline constexpr std::size_t kFilesPerWrite = 3;

// What a write reports: one outcome per file, or the signal that ended its
// child before it could say, or that it ran out of time (killed_by is then
// SIGKILL as well).
struct JobResult {
    std::array<FileOutcome, kFilesPerWrite> files{};
    int killed_by = 0;
    bool timed_out = false;
};

// A write running in a child process.
struct BackgroundJob {
    pid_t pid = -1;
    Fd result{};          // the read end of the pipe the child reports on
    long started_ms = 0;  // monotonic, when it was forked
};

inline bool running(const BackgroundJob& job) { return job.pid > 0; }

// A writer child that runs this long is taken to be stuck (a network file
// system that stopped answering, a FIFO in place of the temporary file) and
// killed, so that it cannot hold back every later write of its kind. The
// longest honest write is far shorter: both pages of 1,000,000 sites take
// about 4 s, the state file of as many written and flushed about 0.5 s on
// a local disk (kvbench --large-only, on a busy two-core machine). A fixed
// bound rather than a multiple of the last write's time: the first write
// has no last one, and a table that grows quickly on a slow but working
// disk must not be cut off for outgrowing the write before it.
inline constexpr long kWriteTimeLimitMs = 60'000;

// How a write is done. `in_child` while the event loop serves: the
// requests go on meanwhile. `in_process` before the loop starts, at the
// end, and in the tests of the pure logic.
enum class WriteMode : std::uint8_t { in_process, in_child };

// One kind of write (the pages, the state file): the child writing it, if
// any, and its problem told once.
struct Writer {
    BackgroundJob job{};
    ProblemNote problem{};
};

// The one life of a write. start_write runs `work` in a child when `how`
// says so and one can be made, and returns nothing: the result comes from
// collect_write once the child has ended (`wait`: waits for it), or from
// stop_overdue_write, which kills a child past its time limit at `now_ms`
// and returns a result that says so. Otherwise it runs `work` in process
// and returns its result at once. Each result is reported by the caller,
// in one place, whichever way it came.
std::optional<JobResult> start_write(Writer& w, WriteMode how, const std::function<JobResult()>& work,
                                     long now_ms);
std::optional<JobResult> collect_write(Writer& w, bool wait);
std::optional<JobResult> stop_overdue_write(Writer& w, long now_ms);

// Whether a child is writing.
inline bool running(const Writer& w) { return running(w.job); }

// When the running child's time is up (monotonic ms); nothing when none
// runs.
std::optional<long> write_deadline(const Writer& w);

// Ends a running child at once, unreported (its temporary file stays
// behind; the next write empties it), and collects it.
void cancel_write(Writer& w);

// The two kinds of write; one of each runs at a time.
struct Writers {
    Writer pages{};
    Writer state{};
};

}  // namespace kovari
