// SPDX-License-Identifier: BSD-2-Clause
// What strangers' bytes can and cannot do: who may change a site, and what
// a malformed request or reply gets.
#include <gtest/gtest.h>

#include "devkit/streams.h"
#include "lookup/lookup.h"
#include "server_fixture.h"

namespace kovari::testing {
using namespace kovari::devkit;
namespace {

const Ssrc kAnn = {0xAA, 0xBB, 0xCC, 0xDD};

Bytes ann_announcement()
{
    Announcement a;
    a.ssrc = kAnn;
    a.cname = "ann@10.0.0.1";
    a.name = "Ann Lee";
    a.port = 2076;
    return announcement(a);
}

// A site announced from 10.0.0.1, then one change tried by someone: only
// the owner, or a peer server speaking for the owner, gets it through.
TEST(TrustModel, OnlyTheOwnerOrAPeerForTheOwnerChangesASite)
{
    const std::uint32_t owner = ipv4("10.0.0.1"), stranger = ipv4("10.6.6.6"), peer = ipv4("10.0.0.5");
    Announcement fake;
    fake.ssrc = make_ssrc(666);
    fake.cname = "*ann@10.0.0.1";  // the unlisted marker makes no difference
    fake.port = 6666;
    const std::string signoffs = "quorind: sign-offs from 10.6.6.6 refused: their sites were announced from other addresses.\n";
    const std::string takeovers = "quorind: announcements from 10.6.6.6 refused: their CNAMEs are listed from other addresses.\n";
    const std::string strangers = "quorind: forwarded packets from 10.6.6.6 refused: it is not a peer server.\n";
    const struct {
        const char* what;
        Bytes packet;
        std::uint32_t from;
        std::optional<std::string> site;  // where the site is listed after it
        std::string err;
    } cases[] = {
        {"a sign-off from another address", bye_packet(kAnn), stranger, "10.0.0.1:2076", signoffs},
        {"a sign-off from the owner", bye_packet(kAnn), owner, std::nullopt, ""},
        {"a take-over from another address", announcement(fake), stranger, "10.0.0.1:2076", takeovers},
        {"a new port and SSRC from the owner", announcement(fake), owner, "10.0.0.1:6666", ""},
        {"a forwarded take-over from a stranger", forwarded(announcement(fake), owner), stranger, "10.0.0.1:2076",
         strangers},
        {"a forwarded new site from a stranger", forwarded(announcement(fake), ipv4("10.9.8.7")), stranger,
         "10.0.0.1:2076", strangers},
        {"a forwarded sign-off from a peer for the owner", forwarded(bye_packet(kAnn), owner), peer, std::nullopt, ""},
        {"a forwarded sign-off from a peer for another address", forwarded(bye_packet(kAnn), stranger), peer,
         "10.0.0.1:2076", signoffs},
        {"a forwarded take-over from a peer for another address", forwarded(announcement(fake), stranger), peer,
         "10.0.0.1:2076", takeovers},
    };
    for (const auto& c : cases) {
        TestServer t;
        t.srv.settings.accept_from = {peer};
        t.receive(ann_announcement(), owner, 2076);
        t.receive(c.packet, c.from);
        std::optional<std::string> listed;
        for_each_site(t.srv.table, [&](const SiteView& s) {
            listed = address_text(s.ip, s.port);
            return true;
        });
        EXPECT_EQ(listed, c.site) << c.what;
        EXPECT_EQ(t.err.text(), c.err) << c.what;
    }
}

TEST(TrustModel, RefusalsAreWrittenUnderDebuggingAndReportedOncePerWindow)
{
    TestServer t;
    t.srv.settings.debug = true;
    t.receive(ann_announcement(), ipv4("10.0.0.1"));
    const std::size_t start = t.err.text().size();
    for (int i = 0; i < 3; ++i)
        t.receive(bye_packet(kAnn), ipv4("10.6.6.6"));
    t.receive(forwarded(bye_packet(kAnn), ipv4("10.0.0.1")), ipv4("10.6.6.6"));
    EXPECT_EQ(t.err.text().substr(start),
              "quorind: refused sign-off of DDCCBBAA from 10.6.6.6: its site was announced from another address.\n"
              "quorind: sign-offs from 10.6.6.6 refused: their sites were announced from other addresses.\n"
              "quorind: refused sign-off of DDCCBBAA from 10.6.6.6: its site was announced from another address.\n"
              "quorind: refused sign-off of DDCCBBAA from 10.6.6.6: its site was announced from another address.\n"
              "quorind: refused forwarded packet for 10.0.0.1 from 10.6.6.6: not a peer server (-F, -A).\n"
              "quorind: forwarded packets from 10.6.6.6 refused: it is not a peer server.\n");
    EXPECT_EQ(table_size(t.srv.table), 1u);
}

TEST(TrustModel, OneAddressHoldsAtMostItsShareAndKeepsItsOwn)
{
    TestServer t;
    t.srv.settings.max_per_address = 2;
    t.srv.settings.accept_from = {ipv4("10.0.0.5")};
    const auto announce = [&](const char* cname, std::uint32_t ssrc, const char* from, const char* origin = nullptr) {
        Announcement a;
        a.ssrc = make_ssrc(ssrc);
        a.cname = cname;
        const Bytes p = announcement(a);
        t.receive(origin ? forwarded(p, ipv4(origin)) : p, ipv4(from));
    };
    announce("a", 1, "10.6.6.6");
    announce("b", 2, "10.6.6.6");
    announce("c", 3, "10.6.6.6");               // over its share
    announce("d", 4, "10.0.0.5", "10.6.6.6");   // forwarded for it: counted against it
    announce("a", 5, "10.6.6.6");               // its own refresh still works
    announce("e", 6, "10.0.0.1");               // another address is not affected
    EXPECT_EQ(t.cnames(), (std::vector<std::string>{"e", "b", "a"}));
    EXPECT_EQ(t.err.text(), "quorind: new sites from 10.6.6.6 refused: it holds the most sites one address may (-C).\n");
    t.receive(bye_packet(make_ssrc(5)), ipv4("10.6.6.6"));  // its own sign-off: room again
    announce("c", 3, "10.6.6.6");
    EXPECT_EQ(t.cnames(), (std::vector<std::string>{"c", "e", "b"}));
    t.srv.settings.max_per_address = 0;  // no cap
    announce("f", 7, "10.6.6.6");
    EXPECT_EQ(table_size(t.srv.table), 4u);
}

TEST(BadRequest, WhatOneReceiveCutsOffOrMarksWronglyIsDiscarded)
{
    const std::string invalid = "quorind: discarded invalid RTCP packet from 10.0.0.9.\n";
    Bytes oversized = ann_announcement();
    const std::size_t real = oversized.size();
    oversized.resize(1500, 0x5A);
    put_length_field(oversized, real);
    oversized.resize(kMaxRequest);  // all that one receive takes
    const struct {
        const char* what;
        Bytes packet;
        std::string err;
    } cases[] = {
        {"a packet longer than one receive", oversized, invalid},
        // More than 4 bytes with both top bits set: taken as forwarded, its
        // last 4 bytes (which overlap the header here) name the origin, and
        // the 1 byte left is no packet.
        {"five bytes that look forwarded", {0xC1, 0xCA, 0, 0, 1}, "quorind: received forwarded packet from 10.0.0.9.\n"
                                                                   "quorind: discarded invalid RTCP packet from 202.0.0.1.\n"},
        // Exactly 4 bytes are never taken as forwarded; version 3 is invalid.
        {"four bytes with both top bits set", {0xC1, 0xCB, 0, 0}, invalid},
        {"only a sender report", sender_report(kAnn), "quorind: discarded RTCP packet with unknown payload from 10.0.0.9.\n"},
        {"a sign-off with two SSRCs", concat({{0x82, kTypeBYE, 0, 2}, Bytes(kAnn.begin(), kAnn.end()), Bytes(4, 0)}), ""},
    };
    for (const auto& c : cases) {
        TestServer t;
        t.srv.settings.debug = true;
        t.srv.settings.accept_from = {ipv4("10.0.0.9")};
        t.receive(ann_announcement());
        const std::string before = t.err.text();
        const auto act = t.receive(c.packet);
        EXPECT_TRUE(act.reply.empty()) << c.what;
        EXPECT_EQ(t.err.text().substr(before.size()), c.err) << c.what;
        EXPECT_EQ(table_size(t.srv.table), 1u) << c.what;
    }
}

TEST(BadReply, TheLookupShowsOnlyWhatArrivedWhole)
{
    // One chunk for alice at 10.0.0.1:2076.
    const Bytes whole = match_reply({{make_ssrc(1),
                                      {{kItemCNAME, "alice"},
                                       {kItemPRIV, "\1P2076"},
                                       {kItemPRIV, "\1I10.0.0.1"},
                                       {kItemPRIV, "\1T0"}}}});
    Bytes cut = whole;
    cut.resize(whole.size() - 6);  // ends inside the 'T' item
    Bytes overcounted = whole;
    overcounted[0] = 0x9F;  // says 31 chunks
    const std::string alice = "10.0.0.1:2076            alice\n";
    const struct {
        const char* what;
        bool message;
        Bytes reply;
        std::string out;
    } cases[] = {
        {"a whole reply", false, whole, alice},
        {"a reply that ends inside its chunk", false, cut, ""},
        {"a count larger than the chunks", false, overcounted, alice},
        {"a message reply shorter than its header", true, {0x81, 0xCC, 0, 2, 0, 0}, ""},
        {"a message reply without its NUL", true, {0x81, 0xCC, 0, 3, 0, 0, 0, 0, 'K', 'V', 'm', 'r', 'h', 'i'}, "h"},
    };
    for (const auto& c : cases) {
        Capture out, err;
        RunState run;
        run.message_pending = c.message;
        handle_reply(run, c.reply, out.stream(), err.stream());
        EXPECT_EQ(out.text(), c.out) << c.what;
        EXPECT_EQ(err.text(), "") << c.what;
    }
}

}  // namespace
}  // namespace kovari::testing
