// SPDX-License-Identifier: BSD-2-Clause
#include "devkit/packets.h"

#include <arpa/inet.h>

#include <cstring>

namespace kovari::devkit {

namespace {

// A request APP packet of `size` bytes: header, zero SSRC, name, zeros.
// Packets are made at their full size at once: growing a small vector
// draws false out-of-bounds warnings from GCC 12 at -O3.
Bytes app_packet(const std::array<char, 4>& name, std::size_t size)
{
    Bytes p(size, 0);
    p[0] = kRequestByte0;
    p[1] = kTypeAPP;
    std::memcpy(&p[8], name.data(), 4);
    return p;
}

// A packet of one word of header and an SSRC, then zeros up to `size`;
// `words` is its length field.
Bytes header_and_ssrc(std::uint8_t byte0, std::uint8_t type, std::uint8_t words, const Ssrc& ssrc,
                      std::size_t size = 8)
{
    Bytes p(size, 0);
    p[0] = byte0;
    p[1] = type;
    p[3] = words;
    std::copy(ssrc.begin(), ssrc.end(), p.begin() + 4);
    return p;
}

}  // namespace

void append_chunk(Bytes& packet, const Ssrc& ssrc, const std::vector<Item>& items)
{
    packet.insert(packet.end(), ssrc.begin(), ssrc.end());
    for (const auto& it : items) {
        packet.push_back(it.type);
        packet.push_back(std::uint8_t(it.text.size()));
        packet.insert(packet.end(), it.text.begin(), it.text.end());
    }
    packet.push_back(0);
    while (packet.size() % 4 != 0)
        packet.push_back(0);
}

Bytes sdes_packet(const Ssrc& ssrc, const std::vector<Item>& items)
{
    Bytes p = {0x81, kTypeSDES, 0, 0};
    append_chunk(p, ssrc, items);
    put_length_field(p, p.size());
    return p;
}

std::string port_item_text(int port) { return "\1P" + std::to_string(port); }

Bytes announcement(const Announcement& a)
{
    std::vector<Item> items = {{kItemCNAME, a.cname}};
    if (a.name)
        items.push_back({kItemNAME, *a.name});
    if (a.email)
        items.push_back({kItemEMAIL, *a.email});
    if (a.phone)
        items.push_back({kItemPHONE, *a.phone});
    if (a.loc)
        items.push_back({kItemLOC, *a.loc});
    if (a.tool)
        items.push_back({kItemTOOL, *a.tool});
    if (a.port)
        items.push_back({kItemPRIV, port_item_text(*a.port)});
    return sdes_packet(a.ssrc, items);
}

Bytes match_reply(const std::vector<Chunk>& chunks)
{
    Bytes p = {std::uint8_t(kReplyByte0 + chunks.size()), kTypeSDES, 0, 0};
    for (const auto& c : chunks)
        append_chunk(p, c.ssrc, c.items);
    put_length_field(p, p.size());
    return p;
}

Bytes bye_packet(const Ssrc& ssrc) { return header_and_ssrc(0x81, kTypeBYE, 1, ssrc); }

Bytes receiver_report(const Ssrc& ssrc) { return header_and_ssrc(0x80, kTypeRR, 1, ssrc); }

Bytes sender_report(const Ssrc& ssrc) { return header_and_ssrc(0x80, kTypeSR, 6, ssrc, 28); }

Bytes query_packet(const std::string& text)
{
    // The text, its NUL and zeros up to a whole word, after the header.
    Bytes p = app_packet(kNameQuery, 12 + (text.size() + 4) / 4 * 4);
    std::copy(text.begin(), text.end(), p.begin() + 12);
    put_length_field(p, p.size());
    return p;
}

Bytes message_request()
{
    Bytes p = app_packet(kNameMessageRequest, 12);
    put_length_field(p, p.size());
    return p;
}

Bytes forwarded(Bytes packet, std::uint32_t origin)
{
    packet[0] |= kForwardedBit;
    const auto* o = reinterpret_cast<const std::uint8_t*>(&origin);
    packet.insert(packet.end(), o, o + 4);
    return packet;
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

std::uint32_t ipv4(const char* dotted)
{
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

}  // namespace kovari::devkit
