#include "table.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/text.h"
#include "common/utf8.h"

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

// The text a query is compared with: the e-mail text, else the CNAME.
std::string_view candidate_text(const Entry& e) { return text_of(e, has(e, kEmail) ? kEmail : kCname); }

// The candidate without one leading '*' (still in its stored case): what an
// exact query is compared with.
std::string_view candidate_key(const Entry& e) { return without_marker(candidate_text(e)); }

// The name that a substring query searches besides the candidate.
std::string_view search_name(const Entry& e) { return has(e, kName) ? text_of(e, kName) : std::string_view(); }

// Sites that only an exact query finds.
bool unlisted(const Entry& e)
{
    return is_unlisted(text_of(e, kCname),
                       has(e, kEmail) ? std::optional(text_of(e, kEmail)) : std::nullopt);
}

// --- slots ---

Entry pack(const SiteView& s)
{
    Entry e;
    e.time = s.time;
    e.ssrc = s.ssrc;
    e.ip = s.ip;
    e.port = s.port;
    const std::optional<std::string_view>* texts[] = {&s.cname, &s.name, &s.email, &s.phone, &s.loc, &s.tool};
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

// The hash of a candidate key in its folded form, the form in which an
// exact query arrives.
std::uint32_t folded_hash(SiteTable& t, std::string_view key)
{
    t.fold_area.clear();
    if (all_ascii(key)) {
        // The usual case, a byte at a time without the general folding's
        // append per character: it was a tenth of loading a state file.
        t.fold_area.resize(key.size());
        std::transform(key.begin(), key.end(), t.fold_area.begin(), fold_case);
    } else {
        append_folded(t.fold_area, key);
    }
    return hash_text(t.fold_area);
}

// `cname_hash`: hash_text of its CNAME key, which finding it computed.
void index_site(SiteTable& t, std::uint32_t slot, std::uint32_t cname_hash)
{
    const Entry& e = t.slots[slot];
    index_insert(t.by_cname, cname_hash, slot);
    index_insert(t.by_ssrc, hash_ssrc(e.ssrc), slot);
    index_insert(t.by_candidate, folded_hash(t, candidate_key(e)), slot);
}

void unindex_site(SiteTable& t, std::uint32_t slot)
{
    const Entry& e = t.slots[slot];
    index_erase(t.by_cname, hash_text(cname_key(e)), slot);
    index_erase(t.by_ssrc, hash_ssrc(e.ssrc), slot);
    index_erase(t.by_candidate, folded_hash(t, candidate_key(e)), slot);
}

// Files a listed site's search texts; an unlisted site gets none.
void add_search_texts(SiteTable& t, std::uint32_t slot)
{
    const Entry& e = t.slots[slot];
    if (!unlisted(e))
        search_add(t.search, slot, t.order[slot], candidate_text(e), search_name(e));
}

std::uint32_t take_slot(SiteTable& t)
{
    if (!t.free_slots.empty()) {
        const std::uint32_t i = t.free_slots.back();
        t.free_slots.pop_back();
        return i;
    }
    t.slots.emplace_back();
    t.order.push_back(0);
    return std::uint32_t(t.slots.size() - 1);
}

// Order stamps only grow; before they would wrap, the list is stamped anew
// from the tail, which keeps every comparison between sites as it was.
std::uint32_t next_stamp(SiteTable& t)
{
    if (t.next_order == 0xffffffffu) {
        std::uint32_t stamp = std::uint32_t(t.count);
        for (std::uint32_t i = t.head; i != SiteTable::kNone; i = t.slots[i].next)
            t.order[i] = stamp--;
        t.next_order = std::uint32_t(t.count) + 1;
        search_restamp(t.search, t.order);
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

// The slot of the site whose CNAME, without its marker, is `key`, whose
// hash_text is `hash`.
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
    const bool same_search = !unlisted(fresh) &&
                             search_holds(t.search, slot, candidate_text(fresh), search_name(fresh));
    const bool same_ssrc = e.ssrc == fresh.ssrc;
    const std::string_view old_candidate = candidate_key(e);
    const bool same_candidate = same_folded(old_candidate, candidate_key(fresh));
    if (!same_ssrc)
        index_erase(t.by_ssrc, hash_ssrc(e.ssrc), slot);
    if (!same_candidate)
        index_erase(t.by_candidate, folded_hash(t, old_candidate), slot);
    if (!same_search)
        search_drop(t.search, slot, t.order);
    fresh.prev = e.prev;
    fresh.next = e.next;
    e = std::move(fresh);
    if (!same_ssrc)
        index_insert(t.by_ssrc, hash_ssrc(e.ssrc), slot);
    if (!same_candidate)
        index_insert(t.by_candidate, folded_hash(t, candidate_key(e)), slot);
    if (!same_search)
        add_search_texts(t, slot);
}

void add_entry(SiteTable& t, Entry&& fresh, std::uint32_t cname_hash)
{
    const std::uint32_t stamp = next_stamp(t);
    const std::uint32_t i = take_slot(t);
    Entry& e = t.slots[i];
    e = std::move(fresh);
    t.order[i] = stamp;
    e.prev = SiteTable::kNone;
    e.next = t.head;
    if (t.head != SiteTable::kNone)
        t.slots[t.head].prev = i;
    t.head = i;
    ++t.count;
    index_site(t, i, cname_hash);
    add_search_texts(t, i);
}

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

EnterOutcome table_enter(SiteTable& t, Site&& s) { return table_enter(t, view_of(s)); }

EnterOutcome table_enter(SiteTable& t, const SiteView& s)
{
    Entry fresh = pack(s);
    const std::uint32_t cname_hash = hash_text(cname_key(fresh));
    const std::uint32_t found = find_cname(t, cname_key(fresh), cname_hash);
    if (found != SiteTable::kNone) {
        replace_entry(t, found, std::move(fresh));
        return EnterOutcome::replaced;
    }
    add_entry(t, std::move(fresh), cname_hash);
    return EnterOutcome::added;
}

void table_reserve(SiteTable& t, std::size_t more)
{
    const std::size_t n = t.count + more;
    t.slots.reserve(n);
    t.order.reserve(n);
    for (HashIndex* x : {&t.by_cname, &t.by_ssrc, &t.by_candidate})
        index_reserve(*x, n);
}

void table_prefetch(SiteTable& t, const SiteView& s)
{
    if (!s.cname)
        return;
    const std::string_view candidate = s.email ? *s.email : *s.cname;
    index_prefetch(t.by_cname, hash_text(without_marker(*s.cname)));
    index_prefetch(t.by_ssrc, hash_ssrc(s.ssrc));
    index_prefetch(t.by_candidate, folded_hash(t, without_marker(candidate)));
}

bool table_holds(const SiteTable& t, std::string_view cname)
{
    const std::string_view key = without_marker(cname);
    return find_cname(t, key, hash_text(key)) != SiteTable::kNone;
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
    search_drop(t.search, i, t.order);
    Site gone = site_of(table_view(t, i));
    t.slots[i] = Entry{};
    t.order[i] = 0;
    t.free_slots.push_back(i);
    --t.count;
    return gone;
}

std::optional<Site> table_release(SiteTable& t, const Ssrc& ssrc)
{
    std::uint32_t best = SiteTable::kNone;
    index_find(t.by_ssrc, hash_ssrc(ssrc), [&](std::uint32_t slot) {
        if (t.slots[slot].ssrc == ssrc && (best == SiteTable::kNone || t.order[slot] > t.order[best]))
            best = slot;
        return true;
    });
    if (best == SiteTable::kNone)
        return std::nullopt;
    return table_remove_slot(t, best);
}

std::size_t table_find(const SiteTable& t, std::string_view q, std::uint32_t* out, std::size_t limit)
{
    // Site texts hold no NUL, so a query with one matches nothing.
    if (limit == 0 || q.empty() || q.find('\0') != std::string_view::npos)
        return 0;
    Nearest nearest{std::span(out, limit), t.order};
    const bool exact_query = has_marker(q);
    const std::string_view key = without_marker(q);
    // Exact comparisons: every site for a '*' query, else the unlisted ones,
    // which have no search texts.
    index_find(t.by_candidate, hash_text(key), [&](std::uint32_t slot) {
        const Entry& e = t.slots[slot];
        if ((exact_query || unlisted(e)) && equal_folded(candidate_key(e), key))
            offer_match(nearest, slot);
        return true;
    });
    // Substring search through the listed sites' texts, one match per site.
    if (!exact_query)
        search_find(t.search, q, nearest);
    return nearest.size;
}

}  // namespace kovari
