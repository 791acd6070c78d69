// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include <cstdlib>

#include "common/host.h"
#include "common/json.h"
#include "common/report.h"
#include "common/site.h"
#include "common/text.h"
#include "devkit/streams.h"

using namespace kovari;
using devkit::Capture;

namespace {

std::vector<std::uint8_t> bytes(std::initializer_list<int> v)
{
    std::vector<std::uint8_t> b;
    for (int x : v)
        b.push_back(std::uint8_t(x));
    return b;
}

}  // namespace

TEST(ReadItem, GivesTextAndStepsPastIt)
{
    const auto b = bytes({1, 3, 'a', 'n', 'n', 2, 0});
    ByteCursor c(b, 0, b.size());
    EXPECT_EQ(read_item(c), "ann");
    EXPECT_EQ(c.offset(), 5u);
    // A zero-length item is an empty text, not no text.
    const auto t = read_item(c);
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(*t, "");
    EXPECT_EQ(c.offset(), 7u);
    EXPECT_TRUE(c.at_end());
}

TEST(ReadItem, ItemRunningPastTheBytesReceivedIsDropped)
{
    const auto b = bytes({1, 9, 'a', 'n', 'n'});
    ByteCursor c(b, 0, b.size());
    EXPECT_EQ(read_item(c), std::nullopt);
    EXPECT_TRUE(c.at_end());
    // A lone type byte without its length byte.
    const auto one = bytes({1});
    ByteCursor d(one, 0, one.size());
    EXPECT_EQ(read_item(d), std::nullopt);
    EXPECT_TRUE(d.at_end());
}

TEST(ReadItem, BoundIsTheCursorEndNotTheBuffer)
{
    const auto b = bytes({1, 3, 'a', 'n', 'n'});
    ByteCursor c(b, 0, 4);
    EXPECT_EQ(read_item(c), std::nullopt);
}

TEST(ReadItem, TextEndsAtAnEmbeddedNul)
{
    const auto b = bytes({2, 4, 'a', 0, 'b', 'c', 0});
    ByteCursor c(b, 0, b.size());
    EXPECT_EQ(read_item(c), "a");
    EXPECT_EQ(c.offset(), 6u);
}

TEST(ProgramName, TakesThePartAfterTheLastSlash)
{
    EXPECT_EQ(program_name("/usr/local/bin/x"), "x");
    EXPECT_EQ(program_name("x"), "x");
    EXPECT_EQ(program_name("/usr/bin/"), "");
}

TEST(SsrcValue, ReadsTheFourBytesLittleEndian)
{
    EXPECT_EQ(ssrc_value({0xAA, 0xBB, 0xCC, 0xDD}), 0xDDCCBBAAu);
}

TEST(DumpSite, RecordWithoutTextsIsOneLine)
{
    Capture cap;
    Site s;
    s.ssrc = {0xAA, 0xBB, 0xCC, 0xDD};
    s.ip = 0x0100000a;  // 10.0.0.1
    s.port = -25536;
    s.time = 870000000;
    dump_site(cap.stream(), view_of(s));
    EXPECT_EQ(cap.text(), "SSRC = DDCCBBAA IP = 10.0.0.1 Port -25536 Sun Jul 27 10:40:00 1997\n");
}

TEST(DumpSite, EachTextOnItsOwnLineInFieldOrder)
{
    Capture cap;
    Site s;
    s.tool = "kvphone";
    s.cname = "ann";
    s.loc = "";
    s.name = "Ann";
    s.email = "*a@x";
    s.phone = "123";
    dump_site(cap.stream(), view_of(s));
    EXPECT_EQ(cap.text(), "SSRC = 0 IP = 0.0.0.0 Port 0 Thu Jan  1 00:00:00 1970\n"
                          "\t CNAME = ann\n"
                          "\t  NAME = Ann\n"
                          "\t EMAIL = *a@x\n"
                          "\t PHONE = 123\n"
                          "\t   LOC = \n"
                          "\t  TOOL = kvphone\n");
}

TEST(AddressText, PortPrintsSigned)
{
    EXPECT_EQ(address_text(0x0100000a, 2076), "10.0.0.1:2076");
    EXPECT_EQ(address_text(0x0100000a, std::int16_t(40000)), "10.0.0.1:-25536");
}

TEST(ParseDecimal, ReadsLikeStrtol)
{
    EXPECT_EQ(parse_decimal("2077"), 2077);
    EXPECT_EQ(parse_decimal("  -12x"), -12);
    EXPECT_EQ(parse_decimal("+7"), 7);
    EXPECT_EQ(parse_decimal("abc"), 0);
    EXPECT_EQ(parse_decimal(""), 0);
    // The same as strtol itself, at the edges of the range too.
    for (const char* t : {"\t\n\v\f\r 5", "- 5", "-", "+-1", "007", "9223372036854775807", "9223372036854775808",
                          "99999999999999999999", "-9223372036854775808", "-9223372036854775809",
                          "-99999999999999999999", "65537x"})
        EXPECT_EQ(parse_decimal(t), std::strtol(t, nullptr, 10)) << t;
    // A text that is not NUL-terminated ends where its view does.
    EXPECT_EQ(parse_decimal(std::string_view("2076999", 4)), 2076);
}

TEST(LowerCase, FoldsUtf8LettersAndOnlyAsciiCapitalsOf8BitText)
{
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"AbZ@[\xC4\xE4", "abz@[\xC4\xE4"},                      // not UTF-8: A-Z only
        {"\xC5\x81UKASZ", "\xC5\x82ukasz"},                        // Łukasz
        {"ZO\xC3\x8B \xC3\x80", "zo\xC3\xAB \xC3\xA0"},               // ZOË À
        {"\xE2\x84\xAA", "k"},                                    // the Kelvin sign folds to 'k'
        {"\xC5\x81\xE9", "\xC5\x81\xE9"},                            // one stray byte: 8-bit text
    };
    for (const auto& c : cases) {
        std::string t = c.in;
        lower_case(t);
        EXPECT_EQ(t, c.out) << c.in;
    }
}

TEST(EscapeControls, ControlBytesBecomeHexAndUtf8Stays)
{
    EXPECT_EQ(escape_controls("a\nBye: x\x1b[31m\x7f\xc5\x81"), "a\\x0ABye: x\\x1B[31m\\x7F\xc5\x81");
}

TEST(JsonString, AnyBytesGiveAValidStringThatReadsAsThePagesShowThem)
{
    using namespace std::string_view_literals;
    const struct {
        std::string_view in, out;
    } cases[] = {
        {""sv, R"("")"sv},
        {"Ann Smith"sv, R"("Ann Smith")"sv},
        {"a\"b\\c/d"sv, R"("a\"b\\c/d")"sv},
        {"\b\f\n\r\t"sv, R"("\b\f\n\r\t")"sv},
        {"\0\x01\x1b[1m\x1f\x7f"sv, R"("\u0000\u0001\u001b[1m\u001f\u007f")"sv},
        {"\xc5\x81\xe2\x82\xac\xf0\x9f\x98\x80"sv, "\"\xc5\x81\xe2\x82\xac\xf0\x9f\x98\x80\""sv},  // UTF-8 as it is
        {"Ren\xe9"sv, "\"Ren\xc3\xa9\""sv},        // a stray byte as Latin-1
        {"\xc5"sv, "\"\xc3\x85\""sv},               // a sequence cut short
        {"\xed\xa0\x80"sv, "\"\xc3\xad\xc2\xa0\\u0080\""sv},  // a surrogate: three stray bytes
        {"\x85\xc2\x85"sv, R"("\u0085\u0085")"sv},  // C1 controls, stray or in UTF-8
        {"\xc2\x9f\xc2\xa0"sv, "\"\\u009f\xc2\xa0\""sv},     // the last C1 control, then no-break space
        {"\xe2\x82"sv, "\"\xc3\xa2\\u0082\""sv},             // a longer sequence cut short
        {"\xc0\xaf"sv, "\"\xc3\x80\xc2\xaf\""sv},             // an overlong form
        {"\x9b\xff"sv, "\"\\u009b\xc3\xbf\""sv},             // stray bytes at both ends of the range
    };
    for (const auto& c : cases)
        EXPECT_EQ(json_string(c.in), c.out) << escape_controls(c.in);
}

TEST(HostPort, PortFollowsTheFirstColonLikeStrtol)
{
    const struct {
        const char* text;
        const char* host;
        long port;
    } cases[] = {
        {"10.0.0.1:2000", "10.0.0.1", 2000}, {"10.0.0.1", "10.0.0.1", 2076},
        {"10.0.0.1:", "10.0.0.1", 0},        {"10.0.0.1:70000", "10.0.0.1", 70000},
        {"h: +12x", "h", 12},                {"h:-5", "h", -5},
        {"h:1:2", "h", 1},                   {":99", "", 99},
        {"", "", 2076},
    };
    for (const auto& c : cases) {
        const HostPort n = split_host_port(c.text);
        EXPECT_EQ(n.host, c.host) << c.text;
        EXPECT_EQ(n.port, c.port) << c.text;
    }
}

TEST(HostPort, DottedAddressesNeedNoResolver)
{
    // The server's -F list and the lookup's -H read hosts alike: a dotted
    // address, even in its short forms or with white space after it, is
    // taken as it stands; no name at all is unknown.
    const struct {
        const char* host;
        std::optional<std::uint32_t> ip;
    } cases[] = {
        {"127.0.0.2", 0x0200007f}, {"127.1", 0x0100007f}, {"127.0.0.3 ", 0x0300007f}, {"", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(resolve_host(c.host), c.ip) << '"' << c.host << '"';
}
