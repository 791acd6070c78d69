// SPDX-License-Identifier: BSD-2-Clause
// The server's use of its state file: loaded at the start, written after
// changes at the sweep and at the end, its problems told. The bytes are
// state_codec.cpp's, the disk state_io.cpp's.
#include "state_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "common/clock.h"
#include "server.h"
#include "state_codec.h"
#include "state_io.h"

namespace kovari {

namespace {

const char* prog(const Server& srv) { return srv.settings.program_name.c_str(); }

void set_aside(Server& srv, const std::string& path, const std::string& problem)
{
    int error = 0;
    if (const auto bad = move_aside(path, error)) {
        std::fprintf(srv.err, "%s: state file %s %s; renamed to %s, starting with an empty table.\n",
                     prog(srv), path.c_str(), problem.c_str(), bad->c_str());
        return;
    }
    std::fprintf(srv.err,
                 "%s: state file %s %s; can't rename it to %s.bad: %s; starting with an empty table "
                 "and leaving the file as it is.\n",
                 prog(srv), path.c_str(), problem.c_str(), path.c_str(), std::strerror(error));
    srv.state_status.disabled = true;
}

// Says why the file cannot be written, once, and again only when the
// reason changes.
void say_write_problem(Server& srv, const FileOutcome& done)
{
    if (!is_news(srv.writers.state.problem, done))
        return;
    if (done.failed == FileStep::time_limit)
        std::fprintf(srv.err, "%s: can't write state file %s: timed out after %ld s\n", prog(srv),
                     srv.settings.state_file->c_str(), kWriteTimeLimitMs / 1000);
    else
        std::fprintf(srv.err, "%s: can't write state file %s: %s\n", prog(srv),
                     srv.settings.state_file->c_str(), std::strerror(done.error));
}

// Whether the file can be written where it is: found at start rather
// than two minutes later at the first write. Nothing is created, so a
// second server started on the same file by mistake cannot disturb a
// write of the first.
bool check_writable(Server& srv, const std::string& path)
{
    struct stat st{};
    struct stat folder{};
    const std::string dir = directory_of(path);
    FileOutcome probe;
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        probe = {FileStep::rename, EISDIR};
    else if (::stat(dir.c_str(), &folder) != 0)
        probe = {FileStep::open, errno};
    else if (!S_ISDIR(folder.st_mode))
        probe = {FileStep::open, ENOTDIR};  // access() would say "Permission denied"
    else if (::access(dir.c_str(), W_OK | X_OK) != 0)
        probe = {FileStep::open, errno};
    say_write_problem(srv, probe);
    return probe.failed == FileStep::done;
}

}  // namespace

bool load_state(Server& srv, std::time_t now)
{
    if (!srv.settings.state_file)
        return true;
    const std::string& path = *srv.settings.state_file;
    if (!check_writable(srv, path))
        return false;
    int error = 0;
    const auto bytes = read_state_file(path, error);
    if (error != 0) {
        set_aside(srv, path, format("can't be read (%s)", std::strerror(error)));
    } else if (bytes) {
        const long most = srv.settings.max_sites;
        // Entered from the tail, so that each goes to the head and the
        // order is the file's.
        // The table is sized for the sites first, and each is entered
        // straight from the file's bytes: no index is rebuilt as it grows
        // and no text is copied but into the table. Each site's index
        // cells are fetched kAhead sites before it is entered, so that the
        // cache misses of a large table overlap (one after the other, they
        // would be a third of the load of a million sites). Their search
        // texts are indexed later, from the loop, in bulk (table_index_some):
        // indexing them here would be half of the load, and the server serves
        // meanwhile.
        constexpr std::size_t kAhead = 8;
        struct Ahead {
            SiteView site;
            EntryHashes hashes;
        };
        std::array<Ahead, kAhead> ahead;
        std::size_t taken = 0;
        const DecodedState d = decode_state_views(
            bytes->bytes(), now, most > 0 ? std::size_t(most) : 0, [&](std::size_t n) { table_reserve(srv.table, n); },
            [&](const SiteView& s) {
                Ahead& slot = ahead[taken++ % kAhead];
                if (taken > kAhead)
                    table_enter_batched(srv.table, slot.site, slot.hashes);
                slot = {s, table_prefetch(srv.table, s)};
            });
        for (std::size_t k = taken > kAhead ? taken - kAhead : 0; k < taken; ++k)
            table_enter_batched(srv.table, ahead[k % kAhead].site, ahead[k % kAhead].hashes);
        if (d.problem) {
            set_aside(srv, path, *d.problem);
        } else {
            srv.state_status.loaded = table_size(srv.table);
            srv.stats.most_sites = table_size(srv.table);
            if (srv.settings.debug)
                std::fprintf(srv.err, "%s: loaded %zu sites from %s, %zu left out as too old\n",
                             prog(srv), table_size(srv.table), path.c_str(), d.too_old);
        }
    }
    return true;
}

void save_state_if_changed(Server& srv, std::time_t now, WriteMode how)
{
    auto& st = srv.state_status;
    if (!srv.settings.state_file || st.disabled || !st.changed || running(srv.writers.state))
        return;
    st.changed = false;
    const std::string& path = *srv.settings.state_file;
    const auto work = [&] {
        JobResult r;
        r.files[0] = write_state_file(srv.table, path, now);
        return r;
    };
    if (const auto done = start_write(srv.writers.state, how, work, monotonic_ms()))
        finish_state_write(srv, *done, now, how);
}

void finish_state_write(Server& srv, const JobResult& result, std::time_t now, WriteMode next)
{
    auto& st = srv.state_status;
    if (result.killed_by != 0 && !result.timed_out) {
        ++st.failures;
        st.changed = true;
        std::fprintf(srv.err, "%s: the state file writer was ended by signal %d.\n", prog(srv),
                     result.killed_by);
        return;
    }
    const FileOutcome done = result.timed_out ? FileOutcome{FileStep::time_limit, 0} : result.files[0];
    say_write_problem(srv, done);
    if (done.failed != FileStep::done) {
        ++st.failures;
        st.changed = true;  // tried again at the next sweep
    } else {
        ++st.writes;
        if (srv.settings.debug)
            std::fprintf(srv.err, "%s: saved the sites to %s\n", prog(srv), srv.settings.state_file->c_str());
    }
    // The old file stays; what the killed child should have written is
    // written next, in a child: in process it could hang the server the
    // same way.
    if (result.timed_out && next == WriteMode::in_child)
        save_state_if_changed(srv, now, next);
}

bool save_state_at_exit(Server& srv, std::time_t now)
{
    if (!srv.settings.state_file || srv.state_status.disabled)
        return true;
    // A write still running holds an older table: this one replaces it.
    cancel_write(srv.writers.state);
    JobResult last;
    last.files[0] = write_state_file(srv.table, *srv.settings.state_file, now);
    finish_state_write(srv, last, now, WriteMode::in_process);
    return last.files[0].failed == FileStep::done;
}

}  // namespace kovari
