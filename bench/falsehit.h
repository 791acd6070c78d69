// SPDX-License-Identifier: BSD-2-Clause
// The false-candidate attack: sites whose texts hold every trigram of a
// query without holding the query (named `abcXbcd <n>`, asked `abcd`;
// and with CNAMEs `efgXXXXXXfgh<n>@..`, whose trigrams of `efgh` lie 8
// bytes apart, as if in their places, asked `efgh`), announced
// from many loopback addresses within the per-address cap, then the query
// sent without pause. Measured against a server process: its CPU per such
// query, and what an ordinary voice program on another address (an
// announcement and an exact query, one pair at a time) gets with and
// without 8 of those queries in flight beside it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bench/engine.h"

namespace kovari::bench {

struct FalsehitResult {
    std::uint32_t sites = 0;
    std::uint64_t fill_errors = 0;
    LoadResult query;             // the attacking query alone, one at a time
    LoadResult aligned;           // the query `efgh` so
    double aligned_cpu_us = -1;   // its server CPU per exchange, answered or not
    LoadResult pairs_alone;       // the ordinary client, each exchange one request
    LoadResult pairs_attacked;    // the same beside 8 attacking queries in flight
    LoadResult attack;            // those queries meanwhile
};

// `sites` false candidates, from 127.1.x.y, 1,000 an address.
FalsehitResult run_falsehit(const std::string& binary, const std::vector<std::string>& options,
                            std::uint32_t sites, double seconds);

std::string falsehit_text(const char* server, const FalsehitResult& r);

}  // namespace kovari::bench
