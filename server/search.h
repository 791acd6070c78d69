// SPDX-License-Identifier: BSD-2-Clause
// The substring search of the site table: an index of the runs of three
// bytes (trigrams) in the folded search texts of the listed sites, with a
// compressed posting list per trigram. A query is answered from the
// posting lists of its own trigrams before any text is compared, so a
// query that matches nothing costs a few list look-ups whatever the size
// of the table; the candidates that the lists leave are handed to the
// caller's full comparison, which alone decides.
//
// The index knows its texts by owner: a small number the caller chooses
// (the table's slot). It does not keep the texts themselves. Each time an
// owner's texts are indexed they get an entry number, taken from a counter
// that only grows, and the posting lists hold entry numbers in ascending
// order, delta-encoded in blocks of 64 bytes. A map from entry number to
// owner tells a live entry from one whose owner left or refiled: entries
// are dropped lazily, a list being rewritten once half of it is dead.
//
// Which matches come first is the caller's order, handed in as the
// recency of each owner, larger nearer the head. New sites are indexed in the
// order they come, so the end of a list holds the sites nearest the head:
// a query reads the lists from their ends and stops once no earlier entry
// can come nearer the head than the matches it has. Each block keeps for
// that the largest recency the index had seen when its last entry was indexed,
// a bound on the recency of every entry in it and before it.
//
// A query of one or two bytes has no trigram of its own: the sites that
// hold it are those in the lists of the trigrams that begin with it (a
// text's last two trigrams run into zero bytes, which no query holds). The
// lists of a pair of leading bytes are chained, and their number and live
// entries are counted per pair, so that the caller can tell a common short
// query, which a walk from the head answers at once, from a rare one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "hash_index.h"

namespace kovari {

// Recencies by owner: larger is nearer the head.
using Recency = std::span<const std::uint32_t>;

struct SearchIndex {
    static constexpr std::uint32_t kNone = 0xffffffffu;

    // One block of a posting list: its first entry number whole, the rest
    // as differences to the one before, 7 bits a byte, low bits first, from
    // the front of `bytes`; and from its back, one byte per entry, the
    // offsets modulo 8 at which the trigram begins in the entry's texts
    // (bit k: at an offset of k modulo 8). A candidate whose lists have no
    // common offset for the query's trigrams in their places cannot hold
    // the query and is passed over without a look at its texts.
    struct Block {
        std::uint32_t first = 0;
        std::uint32_t bound = 0;  // no entry here or before has a larger recency
        std::uint8_t count = 0;   // entries, the first included; kInOrder
                                  // when each had the largest recency indexed
                                  // at its time
        std::uint8_t used = 0;    // bytes of differences in use
        std::uint8_t bytes[54]{};
    };
    static_assert(sizeof(Block) == 64);
    static constexpr std::uint8_t kInOrder = 0x80;

    struct PostingList {
        std::uint32_t key = 0;             // the trigram: three bytes, the first highest
        std::uint32_t next_in_pair = kNone;  // the next list whose key begins with the same two bytes
        std::uint32_t entries = 0;         // dead ones included
        std::uint32_t dead = 0;            // entries whose entry number has left
        std::uint32_t last = 0;            // the last entry number appended
        std::uint32_t counted = 0;         // the last entry number counted dead
        std::vector<Block> blocks;
    };

    std::vector<PostingList> lists;
    std::vector<std::uint32_t> free_lists;  // of lists that emptied
    HashIndex by_key;                       // trigram (mixed) -> list

    // Per pair of leading bytes: its first list, the live entries of its
    // lists and their number (at most 256).
    std::vector<std::uint32_t> pair_head;
    std::vector<std::uint32_t> pair_live;
    std::vector<std::uint16_t> pair_lists;

    HashIndex owner_of;                     // live entry number -> owner
    std::vector<std::uint32_t> entry_of;   // by owner: its entry number, or kNone
    std::uint32_t next_entry = 1;
    std::uint32_t max_recency = 0;          // the largest recency indexed so far

    // Work area of search_add and search_drop, kept so that a change
    // allocates nothing for it once the index has grown.
    std::string fold_area;

    // Texts indexed by search_stage whose trigrams are not all in the lists
    // yet. Per list, the entry numbers waiting to be appended to it, a
    // block's worth at a time: a list's last block is then fetched once for
    // many entries rather than for each (indexing site by site, the fetch of
    // a list's last block, somewhere in memory, for every trigram of every
    // text would be half the load of a million sites). And per staged
    // entry number from `staged_first`, what appending it needs.
    struct alignas(64) Queued {
        std::uint32_t numbers[10];
        std::uint8_t masks[12];
        std::uint32_t count = 0;
        std::uint32_t last = 0;  // the last entry number staged for the list
    };
    struct Staged {
        std::uint32_t owner = 0;
        std::uint32_t bound = 0;  // the largest recency indexed at its time
        bool ordered = false;     // that recency was its own
    };
    std::vector<Queued> queued;  // by list
    // The lists given a staged entry number since the staged ones were
    // last put (each once), so that putting them costs what was staged,
    // not a look at every list.
    std::vector<std::uint32_t> queued_lists;
    std::vector<Staged> staged_owners;
    std::uint32_t staged_first = 0;
};

// The entry numbers this index can still hand out. When none are left,
// or the caller renumbers its recencies, it clears the index and indexes its
// owners again in their order from the tail.
inline std::uint32_t search_entries_left(const SearchIndex& x) { return SearchIndex::kNone - x.next_entry; }

void search_clear(SearchIndex& x);

// Whether the owner's texts are indexed.
inline bool search_holds(const SearchIndex& x, std::uint32_t owner)
{
    return owner < x.entry_of.size() && x.entry_of[owner] != SearchIndex::kNone;
}

// Indexes the search texts of an owner that has none in the index yet,
// larger `recency` nearer the head. An absent name counts as an empty one.
void search_add(SearchIndex& x, std::uint32_t owner, std::uint32_t recency, std::string_view candidate,
                std::string_view name);

// The same for many owners at once (loading a state file): the owner is
// indexed at once, its trigrams are gathered per list and put into the
// posting lists some at a time, the rest at search_flush.
// search_add and search_drop flush first; search_find and
// search_short_query must not be called while anything is staged.
void search_stage(SearchIndex& x, std::uint32_t owner, std::uint32_t recency, std::string_view candidate,
                  std::string_view name);
// Makes room for `more` owners beyond those indexed.
void search_reserve(SearchIndex& x, std::size_t more);
// Puts what is staged into the posting lists, which then answer every
// query as if search_add had indexed each owner, and frees the staging area.
void search_flush(SearchIndex& x);

// Takes an owner's texts out of the search, if it has any there; the texts
// are those it was indexed with.
void search_drop(SearchIndex& x, std::uint32_t owner, std::string_view candidate, std::string_view name);

// For a lowered query of one or two bytes, the live entries of the lists
// of the trigrams that begin with it (at least the number of listed sites
// that hold it; a site counts once per trigram of its texts that begins
// with it) and the number of those lists. Zeros for a longer query.
struct ShortQuery {
    std::size_t postings = 0;
    std::size_t lists = 0;
};
ShortQuery search_short_query(const SearchIndex& x, std::string_view lowered_query);

// The live sites indexed.
inline std::size_t search_sites(const SearchIndex& x) { return x.owner_of.live; }

// The matches nearest the head among those offered, nearest first: at most
// out.size() of them, in out[0..size).
struct Nearest {
    std::span<std::uint32_t> out;
    Recency recency;
    std::size_t size = 0;
};

// Keeps `owner`, which is not among them yet, among the nearest if it is
// near enough.
void offer_match(Nearest& nearest, std::uint32_t owner);

// The caller's full comparison of an owner's texts with the query.
struct MatchCheck {
    const void* context;
    bool (*matches)(const void* context, std::uint32_t owner);
};

// Offers to `nearest` the owners whose texts may hold the lowered query
// (not empty, without a NUL) and that `check` accepts, each once, so that
// it ends with the nearest of these and of what it held before. Lists
// are read from their ends and left once they cannot come nearer the head
// than what `nearest` has by then. An entry whose recency was the largest
// indexed at its time bounds every entry indexed before it, which keeps a
// list's reading short when its sites came in table order.
//
// A query of three bytes or more has a budget of work: the entries of its
// lists read and its candidates compared. Past it the query is given up
// and false returned, `nearest` then holding only what was found so far,
// which is not the answer. The candidates that the offset masks leave
// hold every trigram of the query in its place modulo 8, so only a table
// of texts made for the query exhausts the budget.
bool search_find(const SearchIndex& x, std::string_view lowered_query, Nearest& nearest, MatchCheck check);

template <typename F>
bool search_find(const SearchIndex& x, std::string_view lowered_query, Nearest& nearest, const F& matches)
{
    return search_find(x, lowered_query, nearest,
                MatchCheck{&matches, [](const void* f, std::uint32_t owner) {
                               return (*static_cast<const F*>(f))(owner);
                           }});
}

}  // namespace kovari
