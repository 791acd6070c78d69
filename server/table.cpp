#include "table.h"

#include "common/text.h"

#include <algorithm>
#include <cstring>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kovari {

namespace {

using Entry = SiteTable::Entry;

// Positions of the texts a query needs; the others follow in item order.
constexpr int kCname = 0, kName = 1, kEmail = 2;

bool has(const Entry& e, int k) { return (e.present >> k) & 1; }

std::string_view text_of(const Entry& e, int k)
{
    std::size_t off = 0;
    for (int j = 0; j < k; ++j)
        off += e.length[j];
    return {e.texts.get() + off, e.length[k]};
}

std::string_view cname_key(const Entry& e) { return without_marker(text_of(e, kCname)); }

// The text an exact query is compared with: the e-mail text, else the
// CNAME, without one leading '*' (still in its stored case).
std::string_view candidate_key(const Entry& e)
{
    return without_marker(text_of(e, has(e, kEmail) ? kEmail : kCname));
}

// Sites that only an exact query finds.
bool unlisted(const Entry& e)
{
    return is_unlisted(text_of(e, kCname),
                       has(e, kEmail) ? std::optional(text_of(e, kEmail)) : std::nullopt);
}

// --- the search arena ---

std::size_t segment_end(const SiteTable& t, std::size_t seg)
{
    return seg + 1 < t.segments.size() ? t.segments[seg + 1].first : t.arena.size();
}

void append_lowered(std::vector<char>& arena, std::string_view text)
{
    const std::size_t at = arena.size();
    arena.resize(at + text.size() + 1);
    for (std::size_t i = 0; i < text.size(); ++i)
        arena[at + i] = fold_case(text[i]);
    arena[at + text.size()] = '\0';
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

// Sets the filter bits of segment `seg`, whose bytes are arena[from..to).
void mark_block(SiteTable& t, std::size_t seg, std::size_t from, std::size_t to)
{
    const std::size_t block = seg / SiteTable::kBlockSegments;
    if (t.block_bits.size() < (block + 1) * SiteTable::kBlockWords)
        t.block_bits.resize((block + 1) * SiteTable::kBlockWords, 0);
    if (t.block_order.size() < block + 1)
        t.block_order.resize(block + 1, 0);
    const std::uint32_t slot = t.segments[seg].second;
    if (slot != SiteTable::kNone)
        t.block_order[block] = std::max(t.block_order[block], t.slots[slot].order);
    std::uint64_t* bits = t.block_bits.data() + block * SiteTable::kBlockWords;
    const char* a = t.arena.data();
    for (std::size_t i = from; i + 2 <= to; ++i) {
        if (a[i] == '\0' || a[i + 1] == '\0')
            continue;  // no query holds a NUL
        const std::uint32_t p = pair_bit(a + i);
        bits[p >> 6] |= std::uint64_t(1) << (p & 63);
        if (i + 3 > to || a[i + 2] == '\0')
            continue;
        const std::uint32_t b = triple_bit(a + i);
        bits[b >> 6] |= std::uint64_t(1) << (b & 63);
    }
}

void add_segment(SiteTable& t, std::uint32_t slot)
{
    Entry& e = t.slots[slot];
    e.search = SiteTable::kNone;
    if (unlisted(e))
        return;
    e.search = std::uint32_t(t.segments.size());
    t.segments.push_back({std::uint32_t(t.arena.size()), slot});
    append_lowered(t.arena, text_of(e, has(e, kEmail) ? kEmail : kCname));
    append_lowered(t.arena, has(e, kName) ? text_of(e, kName) : std::string_view());
    mark_block(t, e.search, t.segments.back().first, t.arena.size());
}

void compact_arena(SiteTable& t)
{
    std::vector<char> arena;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> segments;
    arena.reserve(t.arena.size() - t.arena_garbage + t.arena_garbage / 4);
    segments.reserve(t.count + t.count / 4);
    for (std::size_t seg = 0; seg < t.segments.size(); ++seg) {
        const std::uint32_t slot = t.segments[seg].second;
        if (slot == SiteTable::kNone)
            continue;
        const std::size_t from = t.segments[seg].first, to = segment_end(t, seg);
        t.slots[slot].search = std::uint32_t(segments.size());
        segments.push_back({std::uint32_t(arena.size()), slot});
        arena.insert(arena.end(), t.arena.begin() + std::ptrdiff_t(from),
                     t.arena.begin() + std::ptrdiff_t(to));
    }
    t.arena.swap(arena);
    t.segments.swap(segments);
    t.arena_garbage = 0;
    t.block_bits.assign(t.block_bits.size(), 0);
    t.block_order.assign(t.block_order.size(), 0);
    for (std::size_t seg = 0; seg < t.segments.size(); ++seg)
        mark_block(t, seg, t.segments[seg].first, segment_end(t, seg));
    const std::size_t blocks = (t.segments.size() + SiteTable::kBlockSegments - 1) / SiteTable::kBlockSegments;
    t.block_bits.resize(blocks * SiteTable::kBlockWords);
    t.block_order.resize(blocks);
}

void drop_segment(SiteTable& t, std::uint32_t slot)
{
    Entry& e = t.slots[slot];
    if (e.search == SiteTable::kNone)
        return;
    const std::size_t seg = e.search;
    const std::size_t from = t.segments[seg].first, to = segment_end(t, seg);
    std::fill(t.arena.begin() + std::ptrdiff_t(from), t.arena.begin() + std::ptrdiff_t(to), '\0');
    t.segments[seg].second = SiteTable::kNone;
    t.arena_garbage += to - from;
    e.search = SiteTable::kNone;
    // Reclaimed once half the arena is dead: every byte is copied at most
    // once per byte that died, so the cost per change stays constant.
    if (t.arena_garbage > 4096 && t.arena_garbage * 2 > t.arena.size())
        compact_arena(t);
}

// Does the site's segment already hold the search text that `e` would get?
bool segment_matches(const SiteTable& t, const Entry& old, const Entry& e)
{
    if (old.search == SiteTable::kNone || unlisted(e))
        return false;
    const std::size_t seg = old.search;
    std::size_t pos = t.segments[seg].first;
    const std::size_t end = segment_end(t, seg);
    for (std::string_view part : {text_of(e, has(e, kEmail) ? kEmail : kCname),
                                  has(e, kName) ? text_of(e, kName) : std::string_view()}) {
        if (end - pos < part.size() + 1)
            return false;
        for (char c : part)
            if (t.arena[pos++] != fold_case(c))
                return false;
        if (t.arena[pos++] != '\0')
            return false;
    }
    return pos == end;
}

// --- slots ---

Entry pack(Site&& s)
{
    Entry e;
    e.time = s.time;
    e.ssrc = s.ssrc;
    e.ip = s.ip;
    e.port = s.port;
    std::optional<std::string>* texts[] = {&s.cname, &s.name, &s.email, &s.phone, &s.loc, &s.tool};
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

Site unpack(const Entry& e)
{
    Site s;
    s.time = e.time;
    s.ssrc = e.ssrc;
    s.ip = e.ip;
    s.port = e.port;
    std::optional<std::string>* texts[] = {&s.cname, &s.name, &s.email, &s.phone, &s.loc, &s.tool};
    for (int k = 0; k < SiteTable::kTexts; ++k)
        if (has(e, k))
            *texts[k] = std::string(text_of(e, k));
    return s;
}

void index_site(SiteTable& t, std::uint32_t slot)
{
    const Entry& e = t.slots[slot];
    index_insert(t.by_cname, hash_text(cname_key(e), false), slot);
    index_insert(t.by_ssrc, hash_ssrc(e.ssrc), slot);
    index_insert(t.by_candidate, hash_text(candidate_key(e), true), slot);
}

void unindex_site(SiteTable& t, std::uint32_t slot)
{
    const Entry& e = t.slots[slot];
    index_erase(t.by_cname, hash_text(cname_key(e), false), slot);
    index_erase(t.by_ssrc, hash_ssrc(e.ssrc), slot);
    index_erase(t.by_candidate, hash_text(candidate_key(e), true), slot);
}

std::uint32_t take_slot(SiteTable& t)
{
    if (!t.free_slots.empty()) {
        const std::uint32_t i = t.free_slots.back();
        t.free_slots.pop_back();
        return i;
    }
    t.slots.emplace_back();
    return std::uint32_t(t.slots.size() - 1);
}

// Order stamps only grow; before they would wrap, the list is stamped anew
// from the tail, which keeps every comparison between sites as it was.
std::uint32_t next_stamp(SiteTable& t)
{
    if (t.next_order == 0xffffffffu) {
        std::uint32_t stamp = std::uint32_t(t.count);
        for (std::uint32_t i = t.head; i != SiteTable::kNone; i = t.slots[i].next)
            t.slots[i].order = stamp--;
        t.next_order = std::uint32_t(t.count) + 1;
        t.block_order.assign(t.block_order.size(), 0);
        for (std::size_t seg = 0; seg < t.segments.size(); ++seg) {
            const std::uint32_t slot = t.segments[seg].second;
            auto& top = t.block_order[seg / SiteTable::kBlockSegments];
            if (slot != SiteTable::kNone)
                top = std::max(top, t.slots[slot].order);
        }
    }
    return t.next_order++;
}

void unlink(SiteTable& t, std::uint32_t i)
{
    auto& e = t.slots[i];
    if (e.prev != SiteTable::kNone)
        t.slots[e.prev].next = e.next;
    else
        t.head = e.next;
    if (e.next != SiteTable::kNone)
        t.slots[e.next].prev = e.prev;
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

// The `limit` matches nearest the head seen so far, nearest first.
struct Nearest {
    std::uint32_t* out;
    std::size_t limit;
    std::size_t size = 0;
    const SiteTable& t;

    void offer(std::uint32_t slot)
    {
        const std::uint32_t order = t.slots[slot].order;
        if (size == limit && (limit == 0 || t.slots[out[size - 1]].order >= order))
            return;
        std::size_t i = size < limit ? size++ : size - 1;
        while (i > 0 && t.slots[out[i - 1]].order < order) {
            out[i] = out[i - 1];
            --i;
        }
        out[i] = slot;
    }
};

}  // namespace

// --- the table ---

SiteView table_view(const SiteTable& t, std::uint32_t slot)
{
    const Entry& e = t.slots[slot];
    SiteView v;
    v.time = e.time;
    v.ssrc = e.ssrc;
    v.ip = e.ip;
    v.port = e.port;
    std::optional<std::string_view>* texts[] = {&v.cname, &v.name, &v.email, &v.phone, &v.loc, &v.tool};
    const char* p = e.texts.get();
    for (int k = 0; k < SiteTable::kTexts; ++k) {
        if (has(e, k))
            *texts[k] = std::string_view(p, e.length[k]);
        p += e.length[k];
    }
    return v;
}

EnterOutcome table_enter(SiteTable& t, Site&& s)
{
    Entry fresh = pack(std::move(s));
    const std::string_view key = cname_key(fresh);
    std::uint32_t found = SiteTable::kNone;
    index_find(t.by_cname, hash_text(key, false), [&](std::uint32_t slot) {
        if (cname_key(t.slots[slot]) != key)
            return true;
        found = slot;
        return false;
    });
    if (found != SiteTable::kNone) {
        // Replacement is whole: the new record takes the old one's place.
        // The CNAME key is the same by definition; the other keys and the
        // search text are touched only when they changed, so a voice
        // program that repeats itself costs no index work at all.
        Entry& e = t.slots[found];
        const bool same_search = segment_matches(t, e, fresh);
        const bool same_ssrc = e.ssrc == fresh.ssrc;
        const std::string_view old_candidate = candidate_key(e);
        const bool same_candidate = same_folded(old_candidate, candidate_key(fresh));
        if (!same_ssrc)
            index_erase(t.by_ssrc, hash_ssrc(e.ssrc), found);
        if (!same_candidate)
            index_erase(t.by_candidate, hash_text(old_candidate, true), found);
        if (!same_search)
            drop_segment(t, found);
        fresh.order = e.order;
        fresh.prev = e.prev;
        fresh.next = e.next;
        fresh.search = e.search;
        e = std::move(fresh);
        if (!same_ssrc)
            index_insert(t.by_ssrc, hash_ssrc(e.ssrc), found);
        if (!same_candidate)
            index_insert(t.by_candidate, hash_text(candidate_key(e), true), found);
        if (!same_search)
            add_segment(t, found);
        return EnterOutcome::replaced;
    }
    const std::uint32_t stamp = next_stamp(t);
    const std::uint32_t i = take_slot(t);
    Entry& e = t.slots[i];
    e = std::move(fresh);
    e.order = stamp;
    e.prev = SiteTable::kNone;
    e.next = t.head;
    if (t.head != SiteTable::kNone)
        t.slots[t.head].prev = i;
    t.head = i;
    ++t.count;
    index_site(t, i);
    add_segment(t, i);
    return EnterOutcome::added;
}

Site table_remove_slot(SiteTable& t, std::uint32_t i)
{
    unlink(t, i);
    unindex_site(t, i);
    drop_segment(t, i);
    Site gone = unpack(t.slots[i]);
    t.slots[i] = Entry{};
    t.free_slots.push_back(i);
    --t.count;
    return gone;
}

std::optional<Site> table_release(SiteTable& t, const Ssrc& ssrc)
{
    std::uint32_t best = SiteTable::kNone;
    index_find(t.by_ssrc, hash_ssrc(ssrc), [&](std::uint32_t slot) {
        if (t.slots[slot].ssrc == ssrc &&
            (best == SiteTable::kNone || t.slots[slot].order > t.slots[best].order))
            best = slot;
        return true;
    });
    if (best == SiteTable::kNone)
        return std::nullopt;
    return table_remove_slot(t, best);
}

std::size_t table_find(const SiteTable& t, std::string_view q, std::uint32_t* out, std::size_t limit)
{
    Nearest nearest{out, limit, 0, t};
    // Site texts hold no NUL, so a query with one matches nothing.
    if (limit == 0 || q.empty() || q.find('\0') != std::string_view::npos)
        return 0;
    const bool exact_query = has_marker(q);
    const std::string_view key = without_marker(q);
    // Exact comparisons: every site for a '*' query, else the unlisted ones.
    index_find(t.by_candidate, hash_text(key, false), [&](std::uint32_t slot) {
        const Entry& e = t.slots[slot];
        if ((exact_query || unlisted(e)) && equal_folded(candidate_key(e), key))
            nearest.offer(slot);
        return true;
    });
    if (exact_query)
        return nearest.size;

    // Substring search through the listed sites' texts, one match per site.
    const auto scan = [&](std::size_t pos, std::size_t end) {
        const char* arena = t.arena.data();
        while (pos < end) {
            std::size_t hit;
            if (q.size() == 1) {
                const void* p = std::memchr(arena + pos, q[0], end - pos);
                hit = p == nullptr ? kNotFound : std::size_t(static_cast<const char*>(p) - arena);
            } else {
                hit = find_text(arena + pos, end - pos, q);
                if (hit != kNotFound)
                    hit += pos;
            }
            if (hit == kNotFound)
                return;
            // The segment that holds the hit: the last one starting at or before it.
            const auto seg = std::upper_bound(t.segments.begin(), t.segments.end(), std::uint32_t(hit),
                                              [](std::uint32_t at, const auto& s) { return at < s.first; }) -
                             1;
            nearest.offer(seg->second);
            pos = segment_end(t, std::size_t(seg - t.segments.begin()));
        }
    };
    // The query's filter bits: its runs of three bytes, or for a query of
    // two bytes the pair; none for a single byte.
    std::uint32_t wanted[256];
    std::size_t nwanted = 0;
    if (q.size() == 2)
        wanted[nwanted++] = pair_bit(q.data());
    for (std::size_t i = 0; i + 3 <= q.size() && nwanted < 256; ++i) {
        const std::uint32_t b = triple_bit(q.data() + i);
        if (std::find(wanted, wanted + nwanted, b) == wanted + nwanted)
            wanted[nwanted++] = b;
    }
    const std::size_t blocks = (t.segments.size() + SiteTable::kBlockSegments - 1) / SiteTable::kBlockSegments;
    // reach[b]: the nearest-to-head order stamp any of blocks 0..b can hold.
    std::vector<std::uint32_t>& reach = t.reach;
    reach.resize(blocks);
    for (std::size_t b = 0; b < blocks; ++b)
        reach[b] = std::max(t.block_order[b], b > 0 ? reach[b - 1] : 0u);
    for (std::size_t b = blocks; b-- > 0;) {
        if (nearest.size == limit && reach[b] < t.slots[out[limit - 1]].order)
            break;  // nothing earlier comes nearer the head than what is found
        const std::uint64_t* bits = t.block_bits.data() + b * SiteTable::kBlockWords;
        bool pass = true;
        for (std::size_t k = 0; k < nwanted && pass; ++k)
            pass = (bits[wanted[k] >> 6] >> (wanted[k] & 63)) & 1;
        if (!pass)
            continue;
        const std::size_t seg = b * SiteTable::kBlockSegments;
        const std::size_t last = std::min(seg + SiteTable::kBlockSegments, t.segments.size());
        scan(t.segments[seg].first, last < t.segments.size() ? t.segments[last].first : t.arena.size());
    }
    return nearest.size;
}

}  // namespace kovari
