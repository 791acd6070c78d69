// SPDX-License-Identifier: BSD-2-Clause
#include "bench/in_process.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "bench/results.h"
#include "bench/sites.h"
#include "bench/workloads.h"
#include "common/clock.h"
#include "devkit/files.h"
#include "devkit/packets.h"
#include "devkit/sites.h"
#include "devkit/streams.h"
#include "server/activity.h"
#include "server/html.h"
#include "server/request.h"
#include "server/server.h"

namespace kovari::bench {
namespace {

using Clock = std::chrono::steady_clock;

// Each page on its own, written as the server writes it when the table
// has changed, three times; the medians, and their sum for both.
void time_pages(Server& srv, std::time_t now, InProcess& res)
{
    const devkit::TempDir dir("kvbench-pages");
    if (!dir.valid())
        return;
    std::vector<double> times[2];
    bool written = true;
    for (int round = 0; round < 3; ++round) {
        for (bool private_page : {false, true}) {
            const std::string base = dir / (private_page ? "private" : "public");
            const auto t0 = Clock::now();
            written = write_html_page(srv, base, private_page, now) && written;
            times[private_page].push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            // Each write makes a new page, as the first write after a start does.
            std::remove((base + ".html").c_str());
        }
    }
    res.public_ms = median(times[0]);
    res.private_ms = median(times[1]);
    if (written)
        res.pages_ms = res.public_ms + res.private_ms;
}

}  // namespace

double time_requests(Server& srv, Workload w, std::uint32_t sites, std::time_t now, std::uint32_t from)
{
    RequestBuffer buf;
    const RequestSource src = workload_source(w, sites, sites + 10'000'000, 1);
    int rounds = 0;
    const auto t0 = Clock::now();
    for (; rounds < 20000 && (rounds % 16 != 0 || Clock::now() - t0 < std::chrono::milliseconds(500)); ++rounds) {
        devkit::Bytes req;
        Expect expect;
        src(0, req, expect);
        std::memcpy(buf.bytes, req.data(), req.size());
        handle_packet(srv, buf, req.size(), from, 40000, now, monotonic_ms());
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / rounds;
}

Site bench_record(std::uint32_t id, std::time_t now)
{
    return devkit::site_record(bench_site(id), devkit::ipv4("127.0.0.1"), now - std::time_t(id % 600));
}

InProcess run_in_process(std::uint32_t sites)
{
    InProcess res;
    const devkit::Discard null;
    Server srv;
    srv.out = null.stream();
    srv.err = null.stream();
    srv.settings.max_per_address = 0;  // every site comes from one address
    const std::time_t now = std::time(nullptr);
    for (std::uint32_t i = 0; i < sites; ++i)
        enter_site(srv, bench_record(i, now), now, 0);
    time_pages(srv, now, res);
    for (Workload w : kAllWorkloads)
        res.us_per_request[workload_name(w)] = time_requests(srv, w, sites, now);
    // The same refreshes and sign-offs from an address that owns none of
    // the sites: each is refused, and must cost no more than when taken.
    const std::uint32_t stranger = devkit::ipv4("127.0.0.2");
    res.us_per_request["refresh-refused"] = time_requests(srv, Workload::refresh, sites, now, stranger);
    res.us_per_request["churn-refused"] = time_requests(srv, Workload::churn, sites, now, stranger);
    return res;
}

}  // namespace kovari::bench
