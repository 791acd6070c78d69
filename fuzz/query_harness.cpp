// SPDX-License-Identifier: BSD-2-Clause
// The query path: matching and the clean-up of texts, over a table built
// from the input, with the reply cap.
#include <arpa/inet.h>

#include <cstring>
#include <vector>

#include "common/utf8.h"
#include "harness.h"
#include "server/activity.h"
#include "server/match.h"
#include "server/query.h"

namespace kovari::fuzz {
namespace {

const char* check_answer(Server& srv, const std::string& query, const std::string& lowered);

// What put_item writes must be a displayable item of at most 48
// characters: no control bytes, white space only as single blanks, none at
// the end. Only the first byte of a private item is kept as it is.
const char* check_item(std::uint8_t type, std::string_view text)
{
    std::uint8_t out[2 + 256];
    std::size_t cursor = 0;
    put_item(type, text, std::span<std::uint8_t>(out), cursor);
    if (cursor == 0)
        return nullptr;  // cleaned to nothing: nothing written
    const std::size_t len = out[1];
    if (out[0] != type || cursor != 2 + len)
        return "put_item wrote a wrong item header";
    if (len == 0 || len > kMaxItemText)
        return "put_item wrote an item of 0 or more than 48 characters";
    const std::string_view shown(reinterpret_cast<const char*>(out + 2), len);
    for (std::size_t i = 0; i < len; ++i) {
        const std::uint8_t c = out[2 + i];
        if (type == kItemPRIV && i == 0)
            continue;
        // A UTF-8 character is kept whole, but never a C1 control or a
        // no-break space; any other byte goes by the 8-bit rules.
        if (const std::size_t seq = utf8_sequence(shown, i); seq > 0) {
            if (utf8_code_point(shown, i, seq) <= 0xA0)
                return "put_item kept a C1 control or a no-break space";
            i += seq - 1;
            continue;
        }
        if (c < 0x20 || (c >= 0x7f && c <= 0xa0))
            return "put_item kept a control byte";
        if (c == ' ' && (i + 1 == len || out[3 + i] == ' '))
            return "put_item kept a trailing or doubled blank";
    }
    return nullptr;
}

const char* check_site_texts(const Site& s)
{
    const std::optional<std::string>* texts[] = {&s.cname, &s.name,  &s.email,
                                                 &s.phone, &s.loc,   &s.tool};
    for (std::uint8_t k = 0; k < 6; ++k)
        if (*texts[k])
            if (const char* bad = check_item(std::uint8_t(kItemCNAME + k), **texts[k]))
                return bad;
    return nullptr;
}

// Sites whose texts hold the query's trigrams without (mostly) holding
// the query: its first and last runs of all but one byte, with 0 to 9
// bytes between them, the query with one byte changed, and the query
// itself, in both the CNAME and the name. At most 38 sites, none for a
// query too long for its texts to stay within an item's 255 bytes.
std::vector<Site> false_candidates(const std::string& query)
{
    std::vector<std::string> texts;
    if (query.size() > 120)
        return {};
    if (query.size() >= 2) {
        const std::string head = query.substr(0, query.size() - 1), tail = query.substr(1);
        for (std::size_t gap = 0; gap < 10; ++gap)
            texts.push_back(head + std::string(gap, 'x') + tail);
    }
    for (std::size_t i = 0; i < query.size() && i < 8; ++i) {
        std::string t = query;
        t[i] = char(t[i] ^ 1);
        texts.push_back(t);
    }
    texts.push_back("<" + query + ">");
    std::vector<Site> sites;
    for (std::size_t k = 0; k < texts.size(); ++k) {
        for (bool in_name : {false, true}) {
            Site s;
            s.ssrc = {0, 0, std::uint8_t(k), std::uint8_t(in_name)};
            s.cname = in_name ? "c" + std::to_string(k) + "-" + std::to_string(sites.size()) : texts[k];
            if (in_name)
                s.name = texts[k];
            s.ip = 0x0700000a;
            s.time = kFuzzEpoch;
            sites.push_back(std::move(s));
        }
    }
    return sites;
}

Server quiet_server()
{
    Server srv;
    srv.out = null_stream();
    srv.err = null_stream();
    srv.settings.very_verbose = true;  // the query line is written too
    return srv;
}

}  // namespace

const char* run_query_input(const std::uint8_t* data, std::size_t size)
{
    const auto* nul = static_cast<const std::uint8_t*>(std::memchr(data, 0, size));
    const std::string query(reinterpret_cast<const char*>(data),
                            nul ? std::size_t(nul - data) : size);
    Server srv = quiet_server();

    if (nul) {
        ByteCursor c(std::span<const std::uint8_t>(data, size), std::size_t(nul - data) + 1, size);
        while (const auto ssrc = c.read_bytes(4)) {
            Site s;
            std::copy(ssrc->begin(), ssrc->end(), s.ssrc.begin());
            const char* bad = nullptr;
            read_chunk_items(c, s, [&](std::string_view item) {
                const std::string text(item);
                if (bad == nullptr)
                    bad = check_item(kItemPRIV, text);
                const char* value = text.c_str() + (text.size() >= 2 ? 2 : text.size());
                switch (private_prefix(text)) {
                case 'P': s.port = std::int16_t(parse_decimal(value)); break;
                case 'T': s.time = std::time_t(parse_decimal(value)); break;
                case 'I':
                    if (inet_pton(AF_INET, value, &s.ip) != 1)
                        s.ip = 0xffffffff;
                    break;
                default: break;
                }
            });
            if (bad == nullptr)
                bad = check_site_texts(s);
            if (bad != nullptr)
                return bad;
            if (s.cname)
                enter_site(srv, std::move(s), kFuzzEpoch, 0);
        }
    }

    // Lower-casing 8-bit text touches 'A' to 'Z' only; UTF-8 stays UTF-8,
    // and folding it again changes nothing.
    std::string lowered = query;
    lower_case(lowered);
    if (!is_utf8(query)) {
        if (lowered.size() != query.size())
            return "lower_case changed the length of 8-bit text";
        for (std::size_t i = 0; i < query.size(); ++i) {
            const char c = query[i];
            const char want = c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
            if (lowered[i] != want)
                return "lower_case changed a byte other than an upper-case letter";
        }
    } else {
        std::string again = lowered;
        lower_case(again);
        if (!is_utf8(lowered) || again != lowered)
            return "lower_case of UTF-8 is not UTF-8 or not stable";
    }

    if (const char* bad = check_answer(srv, query, lowered))
        return bad;
    // The same query over a table made against it: texts that hold each of
    // its trigrams, at offsets that agree modulo 8 or not, with small
    // changes, and now and then the query itself.
    Server against = quiet_server();
    against.settings.max_per_address = 0;
    for (const Site& s : false_candidates(query))
        enter_site(against, Site(s), kFuzzEpoch, 0);
    return check_answer(against, query, lowered);
}

namespace {

const char* check_answer(Server& srv, const std::string& query, const std::string& lowered)
{
    const auto reply = answer_query(srv, query, 0x0100007f, srv.reply);
    std::size_t chunks = 0;
    if (const char* bad = check_match_reply(reply, chunks))
        return bad;
    if (const char* bad = check_table(srv.table))
        return bad;

    // The chunks are those of the first matching sites in table order; a
    // matching site is left out only when its chunk would have broken the
    // cap.
    const std::string_view q = lowered;
    std::vector<SiteView> matching;
    for_each_site(srv.table, [&](const SiteView& s) {
        if (site_matches(q, s))
            matching.push_back(s);
        return true;
    });
    if (chunks > matching.size())
        return "match reply holds more chunks than sites match";
    std::size_t pos = 4;
    for (std::size_t k = 0; k < chunks; ++k) {
        if (std::memcmp(&reply[pos], matching[k].ssrc.data(), 4) != 0)
            return "match reply chunks are not the matching sites in table order";
        pos += 4;
        while (reply[pos] != kItemEnd)
            pos += 2 + reply[pos + 1];
        pos = (pos + 4) & ~std::size_t(3);
    }
    if (chunks < matching.size()) {
        Server alone = quiet_server();
        enter_site(alone, site_of(matching[chunks]), kFuzzEpoch, 0);
        const auto single = answer_query(alone, query, 0x0100007f, alone.reply);
        if (single.size() <= 4)
            return "a matching site does not match on its own";
        if (reply.size() + (single.size() - 4) <= kMaxReply)
            return "a matching site was left out although its chunk fits";
    }

    // The plain walk's reply, byte for byte: the chunk of each matching site
    // in table order, as a server that holds that site alone sends it, up
    // to the first that breaks the cap.
    std::vector<std::uint8_t> plain = {kReplyByte0, kTypeSDES, 0, 0};
    for (const SiteView& s : matching) {
        Server alone = quiet_server();
        enter_site(alone, site_of(s), kFuzzEpoch, 0);
        const auto single = answer_query(alone, query, 0x0100007f, alone.reply);
        if (plain.size() + single.size() - 4 > kMaxReply)
            break;
        plain.insert(plain.end(), single.begin() + 4, single.end());
        ++plain[0];
    }
    plain[2] = std::uint8_t((plain.size() / 4 - 1) >> 8);
    plain[3] = std::uint8_t(plain.size() / 4 - 1);
    if (!std::equal(reply.begin(), reply.end(), plain.begin(), plain.end()))
        return "match reply differs from the plain walk's";
    return nullptr;
}

}  // namespace

}  // namespace kovari::fuzz
