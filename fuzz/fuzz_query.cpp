// SPDX-License-Identifier: BSD-2-Clause
// libFuzzer target: query matching, item clean-up and the reply cap.
#include <cstdlib>

#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (const char* bad = kovari::fuzz::run_query_input(data, size)) {
        std::fprintf(stderr, "fuzz_query: check failed: %s\n", bad);
        std::abort();
    }
    return 0;
}
