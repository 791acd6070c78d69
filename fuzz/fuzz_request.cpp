// SPDX-License-Identifier: BSD-2-Clause
// libFuzzer target: the server's handling of received packets.
#include <cstdlib>

#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static kovari::fuzz::RequestState state;
    if (const char* bad = kovari::fuzz::run_request_input(state, data, size)) {
        std::fprintf(stderr, "fuzz_request: check failed: %s\n", bad);
        std::abort();
    }
    return 0;
}
