// SPDX-License-Identifier: BSD-2-Clause
#include "bench/engine.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <vector>

#include "common/fd.h"
#include "common/report.h"
#include "devkit/loopback.h"
#include "devkit/procfs.h"

namespace kovari::bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kExchangeLimit = std::chrono::seconds(5);

double since(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

std::optional<double> server_cpu_us(pid_t pid)
{
    if (pid <= 0)
        return std::nullopt;
    const auto stat = devkit::read_proc_stat(pid);
    return stat ? std::optional<double>(devkit::cpu_us(*stat)) : std::nullopt;
}

struct Exchange {
    Fd fd;
    devkit::Bytes request;
    Expect expect = Expect::nothing;
    std::size_t sent = 0;
    std::size_t received = 0;
    Clock::time_point start;
    bool active = false;
};

struct Engine {
    Engine(const LoadOptions& o, const RequestSource& s) : opt(o), source(s) {}
    const LoadOptions& opt;
    const RequestSource& source;
    Fd epoll{epoll_create1(EPOLL_CLOEXEC)};
    std::vector<Exchange> slots;
    std::vector<double> latencies_us;
    std::uint64_t requests = 0;
    std::uint64_t errors = 0;
    bool measuring = false;
    bool stopping = false;
    bool exhausted = false;
    std::vector<int> retry;  // slots whose exchange failed: started after the next wait
    sockaddr_in addr{};

    void finish(int k, bool ok)
    {
        Exchange& x = slots[std::size_t(k)];
        x.fd.reset();  // also leaves the epoll set
        x.active = false;
        if (measuring) {
            if (ok) {
                ++requests;
                latencies_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - x.start).count());
            } else {
                ++errors;
            }
        }
        if (stopping)
            return;
        // A failure starts again only after the next wait, so that a server
        // that refuses every connection cannot make this recurse.
        if (ok)
            start(k);
        else
            retry.push_back(k);
    }

    void start_retries()
    {
        std::vector<int> again;
        again.swap(retry);
        for (int k : again)
            if (!stopping)
                start(k);
    }

    void try_send(int k)
    {
        Exchange& x = slots[std::size_t(k)];
        while (x.sent < x.request.size()) {
            const ssize_t r =
                ::send(x.fd.get(), x.request.data() + x.sent, x.request.size() - x.sent, MSG_NOSIGNAL);
            if (r < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOTCONN)
                    return;  // not connected yet: EPOLLOUT comes
                finish(k, false);
                return;
            }
            x.sent += std::size_t(r);
        }
    }

    void try_receive(int k)
    {
        Exchange& x = slots[std::size_t(k)];
        std::uint8_t buf[2048];
        for (;;) {
            const ssize_t r = ::recv(x.fd.get(), buf, sizeof buf, 0);
            if (r > 0) {
                x.received += std::size_t(r);
                continue;
            }
            if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            // The server closed (r == 0) or reset the connection.
            const bool ok = r == 0 && x.sent == x.request.size() &&
                            (x.expect == Expect::reply ? x.received >= 4 : x.received == 0);
            finish(k, ok);
            return;
        }
    }

    void start(int k)
    {
        Exchange& x = slots[std::size_t(k)];
        x.request.clear();
        if (exhausted || !source(k, x.request, x.expect)) {
            exhausted = true;
            return;
        }
        x.sent = 0;
        x.received = 0;
        x.start = Clock::now();
        x.fd = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!x.fd.valid()) {
            ++errors;
            retry.push_back(k);
            return;
        }
        x.active = true;
        if (opt.local_ip != nullptr && !devkit::bind_local(x.fd.get(), opt.local_ip)) {
            finish(k, false);
            return;
        }
        const int r = ::connect(x.fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        if (r < 0 && errno != EINPROGRESS) {
            finish(k, false);
            return;
        }
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        ev.data.u32 = std::uint32_t(k);
        epoll_ctl(epoll.get(), EPOLL_CTL_ADD, x.fd.get(), &ev);
        try_send(k);
    }

    bool any_active() const
    {
        return std::any_of(slots.begin(), slots.end(), [](const Exchange& x) { return x.active; });
    }

    void expire_stuck(Clock::time_point now)
    {
        for (int k = 0; k < int(slots.size()); ++k) {
            const Exchange& x = slots[std::size_t(k)];
            if (x.active && now - x.start > kExchangeLimit)
                finish(k, false);
        }
    }

    void poll_once(int timeout_ms)
    {
        epoll_event events[256];
        const int n = epoll_wait(epoll.get(), events, 256, timeout_ms);
        for (int i = 0; i < n; ++i) {
            const int k = int(events[i].data.u32);
            const Exchange& x = slots[std::size_t(k)];
            if (!x.active)
                continue;
            if (events[i].events & (EPOLLOUT | EPOLLERR))
                try_send(k);
            if (x.active && events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))
                try_receive(k);
        }
    }
};

double percentile(std::vector<double>& v, double p)
{
    if (v.empty())
        return 0;
    const std::size_t i = std::min(v.size() - 1, std::size_t(p * double(v.size())));
    std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(i), v.end());
    return v[i];
}

// The measured part of a run: from the end of the warm-up until the time
// is up or the source has run dry. Returns the server's CPU time at the
// start of the measurement and the time it began.
std::pair<std::optional<double>, Clock::time_point> measure(Engine& e)
{
    const LoadOptions& opt = e.opt;
    const auto begin = Clock::now();
    e.measuring = opt.warmup <= 0;
    std::optional<double> cpu0 = e.measuring ? server_cpu_us(opt.server_pid) : std::nullopt;
    auto t0 = begin;
    for (int k = 0; k < opt.connections; ++k)
        e.start(k);
    for (;;) {
        e.poll_once(10);
        const auto now = Clock::now();
        e.expire_stuck(now);
        e.start_retries();
        if (!e.measuring && since(begin, now) >= opt.warmup) {
            e.measuring = true;
            t0 = now;
            cpu0 = server_cpu_us(opt.server_pid);
        }
        if (e.measuring && (since(t0, now) >= opt.seconds || (e.exhausted && !e.any_active())))
            return {cpu0, t0};
    }
}

}  // namespace

LoadResult run_load(const LoadOptions& opt, const RequestSource& source)
{
    Engine e(opt, source);
    e.slots.resize(std::size_t(opt.connections));
    e.addr = devkit::loopback_address(opt.port);
    e.latencies_us.reserve(1 << 20);

    const auto [cpu0, t0] = measure(e);
    const auto t1 = Clock::now();
    const std::optional<double> cpu1 = server_cpu_us(opt.server_pid);
    e.measuring = false;
    e.stopping = true;
    // Let the exchanges under way end, uncounted.
    while (e.any_active() && since(t1, Clock::now()) < 6) {
        e.poll_once(10);
        e.expire_stuck(Clock::now());
    }

    LoadResult r;
    r.requests = e.requests;
    r.errors = e.errors;
    r.seconds = since(t0, t1);
    r.rps = r.seconds > 0 ? double(r.requests) / r.seconds : 0;
    r.p50_us = percentile(e.latencies_us, 0.50);
    r.p99_us = percentile(e.latencies_us, 0.99);
    if (!e.latencies_us.empty())
        r.max_us = *std::max_element(e.latencies_us.begin(), e.latencies_us.end());
    if (cpu0 && cpu1 && r.requests > 0)
        r.cpu_us_per_request = (*cpu1 - *cpu0) / double(r.requests);
    return r;
}

std::uint64_t send_from_many_addresses(int port, std::uint32_t count,
                                       const std::function<devkit::Bytes(std::uint32_t)>& packet)
{
    std::uint64_t errors = 0;
    for (std::uint32_t first = 0; first < count; first += kSitesPerAddress) {
        const std::uint32_t a = first / kSitesPerAddress + 1;
        const std::string from = format("127.1.%u.%u", a >> 8, a & 255);
        const std::uint32_t end = std::min(count, first + kSitesPerAddress);
        std::uint32_t next = first;
        LoadOptions opt;
        opt.port = port;
        opt.connections = 8;
        opt.seconds = 1e9;
        opt.warmup = 0;
        opt.local_ip = from.c_str();
        errors += run_load(opt, [&](int, devkit::Bytes& req, Expect& expect) {
                      if (next == end)
                          return false;
                      req = packet(next++);
                      expect = Expect::nothing;
                      return true;
                  }).errors;
    }
    return errors;
}

}  // namespace kovari::bench
