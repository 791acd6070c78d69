// SPDX-License-Identifier: BSD-2-Clause
// The lookup's command line, server selection and request bytes.
#include <gtest/gtest.h>

#include "devkit/bytes.h"
#include "devkit/streams.h"
#include "lookup/lookup.h"

namespace kovari {
namespace {

using devkit::Bytes;
using devkit::Capture;

struct Parsed {
    RunState run;
    std::optional<int> status;
    std::string err;
};

Parsed parse(std::vector<const char*> args)
{
    args.insert(args.begin(), "/usr/bin/quorinq");
    Parsed p;
    Capture out, err;
    p.status = parse_lookup_options(p.run, int(args.size()), args.data(), out.stream(), err.stream());
    p.err = err.text();
    return p;
}

struct OptionCase {
    std::vector<const char*> args;
    bool list, address, table, debug, message;
    std::optional<std::string> server;
    int query_index;
    bool json = false;
};

TEST(LookupOptions, FollowTheOptionTable)
{
    const OptionCase cases[] = {
        {{}, true, false, false, false, false, std::nullopt, 1},
        {{"-c", "-h10.0.0.1:2000", "x"}, false, true, false, false, false, "10.0.0.1:2000", 3},
        {{"-C", "-H10.0.0.1:2000", "x"}, false, true, false, false, false, "10.0.0.1:2000", 3},
        {{"-CL", "x"}, false, true, false, false, false, std::nullopt, 2},
        {{"-Lx", "-d", "-m"}, false, false, true, true, true, std::nullopt, 4},
        {{"-C", "-L"}, false, true, true, false, false, std::nullopt, 3},
        {{"alice", "-C"}, true, false, false, false, false, std::nullopt, 1},
        {{"-H", "10.0.0.1", "alice"}, true, false, false, false, false, "", 2},
        {{"-Ha:1", "-Hb:2"}, true, false, false, false, false, "b:2", 3},
        {{"-", "--", "-x", "-z9", "q"}, true, false, false, false, false, std::nullopt, 5},
        {{"", "-C"}, true, false, false, false, false, std::nullopt, 1},
        {{"-j", "-C", "x"}, false, true, false, false, false, std::nullopt, 3, true},
        {{"-Jx", "-M"}, true, false, false, false, true, std::nullopt, 3, true},
    };
    for (const auto& c : cases) {
        const Parsed p = parse(c.args);
        SCOPED_TRACE(::testing::PrintToString(std::vector<std::string>(c.args.begin(), c.args.end())));
        EXPECT_FALSE(p.status);
        EXPECT_EQ(p.run.list_output, c.list);
        EXPECT_EQ(p.run.address_output, c.address);
        EXPECT_EQ(p.run.table_output, c.table);
        EXPECT_EQ(p.run.debug_output, c.debug);
        EXPECT_EQ(p.run.message_pending, c.message);
        EXPECT_EQ(p.run.json_output, c.json);
        EXPECT_EQ(p.run.server_text, c.server);
        EXPECT_EQ(p.run.query_index, c.query_index);
        EXPECT_EQ(p.run.program, "quorinq");
        EXPECT_EQ(p.err, "");
    }
}

const char* const kUsage =
    "quorinq  --  Kovari: Quorin Lookup.\n"
    " \t      Release 1.0, December 2026.\n"
    "\n"
    "Usage: quorinq [options]\n"
    "Options:\n"
    " \t  -C\t      Output kvphone connection address(es)\n"
    " \t  -D\t      Debugging output on stderr\n"
    " \t  -Hhost:port Query designated host\n"
    " \t  -J\t      JSON Lines output, one site a line\n"
    " \t  -L\t      List table of matches\n"
    " \t  -M\t      Show server message\n"
    " \t  -U\t      Print this message\n"
    "\n"
    "Kovari directory service: quorind and quorinq.\n"
    "See quorind(8) and quorinq(1) for the details.\n";

TEST(LookupOptions, UsageEndsTheParseAtOnce)
{
    for (const char* ask : {"-U", "-u", "-?", "-Ux"}) {
        const Parsed p = parse({"-C", ask, "-Hhost:1", "q"});
        EXPECT_EQ(p.status, 0) << ask;
        EXPECT_EQ(p.err, kUsage) << ask;
        EXPECT_FALSE(p.run.server_text) << "options after the usage request are not read";
    }
}

struct SelectionCase {
    std::optional<std::string> h;
    const char* ask;
    const char* tell;
    std::optional<std::string> chosen;
};

TEST(ServerSelection, HThenAskThenFirstEntryOfTell)
{
    const SelectionCase cases[] = {
        {"h:1", "a:2", "t:3", "h:1"},
        {"", "a:2", "t:3", ""},
        {std::nullopt, "a:2", "t:3", "a:2"},
        {std::nullopt, "", "t:3,u:4", "t:3"},
        {std::nullopt, nullptr, "10.0.0.1:2000,10.0.0.2:3000", "10.0.0.1:2000"},
        {std::nullopt, nullptr, "10.0.0.1,10.0.0.2:3000", "10.0.0.1"},
        {std::nullopt, nullptr, "", ""},
        {std::nullopt, nullptr, ",x", ""},
        {std::nullopt, "", nullptr, std::nullopt},
        {std::nullopt, nullptr, nullptr, std::nullopt},
    };
    for (const auto& c : cases) {
        RunState run;
        run.server_text = c.h;
        EXPECT_EQ(choose_server_text(run, c.ask, c.tell), c.chosen)
            << (c.ask ? c.ask : "(unset)") << " / " << (c.tell ? c.tell : "(unset)");
    }
}

TEST(ServerSelection, NoHostMessageIsThreeLines)
{
    Capture err;
    report_no_host(err.stream(), "ql");
    EXPECT_EQ(err.text(),
              "ql: no host specified.\n"
              "ql: use -Hhost:port option or KOVARI_QRN_ASK\n"
              "ql: or KOVARI_QRN_TELL environment variables.\n");
}

Bytes bytes_of(std::span<const std::uint8_t> s) { return Bytes(s.begin(), s.end()); }

TEST(Requests, MessageRequestIsTwelveBytes)
{
    LookupBuffer buf;
    buf.fill(0xEE);
    EXPECT_EQ(bytes_of(build_message_request(buf)),
              (Bytes{0x81, 0xCC, 0x00, 0x02, 0, 0, 0, 0, 'K', 'V', 'm', 's'}));
}

TEST(Requests, QueriesArePaddedToWholeWords)
{
    LookupBuffer buf;
    buf.fill(0xEE);  // padding must be written, not left over
    const Bytes head = {0x81, 0xCC, 0x00, 0x03, 0, 0, 0, 0, 'K', 'V', 'l', 'q'};
    auto with = [&](Bytes tail, std::uint8_t length) {
        Bytes b = head;
        b[3] = length;
        b.insert(b.end(), tail.begin(), tail.end());
        return b;
    };
    EXPECT_EQ(bytes_of(build_query(buf, "x")), with({'x', 0, 0, 0}, 3));
    EXPECT_EQ(bytes_of(build_query(buf, "abc")), with({'a', 'b', 'c', 0}, 3));
    EXPECT_EQ(bytes_of(build_query(buf, "abcd")), with({'a', 'b', 'c', 'd', 0, 0, 0, 0}, 4));
    EXPECT_EQ(bytes_of(build_query(buf, "")), with({0, 0, 0, 0}, 3));
    EXPECT_EQ(bytes_of(build_query(buf, "-C")), with({'-', 'C', 0, 0}, 3));
}

TEST(Requests, LongestQueryFillsTheBufferExactly)
{
    LookupBuffer buf;
    const std::string text(kMaxQueryText, 'q');
    const auto r = build_query(buf, text);
    ASSERT_EQ(r.size(), 1024u);
    EXPECT_EQ(r[2], 0x00);  // 1024 / 4 - 1 = 255
    EXPECT_EQ(r[3], 0xFF);
    EXPECT_EQ(r[1022], 'q');
    EXPECT_EQ(r[1023], 0);
}

TEST(Requests, AQueryTheServerCannotReceiveWholeIsFoundBeforeSending)
{
    const std::string fits(1011, 'a'), too_long(1012, 'b');
    RunState run;
    const char* ok[] = {"quorinq", "x", fits.c_str()};
    EXPECT_FALSE(overlong_query(run, 3, ok));
    const char* bad[] = {"quorinq", "x", too_long.c_str(), "y"};
    EXPECT_EQ(overlong_query(run, 4, bad), too_long);
}

}  // namespace
}  // namespace kovari
