// SPDX-License-Identifier: BSD-2-Clause
// Checks shared by the fuzz targets: what must hold of the site table and
// of every match reply, whatever arrived.
#include <string>
#include <unordered_set>

#include "harness.h"

namespace kovari::fuzz {

std::FILE* null_stream()
{
    static std::FILE* const sink = std::fopen("/dev/null", "w");
    return sink;
}

const char* check_table(const SiteTable& t)
{
    // Only what the table shows to its readers: its walk and its size.
    std::size_t walked = 0;
    const char* bad = nullptr;
    std::unordered_set<std::string> cnames;
    for_each_site(t, [&](const SiteView& s) {
        if (!s.cname)
            bad = "a table entry has no CNAME";
        else if (!cnames.insert(std::string(without_marker(*s.cname))).second)
            bad = "two table entries have the same CNAME";
        else if (++walked > table_size(t))
            bad = "the table's walk is longer than its size";
        return bad == nullptr;
    });
    if (bad)
        return bad;
    if (walked != table_size(t))
        return "the table's walk differs from its size";
    return nullptr;
}

const char* check_match_reply(std::span<const std::uint8_t> r, std::size_t& chunks)
{
    chunks = 0;
    if (r.size() < 4 || r.size() > kMaxReply || r.size() % 4 != 0)
        return "match reply size is not a multiple of 4 between 4 and 512";
    if ((r[0] & 0xE0) != kReplyByte0 || r[1] != kTypeSDES)
        return "match reply header is wrong";
    if (packet_size(r) != r.size())
        return "match reply length field does not give its size";
    const std::size_t count = packet_count(r[0]);
    std::size_t pos = 4;
    for (; chunks < count; ++chunks) {
        if (r.size() - pos < 4)
            return "match reply ends inside an SSRC";
        pos += 4;
        std::uint8_t last_type = 0;
        int privates = 0;
        const char order[] = {'P', 'I', 'T'};
        for (;;) {
            if (pos >= r.size())
                return "match reply chunk has no end item";
            const std::uint8_t type = r[pos];
            if (type == kItemEnd) {
                ++pos;
                while (pos % 4 != 0) {
                    if (pos >= r.size() || r[pos] != 0)
                        return "match reply chunk alignment is not zero bytes";
                    ++pos;
                }
                break;
            }
            if (r.size() - pos < 2)
                return "match reply item header runs past the reply";
            const std::size_t len = r[pos + 1];
            if (len == 0 || len > kMaxItemText)
                return "match reply item text is empty or longer than 48";
            if (r.size() - pos - 2 < len)
                return "match reply item text runs past the reply";
            if (type == kItemPRIV) {
                if (privates >= 3 || len < 2 || r[pos + 2] != 1 || r[pos + 3] != order[privates])
                    return "match reply private items are not P, I, T";
                ++privates;
            } else if (type < kItemCNAME || type > kItemTOOL || type <= last_type || privates) {
                return "match reply items are out of order";
            }
            last_type = type;
            pos += 2 + len;
        }
        if (privates != 3)
            return "match reply chunk lacks a private item";
    }
    if (pos != r.size())
        return "match reply holds more than its chunk count";
    return nullptr;
}

}  // namespace kovari::fuzz
