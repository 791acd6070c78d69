#include <cstring>

#include "server.h"

namespace kovari {

bool valid_compound(std::span<const std::uint8_t> bytes, long n)
{
    if (n <= 0 || std::size_t(n) > bytes.size())
        return false;
    const std::size_t end = std::size_t(n);
    if (packet_version(bytes[0]) != 2 || (bytes[0] & kPaddingBit) != 0)
        return false;
    if (end < 2 || bytes[1] < kTypeSR || bytes[1] > kTypeAPP)
        return false;
    std::size_t pos = 0;
    for (;;) {
        // A header that does not fit cannot end the walk at `end`: every
        // packet is at least 4 bytes long.
        if (end - pos < 4)
            return false;
        pos += packet_size(bytes.subspan(pos));
        if (pos >= end || packet_version(bytes[pos]) != 2)
            break;
    }
    return pos == end;
}

namespace {

void debug_line(const Server& srv, const char* what, std::uint32_t ip)
{
    if (srv.settings.debug)
        std::fprintf(srv.err, "%s: %s %s.\n", srv.settings.program_name.c_str(), what,
                     dotted(ip).c_str());
}

Ssrc ssrc_at(std::span<const std::uint8_t> p)
{
    return {p[4], p[5], p[6], p[7]};
}

// Builds the site record of an announcement from the packet's first chunk.
// Items are read up to the 0 item or the end of the SDES packet; an item
// whose length runs past the packet is dropped and ends the scan.
Site read_announcement(std::span<const std::uint8_t> packet, std::uint32_t requester,
                       std::uint16_t peer_port, std::time_t now)
{
    Site s;
    s.ssrc = ssrc_at(packet);
    s.ip = requester;
    s.port = std::int16_t(peer_port);
    s.time = now;
    ByteCursor c(packet, 8, packet.size());
    while (!c.at_end()) {
        const std::uint8_t type = c.peek();
        if (type == kItemEnd)
            break;
        auto text = read_item(c);
        if (!text)
            continue;  // truncated: the cursor is at the end now
        if (auto* field = item_field(s, type)) {
            *field = std::move(text);
        } else if (type == kItemPRIV && private_prefix(*text) == 'P') {
            s.port = std::int16_t(parse_decimal(text->c_str() + 2));
        }
    }
    return s;
}

}  // namespace

RequestAction handle_packet(Server& srv, RequestBuffer& buf, long n, std::uint32_t peer_ip,
                            std::uint16_t peer_port, std::time_t now)
{
    const auto& set = srv.settings;
    const char* prog = set.program_name.c_str();
    std::uint8_t* b = buf.bytes;
    std::uint32_t requester = peer_ip;
    bool forwarded = false;

    if (n > long(kMaxRequest))
        n = -1;  // the socket layer never passes more; refuse if it did
    if (n > long(kTrailerSize) && (b[0] & 0xC0) == 0xC0) {
        forwarded = true;
        b[0] &= std::uint8_t(~kForwardedBit);
        std::memcpy(&requester, b + n - 4, 4);
        n -= 4;
        debug_line(srv, "received forwarded packet from", peer_ip);
    }
    if (n >= 2 && b[1] == kTypeAPP) {
        while (n % 4 != 0)
            b[n++] = 0;
    }
    const std::span<const std::uint8_t> received(b, n > 0 ? std::size_t(n) : 0);
    if (!valid_compound(received, n)) {
        debug_line(srv, "discarded invalid RTCP packet from", requester);
        return {};
    }

    // The first SDES, BYE or APP packet is the one acted on.
    std::size_t pos = 0;
    const std::size_t end = received.size();
    while (pos < end && packet_version(b[pos]) == 2) {
        const std::uint8_t type = b[pos + 1];
        if (type == kTypeSDES || type == kTypeBYE || type == kTypeAPP)
            break;
        pos += packet_size(received.subspan(pos));
    }
    if (pos >= end || packet_version(b[pos]) != 2) {
        debug_line(srv, "discarded RTCP packet with unknown payload from", requester);
        return {};
    }
    if (packet_count(b[pos]) != 1)
        return {};

    const std::uint8_t type = b[pos + 1];
    const auto packet = received.subspan(pos, packet_size(received.subspan(pos)));
    // Fields at fixed offsets must lie within what arrived.
    const std::size_t need = type == kTypeAPP ? 12 : 8;
    if (end - pos < need) {
        debug_line(srv, "discarded invalid RTCP packet from", requester);
        return {};
    }
    const std::string requester_text = dotted(requester);

    if (type == kTypeSDES) {
        Site s = read_announcement(received.subspan(pos, std::max(packet.size(), need)),
                                   requester, peer_port, now);
        if (set.very_verbose)
            std::fprintf(srv.out, "%s: %s SDES %08X\n", prog, requester_text.c_str(),
                         unsigned(ssrc_value(s.ssrc)));
        if (set.debug)
            dump_site(srv.err, s);
        if (!s.cname) {
            if (set.debug || set.verbose) {
                std::fputs("Bogus SDES with no CNAME.\n", srv.err);
                if (!set.debug)
                    dump_site(srv.err, s);
            }
            return {};
        }
        enter_site(srv, std::move(s), now);
        if (!forwarded && !set.peers.empty())
            forward_packet(srv, std::span<std::uint8_t>(buf.bytes), std::size_t(n), requester);
        return {};
    }

    if (type == kTypeBYE) {
        const Ssrc ssrc = ssrc_at(received.subspan(pos));
        if (set.very_verbose)
            std::fprintf(srv.out, "%s: %s BYE %08X\n", prog, requester_text.c_str(),
                         unsigned(ssrc_value(ssrc)));
        release_site(srv, ssrc, now);
        if (!forwarded && !set.peers.empty())
            forward_packet(srv, std::span<std::uint8_t>(buf.bytes), std::size_t(n), requester);
        return {};
    }

    // APP
    const std::uint8_t* name = b + pos + 8;
    if (set.very_verbose)
        std::fprintf(srv.out, "%s: %s APP %.4s\n", prog, requester_text.c_str(),
                     reinterpret_cast<const char*>(name));
    if (std::memcmp(name, kNameQuery.data(), 4) == 0) {
        // The query text runs to its NUL, or to the end of what arrived.
        const char* text = reinterpret_cast<const char*>(b + pos + 12);
        const std::size_t room = end - pos - 12;
        const std::string_view query(text, ::strnlen(text, room));
        return {answer_query(srv, query, requester, srv.reply), "sending query match reply"};
    }
    if (std::memcmp(name, kNameMessageRequest.data(), 4) == 0) {
        if (set.very_verbose)
            std::fprintf(srv.out, "%s: %s server message request\n", prog,
                         requester_text.c_str());
        return {set.message_reply, "sending server message"};
    }
    return {};
}

}  // namespace kovari
