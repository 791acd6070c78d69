// SPDX-License-Identifier: BSD-2-Clause
#include "table_entry.h"

#include <algorithm>
#include <cstring>

#include "match.h"

namespace kovari {
namespace table_entry {

std::string_view text_of(const Entry& e, int k)
{
    std::size_t off = 0;
    for (int j = 0; j < k; ++j)
        off += e.length[j];
    return {e.texts.get() + off, e.length[k]};
}

std::optional<std::string_view> text_if(const Entry& e, int k)
{
    return has(e, k) ? std::optional(text_of(e, k)) : std::nullopt;
}

std::string_view cname_key(const Entry& e) { return without_marker(text_of(e, kCname)); }

SiteView query_texts(const Entry& e)
{
    SiteView v;
    v.cname = text_of(e, kCname);
    v.name = text_if(e, kName);
    v.email = text_if(e, kEmail);
    return v;
}

std::string_view candidate_of(const Entry& e) { return candidate_text(query_texts(e)); }

std::string_view candidate_key(const Entry& e) { return without_marker(candidate_of(e)); }

std::string_view search_name(const Entry& e) { return has(e, kName) ? text_of(e, kName) : std::string_view(); }

bool unlisted(const Entry& e) { return is_unlisted(text_of(e, kCname), text_if(e, kEmail)); }

bool matches(const Entry& e, std::string_view lowered) { return site_matches(lowered, query_texts(e)); }

Entry pack(const SiteView& s)
{
    Entry e;
    e.time = s.time;
    e.ssrc = s.ssrc;
    e.ip = s.ip;
    e.port = s.port;
    const std::optional<std::string_view>* texts[] = {&s.cname, &s.name, &s.email, &s.phone, &s.loc, &s.tool};
    std::size_t total = 0;
    for (int k = 0; k < SiteTable::kTexts; ++k) {
        if (!*texts[k])
            continue;
        // Texts arrive in SDES items of at most 255 bytes; anything beyond
        // the 16-bit length is not kept.
        e.present = std::uint8_t(e.present | 1 << k);
        e.length[k] = std::uint16_t(std::min<std::size_t>((*texts[k])->size(), 0xffff));
        total += e.length[k];
    }
    e.texts = std::make_unique<char[]>(std::max<std::size_t>(total, 1));
    char* out = e.texts.get();
    for (int k = 0; k < SiteTable::kTexts; ++k) {
        if (*texts[k]) {
            std::memcpy(out, (*texts[k])->data(), e.length[k]);
            out += e.length[k];
        }
    }
    return e;
}

}  // namespace table_entry

SiteView table_view(const SiteTable& t, std::uint32_t slot)
{
    const table_entry::Entry& e = t.slots[slot];
    SiteView v;
    v.time = e.time;
    v.ssrc = e.ssrc;
    v.ip = e.ip;
    v.port = e.port;
    std::optional<std::string_view>* texts[] = {&v.cname, &v.name, &v.email, &v.phone, &v.loc, &v.tool};
    const char* p = e.texts.get();
    for (int k = 0; k < SiteTable::kTexts; ++k) {
        if (table_entry::has(e, k))
            *texts[k] = std::string_view(p, e.length[k]);
        p += e.length[k];
    }
    return v;
}

}  // namespace kovari
