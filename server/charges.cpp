// SPDX-License-Identifier: BSD-2-Clause
#include "charges.h"

#include <algorithm>

namespace kovari {
namespace {

// A request of at most 300 us is free, one that takes longer is charged
// whole: announcements and exact queries take 5 to 60 us even at a
// million sites, a miss a few, so only queries that read many postings
// are charged (the false-candidate query `abcd` over
// 100,000 sites takes about 540 us, one that its budget stops about 2.5 ms).
constexpr long kFreeUs = 300;
// One address: its account runs down 50 us a millisecond, a twentieth of
// the server's time, and may hold 5 ms before its requests wait.
constexpr long kShareUsPerMs = 50;
constexpr long kBurstUs = 5'000;
// All addresses together: four tenths of the server's time, 40 ms.
constexpr long kAllShareUsPerMs = 400;
constexpr long kAllBurstUs = 40'000;
// Settled accounts are dropped when there are more than this many.
constexpr std::size_t kAccountsKept = 4096;

long held(const Charges::Account& a, long rate, long now_ms)
{
    return std::max(0L, a.charge_us - (now_ms - a.at_ms) * rate);
}

void add(Charges::Account& a, long rate, long spent_us, long now_ms)
{
    a.charge_us = held(a, rate, now_ms) + spent_us;
    a.at_ms = now_ms;
}

// When an account holding `charge` will hold no more than `burst`.
long due_at(long charge, long burst, long rate, long now_ms)
{
    return now_ms + (charge - burst + rate - 1) / rate;
}

}  // namespace

void charge_request(Charges& c, std::uint32_t ip, long spent_us, long now_ms)
{
    if (spent_us <= kFreeUs)
        return;
    const long charged = spent_us;
    if (c.by_address.size() >= kAccountsKept && !c.by_address.contains(ip))
        std::erase_if(c.by_address, [&](const auto& kv) { return held(kv.second, kShareUsPerMs, now_ms) == 0; });
    add(c.by_address[ip], kShareUsPerMs, charged, now_ms);
    add(c.all, kAllShareUsPerMs, charged, now_ms);
}

std::optional<long> charge_due(const Charges& c, std::uint32_t ip, long now_ms)
{
    const auto it = c.by_address.find(ip);
    if (it == c.by_address.end())
        return std::nullopt;
    const long own = held(it->second, kShareUsPerMs, now_ms);
    if (own == 0)
        return std::nullopt;
    long due = now_ms;
    if (own > kBurstUs)
        due = due_at(own, kBurstUs, kShareUsPerMs, now_ms);
    if (const long all = held(c.all, kAllShareUsPerMs, now_ms); all > kAllBurstUs)
        due = std::max(due, due_at(all, kAllBurstUs, kAllShareUsPerMs, now_ms));
    return due > now_ms ? std::optional<long>(due) : std::nullopt;
}

}  // namespace kovari
