// The site table: every voice program that has announced itself, newest
// first. A repeated announcement for a known CNAME replaces the record in
// place; a sign-off removes the first record (from the head) with its SSRC.
//
// Lookups by CNAME and by SSRC go through hash indexes, so entering and
// releasing cost the same at any table size; walks in table order follow
// the list links.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/site.h"

namespace kovari {

struct SiteTable {
    static constexpr std::uint32_t kNone = 0xffffffffu;

    struct Entry {
        Site site;
        std::uint32_t prev = kNone;  // towards the head
        std::uint32_t next = kNone;  // towards the tail
        std::uint64_t order = 0;     // larger is nearer the head
        bool used = false;
    };

    std::vector<Entry> slots;
    std::vector<std::uint32_t> free_slots;
    std::uint32_t head = kNone;
    std::uint64_t next_order = 1;
    std::size_t count = 0;
    // CNAME without its marker -> slot. CNAMEs are unique under this key.
    std::unordered_map<std::string, std::uint32_t> by_cname;
    // SSRC value -> slots carrying it (any order; the nearest to the head
    // is the one with the largest `order`).
    std::unordered_multimap<std::uint32_t, std::uint32_t> by_ssrc;
};

enum class EnterOutcome { added, replaced };

// Puts a record with a cname into the table: in place of the entry whose
// CNAME is equal (one leading '*' disregarded on each), else at the head.
EnterOutcome table_enter(SiteTable& t, Site&& s);

// Removes the entry nearest the head that carries this SSRC.
std::optional<Site> table_release(SiteTable& t, const Ssrc& ssrc);

// Removes one entry by slot; returns its record.
Site table_remove_slot(SiteTable& t, std::uint32_t slot);

inline std::size_t table_size(const SiteTable& t) { return t.count; }

// The entry at the head: the site added last. The table must not be empty.
inline SiteView table_head(const SiteTable& t) { return view_of(t.slots[t.head].site); }

// Calls f(const SiteView&) for each entry from the head while f returns
// true.
template <typename F>
void for_each_site(const SiteTable& t, F&& f)
{
    for (std::uint32_t i = t.head; i != SiteTable::kNone; i = t.slots[i].next)
        if (!f(view_of(t.slots[i].site)))
            return;
}

// Removes, in table order, every entry older than max_age at `now`, and
// calls on_removed(site) for each after it has left the table.
template <typename F>
void table_expire(SiteTable& t, std::time_t now, std::time_t max_age, F&& on_removed)
{
    std::uint32_t i = t.head;
    while (i != SiteTable::kNone) {
        const std::uint32_t next = t.slots[i].next;
        if (now - t.slots[i].site.time > max_age) {
            const Site gone = table_remove_slot(t, i);
            on_removed(gone);
        }
        i = next;
    }
}

}  // namespace kovari
