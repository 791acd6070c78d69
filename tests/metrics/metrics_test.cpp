// SPDX-License-Identifier: BSD-2-Clause
// The metrics text for given counters, line by line, and the buckets a
// request time falls in.
#include <gtest/gtest.h>

#include "server/metrics.h"
#include "server/server.h"

namespace kovari::testing {
namespace {

TEST(MetricsText, EveryCounterInItsFamilyWithHelpAndType)
{
    Statistics st;
    st.started_at = 1'700'000'000;
    st.most_sites = 9;
    st.requests = 101;
    st.announced_new = 11;
    st.announced_again = 12;
    st.signed_off = 13;
    st.refused_signoffs = 21;
    st.refused_takeovers = 22;
    st.refused_forwarded = 23;
    st.refused_over_cap = 24;
    st.refused_full = 25;
    st.expired = 31;
    st.queries = 32;
    st.refused_queries = 35;
    st.held = 36;
    st.message_requests = 33;
    st.invalid = 34;
    st.idle_closed = 41;
    st.cap_closed = 42;
    st.copies_sent = 51;
    st.copies_failed = 52;
    st.copies_dropped = 53;
    st.pages_written = 61;
    st.page_failures = 62;
    for (long us : {7L, 40L, 40L, 900L, 2'000'000L, 12'000'000L})
        record_request_time(st.request_times, us);
    StateStatus state;
    state.writes = 71;
    state.failures = 72;
    const std::string expected =
        "# HELP quorind_build_info The release of the running server; always 1.\n"
        "# TYPE quorind_build_info gauge\n"
        "quorind_build_info{version=\"" KOVARI_VERSION "\"} 1\n"
        "# HELP quorind_start_time_seconds When the server started, in seconds since the epoch.\n"
        "# TYPE quorind_start_time_seconds gauge\n"
        "quorind_start_time_seconds 1700000000\n"
        "# HELP quorind_sites Sites in the table now.\n"
        "# TYPE quorind_sites gauge\n"
        "quorind_sites{listing=\"listed\"} 5\n"
        "quorind_sites{listing=\"unlisted\"} 2\n"
        "# HELP quorind_sites_max The most sites the table has held since the start.\n"
        "# TYPE quorind_sites_max gauge\n"
        "quorind_sites_max 9\n"
        "# HELP quorind_requests_total Packets received.\n"
        "# TYPE quorind_requests_total counter\n"
        "quorind_requests_total 101\n"
        "# HELP quorind_announcements_total Announcements taken: of a new site, or repeated by a listed one.\n"
        "# TYPE quorind_announcements_total counter\n"
        "quorind_announcements_total{kind=\"new\"} 11\n"
        "quorind_announcements_total{kind=\"repeated\"} 12\n"
        "# HELP quorind_signoffs_total Sites removed by a sign-off.\n"
        "# TYPE quorind_signoffs_total counter\n"
        "quorind_signoffs_total 13\n"
        "# HELP quorind_refused_total Changes refused: another address's sign-off or take-over, a forwarded "
        "packet from a server that is not a peer, a new site over the per-address cap or the table limit.\n"
        "# TYPE quorind_refused_total counter\n"
        "quorind_refused_total{reason=\"signoff\"} 21\n"
        "quorind_refused_total{reason=\"takeover\"} 22\n"
        "quorind_refused_total{reason=\"forwarded\"} 23\n"
        "quorind_refused_total{reason=\"cap\"} 24\n"
        "quorind_refused_total{reason=\"full\"} 25\n"
        "# HELP quorind_expired_total Sites removed for not announcing themselves in time.\n"
        "# TYPE quorind_expired_total counter\n"
        "quorind_expired_total 31\n"
        "# HELP quorind_queries_total Lookup queries, those refused as too costly included.\n"
        "# TYPE quorind_queries_total counter\n"
        "quorind_queries_total 32\n"
        "# HELP quorind_queries_refused_total Lookup queries given up as too costly and closed without a reply.\n"
        "# TYPE quorind_queries_refused_total counter\n"
        "quorind_queries_refused_total 35\n"
        "# HELP quorind_requests_held_total Requests held back while their sender was over its share of the server's time.\n"
        "# TYPE quorind_requests_held_total counter\n"
        "quorind_requests_held_total 36\n"
        "# HELP quorind_message_requests_total Server message requests answered.\n"
        "# TYPE quorind_message_requests_total counter\n"
        "quorind_message_requests_total 33\n"
        "# HELP quorind_invalid_packets_total Packets discarded, empty receives included.\n"
        "# TYPE quorind_invalid_packets_total counter\n"
        "quorind_invalid_packets_total 34\n"
        "# HELP quorind_connections_closed_total Connections closed before a whole request came: out of time, "
        "or to keep within a cap.\n"
        "# TYPE quorind_connections_closed_total counter\n"
        "quorind_connections_closed_total{reason=\"idle\"} 41\n"
        "quorind_connections_closed_total{reason=\"cap\"} 42\n"
        "# HELP quorind_forwarded_copies_total Copies of changes for the peer servers.\n"
        "# TYPE quorind_forwarded_copies_total counter\n"
        "quorind_forwarded_copies_total{result=\"sent\"} 51\n"
        "quorind_forwarded_copies_total{result=\"failed\"} 52\n"
        "quorind_forwarded_copies_total{result=\"dropped\"} 53\n"
        "# HELP quorind_page_writes_total HTML pages written.\n"
        "# TYPE quorind_page_writes_total counter\n"
        "quorind_page_writes_total{result=\"ok\"} 61\n"
        "quorind_page_writes_total{result=\"failed\"} 62\n"
        "# HELP quorind_state_writes_total Writes of the state file.\n"
        "# TYPE quorind_state_writes_total counter\n"
        "quorind_state_writes_total{result=\"ok\"} 71\n"
        "quorind_state_writes_total{result=\"failed\"} 72\n"
        "# HELP quorind_request_duration_seconds Time from accepting a connection to closing it.\n"
        "# TYPE quorind_request_duration_seconds histogram\n"
        "quorind_request_duration_seconds_bucket{le=\"1e-05\"} 1\n"
        "quorind_request_duration_seconds_bucket{le=\"2.5e-05\"} 1\n"
        "quorind_request_duration_seconds_bucket{le=\"5e-05\"} 3\n"
        "quorind_request_duration_seconds_bucket{le=\"0.0001\"} 3\n"
        "quorind_request_duration_seconds_bucket{le=\"0.00025\"} 3\n"
        "quorind_request_duration_seconds_bucket{le=\"0.0005\"} 3\n"
        "quorind_request_duration_seconds_bucket{le=\"0.001\"} 4\n"
        "quorind_request_duration_seconds_bucket{le=\"0.0025\"} 4\n"
        "quorind_request_duration_seconds_bucket{le=\"0.005\"} 4\n"
        "quorind_request_duration_seconds_bucket{le=\"0.01\"} 4\n"
        "quorind_request_duration_seconds_bucket{le=\"0.025\"} 4\n"
        "quorind_request_duration_seconds_bucket{le=\"0.05\"} 4\n"
        "quorind_request_duration_seconds_bucket{le=\"0.1\"} 4\n"
        "quorind_request_duration_seconds_bucket{le=\"0.25\"} 4\n"
        "quorind_request_duration_seconds_bucket{le=\"0.5\"} 4\n"
        "quorind_request_duration_seconds_bucket{le=\"1\"} 4\n"
        "quorind_request_duration_seconds_bucket{le=\"2.5\"} 5\n"
        "quorind_request_duration_seconds_bucket{le=\"5\"} 5\n"
        "quorind_request_duration_seconds_bucket{le=\"10\"} 5\n"
        "quorind_request_duration_seconds_bucket{le=\"+Inf\"} 6\n"
        "quorind_request_duration_seconds_sum 14.000987\n"
        "quorind_request_duration_seconds_count 6\n";
    EXPECT_EQ(metrics_text(st, state, {.listed = 5, .unlisted = 2}), expected);
}

// A bound is the largest time in its bucket (Prometheus's "le").
TEST(MetricsText, RequestTimesFallInTheFirstBucketWhoseBoundHoldsThem)
{
    const struct {
        long us;
        std::size_t bucket;  // kRequestTimeBuckets.size(): above every bound
        std::uint64_t sum_us;
    } cases[] = {
        {-3, 0, 0},  // a clock read out of order counts as no time
        {0, 0, 0},
        {10, 0, 10},
        {11, 1, 11},
        {1000, 6, 1000},
        {1001, 7, 1001},
        {10'000'000, kRequestTimeBuckets.size() - 1, 10'000'000},
        {10'000'001, kRequestTimeBuckets.size(), 10'000'001},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.us);
        RequestTimes t;
        record_request_time(t, c.us);
        for (std::size_t k = 0; k < t.counts.size(); ++k)
            EXPECT_EQ(t.counts[k], k == c.bucket ? 1u : 0u) << k;
        EXPECT_EQ(t.sum_us, c.sum_us);
    }
}

}  // namespace
}  // namespace kovari::testing
