// SPDX-License-Identifier: BSD-2-Clause
#include "search.h"

#include <algorithm>
#include <string>

#include "common/text.h"
#include "common/utf8.h"

namespace kovari {

namespace {

using Block = SearchIndex::Block;
using PostingList = SearchIndex::PostingList;
constexpr std::uint32_t kNone = SearchIndex::kNone;
constexpr std::size_t kPairs = 1 << 16;
constexpr std::size_t kBlockBytes = sizeof Block::bytes;
// Each entry takes at least a byte of difference (but the first) and a byte of mask.
constexpr std::size_t kBlockEntries = (kBlockBytes + 1) / 2;
constexpr std::uint8_t kInOrder = SearchIndex::kInOrder;

bool in_order(const Block& b) { return (b.count & kInOrder) != 0; }
std::size_t entries_in(const Block& b) { return b.count & ~kInOrder; }
std::uint8_t& mask_at(Block& b, std::size_t i) { return b.bytes[kBlockBytes - 1 - i]; }
std::uint8_t mask_at(const Block& b, std::size_t i) { return b.bytes[kBlockBytes - 1 - i]; }

// --- keys ---

std::uint32_t pair_of(std::uint32_t key) { return key >> 8; }

// The maps probe linearly from a word's hash: a keyed permutation, so that
// no client can choose texts whose trigrams, or a run of changes whose
// filing numbers, fill one run of cells, and distinct words still give
// distinct hashes, so equal hashes mean equal keys and the maps need no
// comparison of their own.
std::uint32_t spread(const HashIndex& map, std::uint32_t key) { return permute_word(map.key, key); }

std::uint32_t byte_at(std::string_view t, std::size_t i)
{
    return i < t.size() ? static_cast<unsigned char>(t[i]) : 0u;
}

// The trigram at position i: the three bytes from there, zero past the end.
std::uint32_t key_at(std::string_view t, std::size_t i)
{
    return byte_at(t, i) << 16 | byte_at(t, i + 1) << 8 | byte_at(t, i + 2);
}

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

// The first slot filed under `key` in one of the index's maps, whose keys
// are unique; kNone when there is none.
std::uint32_t first_filed(const HashIndex& map, std::uint32_t key)
{
    std::uint32_t found = kNone;
    index_find(map, spread(map, key), [&](std::uint32_t v) {
        found = v;
        return false;
    });
    return found;
}

std::uint32_t find_list(const SearchIndex& x, std::uint32_t key) { return first_filed(x.by_key, key); }

std::uint32_t live_owner(const SearchIndex& x, std::uint32_t filing) { return first_filed(x.owner_of, filing); }

// --- blocks ---

// Decodes a block's filing numbers into vals; returns the number of entries.
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

// Appends `filing`, larger than every entry of the list, with the offset
// mask of its trigram and `bound` as its block's stamp bound; `ordered`
// when its stamp was the largest filed at the time (a block is in order
// while all its entries are).
void append_entry(PostingList& l, std::uint32_t filing, std::uint8_t mask, std::uint32_t bound, bool ordered)
{
    std::uint8_t bytes[5];
    std::size_t len = 0;
    if (!l.blocks.empty()) {
        for (std::uint32_t d = filing - l.last;; d >>= 7) {
            bytes[len++] = std::uint8_t((d & 0x7f) | (d >= 0x80 ? 0x80 : 0));
            if (d < 0x80)
                break;
        }
    }
    if (l.blocks.empty() || l.blocks.back().used + len + entries_in(l.blocks.back()) + 1 > kBlockBytes) {
        Block b;
        b.first = filing;
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
    l.last = filing;
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

// --- queries ---

// What a query of three bytes or more may cost before it is given up, in
// units of one posting entry read: a candidate compared in full costs
// kCompareWork of them (its owner looked up, its texts read from the
// table, each a miss of the cache in a large table). Measured on the
// benchmark machine, a unit is about 5 ns, so that a query stops within
// about 2.5 ms of work: the cost of reading the lists of a table of
// 250,000 sites that all hold the query's trigrams in their places.
constexpr std::uint64_t kQueryWork = std::uint64_t(1) << 19;
constexpr std::uint64_t kCompareWork = 16;

struct Finder {
    const SearchIndex& x;
    Nearest& nearest;
    MatchCheck check;
    std::uint64_t work = 0;  // units spent, see kQueryWork

    bool full() const { return nearest.size == nearest.out.size(); }
    std::uint32_t worst() const { return nearest.order[nearest.out[nearest.size - 1]]; }

    // Whether nothing in this block or before it can come nearer the head
    // than every match held.
    bool beyond(const Block& b) const { return full() && b.bound <= worst(); }

    // Offers the live owner of `filing`, an entry of block `b`, if it is
    // near enough and matches; `once` when the owner may come from more
    // than one list. False when no entry before it can come near enough:
    // it is too far from the head and was filed in order, so every entry
    // filed before it is farther still.
    bool consider(std::uint32_t filing, const Block& b, bool once)
    {
        const std::uint32_t owner = live_owner(x, filing);
        if (owner == kNone)
            return true;
        if (full() && nearest.order[owner] <= worst())
            return !in_order(b);
        if (once) {
            const auto held = nearest.out.first(nearest.size);
            if (std::find(held.begin(), held.end(), owner) != held.end())
                return true;
        }
        work += kCompareWork;
        if (check.matches(check.context, owner))
            offer_match(nearest, owner);
        return true;
    }
};

// A reader of one list that moves from its end towards its start and
// tells whether it holds a filing number.
struct Cursor {
    const PostingList* list;
    std::size_t block;  // the block decoded in vals
    std::uint32_t vals[kBlockEntries];
    std::size_t pos;     // vals[pos] is the largest entry not yet passed
    bool decoded = false;

    // The offset mask of the entry last found.
    std::uint8_t mask() const { return mask_at(list->blocks[block], pos); }

    // Whether the list holds `f`; each call's `f` is smaller than the last.
    // `passed` is set when every entry left is larger than `f`, so that no
    // smaller number can be held either.
    bool holds(std::uint32_t f, bool& passed)
    {
        const auto& blocks = list->blocks;
        if (!decoded || blocks[block].first > f) {
            // The last block that begins at or before f.
            const std::size_t end = decoded ? block : blocks.size();
            const auto it = std::upper_bound(blocks.begin(), blocks.begin() + std::ptrdiff_t(end), f,
                                             [](std::uint32_t v, const Block& b) { return v < b.first; });
            if (it == blocks.begin()) {
                passed = true;
                return false;
            }
            block = std::size_t(it - blocks.begin()) - 1;
            pos = decode_block(blocks[block], vals) - 1;
            decoded = true;
        }
        while (vals[pos] > f)
            --pos;  // vals[0], the block's first, is at most f
        return vals[pos] == f;
    }
};

// At most this many lists are intersected, the shortest; the comparison
// of the candidates settles the rest of the query.
constexpr std::size_t kIntersected = 4;

// The offset mask of a trigram found at `offset` in the query, turned so
// that bit k stands for the query beginning at an offset of k modulo 8.
std::uint8_t turned(std::uint8_t mask, std::uint32_t offset)
{
    const unsigned r = offset % 8;
    return std::uint8_t((mask >> r | mask << (8 - r)) & 0xff);
}

// False when the query was given up, its work past kQueryWork.
bool find_long(const SearchIndex& x, std::string_view q, Finder& finder)
{
    // The trigrams of the query with their offsets, each trigram once at
    // its first offset; a request of 1024 bytes has fewer.
    struct Gram {
        std::uint32_t key;
        std::uint32_t offset;
    };
    Gram grams[1024];
    std::size_t count = 0;
    for (std::size_t i = 0; i + 3 <= q.size() && count < std::size(grams); ++i)
        grams[count++] = {key_at(q, i), std::uint32_t(i)};
    std::stable_sort(grams, grams + count, [](const Gram& a, const Gram& b) { return a.key < b.key; });
    count = std::size_t(std::unique(grams, grams + count, [](const Gram& a, const Gram& b) { return a.key == b.key; }) -
                        grams);
    // The lists, shortest first; a trigram without a list: no listed site holds the query.
    struct Sized {
        std::uint32_t entries;
        std::uint32_t id;
        std::uint32_t offset;
    };
    Sized lists[1024];
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint32_t id = find_list(x, grams[k].key);
        if (id == kNone)
            return true;
        lists[k] = {x.lists[id].entries, id, grams[k].offset};
    }
    const std::size_t used = std::min(count, kIntersected);
    std::partial_sort(lists, lists + used, lists + count,
                      [](const Sized& a, const Sized& b) { return a.entries < b.entries; });
    Cursor others[kIntersected - 1];
    for (std::size_t k = 1; k < used; ++k)
        others[k - 1].list = &x.lists[lists[k].id];
    const PostingList& driver = x.lists[lists[0].id];
    std::uint32_t vals[kBlockEntries];
    for (std::size_t b = driver.blocks.size(); b-- > 0;) {
        const Block& block = driver.blocks[b];
        if (finder.beyond(block))
            return true;
        const std::size_t n = decode_block(block, vals);
        finder.work += n;
        if (finder.work > kQueryWork)
            return false;
        for (std::size_t i = n; i-- > 0;) {
            // A candidate holds every trigram, and at one offset modulo 8
            // for all of them, or it cannot hold the query.
            std::uint8_t at = turned(mask_at(block, i), lists[0].offset);
            for (std::size_t k = 0; k + 1 < used && at != 0; ++k) {
                bool passed = false;
                const bool held = others[k].holds(vals[i], passed);
                if (passed)
                    return true;
                at = held ? std::uint8_t(at & turned(others[k].mask(), lists[k + 1].offset)) : 0;
            }
            if (at != 0 && !finder.consider(vals[i], block, false))
                return true;
        }
    }
    return true;
}

// A query of one or two bytes: the lists of the trigrams that begin with it.
void find_short(const SearchIndex& x, std::string_view q, Finder& finder)
{
    const std::uint32_t first = static_cast<unsigned char>(q[0]);
    const std::uint32_t from = q.size() == 2 ? first << 8 | static_cast<unsigned char>(q[1]) : first << 8;
    const std::uint32_t to = q.size() == 2 ? from + 1 : from + 256;
    std::uint32_t vals[kBlockEntries];
    for (std::uint32_t pair = from; pair < to; ++pair) {
        for (std::uint32_t id = x.pair_head[pair]; id != kNone; id = x.lists[id].next_in_pair) {
            const auto& blocks = x.lists[id].blocks;
            bool go_on = true;
            for (std::size_t b = blocks.size(); go_on && b-- > 0 && !finder.beyond(blocks[b]);)
                for (std::size_t i = decode_block(blocks[b], vals); go_on && i-- > 0;)
                    go_on = finder.consider(vals[i], blocks[b], true);
        }
    }
}

// --- filing ---

// Gives an owner its filing number. The map back from it to the owner is
// filled here, or for a staged owner when its trigrams are put.
std::uint32_t file_owner(SearchIndex& x, std::uint32_t owner, std::uint32_t order, bool staged)
{
    ensure_tables(x);
    if (x.filing_of.size() <= owner)
        x.filing_of.resize(std::size_t(owner) + 1, kNone);
    const std::uint32_t filing = x.next_filing++;
    x.filing_of[owner] = filing;
    if (!staged)
        index_insert(x.owner_of, spread(x.owner_of, filing), owner);
    x.max_stamp = std::max(x.max_stamp, order);
    return filing;
}

// Owners staged before everything staged is put into the lists, which
// bounds what the staging holds.
constexpr std::size_t kStagedMost = std::size_t(1) << 16;

// Appends the filing numbers waiting for list `id` to it.
void put_pending(SearchIndex& x, std::uint32_t id)
{
    SearchIndex::Pending& p = x.pending[id];
    PostingList& l = x.lists[id];
    for (std::uint32_t k = 0; k < p.count; ++k) {
        const SearchIndex::Staged& o = x.staged_owners[p.filings[k] - x.staged_first];
        append_entry(l, p.filings[k], p.masks[k], o.bound, o.ordered);
    }
    x.pair_live[pair_of(l.key)] += p.count;
    p.count = 0;
}

// Puts everything staged into the lists and fills the map from filing
// number to owner for the staged owners.
void put_staged(SearchIndex& x)
{
    for (const std::uint32_t id : x.pending_lists)
        if (x.pending[id].count > 0)
            put_pending(x, id);
    x.pending_lists.clear();
    // The staged owners' filing numbers follow each other. Their cells in
    // the map are fetched some ahead, as each is a cache miss in a large
    // index (filing them one at a time among the rest of the work was a
    // tenth of loading a million sites).
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

void search_clear(SearchIndex& x) { x = SearchIndex{}; }

void search_stage(SearchIndex& x, std::uint32_t owner, std::uint32_t order, std::string_view candidate,
                  std::string_view name)
{
    const std::uint32_t filing = file_owner(x, owner, order, true);
    if (x.staged_owners.empty())
        x.staged_first = filing;
    x.staged_owners.push_back({owner, x.max_stamp, order == x.max_stamp});
    for_each_key(candidate, name, x.fold_area, [&](std::uint32_t key, std::size_t offset) {
        std::uint32_t id = find_list(x, key);
        if (id == kNone)
            id = make_list(x, key);
        if (x.pending.size() <= id)
            x.pending.resize(x.lists.size());
        SearchIndex::Pending& p = x.pending[id];
        const std::uint8_t bit = std::uint8_t(offset_bit(offset));
        if (p.last == filing) {
            // A trigram that came before in these texts: its offset joins
            // the entry, still waiting or just put.
            if (p.count > 0)
                p.masks[p.count - 1] |= bit;
            else
                add_offset(x.lists[id], bit);
            return;
        }
        if (p.last < x.staged_first)
            x.pending_lists.push_back(id);  // its first since the last put
        p.last = filing;
        p.masks[p.count] = bit;
        p.filings[p.count++] = filing;
        if (p.count == std::size(p.filings))
            put_pending(x, id);
    });
    if (x.staged_owners.size() >= kStagedMost)
        put_staged(x);
}

void search_reserve(SearchIndex& x, std::size_t more) { index_reserve(x.owner_of, x.owner_of.live + more); }

void search_flush(SearchIndex& x)
{
    flush_staged(x);
    std::vector<SearchIndex::Pending>().swap(x.pending);
    std::vector<std::uint32_t>().swap(x.pending_lists);
    std::vector<SearchIndex::Staged>().swap(x.staged_owners);
}

void search_add(SearchIndex& x, std::uint32_t owner, std::uint32_t order, std::string_view candidate,
                std::string_view name)
{
    flush_staged(x);
    const std::uint32_t filing = file_owner(x, owner, order, false);
    for_each_key(candidate, name, x.fold_area, [&](std::uint32_t key, std::size_t offset) {
        const std::uint8_t bit = std::uint8_t(offset_bit(offset));
        std::uint32_t id = find_list(x, key);
        if (id == kNone) {
            id = make_list(x, key);
        } else if (x.lists[id].last == filing) {
            add_offset(x.lists[id], bit);  // a trigram that came before in these texts
            return;
        }
        append_entry(x.lists[id], filing, bit, x.max_stamp, order == x.max_stamp);
        ++x.pair_live[pair_of(key)];
    });
}

void search_drop(SearchIndex& x, std::uint32_t owner, std::string_view candidate, std::string_view name)
{
    flush_staged(x);
    if (!search_holds(x, owner))
        return;
    const std::uint32_t filing = x.filing_of[owner];
    index_erase(x.owner_of, spread(x.owner_of, filing), owner);
    x.filing_of[owner] = kNone;
    for_each_key(candidate, name, x.fold_area, [&](std::uint32_t key, std::size_t) {
        const std::uint32_t id = find_list(x, key);
        if (id == kNone || x.lists[id].counted == filing)
            return;
        PostingList& l = x.lists[id];
        l.counted = filing;
        --x.pair_live[pair_of(key)];
        // Rewritten once half of it is dead: every entry is copied at most
        // once per entry that died, so the cost per change stays constant.
        if (++l.dead * 2 > l.entries)
            rewrite_list(x, id);
    });
}

ShortQuery search_short_query(const SearchIndex& x, std::string_view q)
{
    if (x.pair_head.empty() || q.empty() || q.size() > 2)
        return {};
    const std::size_t first = static_cast<unsigned char>(q[0]);
    const std::size_t from = first << 8 | (q.size() == 2 ? static_cast<unsigned char>(q[1]) : 0);
    const std::size_t to = q.size() == 2 ? from + 1 : from + 256;
    ShortQuery held;
    for (std::size_t pair = from; pair < to; ++pair) {
        held.postings += x.pair_live[pair];
        held.lists += x.pair_lists[pair];
    }
    return held;
}

void offer_match(Nearest& nearest, std::uint32_t owner)
{
    auto& [out, order, size] = nearest;
    const std::size_t limit = out.size();
    const std::uint32_t stamp = order[owner];
    if (size == limit && (limit == 0 || order[out[size - 1]] >= stamp))
        return;
    std::size_t i = size < limit ? size++ : size - 1;
    while (i > 0 && order[out[i - 1]] < stamp) {
        out[i] = out[i - 1];
        --i;
    }
    out[i] = owner;
}

bool search_find(const SearchIndex& x, std::string_view q, Nearest& nearest, MatchCheck check)
{
    if (nearest.out.empty() || q.empty() || q.find('\0') != std::string_view::npos || x.pair_head.empty())
        return true;
    Finder finder{x, nearest, check};
    if (q.size() <= 2) {
        find_short(x, q, finder);
        return true;
    }
    return find_long(x, q, finder);
}

}  // namespace kovari
