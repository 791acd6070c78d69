// SPDX-License-Identifier: BSD-2-Clause
#include "table_entry.h"

#include <algorithm>
#include <cstring>

namespace kovari {
namespace table_entry {

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
