// SPDX-License-Identifier: BSD-2-Clause
// The request path: one received packet, checked and acted on. Every read
// of the received bytes goes through ByteCursor; the only writes are the
// server's own changes to its receive buffer (the forwarded bit, APP
// alignment, the trailer of a copy).
#include <algorithm>
#include <array>
#include <cstring>

#include "activity.h"
#include "forward.h"
#include "query.h"
#include "request.h"
#include "trust.h"

namespace kovari {

bool valid_compound(std::span<const std::uint8_t> bytes, long n)
{
    if (n <= 0 || std::size_t(n) > bytes.size())
        return false;
    ByteCursor c(bytes, 0, std::size_t(n));
    const auto first = c.peek();
    const auto type = c.peek(1);
    if (packet_version(*first) != 2 || (*first & kPaddingBit) != 0)
        return false;
    if (!type || *type < kTypeSR || *type > kTypeAPP)
        return false;
    for (;;) {
        // A header that does not fit cannot end the walk at the end: every
        // packet is at least 4 bytes long.
        const auto header = c.peek_bytes(4);
        if (!header || packet_size(*header) > c.left())
            return false;
        c.skip(packet_size(*header));
        const auto next = c.peek();
        if (!next || packet_version(*next) != 2)
            break;
    }
    return c.at_end();
}

namespace {

// The first two bytes of a request that could still become valid: version
// 2 (3 when forwarded, whose mark is bit 0x40), no padding, a type from SR
// to APP. A byte that has not arrived could still be anything.
bool could_begin_request(const ByteCursor& c)
{
    const auto first = c.peek();
    const auto type = c.peek(1);
    if (first && ((*first & 0x80) == 0 || (*first & kPaddingBit) != 0))
        return false;
    return !type || (*type >= kTypeSR && *type <= kTypeAPP);
}

}  // namespace

bool more_due(std::span<const std::uint8_t> received)
{
    const ByteCursor c(received);
    if (!could_begin_request(c))
        return false;
    // A forwarded request ends in its trailer, and check_received takes
    // one off only a request longer than that.
    const bool forwarded = !c.at_end() && (*c.peek() & 0xC0) == 0xC0;
    if (forwarded && c.left() <= kTrailerSize)
        return true;
    const std::size_t arrived = c.left() - (forwarded ? kTrailerSize : 0);
    // The packets as check_received will see them: an APP request is padded
    // with zeros to a whole word. Four bytes behind a whole packet are taken
    // as the trailer: the lengths cannot tell it from the header of a packet
    // still to come.
    std::size_t packets = arrived;
    if (arrived >= 2 && c.peek(1) == kTypeAPP)
        packets = (arrived + 3) / 4 * 4;
    const auto at = [&](std::size_t i) { return i < arrived ? c.peek(i).value_or(0) : std::uint8_t(0); };
    std::size_t pos = 0;
    for (;;) {
        if (pos + 4 > packets)
            return true;  // a header cut short
        const std::array<std::uint8_t, 4> header = {at(pos), at(pos + 1), at(pos + 2), at(pos + 3)};
        pos += packet_size(header);
        if (pos >= packets)
            return pos > packets;  // the last packet: whole, or running past what arrived
        if (packet_version(at(pos)) != 2)
            return false;  // the compound packet ends here; what follows is no part of it
    }
}

namespace {

void debug_line(const Server& srv, const char* what, std::uint32_t ip)
{
    if (srv.settings.debug)
        std::fprintf(srv.err, "%s: %s %s.\n", srv.settings.program_name.c_str(), what,
                     dotted(ip).c_str());
}

// The SSRC at offset 4 of a packet header that is known to hold it.
Ssrc ssrc_of(std::span<const std::uint8_t> head) { return {head[4], head[5], head[6], head[7]}; }

// A look at the site record of an announcement, from the packet's first
// chunk: its texts point into the bytes received, and the table copies
// them only when it stores the site. Items are read up to the 0 item or the
// end of the SDES packet; an item whose length runs past the packet is
// dropped and ends the scan.
SiteView read_announcement(ByteCursor c, const Ssrc& ssrc, std::uint32_t requester,
                           std::uint16_t peer_port, std::time_t now)
{
    SiteView s;
    s.ssrc = ssrc;
    s.ip = requester;
    s.port = std::int16_t(peer_port);
    s.time = now;
    read_chunk_items(c, s, [&](std::string_view text) {
        if (private_prefix(text) == 'P')
            s.port = std::int16_t(parse_decimal(text.substr(2)));
    });
    return s;
}

// Takes the forwarding mark and trailer off a packet that carries them:
// clears the mark, sets `requester` to the origin in the trailer and
// shortens n by the trailer. Returns true when the packet came forwarded.
bool take_forwarding(RequestBuffer& buf, std::size_t& n, std::uint32_t& requester)
{
    if (n <= kTrailerSize)
        return false;
    const std::span<const std::uint8_t> received(buf.bytes, n);
    const auto first = ByteCursor(received).peek();
    if ((*first & 0xC0) != 0xC0)
        return false;
    ByteCursor trailer(received, received.size() - kTrailerSize, received.size());
    std::memcpy(&requester, trailer.rest().data(), kTrailerSize);
    buf.bytes[0] = std::uint8_t(*first & ~kForwardedBit);
    n -= kTrailerSize;
    return true;
}

// The offset of the first SDES, BYE or APP packet of a valid compound
// packet; nullopt when there is none.
std::optional<std::size_t> find_payload(std::span<const std::uint8_t> received)
{
    ByteCursor c(received);
    while (const auto header = c.peek_bytes(4)) {
        if (packet_version((*header)[0]) != 2)
            break;
        const std::uint8_t type = (*header)[1];
        if (type == kTypeSDES || type == kTypeBYE || type == kTypeAPP)
            return c.offset();
        c.skip(packet_size(*header));
    }
    return std::nullopt;
}

RequestAction handle_app(Server& srv, std::span<const std::uint8_t> received, std::size_t pos,
                         std::uint32_t requester)
{
    const auto& set = srv.settings;
    const auto head = *ByteCursor(received, pos, received.size()).peek_bytes(12);
    const auto name = head.subspan(8, 4);
    if (set.very_verbose)
        std::fprintf(srv.out, "%s: %s APP %.4s\n", set.program_name.c_str(),
                     dotted(requester).c_str(), reinterpret_cast<const char*>(name.data()));
    if (std::equal(name.begin(), name.end(), kNameQuery.begin())) {
        // The query text runs to its NUL, or to the end of what arrived.
        const auto rest = ByteCursor(received, pos + 12, received.size()).rest();
        const char* text = reinterpret_cast<const char*>(rest.data());
        const std::string_view query(text, ::strnlen(text, rest.size()));
        ++srv.stats.queries;
        return {answer_query(srv, query, requester, srv.reply), "sending query match reply", {}, {}};
    }
    if (std::equal(name.begin(), name.end(), kNameMessageRequest.begin())) {
        if (set.very_verbose)
            std::fprintf(srv.out, "%s: %s server message request\n", set.program_name.c_str(),
                         dotted(requester).c_str());
        ++srv.stats.message_requests;
        return {set.message_reply, "sending server message", {}, {}};
    }
    return {};
}

// A received packet, checked, with its forwarding trailer taken off.
struct Received {
    std::span<const std::uint8_t> bytes;
    std::uint32_t requester = 0;  // the origin of a forwarded packet, else the peer
    bool forwarded = false;
};

// Takes off the forwarding mark and trailer, pads an APP packet and checks
// the compound packet. Returns nothing for a packet that is discarded.
std::optional<Received> check_received(Server& srv, RequestBuffer& buf, std::size_t n,
                                       std::uint32_t peer_ip, long now_ms)
{
    std::uint32_t requester = peer_ip;
    if (n > 0)
        ++srv.stats.requests;
    if (n > kMaxRequest)
        n = 0;  // the socket layer never passes more; refuse if it did
    const bool forwarded = take_forwarding(buf, n, requester);
    if (forwarded) {
        // Only a peer server may speak for another address.
        if (!accepts_forwarded(srv.settings, peer_ip)) {
            refuse(srv, Refusal::forwarded, peer_ip, dotted(requester), now_ms);
            return std::nullopt;
        }
        debug_line(srv, "received forwarded packet from", peer_ip);
    }
    // An APP packet is padded with zeros to a whole number of words.
    if (n >= 2 && ByteCursor(std::span<const std::uint8_t>(buf.bytes, n)).peek(1) == kTypeAPP) {
        while (n % 4 != 0)
            buf.bytes[n++] = 0;
    }
    const std::span<const std::uint8_t> received(buf.bytes, n);
    if (!valid_compound(received, long(n))) {
        ++srv.stats.invalid;
        debug_line(srv, "discarded invalid RTCP packet from", requester);
        return std::nullopt;
    }
    return Received{received, requester, forwarded};
}

// Enters the site that an SDES packet announces, its items in `items`.
// Returns nothing when the announcement is dropped: no CNAME, or a site
// that enter_site refuses. Only a stored announcement is forwarded.
std::optional<TableChange> handle_sdes(Server& srv, ByteCursor items, const Ssrc& ssrc,
                                       std::uint32_t requester, std::uint16_t peer_port,
                                       std::time_t now, long now_ms)
{
    const auto& set = srv.settings;
    const SiteView s = read_announcement(items, ssrc, requester, peer_port, now);
    if (set.very_verbose)
        std::fprintf(srv.out, "%s: %s SDES %08X\n", set.program_name.c_str(),
                     dotted(requester).c_str(), unsigned(ssrc_value(s.ssrc)));
    if (set.debug)
        dump_site(srv.err, s, escape_controls);
    if (!s.cname) {
        if (set.debug || set.verbose) {
            std::fputs("Bogus SDES with no CNAME.\n", srv.err);
            if (!set.debug)
                dump_site(srv.err, s, escape_controls);
        }
        return std::nullopt;
    }
    return enter_site(srv, s, now, now_ms);
}

// Returns nothing when the sign-off is refused; it is then not forwarded.
std::optional<TableChange> handle_bye(Server& srv, const Ssrc& ssrc, std::uint32_t requester,
                                      std::time_t now, long now_ms)
{
    const auto& set = srv.settings;
    if (set.very_verbose)
        std::fprintf(srv.out, "%s: %s BYE %08X\n", set.program_name.c_str(),
                     dotted(requester).c_str(), unsigned(ssrc_value(ssrc)));
    return release_site(srv, ssrc, requester, now, now_ms);
}

}  // namespace

RequestAction handle_packet(Server& srv, RequestBuffer& buf, std::size_t n, std::uint32_t peer_ip,
                            std::uint16_t peer_port, std::time_t now, long now_ms)
{
    const auto packet = check_received(srv, buf, n, peer_ip, now_ms);
    if (!packet)
        return {};
    const std::span<const std::uint8_t> received = packet->bytes;
    const std::uint32_t requester = packet->requester;

    // The first SDES, BYE or APP packet is the one acted on.
    const auto pos = find_payload(received);
    if (!pos) {
        ++srv.stats.invalid;
        debug_line(srv, "discarded RTCP packet with unknown payload from", requester);
        return {};
    }
    ByteCursor payload(received, *pos, received.size());
    const std::uint8_t byte0 = *payload.peek();
    const std::uint8_t type = *payload.peek(1);
    if (packet_count(byte0) != 1)
        return {};
    // Fields at fixed offsets must lie within what arrived.
    const std::size_t need = type == kTypeAPP ? 12 : 8;
    const auto head = payload.peek_bytes(need);
    if (!head) {
        ++srv.stats.invalid;
        debug_line(srv, "discarded invalid RTCP packet from", requester);
        return {};
    }
    if (type == kTypeAPP)
        return handle_app(srv, received, *pos, requester);

    std::optional<TableChange> change;
    if (type == kTypeSDES) {
        // The items run to the end of the SDES packet (at least its SSRC).
        const std::size_t size = std::max(packet_size(*head), need);
        const ByteCursor items(received, *pos + 8, *pos + size);
        change = handle_sdes(srv, items, ssrc_of(*head), requester, peer_port, now, now_ms);
    } else {
        change = handle_bye(srv, ssrc_of(*head), requester, now, now_ms);
    }
    if (!change)
        return {};
    RequestAction act;
    act.change = *change;
    if (!packet->forwarded && !srv.settings.peers.empty())
        act.forward = mark_forwarded(std::span<std::uint8_t>(buf.bytes), received.size(), requester);
    return act;
}

}  // namespace kovari
