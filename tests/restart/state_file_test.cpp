// SPDX-License-Identifier: BSD-2-Clause
// The state file's bytes read back: order, texts and the rules for the
// times of sites that were written long ago or in the future.
#include <gtest/gtest.h>

#include "devkit/packets.h"
#include "devkit/sites.h"
#include "devkit/streams.h"
#include "server/server.h"
#include "server/state_codec.h"
#include "server/state_file.h"

namespace kovari::testing {
using namespace kovari::devkit;
namespace {

constexpr std::time_t kNow = 1'765'104'180;

// The sites a file hands over, head first as the table holds them.
std::vector<Site> sites_in(const std::string& file, std::size_t most, DecodedState& d)
{
    std::vector<Site> sites;
    d = decode_state({reinterpret_cast<const std::uint8_t*>(file.data()), file.size()}, kNow, most,
                     [&](Site&& s) { sites.insert(sites.begin(), std::move(s)); });
    return sites;
}

TEST(StateFile, SitesComeBackInOrderWithTheirTextsAndTimes)
{
    SiteTable t;
    Site every = site("*every@x", {.ip = "192.0.2.1", .time = kNow - 10});
    every.name = "Ann \xC5\x81";
    every.email = "";  // set, and empty: not the same as none
    every.phone = "+1 555";
    every.loc = "Room 7";
    every.tool = "kvtool 2";
    every.port = -5476;
    table_enter(t, std::move(every));
    table_enter(t, site("b", {.ssrc = 2, .time = kNow - 5}));
    const std::string file = encode_state(t, kNow);

    DecodedState d;
    const std::vector<Site> sites = sites_in(file, 0, d);
    ASSERT_FALSE(d.problem) << *d.problem;
    ASSERT_EQ(sites.size(), 2u);
    EXPECT_EQ(*sites[0].cname, "b");
    const Site& s = sites[1];
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
    table_enter(t, site("gone", {.time = kNow - 901}));
    table_enter(t, site("edge", {.ssrc = 2, .time = kNow - 900}));
    table_enter(t, site("ahead", {.ssrc = 3, .time = kNow + 3600}));
    table_enter(t, site("new", {.ssrc = 4, .time = kNow}));
    const std::string file = encode_state(t, kNow);

    DecodedState d;
    const std::vector<Site> all = sites_in(file, 0, d);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(d.too_old, 1u);
    EXPECT_EQ(*all[2].cname, "edge");
    EXPECT_EQ(*all[1].cname, "ahead");
    EXPECT_EQ(all[1].time, kNow);

    const std::vector<Site> two = sites_in(file, 2, d);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(*two[0].cname, "new");
    EXPECT_EQ(*two[1].cname, "ahead");
}

// Every way a write ends goes through one report: a failure is told once
// until its reason changes, a time-out being one reason more, and a
// success makes the next failure news again; each failure counts and
// leaves the table to be written again.
TEST(StateFileWrites, AFailureIsToldOnceUntilItsReasonChanges)
{
    devkit::Capture err;
    Server srv;
    srv.err = err.stream();
    srv.settings.state_file = "/var/lib/quorind/sites.state";
    const auto ended = [](FileOutcome o) {
        JobResult r;
        r.files[0] = o;
        return r;
    };
    JobResult late;
    late.killed_by = SIGKILL;
    late.timed_out = true;
    const std::string said = "quorind: can't write state file /var/lib/quorind/sites.state: ";
    const std::string missing = said + "No such file or directory\n";
    const std::string timed_out = said + "timed out after 60 s\n";
    const JobResult steps[] = {ended({FileStep::open, ENOENT}), ended({FileStep::open, ENOENT}), late, late,
                               ended({}), ended({FileStep::open, ENOENT})};
    for (const JobResult& r : steps)
        finish_state_write(srv, r, kNow, WriteMode::in_process);
    EXPECT_EQ(err.text(), missing + timed_out + missing);
    EXPECT_EQ(srv.state_status.failures, 5u);
    EXPECT_EQ(srv.state_status.writes, 1u);
    EXPECT_TRUE(srv.state_status.changed);
}

}  // namespace
}  // namespace kovari::testing
