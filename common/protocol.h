// Wire layout of the directory protocol: RTCP (version 2) packets carried
// one per TCP connection. Every routine that reads bytes from the network
// goes through ByteCursor, which knows how many bytes arrived.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kovari {

inline constexpr int kDefaultPort = 2076;

// Packet types of the RTCP common header.
inline constexpr std::uint8_t kTypeSR = 200;
inline constexpr std::uint8_t kTypeRR = 201;
inline constexpr std::uint8_t kTypeSDES = 202;
inline constexpr std::uint8_t kTypeBYE = 203;
inline constexpr std::uint8_t kTypeAPP = 204;

// SDES item types.
inline constexpr std::uint8_t kItemEnd = 0;
inline constexpr std::uint8_t kItemCNAME = 1;
inline constexpr std::uint8_t kItemNAME = 2;
inline constexpr std::uint8_t kItemEMAIL = 3;
inline constexpr std::uint8_t kItemPHONE = 4;
inline constexpr std::uint8_t kItemLOC = 5;
inline constexpr std::uint8_t kItemTOOL = 6;
inline constexpr std::uint8_t kItemPRIV = 8;

// Byte 0 of a request: version 2, count (or APP subtype) 1.
inline constexpr std::uint8_t kRequestByte0 = 0x81;
// Byte 0 of a match reply before the chunk count is added.
inline constexpr std::uint8_t kReplyByte0 = 0x80;
// Set in byte 0 of a packet one server forwards to another.
inline constexpr std::uint8_t kForwardedBit = 0x40;
inline constexpr std::uint8_t kPaddingBit = 0x20;

// APP packet names.
inline constexpr std::array<char, 4> kNameQuery = {'K', 'V', 'l', 'q'};
inline constexpr std::array<char, 4> kNameMessageRequest = {'K', 'V', 'm', 's'};
inline constexpr std::array<char, 4> kNameMessageReply = {'K', 'V', 'm', 'r'};

// Limits of one exchange.
inline constexpr std::size_t kMaxRequest = 1024;    // one receive by the server
inline constexpr std::size_t kTrailerSize = 4;      // forwarding trailer
inline constexpr std::size_t kMaxReply = 512;       // match reply cap
inline constexpr std::size_t kMaxItemText = 48;     // item text in a match reply
inline constexpr std::size_t kLookupBuffer = 1500;  // lookup request and reply
inline constexpr std::size_t kMessageReplyHeader = 12;

using Ssrc = std::array<std::uint8_t, 4>;

// The 32-bit value an SSRC prints as: its four bytes read little-endian.
inline std::uint32_t ssrc_value(const Ssrc& s)
{
    return std::uint32_t(s[0]) | std::uint32_t(s[1]) << 8 | std::uint32_t(s[2]) << 16 |
           std::uint32_t(s[3]) << 24;
}

inline int packet_version(std::uint8_t byte0) { return byte0 >> 6; }
inline int packet_count(std::uint8_t byte0) { return byte0 & 0x1f; }

// Big-endian 16-bit length field at offset 2 of a packet header.
inline std::size_t length_field(std::span<const std::uint8_t> header)
{
    return std::size_t(header[2]) << 8 | header[3];
}

// Size of a packet in bytes, from its length field.
inline std::size_t packet_size(std::span<const std::uint8_t> header)
{
    return (length_field(header) + 1) * 4;
}

inline void put_length_field(std::span<std::uint8_t> packet, std::size_t total)
{
    const std::size_t words = total / 4 - 1;
    packet[2] = std::uint8_t(words >> 8);
    packet[3] = std::uint8_t(words);
}

// A read position inside the bytes that actually arrived. It never steps
// past `end`; a field that would run past it is an ordinary "no".
struct ByteCursor {
    std::span<const std::uint8_t> bytes;  // everything received
    std::size_t pos = 0;
    std::size_t end = 0;                  // reads stop here (<= bytes.size())

    ByteCursor(std::span<const std::uint8_t> b, std::size_t start, std::size_t stop)
        : bytes(b), pos(start), end(stop < b.size() ? stop : b.size())
    {
    }

    bool at_end() const { return pos >= end; }
    std::size_t left() const { return at_end() ? 0 : end - pos; }
    std::uint8_t peek() const { return bytes[pos]; }
    void skip(std::size_t k) { pos = k > left() ? end : pos + k; }
};

// Reads the SDES item at the cursor (type byte, length byte L, L bytes of
// text) and steps past it. An item whose length runs past the end of the
// bytes received yields nothing and leaves the cursor at the end, so the
// caller's scan stops there: a truncated item is dropped.
std::optional<std::string> read_item(ByteCursor& c);

// Private item texts: byte 1, a one-letter prefix, the value.
// Returns the prefix letter, or 0 when the text is not a private item of
// that form.
inline char private_prefix(const std::string& text)
{
    return text.size() >= 2 && text[0] == 1 ? text[1] : 0;
}

// Decimal conversion in the manner of strtol(…, 10): leading white space and
// a sign are accepted, reading stops at the first non-digit, no digits give
// 0. Saturates instead of overflowing.
long parse_decimal(const char* text);

inline bool is_space(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace kovari
