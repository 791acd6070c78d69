// quorind: the directory server. This file holds the socket code and the
// event loop; everything it calls takes bytes and times as arguments, and
// the signals it answers are noted by signals.cpp.
//
// One thread. The listening socket, the connections whose packet has not
// arrived yet, the copies being forwarded to peer servers and the signal
// pipe are watched together with epoll, so neither a client that connects
// and sends nothing nor a peer that does not answer holds up the others.
// Each packet is handled whole (receive, act, reply, close) before the
// next, and the expiry sweep runs from the same loop, never inside a
// request.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <vector>

#include "common/clock.h"
#include "common/fd.h"
#include "notify.h"
#include "server.h"
#include "signals.h"

namespace kovari {
namespace {

constexpr long kIdleLimitMs = 10'000;     // a connection must deliver in this time
constexpr long kAcceptPauseMs = 100;      // pause when descriptors run out
// Accepts per wake-up. One: the listener is level-triggered, so a second
// pending connection wakes the next wait at once, and a lone connection (the
// usual case) costs no accept that only finds the queue empty. Measured with
// bench/: about 10% less server CPU per request than bursts of 64.
constexpr int kAcceptBurst = 1;

struct Waiting {
    int fd;
    std::uint64_t serial;  // which connection on this descriptor
    long deadline;         // monotonic ms
};

struct Connection {
    bool waiting = false;
    std::uint32_t ip = 0;
    std::uint16_t port = 0;
    std::uint64_t serial = 0;  // tells a reused descriptor from its predecessor
};

struct Loop {
    Server& srv;
    Fd listener{};
    Fd epoll{};
    Fd signal_read{};
    std::vector<Connection> conns{};    // by descriptor
    std::deque<Waiting> waiting{};      // in order of acceptance: deadlines grow
    RequestBuffer buf{};
    long sweep_due = 0;
    long clock_offset_ms = 0;           // wall clock minus monotonic clock, as followed
    std::optional<Notifier> notifier{};  // the service manager, if it listens
    long watchdog_due = 0;
    long accept_resume = 0;             // accepting paused until then
    bool accepting = true;
    std::uint64_t next_serial = 1;
};

// A waiting-list entry still stands for the connection now on its
// descriptor, which may have been closed and reused since.
bool still_waiting(const Loop& lp, const Waiting& w)
{
    const auto& c = lp.conns[std::size_t(w.fd)];
    return c.waiting && c.serial == w.serial;
}

void watch(Loop& lp, int fd, std::uint32_t events)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    epoll_ctl(lp.epoll.get(), EPOLL_CTL_ADD, fd, &ev);
}

// A request may have started forwarded copies; they are appended, so the
// new ones are at the back. Each is watched until it can be sent; closing
// its descriptor takes it out of the epoll set.
void watch_new_copies(Loop& lp)
{
    auto& copies = lp.srv.forwarder.copies;
    for (auto it = copies.rbegin(); it != copies.rend() && !it->watched; ++it) {
        watch(lp, it->fd.get(), EPOLLOUT);
        it->watched = true;
    }
}

// The one receive of a connection. Returns false when its packet has not
// arrived yet.
bool receive_packet(Loop& lp, int fd, long& n)
{
    const ssize_t r = ::recv(fd, lp.buf.bytes, kMaxRequest, 0);
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return false;
    n = r < 0 ? -1 : long(r);
    return true;
}

// Acts on what the connection delivered, replies and closes it.
void finish_connection(Loop& lp, int fd, long n)
{
    auto& c = lp.conns[std::size_t(fd)];
    c.waiting = false;
    Fd conn(fd);
    const RequestAction act = handle_packet(lp.srv, lp.buf, n, c.ip, c.port, std::time(nullptr));
    if (!act.reply.empty()) {
        if (::send(fd, act.reply.data(), act.reply.size(), MSG_NOSIGNAL) < 0)
            report_error(lp.srv.err, act.send_failure, errno);
    }
    watch_new_copies(lp);
}

void set_accepting(Loop& lp, bool on)
{
    if (lp.accepting == on)
        return;
    lp.accepting = on;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = lp.listener.get();
    epoll_ctl(lp.epoll.get(), on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, lp.listener.get(), &ev);
}

// Takes on a connection just accepted: most clients send right after
// connecting, so its packet is tried at once, and only a connection whose
// packet is not there yet waits, for at most kIdleLimitMs.
void take_connection(Loop& lp, int fd, const sockaddr_in& peer)
{
    const auto& set = lp.srv.settings;
    if (set.very_verbose)
        std::fprintf(lp.srv.out, "%s: %s accept\n", set.program_name.c_str(),
                     dotted(peer.sin_addr.s_addr).c_str());
    if (lp.conns.size() <= std::size_t(fd))
        lp.conns.resize(std::size_t(fd) + 1);
    const std::uint64_t serial = lp.next_serial++;
    lp.conns[std::size_t(fd)] = Connection{false, peer.sin_addr.s_addr, ntohs(peer.sin_port), serial};
    long n = 0;
    if (receive_packet(lp, fd, n)) {
        finish_connection(lp, fd, n);
        return;
    }
    lp.conns[std::size_t(fd)].waiting = true;
    lp.waiting.push_back({fd, serial, monotonic_ms() + kIdleLimitMs});
    watch(lp, fd, EPOLLIN | EPOLLRDHUP);
}

void accept_connections(Loop& lp)
{
    for (int k = 0; k < kAcceptBurst; ++k) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        const int fd = ::accept4(lp.listener.get(), reinterpret_cast<sockaddr*>(&peer), &len,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                return;
            if (errno == ECONNABORTED)
                continue;
            // Out of descriptors or memory, or a socket that is not
            // listening: report, and look again after a pause rather than
            // spin on a listener that stays ready.
            report_error(lp.srv.err, "accepting connection to socket", errno);
            set_accepting(lp, false);
            lp.accept_resume = monotonic_ms() + kAcceptPauseMs;
            return;
        }
        take_connection(lp, fd, peer);
    }
}

void close_idle(Loop& lp, long now)
{
    while (!lp.waiting.empty()) {
        const Waiting w = lp.waiting.front();
        if (!still_waiting(lp, w)) {
            lp.waiting.pop_front();  // served already
            continue;
        }
        if (w.deadline > now)
            return;
        lp.waiting.pop_front();
        ++lp.srv.stats.idle_closed;
        finish_connection(lp, w.fd, 0);  // nothing came: an empty receive
    }
}

int next_timeout(const Loop& lp, long now)
{
    long due = lp.sweep_due;
    for (const auto& w : lp.waiting) {
        if (still_waiting(lp, w)) {
            due = std::min(due, w.deadline);
            break;
        }
    }
    if (auto copy_due = next_copy_deadline(lp.srv.forwarder))
        due = std::min(due, *copy_due);
    if (!lp.accepting)
        due = std::min(due, lp.accept_resume);
    if (lp.notifier && lp.notifier->watchdog_ms > 0)
        due = std::min(due, lp.watchdog_due);
    return int(std::max(0L, due - now));
}

// Acts on one ready descriptor. Returns false when a signal asks the
// server to stop.
bool handle_event(Loop& lp, int fd)
{
    if (fd == lp.signal_read.get()) {
        const NotedSignals noted = take_signals(lp.signal_read);
        if (noted.statistics)
            write_statistics(lp.srv, lp.srv.out, monotonic_ms());
        return !noted.stop;
    }
    if (fd == lp.listener.get()) {
        accept_connections(lp);
    } else if (std::size_t(fd) < lp.conns.size() && lp.conns[std::size_t(fd)].waiting) {
        long n = 0;
        if (receive_packet(lp, fd, n))
            finish_connection(lp, fd, n);
    } else {
        serve_copy(lp.srv, fd);
    }
    return true;
}

// What falls due with time rather than with an event: idle connections,
// copies out of time, the end of an accept pause and the expiry sweep.
void run_due_work(Loop& lp, long now)
{
    close_idle(lp, now);
    expire_copies(lp.srv, now);
    if (!lp.accepting && now >= lp.accept_resume)
        set_accepting(lp, true);
    if (now >= lp.sweep_due) {
        expire_sites(lp.srv, std::time(nullptr));
        lp.sweep_due = monotonic_ms() + kSweepInterval * 1000;
        notify(lp.notifier, "STATUS=" + status_text(lp.srv));
    }
    if (lp.notifier && lp.notifier->watchdog_ms > 0 && now >= lp.watchdog_due) {
        notify(lp.notifier, "WATCHDOG=1");
        lp.watchdog_due = now + lp.notifier->watchdog_ms;
    }
}

// A step of the wall clock against the monotonic one larger than this is
// followed; smaller differences are the slewing of time synchronisation.
constexpr long kClockStepMs = 2000;

// Sites are stamped with the wall clock, which logs, pages and replies show;
// their ages follow the monotonic clock. Checked at every wake-up of the
// loop, before any request is handled.
void follow_wall_clock(Loop& lp)
{
    const long step_ms = wall_clock_ms() - monotonic_ms() - lp.clock_offset_ms;
    if (step_ms > -kClockStepMs && step_ms < kClockStepMs)
        return;
    const long step_s = step_ms / 1000;
    follow_clock_step(lp.srv, std::time_t(step_s));
    lp.clock_offset_ms += step_s * 1000;
}

int run_loop(Loop& lp)
{
    epoll_event events[64];
    for (;;) {
        const int ready = epoll_wait(lp.epoll.get(), events, 64, next_timeout(lp, monotonic_ms()));
        follow_wall_clock(lp);
        if (ready < 0 && errno != EINTR) {
            report_error(lp.srv.err, "waiting for connections", errno);
            return 1;
        }
        for (int i = 0; i < ready; ++i) {
            if (!handle_event(lp, events[i].data.fd)) {
                notify(lp.notifier, "STOPPING=1");
                ::shutdown(lp.listener.get(), SHUT_RDWR);
                lp.listener.reset();
                std::fflush(lp.srv.out);
                return 0;
            }
        }
        run_due_work(lp, monotonic_ms());
    }
}

// Opens the listening socket and binds it to the port of the settings.
bool bind_listener(Loop& lp)
{
    lp.listener = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!lp.listener.valid()) {
        report_error(lp.srv.err, "opening stream socket", errno);
        return false;
    }
    // Without this a restart would fail to bind while connections that the
    // server closed are still in TIME_WAIT.
    const int on = 1;
    setsockopt(lp.listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
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
    watch(lp, lp.signal_read.get(), EPOLLIN);
    watch(lp, lp.listener.get(), EPOLLIN);
    return true;
}

int serve(int argc, char** argv)
{
    Server srv;
    if (auto status = parse_server_options(srv, argc, argv))
        return *status;
    Loop lp{.srv = srv};
    srv.stats.started_ms = monotonic_ms();
    if (!bind_listener(lp) || !catch_signals(lp.signal_read, srv.err) || !start_listening(lp))
        return 1;
    lp.sweep_due = monotonic_ms() + kSweepInterval * 1000;
    lp.clock_offset_ms = wall_clock_ms() - monotonic_ms();
    note_change(srv, std::time(nullptr));
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // Ready once the port accepts connections and the pages are written.
    lp.notifier = open_notifier(std::getenv("NOTIFY_SOCKET"), std::getenv("WATCHDOG_USEC"));
    notify(lp.notifier, "READY=1\nSTATUS=" + status_text(srv));
    lp.watchdog_due = monotonic_ms();
    return run_loop(lp);
}

}  // namespace
}  // namespace kovari

int main(int argc, char** argv) { return kovari::serve(argc, argv); }
