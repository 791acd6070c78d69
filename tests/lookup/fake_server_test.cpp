// SPDX-License-Identifier: BSD-2-Clause
// The real quorinq against a fake server in the test: the bytes it sends,
// the server it picks, its output and its exit statuses.
#include <gtest/gtest.h>

#include <chrono>
#include <cerrno>

#include "devkit/files.h"
#include "devkit/loopback.h"
#include "devkit/packets.h"
#include "devkit/process.h"
#include "devkit/streams.h"
#include "fake_server.h"
#include "lookup/lookup.h"
#include "lookup/net.h"

namespace kovari::testing {
using namespace kovari::devkit;
namespace {

// quorinq with a clean environment: neither server variable set unless
// the test sets it.
RunResult lookup(std::vector<std::string> args, std::vector<std::string> env = {},
                 int timeout_ms = 10000)
{
    args.insert(args.begin(), QUORINQ_PATH);
    std::vector<std::string> e = {"KOVARI_QRN_ASK", "KOVARI_QRN_TELL", "TZ=UTC"};
    e.insert(e.end(), env.begin(), env.end());
    return run_program(args, e, timeout_ms);
}

Item priv(char letter, const std::string& value) { return {kItemPRIV, std::string("\1") + letter + value}; }

Bytes site_reply(const char* cname, const char* ip, const char* port = "2076")
{
    return match_reply({{make_ssrc(1), {{kItemCNAME, cname}, priv('P', port), priv('I', ip), priv('T', "0")}}});
}

Bytes message_reply(const std::string& text)
{
    const Bytes head = {0x81, 0xCC, 0x00, 0x02, 0, 0, 0, 0, 'K', 'V', 'm', 'r'};
    Bytes r(head.size() + text.size() + 1, 0);
    std::copy(head.begin(), head.end(), r.begin());
    std::copy(text.begin(), text.end(), r.begin() + long(head.size()));
    return r;
}

const Bytes kNoMatch = {0x80, 0xCA, 0x00, 0x00};

const char* const kNoHost =
    "quorinq: no host specified.\n"
    "quorinq: use -Hhost:port option or KOVARI_QRN_ASK\n"
    "quorinq: or KOVARI_QRN_TELL environment variables.\n";

// A loopback port where nothing listens.
std::string dead_address() { return "127.0.0.1:" + std::to_string(free_port()); }

TEST(LookupRequests, EachQueryTextGoesOutOnItsOwnConnection)
{
    FakeServer fake({});
    const RunResult r = lookup({"-H" + fake.address(), "x", "abc", "abcd", ""});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    const auto got = fake.received();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], (Bytes{0x81, 0xCC, 0, 3, 0, 0, 0, 0, 'K', 'V', 'l', 'q', 'x', 0, 0, 0}));
    EXPECT_EQ(got[1], (Bytes{0x81, 0xCC, 0, 3, 0, 0, 0, 0, 'K', 'V', 'l', 'q', 'a', 'b', 'c', 0}));
    EXPECT_EQ(got[2], (Bytes{0x81, 0xCC, 0, 4, 0, 0, 0, 0, 'K', 'V', 'l', 'q', 'a', 'b', 'c', 'd',
                             0, 0, 0, 0}));
    EXPECT_EQ(got[3], (Bytes{0x81, 0xCC, 0, 3, 0, 0, 0, 0, 'K', 'V', 'l', 'q', 0, 0, 0, 0}));
}

TEST(LookupRequests, MessageRequestComesFirstOnItsOwnConnection)
{
    FakeServer fake({send_back(message_reply("Welcome.\n")), send_back(site_reply("alice", "10.0.0.1")),
                     send_back(kNoMatch)});
    const RunResult r = lookup({"-m", "-H" + fake.address(), "a", "b"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Welcome.\n10.0.0.1:2076            alice\n");
    const auto got = fake.received();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], (Bytes{0x81, 0xCC, 0, 2, 0, 0, 0, 0, 'K', 'V', 'm', 's'}));
    EXPECT_EQ(got[1], query_packet("a"));
    EXPECT_EQ(got[2], query_packet("b"));
}

TEST(LookupRequests, MessageAloneMakesOneConnection)
{
    FakeServer fake({send_back(message_reply(""))});
    const RunResult r = lookup({"-M", "-H" + fake.address()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(fake.received().size(), 1u);
}

TEST(LookupRequests, OptionAfterAQueryIsAQuery)
{
    FakeServer fake({send_back(site_reply("alice", "10.0.0.1")), send_back(site_reply("c", "10.0.0.2"))});
    const RunResult r = lookup({"-H" + fake.address(), "alice", "-C"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "10.0.0.1:2076            alice\n10.0.0.2:2076            c\n");
    const auto got = fake.received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], query_packet("alice"));
    EXPECT_EQ(got[1], query_packet("-C"));
}

TEST(LookupRequests, LongestQueryFillsTheServersOneReceive)
{
    FakeServer fake({});
    const RunResult r = lookup({"-H" + fake.address(), std::string(1011, 'q')});
    EXPECT_EQ(r.status, 0);
    const auto got = fake.received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], query_packet(std::string(1011, 'q')));
    EXPECT_EQ(got[0].size(), 1024u);
}

TEST(LookupRequests, OverlongQueryIsRefusedBeforeAnyConnection)
{
    FakeServer fake({});
    const RunResult r = lookup({"-H" + fake.address(), "first", std::string(1012, 'q')});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "quorinq: query text too long: at most 1011 bytes.\n");
    EXPECT_TRUE(fake.received().empty());
}

TEST(LookupRequests, OptionsWithoutQueriesMakeNoConnection)
{
    FakeServer fake({});
    RunResult r = lookup({"-H" + fake.address(), "-L", "-D"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    r = lookup({"-H" + fake.address(), "-C"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "No users found.\n");
    EXPECT_TRUE(fake.received().empty());
}

TEST(LookupUsage, UsageNeedsNoServerAndSendsNothing)
{
    FakeServer fake({});
    for (const char* u : {"-U", "-?", "-u"}) {
        const RunResult r = lookup({"-C", u, "-Hnowhere", "q"});
        EXPECT_EQ(r.status, 0) << u;
        EXPECT_EQ(r.out, "") << u;
        EXPECT_EQ(r.err.substr(0, 36), "quorinq  --  Kovari: Quorin Lookup.\n") << u;
        EXPECT_NE(r.err.find(" \t  -Hhost:port Query designated host\n"), std::string::npos) << u;
    }
    const RunResult r = lookup({"-H" + fake.address(), "-U", "q"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(fake.received().empty());
    // --help and --version answer on the standard output; after the first
    // query they are queries like any other text.
    const RunResult help = lookup({"-C", "--help", "q"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.substr(0, 36), "quorinq  --  Kovari: Quorin Lookup.\n");
    EXPECT_EQ(help.err, "");
    const RunResult version = lookup({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("quorinq ") + KOVARI_VERSION + "\n");
    lookup({"-H" + fake.address(), "q", "--version"});
    EXPECT_EQ(fake.received().size(), 2u);
}

TEST(ServerChoice, AskIsUsedWithoutH)
{
    FakeServer fake({send_back(site_reply("alice", "10.0.0.1"))});
    const RunResult r = lookup({"q"}, {"KOVARI_QRN_ASK=" + fake.address(),
                                       "KOVARI_QRN_TELL=" + dead_address()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "10.0.0.1:2076            alice\n");
    EXPECT_EQ(fake.received().size(), 1u);
}

TEST(ServerChoice, EmptyAskFallsThroughToTheFirstEntryOfTell)
{
    FakeServer fake({});
    const RunResult r = lookup(
        {"q"}, {"KOVARI_QRN_ASK=", "KOVARI_QRN_TELL=" + fake.address() + "," + dead_address()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(fake.received().size(), 1u);
}

TEST(ServerChoice, HWinsOverTheEnvironment)
{
    FakeServer fake({});
    const RunResult r = lookup({"-H" + fake.address(), "q"},
                               {"KOVARI_QRN_ASK=" + dead_address(), "KOVARI_QRN_TELL=" + dead_address()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(fake.received().size(), 1u);
}

TEST(ServerChoice, PortIsCutToSixteenBits)
{
    FakeServer fake({});
    const RunResult r = lookup({"-H127.0.0.1:" + std::to_string(fake.port() + 65536), "q"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(fake.received().size(), 1u);
}

TEST(ServerChoice, NoServerAnywhereEndsWithThreeLines)
{
    for (const auto& args : {std::vector<std::string>{"q"}, std::vector<std::string>{"-C"},
                             std::vector<std::string>{}}) {
        const RunResult r = lookup(args, {"KOVARI_QRN_ASK="});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, kNoHost);
    }
}

TEST(ServerChoice, UnknownHostEndsTheRunEvenWithoutQueries)
{
    // -H alone gives an empty host name; the environment is not consulted.
    RunResult r = lookup({"-H", "10.0.0.1"}, {"KOVARI_QRN_ASK=127.0.0.1:1"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err,
              "quorinq: server  is unknown.\n"
              "quorinq: -H takes the server in the same argument: -Hhost:port\n");
    r = lookup({"-C", "-H:2000"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "quorinq: server  is unknown.\n");
}

TEST(LookupFailures, RefusedConnectionIsStatusOne)
{
    const RunResult r = lookup({"-H" + dead_address(), "q"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "connecting stream socket: Connection refused\n");
}

TEST(LookupFailures, ReplyThatNeverComesEndsTheRunKeepingEarlierOutput)
{
    FakeServer fake({send_back(site_reply("a", "10.0.0.1")), close_at_once()});
    const RunResult r = lookup({"-C", "-H" + fake.address(), "a", "b", "c"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "-p10.0.0.1:2076");  // no closing newline
    EXPECT_EQ(r.err, "reading reply from socket: No data available\n");
    EXPECT_EQ(fake.received().size(), 2u) << "the query after the failure is not sent";
}

TEST(AddressOutputRun, AddressesOfAllQueriesShareOneLine)
{
    FakeServer fake({send_back(kNoMatch), send_back(site_reply("a", "10.0.0.1")),
                     send_back(site_reply("b", "10.0.0.2", "40000"))});
    const RunResult r = lookup({"-C", "-H" + fake.address(), "x", "y", "z"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "-p10.0.0.1:2076 -p10.0.0.2:-25536\n");
    EXPECT_EQ(r.err, "");
}

TEST(AddressOutputRun, NobodyFoundIsStatusTwo)
{
    FakeServer fake({});
    const RunResult r = lookup({"-C", "-H" + fake.address(), "x", "y"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "No users found.\n");
    EXPECT_EQ(fake.received().size(), 2u);
}

TEST(AddressOutputRun, MessageReplyIsNotCountedAsASite)
{
    FakeServer fake({send_back(message_reply("m\n"))});
    const RunResult r = lookup({"-M", "-C", "-H" + fake.address()});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "m\n");
    EXPECT_EQ(r.err, "No users found.\n");
}

// --- JSON output, read back by a real JSON parser ---

// Each JSON value of `json` as jq reads it: its keys in their order, then
// each value as null, s:<the decoded string> or n:<the number>. Values are
// split by 0x1D and fields by 0x1E, which the texts below do not hold.
// nullopt when jq refuses the text.
std::optional<std::vector<std::vector<std::string>>> parse_with_jq(const std::string& json)
{
    const TempDir dir("kovari-test-json");
    const std::string file = dir.path() + "/out.jsonl";
    if (!write_file(file, json))
        return std::nullopt;
    const RunResult r = run_program(
        {JQ_PATH, "-j",
         "[(keys_unsorted | join(\",\")), (.[] | if . == null then \"null\" "
         "elif type == \"string\" then \"s:\" + . else \"n:\" + tostring end)]"
         " | join(\"\\u001e\") + \"\\u001d\"",
         file});
    if (r.status != 0)
        return std::nullopt;
    std::vector<std::vector<std::string>> values;
    std::size_t start = 0;
    for (std::size_t end; (end = r.out.find('\x1d', start)) != std::string::npos; start = end + 1) {
        std::vector<std::string> fields;
        const std::string v = r.out.substr(start, end - start);
        for (std::size_t a = 0, b;; a = b + 1) {
            b = v.find('\x1e', a);
            fields.push_back(v.substr(a, b == std::string::npos ? std::string::npos : b - a));
            if (b == std::string::npos)
                break;
        }
        values.push_back(fields);
    }
    return values;
}

const char* const kSiteKeys = "ssrc,cname,name,email,phone,loc,tool,address,port,time";

TEST(JsonOutputRun, EachSiteIsOneObjectThatJqReadsBack)
{
    if (std::string(JQ_PATH).empty())
        GTEST_SKIP() << "jq is not installed (Debian package jq)";
    FakeServer fake({
        send_back(message_reply("Welcome, \"all\".\n")),
        send_back(match_reply({{make_ssrc(0x0A0B0C0D),
                                {{kItemCNAME, "alice@host"}, {kItemNAME, "Alice Liddell"},
                                 {kItemEMAIL, "alice@wonderland.example"}, {kItemPHONE, "+44 1865"},
                                 {kItemLOC, "Oxford"}, {kItemTOOL, "kvphone 1.2"}, priv('P', "40000"),
                                 priv('I', "10.0.0.1"), priv('T', "870000000")}},
                               {make_ssrc(7), {}}})),
        send_back(match_reply({{make_ssrc(2), {{kItemCNAME, "j@h"}, {kItemNAME, "J\xfcrgen \xc3\xa9"},
                                                priv('P', "none"), priv('I', "nowhere")}}})),
        send_back(kNoMatch),
        send_back(match_reply({{make_ssrc(3), {{kItemCNAME, "m@h"}, {kItemNAME, "a\x1b]0;x\x07\nb\x7f\xc2\x85"},
                                                priv('T', "-5")}}})),
    });
    const RunResult r = lookup({"-J", "-M", "-H" + fake.address(), "alice", "j", "nobody", "m"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const auto values = parse_with_jq(r.out);
    ASSERT_TRUE(values) << r.out;
    using Fields = std::vector<std::string>;
    const std::vector<Fields> expected = {
        {"message", "s:Welcome, \"all\".\n"},
        {kSiteKeys, "s:0A0B0C0D", "s:alice@host", "s:Alice Liddell", "s:alice@wonderland.example",
         "s:+44 1865", "s:Oxford", "s:kvphone 1.2", "s:10.0.0.1", "n:40000", "n:870000000"},
        {kSiteKeys, "s:00000007", "null", "null", "null", "null", "null", "null", "null", "null", "null"},
        // 8-bit text shows as Latin-1, UTF-8 as it is.
        {kSiteKeys, "s:00000002", "s:j@h", "s:J\xc3\xbcrgen \xc3\xa9", "null", "null", "null", "null",
         "null", "null", "null"},
        // Control characters arrive as they were sent, escaped on the way.
        {kSiteKeys, "s:00000003", "s:m@h", "s:a\x1b]0;x\x07\nb\x7f\xc2\x85", "null", "null", "null",
         "null", "null", "null", "n:-5"},
    };
    ASSERT_EQ(values->size(), expected.size()) << r.out;
    for (std::size_t k = 0; k < expected.size(); ++k)
        EXPECT_EQ((*values)[k], expected[k]) << "value " << k;
    // One object a line, nothing raw that a terminal would act on.
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 5);
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
}

TEST(JsonOutputRun, NobodyFoundIsStatusZeroUnlessAddressesWereAskedFor)
{
    FakeServer fake({});
    RunResult r = lookup({"-J", "-H" + fake.address(), "x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    r = lookup({"-C", "-J", "-H" + fake.address(), "x"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "No users found.\n");
}

// --- the time bounds, in-process with short limits ---

LookupContext quick(Capture& out, Capture& err)
{
    LookupContext ctx;
    ctx.connect_timeout_ms = 300;
    ctx.reply_timeout_ms = 300;
    ctx.out = out.stream();
    ctx.err = err.stream();
    return ctx;
}

TEST(LookupTimeouts, SilentServerIsAFailedReceive)
{
    FakeServer fake({never_answer()});
    Capture out, err;
    const std::string h = "-H" + fake.address();
    const char* argv[] = {"quorinq", h.c_str(), "q", "never-sent"};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run_lookup(4, argv, quick(out, err)), 2);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(err.text(), "reading reply from socket: Connection timed out\n");
    EXPECT_EQ(out.text(), "");
    EXPECT_GE(took, std::chrono::milliseconds(290));
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_EQ(fake.received().size(), 1u);
}

TEST(LookupTimeouts, ConnectionThatIsNeverAcceptedTimesOut)
{
    // A listener whose queue is full drops further handshakes, so a connect
    // to it hangs until its bound.
    int port = 0;
    const Fd listener = listen_loopback(0, port);
    ASSERT_TRUE(listener.valid());
    const sockaddr_in a = loopback_address(port);
    std::vector<Fd> queued;
    bool timed_out = false;
    for (int k = 0; k < 8 && !timed_out; ++k) {
        Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const auto start = std::chrono::steady_clock::now();
        if (connect_within(s, a, 200)) {
            queued.push_back(std::move(s));
            continue;
        }
        ASSERT_EQ(errno, ETIMEDOUT);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(190));
        timed_out = true;
    }
    ASSERT_TRUE(timed_out) << "the listener kept accepting handshakes";

    Capture out, err;
    const std::string h = "-H127.0.0.1:" + std::to_string(port);
    const char* argv[] = {"quorinq", h.c_str(), "q"};
    EXPECT_EQ(run_lookup(3, argv, quick(out, err)), 1);
    EXPECT_EQ(err.text(), "connecting stream socket: Connection timed out\n");
}

// The real binary with its real bound: half a minute of waiting.
TEST(LookupTimeouts, RealBinaryGivesUpAfterThirtySeconds)
{
    FakeServer fake({never_answer()});
    const auto start = std::chrono::steady_clock::now();
    const RunResult r = lookup({"-H" + fake.address(), "q"}, {}, 45000);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "reading reply from socket: Connection timed out\n");
    EXPECT_GE(took, std::chrono::seconds(29));
    EXPECT_LT(took, std::chrono::seconds(40));
}

}  // namespace
}  // namespace kovari::testing
