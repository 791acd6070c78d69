// SPDX-License-Identifier: BSD-2-Clause
// The metrics file: the statistics in the Prometheus text format, version
// 0.0.4 (a HELP and a TYPE line before each family, one sample a line).
#include "metrics.h"

#include <cstring>
#include <initializer_list>
#include <utility>

#include "common/release.h"
#include "server.h"
#include "statistics.h"

namespace kovari {

namespace {

unsigned long long n(std::uint64_t v) { return static_cast<unsigned long long>(v); }

void put_family(std::string& text, const char* name, const char* type, const char* help)
{
    text += format("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

// A family of one sample without labels.
void put_single(std::string& text, const char* name, const char* type, const char* help, std::uint64_t value)
{
    put_family(text, name, type, help);
    text += format("%s %llu\n", name, n(value));
}

// A family of one sample per value of one label.
void put_labelled(std::string& text, const char* name, const char* type, const char* help, const char* label,
                  std::initializer_list<std::pair<const char*, std::uint64_t>> samples)
{
    put_family(text, name, type, help);
    for (const auto& [value, count] : samples)
        text += format("%s{%s=\"%s\"} %llu\n", name, label, value, n(count));
}

void put_request_times(std::string& text, const RequestTimes& times)
{
    const char* name = "quorind_request_duration_seconds";
    put_family(text, name, "histogram", "Time from accepting a connection to closing it.");
    std::uint64_t below = 0;
    for (std::size_t k = 0; k < kRequestTimeBuckets.size(); ++k) {
        below += times.counts[k];
        text += format("%s_bucket{le=\"%s\"} %llu\n", name, kRequestTimeBuckets[k].le, n(below));
    }
    below += times.counts.back();
    text += format("%s_bucket{le=\"+Inf\"} %llu\n", name, n(below));
    text += format("%s_sum %llu.%06llu\n", name, n(times.sum_us / 1'000'000), n(times.sum_us % 1'000'000));
    text += format("%s_count %llu\n", name, n(below));
}

}  // namespace

std::string metrics_text(const Statistics& st, const StateStatus& state, SiteCounts sites)
{
    std::string t;
    t.reserve(6000);
    put_family(t, "quorind_build_info", "gauge", "The release of the running server; always 1.");
    t += format("quorind_build_info{version=\"%s\"} 1\n", kVersion);
    put_single(t, "quorind_start_time_seconds", "gauge", "When the server started, in seconds since the epoch.",
               std::uint64_t(st.started_at));
    put_labelled(t, "quorind_sites", "gauge", "Sites in the table now.", "listing",
                 {{"listed", sites.listed}, {"unlisted", sites.unlisted}});
    put_single(t, "quorind_sites_max", "gauge", "The most sites the table has held since the start.",
               st.most_sites);
    put_single(t, "quorind_requests_total", "counter", "Packets received.", st.requests);
    put_labelled(t, "quorind_announcements_total", "counter",
                 "Announcements taken: of a new site, or repeated by a listed one.", "kind",
                 {{"new", st.announced_new}, {"repeated", st.announced_again}});
    put_single(t, "quorind_signoffs_total", "counter", "Sites removed by a sign-off.", st.signed_off);
    put_labelled(t, "quorind_refused_total", "counter",
                 "Changes refused: another address's sign-off or take-over, a forwarded packet from a "
                 "server that is not a peer, a new site over the per-address cap or the table limit.",
                 "reason",
                 {{"signoff", st.refused_signoffs},
                  {"takeover", st.refused_takeovers},
                  {"forwarded", st.refused_forwarded},
                  {"cap", st.refused_over_cap},
                  {"full", st.refused_full}});
    put_single(t, "quorind_expired_total", "counter", "Sites removed for not announcing themselves in time.",
               st.expired);
    put_single(t, "quorind_queries_total", "counter", "Lookup queries, those refused as too costly included.", st.queries);
    put_single(t, "quorind_queries_refused_total", "counter",
               "Lookup queries given up as too costly and closed without a reply.", st.refused_queries);
    put_single(t, "quorind_requests_held_total", "counter",
               "Requests held back while their sender was over its share of the server's time.", st.held);
    put_single(t, "quorind_message_requests_total", "counter", "Server message requests answered.",
               st.message_requests);
    put_single(t, "quorind_invalid_packets_total", "counter", "Packets discarded, empty receives included.",
               st.invalid);
    put_labelled(t, "quorind_connections_closed_total", "counter",
                 "Connections closed before a whole request came: out of time, or to keep within a cap.",
                 "reason", {{"idle", st.idle_closed}, {"cap", st.cap_closed}});
    put_labelled(t, "quorind_forwarded_copies_total", "counter", "Copies of changes for the peer servers.",
                 "result", {{"sent", st.copies_sent}, {"failed", st.copies_failed}, {"dropped", st.copies_dropped}});
    put_labelled(t, "quorind_page_writes_total", "counter", "HTML pages written.", "result",
                 {{"ok", st.pages_written}, {"failed", st.page_failures}});
    put_labelled(t, "quorind_state_writes_total", "counter", "Writes of the state file.", "result",
                 {{"ok", state.writes}, {"failed", state.failures}});
    put_request_times(t, st.request_times);
    return t;
}

bool write_metrics(Server& srv)
{
    const std::string& base = *srv.settings.metrics_base;
    const std::string text = metrics_text(srv.stats, srv.state_status, count_sites(srv.table));
    // The temporary name does not end in .prom, which the textfile
    // collector would read half-written.
    const FileOutcome done = replace_file(base + ".prom.new", base + ".prom", text, 0644, false);
    if (is_news(srv.metrics_problem, done))
        std::fprintf(srv.err, "%s: can't write metrics file %s.prom: %s\n", srv.settings.program_name.c_str(),
                     base.c_str(), std::strerror(done.error));
    return done.failed == FileStep::done;
}

}  // namespace kovari
