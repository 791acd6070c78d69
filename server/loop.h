// SPDX-License-Identifier: BSD-2-Clause
// The event loop's state, shared by main.cpp (the loop, the listener and
// the timers) and connections.cpp (the pending connections: those whose
// request has not arrived whole yet). Only these two files include it.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "charges.h"
#include "common/fd.h"
#include "notify.h"
#include "request.h"
#include "server.h"

namespace kovari {

// A connection accepted and not yet answered.
struct Connection {
    bool pending = false;      // in the epoll set, its request not yet whole
    std::uint32_t ip = 0;      // network order
    std::uint16_t port = 0;    // host order
    std::uint64_t serial = 0;  // tells a reused descriptor from its predecessor
    long accepted_us = 0;      // monotonic, when it was accepted
    // A request that arrives in pieces is gathered here, in a buffer of its
    // own made at the first piece; `have` bytes of it have come.
    std::unique_ptr<RequestBuffer> partial{};
    std::size_t have = 0;
    bool held = false;  // whole, held back while its address is over its share
};

// When a pending connection's idle limit runs out.
struct PendingDeadline {
    int fd;
    std::uint64_t serial;  // which connection on this descriptor
    long deadline;         // monotonic ms
};

// A connection whose request is held back (Charges).
struct Held {
    int fd;
    std::uint64_t serial;
};

// How many connections may be pending at once.
struct PendingCaps {
    std::size_t per_address = 0;  // from any one address
    std::size_t total = 0;        // in all
};

struct Loop {
    Server& srv;
    Fd listener{};
    Fd epoll{};
    Fd signal_read{};
    std::vector<Connection> conns{};  // by descriptor
    std::deque<PendingDeadline> deadlines{};  // in order of acceptance: deadlines grow
    // By address, hashed with the program's secret; none: no entry. At most
    // one entry per address with a pending connection, so no more than the
    // cap on pending connections in all; O(1) a look-up on average
    // whatever addresses connect.
    std::unordered_map<std::uint32_t, std::size_t, KeyedHasher> pending_from{};
    std::size_t pending_count = 0;  // pending, or with a request held back
    PendingCaps caps{};
    RequestBuffer buf{};              // the first receive of every connection
    Charges charges{};                // the time of expensive requests, by sender
    std::deque<Held> held{};          // in order of arrival
    long sweep_due = 0;
    long metrics_due = 0;             // the next write of the metrics file (-X)
    long clock_offset_ms = 0;         // wall clock minus monotonic clock, as followed
    std::optional<Notifier> notifier{};  // the service manager, if it listens
    long watchdog_due = 0;
    long accept_resume = 0;           // accepting paused until then
    bool accepting = true;
    std::uint64_t next_serial = 1;
};

// Adds a descriptor to the epoll set; false (errno says why) when it cannot.
bool watch(Loop& lp, int fd, std::uint32_t events);

// --- connections.cpp ---

// The caps for a server that may hold `descriptors` open and forwards to
// `peers` servers.
PendingCaps pending_caps(std::size_t descriptors, std::size_t peers);
// A connection just accepted at `accepted_us` (monotonic): served at once
// when its request is there whole, else pending, within the caps.
void take_connection(Loop& lp, int fd, const sockaddr_in& peer, long accepted_us);
bool is_pending(const Loop& lp, int fd);
// A pending connection is readable: its request, or a piece of it, came.
void serve_pending(Loop& lp, int fd);
// Closes the connections whose time is up, handling what they sent.
void close_idle(Loop& lp, long now);
std::optional<long> next_idle_deadline(const Loop& lp);
// Handles the held requests whose addresses have run their charge down.
void serve_held(Loop& lp, long now);
std::optional<long> next_held_due(const Loop& lp, long now);

}  // namespace kovari
