// SPDX-License-Identifier: BSD-2-Clause
// quorind: the directory server. This file holds the event loop, the
// listener and the timers; connections.cpp the connections whose request
// has not arrived whole; everything they call takes bytes and times as
// arguments, and the signals it answers are noted by signals.cpp.
//
// One thread. The listening socket, the connections whose request has not
// arrived yet, the copies being forwarded to peer servers and the signal
// pipe are watched together with epoll, so neither a client that connects
// and sends nothing (or sends slowly) nor a peer that does not answer holds
// up the others. Each request is handled whole (act, reply, close) before
// the next, and the expiry sweep runs from the same loop, never inside a
// request.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/clock.h"
#include "activity.h"
#include "forward.h"
#include "html.h"
#include "loop.h"
#include "metrics.h"
#include "options.h"
#include "signals.h"
#include "state_file.h"
#include "statistics.h"

namespace kovari {
namespace {

constexpr long kAcceptPauseMs = 100;      // pause when descriptors run out
// Accepts per wake-up of epoll. One: the listener is level-triggered, so a
// second connection in the queue wakes the next wait at once, and a lone
// connection (the usual case) costs no accept that only finds the queue
// empty: bursts of 64 take about 10% more server CPU per request (bench/).
// Under load the server mostly waits in accept instead (below).
constexpr int kAcceptBurst = 1;

// While nothing but the listener needs the loop (no connection is pending, no
// copy is under way, nothing falls due within kAcceptWaitMs, accepting is not
// paused), the server waits in accept itself rather than in epoll_wait: a
// request then costs four calls, accept, recv, send and close (strace -c:
// 4.02 per request over 6,000 exact queries), where a round through epoll
// adds a fifth. The listener is a blocking socket whose receive timeout
// (SO_RCVTIMEO) bounds each accept: with a timeout set, a signal interrupts
// accept (EINTR) even under SA_RESTART, so a stop or an ended writer child is
// seen at once; a signal that lands just before accept is entered is seen
// within kAcceptWaitMs, or kPollEvery requests under load. Idle, the server
// wakes ten times a second for two calls that find nothing.
constexpr long kAcceptWaitMs = 100;
// Requests served in accept before epoll is looked at (without waiting):
// the signal pipe and anything else ready are never more than this many
// requests behind. 1/64 of a call per request.
constexpr int kPollEvery = 64;
// The sites of a state file just loaded have their search texts indexed
// this many at a time, between wake-ups of the loop, which does not wait
// while any are left: a few milliseconds a slice, a second or so for a
// million sites.
constexpr std::size_t kIndexingSlice = 4096;

// Sites are stamped with the wall clock, which logs, pages and replies show;
// their ages follow the monotonic clock. Checked at every wake-up of the
// loop, before any request is handled; `now_ms` is the monotonic clock.
void follow_wall_clock(Loop& lp, long now_ms)
{
    const long step_s = clock_step_seconds(wall_clock_ms() - now_ms - lp.clock_offset_ms);
    if (step_s == 0)
        return;
    follow_clock_step(lp.srv, std::time_t(step_s));
    lp.clock_offset_ms += step_s * 1000;
}

void set_accepting(Loop& lp, bool on)
{
    if (lp.accepting == on)
        return;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = lp.listener.get();
    if (::epoll_ctl(lp.epoll.get(), on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, lp.listener.get(), &ev) < 0) {
        // Left as it was: a pause that cannot begin leaves the listener
        // ready, and its accept fails and is reported again; one that
        // cannot end is tried again after another pause.
        const int reason = errno;
        report_limited(lp.srv.limiter, lp.srv.err, lp.srv.settings.program_name, "watching listener",
                       format("watching listening socket: %s\n", std::strerror(reason)), monotonic_ms());
        lp.accept_resume = monotonic_ms() + kAcceptPauseMs;
        return;
    }
    lp.accepting = on;
}

// One accept, and the connection served if there was one. Returns false
// when none was taken: the queue was empty (in a blocking accept: none came
// within kAcceptWaitMs), a signal came, or accepting had to pause.
bool accept_one(Loop& lp)
{
    for (;;) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        const int fd = ::accept4(lp.listener.get(), reinterpret_cast<sockaddr*>(&peer), &len,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            const long accepted_us = monotonic_us();
            follow_wall_clock(lp, accepted_us / 1000);  // a blocking accept may have waited
            take_connection(lp, fd, peer, accepted_us);
            return true;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return false;
        if (errno == ECONNABORTED)
            continue;
        // Out of descriptors or memory, or a socket that is not
        // listening: report, and look again after a pause rather than
        // spin on a listener that stays ready.
        const int reason = errno;
        report_limited(lp.srv.limiter, lp.srv.err, lp.srv.settings.program_name,
                       format("accept %d", reason),
                       format("accepting connection to socket: %s\n", std::strerror(reason)),
                       monotonic_ms());
        set_accepting(lp, false);
        lp.accept_resume = monotonic_ms() + kAcceptPauseMs;
        return false;
    }
}

// The listener is readable.
void accept_connections(Loop& lp)
{
    for (int k = 0; k < kAcceptBurst && accept_one(lp); ++k) {
    }
}

int next_timeout(const Loop& lp, long now)
{
    if (table_indexing_pending(lp.srv.table))
        return 0;
    long due = lp.sweep_due;
    if (lp.srv.settings.metrics_base)
        due = std::min(due, lp.metrics_due);
    if (auto idle_due = next_idle_deadline(lp))
        due = std::min(due, *idle_due);
    if (auto held_due = next_held_due(lp, now))
        due = std::min(due, *held_due);
    if (auto copy_due = next_copy_deadline(lp.srv.forwarder))
        due = std::min(due, *copy_due);
    if (!lp.accepting)
        due = std::min(due, lp.accept_resume);
    if (lp.notifier && lp.notifier->watchdog_ms > 0)
        due = std::min(due, lp.watchdog_due);
    for (const Writer* w : {&lp.srv.writers.pages, &lp.srv.writers.state})
        if (auto job_due = write_deadline(*w))
            due = std::min(due, *job_due);
    return int(std::max(0L, due - now));
}

// The children writing the pages or the state file that have ended (all
// of them, waiting for each, when `wait`): their results are reported, and
// a change that came meanwhile is written next, as `next` says.
void collect_writes(Server& srv, bool wait, WriteMode next)
{
    if (auto done = collect_write(srv.writers.pages, wait))
        finish_page_write(srv, *done, std::time(nullptr), next);
    if (auto done = collect_write(srv.writers.state, wait))
        finish_state_write(srv, *done, std::time(nullptr), next);
}

// At the end: the page write under way is waited for, but no longer than
// its time limit, past which it is stopped and said as at any other time;
// then the children that are left are collected. What is written after
// them is written in process.
void finish_writes_at_exit(Server& srv)
{
    while (running(srv.writers.pages)) {
        if (auto done = collect_write(srv.writers.pages, false))
            finish_page_write(srv, *done, std::time(nullptr), WriteMode::in_process);
        else if (auto late = stop_overdue_write(srv.writers.pages, monotonic_ms()))
            finish_page_write(srv, *late, std::time(nullptr), WriteMode::in_process);
        else
            ::poll(nullptr, 0, 10);  // a pause; interrupted or not, the loop looks again
    }
    collect_writes(srv, true, WriteMode::in_process);
}

// Acts on one ready descriptor. Returns false when a signal asks the
// server to stop.
bool handle_event(Loop& lp, int fd)
{
    if (fd == lp.signal_read.get()) {
        const NotedSignals noted = take_signals(lp.signal_read);
        if (noted.statistics)
            write_statistics(lp.srv, lp.srv.out, monotonic_ms());
        if (noted.child_ended)
            collect_writes(lp.srv, false, WriteMode::in_child);
        return !noted.stop;
    }
    if (fd == lp.listener.get()) {
        accept_connections(lp);
    } else if (is_pending(lp, fd)) {
        serve_pending(lp, fd);
    } else {
        serve_copy(lp.srv, fd, monotonic_ms());
    }
    return true;
}

// What falls due with time rather than with an event: the next slice of
// search texts to file, idle connections, requests held back whose
// senders' charge has run down, copies out of time, writers out
// of time, the end of an accept pause and the expiry sweep.
void run_due_work(Loop& lp, long now)
{
    if (table_indexing_pending(lp.srv.table) && !table_index_some(lp.srv.table, kIndexingSlice) &&
        lp.srv.settings.debug)
        std::fprintf(lp.srv.err, "%s: search texts of the loaded sites filed, %ld ms after the start\n",
                     lp.srv.settings.program_name.c_str(), monotonic_ms() - lp.srv.stats.started_ms);
    close_idle(lp, now);
    serve_held(lp, now);
    expire_copies(lp.srv, now);
    if (auto late = stop_overdue_write(lp.srv.writers.pages, now))
        finish_page_write(lp.srv, *late, std::time(nullptr), WriteMode::in_child);
    if (auto late = stop_overdue_write(lp.srv.writers.state, now))
        finish_state_write(lp.srv, *late, std::time(nullptr), WriteMode::in_child);
    if (!lp.accepting && now >= lp.accept_resume)
        set_accepting(lp, true);
    if (now >= lp.sweep_due) {
        const std::time_t wall = std::time(nullptr);
        note_table_change(lp.srv, expire_sites(lp.srv, wall), wall, WriteMode::in_child);
        // A change to the pages held back by their interval is written at
        // the latest by the sweep.
        update_html(lp.srv, wall, WriteMode::in_child);
        save_state_if_changed(lp.srv, wall, WriteMode::in_child);
        lp.sweep_due = monotonic_ms() + kSweepInterval * 1000;
        notify(lp.notifier, "STATUS=" + status_text(lp.srv));
    }
    if (lp.srv.settings.metrics_base && now >= lp.metrics_due) {
        write_metrics(lp.srv);
        lp.metrics_due = monotonic_ms() + kMetricsIntervalMs;
    }
    if (lp.notifier && lp.notifier->watchdog_ms > 0 && now >= lp.watchdog_due) {
        notify(lp.notifier, "WATCHDOG=1");
        lp.watchdog_due = now + lp.notifier->watchdog_ms;
    }
}

// Nothing but the listener needs the loop for the next kAcceptWaitMs.
bool only_listening(const Loop& lp)
{
    return lp.accepting && lp.pending_count == 0 && lp.held.empty() && lp.srv.forwarder.copies.empty() &&
           next_timeout(lp, monotonic_ms()) >= kAcceptWaitMs;
}

// Serves connections from a blocking accept while only the listener needs
// the loop, at most kPollEvery of them. Returns whether it called accept at
// all: the loop's look at epoll that follows then need not wait.
bool serve_from_accept(Loop& lp)
{
    for (int k = 0; k < kPollEvery; ++k) {
        if (!only_listening(lp))
            return k > 0;
        if (!accept_one(lp))
            return true;
    }
    return true;
}

int run_loop(Loop& lp)
{
    epoll_event events[64];
    for (;;) {
        const bool accepted = serve_from_accept(lp);
        const int ready = epoll_wait(lp.epoll.get(), events, 64, accepted ? 0 : next_timeout(lp, monotonic_ms()));
        follow_wall_clock(lp, monotonic_ms());
        if (ready < 0 && errno != EINTR) {
            report_error(lp.srv.err, "waiting for connections", errno);
            return 1;
        }
        for (int i = 0; i < ready; ++i) {
            if (!handle_event(lp, events[i].data.fd)) {
                notify(lp.notifier, "STOPPING=1");
                ::shutdown(lp.listener.get(), SHUT_RDWR);  // closed next in any case
                lp.listener.reset();
                // The state is written here, whole, in place of any write
                // under way, while a page being written is finished.
                const bool saved = save_state_at_exit(lp.srv, std::time(nullptr));
                finish_writes_at_exit(lp.srv);
                // Last, so that it counts the writes just made.
                if (lp.srv.settings.metrics_base)
                    write_metrics(lp.srv);
                std::fflush(lp.srv.out);  // a log that cannot be written has nowhere to say so
                return saved ? 0 : kStateLostStatus;
            }
        }
        run_due_work(lp, monotonic_ms());
    }
}

// Opens the listening socket and binds it to the port of the settings.
bool bind_listener(Loop& lp)
{
    // Blocking, for the waits in accept (serve_from_accept), each bounded by
    // the receive timeout. Epoll's readiness is acted on by one accept,
    // which then finds the connection waiting.
    lp.listener = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!lp.listener.valid()) {
        report_error(lp.srv.err, "opening stream socket", errno);
        return false;
    }
    // Without this a restart would fail to bind while connections that the
    // server closed are still in TIME_WAIT; should it fail, the bind that
    // follows says whether it mattered.
    const int on = 1;
    if (::setsockopt(lp.listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0)
        report_error(lp.srv.err, "setting socket option SO_REUSEADDR", errno);
    // Without its timeout a wait in accept would not end while only the
    // listener is watched, and nothing else would be served.
    const timeval wait{.tv_sec = 0, .tv_usec = kAcceptWaitMs * 1000};
    if (::setsockopt(lp.listener.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) < 0) {
        report_error(lp.srv.err, "setting socket option SO_RCVTIMEO", errno);
        return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = lp.srv.settings.listen_ip;  // 0: every address
    addr.sin_port = htons(std::uint16_t(lp.srv.settings.listen_port & 0xffff));
    if (::bind(lp.listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        report_error(lp.srv.err, "binding stream socket", errno);
        return false;
    }
    return true;
}

// Listens, and sets up the event queue with the signal pipe and the
// listener in it.
bool start_listening(Loop& lp)
{
    if (::listen(lp.listener.get(), kListenBacklog) < 0)
        report_error(lp.srv.err, "calling listen for socket", errno);
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(lp.listener.get(), reinterpret_cast<sockaddr*>(&addr), &len) < 0) {
        report_error(lp.srv.err, "getting socket name", errno);
        return false;
    }
    lp.srv.listening_port = ntohs(addr.sin_port);
    lp.epoll = Fd(epoll_create1(EPOLL_CLOEXEC));
    if (!lp.epoll.valid()) {
        report_error(lp.srv.err, "creating event queue", errno);
        return false;
    }
    if (!watch(lp, lp.signal_read.get(), EPOLLIN) || !watch(lp, lp.listener.get(), EPOLLIN)) {
        report_error(lp.srv.err, "adding to event queue", errno);
        return false;
    }
    return true;
}

// The usual soft limit on open descriptors, assumed when it cannot be read.
constexpr std::size_t kUsualDescriptorLimit = 1024;

// Raises the soft limit on open descriptors to the hard limit (a service
// manager sets both) and returns the limit in force.
std::size_t raise_descriptor_limit()
{
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0)
        return kUsualDescriptorLimit;
    if (lim.rlim_cur < lim.rlim_max) {
        rlimit raised = lim;
        raised.rlim_cur = lim.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            lim = raised;
    }
    return lim.rlim_cur == RLIM_INFINITY ? std::size_t(-1) : std::size_t(lim.rlim_cur);
}

// The caps on pending connections leave room for a copy to each peer that
// is sent to.
PendingCaps caps_for(const ServerSettings& set)
{
    const auto peers = std::count_if(set.peers.begin(), set.peers.end(),
                                     [](const Peer& p) { return p.sent_to; });
    return pending_caps(raise_descriptor_limit(), std::size_t(peers));
}

// Keys every map whose keys a client steers with the secret drawn at
// start: the table's indexes, the pending connections and the charges per
// address, and the repeated error lines.
void key_hashes(Loop& lp, const HashKey& key)
{
    table_set_hash_key(lp.srv.table, key);
    lp.srv.limiter.seen = decltype(lp.srv.limiter.seen)(0, KeyedHasher{key});
    lp.pending_from = decltype(lp.pending_from)(0, KeyedHasher{key});
    lp.charges.by_address = decltype(lp.charges.by_address)(0, KeyedHasher{key});
}

int serve(int argc, char** argv)
{
    Server srv;
    if (auto status = parse_server_options(srv, argc, argv))
        return *status;
    Loop lp{.srv = srv};
    // Without a secret anyone could choose keys that fill one run of an
    // index: the server does not run unkeyed.
    const std::optional<HashKey> key = draw_hash_key();
    if (!key) {
        report_error(srv.err, "drawing the hash key", errno);
        return 1;
    }
    key_hashes(lp, *key);
    lp.caps = caps_for(srv.settings);
    srv.stats.started_ms = monotonic_ms();
    srv.stats.started_at = std::time(nullptr);
    if (!load_state(srv, std::time(nullptr)))
        return 2;
    if (!bind_listener(lp) || !catch_signals(lp.signal_read, srv.err) || !start_listening(lp))
        return 1;
    lp.sweep_due = monotonic_ms() + kSweepInterval * 1000;
    lp.metrics_due = monotonic_ms();  // the first at once
    lp.clock_offset_ms = wall_clock_ms() - monotonic_ms();
    // The first pages are written by a child, as every later write is, while
    // the first requests are served: at a million sites building them takes
    // seconds, which would otherwise all come before the server is ready.
    update_html(srv, std::time(nullptr), WriteMode::in_child);
    setvbuf(stdout, nullptr, _IOLBF, 0);  // failing, the log is only buffered more
    // Ready once the table is loaded and the port accepts connections; a
    // page may not have been written yet.
    lp.notifier = open_notifier(std::getenv("NOTIFY_SOCKET"), std::getenv("WATCHDOG_USEC"));
    notify(lp.notifier, "READY=1\nSTATUS=" + status_text(srv));
    lp.watchdog_due = monotonic_ms();
    return run_loop(lp);
}

}  // namespace
}  // namespace kovari

int main(int argc, char** argv) { return kovari::serve(argc, argv); }
