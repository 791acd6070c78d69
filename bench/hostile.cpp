// SPDX-License-Identifier: BSD-2-Clause
#include "bench/hostile.h"

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "bench/workloads.h"
#include "common/report.h"
#include "devkit/loopback.h"
#include "devkit/packets.h"

namespace kovari::bench {
namespace {

using Clock = std::chrono::steady_clock;

Clock::duration seconds(double s)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

double ms_between(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// One timed query: the connect begun, the request sent once connected, the
// reply read to the server's close.
struct Probe {
    Fd fd;
    Clock::time_point start;
    bool sent = false;
    std::size_t received = 0;
};

enum class Step { going, answered, failed };

// The timed queries from 127.0.0.1, any number under way at once, so that
// a slow one does not delay the next.
struct Prober {
    const HostileOptions& opt;
    devkit::Bytes request = devkit::query_packet("nobody-here-at-all");
    std::vector<Probe> live{};
    std::vector<double> answered_ms{};
    int sent = 0;

    void start()
    {
        ++sent;
        Probe p{devkit::begin_connect(opt.port), Clock::now()};
        if (p.fd.valid())
            live.push_back(std::move(p));
    }

    Step send_request(Probe& p) const
    {
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(p.fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) < 0 || err != 0)
            return Step::failed;
        if (::send(p.fd.get(), request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size()))
            return Step::failed;
        p.sent = true;
        return Step::going;
    }

    static Step read_reply(Probe& p)
    {
        std::uint8_t buf[2048];
        for (;;) {
            const ssize_t r = ::recv(p.fd.get(), buf, sizeof buf, MSG_DONTWAIT);
            if (r > 0) {
                p.received += std::size_t(r);
                continue;
            }
            if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return Step::going;
            return p.received >= 4 ? Step::answered : Step::failed;
        }
    }

    // Waits up to timeout_ms for a query to move on, and moves each that can.
    void poll(int timeout_ms)
    {
        std::vector<pollfd> fds;
        for (const Probe& p : live)
            fds.push_back({p.fd.get(), short(p.sent ? POLLIN : POLLOUT), 0});
        if (fds.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
            return;
        }
        ::poll(fds.data(), fds.size(), timeout_ms);
        const auto now = Clock::now();
        for (std::size_t i = live.size(); i-- > 0;) {
            Probe& p = live[i];
            Step s = Step::going;
            if (fds[i].revents != 0)
                s = p.sent ? read_reply(p) : send_request(p);
            if (s == Step::going && now - p.start > seconds(opt.query_limit))
                s = Step::failed;
            if (s == Step::answered)
                answered_ms.push_back(ms_between(p.start, now));
            if (s != Step::going)
                live.erase(live.begin() + std::ptrdiff_t(i));
        }
    }

    QueryTimes times()
    {
        QueryTimes t;
        t.sent = sent;
        t.answered = int(answered_ms.size());
        std::sort(answered_ms.begin(), answered_ms.end());
        const auto at = [&](double q) { return answered_ms[std::min(answered_ms.size() - 1, std::size_t(q * double(answered_ms.size())))]; };
        t.over_1s = int(std::count_if(answered_ms.begin(), answered_ms.end(), [](double ms) { return ms > 1000; }));
        if (!answered_ms.empty()) {
            t.p50_ms = at(0.50);
            t.p99_ms = at(0.99);
            t.max_ms = answered_ms.back();
        }
        return t;
    }
};

// Runs the queries spread over opt.seconds, calling `tick` with the time
// and whether the time is over before each wait, and returns once the time
// is over and the last query has ended.
template <class Tick>
QueryTimes time_queries(const HostileOptions& opt, Tick&& tick)
{
    Prober pr{opt};
    const auto t0 = Clock::now();
    const auto step = seconds(opt.seconds / std::max(1, opt.queries));
    auto next = t0 + step / 2;
    for (;;) {
        const auto now = Clock::now();
        const bool over = now - t0 >= seconds(opt.seconds);
        tick(now, over);
        for (; pr.sent < opt.queries && next <= now; next += step)
            pr.start();
        if (over && pr.sent >= opt.queries && pr.live.empty())
            return pr.times();
        pr.poll(2);
    }
}

// The flood holds a couple of thousand connections at once.
void raise_descriptor_limit()
{
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &lim);
    }
}

// The server closed this held connection (its end of file, or a reset).
bool closed_by_server(const Fd& fd)
{
    std::uint8_t b = 0;
    const ssize_t r = ::recv(fd.get(), &b, 1, MSG_DONTWAIT);
    return r == 0 || (r < 0 && errno == ECONNRESET);
}

// The machine's listen-queue overflows since it started (TcpExt
// ListenOverflows of /proc/net/netstat: a header line, then the values).
std::optional<long> listen_overflows()
{
    std::ifstream in("/proc/net/netstat");
    std::string names, values;
    while (std::getline(in, names) && std::getline(in, values)) {
        if (names.rfind("TcpExt:", 0) != 0)
            continue;
        std::istringstream n(names), v(values);
        std::string name, value;
        while (n >> name && v >> value)
            if (name == "ListenOverflows")
                return std::stol(value);
    }
    return std::nullopt;
}

}  // namespace

FloodResult run_flood(const HostileOptions& opt)
{
    raise_descriptor_limit();
    FloodResult res;
    std::deque<std::pair<Fd, Clock::time_point>> held;
    const auto every = seconds(1.0 / std::max(1, opt.rate));
    auto next = Clock::now();
    res.queries = time_queries(opt, [&](Clock::time_point now, bool over) {
        for (; !over && next <= now; next += every) {
            held.emplace_back(devkit::begin_connect(opt.port, opt.other), now);
            ++res.opened;
        }
        while (!held.empty() && (over || now - held.front().second > seconds(opt.hold))) {
            res.closed_by_server += closed_by_server(held.front().first) ? 1 : 0;
            held.pop_front();
        }
    });
    return res;
}

BurstResult run_burst(const HostileOptions& opt)
{
    BurstResult res;
    const auto before = listen_overflows();
    LoadOptions lo;
    lo.port = opt.port;
    lo.connections = opt.in_flight;
    lo.seconds = opt.seconds;
    lo.warmup = 0;
    lo.local_ip = opt.other;
    std::thread burst([&] {
        res.load = run_load(lo, workload_source(Workload::query_miss, 1000, 10'000'000, opt.in_flight));
    });
    res.queries = time_queries(opt, [](Clock::time_point, bool) {});
    burst.join();
    const auto after = listen_overflows();
    if (before && after)
        res.overflows = *after - *before;
    return res;
}

namespace {

// Writes `request` in pieces cut at `cuts`, with `pause` between them, and
// reads to the server's close.
std::optional<devkit::Bytes> send_in_pieces(int port, const devkit::Bytes& request,
                                            std::initializer_list<std::size_t> cuts,
                                            std::chrono::milliseconds pause)
{
    const Fd c = devkit::connect_loopback(port);
    std::size_t from = 0;
    for (std::size_t to : cuts) {
        if (!c.valid() || ::send(c.get(), request.data() + from, to - from, MSG_NOSIGNAL) != ssize_t(to - from))
            return std::nullopt;
        from = to;
        std::this_thread::sleep_for(pause);
    }
    if (!devkit::send_bytes(c.get(), {request.data() + from, request.size() - from}))
        return std::nullopt;
    return devkit::read_to_eof(c.get(), 5000);
}

}  // namespace

PiecesResult run_pieces(const HostileOptions& opt)
{
    PiecesResult res;
    const devkit::Bytes query = devkit::query_packet("nobody-here-at-all");
    for (int k = 0; k < opt.queries; ++k) {
        ++res.queries;
        const auto r = send_in_pieces(opt.port, query, {4}, std::chrono::milliseconds(0));
        res.answered += r && r->size() >= 4 ? 1 : 0;
    }
    devkit::Announcement a;
    a.ssrc = devkit::make_ssrc(0x7A11CE);
    a.cname = "pieces@bench.example";
    a.name = "Written in three pieces";
    const devkit::Bytes ann = devkit::announcement(a);
    send_in_pieces(opt.port, ann, {ann.size() / 3, ann.size() * 2 / 3}, std::chrono::seconds(1));
    // The unlisted marker asks for the whole address.
    const auto found = devkit::round_trip(opt.port, devkit::query_packet("*pieces@bench.example"));
    res.announcement_stored = found && found->size() > 4;
    return res;
}

namespace {

std::string query_text(const QueryTimes& q)
{
    return format("%d queries, %d unanswered, p50 %.1f ms, p99 %.1f ms, max %.1f ms, %d over 1 s", q.sent,
                  q.sent - q.answered, q.p50_ms, q.p99_ms, q.max_ms, q.over_1s);
}

}  // namespace

std::string flood_text(const FloodResult& r)
{
    return query_text(r.queries) + format("; flood: %ld idle connections opened, %ld closed by the server",
                                          r.opened, r.closed_by_server);
}

std::string burst_text(const BurstResult& r)
{
    const std::string overflows = r.overflows ? std::to_string(*r.overflows) : "unknown";
    return query_text(r.queries) +
           format("; burst: %.0f req/s, %llu errors; listen overflows on the machine: %s", r.load.rps,
                  static_cast<unsigned long long>(r.load.errors), overflows.c_str());
}

}  // namespace kovari::bench

namespace kovari::bench {

std::string pieces_text(const PiecesResult& r)
{
    return format("%d of %d queries written in two sends answered; an announcement in three pieces a second "
                  "apart %s",
                  r.answered, r.queries, r.announcement_stored ? "stored" : "not stored");
}

}  // namespace kovari::bench
