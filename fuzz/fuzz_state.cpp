// SPDX-License-Identifier: BSD-2-Clause
// libFuzzer target: reading a state file. Each input is read as it is, and
// again with its length field and checksum mended, so that the fuzzer
// reaches the sites behind the checksum as well as the checks before it.
// A file that reads must read back the same after being written again from
// the table it filled.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "server/server.h"
#include "server/state_codec.h"

namespace {

constexpr std::time_t kNow = 1'765'104'180;

// The length and the CRC-32 that a writer would have put there.
void mend(std::vector<std::uint8_t>& bytes)
{
    if (bytes.size() < 44)
        return;
    const std::uint64_t length = bytes.size();
    for (int k = 0; k < 8; ++k)
        bytes[24 + k] = std::uint8_t(length >> (8 * (7 - k)));
    std::uint32_t c = 0xffffffffu;
    for (std::size_t i = 0; i + 4 < bytes.size(); ++i) {
        c ^= bytes[i];
        for (int k = 0; k < 8; ++k)
            c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    c ^= 0xffffffffu;
    for (int k = 0; k < 4; ++k)
        bytes[bytes.size() - 4 + std::size_t(k)] = std::uint8_t(c >> (8 * (3 - k)));
}

void check(std::span<const std::uint8_t> bytes)
{
    using namespace kovari;
    SiteTable t;
    const DecodedState d = decode_state(bytes, kNow, 0, [&](Site&& s) {
        if (!s.cname || s.time > kNow) {
            std::fprintf(stderr, "fuzz_state: a site without a CNAME or from the future\n");
            std::abort();
        }
        table_enter(t, std::move(s));
    });
    if (d.problem)
        return;
    const std::string again = encode_state(t, kNow);
    std::size_t count = 0;
    const DecodedState e = decode_state({reinterpret_cast<const std::uint8_t*>(again.data()), again.size()}, kNow,
                                        0, [&](Site&&) { ++count; });
    if (e.problem || count != table_size(t)) {
        std::fprintf(stderr, "fuzz_state: a file written from a table read back differently\n");
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::uint8_t> bytes(data, data + size);
    check(bytes);
    mend(bytes);
    check(bytes);
    return 0;
}
