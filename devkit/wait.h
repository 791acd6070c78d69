// SPDX-License-Identifier: BSD-2-Clause
// The one bounded wait of the development tools: ask, sleep a little, ask
// again, until the answer is yes or the time is up. A poll costs its step
// in latency; the steps are a few milliseconds.
#pragma once

#include <chrono>
#include <thread>

namespace kovari::devkit {

// Calls done() every step_ms until it returns true (then true) or
// timeout_ms have passed (then false). done() is called at least once.
template <class Done>
bool wait_until(int timeout_ms, int step_ms, Done&& done)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
    }
}

}  // namespace kovari::devkit
