#include "table.h"

#include <utility>

namespace kovari {
namespace {

std::string cname_key(const Site& s) { return std::string(without_marker(*s.cname)); }

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

void drop_ssrc_index(SiteTable& t, std::uint32_t value, std::uint32_t slot)
{
    auto [lo, hi] = t.by_ssrc.equal_range(value);
    for (auto it = lo; it != hi; ++it) {
        if (it->second == slot) {
            t.by_ssrc.erase(it);
            return;
        }
    }
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

}  // namespace

EnterOutcome table_enter(SiteTable& t, Site&& s)
{
    std::string key = cname_key(s);
    const std::uint32_t value = ssrc_value(s.ssrc);
    auto found = t.by_cname.find(key);
    if (found != t.by_cname.end()) {
        // Replacement is whole: the new record takes the old one's place.
        const std::uint32_t i = found->second;
        auto& e = t.slots[i];
        const std::uint32_t old_value = ssrc_value(e.site.ssrc);
        if (old_value != value) {
            drop_ssrc_index(t, old_value, i);
            t.by_ssrc.emplace(value, i);
        }
        e.site = std::move(s);
        return EnterOutcome::replaced;
    }
    const std::uint32_t i = take_slot(t);
    auto& e = t.slots[i];
    e.site = std::move(s);
    e.used = true;
    e.order = t.next_order++;
    e.prev = SiteTable::kNone;
    e.next = t.head;
    if (t.head != SiteTable::kNone)
        t.slots[t.head].prev = i;
    t.head = i;
    ++t.count;
    t.by_cname.emplace(std::move(key), i);
    t.by_ssrc.emplace(value, i);
    return EnterOutcome::added;
}

Site table_remove_slot(SiteTable& t, std::uint32_t i)
{
    auto& e = t.slots[i];
    unlink(t, i);
    t.by_cname.erase(cname_key(e.site));
    drop_ssrc_index(t, ssrc_value(e.site.ssrc), i);
    Site gone = std::move(e.site);
    e = SiteTable::Entry{};
    t.free_slots.push_back(i);
    --t.count;
    return gone;
}

std::optional<Site> table_release(SiteTable& t, const Ssrc& ssrc)
{
    auto [lo, hi] = t.by_ssrc.equal_range(ssrc_value(ssrc));
    std::uint32_t best = SiteTable::kNone;
    for (auto it = lo; it != hi; ++it)
        if (best == SiteTable::kNone || t.slots[it->second].order > t.slots[best].order)
            best = it->second;
    if (best == SiteTable::kNone)
        return std::nullopt;
    return table_remove_slot(t, best);
}

}  // namespace kovari
