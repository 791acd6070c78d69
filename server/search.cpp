// SPDX-License-Identifier: BSD-2-Clause
#include "search.h"

#include <algorithm>
#include <string>

#include "common/text.h"
#include "postings.h"

namespace kovari {

using namespace postings;

namespace {

// The maps probe linearly from a word's hash: a keyed permutation, so that
// no client can choose texts whose trigrams, or a run of changes whose
// entry numbers, fill one run of cells, and distinct words still give
// distinct hashes, so equal hashes mean equal keys and the maps need no
// comparison of their own.
std::uint32_t spread(const HashIndex& map, std::uint32_t key) { return permute_word(map.key, key); }

// The bit of an offset in a trigram's offset mask.
std::uint32_t offset_bit(std::size_t offset) { return 1u << (offset % 8); }

// Calls f(key, offset) for the trigrams of both texts, folded: one per
// byte of text, so that every byte of it begins one. A key may come more
// than once. `fold` is a work area.
template <typename F>
void for_each_key(std::string_view candidate, std::string_view name, std::string& fold, F&& f)
{
    for (std::string_view text : {candidate, name}) {
        fold_into(fold, text);
        // The key at i from the one at i + 1, read backwards: the bytes at
        // i and i + 1 joined to the first two of the next key.
        std::uint32_t key = 0;
        for (std::size_t i = fold.size(); i-- > 0;) {
            key = std::uint32_t(static_cast<unsigned char>(fold[i])) << 16 | key >> 8;
            f(key, i);
        }
    }
}

// The first slot indexed under `key` in one of the index's maps, whose keys
// are unique; kNone when there is none.
std::uint32_t first_held(const HashIndex& map, std::uint32_t key)
{
    std::uint32_t found = kNone;
    index_find(map, spread(map, key), [&](std::uint32_t v) {
        found = v;
        return false;
    });
    return found;
}

// --- blocks ---

// Appends `number`, larger than every entry of the list, with the offset
// mask of its trigram and `bound` as its block's recency bound; `ordered`
// when its recency was the largest indexed at the time (a block is in order
// while all its entries are).
void append_entry(PostingList& l, std::uint32_t number, std::uint8_t mask, std::uint32_t bound, bool ordered)
{
    std::uint8_t bytes[5];
    std::size_t len = 0;
    if (!l.blocks.empty()) {
        for (std::uint32_t d = number - l.last;; d >>= 7) {
            bytes[len++] = std::uint8_t((d & 0x7f) | (d >= 0x80 ? 0x80 : 0));
            if (d < 0x80)
                break;
        }
    }
    if (l.blocks.empty() || l.blocks.back().used + len + entries_in(l.blocks.back()) + 1 > kBlockBytes) {
        Block b;
        b.first = number;
        b.count = std::uint8_t(1 | (ordered ? kInOrder : 0));
        mask_at(b, 0) = mask;
        b.bound = bound;
        l.blocks.push_back(b);
    } else {
        Block& b = l.blocks.back();
        std::copy(bytes, bytes + len, b.bytes + b.used);
        b.used = std::uint8_t(b.used + len);
        mask_at(b, entries_in(b)) = mask;
        b.count = std::uint8_t((b.count + 1) & (ordered ? 0xff : ~kInOrder));
        b.bound = bound;
    }
    l.last = number;
    ++l.entries;
}

// Adds an offset to the list's last entry.
void add_offset(PostingList& l, std::uint8_t bit)
{
    Block& b = l.blocks.back();
    mask_at(b, entries_in(b) - 1) |= bit;
}

// --- lists ---

void ensure_tables(SearchIndex& x)
{
    if (x.pair_head.empty()) {
        x.pair_head.assign(kPairs, kNone);
        x.pair_live.assign(kPairs, 0);
        x.pair_lists.assign(kPairs, 0);
    }
}

std::uint32_t make_list(SearchIndex& x, std::uint32_t key)
{
    std::uint32_t id;
    if (!x.free_lists.empty()) {
        id = x.free_lists.back();
        x.free_lists.pop_back();
    } else {
        id = std::uint32_t(x.lists.size());
        x.lists.emplace_back();
    }
    PostingList& l = x.lists[id];
    l = PostingList{};
    l.key = key;
    l.next_in_pair = x.pair_head[pair_of(key)];
    x.pair_head[pair_of(key)] = id;
    ++x.pair_lists[pair_of(key)];
    index_insert(x.by_key, spread(x.by_key, key), id);
    return id;
}

void remove_list(SearchIndex& x, std::uint32_t id)
{
    PostingList& l = x.lists[id];
    index_erase(x.by_key, spread(x.by_key, l.key), id);
    std::uint32_t* link = &x.pair_head[pair_of(l.key)];
    while (*link != id)
        link = &x.lists[*link].next_in_pair;
    *link = l.next_in_pair;
    --x.pair_lists[pair_of(l.key)];
    l = PostingList{};
    x.free_lists.push_back(id);
}

// Rewrites a list without its dead entries. Each block of the new list
// takes the bound of the old block that held its last entry, which still
// bounds everything before it. An emptied list goes.
void rewrite_list(SearchIndex& x, std::uint32_t id)
{
    PostingList& l = x.lists[id];
    std::vector<Block> old;
    old.swap(l.blocks);
    l.entries = 0;
    l.dead = 0;
    std::uint32_t vals[kBlockEntries];
    for (const Block& b : old) {
        const std::size_t n = decode_block(b, vals);
        for (std::size_t i = 0; i < n; ++i)
            if (live_owner(x, vals[i]) != kNone)
                append_entry(l, vals[i], mask_at(b, i), b.bound, in_order(b));
    }
    if (l.entries == 0)
        remove_list(x, id);
    else
        l.blocks.shrink_to_fit();
}

// --- indexing ---

// Gives an owner its entry number. The map back from it to the owner is
// filled here, or for a staged owner when its trigrams are put.
std::uint32_t number_owner(SearchIndex& x, std::uint32_t owner, std::uint32_t recency, bool staged)
{
    ensure_tables(x);
    if (x.entry_of.size() <= owner)
        x.entry_of.resize(std::size_t(owner) + 1, kNone);
    const std::uint32_t number = x.next_entry++;
    x.entry_of[owner] = number;
    if (!staged)
        index_insert(x.owner_of, spread(x.owner_of, number), owner);
    x.max_recency = std::max(x.max_recency, recency);
    return number;
}

// Owners staged before everything staged is put into the lists, which
// bounds what the staging holds.
constexpr std::size_t kStagedMost = std::size_t(1) << 16;

// Appends the entry numbers waiting for list `id` to it.
void put_queued(SearchIndex& x, std::uint32_t id)
{
    SearchIndex::Queued& p = x.queued[id];
    PostingList& l = x.lists[id];
    for (std::uint32_t k = 0; k < p.count; ++k) {
        const SearchIndex::Staged& o = x.staged_owners[p.numbers[k] - x.staged_first];
        append_entry(l, p.numbers[k], p.masks[k], o.bound, o.ordered);
    }
    x.pair_live[pair_of(l.key)] += p.count;
    p.count = 0;
}

// Puts everything staged into the lists and fills the map from indexing
// number to owner for the staged owners.
void put_staged(SearchIndex& x)
{
    for (const std::uint32_t id : x.queued_lists)
        if (x.queued[id].count > 0)
            put_queued(x, id);
    x.queued_lists.clear();
    // The staged owners' entry numbers follow each other. Their cells in
    // the map are fetched some ahead, as each is a cache miss in a large
    // index (indexing them one at a time among the rest of the work would be
    // a tenth of loading a million sites).
    const auto& owners = x.staged_owners;
    constexpr std::size_t kAhead = 8;
    for (std::size_t k = 0; k < owners.size(); ++k) {
        if (k + kAhead < owners.size())
            index_prefetch(x.owner_of, spread(x.owner_of, x.staged_first + std::uint32_t(k + kAhead)));
        index_insert(x.owner_of, spread(x.owner_of, x.staged_first + std::uint32_t(k)), owners[k].owner);
    }
    x.staged_owners.clear();
}

void flush_staged(SearchIndex& x)
{
    if (!x.staged_owners.empty())
        put_staged(x);
}

}  // namespace

namespace postings {

std::uint32_t find_list(const SearchIndex& x, std::uint32_t key) { return first_held(x.by_key, key); }

std::uint32_t live_owner(const SearchIndex& x, std::uint32_t number) { return first_held(x.owner_of, number); }

std::size_t decode_block(const Block& b, std::uint32_t* vals)
{
    std::uint32_t v = b.first;
    vals[0] = v;
    std::size_t n = 1;
    for (std::size_t i = 0; i < b.used;) {
        std::uint32_t d = 0;
        for (int shift = 0;; shift += 7) {
            const std::uint8_t byte = b.bytes[i++];
            d |= std::uint32_t(byte & 0x7f) << shift;
            if ((byte & 0x80) == 0)
                break;
        }
        v += d;
        vals[n++] = v;
    }
    return n;
}

}  // namespace postings

void search_clear(SearchIndex& x) { x = SearchIndex{}; }

void search_stage(SearchIndex& x, std::uint32_t owner, std::uint32_t recency, std::string_view candidate,
                  std::string_view name)
{
    const std::uint32_t number = number_owner(x, owner, recency, true);
    if (x.staged_owners.empty())
        x.staged_first = number;
    x.staged_owners.push_back({owner, x.max_recency, recency == x.max_recency});
    for_each_key(candidate, name, x.fold_area, [&](std::uint32_t key, std::size_t offset) {
        std::uint32_t id = find_list(x, key);
        if (id == kNone)
            id = make_list(x, key);
        if (x.queued.size() <= id)
            x.queued.resize(x.lists.size());
        SearchIndex::Queued& p = x.queued[id];
        const std::uint8_t bit = std::uint8_t(offset_bit(offset));
        if (p.last == number) {
            // A trigram that came before in these texts: its offset joins
            // the entry, still waiting or just put.
            if (p.count > 0)
                p.masks[p.count - 1] |= bit;
            else
                add_offset(x.lists[id], bit);
            return;
        }
        if (p.last < x.staged_first)
            x.queued_lists.push_back(id);  // its first since the last put
        p.last = number;
        p.masks[p.count] = bit;
        p.numbers[p.count++] = number;
        if (p.count == std::size(p.numbers))
            put_queued(x, id);
    });
    if (x.staged_owners.size() >= kStagedMost)
        put_staged(x);
}

void search_reserve(SearchIndex& x, std::size_t more) { index_reserve(x.owner_of, x.owner_of.live + more); }

void search_flush(SearchIndex& x)
{
    flush_staged(x);
    std::vector<SearchIndex::Queued>().swap(x.queued);
    std::vector<std::uint32_t>().swap(x.queued_lists);
    std::vector<SearchIndex::Staged>().swap(x.staged_owners);
}

void search_add(SearchIndex& x, std::uint32_t owner, std::uint32_t recency, std::string_view candidate,
                std::string_view name)
{
    flush_staged(x);
    const std::uint32_t number = number_owner(x, owner, recency, false);
    for_each_key(candidate, name, x.fold_area, [&](std::uint32_t key, std::size_t offset) {
        const std::uint8_t bit = std::uint8_t(offset_bit(offset));
        std::uint32_t id = find_list(x, key);
        if (id == kNone) {
            id = make_list(x, key);
        } else if (x.lists[id].last == number) {
            add_offset(x.lists[id], bit);  // a trigram that came before in these texts
            return;
        }
        append_entry(x.lists[id], number, bit, x.max_recency, recency == x.max_recency);
        ++x.pair_live[pair_of(key)];
    });
}

void search_drop(SearchIndex& x, std::uint32_t owner, std::string_view candidate, std::string_view name)
{
    flush_staged(x);
    if (!search_holds(x, owner))
        return;
    const std::uint32_t number = x.entry_of[owner];
    index_erase(x.owner_of, spread(x.owner_of, number), owner);
    x.entry_of[owner] = kNone;
    for_each_key(candidate, name, x.fold_area, [&](std::uint32_t key, std::size_t) {
        const std::uint32_t id = find_list(x, key);
        if (id == kNone || x.lists[id].counted == number)
            return;
        PostingList& l = x.lists[id];
        l.counted = number;
        --x.pair_live[pair_of(key)];
        // Rewritten once half of it is dead: every entry is copied at most
        // once per entry that died, so the cost per change stays constant.
        if (++l.dead * 2 > l.entries)
            rewrite_list(x, id);
    });
}

}  // namespace kovari
