// SPDX-License-Identifier: BSD-2-Clause
#include "hash_index.h"

namespace kovari {

namespace {

void rebuild_index(HashIndex& x, std::size_t capacity)
{
    std::vector<HashIndex::Cell> old;
    old.swap(x.cells);
    x.cells.assign(capacity, HashIndex::Cell{});
    x.gone = 0;
    const std::size_t mask = capacity - 1;
    for (const auto& c : old) {
        if (c.slot == HashIndex::kEmpty || c.slot == HashIndex::kGone)
            continue;
        std::size_t i = c.hash & mask;
        while (x.cells[i].slot != HashIndex::kEmpty)
            i = (i + 1) & mask;
        x.cells[i] = c;
    }
}

// The capacity a rebuild gives for `live` entries: at most half full.
std::size_t capacity_for(std::size_t live)
{
    std::size_t capacity = 16;
    while (capacity < live * 2)
        capacity *= 2;
    return capacity;
}

}  // namespace

void index_reserve(HashIndex& x, std::size_t live)
{
    // As full as an insert lets it be before it rebuilds (70%): no more.
    if (live * 10 <= x.cells.size() * 7)
        return;
    rebuild_index(x, capacity_for(live));
}

void index_insert(HashIndex& x, std::uint32_t hash, std::uint32_t slot)
{
    // Kept at most 70% full, removed cells counted: probes stay short.
    if ((x.live + x.gone + 1) * 10 > x.cells.size() * 7)
        rebuild_index(x, capacity_for(x.live + 1));
    const std::size_t mask = x.cells.size() - 1;
    std::size_t i = hash & mask;
    while (x.cells[i].slot != HashIndex::kEmpty && x.cells[i].slot != HashIndex::kGone)
        i = (i + 1) & mask;
    if (x.cells[i].slot == HashIndex::kGone)
        --x.gone;
    x.cells[i] = {hash, slot};
    ++x.live;
}

void index_erase(HashIndex& x, std::uint32_t hash, std::uint32_t slot)
{
    if (x.cells.empty())
        return;
    const std::size_t mask = x.cells.size() - 1;
    for (std::size_t i = hash & mask; x.cells[i].slot != HashIndex::kEmpty; i = (i + 1) & mask) {
        if (x.cells[i].slot == slot) {
            x.cells[i].slot = HashIndex::kGone;
            --x.live;
            ++x.gone;
            return;
        }
    }
}

}  // namespace kovari
