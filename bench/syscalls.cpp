// SPDX-License-Identifier: BSD-2-Clause
#include "bench/syscalls.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "bench/settings.h"
#include "bench/workloads.h"
#include "devkit/files.h"
#include "devkit/process.h"
#include "devkit/server_process.h"

namespace kovari::bench {
namespace {

// Whether the strace program runs here at all.
bool have_strace()
{
    return devkit::run_program({"strace", "-V"}, {}, 5000).status == 0;
}

// One server traced while the load runs. Tracing slows every call down
// many times, so the count is the figure, not the rate.
SyscallCount trace_one(const Settings& set, const std::string& binary, bool fill, std::uint32_t sites)
{
    SyscallCount res;
    const devkit::TempDir dir("kvbench-strace");
    devkit::ServerProcess server;
    if (!dir.valid() || !devkit::start_server(server, binary, {}))
        return res;
    if (fill)
        fill_table(server.port, 0, sites, set.connections);
    const std::string table = dir / "strace.txt";
    devkit::Child tracer = devkit::start_child(
        {"strace", "-c", "-f", "-o", table, "-p", std::to_string(server.child.pid)});
    // strace says on its standard error when it has attached.
    for (int k = 0; k < 300 && devkit::read_file(tracer.err_path).find("attached") == std::string::npos; ++k)
        if (devkit::wait_child(tracer, 10))
            break;
    if (tracer.status) {
        std::fprintf(stderr, "kvbench: strace could not attach: %s\n", devkit::read_file(tracer.err_path).c_str());
        devkit::remove_output_files(tracer);
        return res;
    }
    LoadOptions opt;
    opt.port = server.port;
    opt.connections = set.connections;
    opt.seconds = set.seconds;
    opt.warmup = 0;  // every exchange is counted: strace counts them all
    const LoadResult r = run_load(opt, workload_source(Workload::query_exact, sites, sites + 10'000'000,
                                                       set.connections));
    // On SIGINT strace detaches and writes its table.
    ::kill(tracer.pid, SIGINT);
    if (!devkit::wait_child(tracer, 5000))
        devkit::stop_child(tracer);
    devkit::remove_output_files(tracer);
    if (const auto calls = strace_total_calls(devkit::read_file(table)); calls && r.requests > 0) {
        res.ran = true;
        res.calls = *calls;
        res.requests = r.requests + r.errors;
    }
    return res;
}

}  // namespace

std::optional<std::uint64_t> strace_total_calls(const std::string& table)
{
    std::istringstream in(table);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string x; words >> x;)
            w.push_back(x);
        // "100.00  0.031  1  24012  264 total", the errors column blank
        // when there were none.
        if (w.size() >= 5 && w.back() == "total")
            return std::strtoull(w[3].c_str(), nullptr, 10);
    }
    return std::nullopt;
}

SyscallCounts run_syscall_counts(const Settings& set)
{
    SyscallCounts res;
    res.sites = set.sizes.front();
    if (!have_strace()) {
        std::fprintf(stderr, "system calls per request: strace is not installed\n");
        return res;
    }
    std::fprintf(stderr, "system calls per request, traced with strace, %u sites\n", res.sites);
    res.quorind = trace_one(set, set.quorind, true, res.sites);
    res.ref = trace_one(set, set.ref, false, res.sites);
    std::fprintf(stderr, "  quorind %.2f (%llu calls, %llu requests), kvref %.2f (%llu calls, %llu requests)\n",
                 res.quorind.per_request(), static_cast<unsigned long long>(res.quorind.calls),
                 static_cast<unsigned long long>(res.quorind.requests), res.ref.per_request(),
                 static_cast<unsigned long long>(res.ref.calls), static_cast<unsigned long long>(res.ref.requests));
    return res;
}

}  // namespace kovari::bench
