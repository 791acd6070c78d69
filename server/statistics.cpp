// SPDX-License-Identifier: BSD-2-Clause
// The statistics that SIGUSR1 asks for, and the status line that the
// service manager shows.
#include "statistics.h"

namespace kovari {

SiteCounts count_sites(const SiteTable& t)
{
    return {.listed = table_size(t) - table_unlisted(t), .unlisted = table_unlisted(t)};
}

void write_statistics(const Server& srv, std::FILE* out, long now_ms)
{
    const Statistics& st = srv.stats;
    const SiteCounts sites = count_sites(srv.table);
    const auto n = [](std::uint64_t v) { return static_cast<unsigned long long>(v); };
    // One block, written in one go, so that it stays together in a log.
    std::string block = format("%s: statistics after %lld seconds\n", srv.settings.program_name.c_str(),
                               static_cast<long long>((now_ms - st.started_ms) / 1000));
    block += format("  sites: %zu now (%zu listed, %zu unlisted), %zu at most\n",
                    sites.listed + sites.unlisted, sites.listed, sites.unlisted, st.most_sites);
    block += format("  requests: %llu\n", n(st.requests));
    block += format("  announcements: %llu new, %llu repeated, %llu refused (table full)\n",
                    n(st.announced_new), n(st.announced_again), n(st.refused_full));
    block += format("  sign-offs: %llu, %llu of unknown sites\n", n(st.signed_off),
                    n(st.unknown_signoffs));
    block += format("  refused: %llu sign-offs, %llu take-overs, %llu forwarded from non-peers, "
                    "%llu over the per-address cap\n",
                    n(st.refused_signoffs), n(st.refused_takeovers), n(st.refused_forwarded),
                    n(st.refused_over_cap));
    block += format("  expired sites: %llu\n", n(st.expired));
    block += format("  queries: %llu, %llu refused as too costly\n", n(st.queries), n(st.refused_queries));
    block += format("  server message requests: %llu\n", n(st.message_requests));
    block += format("  invalid packets: %llu\n", n(st.invalid));
    block += format("  idle connections closed: %llu\n", n(st.idle_closed));
    block += format("  connections closed by the caps: %llu\n", n(st.cap_closed));
    block += format("  requests held back for their sender's share: %llu\n", n(st.held));
    block += format("  forwarded copies: %llu sent, %llu failed, %llu dropped\n", n(st.copies_sent),
                    n(st.copies_failed), n(st.copies_dropped));
    block += format("  page writes: %llu, %llu failed\n", n(st.pages_written), n(st.page_failures));
    if (srv.settings.state_file) {
        const StateStatus& ss = srv.state_status;
        block += format("  state file: %llu sites loaded at start, %llu writes, %llu failed\n", n(ss.loaded),
                        n(ss.writes), n(ss.failures));
    }
    put_text(out, block);
    std::fflush(out);  // a stream that cannot be written has nowhere to say so
}

std::string status_text(const Server& srv)
{
    const auto& set = srv.settings;
    return format("listening on %s:%u, %zu sites, %llu requests since start",
                  set.listen_ip != 0 ? dotted(set.listen_ip).c_str() : "*", unsigned(srv.listening_port),
                  table_size(srv.table), static_cast<unsigned long long>(srv.stats.requests));
}

}  // namespace kovari
