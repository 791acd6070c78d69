// SPDX-License-Identifier: BSD-2-Clause
#include "bench/collide.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "bench/engine.h"
#include "bench/sites.h"
#include "common/report.h"
#include "devkit/packets.h"
#include "devkit/procfs.h"
#include "devkit/server_process.h"

namespace kovari::bench {
namespace {

// --- the attacker's offline guess: the unkeyed hashes of the server as it
// was, copied here whole ---

std::uint64_t unkeyed_mix(std::uint64_t h)
{
    h ^= h >> 31;
    h *= 0xbf58476d1ce4e5b9ull;
    h ^= h >> 29;
    return h;
}

std::uint32_t unkeyed_hash_ssrc(std::uint32_t ssrc_value) { return std::uint32_t(unkeyed_mix(ssrc_value + 0x9E3779B9ull)); }

std::uint32_t unkeyed_hash_text(std::string_view t)
{
    std::uint64_t h = 0x9E3779B97F4A7C15ull ^ t.size();
    std::size_t i = 0;
    for (; i + 8 <= t.size(); i += 8) {
        std::uint64_t w = 0;
        std::memcpy(&w, t.data() + i, 8);
        h = unkeyed_mix(h ^ w) * 0x94d049bb133111ebull;
    }
    std::uint64_t w = 0;
    for (int k = 0; i < t.size(); ++i, ++k)
        w |= std::uint64_t(static_cast<unsigned char>(t[i])) << (8 * k);
    h = unkeyed_mix(h ^ w);
    return std::uint32_t(h ^ (h >> 32));
}

// Keys whose hash has these low bits below kWindow fill cells 0, 1, 2, ...
// of an index of up to 2^20 cells: one run, which each insert walks.
constexpr std::uint32_t kLowBits = 0xfffff;
constexpr std::uint32_t kWindow = 256;

constexpr char kCnamePrefix[] = "kovari.c";  // 8 bytes: the first word

// The CNAME of number n: the prefix and n's eight nibbles as the letters
// a..p, 16 bytes in all.
std::string cname_of(std::uint32_t n)
{
    std::string s = kCnamePrefix;
    for (int k = 0; k < 8; ++k)
        s += char('a' + ((n >> (4 * k)) & 15));
    return s;
}

constexpr std::uint32_t kPairBase = 60'000'000;    // their bench site numbers

// The server's CPU time in microseconds: to the nanosecond where the
// kernel counts it so, else in clock ticks.
std::optional<double> cpu_of(pid_t pid)
{
    if (const auto ns = devkit::run_time_us(pid))
        return ns;
    const auto s = devkit::read_proc_stat(pid);
    return s ? std::optional<double>(devkit::cpu_us(*s)) : std::nullopt;
}

// Announces sites[0..n) (ssrc, cname), 1,000 from each address.
std::uint64_t fill(int port, const std::vector<std::uint32_t>& ssrcs, const std::vector<std::string>& cnames,
                   std::uint32_t n)
{
    return send_from_many_addresses(port, n, [&](std::uint32_t k) {
        devkit::Announcement a;
        a.ssrc = devkit::make_ssrc(ssrcs[k]);
        a.cname = cnames[k];
        return devkit::announcement(a);
    });
}

// A server filled for the pairs: its process and the figures so far.
struct Filled {
    devkit::ServerProcess server;
    CollideRun run;
    double pair_cpu = 0;  // over the batches so far
    double p50_sum = 0;
    std::uint64_t requests = 0;
};

bool fill_server(const std::string& binary, const std::vector<std::uint32_t>& ssrcs,
                 const std::vector<std::string>& cnames, std::uint32_t n, Filled& f)
{
    if (!devkit::start_server(f.server, binary, {}))
        return false;
    const pid_t pid = f.server.child.pid;
    const auto cpu0 = cpu_of(pid);
    f.run.errors = fill(f.server.port, ssrcs, cnames, n);
    const auto cpu1 = cpu_of(pid);
    if (cpu0 && cpu1)
        f.run.cpu_us_per_announcement = (*cpu1 - *cpu0) / double(n);
    return true;
}

// The ordinary voice program, batch k: `count` new sites, each announced,
// then looked up by its e-mail address, one request at a time, from
// 127.2.0.(k+1).
void time_batch(Filled& f, std::uint32_t k, std::uint32_t count)
{
    const std::string from = format("127.2.0.%u", k + 1);
    std::uint32_t next = 0;
    LoadOptions opt;
    opt.port = f.server.port;
    opt.connections = 1;
    opt.seconds = 1e9;
    opt.warmup = 0;
    opt.local_ip = from.c_str();
    const auto cpu0 = cpu_of(f.server.child.pid);
    const LoadResult r = run_load(opt, [&](int, devkit::Bytes& req, Expect& expect) {
        if (next == 2 * count)
            return false;
        const std::uint32_t id = kPairBase + k * kSitesPerAddress + next / 2;
        if (next++ % 2 == 0) {
            req = devkit::announcement(bench_site(id));
            expect = Expect::nothing;
        } else {
            req = devkit::query_packet(exact_query(id));
            expect = Expect::reply;
        }
        return true;
    });
    const auto cpu1 = cpu_of(f.server.child.pid);
    if (cpu0 && cpu1)
        f.pair_cpu += *cpu1 - *cpu0;
    f.p50_sum += r.p50_us;
    f.requests += r.requests;
    f.run.errors += r.errors;
}

// Two servers of one program, one filled with random keys and one with
// colliding ones, then the pairs timed in batches of 1,000 on one and the
// other in turn, so that both see the same neighbours on the machine.
bool run_program(const std::string& binary, const std::vector<std::uint32_t>& ssrcs,
                 const std::vector<std::uint32_t>& bad_ssrcs, const std::vector<std::string>& cnames,
                 const std::vector<std::string>& bad_cnames, std::uint32_t n, std::uint32_t pairs,
                 CollideRun& random, CollideRun& colliding)
{
    Filled a, b;
    if (!fill_server(binary, ssrcs, cnames, n, a) || !fill_server(binary, bad_ssrcs, bad_cnames, n, b))
        return false;
    const std::uint32_t batches = (pairs + kSitesPerAddress - 1) / kSitesPerAddress;
    for (std::uint32_t k = 0; k < batches; ++k) {
        const std::uint32_t count = std::min(kSitesPerAddress, pairs - k * kSitesPerAddress);
        time_batch(k % 2 == 0 ? a : b, k, count);
        time_batch(k % 2 == 0 ? b : a, k, count);
    }
    for (Filled* f : {&a, &b}) {
        if (f->requests > 0)
            f->run.pair_cpu_us = 2 * f->pair_cpu / double(f->requests);
        f->run.pair_p50_us = batches > 0 ? f->p50_sum / batches : 0;
    }
    random = a.run;
    colliding = b.run;
    return true;
}

}  // namespace

std::vector<std::uint32_t> colliding_ssrcs(std::uint32_t count)
{
    std::vector<std::uint32_t> v;
    v.reserve(count);
    for (std::uint32_t s = 1; v.size() < count && s != 0; ++s)
        if ((unkeyed_hash_ssrc(s) & kLowBits) < kWindow)
            v.push_back(s);
    return v;
}

std::vector<std::string> colliding_cnames(std::uint32_t count)
{
    // The first word's part of the hash is the same for every CNAME; the
    // second word is the number's letters, and the tail is empty.
    std::uint64_t start = 0;
    std::memcpy(&start, kCnamePrefix, 8);
    const std::uint64_t h1 = unkeyed_mix((0x9E3779B97F4A7C15ull ^ 16) ^ start) * 0x94d049bb133111ebull;
    std::vector<std::string> v;
    v.reserve(count);
    for (std::uint32_t n = 0; v.size() < count; ++n) {
        std::uint64_t w = 0;
        for (int k = 0; k < 8; ++k)
            w |= std::uint64_t('a' + ((n >> (4 * k)) & 15)) << (8 * k);
        std::uint64_t h = unkeyed_mix(h1 ^ w) * 0x94d049bb133111ebull;
        h = unkeyed_mix(h);
        if ((std::uint32_t(h ^ (h >> 32)) & kLowBits) < kWindow)
            v.push_back(cname_of(n));
        if (n == 0xffffffffu)
            break;
    }
    return v;
}

std::vector<CollideResult> run_collide(const Settings& set)
{
    std::vector<CollideResult> out;
    if (set.collide_sizes.empty())
        return out;
    const std::uint32_t most = set.collide_sizes.back();
    std::fprintf(stderr, "collide: choosing %u colliding keys\n", most);
    const std::vector<std::uint32_t> bad_ssrcs = colliding_ssrcs(most);
    const std::vector<std::string> bad_cnames = colliding_cnames(most);
    if (bad_ssrcs.size() < most || bad_cnames.size() < most ||
        unkeyed_hash_text(bad_cnames.back()) % (kLowBits + 1) >= kWindow)
        return out;
    std::vector<std::uint32_t> ssrcs;
    std::vector<std::string> cnames;
    for (std::uint32_t i = 0; i < most; ++i) {
        ssrcs.push_back(i * 2654435761u + 0x9E37u);
        cnames.push_back(cname_of(i * 2654435761u));
    }
    for (std::uint32_t n : set.collide_sizes) {
        CollideResult r;
        r.sites = n;
        std::fprintf(stderr, "collide: %u sites\n", n);
        const std::uint32_t pairs = set.collide_pairs;
        if (!run_program(set.quorind, ssrcs, bad_ssrcs, cnames, bad_cnames, n, pairs, r.quorind_random,
                         r.quorind_colliding) ||
            !run_program(set.ref, ssrcs, bad_ssrcs, cnames, bad_cnames, n, pairs, r.ref_random, r.ref_colliding))
            return {};
        std::printf("%s\n", collide_text(r).c_str());
        std::fflush(stdout);
        out.push_back(r);
    }
    return out;
}

std::string collide_text(const CollideResult& r)
{
    const auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    const CollideRun& qr = r.quorind_random;
    const CollideRun& qc = r.quorind_colliding;
    return format("collide, %u sites: quorind %.1f us CPU per announcement with random keys, %.1f colliding "
                  "(%.2fx); the pair afterwards %.1f us CPU (p50 %.0f us a request), %.1f (p50 %.0f) (%.2fx); "
                  "ref %.1f / %.1f us per announcement, pair %.1f / %.1f; errors %llu",
                  r.sites, qr.cpu_us_per_announcement, qc.cpu_us_per_announcement,
                  ratio(qc.cpu_us_per_announcement, qr.cpu_us_per_announcement), qr.pair_cpu_us, qr.pair_p50_us,
                  qc.pair_cpu_us, qc.pair_p50_us, ratio(qc.pair_cpu_us, qr.pair_cpu_us),
                  r.ref_random.cpu_us_per_announcement, r.ref_colliding.cpu_us_per_announcement,
                  r.ref_random.pair_cpu_us, r.ref_colliding.pair_cpu_us,
                  static_cast<unsigned long long>(qr.errors + qc.errors + r.ref_random.errors +
                                                  r.ref_colliding.errors));
}

}  // namespace kovari::bench
