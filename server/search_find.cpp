// SPDX-License-Identifier: BSD-2-Clause
// The trigram index's readings: the candidates of a query, nearest the
// head first, from the posting lists that search.cpp keeps.
#include <algorithm>

#include "common/protocol.h"
#include "postings.h"
#include "search.h"

namespace kovari {

using namespace postings;

namespace {

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
    std::uint32_t worst() const { return nearest.recency[nearest.out[nearest.size - 1]]; }

    // Whether nothing in this block or before it can come nearer the head
    // than every match held.
    bool beyond(const Block& b) const { return full() && b.bound <= worst(); }

    // Offers the live owner of `number`, an entry of block `b`, if it is
    // near enough and matches; `once` when the owner may come from more
    // than one list. False when no entry before it can come near enough:
    // it is too far from the head and was indexed in order, so every entry
    // indexed before it is farther still.
    bool consider(std::uint32_t number, const Block& b, bool once)
    {
        const std::uint32_t owner = live_owner(x, number);
        if (owner == kNone)
            return true;
        if (full() && nearest.recency[owner] <= worst())
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
// tells whether it holds an entry number.
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
    // its first offset; a request of kMaxRequest bytes has fewer.
    struct Gram {
        std::uint32_t key;
        std::uint32_t offset;
    };
    Gram grams[kMaxRequest];
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
    Sized lists[kMaxRequest];
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

}  // namespace

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
    auto& [out, recency, size] = nearest;
    const std::size_t limit = out.size();
    const std::uint32_t near = recency[owner];
    if (size == limit && (limit == 0 || recency[out[size - 1]] >= near))
        return;
    std::size_t i = size < limit ? size++ : size - 1;
    while (i > 0 && recency[out[i - 1]] < near) {
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
