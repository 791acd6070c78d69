// SPDX-License-Identifier: BSD-2-Clause
// The pending connections, those whose request has not arrived whole: the
// first receive right after the accept, the pieces of a request that comes
// in several sends, the caps on how many may be pending, and the idle limit.
//
// A request that is there whole at the first receive is handled at once,
// from the loop's own buffer. One whose length fields say that more is due
// (request_incomplete) is gathered in a buffer of the connection's own, one
// receive per wake-up, until it is whole, reaches kMaxRequest bytes, the
// client closes its side or the idle limit passes; then it is handled as if
// one receive had brought it. No other client waits for a slow one
// meanwhile.
#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/clock.h"
#include "forward.h"
#include "html.h"
#include "loop.h"

namespace kovari {
namespace {

constexpr long kIdleLimitMs = 10'000;  // a connection must deliver in this time

// Pending connections from one address. A voice program or a lookup sends its
// request right after it connects, so an address that behaves has only the
// connections it opened within a round trip pending: a few, a dozen behind a
// busy NAT. 64 leaves that a wide margin, and an address that holds
// connections without sending costs at most 64 descriptors: a quarter of a
// limit of 256, a sixteenth of 1024. With one address opening 150 idle
// connections a second (kvload -Wflood), other clients' queries take 0.4 ms
// at most under either limit; with no cap they would take a p50 of 1.1 s and
// up to 7.7 s under a limit of 1024, 7.1 s and up to 21 s under 256.
constexpr std::size_t kMaxPendingPerAddress = 64;
// Descriptors kept from the pending connections' total: the three standard
// streams, the listener, the event queue, the two ends of the signal
// pipe, the service manager's socket, an HTML page being written and the
// connection accepted before the oldest makes room for it (10), and a
// margin for the C library. Forwarded copies get kMaxCopiesPerPeer for
// each peer on top of this.
constexpr std::size_t kSpareDescriptors = 16;
// However small the limit, this many may be pending; a limit below the
// reserve then runs out of descriptors first, and accepting pauses.
constexpr std::size_t kMinPendingTotal = 16;

// A request to act on: the bytes of one receive, or of the pieces gathered.
struct Delivered {
    RequestBuffer* buf;
    std::size_t n;  // 0: nothing came, or the receive failed
};

// A deadline still stands for the connection now on its descriptor,
// which may have been closed and reused since.
bool still_pending(const Loop& lp, const PendingDeadline& d)
{
    const auto& c = lp.conns[std::size_t(d.fd)];
    return c.pending && c.serial == d.serial;
}

// What a connection has delivered so far: the pieces gathered, or nothing.
Delivered delivered_so_far(Loop& lp, const Connection& c)
{
    return c.partial ? Delivered{c.partial.get(), c.have} : Delivered{&lp.buf, 0};
}

// A connection from `ip` counts against the caps while it is pending or
// its request is held back.
void count_open(Loop& lp, std::uint32_t ip)
{
    ++lp.pending_count;
    ++lp.pending_from[ip];
}

void uncount_open(Loop& lp, std::uint32_t ip)
{
    --lp.pending_count;
    const auto it = lp.pending_from.find(ip);
    if (--it->second == 0)
        lp.pending_from.erase(it);
}

// Returns false when the connection cannot be watched; it is then not
// pending.
bool add_pending(Loop& lp, int fd)
{
    if (!watch(lp, fd, EPOLLIN | EPOLLRDHUP)) {
        const int reason = errno;
        report_limited(lp.srv.limiter, lp.srv.err, lp.srv.settings.program_name, "watching connection",
                       format("watching connection: %s\n", std::strerror(reason)), monotonic_ms());
        return false;
    }
    Connection& c = lp.conns[std::size_t(fd)];
    c.pending = true;
    count_open(lp, c.ip);
    lp.deadlines.push_back({fd, c.serial, monotonic_ms() + kIdleLimitMs});
    return true;
}

void drop_pending(Loop& lp, Connection& c)
{
    if (!c.pending)
        return;
    c.pending = false;
    uncount_open(lp, c.ip);
}

// Holds a whole request back while its address is over its share of the
// server's time (Charges): kept in the connection's own buffer, out of the
// epoll set, counted among the address's pending connections and within
// their caps. False when the address has its fill of those.
bool make_room(Loop& lp, std::uint32_t ip);
bool hold_request(Loop& lp, int fd, Delivered d)
{
    Connection& c = lp.conns[std::size_t(fd)];
    if (!make_room(lp, c.ip))
        return false;
    if (d.buf != c.partial.get()) {
        c.partial = std::make_unique<RequestBuffer>();
        std::memcpy(c.partial->bytes, d.buf->bytes, std::size_t(d.n));
    }
    c.have = std::size_t(d.n);
    c.held = true;
    ++lp.srv.stats.held;
    count_open(lp, c.ip);
    epoll_ctl(lp.epoll.get(), EPOLL_CTL_DEL, fd, nullptr);  // fails harmlessly if it never waited
    lp.held.push_back({fd, c.serial});
    return true;
}

// Acts on what the connection delivered, replies and closes it. The time
// it took is charged to the sender.
void answer_connection(Loop& lp, int fd, Delivered d)
{
    Connection& c = lp.conns[std::size_t(fd)];
    Fd conn(fd);
    Server& srv = lp.srv;
    const std::time_t now = std::time(nullptr);
    const long now_ms = monotonic_ms();
    const long start_us = monotonic_us();
    const RequestAction act = handle_packet(srv, *d.buf, d.n, c.ip, c.port, now, now_ms);
    charge_request(lp.charges, c.ip, monotonic_us() - start_us, now_ms);
    // The writes first: a page writer's child is forked before the copies'
    // sockets are opened, so it holds none of them open.
    note_table_change(srv, act.change, now, WriteMode::in_child);
    if (!act.forward.empty()) {
        // Each copy is watched until it can be sent; closing its descriptor
        // takes it out of the epoll set.
        start_copies(srv, act.forward, now_ms, [&](int copy) { return watch(lp, copy, EPOLLOUT); });
    }
    if (!act.reply.empty()) {
        if (::send(fd, act.reply.data(), act.reply.size(), MSG_NOSIGNAL) < 0) {
            // A client that resets again and again is told about once in 10 s.
            const int reason = errno;
            report_limited(srv.limiter, srv.err, srv.settings.program_name,
                           format("%s %s", act.send_failure, dotted(c.ip).c_str()),
                           format("%s: %s\n", act.send_failure, std::strerror(reason)), monotonic_ms());
        }
    }
    conn.reset();
    // One clock read per request; the accept's was the loop's own.
    record_request_time(lp.srv.stats.request_times, monotonic_us() - c.accepted_us);
    c.partial.reset();
    c.have = 0;
}

void close_capped(Loop& lp, int fd);

void finish_connection(Loop& lp, int fd, Delivered d)
{
    Connection& c = lp.conns[std::size_t(fd)];
    drop_pending(lp, c);
    if (d.n > 0 && charge_due(lp.charges, c.ip, monotonic_ms())) {
        if (!hold_request(lp, fd, d))
            close_capped(lp, fd);
        return;
    }
    answer_connection(lp, fd, d);
}

// Closes a connection without its request, to keep within a cap: an
// empty receive, as when nothing comes in time.
void close_capped(Loop& lp, int fd)
{
    ++lp.srv.stats.cap_closed;
    finish_connection(lp, fd, {&lp.buf, 0});
}

void close_oldest(Loop& lp)
{
    while (!lp.deadlines.empty()) {
        const PendingDeadline d = lp.deadlines.front();
        lp.deadlines.pop_front();
        if (still_pending(lp, d)) {
            close_capped(lp, d.fd);
            return;
        }
    }
}

// Makes room for one more pending connection. Returns false when its
// address has its fill already: the new connection is then the one
// closed. When the total is reached, the oldest pending connection goes,
// so a new client always gets its turn.
bool make_room(Loop& lp, std::uint32_t ip)
{
    Server& srv = lp.srv;
    const std::string& program = srv.settings.program_name;
    const auto it = lp.pending_from.find(ip);
    if (it != lp.pending_from.end() && it->second >= lp.caps.per_address) {
        const std::string from = dotted(ip);
        report_limited(srv.limiter, srv.err, program, "address cap " + from,
                       format("%s: too many connections waiting from %s, one closed.\n", program.c_str(),
                              from.c_str()),
                       monotonic_ms());
        return false;
    }
    if (lp.pending_count >= lp.caps.total) {
        report_limited(srv.limiter, srv.err, program, "total cap",
                       format("%s: too many connections waiting, the oldest closed.\n", program.c_str()),
                       monotonic_ms());
        close_oldest(lp);
    }
    return true;
}

// The first receive of a connection, into the loop's buffer. A request
// that is whole, fills the buffer or can never be completed is delivered;
// the start of one with more to come moves to the connection's own buffer.
std::optional<Delivered> receive_first(Loop& lp, int fd)
{
    const ssize_t r = ::recv(fd, lp.buf.bytes, kMaxRequest, 0);
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return std::nullopt;
    const std::size_t n = r > 0 ? std::size_t(r) : 0;
    if (r <= 0 || n == kMaxRequest || !request_incomplete({lp.buf.bytes, n}))
        return Delivered{&lp.buf, n};
    Connection& c = lp.conns[std::size_t(fd)];
    c.partial = std::make_unique<RequestBuffer>();
    std::memcpy(c.partial->bytes, lp.buf.bytes, n);
    c.have = n;
    return std::nullopt;
}

// A further piece of a request. A close or a failed receive ends the
// request with what has arrived.
std::optional<Delivered> receive_more(Loop& lp, int fd)
{
    Connection& c = lp.conns[std::size_t(fd)];
    const ssize_t r = ::recv(fd, c.partial->bytes + c.have, kMaxRequest - c.have, 0);
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return std::nullopt;
    if (r > 0)
        c.have += std::size_t(r);
    if (r > 0 && c.have < kMaxRequest && request_incomplete({c.partial->bytes, c.have}))
        return std::nullopt;
    return Delivered{c.partial.get(), c.have};
}

}  // namespace

bool watch(Loop& lp, int fd, std::uint32_t events)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    return ::epoll_ctl(lp.epoll.get(), EPOLL_CTL_ADD, fd, &ev) == 0;
}

PendingCaps pending_caps(std::size_t descriptors, std::size_t peers)
{
    const std::size_t reserved = kSpareDescriptors + kMaxCopiesPerPeer * peers;
    const std::size_t total = descriptors > reserved ? descriptors - reserved : 0;
    return {kMaxPendingPerAddress, std::max(total, kMinPendingTotal)};
}

// Most clients send right after connecting, so the request is tried at
// once, and only a connection whose request is not there whole is pending.
void take_connection(Loop& lp, int fd, const sockaddr_in& peer, long accepted_us)
{
    const auto& set = lp.srv.settings;
    const std::uint32_t ip = peer.sin_addr.s_addr;
    if (set.very_verbose)
        std::fprintf(lp.srv.out, "%s: %s accept\n", set.program_name.c_str(), dotted(ip).c_str());
    if (lp.conns.size() <= std::size_t(fd))
        lp.conns.resize(std::size_t(fd) + 1);
    lp.conns[std::size_t(fd)] =
        Connection{.ip = ip, .port = ntohs(peer.sin_port), .serial = lp.next_serial++, .accepted_us = accepted_us};
    if (const auto d = receive_first(lp, fd)) {
        finish_connection(lp, fd, *d);
        return;
    }
    if (!make_room(lp, ip)) {
        close_capped(lp, fd);
        return;
    }
    if (!add_pending(lp, fd))
        finish_connection(lp, fd, delivered_so_far(lp, lp.conns[std::size_t(fd)]));
}

bool is_pending(const Loop& lp, int fd)
{
    return std::size_t(fd) < lp.conns.size() && lp.conns[std::size_t(fd)].pending;
}

void serve_pending(Loop& lp, int fd)
{
    const bool gathering = lp.conns[std::size_t(fd)].partial != nullptr;
    if (const auto d = gathering ? receive_more(lp, fd) : receive_first(lp, fd))
        finish_connection(lp, fd, *d);
}

void close_idle(Loop& lp, long now)
{
    while (!lp.deadlines.empty()) {
        const PendingDeadline d = lp.deadlines.front();
        if (!still_pending(lp, d)) {
            lp.deadlines.pop_front();  // served already
            continue;
        }
        if (d.deadline > now)
            return;
        lp.deadlines.pop_front();
        ++lp.srv.stats.idle_closed;
        // Nothing came (an empty receive), or part of a request, handled as
        // it stands.
        finish_connection(lp, d.fd, delivered_so_far(lp, lp.conns[std::size_t(d.fd)]));
    }
}

void serve_held(Loop& lp, long now)
{
    // Each held request once per wake-up: at most the pending caps' total.
    for (std::size_t k = lp.held.size(); k-- > 0;) {
        const Held h = lp.held.front();
        lp.held.pop_front();
        Connection& c = lp.conns[std::size_t(h.fd)];
        if (!c.held || c.serial != h.serial)
            continue;
        if (charge_due(lp.charges, c.ip, now)) {
            lp.held.push_back(h);
            continue;
        }
        c.held = false;
        uncount_open(lp, c.ip);
        answer_connection(lp, h.fd, {c.partial.get(), c.have});
    }
}

std::optional<long> next_held_due(const Loop& lp, long now)
{
    std::optional<long> due;
    for (const Held& h : lp.held) {
        const Connection& c = lp.conns[std::size_t(h.fd)];
        if (!c.held || c.serial != h.serial)
            continue;
        const long at = charge_due(lp.charges, c.ip, now).value_or(now);
        due = due ? std::min(*due, at) : at;
    }
    return due;
}

std::optional<long> next_idle_deadline(const Loop& lp)
{
    for (const auto& d : lp.deadlines)
        if (still_pending(lp, d))
            return d.deadline;
    return std::nullopt;
}

}  // namespace kovari
