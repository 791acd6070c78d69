// SPDX-License-Identifier: BSD-2-Clause
#include "table.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/text.h"
#include "table_entry.h"

namespace kovari {

using namespace table_entry;

namespace {

// The hash of a candidate key in its folded form, the form in which an
// exact query arrives.
std::uint32_t folded_hash(SiteTable& t, std::string_view key)
{
    fold_into(t.fold_area, key);
    return hash_text(t.by_candidate.key, t.fold_area);
}

void count_address(SiteTable& t, std::uint32_t ip) { ++t.by_address[ip]; }

void uncount_address(SiteTable& t, std::uint32_t ip)
{
    const auto it = t.by_address.find(ip);
    if (it != t.by_address.end() && --it->second == 0)
        t.by_address.erase(it);
}

// The hashes of a record under which the indexes file it, that of its
// CNAME given.
EntryHashes hashes_of(SiteTable& t, const SiteView& s, std::uint32_t cname_hash)
{
    return {cname_hash, hash_ssrc(t.by_ssrc.key, s.ssrc), folded_hash(t, without_marker(candidate_text(s)))};
}

EntryHashes hashes_of(SiteTable& t, const SiteView& s)
{
    return hashes_of(t, s, hash_text(t.by_cname.key, without_marker(*s.cname)));
}

void index_site(SiteTable& t, std::uint32_t slot, const EntryHashes& h)
{
    count_address(t, t.slots[slot].ip);
    index_insert(t.by_cname, h.cname, slot);
    index_insert(t.by_ssrc, h.ssrc, slot);
    index_insert(t.by_candidate, h.candidate, slot);
}

void unindex_site(SiteTable& t, std::uint32_t slot)
{
    const Entry& e = t.slots[slot];
    uncount_address(t, e.ip);
    index_erase(t.by_cname, hash_text(t.by_cname.key, cname_key(e)), slot);
    index_erase(t.by_ssrc, hash_ssrc(t.by_ssrc.key, e.ssrc), slot);
    index_erase(t.by_candidate, folded_hash(t, candidate_key(e)), slot);
}

// The search index's maps are keyed as the table's indexes are.
void key_search(SearchIndex& x, const HashKey& key)
{
    x.by_key.key = key;
    x.owner_of.key = key;
}

// Indexes the search texts of every listed site anew, from the tail, so
// that their entry numbers follow the table order again. O(n); run when
// the recencies are renumbered or the entry numbers run out.
void reindex_search(SiteTable& t)
{
    search_clear(t.search);
    key_search(t.search, t.by_cname.key);
    t.index_next = SiteTable::kNone;
    std::uint32_t tail = SiteTable::kNone;
    for (std::uint32_t i = t.head; i != SiteTable::kNone; i = t.slots[i].next)
        tail = i;
    for (std::uint32_t i = tail; i != SiteTable::kNone; i = t.slots[i].prev) {
        const Entry& e = t.slots[i];
        if (!unlisted(e))
            search_add(t.search, i, t.recency[i], candidate_of(e), search_name(e));
    }
}

// Files a listed site's search texts; an unlisted site gets none. The site
// is linked into the list already. `staged`: put into the posting lists in
// bulk later (table_index_some), which changes nothing a query can tell.
void add_search_texts(SiteTable& t, std::uint32_t slot, bool staged = false)
{
    const Entry& e = t.slots[slot];
    if (unlisted(e))
        return;
    if (search_entries_left(t.search) == 0)
        reindex_search(t);  // files this site too
    else if (staged)
        search_stage(t.search, slot, t.recency[slot], candidate_of(e), search_name(e));
    else
        search_add(t.search, slot, t.recency[slot], candidate_of(e), search_name(e));
}

void drop_search_texts(SiteTable& t, std::uint32_t slot)
{
    const Entry& e = t.slots[slot];
    search_drop(t.search, slot, candidate_of(e), search_name(e));
}

// Whether two records of a site have the same search texts, as the index
// holds them: both unlisted, or both listed with texts that fold alike.
bool same_search_texts(const Entry& a, const Entry& b)
{
    if (unlisted(a) || unlisted(b))
        return unlisted(a) && unlisted(b);
    return same_folded(candidate_of(a), candidate_of(b)) && same_folded(search_name(a), search_name(b));
}

std::uint32_t take_slot(SiteTable& t)
{
    if (!t.free_slots.empty()) {
        const std::uint32_t i = t.free_slots.back();
        t.free_slots.pop_back();
        return i;
    }
    t.slots.emplace_back();
    t.recency.push_back(0);
    return std::uint32_t(t.slots.size() - 1);
}

// Recencies only grow; before they would wrap, the list is numbered anew
// from the tail, which keeps every comparison between sites as it was.
std::uint32_t take_recency(SiteTable& t)
{
    if (t.next_recency == 0xffffffffu) {
        std::uint32_t recency = std::uint32_t(t.count);
        for (std::uint32_t i = t.head; i != SiteTable::kNone; i = t.slots[i].next)
            t.recency[i] = recency--;
        t.next_recency = std::uint32_t(t.count) + 1;
        reindex_search(t);  // its bounds are those of the old recencies
    }
    return t.next_recency++;
}

void unlink(SiteTable& t, std::uint32_t i)
{
    auto& e = t.slots[i];
    if (t.index_next == i)
        t.index_next = e.prev;
    if (e.prev != SiteTable::kNone)
        t.slots[e.prev].next = e.next;
    else
        t.head = e.next;
    if (e.next != SiteTable::kNone)
        t.slots[e.next].prev = e.prev;
}

// The slot of the site whose CNAME, without its marker, is `key`, whose
// hash in by_cname is `hash`.
std::uint32_t find_cname(const SiteTable& t, std::string_view key, std::uint32_t hash)
{
    std::uint32_t found = SiteTable::kNone;
    index_find(t.by_cname, hash, [&](std::uint32_t slot) {
        if (cname_key(t.slots[slot]) != key)
            return true;
        found = slot;
        return false;
    });
    return found;
}

// Replacement is whole: the new record takes the old one's place. The
// CNAME key is the same by definition; the other keys and the search text
// are touched only when they changed, so a voice program that repeats
// itself costs no index work at all.
void replace_entry(SiteTable& t, std::uint32_t slot, Entry&& fresh)
{
    Entry& e = t.slots[slot];
    t.unlisted += std::size_t(unlisted(fresh)) - std::size_t(unlisted(e));
    const bool same_search = same_search_texts(e, fresh);
    const bool same_ssrc = e.ssrc == fresh.ssrc;
    const std::string_view old_candidate = candidate_key(e);
    const bool same_candidate = same_folded(old_candidate, candidate_key(fresh));
    if (!same_ssrc)
        index_erase(t.by_ssrc, hash_ssrc(t.by_ssrc.key, e.ssrc), slot);
    if (!same_candidate)
        index_erase(t.by_candidate, folded_hash(t, old_candidate), slot);
    if (!same_search)
        drop_search_texts(t, slot);
    if (e.ip != fresh.ip) {
        uncount_address(t, e.ip);
        count_address(t, fresh.ip);
    }
    fresh.prev = e.prev;
    fresh.next = e.next;
    e = std::move(fresh);
    if (!same_ssrc)
        index_insert(t.by_ssrc, hash_ssrc(t.by_ssrc.key, e.ssrc), slot);
    if (!same_candidate)
        index_insert(t.by_candidate, folded_hash(t, candidate_key(e)), slot);
    if (!same_search)
        add_search_texts(t, slot);
}

// `deferred`: its search texts are indexed by table_index_some.
void add_entry(SiteTable& t, Entry&& fresh, const EntryHashes& h, bool deferred)
{
    const std::uint32_t recency = take_recency(t);
    const std::uint32_t i = take_slot(t);
    Entry& e = t.slots[i];
    e = std::move(fresh);
    t.recency[i] = recency;
    e.prev = SiteTable::kNone;
    e.next = t.head;
    if (t.head != SiteTable::kNone)
        t.slots[t.head].prev = i;
    t.head = i;
    ++t.count;
    t.unlisted += unlisted(e) ? 1 : 0;
    index_site(t, i, h);
    if (!deferred)
        add_search_texts(t, i);
    else if (t.index_next == SiteTable::kNone)
        t.index_next = i;  // the sites after it are nearer the head
}

// Enters a record whose CNAME, hashed to `cname_hash`, is at `found`
// (kNone: a new site). `known`: the record's hashes, worked out already
// (table_prefetch); else the others are worked out only for a new site, so
// that a refresh costs one hash.
EnterOutcome enter_at(SiteTable& t, const SiteView& s, std::uint32_t found, std::uint32_t cname_hash,
                      const EntryHashes* known, bool deferred)
{
    if (found != SiteTable::kNone) {
        replace_entry(t, found, pack(s));
        return EnterOutcome::replaced;
    }
    add_entry(t, pack(s), known ? *known : hashes_of(t, s, cname_hash), deferred);
    return EnterOutcome::added;
}

EnterOutcome enter(SiteTable& t, const SiteView& s, const EntryHashes* known, bool deferred)
{
    const std::string_view key = without_marker(*s.cname);
    const std::uint32_t hash = known ? known->cname : hash_text(t.by_cname.key, key);
    return enter_at(t, s, find_cname(t, key, hash), hash, known, deferred);
}

}  // namespace

// --- the table ---

EnterOutcome table_enter(SiteTable& t, Site&& s) { return table_enter(t, view_of(s)); }

EnterOutcome table_enter(SiteTable& t, const SiteView& s) { return enter(t, s, nullptr, false); }

EnterOutcome table_enter_batched(SiteTable& t, const SiteView& s, const EntryHashes& h)
{
    return enter(t, s, &h, true);
}

bool table_index_some(SiteTable& t, std::size_t most)
{
    for (std::size_t k = 0; k < most && t.index_next != SiteTable::kNone; ++k) {
        const std::uint32_t i = t.index_next;
        t.index_next = t.slots[i].prev;
        // A site changed since it was entered may have been indexed already.
        if (!search_holds(t.search, i))
            add_search_texts(t, i, true);
    }
    if (t.index_next != SiteTable::kNone)
        return true;
    search_flush(t.search);
    return false;
}

void table_set_hash_key(SiteTable& t, const HashKey& key)
{
    for (HashIndex* x : {&t.by_cname, &t.by_ssrc, &t.by_candidate})
        x->key = key;
    key_search(t.search, key);
    t.by_address = decltype(t.by_address)(0, KeyedHasher{key});
}

void table_reserve(SiteTable& t, std::size_t more)
{
    const std::size_t n = t.count + more;
    t.slots.reserve(n);
    t.recency.reserve(n);
    for (HashIndex* x : {&t.by_cname, &t.by_ssrc, &t.by_candidate})
        index_reserve(*x, n);
    search_reserve(t.search, more);
}

EntryHashes table_prefetch(SiteTable& t, const SiteView& s)
{
    const EntryHashes h = hashes_of(t, s);
    index_prefetch(t.by_cname, h.cname);
    index_prefetch(t.by_ssrc, h.ssrc);
    index_prefetch(t.by_candidate, h.candidate);
    return h;
}

CnameProbe table_probe_cname(const SiteTable& t, std::string_view cname)
{
    const std::string_view key = without_marker(cname);
    const std::uint32_t hash = hash_text(t.by_cname.key, key);
    return {find_cname(t, key, hash), hash};
}

EnterOutcome table_enter(SiteTable& t, const SiteView& s, const CnameProbe& probe)
{
    return enter_at(t, s, probe.slot, probe.hash, nullptr, false);
}

std::size_t table_sites_at(const SiteTable& t, std::uint32_t ip)
{
    const auto it = t.by_address.find(ip);
    return it == t.by_address.end() ? 0 : it->second;
}

void table_shift_times(SiteTable& t, std::time_t step)
{
    for (std::uint32_t i = t.head; i != SiteTable::kNone; i = t.slots[i].next)
        t.slots[i].time += step;
}

Site table_remove_slot(SiteTable& t, std::uint32_t i)
{
    unlink(t, i);
    unindex_site(t, i);
    drop_search_texts(t, i);
    Site gone = site_of(table_view(t, i));
    t.unlisted -= unlisted(t.slots[i]) ? 1 : 0;
    t.slots[i] = Entry{};
    t.recency[i] = 0;
    t.free_slots.push_back(i);
    --t.count;
    return gone;
}

Release table_release(SiteTable& t, const Ssrc& ssrc, std::uint32_t owner)
{
    std::uint32_t best = SiteTable::kNone;
    bool listed = false;
    index_find(t.by_ssrc, hash_ssrc(t.by_ssrc.key, ssrc), [&](std::uint32_t slot) {
        const Entry& e = t.slots[slot];
        if (e.ssrc != ssrc)
            return true;
        listed = true;
        if (e.ip == owner && (best == SiteTable::kNone || t.recency[slot] > t.recency[best]))
            best = slot;
        return true;
    });
    if (best == SiteTable::kNone)
        return Release{std::nullopt, listed};
    return Release{table_remove_slot(t, best), false};
}

namespace {

// The first `limit` sites from the head that a lowered query selects, in
// their slots at `out`; nullopt when `budget` sites were read first.
std::optional<std::size_t> walk_from_head(const SiteTable& t, std::string_view q, std::uint32_t* out,
                                          std::size_t limit, std::size_t budget)
{
    std::size_t n = 0;
    for (std::uint32_t i = t.head; i != SiteTable::kNone; i = t.slots[i].next) {
        if (budget-- == 0)
            return std::nullopt;
        if (matches(t.slots[i], q))
            if (out[n++] = i; n == limit)
                return n;
    }
    return n;
}

}  // namespace

std::optional<std::size_t> table_find(const SiteTable& t, std::string_view q, std::uint32_t* out, std::size_t limit)
{
    // Site texts hold no NUL, so a query with one matches nothing.
    if (limit == 0 || q.empty() || q.find('\0') != std::string_view::npos)
        return 0;
    const bool exact_query = has_marker(q);
    const std::string_view key = without_marker(q);
    if (!exact_query && table_indexing_pending(t)) {
        // The search texts of a state file just loaded are still being
        // indexed: the plain walk from the head answers meanwhile. (An exact
        // query needs only the hash index, which is complete.)
        return *walk_from_head(t, q, out, limit, t.count);
    }
    if (!exact_query && q.size() <= 2) {
        // A short query that many sites hold is answered at once by the
        // plain walk from the head: it reads about limit * n / held sites,
        // where the posting lists read about a block per list and `limit`
        // entries. The walk gives up after twice that, for when the sites
        // that hold the query are all far from the head.
        const ShortQuery held = search_short_query(t.search, q);
        const std::size_t lists_cost = held.lists + limit;
        if (limit * search_sites(t.search) < lists_cost * held.postings)
            if (const auto n = walk_from_head(t, q, out, limit, 2 * lists_cost))
                return *n;
    }
    Nearest nearest{std::span(out, limit), t.recency};
    // Exact comparisons: every site for a '*' query, else the unlisted ones,
    // which have no search texts.
    index_find(t.by_candidate, hash_text(t.by_candidate.key, key), [&](std::uint32_t slot) {
        const Entry& e = t.slots[slot];
        if ((exact_query || unlisted(e)) && matches(e, q))
            offer_match(nearest, slot);
        return true;
    });
    // Substring search of the listed sites through the trigram index; each
    // candidate it leaves is compared in full.
    if (!exact_query &&
        !search_find(t.search, q, nearest, [&](std::uint32_t slot) { return matches(t.slots[slot], q); }))
        return std::nullopt;
    return nearest.size;
}

}  // namespace kovari
