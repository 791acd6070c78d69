// SPDX-License-Identifier: BSD-2-Clause
// libFuzzer target: the lookup's decoding and printing of replies.
#include <cstdlib>

#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (const char* bad = kovari::fuzz::run_reply_input(data, size)) {
        std::fprintf(stderr, "fuzz_reply: check failed: %s\n", bad);
        std::abort();
    }
    return 0;
}
