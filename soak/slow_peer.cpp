// SPDX-License-Identifier: BSD-2-Clause
#include "soak/slow_peer.h"

#include <chrono>

#include "common/protocol.h"
#include "devkit/loopback.h"

namespace kovari::soak {
namespace {

void run_slow_peer(SlowPeer& p)
{
    while (!p.stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const Fd c = devkit::accept_within(p.listener.get(), 0);
        if (!c.valid())
            continue;
        ++p.accepted;
        if (auto b = devkit::read_to_eof(c.get(), 500))
            if (b->size() > 4 && ((*b)[0] & 0xC0) == 0xC0 && packet_size(*b) == b->size() - 4)
                ++p.well_formed;
    }
}

}  // namespace

SlowPeer::~SlowPeer() { stop_slow_peer(*this); }

bool start_slow_peer(SlowPeer& p)
{
    p.listener = devkit::listen_loopback(2, p.port);
    if (!p.listener.valid())
        return false;
    p.worker = std::thread(run_slow_peer, std::ref(p));
    return true;
}

void stop_slow_peer(SlowPeer& p)
{
    p.stop = true;
    if (p.worker.joinable())
        p.worker.join();
}

}  // namespace kovari::soak
