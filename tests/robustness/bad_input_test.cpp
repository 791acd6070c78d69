// What strangers' bytes can and cannot do. The trust cases are the
// protocol as it stands, recorded so that a change to it is noticed.
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

std::optional<SiteView> only_site(const Server& srv)
{
    std::optional<SiteView> found;
    for_each_site(srv.table, [&](const SiteView& s) {
        found = s;
        return false;
    });
    return found;
}

TEST(TrustModel, AnyoneCanPresentAPacketAsForwardedFromAnyOrigin)
{
    TestServer t;
    t.srv.settings.debug = true;
    // Sent straight from 10.0.0.9, marked as if a peer forwarded it for
    // 192.0.2.7: the site is stored under the claimed origin.
    t.receive(forwarded(ann_announcement(), ipv4("192.0.2.7")), ipv4("10.0.0.9"));
    const auto s = only_site(t.srv);
    ASSERT_TRUE(s);
    EXPECT_EQ(dotted(s->ip), "192.0.2.7");
    EXPECT_EQ(t.err.text().substr(0, 53), "quorind: received forwarded packet from 10.0.0.9.\nSSR");
}

TEST(TrustModel, AnyoneCanSignOffASiteWhoseSsrcAQueryShows)
{
    TestServer t;
    t.receive(ann_announcement(), ipv4("10.0.0.1"));
    // A stranger asks, reads the SSRC at offset 4 of the reply and signs
    // the site off from another address.
    const Bytes reply = t.reply_of(query_packet("ann"));
    ASSERT_GE(reply.size(), 8u);
    const Ssrc shown = {reply[4], reply[5], reply[6], reply[7]};
    EXPECT_EQ(shown, kAnn);
    t.receive(bye_packet(shown), ipv4("10.6.6.6"));
    EXPECT_EQ(table_size(t.srv.table), 0u);
}

TEST(TrustModel, AnyoneCanAnnounceAnyCnameAndTakeOverItsEntry)
{
    TestServer t;
    t.receive(ann_announcement(), ipv4("10.0.0.1"));
    Announcement fake;
    fake.ssrc = make_ssrc(666);
    fake.cname = "*ann@10.0.0.1";  // the unlisted marker does not protect either
    fake.port = 6666;
    t.receive(announcement(fake), ipv4("10.6.6.6"));
    const auto s = only_site(t.srv);
    ASSERT_TRUE(s);
    EXPECT_EQ(table_size(t.srv.table), 1u);
    EXPECT_EQ(dotted(s->ip), "10.6.6.6");
    EXPECT_EQ(s->port, 6666);
    EXPECT_FALSE(s->name.has_value());
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
