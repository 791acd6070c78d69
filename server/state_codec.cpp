// SPDX-License-Identifier: BSD-2-Clause
#include "state_codec.h"

#include <array>
#include <cstring>
#include <vector>

#include "common/protocol.h"
#include "common/report.h"

namespace kovari {

namespace {

// CRC-32 as in zlib and Ethernet (reflected 0xEDB88320), eight bytes a
// step through eight tables ("slicing by 8"): a byte-wise loop, one table
// lookup per byte in a chain that each depends on the last, would be about
// a fifth of loading a million sites.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

const CrcTables& crc_tables()
{
    static const CrcTables tables = [] {
        CrcTables t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][i] = c;
        }
        for (std::size_t k = 1; k < 8; ++k)
            for (std::size_t i = 0; i < 256; ++i)
                t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xff];
        return t;
    }();
    return tables;
}

std::uint32_t crc32(std::span<const std::uint8_t> bytes)
{
    const CrcTables& t = crc_tables();
    std::uint32_t c = 0xffffffffu;
    std::size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        const std::uint8_t* b = bytes.data() + i;
        const std::uint32_t lo = c ^ (std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 |
                                      std::uint32_t(b[2]) << 16 | std::uint32_t(b[3]) << 24);
        c = t[7][lo & 0xff] ^ t[6][(lo >> 8) & 0xff] ^ t[5][(lo >> 16) & 0xff] ^ t[4][lo >> 24] ^
            t[3][b[4]] ^ t[2][b[5]] ^ t[1][b[6]] ^ t[0][b[7]];
    }
    for (; i < bytes.size(); ++i)
        c = t[0][(c ^ bytes[i]) & 0xff] ^ (c >> 8);
    return c ^ 0xffffffffu;
}

void put_be(std::string& out, std::uint64_t v, std::size_t bytes)
{
    for (std::size_t k = bytes; k-- > 0;)
        out += char((v >> (8 * k)) & 0xff);
}

std::optional<std::uint64_t> read_be(ByteCursor& c, std::size_t bytes)
{
    const auto b = c.read_bytes(bytes);
    if (!b)
        return std::nullopt;
    std::uint64_t v = 0;
    for (const std::uint8_t x : *b)
        v = (v << 8) | x;
    return v;
}

// The big-endian number of `size` bytes at `at`, if the bytes hold it.
std::optional<std::uint64_t> read_be_at(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t size)
{
    ByteCursor c(bytes, at, at + size);
    return read_be(c, size);
}

void put_item_text(std::string& out, std::uint8_t type, const std::optional<std::string_view>& text)
{
    if (!text)
        return;
    out += char(type);
    out += char(text->size());  // a site's texts hold at most 255 bytes
    out += *text;
}

void put_record(std::string& out, const SiteView& s)
{
    put_be(out, std::uint64_t(std::int64_t(s.time)), kSiteTimeSize);
    out.append(reinterpret_cast<const char*>(s.ssrc.data()), kSiteSsrcSize);
    out.append(reinterpret_cast<const char*>(&s.ip), kSiteIpSize);  // network order as it is
    put_be(out, std::uint16_t(s.port), kSitePortSize);
    put_item_text(out, kItemCNAME, s.cname);
    put_item_text(out, kItemNAME, s.name);
    put_item_text(out, kItemEMAIL, s.email);
    put_item_text(out, kItemPHONE, s.phone);
    put_item_text(out, kItemLOC, s.loc);
    put_item_text(out, kItemTOOL, s.tool);
    out += char(kItemEnd);
}

// The one reading of a record: the site at the cursor, as a look at the
// file's bytes, or nothing when it is malformed (it runs past the end or
// has no CNAME). The items are read as read_chunk_items reads them (a later
// item of a type replaces an earlier one, other types are passed over, a
// NUL ends a text), without a copy of any text. Checking a file and taking
// its sites both read through here.
std::optional<SiteView> read_record(ByteCursor& c)
{
    static_assert(kSiteSsrcSize == sizeof(Ssrc) && kSiteIpSize == sizeof(SiteView::ip));
    SiteView s;
    const auto time = read_be(c, kSiteTimeSize);
    const auto ssrc = c.read_bytes(kSiteSsrcSize);
    const auto ip = c.read_bytes(kSiteIpSize);
    const auto port = read_be(c, kSitePortSize);
    if (!time || !ssrc || !ip || !port)
        return std::nullopt;
    s.time = std::time_t(std::int64_t(*time));
    std::memcpy(s.ssrc.data(), ssrc->data(), kSiteSsrcSize);
    std::memcpy(&s.ip, ip->data(), kSiteIpSize);
    s.port = std::int16_t(std::uint16_t(*port));
    while (const auto type = c.peek()) {
        if (*type == kItemEnd) {
            c.skip(1);
            return s.cname ? std::optional<SiteView>(s) : std::nullopt;
        }
        // An item: its type, its length, that many bytes.
        const auto length = c.peek(1);
        const auto item = length ? c.read_bytes(2 + std::size_t(*length)) : std::nullopt;
        if (!item)
            return std::nullopt;
        const char* first = reinterpret_cast<const char*>(item->data() + 2);
        const std::string_view text(first, ::strnlen(first, *length));
        switch (*type) {
        case kItemCNAME: s.cname = text; break;
        case kItemNAME: s.name = text; break;
        case kItemEMAIL: s.email = text; break;
        case kItemPHONE: s.phone = text; break;
        case kItemLOC: s.loc = text; break;
        case kItemTOOL: s.tool = text; break;
        default: break;
        }
    }
    return std::nullopt;
}

std::string size_text(std::size_t have, std::uint64_t want)
{
    return format("(%zu of %llu bytes)", have, static_cast<unsigned long long>(want));
}

// The header and the checksum: what is wrong with the file as a whole.
std::optional<std::string> check_frame(std::span<const std::uint8_t> bytes)
{
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (bytes.empty())
        return "is empty";
    if (text.substr(0, kStateMagic.size()) != kStateMagic.substr(0, std::min(text.size(), kStateMagic.size())))
        return "is not a state file";
    if (bytes.size() < kStateHeaderSize)
        return "is truncated " + size_text(bytes.size(), kStateHeaderSize);
    const std::uint64_t version = *read_be_at(bytes, kVersionAt, kVersionSize);
    const std::uint64_t length = *read_be_at(bytes, kLengthAt, kLengthSize);
    if (version != kStateVersion)
        return format("has version %llu; this server reads version %u", static_cast<unsigned long long>(version),
                      kStateVersion);
    if (length < kStateHeaderSize + kChecksumSize || bytes.size() < length)
        return "is truncated " + size_text(bytes.size(), length);
    if (bytes.size() > length)
        return "is longer than its header says " + size_text(bytes.size(), length);
    const std::size_t sum_at = bytes.size() - kChecksumSize;
    if (crc32(bytes.first(sum_at)) != *read_be_at(bytes, sum_at, kChecksumSize))
        return "is corrupted (its checksum does not match)";
    return std::nullopt;
}

}  // namespace

std::string encode_state(const SiteTable& t, std::time_t now)
{
    std::string out(kStateMagic);
    put_be(out, kStateVersion, kVersionSize);
    put_be(out, table_size(t), kCountSize);
    put_be(out, 0, kLengthSize);  // filled in below
    put_be(out, std::uint64_t(std::int64_t(now)), kWrittenAtSize);
    for_each_site(t, [&](const SiteView& s) {
        put_record(out, s);
        return true;
    });
    std::string length;
    put_be(length, out.size() + kChecksumSize, kLengthSize);
    out.replace(kLengthAt, kLengthSize, length);
    put_be(out, crc32({reinterpret_cast<const std::uint8_t*>(out.data()), out.size()}), kChecksumSize);
    return out;
}

DecodedState decode_state_views(std::span<const std::uint8_t> bytes, std::time_t now, std::size_t most,
                                const std::function<void(std::size_t)>& expect,
                                const std::function<void(const SiteView&)>& take)
{
    DecodedState d;
    if ((d.problem = check_frame(bytes)))
        return d;
    const std::uint64_t count = *read_be_at(bytes, kCountAt, kCountSize);
    const std::size_t sites_end = bytes.size() - kChecksumSize;
    ByteCursor c(bytes, kStateHeaderSize, sites_end);
    // First the whole file is checked and the sites to take are chosen,
    // head first, keeping only where each starts: a million sites are
    // never held twice. Then they are read again and handed over from the
    // tail.
    constexpr std::size_t kSmallestSite = kSiteTimeSize + kSiteSsrcSize + kSiteIpSize + kSitePortSize + 3;
    std::vector<std::size_t> chosen;
    chosen.reserve(std::size_t(std::min<std::uint64_t>(count, bytes.size() / kSmallestSite)));
    for (std::uint64_t k = 0; k < count; ++k) {
        const std::size_t start = c.offset();
        const auto s = read_record(c);
        if (!s) {
            d.problem = format("is corrupted (site %llu of %llu is malformed)",
                               static_cast<unsigned long long>(k + 1), static_cast<unsigned long long>(count));
            return d;
        }
        // Compared so that no time in the file, however far off, overflows.
        if (s->time < now - kMaxSiteAge)
            ++d.too_old;
        else if (most == 0 || chosen.size() < most)
            chosen.push_back(start);
    }
    if (!c.at_end()) {
        d.problem = format("is corrupted (%zu bytes after the last site)", c.left());
        return d;
    }
    expect(chosen.size());
    for (auto it = chosen.rbegin(); it != chosen.rend(); ++it) {
        ByteCursor at(bytes, *it, sites_end);
        if (auto s = read_record(at)) {
            s->time = std::min(s->time, now);
            take(*s);
        }
    }
    return d;
}

DecodedState decode_state(std::span<const std::uint8_t> bytes, std::time_t now, std::size_t most,
                          const std::function<void(Site&&)>& take)
{
    return decode_state_views(
        bytes, now, most, [](std::size_t) {}, [&](const SiteView& s) { take(site_of(s)); });
}

}  // namespace kovari
