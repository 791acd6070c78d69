// SPDX-License-Identifier: BSD-2-Clause
// Writes the seed corpora of the fuzz targets from real packets, as the
// voice program, the lookup and a peer server send them:
//
//   make_fuzz_corpus <dir>     writes <dir>/fuzz_request/* and
//                              <dir>/fuzz_query/* and
//                              <dir>/fuzz_reply/* and
//                              <dir>/fuzz_state/*
//
// The layouts of the inputs are described in harness.h.
#include <sys/stat.h>

#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "devkit/files.h"
#include "devkit/packets.h"
#include "devkit/sites.h"
#include "devkit/streams.h"
#include "server/options.h"
#include "server/request.h"
#include "server/server.h"
#include "server/state_codec.h"

using namespace kovari;
using namespace kovari::devkit;

namespace {

// One request record: clock step, peer, size, packet.
void add_record(Bytes& input, const Bytes& packet, unsigned step = 0, unsigned peer = 1)
{
    input.push_back(std::uint8_t(step));
    input.push_back(std::uint8_t(peer));
    input.push_back(std::uint8_t(packet.size() >> 8));
    input.push_back(std::uint8_t(packet.size()));
    input.insert(input.end(), packet.begin(), packet.end());
}

Bytes request_input(std::uint8_t settings, const std::vector<Bytes>& packets, unsigned step = 0)
{
    Bytes in = {settings};
    for (const auto& p : packets)
        add_record(in, p, step);
    return in;
}

// The sample Ann Lee, listed, with every text.
Announcement ann_lee()
{
    Announcement a = sample_ann();
    a.cname = "ann@10.0.0.1";
    a.email = "Ann.Lee@example.org";
    a.phone = "+1 555 0100";
    a.loc = "Room\t12\r\n";
    a.tool = "kvphone 1.0";
    return a;
}

Announcement plain(std::uint32_t ssrc, const std::string& cname)
{
    Announcement a;
    a.ssrc = make_ssrc(ssrc);
    a.cname = cname;
    return a;
}

// A chunk as the query input holds it: SSRC, items, the 0 item.
Bytes site_bytes(const Ssrc& ssrc, const std::vector<Item>& items)
{
    Bytes b(ssrc.begin(), ssrc.end());
    for (const auto& it : items) {
        b.push_back(it.type);
        b.push_back(std::uint8_t(it.text.size()));
        b.insert(b.end(), it.text.begin(), it.text.end());
    }
    b.push_back(0);
    return b;
}

Bytes query_input(const std::string& query, const std::vector<Bytes>& sites)
{
    Bytes in(query.begin(), query.end());
    in.push_back(0);
    for (const auto& s : sites)
        in.insert(in.end(), s.begin(), s.end());
    return in;
}

// Bob, unlisted by his CNAME and his e-mail text.
Announcement unlisted_bob()
{
    Announcement a = plain(0x11223344, "*bob@10.0.0.2");
    a.email = "*bob@example.org";
    a.port = 40000;
    return a;
}

// The longest texts that still fit one receive.
Announcement longer_texts()
{
    Announcement a = plain(8, std::string(255, 'c'));
    a.name = std::string(120, 'n') + " <b>" + std::string(127, 'm') + "</b>";
    a.email = std::string(255, 'E');
    return a;
}

// Every text at its longest: more than one receive takes.
Announcement longest_texts()
{
    Announcement a = plain(7, std::string(255, 'c'));
    a.name = std::string(200, 'n') + std::string(55, ' ');
    a.email = std::string(255, 'E');
    a.phone = std::string(255, '\t');
    a.loc = std::string(255, '<');
    a.tool = "<" + std::string(253, 't') + ">";
    a.port = -1;
    return a;
}

// A reply from another source: items of 255 bytes, odd private items.
Bytes foreign_reply()
{
    return match_reply(
        {{make_ssrc(1),
          {{kItemCNAME, std::string(255, 'c')},
           {kItemNAME, std::string(255, 'n')},
           {kItemEMAIL, std::string(255, 'e')},
           {kItemPHONE, std::string(255, 'p')},
           {kItemLOC, std::string(255, 'l')},
           {kItemTOOL, std::string(255, 't')},
           {7, "skip"},
           {kItemPRIV, "\2Pxx"},
           {kItemPRIV, "\1Iwhere"},
           {kItemPRIV, "\1P-25536"},
           {kItemPRIV, "\1T99999999999999999999"}}},
         {make_ssrc(2), {{kItemNAME, "no cname"}, {kItemCNAME, "first"}, {kItemCNAME, "second"}}}});
}

// One input file of a corpus.
struct Input {
    const char* name;
    Bytes input;
};

// Writes the inputs into the folder `dir`, made when it is missing.
bool write_inputs(const std::string& dir, std::span<const Input> inputs)
{
    ::mkdir(dir.c_str(), 0755);
    for (const auto& in : inputs)
        if (!write_file(dir + "/" + in.name, in.input))
            return false;
    return true;
}

// fuzz_request: a settings byte, then records of requests as the server
// receives them.
bool write_requests(const std::string& dir)
{
    const Bytes full = announcement(ann_lee());
    const Bytes hidden = announcement(unlisted_bob());
    const Ssrc ann_ssrc = ann_lee().ssrc;
    const std::uint32_t origin = ipv4("10.1.2.3");

    Bytes short_query = query_packet("ann");
    short_query.resize(14);  // 14 bytes whose length field says 16

    Bytes truncated = announcement(plain(9, "cut"));
    truncated[9] = 200;  // the CNAME's length runs past the packet

    Bytes two_chunks = sdes_packet(make_ssrc(1), {{kItemCNAME, "one"}});
    append_chunk(two_chunks, make_ssrc(2), {{kItemCNAME, "two"}});
    two_chunks[0] = 0x82;
    put_length_field(two_chunks, two_chunks.size());

    Bytes many;
    for (int i = 0; i < 20; ++i) {
        Announcement a = plain(100 + i, "site" + std::to_string(i));
        a.name = "Site Number " + std::to_string(i) + " of the long test list";
        a.port = 5000 + i;
        add_record(many, announcement(a), 1, std::uint8_t(i));
    }
    add_record(many, query_packet(""));
    add_record(many, query_packet("site1"));
    add_record(many, query_packet(""), 120);  // after the sweep: all expired

    const Input requests[] = {
        {"announcement", request_input(0x00, {full})},
        {"announcement-verbose", request_input(0x07, {full})},
        {"announce-query-signoff", request_input(0x02, {full, query_packet("lee"),
                                                        bye_packet(ann_ssrc), query_packet("")})},
        {"unlisted-exact-query", request_input(0x04, {hidden, query_packet("*BOB@example.org"),
                                                      query_packet("bob")})},
        {"report-then-announcement", request_input(0x01, {concat({receiver_report(ann_ssrc), full})})},
        {"sender-report-alone", request_input(0x01, {sender_report(ann_ssrc)})},
        {"announcement-then-bye", request_input(0x02, {concat({full, bye_packet(ann_ssrc)})})},
        {"two-chunks", request_input(0x01, {two_chunks})},
        {"no-cname", request_input(0x03, {sdes_packet(make_ssrc(5), {{kItemNAME, "nobody"}})})},
        {"truncated-item", request_input(0x01, {truncated})},
        {"longest-texts", request_input(0x07, {announcement(longer_texts()), query_packet("")})},
        {"oversized", request_input(0x07, {announcement(longest_texts()), query_packet("")})},
        {"server-message", request_input(0x04, {message_request()})},
        {"unaligned-query", request_input(0x04, {full, short_query})},
        {"forwarded-announcement", request_input(0x0F, {forwarded(full, origin)})},
        {"forwarded-signoff", request_input(0x0F, {full, forwarded(bye_packet(ann_ssrc), origin)})},
        {"forwarded-by-peer", request_input(0x08, {full, bye_packet(ann_ssrc)})},
        {"expiry", many.empty() ? Bytes{} : concat({Bytes{0x02}, many})},
        {"failed-and-empty-receive", Bytes{0x01, 0, 1, 0xFF, 0xFF, 0, 1, 0, 0}},
        {"app-other-name", request_input(0x04, {[] {
             Bytes p = message_request();
             p[10] = 'm';
             p[11] = 'r';
             return p;
         }()})},
    };
    return write_inputs(dir, requests);

}

// fuzz_query: a query text and the chunks of the sites it is matched
// against.
bool write_queries(const std::string& dir)
{
    const Bytes lee = site_bytes(ann_lee().ssrc, {{kItemCNAME, "ann"},
                                            {kItemNAME, "Anne <b>Lee</b>"},
                                            {kItemEMAIL, "*Ann.Lee"},
                                            {kItemPRIV, "\1P2076"},
                                            {kItemPRIV, "\1I10.0.0.1"},
                                            {kItemPRIV, "\1T870000000"}});
    const Bytes star = site_bytes(make_ssrc(2), {{kItemCNAME, "*ann"}, {kItemEMAIL, "Ann.Lee"}});
    const Bytes smith = site_bytes(make_ssrc(3), {{kItemCNAME, "ann"},
                                                  {kItemEMAIL, "Ann.Lee"},
                                                  {kItemNAME, "Anne Lee Smith"}});
    std::vector<Bytes> big;
    for (int i = 0; i < 6; ++i)
        big.push_back(site_bytes(make_ssrc(10 + i),
                                 {{kItemCNAME, "host" + std::to_string(i) + std::string(60, 'x')},
                                  {kItemNAME, "The <i>very</i>  long\tname of site " +
                                                  std::to_string(i) + " with words to cut"},
                                  {kItemEMAIL, std::string(49, 'e')},
                                  {kItemPHONE, std::string(10, 'p') + " " + std::string(29, 'p') +
                                                   " " + std::string(20, 'p')},
                                  {kItemLOC, " <i> x"},
                                  {kItemTOOL, "a < b"},
                                  {kItemPRIV, "\1P40000"},
                                  {kItemPRIV, "\1I255.255.255.255"},
                                  {kItemPRIV, "\1T4294967295"}}));
    const Input queries[] = {
        {"whole-reply", query_input("*ANN.LEE", {lee})},
        {"substring", query_input("lee", {star, smith, lee})},
        {"by-name", query_input("smith", {smith})},
        {"empty-query", query_input("", {star, smith, lee})},
        {"unlisted-cname", query_input("ANN", {site_bytes(make_ssrc(4), {{kItemCNAME, "*ann"}})})},
        {"cap", query_input("", big)},
        {"substring-cap", query_input("Name Of Site", big)},
        {"one-byte-cap", query_input("E", big)},
        {"no-table", Bytes{'a', 'n', 'n'}},
    };
    return write_inputs(dir, queries);

}

// fuzz_reply: a byte of output modes, then a reply as the lookup receives
// it.
bool write_replies(const std::string& dir)
{
    // Replies as the server really sends them: its own query answer over a
    // table filled by announcements.
    const Discard null;
    Server srv;
    srv.out = srv.err = null.stream();
    RequestBuffer buf;
    auto feed = [&](const Bytes& packet, std::uint32_t from) {
        const std::size_t n = std::min(packet.size(), kMaxRequest);  // one receive
        std::copy(packet.begin(), packet.begin() + long(n), buf.bytes);
        return handle_packet(srv, buf, n, from, 40000, 870000000, 0);
    };
    feed(announcement(ann_lee()), ipv4("10.0.0.1"));
    feed(announcement(unlisted_bob()), ipv4("10.0.0.2"));
    feed(announcement(longer_texts()), ipv4("10.0.0.3"));
    for (int i = 0; i < 12; ++i) {
        Announcement a = plain(200 + i, "member" + std::to_string(i) + "@example.org");
        a.name = "Member " + std::to_string(i);
        a.loc = "Desk " + std::to_string(i);
        a.port = 30000 + 1000 * i;
        feed(announcement(a), ipv4("10.0.1.1") + (std::uint32_t(i) << 24));
    }
    auto answer = [&](const std::string& text) {
        const RequestAction act = feed(query_packet(text), ipv4("127.0.0.1"));
        return Bytes(act.reply.begin(), act.reply.end());
    };
    const Bytes message = make_message_reply(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>("Be nice.\n"), 9));
    Bytes cut_reply = answer("lee");
    cut_reply.resize(cut_reply.size() - 9);  // ends inside the chunk
    Bytes over_count = answer("lee");
    over_count[0] = 0x9F;  // says 31 chunks, holds one
    auto with_modes = [](std::uint8_t modes, const Bytes& reply) {
        Bytes in = {modes};
        in.insert(in.end(), reply.begin(), reply.end());
        return in;
    };
    const Input replies[] = {
        {"list-one", with_modes(0x01, answer("lee"))},
        {"list-unlisted", with_modes(0x01, answer("*bob@example.org"))},
        {"table-many", with_modes(0x04, answer("member"))},
        {"address-all", with_modes(0x22, answer(""))},
        {"debug-list-table", with_modes(0x0D, answer(""))},
        {"address-none", with_modes(0x02, answer("nobody"))},
        {"longest", with_modes(0x05, answer(std::string(255, 'e')))},
        {"message", with_modes(0x11, message)},
        {"message-then-list", with_modes(0x31, message)},
        {"message-empty", with_modes(0x10, make_message_reply({}))},
        {"message-short", with_modes(0x10, Bytes{0x81, 0xCC, 0, 2, 0, 0})},
        {"cut-short", with_modes(0x0F, cut_reply)},
        {"count-too-big", with_modes(0x07, over_count)},
        {"foreign", with_modes(0x0F, foreign_reply())},
    };
    return write_inputs(dir, replies);
}

// fuzz_state: state files as the server writes them.
bool write_states(const std::string& dir)
{
    constexpr std::time_t now = 1'765'104'180;
    const auto bytes = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
    SiteTable t;
    const Bytes empty = bytes(encode_state(t, now));
    table_enter(t, site_record(sample_ann(), ipv4("192.0.2.1"), now - 30));
    Announcement every;
    every.ssrc = make_ssrc(7);
    every.cname = "*bob@example.org";
    every.name = "Bob \xC5\x81";
    every.email = "";
    every.phone = "+1 555";
    every.loc = "Lab";
    every.tool = "kv 1";
    table_enter(t, site_record(every, ipv4("198.51.100.9"), now - 1000));
    const Input states[] = {{"empty-table", empty}, {"two-sites", bytes(encode_state(t, now))}};
    return write_inputs(dir, states);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    ::mkdir(dir.c_str(), 0755);
    const bool ok = write_requests(dir + "/fuzz_request") && write_queries(dir + "/fuzz_query") &&
                    write_replies(dir + "/fuzz_reply") && write_states(dir + "/fuzz_state");
    return ok ? 0 : 1;
}
