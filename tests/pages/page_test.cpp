// SPDX-License-Identifier: BSD-2-Clause
// The page writer and its pacing, against a table in memory and files in a
// temporary directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "devkit/files.h"
#include "devkit/packets.h"
#include "devkit/sites.h"
#include "devkit/streams.h"
#include "server/activity.h"
#include "server/html.h"
#include "server/json_page.h"
#include "server/server.h"

namespace kovari {
namespace {

using devkit::ipv4;
using devkit::path_exists;
using devkit::read_file;
using devkit::site;
using devkit::write_file;

constexpr std::time_t kDec7At1043Utc = 1796640180;  // 2026-12-07 10:43:00 UTC
constexpr std::time_t kDec7At0905Utc = 1796634300;  // 2026-12-07 09:05:00 UTC

const std::string kHead =
    "<html>\n<head>\n<meta charset=\"utf-8\">\n<title>\nKovari: Active Sites\n</title>\n</head>\n\n<body>\n<center>\n"
    "<h1>Kovari: Active Sites</h1>\n<h2>As of 12-07 10:43 UTC</h2>\n</center>\n<p>\n";
const std::string kTail = "</body>\n</html>\n";

// A site announced from ip:port, by default at the time the pages show,
// with SSRC 0.
devkit::SiteFields from(const char* ip, int port = 2076, std::time_t when = kDec7At0905Utc)
{
    return {.ssrc = 0, .ip = ip, .port = port, .time = when};
}

std::string blanks(std::size_t n) { return std::string(n, ' '); }

// Adds sites so that the table lists them in the order given.
SiteTable table_of(std::vector<Site> sites)
{
    SiteTable t;
    for (auto it = sites.rbegin(); it != sites.rend(); ++it)
        table_enter(t, std::move(*it));
    return t;
}

TEST(HtmlPage, EmptyTableGivesNoSitesActive)
{
    const SiteTable t;
    const std::string want = kHead + "<h2>No sites active.</h2>\n" + kTail;
    EXPECT_EQ(html_page(t, false, kDec7At1043Utc), want);
    EXPECT_EQ(html_page(t, true, kDec7At1043Utc), want);
}

TEST(HtmlPage, OneSiteIsLaidOutInColumns)
{
    const SiteTable t = table_of({site("ann", from("10.0.0.1"))});
    const std::string want = kHead + "<h2>1 site active.</h2>\n<pre>\n" +
                             "\n10.0.0.1:2076" + blanks(11) + " ann" + blanks(45) + " 09:05\n" +
                             "</pre>\n" + kTail;
    EXPECT_EQ(html_page(t, false, kDec7At1043Utc), want);
}

TEST(HtmlPage, TextsStandUnderTheCnameInFixedOrderWithoutTool)
{
    Site s = site("ann@host", from("10.0.0.7", -2));
    s.name = "Ann Lee";
    s.email = "ann@example.org";
    s.phone = "+1 555 0100";
    s.loc = "Room 7";
    s.tool = "kvphone 4.0";
    const SiteTable t = table_of({std::move(s)});
    const std::string want = kHead + "<h2>1 site active.</h2>\n<pre>\n" +
                             "\n10.0.0.7:-2" + blanks(13) + " ann@host" + blanks(40) + " 09:05\n" +
                             blanks(25) + "Ann Lee\n" +
                             blanks(25) + "Room 7\n" +
                             blanks(25) + "Phone:  +1 555 0100\n" +
                             blanks(25) + "E-mail: ann@example.org\n" +
                             "</pre>\n" + kTail;
    EXPECT_EQ(html_page(t, false, kDec7At1043Utc), want);
}

TEST(HtmlPage, CountLineIsPluralForTwoSitesInTableOrder)
{
    const SiteTable t = table_of({site("bob", from("10.0.0.2", 5000)), site("ann", from("10.0.0.1", 5001))});
    const std::string page = html_page(t, false, kDec7At1043Utc);
    EXPECT_NE(page.find("<h2>2 sites active.</h2>\n<pre>\n\n10.0.0.2:5000 "), std::string::npos);
    EXPECT_LT(page.find(" bob "), page.find(" ann "));
}

TEST(HtmlPage, UnlistedSitesAppearOnlyOnThePrivatePage)
{
    Site by_email = site("carol", from("10.0.0.3", 1));
    by_email.email = "*carol@x";
    Site plain = site("dave", from("10.0.0.4", 1));
    const SiteTable t = table_of({site("*bob", from("10.0.0.2", 1)), std::move(by_email), std::move(plain)});

    const std::string pub = html_page(t, false, kDec7At1043Utc);
    EXPECT_NE(pub.find("<h2>1 site active.</h2>\n"), std::string::npos);
    EXPECT_NE(pub.find(" dave "), std::string::npos);
    EXPECT_EQ(pub.find("bob"), std::string::npos);
    EXPECT_EQ(pub.find("carol"), std::string::npos);

    const std::string priv = html_page(t, true, kDec7At1043Utc);
    EXPECT_NE(priv.find("<h2>3 sites active.</h2>\n"), std::string::npos);
    EXPECT_NE(priv.find(" *bob" + blanks(44) + " 09:05\n"), std::string::npos);
    EXPECT_NE(priv.find(blanks(25) + "E-mail: *carol@x\n"), std::string::npos);
}

TEST(HtmlPage, OnlyUnlistedSitesGiveNoSitesActiveOnThePublicPage)
{
    const SiteTable t = table_of({site("*bob", from("10.0.0.2", 1))});
    EXPECT_EQ(html_page(t, false, kDec7At1043Utc), kHead + "<h2>No sites active.</h2>\n" + kTail);
}

TEST(HtmlPage, SiteTextsAreEscapedAndPaddedByWhatTheReaderSees)
{
    Site s = site("<b>&\"x\"", from("10.0.0.1"));
    s.name = "<script>alert(1)</script>";
    s.email = "*a&b@x";
    const SiteTable t = table_of({std::move(s)});
    const std::string page = html_page(t, true, kDec7At1043Utc);
    // Seven characters as shown, so 41 blanks fill the 48 places.
    EXPECT_NE(page.find("\n10.0.0.1:2076" + blanks(11) + " &lt;b&gt;&amp;&quot;x&quot;" + blanks(41) +
                        " 09:05\n"),
              std::string::npos);
    EXPECT_NE(page.find(blanks(25) + "&lt;script&gt;alert(1)&lt;/script&gt;\n"), std::string::npos);
    EXPECT_NE(page.find(blanks(25) + "E-mail: *a&amp;b@x\n"), std::string::npos);
    EXPECT_EQ(page.find("<script>"), std::string::npos);
}

TEST(HtmlPage, PagesAreUtf8AndColumnsCountCharacters)
{
    // Dvořák in UTF-8 takes six columns; 王小明 six (two each); an 8-bit
    // name's bytes show as their Latin-1 characters, in UTF-8.
    Site dvorak = site("Dvo\xc5\x99\xc3\xa1k", from("10.0.0.1"));
    Site wang = site("\xe7\x8e\x8b\xe5\xb0\x8f\xe6\x98\x8e", from("10.0.0.2"));
    wang.name = "Zo\xeb";
    const SiteTable t = table_of({std::move(dvorak), std::move(wang)});
    const std::string page = html_page(t, false, kDec7At1043Utc);
    EXPECT_NE(page.find(" Dvo\xc5\x99\xc3\xa1k" + blanks(42) + " 09:05\n"), std::string::npos);
    EXPECT_NE(page.find(" \xe7\x8e\x8b\xe5\xb0\x8f\xe6\x98\x8e" + blanks(42) + " 09:05\n" + blanks(25) +
                        "Zo\xc3\xab\n"),
              std::string::npos);
}

TEST(HtmlPage, LongCnameIsNeverCut)
{
    const std::string cname(60, 'c');
    const SiteTable t = table_of({site(cname, from("10.0.0.1"))});
    EXPECT_NE(html_page(t, false, kDec7At1043Utc).find(" " + cname + " 09:05\n"), std::string::npos);
}

TEST(HtmlEscape, ReplacesTheFourMarkupCharactersOnly)
{
    EXPECT_EQ(html_escape("a&b<c>d\"e'f"), "a&amp;b&lt;c&gt;d&quot;e'f");
    EXPECT_EQ(html_escape(""), "");
}

// The heading is in UTC, the site's time in the server's local time.
TEST(HtmlPage, HeadingIsUtcWhileSiteTimesAreLocal)
{
    const char* saved = std::getenv("TZ");
    const std::string old = saved != nullptr ? saved : "";
    ::setenv("TZ", "EST5", 1);
    ::tzset();
    const SiteTable t = table_of({site("ann", from("10.0.0.1"))});
    const std::string page = html_page(t, false, kDec7At1043Utc);
    if (saved != nullptr)
        ::setenv("TZ", old.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
    EXPECT_NE(page.find("<h2>As of 12-07 10:43 UTC</h2>"), std::string::npos);
    EXPECT_NE(page.find(" 04:05\n"), std::string::npos);  // 09:05 UTC is 04:05 in EST
}

// The JSON page for a table of sites: every key always there, null for a
// text a site does not carry, newest first, unlisted sites left out.
TEST(JsonPage, ListedSitesInTableOrderWithEveryKey)
{
    Site every = site("ann@x", from("10.1.2.3", -5476, kDec7At0905Utc + 1));
    every.ssrc = {0x0a, 0x00, 0x00, 0xf0};
    every.name = "Ren\xe9 \"R\"";
    every.email = "";
    every.phone = "+1 555";
    every.loc = "Room\t7";
    every.tool = "kvphone \xc5\x81";
    Site hidden = site("*carol", from("10.0.0.2"));
    Site unlisted_by_email = site("dave", from("10.0.0.3"));
    unlisted_by_email.email = "*dave@x";
    const SiteTable t = table_of({std::move(every), std::move(hidden), site("bob", from("10.0.0.4", 0)),
                                  std::move(unlisted_by_email)});
    EXPECT_EQ(json_page(t, kDec7At1043Utc),
              "{\"as_of\": 1796640180, \"sites\": [\n"
              "{\"ssrc\": \"F000000A\", \"cname\": \"ann@x\", \"name\": \"Ren\xc3\xa9 \\\"R\\\"\", \"email\": \"\", "
              "\"phone\": \"+1 555\", \"loc\": \"Room\\t7\", \"tool\": \"kvphone \xc5\x81\", "
              "\"address\": \"10.1.2.3\", \"port\": -5476, \"time\": 1796634301},\n"
              "{\"ssrc\": \"00000000\", \"cname\": \"bob\", \"name\": null, \"email\": null, \"phone\": null, "
              "\"loc\": null, \"tool\": null, \"address\": \"10.0.0.4\", \"port\": 0, \"time\": 1796634300}\n"
              "]}\n");
    EXPECT_EQ(json_page(table_of({site("*carol", from("10.0.0.2"))}), kDec7At1043Utc),
              "{\"as_of\": 1796640180, \"sites\": []}\n");
}

TEST(TimeStamp, HasMonthDayHourMinuteAndNoYear)
{
    EXPECT_EQ(time_stamp(kDec7At1043Utc, true), "12-07 10:43");
    EXPECT_EQ(time_stamp(0, true), "01-01 00:00");
}

// Files: a page replaces the old one only when it was written whole.
class PageFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.valid());
        base = dir / "pub";
        srv.err = err.stream();
        srv.out = out.stream();
        srv.settings.public_base = base;
    }

    devkit::TempDir dir{"kovari-pages"};
    std::string base;
    devkit::Capture err, out;
    Server srv;
};

TEST_F(PageFiles, PageIsRenamedIntoPlaceAndReportedUnderD)
{
    srv.settings.debug = true;
    ASSERT_TRUE(write_file(base + ".html", "OLD PAGE\n"));
    EXPECT_TRUE(write_html_page(srv, base, false, kDec7At1043Utc));
    EXPECT_EQ(read_file(base + ".html"), kHead + "<h2>No sites active.</h2>\n" + kTail);
    EXPECT_FALSE(path_exists(base + ".new"));
    EXPECT_EQ(err.text(), "quorind: updated " + base + ".html\n");
}

TEST_F(PageFiles, PageThatCannotBeOpenedIsReportedOnceUntilTheReasonChanges)
{
    ASSERT_TRUE(write_file(base + ".html", "OLD PAGE\n"));
    ASSERT_EQ(::mkdir((base + ".new").c_str(), 0700), 0);
    const std::string report = "quorind: can't open HTML page " + base + ".new: Is a directory\n";
    EXPECT_FALSE(write_html_page(srv, base, false, kDec7At1043Utc));
    EXPECT_FALSE(write_html_page(srv, base, false, kDec7At1043Utc));
    EXPECT_EQ(read_file(base + ".html"), "OLD PAGE\n");
    EXPECT_EQ(err.text(), report);
    // Once the page could be written, the same failure is news again.
    ASSERT_EQ(::rmdir((base + ".new").c_str()), 0);
    EXPECT_TRUE(write_html_page(srv, base, false, kDec7At1043Utc));
    ASSERT_EQ(::mkdir((base + ".new").c_str(), 0700), 0);
    EXPECT_FALSE(write_html_page(srv, base, false, kDec7At1043Utc));
    EXPECT_EQ(err.text(), report + report);
}

TEST_F(PageFiles, FailedWriteKeepsTheOldPageAndIsReported)
{
    srv.settings.debug = true;
    ASSERT_TRUE(write_file(base + ".html", "OLD PAGE\n"));
    ASSERT_EQ(::symlink("/dev/full", (base + ".new").c_str()), 0);
    EXPECT_FALSE(write_html_page(srv, base, false, kDec7At1043Utc));
    EXPECT_EQ(read_file(base + ".html"), "OLD PAGE\n");
    EXPECT_FALSE(path_exists(base + ".new"));
    EXPECT_EQ(err.text(), "writing HTML page: No space left on device\n");
}

TEST_F(PageFiles, FailedRenameRemovesTheNewFileAndIsReported)
{
    ASSERT_EQ(::mkdir((base + ".html").c_str(), 0700), 0);
    ASSERT_TRUE(write_file(base + ".html/keep", "x"));  // a directory that is not empty cannot be replaced
    EXPECT_FALSE(write_html_page(srv, base, false, kDec7At1043Utc));
    EXPECT_FALSE(path_exists(base + ".new"));
    EXPECT_EQ(err.text(), "renaming HTML page: Is a directory\n");
}

TEST_F(PageFiles, FailureOnOnePageDoesNotStopTheOther)
{
    srv.settings.html_interval = 0;
    srv.settings.private_base = dir / "priv";
    ASSERT_EQ(::symlink("/dev/full", (base + ".new").c_str()), 0);
    update_html(srv, kDec7At1043Utc, WriteMode::in_process);
    EXPECT_FALSE(path_exists(base + ".html"));
    EXPECT_EQ(read_file(dir / "priv.html"), kHead + "<h2>No sites active.</h2>\n" + kTail);
}

// The JSON page may share the public page's base: each has a temporary
// file of its own.
TEST_F(PageFiles, JsonPageBesideThePublicPageOnTheSameBase)
{
    srv.settings.debug = true;
    srv.settings.json_base = base;
    ASSERT_EQ(::mkdir((base + ".new").c_str(), 0700), 0);  // only the HTML page's temporary file is blocked
    update_html(srv, kDec7At1043Utc, WriteMode::in_process);
    EXPECT_EQ(read_file(base + ".json"), "{\"as_of\": 1796640180, \"sites\": []}\n");
    EXPECT_FALSE(path_exists(base + ".json.new"));
    EXPECT_FALSE(path_exists(base + ".html"));
    EXPECT_EQ(err.text(), "quorind: can't open HTML page " + base + ".new: Is a directory\n"
                          "quorind: updated " + base + ".json\n");
}

TEST_F(PageFiles, NoPathsNoFiles)
{
    srv.settings.public_base.reset();
    update_html(srv, kDec7At1043Utc, WriteMode::in_process);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

// An announcement as the event loop carries it out: the table changes,
// then the writes it asks for.
void announce(Server& srv, Site&& s, std::time_t now)
{
    if (const auto change = enter_site(srv, std::move(s), now, 0))
        note_table_change(srv, *change, now, WriteMode::in_process);
}

// The sweep as the event loop runs it: expiry, then the pages held back.
void sweep(Server& srv, std::time_t now)
{
    note_table_change(srv, expire_sites(srv, now), now, WriteMode::in_process);
    update_html(srv, now, WriteMode::in_process);
}

// Pacing: at most one write per interval; a change held back is written
// by the next call after the interval, at the latest by the sweep.
TEST_F(PageFiles, ChangeInsideTheIntervalWaitsForTheNextCallAfterIt)
{
    const std::time_t t0 = kDec7At1043Utc;
    update_html(srv, t0, WriteMode::in_process);  // start-up: written at once
    EXPECT_NE(read_file(base + ".html").find("No sites active."), std::string::npos);

    announce(srv, site("ann", from("10.0.0.1", 2076, t0 + 10)), t0 + 10);
    EXPECT_NE(read_file(base + ".html").find("No sites active."), std::string::npos);
    update_html(srv, t0 + 60, WriteMode::in_process);  // exactly the interval: not yet
    EXPECT_NE(read_file(base + ".html").find("No sites active."), std::string::npos);
    sweep(srv, t0 + 61);
    EXPECT_NE(read_file(base + ".html").find("<h2>1 site active.</h2>"), std::string::npos);
    EXPECT_FALSE(srv.html.table_changed);
    EXPECT_EQ(srv.html.last_html_update, t0 + 61);
}

TEST_F(PageFiles, IntervalZeroOrNegativeWritesEveryChange)
{
    for (const long interval : {0L, -5L}) {
        srv.settings.html_interval = interval;
        srv.table = SiteTable{};
        update_html(srv, kDec7At1043Utc, WriteMode::in_process);
        announce(srv, site("ann", from("10.0.0.1")), kDec7At1043Utc);
        EXPECT_NE(read_file(base + ".html").find("<h2>1 site active.</h2>"), std::string::npos)
            << interval;
        EXPECT_EQ(srv.html.last_html_update, 0) << interval;
    }
}

TEST_F(PageFiles, ReplacementDoesNotMarkThePagesChanged)
{
    srv.settings.html_interval = 0;
    announce(srv, site("ann", from("10.0.0.1")), kDec7At1043Utc);
    Site again = site("*ann", from("10.0.0.1"));
    again.name = "New Name";
    announce(srv, std::move(again), kDec7At1043Utc);
    EXPECT_EQ(read_file(base + ".html").find("New Name"), std::string::npos);
}

}  // namespace
}  // namespace kovari
