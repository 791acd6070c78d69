// SPDX-License-Identifier: BSD-2-Clause
#include "bench/workloads.h"

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "bench/sites.h"
#include "devkit/packets.h"

namespace kovari::bench {
namespace {

// The churn workload's pairs: each slot works through its own sites
// (slot, slot + C, ...), so a sign-off and the announcement after it never
// cross another slot's pair.
struct Churn {
    std::vector<std::uint32_t> site;  // per slot: the site it works on
    std::vector<bool> bye;            // per slot: the next request is the sign-off
};

devkit::Bytes next_churn(Churn& c, int slot, std::uint32_t n, std::uint32_t step)
{
    const auto k = std::size_t(slot);
    auto& id = c.site[k];
    devkit::Bytes req;
    if (c.bye[k]) {
        req = devkit::bye_packet(bench_ssrc(id));
    } else {
        req = devkit::announcement(bench_site(id));
        id = id + step < n ? id + step : std::uint32_t(slot) % n;
    }
    c.bye[k] = !c.bye[k];
    return req;
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

RequestSource workload_source(Workload w, std::uint32_t table_size, std::uint32_t new_base,
                              int connections)
{
    struct State {
        std::mt19937 rng{12345};
        std::uint32_t next_new = 0;
        Churn churn;
    };
    auto st = std::make_shared<State>();
    st->next_new = new_base;
    const std::uint32_t n = std::max<std::uint32_t>(table_size, 1);
    for (int k = 0; k < connections; ++k) {
        st->churn.site.push_back(std::uint32_t(k) % n);
        st->churn.bye.push_back(true);
    }
    const std::uint32_t step = std::uint32_t(connections);
    return [w, st, n, step](int slot, devkit::Bytes& req, Expect& expect) {
        const auto pick = [&] { return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(st->rng); };
        expect = Expect::nothing;
        switch (w) {
        case Workload::announce_new: req = devkit::announcement(bench_site(st->next_new++)); return true;
        case Workload::refresh: req = devkit::announcement(bench_site(pick())); return true;
        case Workload::churn: req = next_churn(st->churn, slot, n, step); return true;
        case Workload::query_exact: req = devkit::query_packet(exact_query(pick())); break;
        case Workload::query_miss: req = devkit::query_packet(kMissQuery); break;
        case Workload::query_empty: req = devkit::query_packet(""); break;
        }
        expect = Expect::reply;  // the queries
        return true;
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

}  // namespace kovari::bench
