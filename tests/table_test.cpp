// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include "server/activity.h"
#include "server_fixture.h"

using namespace kovari;
using namespace kovari::devkit;
using namespace kovari::testing;

namespace {

Site site(const std::string& cname, std::uint32_t ssrc = 1, std::time_t time = 1000)
{
    Site s;
    s.cname = cname;
    s.ssrc = make_ssrc(ssrc);
    s.ip = ipv4("10.0.0.7");
    s.port = 2076;
    s.time = time;
    return s;
}

}  // namespace

TEST(SiteTable, NewSitesGoToTheHead)
{
    TestServer t;
    for (const char* c : {"a", "b", "c"})
        enter_site(t.srv, site(c), 1000, 0);
    EXPECT_EQ(t.cnames(), (std::vector<std::string>{"c", "b", "a"}));
    enter_site(t.srv, site("a"), 1001, 0);
    EXPECT_EQ(t.cnames(), (std::vector<std::string>{"c", "b", "a"}));
}

TEST(SiteTable, ReplacementKeepsPositionAndIsWhole)
{
    TestServer t;
    t.srv.settings.verbose = true;
    Site first = site("ann", 1);
    first.name = "Ann";
    enter_site(t.srv, std::move(first), 1000, 0);
    enter_site(t.srv, site("bob"), 1000, 0);
    enter_site(t.srv, site("*ann", 7, 2000), 2000, 0);
    EXPECT_EQ(t.cnames(), (std::vector<std::string>{"bob", "*ann"}));
    std::optional<SiteView> a;
    for_each_site(t.srv.table, [&](const SiteView& s) {
        a = s;
        return true;
    });
    EXPECT_FALSE(a->name.has_value());
    EXPECT_EQ(a->ssrc, make_ssrc(7));
    EXPECT_EQ(a->time, 2000);
    // Only the two new sites were logged.
    EXPECT_EQ(t.out.text(), "00:16 Connect: 10.0.0.7:2076 ann (Ann)\n"
                            "00:16 Connect: 10.0.0.7:2076 bob\n");
}

TEST(SiteTable, ReplacementBringsANewSsrcAndTheOldOneNoLongerReleases)
{
    TestServer t;
    enter_site(t.srv, site("ann", 1), 1000, 0);
    enter_site(t.srv, site("ann", 2), 1000, 0);
    release_site(t.srv, make_ssrc(1), ipv4("10.0.0.7"), 1000, 0);
    EXPECT_EQ(t.cnames(), std::vector<std::string>{"ann"});
    release_site(t.srv, make_ssrc(2), ipv4("10.0.0.7"), 1000, 0);
    EXPECT_TRUE(t.cnames().empty());
}

TEST(SiteTable, ReleaseTakesTheSharedSsrcNearestTheHead)
{
    TestServer t;
    enter_site(t.srv, site("a", 5), 1000, 0);
    enter_site(t.srv, site("b", 9), 1000, 0);
    enter_site(t.srv, site("c", 5), 1000, 0);
    enter_site(t.srv, site("a", 5), 1000, 0);  // refresh in place: still last
    release_site(t.srv, make_ssrc(5), ipv4("10.0.0.7"), 1000, 0);
    EXPECT_EQ(t.cnames(), (std::vector<std::string>{"b", "a"}));
    release_site(t.srv, make_ssrc(5), ipv4("10.0.0.7"), 1000, 0);
    EXPECT_EQ(t.cnames(), std::vector<std::string>{"b"});
}

TEST(SiteTable, ReleaseOfAnUnknownSsrcChangesNothing)
{
    TestServer t;
    t.srv.settings.verbose = true;
    t.srv.settings.debug = true;
    enter_site(t.srv, site("a", 1), 1000, 0);
    const std::string before = t.out.text() + t.err.text();
    const auto change = release_site(t.srv, make_ssrc(2), ipv4("10.0.0.7"), 1000, 0);
    EXPECT_EQ(t.out.text() + t.err.text(), before);
    ASSERT_TRUE(change);  // taken, and forwarded
    EXPECT_FALSE(change->records);
    EXPECT_FALSE(change->sites);
}

TEST(SiteTable, ReleaseIsLoggedAndDumped)
{
    TestServer t;
    t.srv.settings.verbose = true;
    t.srv.settings.debug = true;
    Site s = site("ann", 0xDDCCBBAA, 0);
    s.email = "*x";
    enter_site(t.srv, std::move(s), 60, 0);
    release_site(t.srv, make_ssrc(0xDDCCBBAA), ipv4("10.0.0.7"), 120, 0);
    EXPECT_EQ(t.out.text(), "00:01 Connect: 10.0.0.7:2076 *x\n"
                            "00:02 Bye:     10.0.0.7:2076 *x\n");
    EXPECT_EQ(t.err.text(), "Releasing:\n"
                            "SSRC = DDCCBBAA IP = 10.0.0.7 Port 2076 Thu Jan  1 00:00:00 1970\n"
                            "\t CNAME = ann\n"
                            "\t EMAIL = *x\n");
}

TEST(SiteTable, ExpiryRemovesSitesOlderThan900Seconds)
{
    TestServer t;
    t.srv.settings.verbose = true;
    enter_site(t.srv, site("old", 1, 99), 99, 0);
    enter_site(t.srv, site("edge", 2, 100), 100, 0);
    enter_site(t.srv, site("mid", 3, 99), 99, 0);
    enter_site(t.srv, site("new", 4, 500), 500, 0);
    EXPECT_FALSE(expire_sites(t.srv, 999).sites);
    const TableChange change = expire_sites(t.srv, 1000);
    EXPECT_EQ(t.cnames(), (std::vector<std::string>{"new", "edge"}));
    EXPECT_TRUE(change.sites);
    EXPECT_TRUE(change.records);
    const std::string out = t.out.text();
    EXPECT_NE(out.find("00:16 Timeout: 10.0.0.7:2076 mid\n00:16 Timeout: 10.0.0.7:2076 old\n"),
              std::string::npos);
    // The table still links correctly after removals in the middle.
    enter_site(t.srv, site("later", 5, 1000), 1000, 0);
    release_site(t.srv, make_ssrc(2), ipv4("10.0.0.7"), 1000, 0);
    EXPECT_EQ(t.cnames(), (std::vector<std::string>{"later", "new"}));
}

TEST(SiteTable, WallClockStepsNeitherDropFreshSitesNorKeepStaleOnes)
{
    TestServer t;
    enter_site(t.srv, site("fresh", 1, 1000), 1000, 0);
    // An hour forward: the site is 120 s old, not 3720.
    follow_clock_step(t.srv, 3600);
    expire_sites(t.srv, 1000 + 3600 + 120);
    EXPECT_EQ(t.cnames(), (std::vector<std::string>{"fresh"}));
    // Two hours back: 901 s after its announcement it is gone all the same.
    follow_clock_step(t.srv, -7200);
    expire_sites(t.srv, 1000 - 3600 + 901);
    EXPECT_EQ(t.cnames(), (std::vector<std::string>{}));
}

// The clocks are read one after the other: an hour's step back is seen a
// few milliseconds short, and followed as the whole hour (cut off, it was
// followed a second short, and a page write after it came a second late).
TEST(SiteTable, WallClockStepIsFollowedToTheNearestSecond)
{
    const std::pair<long, long> cases[] = {
        {0, 0},         {1999, 0},         {-1999, 0},       {2000, 2},      {-2000, -2},
        {2499, 2},      {2500, 3},         {-3599998, -3600}, {-3600001, -3600}, {3599502, 3600},
        {86400499, 86400},
    };
    for (const auto& [drift_ms, step_s] : cases)
        EXPECT_EQ(clock_step_seconds(drift_ms), step_s) << drift_ms;
}

TEST(SiteTable, FullTableRefusesNewSitesButTakesRefreshesAndSignOffs)
{
    TestServer t;
    t.srv.settings.max_sites = 2;
    EXPECT_TRUE(enter_site(t.srv, site("ann", 1), 1000, 0));
    EXPECT_TRUE(enter_site(t.srv, site("bob", 2), 1000, 0));
    EXPECT_FALSE(enter_site(t.srv, site("cy", 3), 1000, 0));
    EXPECT_FALSE(enter_site(t.srv, site("dee", 4), 1001, 0));
    EXPECT_TRUE(enter_site(t.srv, site("*ann", 5), 1002, 0));  // a refresh, marker and all
    EXPECT_EQ(t.cnames(), (std::vector<std::string>{"bob", "*ann"}));
    EXPECT_EQ(t.err.text(), "quorind: the site table is full (2 sites), new sites are refused.\n");
    release_site(t.srv, make_ssrc(2), ipv4("10.0.0.7"), 1003, 0);
    EXPECT_TRUE(enter_site(t.srv, site("cy", 3), 1004, 0));
}

// The owner's address decides: which site a sign-off removes, whether a
// CNAME may be announced anew, and what an address holds against its cap.
TEST(SiteTable, ASiteIsChangedOnlyFromItsOwnAddress)
{
    const std::uint32_t a = ipv4("10.0.0.7"), b = ipv4("10.0.0.8");
    const auto from = [](Site s, std::uint32_t ip) {
        s.ip = ip;
        return s;
    };
    TestServer t;
    EXPECT_TRUE(enter_site(t.srv, from(site("ann", 5), a), 1000, 0));
    EXPECT_TRUE(enter_site(t.srv, from(site("bob", 5), b), 1000, 0));
    EXPECT_TRUE(enter_site(t.srv, from(site("cy", 5), a), 1000, 0));
    EXPECT_FALSE(enter_site(t.srv, from(site("*ann", 6), b), 1001, 0));  // another address: refused
    EXPECT_TRUE(enter_site(t.srv, from(site("*ann", 6), a), 1001, 0));   // its own: replaced in place
    EXPECT_EQ(table_holder(t.srv.table, "ann"), std::optional(a));
    EXPECT_EQ(table_sites_at(t.srv.table, a), 2u);
    // The SSRC nearest the head is cy's, but b's sign-off takes b's site.
    EXPECT_TRUE(release_site(t.srv, make_ssrc(5), b, 1002, 0));
    EXPECT_EQ(t.cnames(), (std::vector<std::string>{"cy", "*ann"}));
    // Listed, but not from b: refused, nothing removed.
    EXPECT_FALSE(release_site(t.srv, make_ssrc(5), b, 1002, 0));
    EXPECT_EQ(table_sites_at(t.srv.table, b), 0u);
    // Unknown anywhere: not refused, there is nothing to protect.
    EXPECT_TRUE(release_site(t.srv, make_ssrc(99), b, 1002, 0));
    EXPECT_TRUE(release_site(t.srv, make_ssrc(5), a, 1002, 0));
    EXPECT_EQ(t.cnames(), (std::vector<std::string>{"*ann"}));
    expire_sites(t.srv, 1001 + 901);
    EXPECT_EQ(table_sites_at(t.srv.table, a), 0u);
    // Once its old site has gone, ann may be announced from elsewhere.
    EXPECT_TRUE(enter_site(t.srv, from(site("ann", 7, 1902), b), 1902, 0));
    EXPECT_EQ(table_holder(t.srv.table, "*ann"), std::optional(b));
}

TEST(SiteTable, SlotsAreReusedAfterRemoval)
{
    TestServer t;
    for (int round = 0; round < 3; ++round) {
        for (std::uint32_t i = 0; i < 100; ++i)
            enter_site(t.srv, site("s" + std::to_string(i), i), 1000, 0);
        for (std::uint32_t i = 0; i < 100; ++i)
            release_site(t.srv, make_ssrc(i), ipv4("10.0.0.7"), 1000, 0);
    }
    EXPECT_EQ(table_size(t.srv.table), 0u);
    enter_site(t.srv, site("x"), 1000, 0);
    EXPECT_EQ(t.cnames(), std::vector<std::string>{"x"});
}

TEST(LogActivity, LineShowsEmailElseCnameAndNameInParentheses)
{
    Capture cap;
    SiteView s;
    s.ip = ipv4("10.0.0.7");
    s.port = 2076;
    s.cname = "ann";
    s.name = "Ann Lee";
    log_activity(cap.stream(), s, "Connect: ", 14 * 3600 + 5 * 60);
    s.email = "*x";
    s.name.reset();
    s.port = -25536;
    log_activity(cap.stream(), s, "Timeout: ", 0);
    // A text is one event: a newline in it cannot forge a line of its own.
    s.email = "x\n00:00 Bye:     \x1b[2J\xc5\x81";
    log_activity(cap.stream(), s, "Bye:     ", 0);
    EXPECT_EQ(cap.text(), "14:05 Connect: 10.0.0.7:2076 ann (Ann Lee)\n"
                          "00:00 Timeout: 10.0.0.7:-25536 *x\n"
                          "00:00 Bye:     10.0.0.7:-25536 x\\x0A00:00 Bye:     \\x1B[2J\xc5\x81\n");
}

TEST(LogActivity, LongTextsAreWrittenWhole)
{
    Capture cap;
    const std::string email(255, 'e'), name(255, 'n');
    SiteView s;
    s.cname = "c";
    s.email = email;
    s.name = name;
    log_activity(cap.stream(), s, "Bye:     ", 0);
    EXPECT_EQ(cap.text(), "00:00 Bye:     0.0.0.0:0 " + email + " (" + name + ")\n");
}
