// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include "server/options.h"
#include "server/request.h"
#include "server_fixture.h"

using namespace kovari;
using namespace kovari::devkit;
using namespace kovari::testing;

namespace {

const Ssrc kSsrc = {0xAA, 0xBB, 0xCC, 0xDD};

Bytes ann(std::optional<int> port = std::nullopt)
{
    Announcement a;
    a.ssrc = kSsrc;
    a.cname = "ann";
    a.name = "Ann Lee";
    a.port = port;
    return announcement(a);
}

std::optional<SiteView> find(const Server& srv, const std::string& cname)
{
    std::optional<SiteView> found;
    for_each_site(srv.table, [&](const SiteView& s) {
        if (*s.cname == cname) {
            found = s;
            return false;
        }
        return true;
    });
    return found;
}

}  // namespace

TEST(ValidCompound, LengthsMustAddUpToWhatArrived)
{
    const Bytes rr_sdes = concat({receiver_report(kSsrc), ann()});
    EXPECT_TRUE(valid_compound(rr_sdes, long(rr_sdes.size())));
    EXPECT_FALSE(valid_compound(rr_sdes, long(rr_sdes.size()) - 4));
    Bytes longer = rr_sdes;
    longer.resize(longer.size() + 4, 0x80);
    EXPECT_FALSE(valid_compound(longer, long(longer.size())));
    // Three stray bytes behind the last packet: no header fits there.
    Bytes stray = rr_sdes;
    stray.insert(stray.end(), {0x80, 0xC9, 0});
    EXPECT_FALSE(valid_compound(stray, long(stray.size())));
    EXPECT_FALSE(valid_compound(rr_sdes, 0));
    EXPECT_FALSE(valid_compound(rr_sdes, -1));
}

TEST(ValidCompound, FirstByteAndTypeAreChecked)
{
    Bytes p = bye_packet(kSsrc);
    EXPECT_TRUE(valid_compound(p, 8));
    p[1] = 205;
    EXPECT_FALSE(valid_compound(p, 8));
    p = bye_packet(kSsrc);
    p[0] = 0xA1;  // padding flag
    EXPECT_FALSE(valid_compound(p, 8));
    p[0] = 0x41;  // version 1
    EXPECT_FALSE(valid_compound(p, 8));
    // A later packet that is not version 2 ends the walk short of the end.
    Bytes two = concat({bye_packet(kSsrc), bye_packet(kSsrc)});
    two[8] = 0x41;
    EXPECT_FALSE(valid_compound(two, long(two.size())));
}

TEST(RequestIncomplete, TheLengthFieldsSayWhetherARequestIsWhole)
{
    const auto first = [](const Bytes& b, std::size_t n) { return Bytes(b.begin(), b.begin() + long(n)); };
    const Bytes query = query_packet("xy");  // 16 bytes, the last one padding
    const Bytes sdes = ann();
    const Bytes rr = receiver_report(kSsrc);
    const Bytes fwd = forwarded(sdes, ipv4("192.0.2.7"));
    const std::string http = "GET / HTTP/1.0\r\n\r\n";
    const struct {
        const char* what;
        Bytes bytes;
        bool due;
    } cases[] = {
        {"nothing yet", {}, true},
        {"one byte of a header", {0x81}, true},
        {"three bytes of a report's header", {0x81, kTypeRR, 0}, true},
        {"two bytes of an APP header, which alignment makes whole", first(query, 2), false},
        {"a whole query", query, false},
        {"a query's header alone", first(query, 4), true},
        {"a query without its name", first(query, 8), true},
        {"a query short of its last word", first(query, 12), true},
        {"a query short of bytes that alignment pads", first(query, 13), false},
        {"a whole announcement", sdes, false},
        {"an announcement short of one byte", first(sdes, sdes.size() - 1), true},
        {"a length running past what arrived", {0x81, 0xCA, 0, 9, 0, 0, 0, 0}, true},
        {"a whole compound packet", concat({rr, sdes}), false},
        {"a report and half a header", concat({rr, first(sdes, 2)}), true},
        {"a report and a cut announcement", concat({rr, first(sdes, 20)}), true},
        {"a report and a byte that is no version 2", concat({rr, {0x00}}), false},
        {"a whole forwarded announcement", fwd, false},
        {"a forwarded announcement without its trailer", first(fwd, sdes.size()), true},
        {"a forwarded announcement short of two bytes", first(fwd, fwd.size() - 2), true},
        {"four bytes marked forwarded", {0xC1, 0xCB, 0, 0}, true},
        {"a forwarded APP header cut to two bytes, and a trailer", {0xC1, 0xCC, 10, 0, 0, 1}, false},
        {"a forwarded report cut to two bytes, and a trailer", {0xC1, kTypeRR, 10, 0, 0, 1}, true},
        {"version 0", {0x01, 0xCA, 0, 9}, false},
        {"the padding flag", {0xA1}, false},
        {"type 205", {0x81, 0xCD, 0, 9}, false},
        {"a web request", Bytes(http.begin(), http.end()), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(request_incomplete(c.bytes), c.due) << c.what;
}

TEST(HandlePacket, AnnouncementRegistersSiteWithConnectionAddressAndPort)
{
    TestServer t;
    t.receive(ann(), ipv4("10.0.0.7"), 40001, 5000);
    const auto s = find(t.srv, "ann");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->ip, ipv4("10.0.0.7"));
    EXPECT_EQ(s->port, std::int16_t(40001));
    EXPECT_EQ(s->time, 5000);
    EXPECT_EQ(s->ssrc, kSsrc);
    EXPECT_EQ(s->name, "Ann Lee");
}

TEST(HandlePacket, PortItemSetsThePortAndTheLastOneWins)
{
    TestServer t;
    t.receive(ann(2076));
    EXPECT_EQ(find(t.srv, "ann")->port, 2076);
    const Bytes two_ports = sdes_packet(kSsrc, {{kItemCNAME, "bob"},
                                                {kItemPRIV, port_item_text(5000)},
                                                {kItemPRIV, port_item_text(40000)}});
    t.receive(two_ports);
    EXPECT_EQ(find(t.srv, "bob")->port, -25536);
    // Other private items and prefix lengths are read and dropped.
    t.receive(sdes_packet(kSsrc, {{kItemCNAME, "cy"},
                                  {kItemPRIV, "\1I1.2.3.4"},
                                  {kItemPRIV, std::string("\2P7")},
                                  {7, "x"}}));
    EXPECT_EQ(find(t.srv, "cy")->port, std::int16_t(40001));
    EXPECT_EQ(find(t.srv, "cy")->ip, ipv4("10.0.0.9"));
}

TEST(HandlePacket, ReceiverReportBeforeSdesStillRegisters)
{
    TestServer t;
    t.srv.settings.debug = true;
    t.receive(concat({receiver_report(kSsrc), ann()}));
    EXPECT_TRUE(find(t.srv, "ann"));
    t.receive(sender_report(kSsrc));
    EXPECT_NE(t.err.text().find("quorind: discarded RTCP packet with unknown payload from 10.0.0.9.\n"),
              std::string::npos);
}

TEST(HandlePacket, SdesFollowedByByeRegistersAndIgnoresTheBye)
{
    TestServer t;
    t.receive(concat({ann(), bye_packet(kSsrc)}));
    EXPECT_EQ(t.cnames(), std::vector<std::string>{"ann"});
}

TEST(HandlePacket, CountOtherThanOneIsDroppedSilently)
{
    TestServer t;
    t.srv.settings.debug = true;
    Bytes two_chunks = ann();
    two_chunks[0] = 0x82;
    t.receive(two_chunks);
    EXPECT_EQ(table_size(t.srv.table), 0u);
    t.receive(ann());
    Bytes bye2 = bye_packet(kSsrc);
    bye2[0] = 0x82;
    bye2[3] = 2;
    bye2.insert(bye2.end(), {1, 2, 3, 4});
    t.receive(bye2);
    EXPECT_EQ(table_size(t.srv.table), 1u);
    // Only the dump of the one stored announcement was written.
    EXPECT_EQ(t.err.text().find("discarded"), std::string::npos);
}

TEST(HandlePacket, InvalidPacketsAreDiscardedWithADebugLine)
{
    TestServer t;
    t.srv.settings.debug = true;
    Bytes bad = ann();
    bad[1] = 205;
    t.receive(bad);
    Bytes padded = ann();
    padded[0] = 0xA1;
    t.receive(padded);
    t.receive({});  // the peer closed without sending
    EXPECT_EQ(t.err.text(), "quorind: discarded invalid RTCP packet from 10.0.0.9.\n"
                            "quorind: discarded invalid RTCP packet from 10.0.0.9.\n"
                            "quorind: discarded invalid RTCP packet from 10.0.0.9.\n");
    EXPECT_EQ(table_size(t.srv.table), 0u);
}

TEST(HandlePacket, PacketsTooShortForTheirFixedFieldsAreInvalid)
{
    TestServer t;
    t.srv.settings.debug = true;
    // Count 1, length 0: the SSRC at offset 4 and the APP name at offset 8
    // were never received.
    t.receive({0x81, kTypeBYE, 0, 0});
    t.receive({0x81, kTypeSDES, 0, 0});
    t.receive({0x81, kTypeAPP, 0, 0});
    t.receive({0x81, kTypeAPP, 0, 1, 0, 0, 0, 0});
    const std::string line = "quorind: discarded invalid RTCP packet from 10.0.0.9.\n";
    EXPECT_EQ(t.err.text(), line + line + line + line);
}

TEST(HandlePacket, SdesWithoutCnameIsBogus)
{
    const Bytes no_cname = sdes_packet(kSsrc, {{kItemNAME, "Ann"}});
    {
        TestServer t;
        t.receive(no_cname);
        EXPECT_EQ(t.err.text(), "");
    }
    {
        TestServer t;
        t.srv.settings.verbose = true;
        t.receive(no_cname, ipv4("10.0.0.9"), 40001, 0);
        EXPECT_EQ(t.err.text(), "Bogus SDES with no CNAME.\n"
                                "SSRC = DDCCBBAA IP = 10.0.0.9 Port -25535 Thu Jan  1 00:00:00 1970\n"
                                "\t  NAME = Ann\n");
        EXPECT_EQ(table_size(t.srv.table), 0u);
    }
    {
        TestServer t;
        t.srv.settings.debug = true;
        t.receive(no_cname, ipv4("10.0.0.9"), 2000, 0);
        // Under -D the record was dumped before the verdict, and only then.
        EXPECT_EQ(t.err.text(), "SSRC = DDCCBBAA IP = 10.0.0.9 Port 2000 Thu Jan  1 00:00:00 1970\n"
                                "\t  NAME = Ann\n"
                                "Bogus SDES with no CNAME.\n");
    }
}

TEST(HandlePacket, AllPacketsLevelPrintsALinePerPacket)
{
    TestServer t;
    t.srv.settings.very_verbose = true;
    t.receive(sdes_packet(kSsrc, {{kItemNAME, "x"}}));  // refused, still printed
    t.receive(bye_packet(kSsrc));
    t.receive(message_request());
    t.receive(query_packet("Smith"));
    EXPECT_EQ(t.out.text(), "quorind: 10.0.0.9 SDES DDCCBBAA\n"
                            "quorind: 10.0.0.9 BYE DDCCBBAA\n"
                            "quorind: 10.0.0.9 APP KVms\n"
                            "quorind: 10.0.0.9 server message request\n"
                            "quorind: 10.0.0.9 APP KVlq\n"
                            "quorind: 10.0.0.9 query \"Smith\"\n");
}

TEST(HandlePacket, ForwardedAnnouncementTakesTheOriginAddress)
{
    TestServer t;
    t.srv.settings.debug = true;
    t.srv.settings.accept_from = {ipv4("10.0.0.2")};
    const Bytes fwd = forwarded(ann(), ipv4("192.0.2.5"));
    EXPECT_EQ(fwd[0], 0xC1);
    t.receive(fwd, ipv4("10.0.0.2"), 3333);
    const auto s = find(t.srv, "ann");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->ip, ipv4("192.0.2.5"));
    EXPECT_EQ(s->port, 3333);  // the forwarding server's source port
    EXPECT_EQ(t.err.text().rfind("quorind: received forwarded packet from 10.0.0.2.\n", 0), 0u);
}

TEST(HandlePacket, ForwardedAnnouncementWithPortItemKeepsIt)
{
    TestServer t;
    t.srv.settings.accept_from = {ipv4("10.0.0.2")};
    t.receive(forwarded(ann(2076), ipv4("192.0.2.5")), ipv4("10.0.0.2"), 3333);
    EXPECT_EQ(find(t.srv, "ann")->port, 2076);
}

TEST(HandlePacket, ByeReleasesTheSite)
{
    TestServer t;
    t.receive(ann());
    EXPECT_EQ(t.reply_of(query_packet("ann"))[0], 0x81);
    t.receive(bye_packet(kSsrc));
    EXPECT_EQ(table_size(t.srv.table), 0u);
    EXPECT_EQ(t.reply_of(query_packet("ann")), (Bytes{0x80, 0xCA, 0, 0}));
}

// What the request path hands back to the loop: the copy for the peers,
// marked and with its origin behind it, and what the table change asks to
// be written; a copy only of what was taken, and never of a copy.
TEST(HandlePacket, DecisionNamesTheCopyToForwardAndTheTableChange)
{
    struct Case {
        const char* what;
        Bytes packet;
        std::uint32_t from;
        bool forward;
        bool records, sites;
    };
    const std::uint32_t client = ipv4("10.0.0.9"), peer = ipv4("10.0.0.2"), other = ipv4("10.0.0.3");
    const Case cases[] = {
        {"a new site", ann(), client, true, true, true},
        {"the same announcement again", ann(), client, true, true, false},
        {"the CNAME from another address", ann(), other, false, false, false},
        {"a copy from a peer", forwarded(ann(), client), peer, false, true, false},
        {"a sign-off of no site", bye_packet(make_ssrc(7)), client, true, false, false},
        {"a query", query_packet("ann"), client, false, false, false},
        {"the sign-off", bye_packet(kSsrc), client, true, true, true},
    };
    TestServer t;
    t.srv.settings.peers = {Peer{peer, 2076}};
    for (const auto& c : cases) {
        const RequestAction act = t.receive(c.packet, c.from);
        const Bytes copy(act.forward.begin(), act.forward.end());
        EXPECT_EQ(copy, c.forward ? forwarded(c.packet, c.from) : Bytes{}) << c.what;
        EXPECT_EQ(act.change.records, c.records) << c.what;
        EXPECT_EQ(act.change.sites, c.sites) << c.what;
    }
}

TEST(HandlePacket, ServerMessageRequestGetsThePreparedReply)
{
    TestServer t;
    EXPECT_EQ(t.reply_of(message_request()),
              (Bytes{0x81, 0xCC, 0, 2, 0, 0, 0, 0, 'K', 'V', 'm', 'r', 0}));
    const std::string text = "Hello\n";
    t.srv.settings.message_reply = make_message_reply(
        std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    const Bytes r = t.reply_of(message_request());
    ASSERT_EQ(r.size(), 19u);
    EXPECT_EQ(r[3], 3);  // whole words present, less one
    EXPECT_EQ(std::string(r.begin() + 12, r.end()), std::string("Hello\n\0", 7));
}

TEST(HandlePacket, OtherAppNamesGetNoReply)
{
    TestServer t;
    Bytes mr = message_request();
    mr[10] = 'm';
    mr[11] = 'r';
    EXPECT_TRUE(t.reply_of(mr).empty());
    Bytes upper = query_packet("x");
    upper[10] = 'L';
    EXPECT_TRUE(t.reply_of(upper).empty());
}

TEST(HandlePacket, AppPacketIsZeroFilledToAWholeWord)
{
    TestServer t;
    Bytes q = query_packet("ab");  // 16 bytes, length field 3
    q.resize(14);
    EXPECT_EQ(t.reply_of(q), (Bytes{0x80, 0xCA, 0, 0}));
    q[3] = 4;  // claims 20 bytes: invalid, no reply
    EXPECT_TRUE(t.reply_of(q).empty());
}

TEST(HandlePacket, QueryWithoutNulIsReadToTheEndOfThePacket)
{
    TestServer t;
    t.receive(ann());
    auto query_without_nul = [](const std::string& four) {
        Bytes q = query_packet("");
        q.resize(12);
        q.insert(q.end(), four.begin(), four.end());
        q[3] = 3;
        return q;
    };
    EXPECT_EQ(t.reply_of(query_without_nul("annx")), (Bytes{0x80, 0xCA, 0, 0}));
    EXPECT_EQ(t.reply_of(query_without_nul("N LE"))[0], 0x81);  // in "ann lee"
}

TEST(HandlePacket, ItemRunningPastTheSdesPacketIsDropped)
{
    TestServer t;
    Bytes p = sdes_packet(kSsrc, {{kItemCNAME, "ann"}, {kItemNAME, "Ann"}});
    // Claim the NAME is far longer than the packet.
    p[8 + 5 + 1] = 200;
    t.receive(p);
    const auto s = find(t.srv, "ann");
    ASSERT_TRUE(s);
    EXPECT_FALSE(s->name.has_value());
}
