// The substring search of the site table: the lowered search texts of the
// listed sites, back to back in one arena that a query scans in a single
// pass, with a filter over blocks of them so that a query that matches
// nothing reads almost nothing.
//
// The arena knows its texts by owner: a small number the caller chooses
// (the table's slot). Which matches come first is the caller's order,
// handed in as order stamps by owner, larger nearer the head; the arena
// keeps per block only the largest stamp it has seen, to stop a search
// once no earlier block can come nearer the head.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace kovari {

// Order stamps by owner: larger is nearer the head.
using OrderStamps = std::span<const std::uint32_t>;

struct SearchArena {
    static constexpr std::uint32_t kNone = 0xffffffffu;

    // Per owner its lowered candidate, a NUL, its lowered name (if any), a
    // NUL. A query holds no NUL, so no match runs from one text into the
    // next. Texts of owners that left are zeroed and reclaimed by
    // compaction.
    std::vector<char> texts;
    struct Segment {
        std::uint32_t offset = 0;     // where its texts begin
        std::uint32_t owner = kNone;  // kNone once its owner left
    };
    std::vector<Segment> segments;          // by offset
    std::vector<std::uint32_t> segment_of;  // by owner: its segment, or kNone
    std::size_t live = 0;                   // segments with an owner
    std::size_t garbage = 0;                // bytes of zeroed segments

    // A filter over blocks of kBlockSegments segments: bit h is set when a
    // text of the block holds a run of three bytes, or of two, that hashes
    // to h. A query of two bytes or more is searched only in the blocks that
    // have the bits of all its runs; the others cannot hold it. Owners that
    // left keep their bits until compaction: the filter errs only towards
    // searching.
    static constexpr std::size_t kBlockSegments = 32;
    static constexpr std::size_t kBlockWords = 32;  // 2048 bits a block
    std::vector<std::uint64_t> block_bits;
    // Per block, the largest order stamp of an owner whose text it holds or
    // held. Segments are appended, so the last blocks hold the owners added
    // last, nearest the head: a query searches the blocks from the last one
    // back and stops when no earlier block can hold an owner nearer the head
    // than the matches it has.
    std::vector<std::uint32_t> block_order;
    // Work area of search_find, kept so that a query allocates nothing once
    // the arena has grown.
    mutable std::vector<std::uint32_t> reach;
};

// The matches nearest the head among those offered, nearest first: at most
// out.size() of them, in out[0..size).
struct Nearest {
    std::span<std::uint32_t> out;
    OrderStamps order;
    std::size_t size = 0;
};

// Keeps `owner` among the nearest if it is near enough.
void offer_match(Nearest& nearest, std::uint32_t owner);

// Appends the search texts of an owner that has none in the arena yet,
// `order` being its stamp. An absent name counts as an empty one.
void search_add(SearchArena& a, std::uint32_t owner, std::uint32_t order, std::string_view candidate,
                std::string_view name);

// Takes an owner's texts out of the search, if it has any there. Once half
// the arena is dead it is compacted, which reads the stamps of the owners
// still there.
void search_drop(SearchArena& a, std::uint32_t owner, OrderStamps order);

// Does the arena hold for this owner the texts that search_add would put
// there for `candidate` and `name`? A refresh that repeats its texts then
// leaves the arena alone.
bool search_holds(const SearchArena& a, std::uint32_t owner, std::string_view candidate,
                  std::string_view name);

// Takes the owners' stamps anew after the caller renumbered them.
void search_restamp(SearchArena& a, OrderStamps order);

// Offers to `nearest` the owners whose texts hold the lowered query (not
// empty, without a NUL), each once, so that it ends with the nearest of
// these and of what it held before. Blocks that cannot come nearer the
// head than what `nearest` has by then are not read.
void search_find(const SearchArena& a, std::string_view lowered_query, Nearest& nearest);

}  // namespace kovari
