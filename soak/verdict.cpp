// SPDX-License-Identifier: BSD-2-Clause
#include "soak/verdict.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "devkit/files.h"
#include "soak/error_lines.h"

namespace kovari::soak {
namespace {

long occurrences(const std::string& text, const std::string& what)
{
    long n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

void print_requests(const Outcome& o)
{
    const Tally& t = o.load.tally;
    const RunFigures& f = o.figures;
    std::printf("requests            %ld in %.0f s of load, %.0f s in all (%.0f per second)\n", t.requests,
                f.load_seconds, f.total_seconds, double(t.requests) / f.total_seconds);
    std::printf("  announcements     %ld new, %ld repeated, %ld of them forwarded by a peer\n", t.added,
                t.refreshed, t.forwarded_in);
    std::printf("  sign-offs         %ld, %ld of unknown SSRCs\n", t.released, t.unknown_signoffs);
    std::printf("  queries           %ld exact (present), %ld exact (absent), %ld broad\n", t.exact_queries,
                t.absent_queries, t.broad_queries);
    std::printf("  other             %ld server message requests, %ld malformed, %ld idle connections\n",
                t.message_requests, t.malformed, t.idle_opened);
    std::printf("sites               %zu listed at the end, %zu ever, %ld left unchecked (near expiry)\n",
                o.load.model.alive.size(), o.load.model.sites.size(), f.uncertain);
}

// The server's Connect and Bye lines against the model's counts; they
// need not agree once a site has timed out.
bool activity_log_agrees(const Outcome& o, const ErrorLines& e)
{
    const Tally& t = o.load.tally;
    const long connects = occurrences(o.out, " Connect: ");
    const long byes = occurrences(o.out, " Bye:     ");
    const long timeouts = occurrences(o.out, " Timeout: ");
    std::printf("activity log        %ld Connect (model %ld), %ld Bye (model %ld), %ld Timeout\n", connects,
                t.added, byes, t.released, timeouts);
    std::printf("slow peer           %ld copies accepted (%ld well formed), %ld copies sent, %ld dropped by the server\n",
                o.peer_accepted, o.peer_well_formed, t.stored_copies, e.dropped);
    std::printf("standard error      %ld lines about dropped copies, %ld without CNAME, %ld unexpected\n",
                e.dropped, e.no_cname, e.unexpected);
    std::printf("server exit status  %d\n", o.status ? *o.status : -1);
    return timeouts != 0 || (connects == t.added && byes == t.released);
}

bool memory_steady(const RunFigures& f)
{
    const double growth = f.rss_warm_kb > 0 ? double(f.rss_end_kb - f.rss_warm_kb) / double(f.rss_warm_kb) : 1;
    std::printf("resident memory     %ld kB after warm-up, %ld kB at the end (%+.1f%%), peak seen %ld kB\n",
                f.rss_warm_kb, f.rss_end_kb, growth * 100, std::max(f.rss_peak_kb, f.rss_end_kb));
    if (growth > 0.10 || growth < -0.10) {
        std::printf("FAIL: resident memory moved by more than 10%%\n");
        return false;
    }
    return true;
}

bool valgrind_clean(const std::string& path)
{
    const std::string log = devkit::read_file(path);
    const bool clean = log.find("ERROR SUMMARY: 0 errors") != std::string::npos &&
                       (log.find("All heap blocks were freed") != std::string::npos ||
                        (log.find("definitely lost: 0 bytes") != std::string::npos &&
                         log.find("indirectly lost: 0 bytes") != std::string::npos &&
                         log.find("possibly lost: 0 bytes") != std::string::npos));
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        for (const char* key : {"ERROR SUMMARY", "in use at exit", "total heap usage", "lost:", "reachable:"})
            if (line.find(key) != std::string::npos) {
                std::printf("valgrind           %s\n", line.substr(line.find(' ') + 1).c_str());
                break;
            }
    if (!clean)
        std::printf("FAIL: valgrind reports errors or leaks (%s)\n", path.c_str());
    return clean;
}

}  // namespace

bool judge(const Outcome& o)
{
    const ErrorLines e = count_error_lines(o.err);
    print_requests(o);
    bool ok = o.load.tally.failures == 0 && e.unexpected == 0 && o.status == 0;
    if (!activity_log_agrees(o, e)) {
        std::printf("FAIL: the activity log differs from the model\n");
        ok = false;
    }
    for (const auto& f : o.load.tally.first_failures)
        std::printf("FAIL: %s\n", f.c_str());
    if (o.valgrind_log)
        ok = valgrind_clean(*o.valgrind_log) && ok;
    else
        ok = memory_steady(o.figures) && ok;
    return ok;
}

}  // namespace kovari::soak
