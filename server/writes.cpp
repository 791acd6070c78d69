// SPDX-License-Identifier: BSD-2-Clause
#include "writes.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace kovari {

bool is_news(ProblemNote& note, const FileOutcome& now)
{
    const bool news = now.failed != FileStep::done && now != note.last;
    note.last = now;
    return news;
}

std::string directory_of(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

namespace {

bool write_all(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        bytes.remove_prefix(std::size_t(n));
    }
    return true;
}

// The child's signals: a stop meant for the server ends the child, which
// the server then collects; anything else meant for the server (the
// statistics, a hang-up sent to every process of the name) is not the
// child's business. The server's own handlers would write to its pipe.
void reset_child_signals()
{
    // signal fails only for a signal number that does not exist.
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGCHLD, SIG_DFL);
    ::signal(SIGHUP, SIG_IGN);
    ::signal(SIGUSR1, SIG_IGN);
}

}  // namespace

FileOutcome replace_file(const std::string& temp, const std::string& final_name,
                         std::string_view bytes, unsigned mode, bool durable)
{
    Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (!fd.valid())
        return {FileStep::open, errno};
    bool ok = write_all(fd.get(), bytes);
    if (ok && durable)
        ok = ::fsync(fd.get()) == 0;
    int error = ok ? 0 : errno;
    if (::close(fd.release()) != 0 && error == 0)
        error = errno;
    if (error != 0) {
        std::remove(temp.c_str());
        return {FileStep::write, error};
    }
    if (std::rename(temp.c_str(), final_name.c_str()) != 0) {
        error = errno;
        std::remove(temp.c_str());
        return {FileStep::rename, error};
    }
    if (durable) {
        Fd dir(::open(directory_of(final_name).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dir.valid() || ::fsync(dir.get()) != 0)
            return {FileStep::sync, errno};
    }
    return {};
}

namespace {

// The result of a child that has ended, once; nothing while it runs.
// `wait`: waits for it to end.
std::optional<JobResult> finish_job(BackgroundJob& job, bool wait);

// Ends a child at once and collects it.
void cancel_job(BackgroundJob& job);

// Forks a child that runs `work`, sends its result and exits. Returns false
// when no child could be made; the caller then writes in process. `now_ms`
// is the monotonic clock, from which the time limit runs.
bool start_job(BackgroundJob& job, const std::function<JobResult()>& work, long now_ms)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    Fd read_end(fds[0]), write_end(fds[1]);
    const pid_t pid = ::fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        reset_child_signals();
        // Only the standard streams and the result pipe stay open: a
        // connection the server closes meanwhile must close for the
        // client now, not when the write ends, and the listening port must
        // not outlive the server in a child.
        read_end.reset();
        const unsigned keep = unsigned(write_end.get());
        // close_range fails only on flags it does not know; a descriptor
        // left open would cost a client its close, never the page.
        ::close_range(3, keep - 1, 0);
        ::close_range(keep + 1, ~0u, 0);
        const JobResult result = work();
        // A result that does not reach the pipe reads as a child that
        // was killed, which the parent reports as a write that failed.
        [[maybe_unused]] auto n = ::write(write_end.get(), &result, sizeof result);
        // _exit: nothing of the server's (buffered log lines, descriptors)
        // is flushed or closed twice.
        ::_exit(0);
    }
    job.pid = pid;
    job.result = std::move(read_end);
    job.started_ms = now_ms;
    return true;
}

// When a running job's time is up (monotonic ms); nothing when none runs.
std::optional<long> job_deadline(const BackgroundJob& job)
{
    if (!running(job))
        return std::nullopt;
    return job.started_ms + kWriteTimeLimitMs;
}

// Kills a job that has run past kWriteTimeLimitMs at `now_ms`, and collects
// it. Returns true when it did.
bool cancel_if_overdue(BackgroundJob& job, long now_ms)
{
    if (!running(job) || now_ms < *job_deadline(job))
        return false;
    cancel_job(job);
    return true;
}

std::optional<JobResult> finish_job(BackgroundJob& job, bool wait)
{
    if (!running(job))
        return std::nullopt;
    int status = 0;
    pid_t got;
    while ((got = ::waitpid(job.pid, &status, wait ? 0 : WNOHANG)) < 0 && errno == EINTR) {
    }
    if (got == 0)
        return std::nullopt;
    JobResult result;
    // The child wrote its result (a few dozen bytes, one write to a pipe,
    // so whole or not at all) before it exited.
    const ssize_t n = got > 0 ? ::read(job.result.get(), &result, sizeof result) : -1;
    if (n != ssize_t(sizeof result)) {
        result = JobResult{};
        result.killed_by = got > 0 && WIFSIGNALED(status) ? WTERMSIG(status) : SIGKILL;
    }
    job.pid = -1;
    job.result.reset();
    return result;
}

void cancel_job(BackgroundJob& job)
{
    if (!running(job))
        return;
    // kill fails only when the child has already ended; the wait
    // collects it either way.
    ::kill(job.pid, SIGKILL);
    finish_job(job, true);
}

}  // namespace

std::optional<JobResult> start_write(Writer& w, WriteMode how, const std::function<JobResult()>& work,
                                     long now_ms)
{
    if (how == WriteMode::in_child && start_job(w.job, work, now_ms))
        return std::nullopt;
    return work();
}

std::optional<JobResult> collect_write(Writer& w, bool wait) { return finish_job(w.job, wait); }

std::optional<long> write_deadline(const Writer& w) { return job_deadline(w.job); }

void cancel_write(Writer& w) { cancel_job(w.job); }

std::optional<JobResult> stop_overdue_write(Writer& w, long now_ms)
{
    if (!cancel_if_overdue(w.job, now_ms))
        return std::nullopt;
    JobResult r;
    r.killed_by = SIGKILL;
    r.timed_out = true;
    return r;
}

}  // namespace kovari
