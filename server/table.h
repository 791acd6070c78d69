// SPDX-License-Identifier: BSD-2-Clause
// The site table: every voice program that has announced itself, newest
// first. A repeated announcement for a known CNAME replaces the record in
// place; a sign-off removes the first record (from the head) with its SSRC.
//
// Storage is compact: one slot per site with its fixed fields and list
// links, its texts packed into one allocation. Three open-addressing hash
// indexes (hash_index.h) find a site by CNAME, by SSRC and by the lowered
// text that an exact query compares; a trigram index of the texts that a
// substring query searches (search.h) gives the candidates that the
// query's texts are compared with. So entering, releasing and looking up
// cost the same at any table size, and a query that matches nothing or
// few sites reads a few posting lists, not the table.
//
// Table order: new sites go to the head and nothing ever moves, so the
// list order is the order of the slots' `recency`, largest first.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/site.h"
#include "hash_index.h"
#include "search.h"

namespace kovari {

inline constexpr std::time_t kMaxSiteAge = 900;  // older sites expire

struct SiteTable {
    static constexpr std::uint32_t kNone = 0xffffffffu;
    static constexpr int kTexts = 6;  // cname, name, email, phone, loc, tool

    struct Entry {
        std::unique_ptr<char[]> texts;   // the texts that are set, back to back
        std::time_t time = 0;
        Ssrc ssrc{};
        std::uint32_t ip = 0;
        std::uint32_t prev = kNone;      // towards the head
        std::uint32_t next = kNone;      // towards the tail
        std::int16_t port = 0;
        std::uint8_t present = 0;        // bit k: text k is set
        std::uint16_t length[kTexts]{};  // SDES items hold at most 255 bytes
    };

    std::vector<Entry> slots;
    // Per slot its recency: larger is nearer the head; 0: a free slot.
    // Kept beside the slots rather than in them, so that the search unit
    // reads them as a plain span without knowing what a slot is.
    std::vector<std::uint32_t> recency;
    std::vector<std::uint32_t> free_slots;
    std::uint32_t head = kNone;
    std::uint32_t next_recency = 1;  // renumbered before it would wrap
    std::size_t count = 0;
    std::size_t unlisted = 0;  // of `count`: kept as sites come, change and go

    HashIndex by_cname;      // CNAME without its marker; unique
    HashIndex by_ssrc;       // SSRC; several sites may share one
    HashIndex by_candidate;  // lowered e-mail (else CNAME) without its marker

    // The trigrams of the substring search texts of the listed sites, each
    // indexed under its slot number; unlisted sites have none. Stamps
    // renumbered, or the index's entry numbers run out, index them anew.
    SearchIndex search;
    // The sites entered in a run (a state file loaded) are indexed later,
    // some at a time from the tail: this is the next of them to file, and
    // every site from it to the head may still be unfiled. kNone: every
    // listed site is indexed.
    std::uint32_t index_next = kNone;

    // Sites held per address (forwarded sites under their origin), for the
    // cap on what one address may fill. Only addresses that hold a site are
    // here, so no more entries than sites (-N); keyed as the indexes are,
    // O(1) a look-up on average.
    std::unordered_map<std::uint32_t, std::uint32_t, KeyedHasher> by_address;

    // Work area for folding a key before it is hashed, kept so that
    // entering a site allocates nothing for it once the table has grown.
    std::string fold_area;
};

// Keys every hash of the table with `key`: the indexes, the search index's
// maps and the count per address. Set while the table is empty (at start,
// before the state file is loaded).
void table_set_hash_key(SiteTable& t, const HashKey& key);

enum class EnterOutcome { added, replaced };

// Puts a record with a cname into the table: in place of the entry whose
// CNAME is equal (one leading '*' disregarded on each), else at the head.
EnterOutcome table_enter(SiteTable& t, Site&& s);
// The same from a look at a record, whose texts are copied.
EnterOutcome table_enter(SiteTable& t, const SiteView& s);

// The hashes of a record's keys in the indexes.
struct EntryHashes {
    std::uint32_t cname = 0;      // the CNAME without its marker
    std::uint32_t ssrc = 0;
    std::uint32_t candidate = 0;  // folded
};

// Entering a run of sites (loading a state file): each is entered as
// table_enter would, with the hashes table_prefetch gave for it, but the
// search texts of new sites are left to table_index_some, so that the
// server can serve before the last of a million sites is indexed. Until they
// all are, a query walks the table from the head, which gives the same
// answer, and every change works as at any other time.
EnterOutcome table_enter_batched(SiteTable& t, const SiteView& s, const EntryHashes& h);
// Indexes the search texts of up to `most` of the sites that wait for it, in
// bulk, from the tail. Returns whether any still wait.
bool table_index_some(SiteTable& t, std::size_t most);
inline bool table_indexing_pending(const SiteTable& t) { return t.index_next != SiteTable::kNone; }

// Makes room for `more` sites beyond those there, so that entering them
// neither moves the slots nor rebuilds an index (loading a state file).
void table_reserve(SiteTable& t, std::size_t more);

// Fetches ahead what entering this record (which has a CNAME) will read of
// the indexes, so that a run of entries (loading a state file) overlaps
// its cache misses, and returns the hashes it computed for that. Changes
// nothing that can be seen.
EntryHashes table_prefetch(SiteTable& t, const SiteView& s);

// One look in the CNAME index: the slot of the site with this CNAME (one
// leading '*' disregarded on each), kNone when none is listed, and the
// hash it was looked up by. Entering a record with that CNAME through the
// probe, while the table has not changed since, costs no second look.
struct CnameProbe {
    std::uint32_t slot = SiteTable::kNone;
    std::uint32_t hash = 0;
};
CnameProbe table_probe_cname(const SiteTable& t, std::string_view cname);
EnterOutcome table_enter(SiteTable& t, const SiteView& s, const CnameProbe& probe);

// How many sites the table holds for this address.
std::size_t table_sites_at(const SiteTable& t, std::uint32_t ip);

// Moves every site's time by `step` seconds. O(n).
void table_shift_times(SiteTable& t, std::time_t step);

// A sign-off: the entry nearest the head that carries this SSRC and was
// announced from `owner` leaves the table. When entries carry the SSRC but
// none of them is the owner's, nothing leaves and `held_elsewhere` says so.
struct Release {
    std::optional<Site> site;     // the site that left
    bool held_elsewhere = false;  // the SSRC is listed, from other addresses only
};
Release table_release(SiteTable& t, const Ssrc& ssrc, std::uint32_t owner);

// Removes one entry by slot; returns its record.
Site table_remove_slot(SiteTable& t, std::uint32_t slot);

inline std::size_t table_size(const SiteTable& t) { return t.count; }
// The unlisted sites among them, without a walk.
inline std::size_t table_unlisted(const SiteTable& t) { return t.unlisted; }

// A look at the site in a slot; valid until the table next changes.
SiteView table_view(const SiteTable& t, std::uint32_t slot);

// The entry at the head: the site added last. The table must not be empty.
inline SiteView table_head(const SiteTable& t) { return table_view(t, t.head); }

// The first `limit` sites, in table order, that a lowered, non-empty query
// selects (with the rules of site_matches). Writes their slots to `out` and
// returns how many there are. A query of three bytes or more, or a short
// one that few sites hold, goes through the trigram index; a short one
// that many hold, through the walk from the head, which soon has enough.
// nullopt when the trigram index gave the query up as too costly (see
// search_find): it then has no answer.
std::optional<std::size_t> table_find(const SiteTable& t, std::string_view lowered_query, std::uint32_t* out,
                       std::size_t limit);

// Calls f(const SiteView&) for each entry from the head while f returns
// true.
template <typename F>
void for_each_site(const SiteTable& t, F&& f)
{
    for (std::uint32_t i = t.head; i != SiteTable::kNone; i = t.slots[i].next)
        if (!f(table_view(t, i)))
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
        if (now - t.slots[i].time > max_age) {
            const Site gone = table_remove_slot(t, i);
            on_removed(gone);
        }
        i = next;
    }
}

}  // namespace kovari
