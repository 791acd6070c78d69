#include "load.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>

#include "sites.h"

namespace kovari::bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kExchangeLimit = std::chrono::seconds(5);

double since(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

struct Exchange {
    int fd = -1;
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
    int epoll = -1;
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
        ::close(x.fd);  // also leaves the epoll set
        x.fd = -1;
        x.active = false;
        if (measuring) {
            if (ok) {
                ++requests;
                latencies_us.push_back(
                    std::chrono::duration<double, std::micro>(Clock::now() - x.start).count());
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
            const ssize_t r = ::send(x.fd, x.request.data() + x.sent, x.request.size() - x.sent,
                                     MSG_NOSIGNAL);
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
            const ssize_t r = ::recv(x.fd, buf, sizeof buf, 0);
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
        x.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (x.fd < 0) {
            ++errors;
            retry.push_back(k);
            return;
        }
        x.active = true;
        const int r = ::connect(x.fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        if (r < 0 && errno != EINPROGRESS) {
            finish(k, false);
            return;
        }
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        ev.data.u32 = std::uint32_t(k);
        epoll_ctl(epoll, EPOLL_CTL_ADD, x.fd, &ev);
        try_send(k);
    }

    bool any_active() const
    {
        return std::any_of(slots.begin(), slots.end(), [](const Exchange& x) { return x.active; });
    }

    void expire_stuck(Clock::time_point now)
    {
        for (int k = 0; k < int(slots.size()); ++k) {
            Exchange& x = slots[std::size_t(k)];
            if (x.active && now - x.start > kExchangeLimit)
                finish(k, false);
        }
    }

    void poll_once(int timeout_ms)
    {
        epoll_event events[256];
        const int n = epoll_wait(epoll, events, 256, timeout_ms);
        for (int i = 0; i < n; ++i) {
            const int k = int(events[i].data.u32);
            Exchange& x = slots[std::size_t(k)];
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

}  // namespace

const char* workload_name(Workload w)
{
    switch (w) {
    case Workload::announce_new: return "new";
    case Workload::refresh: return "refresh";
    case Workload::churn: return "churn";
    case Workload::query_exact: return "exact";
    case Workload::query_miss: return "miss";
    case Workload::query_empty: return "empty";
    }
    return "?";
}

std::optional<Workload> parse_workload(std::string_view name)
{
    for (Workload w : kAllWorkloads)
        if (name == workload_name(w))
            return w;
    return std::nullopt;
}

std::optional<double> process_cpu_us(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    // After the command name: state (field 3) ... utime (14), stime (15).
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return double(utime + stime) * 1e6 / double(::sysconf(_SC_CLK_TCK));
}

std::optional<long> process_rss_kb(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return std::nullopt;
}

LoadResult run_load(const LoadOptions& opt, const RequestSource& source)
{
    Engine e(opt, source);
    e.epoll = epoll_create1(EPOLL_CLOEXEC);
    e.slots.resize(std::size_t(opt.connections));
    e.addr.sin_family = AF_INET;
    e.addr.sin_port = htons(std::uint16_t(opt.port));
    e.addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    e.latencies_us.reserve(1 << 20);

    const auto begin = Clock::now();
    const bool warm = opt.warmup > 0;
    e.measuring = !warm;
    std::optional<double> cpu0 = opt.server_pid > 0 && !warm ? process_cpu_us(opt.server_pid)
                                                               : std::nullopt;
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
            if (opt.server_pid > 0)
                cpu0 = process_cpu_us(opt.server_pid);
        }
        if (e.measuring && (since(t0, now) >= opt.seconds || (e.exhausted && !e.any_active())))
            break;
    }
    const auto t1 = Clock::now();
    std::optional<double> cpu1 =
        opt.server_pid > 0 ? process_cpu_us(opt.server_pid) : std::nullopt;
    e.measuring = false;
    e.stopping = true;
    // Let the exchanges under way end, uncounted.
    while (e.any_active() && since(t1, Clock::now()) < 6) {
        e.poll_once(10);
        e.expire_stuck(Clock::now());
    }
    ::close(e.epoll);

    LoadResult r;
    r.requests = e.requests;
    r.errors = e.errors;
    r.seconds = since(t0, t1);
    r.rps = r.seconds > 0 ? double(r.requests) / r.seconds : 0;
    r.p50_us = percentile(e.latencies_us, 0.50);
    r.p99_us = percentile(e.latencies_us, 0.99);
    if (cpu0 && cpu1 && r.requests > 0)
        r.cpu_us_per_request = (*cpu1 - *cpu0) / double(r.requests);
    return r;
}

RequestSource workload_source(Workload w, std::uint32_t table_size, std::uint32_t new_base,
                              int connections)
{
    struct State {
        std::mt19937 rng{12345};
        std::uint32_t next_new = 0;
        std::vector<std::uint32_t> churn_site;  // per slot: the site it works on
        std::vector<bool> churn_bye;            // per slot: the next request is the sign-off
    };
    auto st = std::make_shared<State>();
    st->next_new = new_base;
    const std::uint32_t n = std::max<std::uint32_t>(table_size, 1);
    for (int k = 0; k < connections; ++k) {
        st->churn_site.push_back(std::uint32_t(k) % n);
        st->churn_bye.push_back(true);
    }
    const std::uint32_t step = std::uint32_t(connections);
    return [w, st, n, step](int slot, devkit::Bytes& req, Expect& expect) {
        const auto pick = [&] { return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(st->rng); };
        expect = Expect::nothing;
        switch (w) {
        case Workload::announce_new:
            req = devkit::announcement(bench_site(st->next_new++));
            return true;
        case Workload::refresh:
            req = devkit::announcement(bench_site(pick()));
            return true;
        case Workload::churn: {
            // Each slot works through its own sites (slot, slot + C, ...), so
            // a sign-off and the announcement after it never cross another
            // slot's pair.
            auto& id = st->churn_site[std::size_t(slot)];
            if (st->churn_bye[std::size_t(slot)]) {
                req = devkit::bye_packet(bench_ssrc(id));
            } else {
                req = devkit::announcement(bench_site(id));
                id = id + step < n ? id + step : std::uint32_t(slot) % n;
            }
            st->churn_bye[std::size_t(slot)] = !st->churn_bye[std::size_t(slot)];
            return true;
        }
        case Workload::query_exact:
            req = devkit::query_packet(exact_query(pick()));
            expect = Expect::reply;
            return true;
        case Workload::query_miss:
            req = devkit::query_packet(kMissQuery);
            expect = Expect::reply;
            return true;
        case Workload::query_empty:
            req = devkit::query_packet("");
            expect = Expect::reply;
            return true;
        }
        return false;
    };
}

std::uint64_t fill_table(int port, std::uint32_t first, std::uint32_t count, int connections)
{
    std::uint32_t next = first;
    const std::uint32_t end = first + count;
    LoadOptions opt;
    opt.port = port;
    opt.connections = connections;
    opt.seconds = 1e9;  // until every site is announced
    opt.warmup = 0;
    const RequestSource src = [&](int, devkit::Bytes& req, Expect& expect) {
        if (next == end)
            return false;
        req = devkit::announcement(bench_site(next++));
        expect = Expect::nothing;
        return true;
    };
    return run_load(opt, src).errors;
}

std::string json_line(std::string_view server, Workload w, std::uint32_t sites,
                      const LoadOptions& opt, const LoadResult& r)
{
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "{\"server\":\"%.*s\",\"workload\":\"%s\",\"sites\":%u,\"connections\":%d,"
                  "\"seconds\":%.3f,\"requests\":%llu,\"errors\":%llu,\"rps\":%.1f,"
                  "\"p50_us\":%.1f,\"p99_us\":%.1f,\"cpu_us_per_request\":%.2f}",
                  int(server.size()), server.data(), workload_name(w), sites, opt.connections,
                  r.seconds, static_cast<unsigned long long>(r.requests),
                  static_cast<unsigned long long>(r.errors), r.rps, r.p50_us, r.p99_us,
                  r.cpu_us_per_request);
    return buf;
}

}  // namespace kovari::bench
