// SPDX-License-Identifier: BSD-2-Clause
// The cost of expensive requests, charged to the address that sent them.
// A request that takes more than kFreeUs is charged to its sender's
// account and to the account of all senders together; each account runs down at a
// fixed rate. An address whose account holds more than its burst has its
// further requests wait until it has run down that far, and while all the
// accounts together hold more than theirs, every address with a charge
// waits. Ordinary requests (tens of microseconds) are never charged, so
// their senders never wait; one sender of expensive queries gets at most
// its share of the server's time, and many such senders together theirs.
// Pure logic: the event loop measures the time and holds the requests.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>

#include "keyed_hash.h"

namespace kovari {

struct Charges {
    struct Account {
        long charge_us = 0;  // as of at_ms
        long at_ms = 0;
    };
    // By address, hashed with the program's secret (a stranger chooses
    // its source address, within what TCP lets it use). Accounts come only
    // from requests that took more than kFreeUs, and settled ones go once
    // there are many, so it holds about as many as such requests in the
    // last second at most.
    std::unordered_map<std::uint32_t, Account, KeyedHasher> by_address;
    Account all;
};

// Charges the `spent_us` that handling a request from `ip` took at `now_ms`.
void charge_request(Charges& c, std::uint32_t ip, long spent_us, long now_ms);

// When a request from `ip` may be handled: nullopt for now, else the
// monotonic time in ms when its account (or all of them) will have run
// down far enough.
std::optional<long> charge_due(const Charges& c, std::uint32_t ip, long now_ms);

}  // namespace kovari
