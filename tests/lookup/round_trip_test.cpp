// SPDX-License-Identifier: BSD-2-Clause
// The real quorinq against the real quorind, every output mode, with sites
// announced by the packet builders and by kovari-announce.
#include <gtest/gtest.h>

#include <ctime>

#include "devkit/files.h"
#include "devkit/loopback.h"
#include "devkit/packets.h"
#include "devkit/process.h"
#include "devkit/server_process.h"

namespace kovari::testing {
using namespace kovari::devkit;
namespace {

RunResult lookup(int port, std::vector<std::string> args)
{
    args.insert(args.begin(), "-H127.0.0.1:" + std::to_string(port));
    args.insert(args.begin(), QUORINQ_PATH);
    return run_program(args, {"KOVARI_QRN_ASK", "KOVARI_QRN_TELL", "TZ=UTC"});
}

RunResult announce_tool(int port, std::vector<std::string> args)
{
    args.insert(args.begin(), "-P" + std::to_string(port));
    args.insert(args.begin(), ANNOUNCE_PATH);
    return run_program(args);
}

std::string hhmm(std::time_t t)
{
    std::tm tm{};
    gmtime_r(&t, &tm);
    char b[8];
    std::snprintf(b, sizeof b, "%02d:%02d", tm.tm_hour, tm.tm_min);
    return b;
}

class RoundTrip : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(write_file(dir_ / "message", "Directory of the test.\nBe nice.\n"));
        ASSERT_TRUE(start_server(server_, QUORIND_PATH, {"-M" + (dir_ / "message")}));
        before_ = std::time(nullptr);
        Announcement alice;
        alice.ssrc = make_ssrc(0x1234ABCD);
        alice.cname = "alice@example.org";
        alice.name = "Alice <b>Liddell</b>";
        alice.email = "alice@example.org";
        alice.phone = "+44 1865 000000";
        alice.loc = "Oxford";
        alice.tool = "kvphone 4.0";
        alice.port = 2076;
        ASSERT_TRUE(round_trip(server_.port, announcement(alice)));
        Announcement bob;
        bob.ssrc = make_ssrc(0xB0B);
        bob.cname = "bob@example.net";
        bob.port = 40000;
        ASSERT_TRUE(round_trip(server_.port, announcement(bob)));
        Announcement carol;
        carol.ssrc = make_ssrc(0xCA201);
        carol.cname = "*carol@example.com";
        carol.port = 5004;
        ASSERT_TRUE(round_trip(server_.port, announcement(carol)));
        ASSERT_EQ(announce_tool(server_.port, {"sdes", "D4E", "dave@example.org", "name=Dave",
                                               "port=5006"})
                      .status,
                  0);
        after_ = std::time(nullptr);
    }
    // Both readings of the announcement minute, for a run that straddles one.
    std::vector<std::string> minutes() const { return {hhmm(before_), hhmm(after_)}; }

    TempDir dir_{"kovari-lookup"};
    ServerProcess server_;
    std::time_t before_ = 0, after_ = 0;
};

const char* const kAllListed =
    "127.0.0.1:5006           dave@example.org (Dave)\n"
    "127.0.0.1:-25536         bob@example.net\n"
    "127.0.0.1:2076           alice@example.org (Alice Liddell)\n";

TEST_F(RoundTrip, ListOutputShowsEveryListedSiteNewestFirst)
{
    const RunResult r = lookup(server_.port, {""});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kAllListed);
    EXPECT_EQ(r.err, "");
}

TEST_F(RoundTrip, UnlistedSiteIsFoundOnlyByItsWholeText)
{
    RunResult r = lookup(server_.port, {"carol"});
    EXPECT_EQ(r.out, "");
    r = lookup(server_.port, {"CAROL@example.com", "*carol@example.com", "alice"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "127.0.0.1:5004           carol@example.com\n"
              "127.0.0.1:5004           carol@example.com\n"
              "127.0.0.1:2076           alice@example.org (Alice Liddell)\n");
}

TEST_F(RoundTrip, AddressOutputPutsEveryAddressOnOneLine)
{
    RunResult r = lookup(server_.port, {"-C", "example.org", "bob"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "-p127.0.0.1:5006 -p127.0.0.1:2076 -p127.0.0.1:-25536\n");
    r = lookup(server_.port, {"-C", "nobody"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "No users found.\n");
}

TEST_F(RoundTrip, TableOutputShowsEveryText)
{
    const RunResult r = lookup(server_.port, {"-L", "alice"});
    EXPECT_EQ(r.status, 0);
    const std::string in(25, ' ');
    bool matched = false;
    for (const auto& m : minutes()) {
        const std::string want = "\n127.0.0.1:2076           alice@example.org" + std::string(32, ' ') +
                                 m + "\n" + in + "Alice Liddell\n" + in + "Oxford\n" + in +
                                 "Phone:  +44 1865 000000\n" + in + "E-mail: alice@example.org\n";
        matched = matched || r.out == want;
    }
    EXPECT_TRUE(matched) << r.out;
}

TEST_F(RoundTrip, ServerMessageComesFirst)
{
    const RunResult r = lookup(server_.port, {"-M", "bob"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Directory of the test.\nBe nice.\n127.0.0.1:-25536         bob@example.net\n");
}

TEST_F(RoundTrip, DebugDumpGoesToStandardError)
{
    const RunResult r = lookup(server_.port, {"-D", "-C", "bob"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "-p127.0.0.1:-25536\n");
    const std::string head = "SSRC = B0B IP = 127.0.0.1 Port -25536 ";
    ASSERT_EQ(r.err.substr(0, head.size()), head);
    // The ctime text (24 characters and its newline), then the CNAME line.
    EXPECT_EQ(r.err.substr(head.size() + 25), "\t CNAME = bob@example.net\n");
}

TEST_F(RoundTrip, SignOffRemovesTheSite)
{
    ASSERT_TRUE(round_trip(server_.port, bye_packet(make_ssrc(0xB0B))));
    RunResult r = lookup(server_.port, {""});
    EXPECT_EQ(r.out,
              "127.0.0.1:5006           dave@example.org (Dave)\n"
              "127.0.0.1:2076           alice@example.org (Alice Liddell)\n");
    ASSERT_EQ(announce_tool(server_.port, {"bye", "D4E"}).status, 0);
    r = lookup(server_.port, {"-C", ""});
    EXPECT_EQ(r.out, "-p127.0.0.1:2076\n");
}

TEST(RoundTripUtf8, NamesInEveryScriptReachQueriesTablesPagesAndTheLog)
{
    TempDir dir("kovari-test-utf8");
    ServerProcess server;
    ASSERT_TRUE(start_server(server, QUORIND_PATH, {"-V", "-I0", "-H" + (dir / "pub")}));
    const struct {
        std::uint32_t ssrc;
        const char* cname;
        const char* name;
    } sites[] = {
        {1, "lw@example.pl", "\xC5\x81ukasz Wa\xC5\x82\xC4\x99sa"},
        {2, "ad@example.cz", "Dvo\xC5\x99\xC3\xA1k"},
        {3, "\xE7\x8E\x8B\xE5\xB0\x8F\xE6\x98\x8E", nullptr},
        {4, "zoe@example.fr", "Zo\xC3\xAB \xC3\xA0 \xE2\x82\xAC"},
    };
    for (const auto& s : sites) {
        Announcement a;
        a.ssrc = make_ssrc(s.ssrc);
        a.cname = s.cname;
        if (s.name)
            a.name = s.name;
        a.port = 5004;
        ASSERT_TRUE(round_trip(server.port, announcement(a)));
    }
    const auto ask = [&](std::vector<std::string> args) {
        args.insert(args.begin(), "-H127.0.0.1:" + std::to_string(server.port));
        args.insert(args.begin(), QUORINQ_PATH);
        return run_program(args, {"KOVARI_QRN_ASK", "KOVARI_QRN_TELL", "LC_ALL", "LANG=C.UTF-8", "TZ=UTC"});
    };
    // Either case of a letter beyond ASCII finds the other.
    EXPECT_EQ(ask({"\xC5\x82UKASZ", "ZO\xC3\x8B", "dvo\xC5\x99"}).out,
              "127.0.0.1:5004           lw@example.pl (\xC5\x81ukasz Wa\xC5\x82\xC4\x99sa)\n"
              "127.0.0.1:5004           zoe@example.fr (Zo\xC3\xAB \xC3\xA0 \xE2\x82\xAC)\n"
              "127.0.0.1:5004           ad@example.cz (Dvo\xC5\x99\xC3\xA1k)\n");
    // Three characters of two columns: the table pads them to 48 columns.
    const std::string wang = "\xE7\x8E\x8B\xE5\xB0\x8F\xE6\x98\x8E";
    EXPECT_NE(ask({"-L", wang}).out.find(" " + wang + std::string(43, ' ')), std::string::npos);
    ASSERT_TRUE(wait_for_text(dir / "pub.html", "<h2>4 sites active.</h2>", 2000));
    const std::string page = read_file(dir / "pub.html");
    EXPECT_NE(page.find("<meta charset=\"utf-8\">"), std::string::npos);
    EXPECT_NE(page.find(" " + wang + std::string(43, ' ')), std::string::npos);
    EXPECT_NE(page.find("\n" + std::string(25, ' ') + "Dvo\xC5\x99\xC3\xA1k\n"), std::string::npos);
    EXPECT_NE(server.out().find(" Connect: 127.0.0.1:5004 zoe@example.fr (Zo\xC3\xAB \xC3\xA0 \xE2\x82\xAC)\n"),
              std::string::npos)
        << server.out();
}

}  // namespace
}  // namespace kovari::testing
