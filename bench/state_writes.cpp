// SPDX-License-Identifier: BSD-2-Clause
#include "bench/state_writes.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "bench/in_process.h"
#include "bench/results.h"
#include "bench/settings.h"
#include "bench/sites.h"
#include "devkit/files.h"
#include "devkit/loopback.h"
#include "devkit/packets.h"
#include "devkit/procfs.h"
#include "devkit/server_process.h"
#include "devkit/streams.h"
#include "server/activity.h"
#include "server/html.h"
#include "server/server.h"
#include "server/state_codec.h"
#include "server/state_file.h"
#include "server/writes.h"

namespace kovari::bench {
namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// A server whose messages go nowhere; the table is entered before any
// page or state file is set, so that filling it writes nothing.
struct QuietServer {
    devkit::Discard null;
    Server srv;
    QuietServer(std::uint32_t sites, std::time_t now)
    {
        srv.out = null.stream();
        srv.err = null.stream();
        srv.settings.max_sites = 0;
        srv.settings.max_per_address = 0;
        for (std::uint32_t i = 0; i < sites; ++i)
            enter_site(srv, bench_record(i, now), now, 0);
    }
};

// What starting a write cost, `rounds` times: `start` begins it, `job` is
// the child it should have made, `collect` takes the child's result.
template <class Start, class Collect>
std::vector<double> time_starts(int rounds, Writer& writer, bool& forked, Start&& start, Collect&& collect)
{
    std::vector<double> ms;
    for (int k = 0; k < rounds; ++k) {
        const auto t0 = Clock::now();
        start();
        ms.push_back(ms_since(t0));
        forked = forked && running(writer);
        if (const auto result = collect_write(writer, true))
            collect(*result);
    }
    return ms;
}

double largest(const std::vector<double>& v) { return v.empty() ? -1 : *std::max_element(v.begin(), v.end()); }

// load_state of `path` into a new server; its time, and whether every
// one of `sites` sites was taken.
// Loading a state file, until the server could serve, and the indexing of
// the loaded sites' search texts that the server's loop does after it.
struct LoadTimes {
    double ms = -1;
    double filing_ms = -1;
    bool all = false;  // every site loaded
};
LoadTimes time_load(const std::string& path, std::uint32_t sites, std::time_t now)
{
    QuietServer q(0, now);
    q.srv.settings.state_file = path;
    LoadTimes res;
    const auto t0 = Clock::now();
    load_state(q.srv, now);
    res.ms = ms_since(t0);
    const auto t1 = Clock::now();
    while (table_index_some(q.srv.table, 4096)) {
    }
    res.filing_ms = ms_since(t1);
    res.all = table_size(q.srv.table) == sites;
    return res;
}

std::optional<long> own_rss_kb()
{
    const auto status = devkit::read_proc_status(::getpid());
    return status && status->rss_kb >= 0 ? std::optional<long>(status->rss_kb) : std::nullopt;
}

}  // namespace

WriteStalls run_write_stalls(std::uint32_t sites)
{
    WriteStalls res;
    res.sites = sites;
    const devkit::TempDir dir("kvbench-writes");
    if (!dir.valid())
        return res;
    const std::time_t now = std::time(nullptr);
    QuietServer q(sites, now);
    Server& srv = q.srv;
    srv.settings.public_base = dir / "public";
    srv.settings.private_base = dir / "private";
    srv.settings.html_interval = 0;
    srv.settings.state_file = dir / "state";
    res.forked = true;
    constexpr int kRounds = 9;
    const auto pages = time_starts(
        kRounds, srv.writers.pages, res.forked,
        [&] { note_table_change(srv, TableChange{.records = false, .sites = true}, now, WriteMode::in_child); },
        [&](const JobResult& r) { finish_page_write(srv, r, now, WriteMode::in_child); });
    const auto state = time_starts(
        kRounds, srv.writers.state, res.forked,
        [&] {
            srv.state_status.changed = true;
            save_state_if_changed(srv, now, WriteMode::in_child);
        },
        [&](const JobResult& r) { finish_state_write(srv, r, now, WriteMode::in_child); });
    res.page_start_ms = median(pages);
    res.page_start_max_ms = largest(pages);
    res.state_start_ms = median(state);
    res.state_start_max_ms = largest(state);

    // The file that the last child wrote.
    std::vector<double> loads;
    res.loaded_all = true;
    for (int k = 0; k < 3; ++k) {
        const LoadTimes load = time_load(dir / "state", sites, now);
        loads.push_back(load.ms);
        res.loaded_all = res.loaded_all && load.all;
    }
    res.load_ms = median(loads);
    std::fprintf(stderr, "  write starts at %u sites: page %.2f ms (max %.2f), state %.2f ms (max %.2f)%s; "
                         "state file loaded in %.1f ms\n",
                 sites, res.page_start_ms, res.page_start_max_ms, res.state_start_ms, res.state_start_max_ms,
                 res.forked ? "" : " NOT FORKED", res.load_ms);
    return res;
}

namespace {

// A datagram socket in `dir` for quorind's messages to its service
// manager (NOTIFY_SOCKET); invalid when it cannot be made.
Fd manager_socket(const std::string& path)
{
    Fd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (!fd.valid() || path.size() >= sizeof addr.sun_path)
        return Fd();
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        return Fd();
    return fd;
}

bool ready_message(int fd)
{
    char buf[512];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0)
            return false;
        if (std::string_view(buf, std::size_t(n)).starts_with("READY=1"))
            return true;
    }
}

}  // namespace

StartTimes time_start(const std::string& quorind, const std::string& state, std::uint32_t sites,
                      const std::vector<std::string>& options)
{
    StartTimes res;
    const devkit::TempDir dir("kvbench-notify");
    const std::string notify_path = dir / "notify";
    const Fd manager = manager_socket(notify_path);
    if (!manager.valid())
        return res;
    const devkit::Bytes query = devkit::query_packet(exact_query(sites / 2));
    // A port chosen beforehand, so that the first answer can be waited for
    // without looking for the listener. Another program may take it first:
    // quorind then ends at once, and starts again on another.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int port = devkit::free_port();
        devkit::ServerProcess server;
        std::vector<std::string> argv{quorind, "-S" + state, "-P" + std::to_string(port)};
        argv.insert(argv.end(), options.begin(), options.end());
        const auto t0 = Clock::now();
        server.child = devkit::start_child(argv, {"NOTIFY_SOCKET=" + notify_path});
        server.port = port;
        std::optional<devkit::Bytes> reply;
        bool ended = false;
        while ((!reply || res.ready_ms < 0) && ms_since(t0) < 20000 &&
               !(ended = devkit::wait_child(server.child, 0).has_value())) {
            if (res.ready_ms < 0 && ready_message(manager.get()))
                res.ready_ms = ms_since(t0);
            if (!reply && (reply = devkit::round_trip(port, query)))
                res.answer_ms = ms_since(t0);
            if (!reply)
                ::usleep(500);
        }
        if (!reply || res.ready_ms < 0) {
            std::fprintf(stderr, "kvbench: quorind on a state file of %u sites %s: %s\n", sites,
                         ended ? "ended" : "did not answer", server.err().c_str());
            res = StartTimes{};
            if (ended)
                continue;
            return res;
        }
        res.ran = true;
        const std::string cname = bench_site(sites / 2).cname;
        res.site_found = ::memmem(reply->data(), reply->size(), cname.data(), cname.size()) != nullptr;
        std::fprintf(stderr, "  quorind on a state file of %u sites: READY=1 %.1f ms and answered %.1f ms after its "
                             "exec%s\n",
                     sites, res.ready_ms, res.answer_ms, res.site_found ? "" : ", WITHOUT the site asked for");
        return res;
    }
    return res;
}

StateStart run_state_start(const Settings& set, std::uint32_t sites)
{
    StateStart res;
    res.sites = sites;
    const devkit::TempDir dir("kvbench-start");
    const std::string path = dir / "state";
    {
        const std::time_t now = std::time(nullptr);
        const QuietServer q(sites, now);
        if (!dir.valid() || !devkit::write_file(path, encode_state(q.srv.table, now)))
            return res;
    }
    const StartTimes t = time_start(set.quorind, path, sites, {});
    res.ran = t.ran;
    res.ms = t.answer_ms;
    res.site_found = t.site_found;
    return res;
}

LargeTable run_large_table(std::uint32_t sites, const std::string& quorind)
{
    LargeTable res;
    res.sites = sites;
    const devkit::TempDir dir("kvbench-large");
    if (!dir.valid())
        return res;
    const std::time_t now = std::time(nullptr);
    const auto rss0 = own_rss_kb();
    const auto t0 = Clock::now();
    QuietServer q(sites, now);
    res.build_s = ms_since(t0) / 1000;
    const auto rss1 = own_rss_kb();
    if (rss0 && rss1)
        res.rss_bytes_per_site = double(*rss1 - *rss0) * 1024.0 / double(sites);
    res.miss_us = time_requests(q.srv, Workload::query_miss, sites, now);
    res.exact_us = time_requests(q.srv, Workload::query_exact, sites, now);

    bool written = true;
    for (bool private_page : {false, true}) {
        const std::string base = dir / (private_page ? "private" : "public");
        const auto t = Clock::now();
        written = write_html_page(q.srv, base, private_page, now) && written;
        (private_page ? res.private_ms : res.public_ms) = ms_since(t);
        std::remove((base + ".html").c_str());
    }
    if (written)
        res.pages_ms = res.public_ms + res.private_ms;

    const auto t1 = Clock::now();
    const std::string bytes = encode_state(q.srv.table, now);
    res.encode_ms = ms_since(t1);
    const FileOutcome out = replace_file(dir / "state.new", dir / "state", bytes, 0644, true);
    res.state_write_ms = ms_since(t1);
    res.state_bytes = double(bytes.size());
    if (out.failed != FileStep::done)
        return res;
    const LoadTimes load = time_load(dir / "state", sites, now);
    res.load_ms = load.ms;
    res.filing_ms = load.filing_ms;
    res.loaded_all = load.all;
    // Of which the checks and the decoding of the bytes, the sites handed
    // to nothing.
    const auto t2 = Clock::now();
    const DecodedState d =
        decode_state({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}, now, 0, [](Site&&) {});
    res.decode_ms = ms_since(t2);
    res.ran = !d.problem;
    // quorind started on that file with both pages, which it writes at
    // start, in the background.
    if (res.ran && !quorind.empty()) {
        res.start = time_start(quorind, dir / "state", sites,
                               {"-H" + (dir / "public"), "-Z" + (dir / "private")});
        std::remove((dir / "public.html").c_str());
        std::remove((dir / "private.html").c_str());
    }
    return res;
}

LargeTable run_large_apart(std::uint32_t sites, const std::string& quorind)
{
    std::fprintf(stderr, "large table: %u sites, in a process of its own\n", sites);
    char self[PATH_MAX] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    LargeTable res;
    res.sites = sites;
    if (n <= 0)
        return res;
    const auto run =
        devkit::run_program({self, "--large-only", std::to_string(sites), "--quorind", quorind}, {}, 300000);
    const auto line = run.out.substr(0, run.out.find('\n'));
    if (const auto t = parse_large_json(line); run.status == 0 && t)
        res = *t;
    else
        std::fprintf(stderr, "kvbench: --large-only %u failed (status %d): %s\n", sites, run.status, run.err.c_str());
    std::fprintf(stderr, "  %s\n", large_json(res).c_str());
    return res;
}

}  // namespace kovari::bench
