// SPDX-License-Identifier: BSD-2-Clause
// The charges of expensive requests: who waits, and until when.
#include <gtest/gtest.h>

#include "server/charges.h"

using namespace kovari;

namespace {

constexpr std::uint32_t kAttacker = 0x0900007f, kOther = 0x0100007f;

TEST(Charges, OnlyTimeBeyondTheFreePartIsChargedAndItsSenderAloneWaits)
{
    Charges c;
    // Ordinary requests, however many, are never charged.
    for (int k = 0; k < 10'000; ++k)
        charge_request(c, kOther, 300, 1000);
    EXPECT_TRUE(c.by_address.empty());
    EXPECT_EQ(charge_due(c, kOther, 1000), std::nullopt);
    // Queries of 2 ms, each charged whole. Two hold 4 ms, within the
    // burst of 5; the third takes the account to 6 ms, which runs down at
    // 50 us a millisecond to 5 ms by 1020.
    struct Step {
        long spent_us, at_ms;
        std::optional<long> due;  // for the next request then
    };
    const Step steps[] = {{2000, 1000, std::nullopt}, {2000, 1000, std::nullopt}, {2000, 1000, 1020}};
    for (const Step& s : steps) {
        charge_request(c, kAttacker, s.spent_us, s.at_ms);
        EXPECT_EQ(charge_due(c, kAttacker, s.at_ms), s.due) << s.spent_us << " at " << s.at_ms;
    }
    EXPECT_EQ(charge_due(c, kAttacker, 1019), 1020);
    EXPECT_EQ(charge_due(c, kAttacker, 1020), std::nullopt);
    EXPECT_EQ(charge_due(c, kOther, 1000), std::nullopt);
}

TEST(Charges, ManySendersTogetherWaitForTheirCommonShare)
{
    Charges c;
    // 20 addresses each charged 2.5 ms at once: each within its own burst,
    // 50 ms in all, past the 40 ms of all together, which runs down 400 us
    // a millisecond: 25 ms later.
    for (std::uint32_t k = 0; k < 20; ++k)
        charge_request(c, 0x0000017f + (k << 24), 2500, 5000);
    EXPECT_EQ(charge_due(c, 0x0000017f, 5000), 5025);
    EXPECT_EQ(charge_due(c, 0x0000017f, 5025), std::nullopt);
    // An address with no charge never waits for the others.
    EXPECT_EQ(charge_due(c, kOther, 5000), std::nullopt);
}

}  // namespace
