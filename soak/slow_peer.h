// SPDX-License-Identifier: BSD-2-Clause
// The soak's peer server: the server under load forwards its copies here,
// and this takes one connection every 100 ms, so that its backlog fills up
// and the server's copies have to wait and are dropped at their limit.
#pragma once

#include <atomic>
#include <thread>

#include "common/fd.h"

namespace kovari::soak {

struct SlowPeer {
    Fd listener;
    int port = 0;
    std::atomic<bool> stop{false};
    std::atomic<long> accepted{0};
    std::atomic<long> well_formed{0};  // marked first byte, whole packet
    std::thread worker;
    ~SlowPeer();
};

// Listens on loopback and starts accepting in a thread of its own.
bool start_slow_peer(SlowPeer& p);
// Ends the thread; the counts stay.
void stop_slow_peer(SlowPeer& p);

}  // namespace kovari::soak
