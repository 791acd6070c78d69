#include "search.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "common/text.h"
#include "common/utf8.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kovari {

namespace {

using Segment = SearchArena::Segment;
constexpr std::uint32_t kNone = SearchArena::kNone;
constexpr std::size_t kBlockSegments = SearchArena::kBlockSegments;
constexpr std::size_t kBlockWords = SearchArena::kBlockWords;

// --- the arena and its filter ---

std::size_t segment_end(const SearchArena& a, std::size_t seg)
{
    return seg + 1 < a.segments.size() ? a.segments[seg + 1].offset : a.texts.size();
}

std::size_t count_blocks(const SearchArena& a)
{
    return (a.segments.size() + kBlockSegments - 1) / kBlockSegments;
}

// Appends the folded text and its NUL. Folding never makes a NUL, and site
// texts hold none, so the NUL ends the text.
void append_lowered(std::vector<char>& texts, std::string_view text)
{
    const std::size_t at = texts.size();
    if (all_ascii(text)) {
        texts.resize(at + text.size() + 1);
        for (std::size_t i = 0; i < text.size(); ++i)
            texts[at + i] = fold_case(text[i]);
        texts[at + text.size()] = '\0';
        return;
    }
    std::string folded;
    append_folded(folded, text);
    texts.insert(texts.end(), folded.begin(), folded.end());
    texts.push_back('\0');
}

// The filter bit of the three bytes at p.
std::uint32_t triple_bit(const char* p)
{
    const std::uint32_t v = std::uint32_t(static_cast<unsigned char>(p[0])) << 16 |
                            std::uint32_t(static_cast<unsigned char>(p[1])) << 8 |
                            static_cast<unsigned char>(p[2]);
    return (v * 0x9E3779B1u) >> 21;  // 0..2047
}

// The filter bit of the two bytes at p, for queries of two bytes.
std::uint32_t pair_bit(const char* p)
{
    const std::uint32_t v = std::uint32_t(static_cast<unsigned char>(p[0])) << 8 |
                            static_cast<unsigned char>(p[1]);
    return ((v + 0x01000000u) * 0x85EBCA77u) >> 21;
}

void set_bit(std::uint64_t* bits, std::uint32_t b) { bits[b >> 6] |= std::uint64_t(1) << (b & 63); }

bool has_bit(const std::uint64_t* bits, std::uint32_t b) { return (bits[b >> 6] >> (b & 63)) & 1; }

// Sets the filter bits of segment `seg` in its block and, if the segment
// has an owner, raises the block's stamp to `order`.
void mark_block(SearchArena& a, std::size_t seg, std::uint32_t order)
{
    const std::size_t block = seg / kBlockSegments;
    if (a.block_bits.size() < (block + 1) * kBlockWords)
        a.block_bits.resize((block + 1) * kBlockWords, 0);
    if (a.block_order.size() < block + 1)
        a.block_order.resize(block + 1, 0);
    if (a.segments[seg].owner != kNone)
        a.block_order[block] = std::max(a.block_order[block], order);
    std::uint64_t* bits = a.block_bits.data() + block * kBlockWords;
    const char* t = a.texts.data();
    const std::size_t to = segment_end(a, seg);
    for (std::size_t i = a.segments[seg].offset; i + 2 <= to; ++i) {
        if (t[i] == '\0' || t[i + 1] == '\0')
            continue;  // no query holds a NUL
        set_bit(bits, pair_bit(t + i));
        if (i + 3 > to || t[i + 2] == '\0')
            continue;
        set_bit(bits, triple_bit(t + i));
    }
}

// Copies the live segments into a new arena, in the same order, and builds
// the filter and the block stamps anew.
void compact_arena(SearchArena& a, OrderStamps order)
{
    std::vector<char> texts;
    std::vector<Segment> segments;
    texts.reserve(a.texts.size() - a.garbage + a.garbage / 4);
    segments.reserve(a.live + a.live / 4);
    for (std::size_t seg = 0; seg < a.segments.size(); ++seg) {
        const std::uint32_t owner = a.segments[seg].owner;
        if (owner == kNone)
            continue;
        const std::size_t from = a.segments[seg].offset, to = segment_end(a, seg);
        a.segment_of[owner] = std::uint32_t(segments.size());
        segments.push_back({std::uint32_t(texts.size()), owner});
        texts.insert(texts.end(), a.texts.begin() + std::ptrdiff_t(from),
                     a.texts.begin() + std::ptrdiff_t(to));
    }
    a.texts.swap(texts);
    a.segments.swap(segments);
    a.garbage = 0;
    a.block_bits.assign(a.block_bits.size(), 0);
    a.block_order.assign(a.block_order.size(), 0);
    for (std::size_t seg = 0; seg < a.segments.size(); ++seg)
        mark_block(a, seg, order[a.segments[seg].owner]);
    a.block_bits.resize(count_blocks(a) * kBlockWords);
    a.block_order.resize(count_blocks(a));
}

// --- the substring scan ---

constexpr std::size_t kNotFound = std::size_t(-1);

#if defined(__x86_64__)
// Candidates are the positions where both the first and the last byte of
// the query fit; only those are compared in full. 128 bytes a round, in
// which usually no candidate turns up at all.
__attribute__((target("avx2"))) inline __m256i both_ends(const char* p, std::size_t k, __m256i first,
                                                         __m256i last)
{
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + k - 1));
    return _mm256_and_si256(_mm256_cmpeq_epi8(a, first), _mm256_cmpeq_epi8(b, last));
}

// Scans h[0..n) for q (k >= 2 bytes) in whole rounds; `i` is left where the
// rounds stopped.
__attribute__((target("avx2"))) std::size_t find_avx2(const char* h, std::size_t n,
                                                      std::string_view q, std::size_t& i)
{
    const std::size_t k = q.size();
    const __m256i first = _mm256_set1_epi8(q[0]);
    const __m256i last = _mm256_set1_epi8(q[k - 1]);
    for (; i + k - 1 + 128 <= n; i += 128) {
        const __m256i x[4] = {both_ends(h + i, k, first, last), both_ends(h + i + 32, k, first, last),
                              both_ends(h + i + 64, k, first, last),
                              both_ends(h + i + 96, k, first, last)};
        const __m256i any = _mm256_or_si256(_mm256_or_si256(x[0], x[1]), _mm256_or_si256(x[2], x[3]));
        if (_mm256_testz_si256(any, any))
            continue;
        for (std::size_t j = 0; j < 4; ++j) {
            unsigned mask = unsigned(_mm256_movemask_epi8(x[j]));
            while (mask != 0) {
                const std::size_t at = i + 32 * j + unsigned(__builtin_ctz(mask));
                if (std::memcmp(h + at + 1, q.data() + 1, k - 2) == 0)
                    return at;
                mask &= mask - 1;
            }
        }
    }
    return kNotFound;
}

// The same with SSE2, which every x86-64 has, 16 bytes a round.
std::size_t find_sse2(const char* h, std::size_t n, std::string_view q, std::size_t& i)
{
    const std::size_t k = q.size();
    const __m128i first = _mm_set1_epi8(q[0]);
    const __m128i last = _mm_set1_epi8(q[k - 1]);
    for (; i + k - 1 + 16 <= n; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + i + k - 1));
        unsigned mask = unsigned(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, last))));
        while (mask != 0) {
            const std::size_t at = i + unsigned(__builtin_ctz(mask));
            if (std::memcmp(h + at + 1, q.data() + 1, k - 2) == 0)
                return at;
            mask &= mask - 1;
        }
    }
    return kNotFound;
}
#endif

// First position of `q` (at least 2 bytes) in h[0..n).
std::size_t find_text(const char* h, std::size_t n, std::string_view q)
{
    const std::size_t k = q.size();
    if (k > n)
        return kNotFound;
    std::size_t i = 0;
#if defined(__x86_64__)
    const std::size_t found = __builtin_cpu_supports("avx2") ? find_avx2(h, n, q, i) : kNotFound;
    if (found != kNotFound)
        return found;
    if (const std::size_t f = find_sse2(h, n, q, i); f != kNotFound)
        return f;
#endif
    for (; i + k <= n; ++i)
        if (h[i] == q[0] && std::memcmp(h + i + 1, q.data() + 1, k - 1) == 0)
            return i;
    return kNotFound;
}

// First position of the query in texts[pos..end), or kNotFound.
std::size_t find_hit(const char* texts, std::size_t pos, std::size_t end, std::string_view q)
{
    if (q.size() == 1) {
        const void* p = std::memchr(texts + pos, q[0], end - pos);
        return p == nullptr ? kNotFound : std::size_t(static_cast<const char*>(p) - texts);
    }
    const std::size_t hit = find_text(texts + pos, end - pos, q);
    return hit == kNotFound ? kNotFound : hit + pos;
}

// Offers the owner of every segment in texts[pos..end) that holds the
// query, one match per segment. Segments whose owner left are all NULs and
// never match.
void scan_range(const SearchArena& a, std::string_view q, std::size_t pos, std::size_t end,
                Nearest& nearest)
{
    while (pos < end) {
        const std::size_t hit = find_hit(a.texts.data(), pos, end, q);
        if (hit == kNotFound)
            return;
        // The segment that holds the hit: the last one starting at or before it.
        const auto seg = std::upper_bound(a.segments.begin(), a.segments.end(), std::uint32_t(hit),
                                          [](std::uint32_t at, const Segment& s) { return at < s.offset; }) -
                         1;
        offer_match(nearest, seg->owner);
        pos = segment_end(a, std::size_t(seg - a.segments.begin()));
    }
}

// The filter bits a block must have to hold a query: its runs of three
// bytes, or for a query of two bytes the pair; none for a single byte.
struct QueryBits {
    std::uint32_t bit[256];
    std::size_t count = 0;
};

void collect_query_bits(std::string_view q, QueryBits& w)
{
    if (q.size() == 2)
        w.bit[w.count++] = pair_bit(q.data());
    for (std::size_t i = 0; i + 3 <= q.size() && w.count < 256; ++i) {
        const std::uint32_t b = triple_bit(q.data() + i);
        if (std::find(w.bit, w.bit + w.count, b) == w.bit + w.count)
            w.bit[w.count++] = b;
    }
}

bool block_may_hold(const SearchArena& a, std::size_t block, const QueryBits& w)
{
    const std::uint64_t* bits = a.block_bits.data() + block * kBlockWords;
    for (std::size_t k = 0; k < w.count; ++k)
        if (!has_bit(bits, w.bit[k]))
            return false;
    return true;
}

}  // namespace

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

void search_add(SearchArena& a, std::uint32_t owner, std::uint32_t order, std::string_view candidate,
                std::string_view name)
{
    if (a.segment_of.size() <= owner)
        a.segment_of.resize(std::size_t(owner) + 1, kNone);
    const std::size_t seg = a.segments.size();
    a.segment_of[owner] = std::uint32_t(seg);
    a.segments.push_back({std::uint32_t(a.texts.size()), owner});
    append_lowered(a.texts, candidate);
    append_lowered(a.texts, name);
    ++a.live;
    mark_block(a, seg, order);
}

void search_drop(SearchArena& a, std::uint32_t owner, OrderStamps order)
{
    if (owner >= a.segment_of.size() || a.segment_of[owner] == kNone)
        return;
    const std::size_t seg = a.segment_of[owner];
    const std::size_t from = a.segments[seg].offset, to = segment_end(a, seg);
    std::fill(a.texts.begin() + std::ptrdiff_t(from), a.texts.begin() + std::ptrdiff_t(to), '\0');
    a.segments[seg].owner = kNone;
    a.segment_of[owner] = kNone;
    a.garbage += to - from;
    --a.live;
    // Reclaimed once half the arena is dead: every byte is copied at most
    // once per byte that died, so the cost per change stays constant.
    if (a.garbage > 4096 && a.garbage * 2 > a.texts.size())
        compact_arena(a, order);
}

bool search_holds(const SearchArena& a, std::uint32_t owner, std::string_view candidate,
                  std::string_view name)
{
    if (owner >= a.segment_of.size() || a.segment_of[owner] == kNone)
        return false;
    const std::size_t seg = a.segment_of[owner];
    std::size_t pos = a.segments[seg].offset;
    const std::size_t end = segment_end(a, seg);
    for (std::string_view part : {candidate, name}) {
        const char* filed = a.texts.data() + pos;
        const std::size_t len = ::strnlen(filed, end - pos);
        if (len == end - pos || !equal_folded(part, std::string_view(filed, len)))
            return false;
        pos += len + 1;
    }
    return pos == end;
}

void search_restamp(SearchArena& a, OrderStamps order)
{
    a.block_order.assign(a.block_order.size(), 0);
    for (std::size_t seg = 0; seg < a.segments.size(); ++seg) {
        const std::uint32_t owner = a.segments[seg].owner;
        auto& top = a.block_order[seg / kBlockSegments];
        if (owner != kNone)
            top = std::max(top, order[owner]);
    }
}

void search_find(const SearchArena& a, std::string_view q, Nearest& nearest)
{
    const std::size_t limit = nearest.out.size();
    if (limit == 0 || q.empty() || q.find('\0') != std::string_view::npos)
        return;
    QueryBits wanted;
    collect_query_bits(q, wanted);
    const std::size_t blocks = count_blocks(a);
    // reach[b]: the nearest-to-head order stamp any of blocks 0..b can hold.
    std::vector<std::uint32_t>& reach = a.reach;
    reach.resize(blocks);
    for (std::size_t b = 0; b < blocks; ++b)
        reach[b] = std::max(a.block_order[b], b > 0 ? reach[b - 1] : 0u);
    for (std::size_t b = blocks; b-- > 0;) {
        if (nearest.size == limit && reach[b] < nearest.order[nearest.out[limit - 1]])
            break;  // nothing earlier comes nearer the head than what is found
        if (!block_may_hold(a, b, wanted))
            continue;
        const std::size_t first = b * kBlockSegments;
        const std::size_t last = std::min(first + kBlockSegments, a.segments.size()) - 1;
        scan_range(a, q, a.segments[first].offset, segment_end(a, last), nearest);
    }
}

}  // namespace kovari
