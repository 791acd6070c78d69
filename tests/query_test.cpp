// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include "devkit/sites.h"
#include "server/activity.h"
#include "server/query.h"
#include "server_fixture.h"

using namespace kovari;
using namespace kovari::devkit;
using namespace kovari::testing;

namespace {

SiteView view(std::optional<std::string_view> cname, std::optional<std::string_view> email,
              std::optional<std::string_view> name)
{
    SiteView s;
    s.cname = cname;
    s.email = email;
    s.name = name;
    return s;
}

std::string cleaned(std::uint8_t type, std::string_view text)
{
    std::uint8_t area[300] = {};
    std::size_t cursor = 0;
    put_item(type, text, area, cursor);
    if (cursor == 0)
        return "<nothing>";
    EXPECT_EQ(area[0], type);
    EXPECT_EQ(area[1], cursor - 2);
    return std::string(reinterpret_cast<const char*>(area + 2), cursor - 2);
}

}  // namespace

TEST(SiteMatches, ListedSiteBySubstringOfEmailOrName)
{
    const auto s = view("ann", "Ann.Lee", "Anne Lee Smith");
    EXPECT_TRUE(site_matches("ann", s));
    EXPECT_TRUE(site_matches("lee", s));
    EXPECT_TRUE(site_matches("smith", s));
    EXPECT_TRUE(site_matches("", s));
    EXPECT_FALSE(site_matches("*ann", s));
    EXPECT_TRUE(site_matches("*ann.lee", s));
    EXPECT_FALSE(site_matches("bob", s));
}

TEST(SiteMatches, CnameIsTheCandidateWithoutEmail)
{
    EXPECT_TRUE(site_matches("nn", view("Ann", std::nullopt, std::nullopt)));
    EXPECT_FALSE(site_matches("x", view("Ann", std::nullopt, std::nullopt)));
    // With an email, the cname is not searched.
    EXPECT_FALSE(site_matches("ann", view("ann", "bob@x", std::nullopt)));
}

TEST(SiteMatches, UnlistedSiteOnlyByExactQuery)
{
    const auto s = view("*ann", std::nullopt, "Ann");
    EXPECT_TRUE(site_matches("ann", s));
    EXPECT_TRUE(site_matches("*ann", s));
    EXPECT_FALSE(site_matches("an", s));
    EXPECT_FALSE(site_matches("", s));
    // A marked cname makes the email comparison exact too.
    const auto e = view("*ann", "Ann.Lee", std::nullopt);
    EXPECT_TRUE(site_matches("ann.lee", e));
    EXPECT_TRUE(site_matches("*ann.lee", e));
    EXPECT_FALSE(site_matches("ann", e));
    // A candidate that is only the marker is found by the empty query.
    EXPECT_TRUE(site_matches("", view("x", "*", std::nullopt)));
    // Only one '*' comes off each side.
    EXPECT_FALSE(site_matches("**ann", s));
}

struct CleanCase {
    const char* name;
    std::string in;
    std::string out;
};

TEST(PutItem, CleansTextsForDisplay)
{
    const CleanCase cases[] = {
        {"tags vanish, runs of blanks shrink", "<b>Bold</b>  text", "Bold text"},
        {"a '<' without '>' stays", "a < b", "a < b"},
        {"the blank after a leading tag survives", " <i> x", " x"},
        {"white space becomes one blank, trailing goes", "x\ty\r\n", "x y"},
        {"leading white space goes", "  \t x", "x"},
        {"control characters go", std::string("a\x01\x7f\x80\xA0") + "b", "ab"},
        {"high bytes stay", "\xA1\xFF", "\xA1\xFF"},
        {"only blanks and tags", " <b> </b> ", "<nothing>"},
        {"empty", "", "<nothing>"},
        {"tag then white space is skipped when a blank was written last", "a <b> c", "a c"},
        {"UTF-8 letters stay whole", "\xc5\x81ukasz Wa\xc5\x82\xc4\x99sa", "\xc5\x81ukasz Wa\xc5\x82\xc4\x99sa"},
        {"CJK stays whole", "\xe7\x8e\x8b\xe5\xb0\x8f\xe6\x98\x8e", "\xe7\x8e\x8b\xe5\xb0\x8f\xe6\x98\x8e"},
        {"a C1 control in UTF-8 goes whole", "a\xc2\x85" "b", "ab"},
        {"a no-break space is white space", "a\xc2\xa0\xc2\xa0 b\xc2\xa0", "a b"},
        {"8-bit bytes keep the byte rules", "\x85\xe9t\xe9", "\xe9t\xe9"},
        {"an overlong form is not UTF-8", "\xc0\xaf", "\xc0\xaf"},
        {"clean words stay as they are", "Ann Lee (2076) a.b@c", "Ann Lee (2076) a.b@c"},
        {"a doubled blank among clean words shrinks", "Ann  Lee", "Ann Lee"},
        {"a blank at the end of clean words goes", "Ann Lee ", "Ann Lee"},
        {"a tab among clean words becomes a blank", "Ann\tLee", "Ann Lee"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(cleaned(kItemNAME, c.in), c.out) << c.name;
}

TEST(PutItem, CutsLongTextsAtABlankOrAt47)
{
    EXPECT_EQ(cleaned(kItemNAME, std::string(48, 'x')), std::string(48, 'x'));
    EXPECT_EQ(cleaned(kItemNAME, std::string(49, 'x')), std::string(47, 'x'));
    std::string sixty(60, 'y');
    sixty[10] = ' ';
    sixty[40] = ' ';
    EXPECT_EQ(cleaned(kItemNAME, sixty), sixty.substr(0, 40));
    std::string early(60, 'z');
    early[31] = ' ';  // below position 32: not a cut point
    EXPECT_EQ(cleaned(kItemNAME, early), early.substr(0, 47));
    EXPECT_EQ(cleaned(kItemNAME, std::string(255, 'w')), std::string(47, 'w'));
    // The cut at 47 moves back to the first byte of a character it would
    // split; a blank is never inside one.
    std::string wide;
    for (int i = 0; i < 20; ++i)
        wide += "\xe7\x8e\x8b";  // 3 bytes each: byte 47 lies inside the 16th
    EXPECT_EQ(cleaned(kItemNAME, wide), wide.substr(0, 45));
    EXPECT_EQ(cleaned(kItemNAME, "x" + wide), ("x" + wide).substr(0, 46));
}

TEST(PutItem, PrivateItemKeepsItsPrefixByte)
{
    EXPECT_EQ(cleaned(kItemPRIV, "\1P2076"), "\1P2076");
    std::uint8_t area[16] = {};
    std::size_t cursor = 0;
    put_item(kItemPRIV, "\1P2076", area, cursor);
    EXPECT_EQ(Bytes(area, area + cursor), (Bytes{8, 6, 1, 'P', '2', '0', '7', '6'}));
}

TEST(AnswerQuery, EmptyTableGivesTheFourByteReply)
{
    TestServer t;
    EXPECT_EQ(t.reply_of(query_packet("x")), (Bytes{0x80, 0xCA, 0x00, 0x00}));
}

TEST(AnswerQuery, WholeReplyOfOneUnlistedSite)
{
    TestServer t;
    enter_site(t.srv, site_record(sample_ann(), ipv4("10.0.0.1"), 870000000), 870000000, 0);
    Bytes want = {0x81, 0xCA, 0x00, 0x10, 0xAA, 0xBB, 0xCC, 0xDD};
    auto add = [&](std::uint8_t type, const std::string& text) {
        want.push_back(type);
        want.push_back(std::uint8_t(text.size()));
        want.insert(want.end(), text.begin(), text.end());
    };
    add(1, "ann");
    add(2, "Anne Lee");
    add(3, "Ann.Lee");
    add(8, "\1P2076");
    add(8, "\1I10.0.0.1");
    add(8, "\1T870000000");
    want.insert(want.end(), {0, 0, 0});
    ASSERT_EQ(want.size(), 68u);
    EXPECT_EQ(t.reply_of(query_packet("*ANN.LEE")), want);
    EXPECT_EQ(t.reply_of(query_packet("")), (Bytes{0x80, 0xCA, 0x00, 0x00}));
}

TEST(AnswerQuery, ChunksFollowTableOrderAndLeaveOutEmptyItems)
{
    TestServer t;
    Site a;
    a.cname = "<i></i>";  // cleans to nothing: no CNAME item
    a.ssrc = make_ssrc(1);
    enter_site(t.srv, std::move(a), 0, 0);
    Site b;
    b.cname = "bob";
    b.ssrc = make_ssrc(2);
    b.port = -25536;
    enter_site(t.srv, std::move(b), 0, 0);
    const Bytes r = t.reply_of(query_packet(""));
    ASSERT_GE(r.size(), 8u);
    EXPECT_EQ(r[0], 0x82);
    EXPECT_EQ(r[4], 2);  // bob, the newer site, first
    EXPECT_EQ(std::string(r.begin() + 8, r.begin() + 13), "\1\3bob");
    EXPECT_NE(std::string(r.begin(), r.end()).find("\1P-25536"), std::string::npos);
    // The second chunk goes straight from its SSRC to the private items.
    const std::string all(r.begin(), r.end());
    const auto second = all.find(std::string("\1\0\0\0\x08", 5));
    ASSERT_NE(second, std::string::npos);
}

namespace {

// A site whose chunk is exactly `chunk_size` bytes (a multiple of 4).
Site sized_site(int i, std::size_t chunk_size)
{
    // SSRC 4 + P "\1P2076" 8 + I "\1I10.0.0.1" 12 + T "\1T0" 5 + end 1 = 30,
    // plus the CNAME item (2 + L), padded to 4.
    Site s;
    s.ssrc = make_ssrc(std::uint32_t(i));
    s.ip = ipv4("10.0.0.1");
    s.port = 2076;
    s.time = 0;
    const std::size_t fixed = 30;
    std::size_t len = chunk_size - fixed - 2;
    std::string cname = std::to_string(i) + std::string(48, 'c');
    s.cname = cname.substr(0, std::min<std::size_t>(len, 48));
    len -= s.cname->size();
    if (len > 2) {
        s.name = std::string(std::min<std::size_t>(len - 2, 48), 'n');
        len -= 2 + s.name->size();
    }
    if (len > 2) {
        s.loc = std::string(len - 2, 'l');
        len = 0;
    }
    return s;
}

}  // namespace

TEST(AnswerQuery, ReplyStopsAtTheFirstChunkThatWouldPassTheCap)
{
    TestServer t;
    for (int i = 5; i >= 1; --i)
        enter_site(t.srv, sized_site(i, 136), 0, 0);
    const Bytes r = t.reply_of(query_packet(""));
    EXPECT_EQ(r.size(), 412u);
    EXPECT_EQ(r[0], 0x83);
    EXPECT_EQ(r[2], 0);
    EXPECT_EQ(r[3], 102);
}

TEST(AnswerQuery, LaterSmallSitesAreLeftOutToo)
{
    TestServer t;
    Site small;
    small.cname = "s";
    small.ssrc = make_ssrc(99);
    enter_site(t.srv, std::move(small), 0, 0);
    for (int i = 4; i >= 1; --i)
        enter_site(t.srv, sized_site(i, 136), 0, 0);
    const Bytes r = t.reply_of(query_packet(""));
    EXPECT_EQ(r.size(), 412u);
    EXPECT_EQ(r[0], 0x83);
}

TEST(AnswerQuery, ReplyOfExactly512BytesIsSentWhole)
{
    TestServer t;
    // 4 + 3 * 136 = 412; one more chunk of 100 makes 512.
    enter_site(t.srv, sized_site(9, 100), 0, 0);
    for (int i = 3; i >= 1; --i)
        enter_site(t.srv, sized_site(i, 136), 0, 0);
    const Bytes r = t.reply_of(query_packet(""));
    EXPECT_EQ(r.size(), 512u);
    EXPECT_EQ(r[0], 0x84);
    EXPECT_EQ(r[3], 127);
}
