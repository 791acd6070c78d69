// SPDX-License-Identifier: BSD-2-Clause
// Decoding match replies and the output modes, against byte-exact replies.
#include <gtest/gtest.h>

#include "devkit/packets.h"
#include "devkit/streams.h"
#include "lookup/lookup.h"

namespace kovari {
namespace {

using devkit::Bytes;
using devkit::Capture;
using devkit::Chunk;
using devkit::Item;
using devkit::make_ssrc;
using devkit::match_reply;

Item priv(char letter, const std::string& value) { return {kItemPRIV, std::string("\1") + letter + value}; }

// The whole reply for one site as the server writes it: SSRC AA BB CC DD,
// cname ann, name "Anne Lee", e-mail Ann.Lee, port 2076, 10.0.0.1, time
// 870000000 (10:40 UTC).
const Bytes kAnnReply = {
    0x81, 0xCA, 0x00, 0x10, 0xAA, 0xBB, 0xCC, 0xDD,
    1, 3, 'a', 'n', 'n',
    2, 8, 'A', 'n', 'n', 'e', ' ', 'L', 'e', 'e',
    3, 7, 'A', 'n', 'n', '.', 'L', 'e', 'e',
    8, 6, 1, 'P', '2', '0', '7', '6',
    8, 10, 1, 'I', '1', '0', '.', '0', '.', '0', '.', '1',
    8, 11, 1, 'T', '8', '7', '0', '0', '0', '0', '0', '0', '0',
    0, 0, 0};

// Runs handle_reply with both streams captured; `same` sends standard
// error into the standard output capture to show the order of the two.
struct Shown {
    std::string out, err;
    RunState run;
};
Shown show(const Bytes& reply, RunState run = {}, bool same = false)
{
    Capture out, err;
    // Each case gets an exact-size copy, so a read past the end is a read
    // past the allocation (caught by the sanitizer build).
    const auto copy = std::make_unique<std::uint8_t[]>(reply.size());
    std::copy(reply.begin(), reply.end(), copy.get());
    handle_reply(run, std::span<const std::uint8_t>(copy.get(), reply.size()), out.stream(),
                 same ? out.stream() : err.stream());
    return {out.text(), err.text(), run};
}

RunState modes(bool list, bool address, bool table, bool debug = false)
{
    RunState r;
    r.list_output = list;
    r.address_output = address;
    r.table_output = table;
    r.debug_output = debug;
    return r;
}

Chunk alice(std::uint32_t ssrc = 1, const char* ip = "10.0.0.1")
{
    return {make_ssrc(ssrc), {{kItemCNAME, "alice"}, {kItemNAME, "Ann"}, priv('P', "2076"),
                              priv('I', ip), priv('T', "0")}};
}

TEST(MatchReply, ServerReplyDecodesIntoEveryField)
{
    ASSERT_EQ(kAnnReply.size(), 68u);
    const auto sites = decode_match_reply(kAnnReply);
    ASSERT_EQ(sites.size(), 1u);
    const Site& s = sites[0];
    EXPECT_EQ(s.ssrc, (Ssrc{0xAA, 0xBB, 0xCC, 0xDD}));
    EXPECT_EQ(s.cname, "ann");
    EXPECT_EQ(s.name, "Anne Lee");
    EXPECT_EQ(s.email, "Ann.Lee");
    EXPECT_FALSE(s.phone);
    EXPECT_EQ(s.port, 2076);
    EXPECT_EQ(dotted(s.ip), "10.0.0.1");
    EXPECT_EQ(s.time, 870000000);
}

TEST(MatchReply, EmptyReplyPrintsNothingAndCountsNothing)
{
    const Shown r = show({0x80, 0xCA, 0x00, 0x00}, modes(true, true, true, true));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.run.sites_shown, 0);
}

TEST(ListOutput, AddressPaddedToTwentyFourThenCnameAndName)
{
    EXPECT_EQ(show(match_reply({alice()})).out, "10.0.0.1:2076            alice (Ann)\n");
    Chunk plain = alice();
    plain.items.erase(plain.items.begin() + 1);
    EXPECT_EQ(show(match_reply({plain})).out, "10.0.0.1:2076            alice\n");
    EXPECT_EQ(show(kAnnReply).out, "10.0.0.1:2076            ann (Anne Lee)\n");
}

TEST(ListOutput, WideAddressIsNeverCut)
{
    const Chunk c{make_ssrc(1), {{kItemCNAME, "c"}, priv('P', "-25536"), priv('I', "255.255.255.255")}};
    EXPECT_EQ(show(match_reply({c})).out, "255.255.255.255:-25536   c\n");
    const Chunk w{make_ssrc(1), {{kItemCNAME, "c"}, priv('P', "-25536"), priv('I', "100.200.100.200")}};
    EXPECT_EQ(show(match_reply({w})).out, "100.200.100.200:-25536   c\n");
}

TEST(ListOutput, OverlongTextsArePrintedWhole)
{
    const std::string cname(255, 'c'), name(255, 'n');
    const Chunk c{make_ssrc(1), {{kItemCNAME, cname}, {kItemNAME, name}, priv('I', "10.0.0.1")}};
    EXPECT_EQ(show(match_reply({c})).out,
              "10.0.0.1:0               " + cname + " (" + name + ")\n");
}

TEST(ListOutput, ChunkWithoutCnameShowsAnEmptyText)
{
    const Chunk c{make_ssrc(1), {{kItemNAME, "Ann"}, priv('P', "5"), priv('I', "10.0.0.1")}};
    EXPECT_EQ(show(match_reply({c})).out, "10.0.0.1:5                (Ann)\n");
    EXPECT_EQ(show(match_reply({c}), modes(false, false, true)).out,
              "\n10.0.0.1:5               " + std::string(49, ' ') + "00:00\n" +
                  std::string(25, ' ') + "Ann\n");
}

TEST(TableOutput, EntryHasTheLayoutOfTheStatusPage)
{
    EXPECT_EQ(show(match_reply({alice()}), modes(false, false, true)).out,
              "\n10.0.0.1:2076            alice" + std::string(44, ' ') + "00:00\n" +
                  std::string(25, ' ') + "Ann\n");
    const Chunk full{make_ssrc(1),
                     {{kItemCNAME, "bob"}, {kItemNAME, "Bob B"}, {kItemEMAIL, "bob@b"},
                      {kItemPHONE, "+1 555"}, {kItemLOC, "Oxford"}, {kItemTOOL, "kv 1"},
                      priv('P', "2076"), priv('I', "10.0.0.2"), priv('T', "870000000")}};
    const std::string in(25, ' ');
    EXPECT_EQ(show(match_reply({full}), modes(false, false, true)).out,
              "\n10.0.0.2:2076            bob" + std::string(46, ' ') + "10:40\n" +
                  in + "Bob B\n" + in + "Oxford\n" + in + "Phone:  +1 555\n" + in +
                  "E-mail: bob@b\n");
}

TEST(TerminalText, NoReplyCanSteerTheTerminal)
{
    const struct {
        std::string in;
        bool utf8;
        std::string out;
    } cases[] = {
        {"\xc5\x81ukasz \xe7\x8e\x8b", false, "\xc5\x81ukasz \xe7\x8e\x8b"},
        {"a\x1b]0;title\x07" "b\nc", true, "a]0;titlebc"},
        {"a\xc2\x9b" "31mb\x9b" "c\x7f", true, "a31mbc"},
        {"Zo\xeb", true, "Zo\xc3\xab"},  // 8-bit text on a UTF-8 terminal
        {"Zo\xeb", false, "Zo\xeb"},      // and on an 8-bit one
    };
    for (const auto& c : cases)
        EXPECT_EQ(terminal_text(c.in, c.utf8), c.out) << c.in;
}

TEST(TableOutput, ColumnsCountWhatTheTerminalShows)
{
    const Chunk wide{make_ssrc(1), {{kItemCNAME, "\xe7\x8e\x8b\xe5\xb0\x8f\xe6\x98\x8e"}, priv('I', "10.0.0.1")}};
    RunState run = modes(false, false, true);
    run.utf8_terminal = true;
    // Three characters of two columns each: 42 blanks fill the 48.
    EXPECT_EQ(show(match_reply({wide}), run).out,
              "\n10.0.0.1:0               \xe7\x8e\x8b\xe5\xb0\x8f\xe6\x98\x8e" + std::string(43, ' ') +
                  "00:00\n");
}

TEST(AddressOutput, NoBlankBeforeTheFirstAddressOfTheRun)
{
    const Bytes two = match_reply({alice(1, "10.0.0.1"), alice(2, "10.0.0.2")});
    EXPECT_EQ(show(two, modes(false, true, false)).out, "-p10.0.0.1:2076 -p10.0.0.2:2076");
    RunState later = modes(false, true, false);
    later.sites_shown = 1;  // an earlier query of the run found a site
    const Shown r = show(match_reply({alice(3, "10.0.0.3")}), later);
    EXPECT_EQ(r.out, " -p10.0.0.3:2076");
    EXPECT_EQ(r.run.sites_shown, 2);
}

TEST(AddressOutput, AddressComesBeforeTheTableEntry)
{
    EXPECT_EQ(show(match_reply({alice()}), modes(false, true, true)).out,
              "-p10.0.0.1:2076\n10.0.0.1:2076            alice" + std::string(44, ' ') +
                  "00:00\n" + std::string(25, ' ') + "Ann\n");
}

TEST(DebugOutput, DumpComesBeforeTheSiteOtherOutput)
{
    const Shown r = show(kAnnReply, modes(true, false, false, true), true);
    EXPECT_EQ(r.out,
              "SSRC = DDCCBBAA IP = 10.0.0.1 Port 2076 Sun Jul 27 10:40:00 1997\n"
              "\t CNAME = ann\n"
              "\t  NAME = Anne Lee\n"
              "\t EMAIL = Ann.Lee\n"
              "10.0.0.1:2076            ann (Anne Lee)\n");
}

TEST(DebugOutput, CountsSitesWhateverTheModes)
{
    const Shown r = show(match_reply({alice(1), alice(2)}), modes(false, false, false));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.run.sites_shown, 2);
}

TEST(PrivateItems, PortsAreSignedSixteenBit)
{
    const struct {
        const char* text;
        const char* shown;
    } cases[] = {{"40000", "-25536"}, {"-25536", "-25536"}, {"2076", "2076"}, {"70000", "4464"},
                 {"65535", "-1"},     {" +7x", "7"},        {"abc", "0"},      {"", "0"}};
    for (const auto& c : cases) {
        const Chunk ch{make_ssrc(1), {{kItemCNAME, "a"}, priv('P', c.text), priv('I', "10.0.0.1")}};
        EXPECT_EQ(show(match_reply({ch}), modes(false, true, false)).out,
                  std::string("-p10.0.0.1:") + c.shown)
            << c.text;
    }
}

TEST(PrivateItems, UnreadableAddressGivesAllOnes)
{
    for (const char* text : {"not.an.address", "", "10.0.0.300"}) {
        const Chunk ch{make_ssrc(1), {{kItemCNAME, "a"}, priv('P', "1"), priv('I', text)}};
        EXPECT_EQ(show(match_reply({ch})).out, "255.255.255.255:1        a\n") << text;
    }
}

TEST(PrivateItems, OtherPrefixesAndItemTypesChangeNothing)
{
    const Chunk ch{make_ssrc(1),
                   {{kItemCNAME, "a"},
                    {kItemPRIV, "\2PP99"},        // prefix length 2
                    {kItemPRIV, "\1X10.9.9.9"},   // unknown prefix
                    {kItemPRIV, "\1"},            // too short to hold a prefix
                    {7, "ignored"},
                    {200, "ignored"},
                    priv('I', "10.0.0.1")}};
    EXPECT_EQ(show(match_reply({ch})).out, "10.0.0.1:0               a\n");
}

TEST(PrivateItems, MissingItemsLeaveZeros)
{
    const Chunk ch{make_ssrc(1), {{kItemCNAME, "a"}}};
    EXPECT_EQ(show(match_reply({ch}), modes(true, false, true)).out,
              "0.0.0.0:0                a\n\n0.0.0.0:0                a" + std::string(48, ' ') +
                  "00:00\n");
}

TEST(MatchReply, LaterItemOfTheSameTypeWins)
{
    const Chunk ch{make_ssrc(1),
                   {{kItemCNAME, "first"}, {kItemCNAME, "second"}, priv('I', "1.2.3.4"),
                    priv('I', "10.0.0.1")}};
    EXPECT_EQ(show(match_reply({ch})).out, "10.0.0.1:0               second\n");
}

TEST(MatchReply, ItemTextStopsAtAnEmbeddedNul)
{
    const Chunk ch{make_ssrc(1), {{kItemCNAME, std::string("ab\0cd", 5)}, priv('I', "10.0.0.1")}};
    EXPECT_EQ(show(match_reply({ch})).out, "10.0.0.1:0               ab\n");
}

// --- replies that end early or lie about their contents ---

TEST(TruncatedReply, OnlyChunksThatArrivedWholeArePrinted)
{
    const Bytes full = match_reply({alice(1, "10.0.0.1"), alice(2, "10.0.0.2")});
    // Where each chunk's 0 item sits: its end, less its alignment.
    const Bytes one = match_reply({alice(1, "10.0.0.1")});
    std::size_t end1 = one.size();
    while (one[end1 - 1] == 0 && one[end1 - 2] == 0)
        --end1;  // end1 is one past the 0 item of the first chunk
    std::size_t end2 = full.size();
    while (full[end2 - 1] == 0 && full[end2 - 2] == 0)
        --end2;
    for (std::size_t n = 0; n <= full.size(); ++n) {
        const Bytes cut(full.begin(), full.begin() + long(n));
        const Shown r = show(cut, modes(true, false, false));
        std::string want;
        if (n >= end1)
            want += "10.0.0.1:2076            alice (Ann)\n";
        if (n >= end2)
            want += "10.0.0.2:2076            alice (Ann)\n";
        EXPECT_EQ(r.out, want) << "cut at " << n;
        EXPECT_EQ(r.run.sites_shown, long(std::count(want.begin(), want.end(), '\n')));
    }
}

TEST(LyingReply, CountAboveTheChunksPresentPrintsWhatIsThere)
{
    Bytes r = match_reply({alice(1, "10.0.0.1"), alice(2, "10.0.0.2")});
    r[0] = 0x80 | 31;
    EXPECT_EQ(show(r).out,
              "10.0.0.1:2076            alice (Ann)\n10.0.0.2:2076            alice (Ann)\n");
}

TEST(LyingReply, CountBelowTheChunksPresentStopsAtTheCount)
{
    Bytes r = match_reply({alice(1, "10.0.0.1"), alice(2, "10.0.0.2")});
    r[0] = 0x81;
    EXPECT_EQ(show(r).out, "10.0.0.1:2076            alice (Ann)\n");
    r[0] = 0xE0;  // other bits set, count 0
    EXPECT_EQ(show(r).out, "");
}

TEST(LyingReply, ItemLengthPastTheEndDropsTheChunk)
{
    Bytes r = match_reply({alice(1, "10.0.0.1")});
    const Bytes second = {0, 0, 0, 2, 1, 200, 'x', 'y'};  // cname claims 200 bytes
    r.insert(r.end(), second.begin(), second.end());
    r[0] = 0x82;
    EXPECT_EQ(show(r).out, "10.0.0.1:2076            alice (Ann)\n");
}

TEST(LyingReply, ChunkWithoutEndItemIsNotPrinted)
{
    // The items fill the reply exactly, but no 0 item follows them.
    const Bytes r = {0x81, 0xCA, 0, 2, 1, 2, 3, 4, 1, 2, 'a', 'b'};
    EXPECT_EQ(show(r).out, "");
    // A type byte at the very end, without its length byte.
    const Bytes t = {0x81, 0xCA, 0, 2, 1, 2, 3, 4, 1, 1, 'a', 2};
    EXPECT_EQ(show(t).out, "");
}

TEST(LyingReply, MissingAlignmentAfterTheLastEndItemIsHarmless)
{
    const Bytes r = {0x81, 0xCA, 0, 2, 1, 2, 3, 4, 1, 1, 'a', 0};
    EXPECT_EQ(show(r).out, "0.0.0.0:0                a\n");
    const Bytes short_pad = {0x81, 0xCA, 0, 2, 1, 2, 3, 4, 1, 2, 'a', 'b', 0};
    EXPECT_EQ(show(short_pad).out, "0.0.0.0:0                ab\n");
}

TEST(LyingReply, HeaderOnlyOrLessPrintsNothing)
{
    for (const Bytes& r : {Bytes{0x85}, Bytes{0x85, 0xCA, 0}, Bytes{0x85, 0xCA, 0, 9},
                           Bytes{0x85, 0xCA, 0, 9, 1, 2}}) {
        const Shown s = show(r, modes(true, true, true, true));
        EXPECT_EQ(s.out, "");
        EXPECT_EQ(s.err, "");
        EXPECT_EQ(s.run.sites_shown, 0);
    }
}

TEST(LyingReply, EveryCutOfEveryByteFlipDecodesWithinBounds)
{
    // A broad sweep: each single-byte change of a two-chunk reply, cut at
    // every length. Nothing may crash or read past the copy.
    const Bytes base = match_reply({alice(1, "10.0.0.1"), alice(2, "10.0.0.2")});
    for (std::size_t at = 0; at < base.size(); ++at) {
        for (std::uint8_t v : {std::uint8_t(0), std::uint8_t(1), std::uint8_t(8), std::uint8_t(0xFF)}) {
            Bytes r = base;
            r[at] = v;
            for (std::size_t n = 1; n <= r.size(); n += 7) {
                const Bytes cut(r.begin(), r.begin() + long(n));
                const Shown s = show(cut, modes(true, true, true, true));
                EXPECT_LE(s.run.sites_shown, 2);
            }
        }
    }
}

// --- the server message ---

TEST(MessageReply, TextBetweenHeaderAndNulIsWrittenAsIs)
{
    RunState run;
    run.message_pending = true;
    Bytes r = {0x81, 0xCC, 0x00, 0x03, 0, 0, 0, 0, 'K', 'V', 'm', 'r'};
    const std::string text = "Hello\n";
    r.insert(r.end(), text.begin(), text.end());
    r.push_back(0);
    ASSERT_EQ(r.size(), 19u);
    const Shown s = show(r, run);
    EXPECT_EQ(s.out, "Hello\n");
    EXPECT_FALSE(s.run.message_pending);
    EXPECT_EQ(s.run.sites_shown, 0);
}

TEST(MessageReply, ControlBytesAreDroppedButLinesAndTabsKeptAndTheFinalByteDropped)
{
    RunState run;
    run.message_pending = true;
    Bytes r = {0x81, 0xCC, 0x00, 0x04, 0, 0, 0, 0, 'K', 'V', 'm', 'r',
               'a', 0, 'b', 0x1b, '[', '2', 'J', 0x9b, '\t', 0xc2, 0x9b, '\n', 'X'};
    EXPECT_EQ(show(r, run).out, "ab[2J\t\n");
}

TEST(MessageReply, ThirteenBytesOrFewerWriteNothing)
{
    const Bytes empty = {0x81, 0xCC, 0x00, 0x02, 0, 0, 0, 0, 'K', 'V', 'm', 'r', 0};
    for (std::size_t n = 1; n <= empty.size(); ++n) {
        RunState run;
        run.message_pending = true;
        const Shown s = show(Bytes(empty.begin(), empty.begin() + long(n)), run);
        EXPECT_EQ(s.out, "") << n;
        EXPECT_EQ(s.err, "") << n;
        EXPECT_FALSE(s.run.message_pending) << n;
    }
}

TEST(MessageReply, OnlyTheFirstReplyOfTheRunIsTheMessage)
{
    RunState run;
    run.message_pending = true;
    Capture out, err;
    const Bytes msg = {0x81, 0xCC, 0x00, 0x02, 0, 0, 0, 0, 'K', 'V', 'm', 'r', 'M', 0};
    handle_reply(run, msg, out.stream(), err.stream());
    handle_reply(run, match_reply({alice()}), out.stream(), err.stream());
    EXPECT_EQ(out.text(), "M10.0.0.1:2076            alice (Ann)\n");
}

// --- JSON output ---

TEST(JsonOutput, ServerReplyIsOneObjectWithTheKeysInTheirOrder)
{
    RunState run = modes(true, true, true);
    run.json_output = true;
    const Shown r = show(kAnnReply, run);
    EXPECT_EQ(r.out,
              "{\"ssrc\": \"DDCCBBAA\", \"cname\": \"ann\", \"name\": \"Anne Lee\", "
              "\"email\": \"Ann.Lee\", \"phone\": null, \"loc\": null, \"tool\": null, "
              "\"address\": \"10.0.0.1\", \"port\": 2076, \"time\": 870000000}\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.run.sites_shown, 1);
}

TEST(JsonOutput, PrivateItemsThatAreNoNumberOrAddressAreNull)
{
    const struct {
        const char *port, *ip, *time, *json;
    } cases[] = {
        {"40000", "10.0.0.2", "-1", "\"address\": \"10.0.0.2\", \"port\": 40000, \"time\": -1}"},
        {"-25536", "255.255.255.255", "0", "\"address\": \"255.255.255.255\", \"port\": -25536, \"time\": 0}"},
        {"", "here", "12:40", "\"address\": null, \"port\": null, \"time\": null}"},
        {" 2076", "10.0.0.x", "1e9", "\"address\": null, \"port\": null, \"time\": null}"},
        {"2076x", "", "1234567890123456789", "\"address\": null, \"port\": null, \"time\": null}"},
    };
    for (const auto& c : cases) {
        const auto found = decode_found_sites(match_reply(
            {{make_ssrc(1), {priv('P', c.port), priv('I', c.ip), priv('T', c.time)}}}));
        ASSERT_EQ(found.size(), 1u);
        const std::string line = json_site_line(found[0]);
        const std::string tail = c.json;
        ASSERT_GE(line.size(), tail.size());
        EXPECT_EQ(line.substr(line.size() - tail.size()), tail) << c.port << " " << c.ip;
    }
}

TEST(JsonOutput, MessageComesAsAnObjectOfItsOwn)
{
    RunState run;
    run.json_output = true;
    run.message_pending = true;
    Capture out, err;
    const Bytes msg = {0x81, 0xCC, 0x00, 0x03, 0, 0, 0, 0, 'K', 'V', 'm', 'r', 'H', 'i', '\n', 0};
    handle_reply(run, msg, out.stream(), err.stream());
    EXPECT_EQ(out.text(), "{\"message\": \"Hi\\n\"}\n");
}

// --- the end of the run ---

TEST(FinishRun, AddressOutputEndsTheLineOrSaysNobody)
{
    const struct {
        bool address;
        long shown;
        const char* out;
        const char* err;
        int status;
        bool json = false;
    } cases[] = {{false, 0, "", "", 0},
                 {false, 3, "", "", 0},
                 {true, 0, "", "No users found.\n", 2},
                 {true, 2, "\n", "", 0},
                 // JSON output keeps the statuses but has no line to end.
                 {false, 0, "", "", 0, true},
                 {true, 0, "", "No users found.\n", 2, true},
                 {true, 2, "", "", 0, true}};
    for (const auto& c : cases) {
        RunState run = modes(!c.address, c.address, false);
        run.json_output = c.json;
        run.sites_shown = c.shown;
        Capture out, err;
        EXPECT_EQ(finish_run(run, out.stream(), err.stream()), c.status);
        EXPECT_EQ(out.text(), c.out);
        EXPECT_EQ(err.text(), c.err);
    }
}

}  // namespace
}  // namespace kovari
