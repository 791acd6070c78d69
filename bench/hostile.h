// SPDX-License-Identifier: BSD-2-Clause
// Clients that misbehave while one behaves. The flood: another address
// opens idle connections at a steady rate and holds them. The burst:
// another address keeps many requests in flight. Either way queries from
// 127.0.0.1, spread over the run, are timed from the connect to the
// server's close: what a lookup would see. And clients that write their
// requests in pieces.
#pragma once

#include <optional>
#include <string>

#include "bench/engine.h"

namespace kovari::bench {

struct HostileOptions {
    int port = 0;
    double seconds = 20;              // the flood or burst; the queries are spread over it
    int rate = 150;                   // flood: idle connections opened a second
    double hold = 11;                 // flood: seconds each is held, unless the server closes it
    int in_flight = 256;              // burst: requests in flight
    int queries = 80;                 // timed queries from 127.0.0.1
    double query_limit = 30;          // seconds; a query not answered by then is unanswered
    const char* other = "127.0.0.2";  // where the flood or burst comes from
};

// The timed queries: latencies of those answered, in milliseconds.
struct QueryTimes {
    int sent = 0;
    int answered = 0;
    int over_1s = 0;
    double p50_ms = 0, p99_ms = 0, max_ms = 0;
};

struct FloodResult {
    QueryTimes queries;
    long opened = 0;            // idle connections the flood opened
    long closed_by_server = 0;  // of those, found closed by the server when let go
};

struct BurstResult {
    QueryTimes queries;
    LoadResult load;                 // the burst's own requests
    std::optional<long> overflows;   // listen-queue overflows on the machine meanwhile
};

// Requests that arrive in pieces: opt.queries queries, each written in two
// sends (its 4-byte header, then the rest), and one announcement written
// in three pieces a second apart, looked up afterwards.
struct PiecesResult {
    int queries = 0;
    int answered = 0;
    bool announcement_stored = false;
};

FloodResult run_flood(const HostileOptions& opt);
BurstResult run_burst(const HostileOptions& opt);
PiecesResult run_pieces(const HostileOptions& opt);

// One line each for people.
std::string flood_text(const FloodResult& r);
std::string burst_text(const BurstResult& r);
std::string pieces_text(const PiecesResult& r);

}  // namespace kovari::bench
