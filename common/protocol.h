// SPDX-License-Identifier: BSD-2-Clause
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
// past its end; a field that would run past it is an ordinary "no", and
// every accessor checks before it reads.
class ByteCursor {
public:
    // Reads bytes[start..stop); stop is cut to what arrived.
    ByteCursor(std::span<const std::uint8_t> bytes, std::size_t start, std::size_t stop)
        : bytes_(bytes.first(stop < bytes.size() ? stop : bytes.size())),
          pos_(start < bytes_.size() ? start : bytes_.size())
    {
    }
    explicit ByteCursor(std::span<const std::uint8_t> bytes) : ByteCursor(bytes, 0, bytes.size()) {}

    bool at_end() const { return pos_ == bytes_.size(); }
    std::size_t left() const { return bytes_.size() - pos_; }
    // The read position, counted from the start of the bytes received.
    std::size_t offset() const { return pos_; }

    // The byte `ahead` places past the position, if it arrived.
    std::optional<std::uint8_t> peek(std::size_t ahead = 0) const
    {
        if (ahead >= left())
            return std::nullopt;
        return bytes_[pos_ + ahead];
    }
    // The next k bytes, if all of them arrived; the position stays.
    std::optional<std::span<const std::uint8_t>> peek_bytes(std::size_t k) const
    {
        if (k > left())
            return std::nullopt;
        return bytes_.subspan(pos_, k);
    }
    // The next k bytes, stepping past them; if fewer arrived, nothing, and
    // the cursor is at its end.
    std::optional<std::span<const std::uint8_t>> read_bytes(std::size_t k)
    {
        const auto b = peek_bytes(k);
        skip(k);
        return b;
    }
    // Everything from the position to the end.
    std::span<const std::uint8_t> rest() const { return bytes_.subspan(pos_); }
    void skip(std::size_t k) { pos_ = k > left() ? bytes_.size() : pos_ + k; }

private:
    std::span<const std::uint8_t> bytes_;  // what arrived, up to the end of reading
    std::size_t pos_ = 0;
};

// Reads the SDES item at the cursor (type byte, length byte L, L bytes of
// text) and steps past it: its text, a view into the bytes received. An
// item whose length runs past the end of the bytes received yields nothing
// and leaves the cursor at the end, so the caller's scan stops there: a
// truncated item is dropped.
std::optional<std::string_view> read_item(ByteCursor& c);

// Private item texts: byte 1, a one-letter prefix, the value.
// Returns the prefix letter, or 0 when the text is not a private item of
// that form.
inline char private_prefix(std::string_view text)
{
    return text.size() >= 2 && text[0] == 1 ? text[1] : 0;
}

}  // namespace kovari
