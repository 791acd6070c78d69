// SPDX-License-Identifier: BSD-2-Clause
// The soak's load: each request it sends to the server, the check of what
// comes back against the model, and the mix of requests in one step.
#pragma once

#include <chrono>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "common/fd.h"
#include "devkit/bytes.h"
#include "soak/model.h"
#include "soak/random.h"

namespace kovari::soak {

struct Tally {
    long requests = 0, added = 0, refreshed = 0, forwarded_in = 0, released = 0, unknown_signoffs = 0,
         exact_queries = 0, absent_queries = 0, broad_queries = 0, message_requests = 0, malformed = 0,
         idle_opened = 0, stored_copies = 0;
    long failures = 0;
    std::vector<std::string> first_failures;
};

struct Load {
    int port = 0;  // the server's
    long population = 0;
    Random rng;
    Model model;
    Tally tally;
    devkit::Bytes message_reply;  // what a server message request must get
    // Connections that send nothing, and when each is closed.
    std::deque<std::pair<Fd, std::chrono::steady_clock::time_point>> idle;
};

// An announcement of site k, from a voice program or forwarded by a peer
// from an origin address.
void announce(Load& l, std::size_t k, bool forwarded_from_peer);
// Looks site k up by its key; it must be there exactly as the model says,
// or absent when `present` is false.
void check_site(Load& l, std::size_t k, bool present);
// One request of the mix, chosen at random, and idle connections closed
// when their time is up.
void step(Load& l);

}  // namespace kovari::soak
