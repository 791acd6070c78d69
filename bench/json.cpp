// SPDX-License-Identifier: BSD-2-Clause
#include "bench/json.h"

#include <cstdlib>

#include "bench/in_process.h"
#include "bench/results.h"
#include "bench/settings.h"
#include "bench/state_writes.h"
#include "common/report.h"

namespace kovari::bench {
namespace {

// {"rps":..,"p50_us":..,"p99_us":..,"cpu_us":..} of one server's medians.
std::string medians_json(const Samples& s)
{
    return format("{\"rps\":%.1f,\"p50_us\":%.1f,\"p99_us\":%.1f,\"cpu_us\":%.2f}", median(s.rps),
                  median(s.p50), median(s.p99), median(s.cpu));
}

std::string page_lag_json(const PageLag& p)
{
    return format("{\"sites\":%u,\"seconds\":%.1f,\"rate\":%d,\"query_rps\":%.1f,\"query_p50_us\":%.1f,"
                  "\"query_p99_us\":%.1f,\"query_max_us\":%.1f,\"query_errors\":%llu,\"announced\":%d,"
                  "\"failed_announcements\":%d,\"in_page\":%d,\"late\":%d,\"lag_p50_ms\":%.1f,"
                  "\"lag_max_ms\":%.1f,\"page_writes\":%d}",
                  p.sites, p.seconds, p.rate, p.queries.rps, p.queries.p50_us, p.queries.p99_us, p.queries.max_us,
                  static_cast<unsigned long long>(p.queries.errors), p.announced, p.failed_announcements, p.in_page,
                  p.late, p.lag_p50_ms, p.lag_max_ms, p.page_writes);
}

std::string stalls_json(const WriteStalls& w)
{
    return format("{\"sites\":%u,\"forked\":%s,\"page_ms\":%.3f,\"page_max_ms\":%.3f,\"state_ms\":%.3f,"
                  "\"state_max_ms\":%.3f,\"load_ms\":%.1f,\"loaded_all\":%s}",
                  w.sites, w.forked ? "true" : "false", w.page_start_ms, w.page_start_max_ms, w.state_start_ms,
                  w.state_start_max_ms, w.load_ms, w.loaded_all ? "true" : "false");
}

// The figures of the writes away from the request path, as fields of an
// object.
std::string writes_fields(const Results& res)
{
    std::string j = "\"page_lag\":";
    j += page_lag_json(res.page_lag) + ",\"write_starts\":" + stalls_json(res.stalls);
    j += format(",\"state_start\":{\"sites\":%u,\"ms\":%.1f,\"site_found\":%s}", res.state_start.sites,
                res.state_start.ms, res.state_start.site_found ? "true" : "false");
    if (res.large.sites > 0)
        j += ",\"large\":" + large_json(res.large);
    return j;
}

}  // namespace

std::string json_line(std::string_view server, Workload w, std::uint32_t sites, int connections,
                      const LoadResult& r)
{
    return format("{\"server\":\"%.*s\",\"workload\":\"%s\",\"sites\":%u,\"connections\":%d,"
                  "\"seconds\":%.3f,\"requests\":%llu,\"errors\":%llu,\"rps\":%.1f,"
                  "\"p50_us\":%.1f,\"p99_us\":%.1f,\"cpu_us_per_request\":%.2f}",
                  int(server.size()), server.data(), workload_name(w), sites, connections, r.seconds,
                  static_cast<unsigned long long>(r.requests), static_cast<unsigned long long>(r.errors),
                  r.rps, r.p50_us, r.p99_us, r.cpu_us_per_request);
}

std::string json_summary(const Settings& set, const Results& res, const InProcess& inproc)
{
    std::string j = "{\"rounds\":" + std::to_string(set.reps) + ",\"rows\":[";
    bool first = true;
    for (std::uint32_t sites : set.sizes) {
        for (Workload w : kAllWorkloads) {
            const Samples& q = samples(res, "quorind", workload_name(w), sites);
            const Samples& r = samples(res, "ref", workload_name(w), sites);
            j += format("%s{\"workload\":\"%s\",\"sites\":%u,\"quorind\":", first ? "" : ",",
                        workload_name(w), sites);
            j += medians_json(q) + ",\"ref\":" + medians_json(r);
            j += format(",\"errors\":%llu}", static_cast<unsigned long long>(q.errors + r.errors));
            first = false;
        }
    }
    const Samples& plain = samples(res, "quorind", "refresh-plain", set.sizes.front());
    const Samples& idle = samples(res, "quorind", "refresh+idle", set.sizes.front());
    j += format("],\"rss_bytes_per_site\":%.0f,\"pages_ms\":%.1f,\"idle_rps\":%.1f,\"plain_rps\":%.1f",
                median(res.rss_per_site), inproc.pages_ms, median(idle.rps), median(plain.rps));
    j += format(",\"syscalls_per_request\":{\"sites\":%u,\"quorind\":%.3f,\"ref\":%.3f}", res.syscalls.sites,
                res.syscalls.quorind.per_request(), res.syscalls.ref.per_request());
    return j + "," + writes_fields(res) + "}";
}

std::string json_writes(const Results& res)
{
    std::string j = "{";
    j += writes_fields(res);
    return j + "}";
}

std::string large_json(const LargeTable& t)
{
    return format("{\"sites\":%u,\"ran\":%d,\"build_s\":%.2f,\"rss_bytes_per_site\":%.1f,\"miss_us\":%.2f,"
                  "\"exact_us\":%.2f,\"public_ms\":%.1f,"
                  "\"private_ms\":%.1f,\"pages_ms\":%.1f,\"state_bytes\":%.0f,\"encode_ms\":%.1f,"
                  "\"state_write_ms\":%.1f,\"load_ms\":%.1f,\"decode_ms\":%.1f,\"filing_ms\":%.1f,\"loaded_all\":%d,"
                  "\"start_ran\":%d,\"ready_ms\":%.1f,\"answer_ms\":%.1f,\"start_site_found\":%d}",
                  t.sites, t.ran ? 1 : 0, t.build_s, t.rss_bytes_per_site, t.miss_us, t.exact_us, t.public_ms,
                  t.private_ms, t.pages_ms, t.state_bytes, t.encode_ms, t.state_write_ms, t.load_ms, t.decode_ms,
                  t.filing_ms, t.loaded_all ? 1 : 0, t.start.ran ? 1 : 0, t.start.ready_ms, t.start.answer_ms,
                  t.start.site_found ? 1 : 0);
}

std::optional<LargeTable> parse_large_json(const std::string& line)
{
    const auto sites = json_number(line, "sites");
    if (!sites)
        return std::nullopt;
    const auto get = [&](const char* key) { return json_number(line, key).value_or(-1); };
    LargeTable t;
    t.sites = std::uint32_t(*sites);
    t.ran = get("ran") == 1;
    t.build_s = get("build_s");
    t.rss_bytes_per_site = get("rss_bytes_per_site");
    t.miss_us = get("miss_us");
    t.exact_us = get("exact_us");
    t.public_ms = get("public_ms");
    t.private_ms = get("private_ms");
    t.pages_ms = get("pages_ms");
    t.state_bytes = get("state_bytes");
    t.encode_ms = get("encode_ms");
    t.state_write_ms = get("state_write_ms");
    t.load_ms = get("load_ms");
    t.decode_ms = get("decode_ms");
    t.filing_ms = get("filing_ms");
    t.loaded_all = get("loaded_all") == 1;
    t.start.ran = get("start_ran") == 1;
    t.start.ready_ms = get("ready_ms");
    t.start.answer_ms = get("answer_ms");
    t.start.site_found = get("start_site_found") == 1;
    return t;
}

std::optional<double> json_number(std::string_view line, std::string_view key)
{
    std::string quoted = "\"";
    quoted += key;
    quoted += "\":";
    const auto at = line.find(quoted);
    if (at == std::string_view::npos)
        return std::nullopt;
    const std::string rest(line.substr(at + quoted.size(), 40));
    char* end = nullptr;
    const double v = std::strtod(rest.c_str(), &end);
    return end != rest.c_str() ? std::optional<double>(v) : std::nullopt;
}

}  // namespace kovari::bench
