// SPDX-License-Identifier: BSD-2-Clause
#include "signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "common/report.h"

namespace kovari {

namespace {

int signal_pipe_write = -1;  // written by the signal handlers only

// What a byte on the signal pipe asks for.
constexpr char kStopByte = 1;
constexpr char kStatisticsByte = 2;
constexpr char kChildByte = 3;

void note_signal(char byte)
{
    const int saved = errno;
    // A full pipe already holds a byte that wakes the loop.
    [[maybe_unused]] auto r = ::write(signal_pipe_write, &byte, 1);
    errno = saved;
}

extern "C" void on_terminate(int) { note_signal(kStopByte); }
extern "C" void on_statistics(int) { note_signal(kStatisticsByte); }
extern "C" void on_child(int) { note_signal(kChildByte); }
extern "C" void on_pipe(int) {}

void install_handler(int sig, void (*handler)(int))
{
    struct sigaction sa{};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART | (sig == SIGCHLD ? SA_NOCLDSTOP : 0);
    sigaction(sig, &sa, nullptr);  // fails only for a signal number that is not one
}

}  // namespace

bool catch_signals(Fd& read_end, std::FILE* err)
{
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_NONBLOCK | O_CLOEXEC) < 0) {
        report_error(err, "creating signal pipe", errno);
        return false;
    }
    read_end = Fd(pipe_fds[0]);
    signal_pipe_write = pipe_fds[1];
    install_handler(SIGHUP, on_terminate);
    install_handler(SIGINT, on_terminate);
    install_handler(SIGTERM, on_terminate);
    install_handler(SIGPIPE, on_pipe);
    install_handler(SIGUSR1, on_statistics);
    install_handler(SIGCHLD, on_child);
    return true;
}

NotedSignals take_signals(const Fd& read_end)
{
    NotedSignals noted;
    char bytes[16];
    ssize_t got;
    while ((got = ::read(read_end.get(), bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < got; ++i) {
            noted.stop = noted.stop || bytes[i] == kStopByte;
            noted.statistics = noted.statistics || bytes[i] == kStatisticsByte;
            noted.child_ended = noted.child_ended || bytes[i] == kChildByte;
        }
    }
    return noted;
}

}  // namespace kovari
