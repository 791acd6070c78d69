// The state file's bytes read back: order, texts and the rules for the
// times of sites that were written long ago or in the future.
#include <gtest/gtest.h>

#include "devkit/packets.h"
#include "devkit/sites.h"
#include "server/state_file.h"
#include "server/server.h"

namespace kovari::testing {
using namespace kovari::devkit;
namespace {

constexpr std::time_t kNow = 1'765'104'180;

Site site(const std::string& cname, std::time_t time, std::uint32_t ssrc)
{
    Announcement a;
    a.ssrc = make_ssrc(ssrc);
    a.cname = cname;
    return site_record(a, ipv4("192.0.2.1"), time);
}

std::span<const std::uint8_t> bytes_of(const std::string& s)
{
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(StateFile, SitesComeBackInOrderWithTheirTextsAndTimes)
{
    SiteTable t;
    Site every = site("*every@x", kNow - 10, 1);
    every.name = "Ann \xC5\x81";
    every.email = "";  // set, and empty: not the same as none
    every.phone = "+1 555";
    every.loc = "Room 7";
    every.tool = "kvtool 2";
    every.port = -5476;
    table_enter(t, std::move(every));
    table_enter(t, site("b", kNow - 5, 2));
    const std::string file = encode_state(t, kNow);

    const DecodedState d = decode_state(bytes_of(file), kNow, 0);
    ASSERT_FALSE(d.problem) << *d.problem;
    ASSERT_EQ(d.sites.size(), 2u);
    EXPECT_EQ(*d.sites[0].cname, "b");  // the head first
    const Site& s = d.sites[1];
    EXPECT_EQ(*s.cname, "*every@x");
    EXPECT_EQ(*s.name, "Ann \xC5\x81");
    EXPECT_EQ(s.email, std::optional<std::string>(""));
    EXPECT_EQ(*s.phone, "+1 555");
    EXPECT_EQ(*s.loc, "Room 7");
    EXPECT_EQ(*s.tool, "kvtool 2");
    EXPECT_EQ(s.port, -5476);
    EXPECT_EQ(s.ip, ipv4("192.0.2.1"));
    EXPECT_EQ(s.ssrc, make_ssrc(1));
    EXPECT_EQ(s.time, kNow - 10);
}

TEST(StateFile, OldSitesAreLeftOutFutureOnesTakenAsNowAndTheNewestKeptWithinTheLimit)
{
    SiteTable t;
    table_enter(t, site("gone", kNow - 901, 1));
    table_enter(t, site("edge", kNow - 900, 2));
    table_enter(t, site("ahead", kNow + 3600, 3));
    table_enter(t, site("new", kNow, 4));
    const std::string file = encode_state(t, kNow);

    const DecodedState all = decode_state(bytes_of(file), kNow, 0);
    ASSERT_EQ(all.sites.size(), 3u);
    EXPECT_EQ(all.too_old, 1u);
    EXPECT_EQ(*all.sites[2].cname, "edge");
    EXPECT_EQ(*all.sites[1].cname, "ahead");
    EXPECT_EQ(all.sites[1].time, kNow);

    const DecodedState two = decode_state(bytes_of(file), kNow, 2);
    ASSERT_EQ(two.sites.size(), 2u);
    EXPECT_EQ(*two.sites[0].cname, "new");
    EXPECT_EQ(*two.sites[1].cname, "ahead");
}

}  // namespace
}  // namespace kovari::testing
