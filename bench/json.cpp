#include "bench/json.h"

#include "bench/in_process.h"
#include "bench/results.h"
#include "bench/settings.h"
#include "common/report.h"

namespace kovari::bench {
namespace {

// {"rps":..,"p50_us":..,"p99_us":..,"cpu_us":..} of one server's medians.
std::string medians_json(const Samples& s)
{
    return format("{\"rps\":%.1f,\"p50_us\":%.1f,\"p99_us\":%.1f,\"cpu_us\":%.2f}", median(s.rps),
                  median(s.p50), median(s.p99), median(s.cpu));
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
    j += format("],\"rss_bytes_per_site\":%.0f,\"pages_ms\":%.1f,\"idle_rps\":%.1f,\"plain_rps\":%.1f}",
                median(res.rss_per_site), inproc.pages_ms, median(idle.rps), median(plain.rps));
    return j;
}

}  // namespace kovari::bench
