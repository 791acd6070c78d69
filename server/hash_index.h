// SPDX-License-Identifier: BSD-2-Clause
// The hash indexes of the site table: an open-addressing multi-map from a
// 32-bit hash to slot numbers, and the hashes of the keys it is used with.
// The index only narrows a search: the caller compares the keys itself, so
// a collision costs one comparison and never a wrong answer. Every hash
// placed in it is keyed (keyed_hash.h), and the index carries the key its
// owner hashes with.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "common/protocol.h"
#include "keyed_hash.h"

namespace kovari {

// Linear probing over a power-of-two array of cells. A removed cell is
// marked gone rather than emptied, so the probe sequences of the others
// stay whole; the gone cells are dropped when the array is rebuilt.
struct HashIndex {
    struct Cell {
        std::uint32_t hash = 0;
        std::uint32_t slot = kEmpty;
    };
    static constexpr std::uint32_t kEmpty = 0xffffffffu;
    static constexpr std::uint32_t kGone = 0xfffffffeu;  // a removed cell

    std::vector<Cell> cells;  // size 0 or a power of two
    std::size_t live = 0;
    std::size_t gone = 0;
    HashKey key;  // what the owner hashes this index's keys with
};

void index_insert(HashIndex& x, std::uint32_t hash, std::uint32_t slot);
// Sizes the array so that `live` entries in all go in without a rebuild.
void index_reserve(HashIndex& x, std::size_t live);
void index_erase(HashIndex& x, std::uint32_t hash, std::uint32_t slot);

// Calls f(slot) for every slot entered with this hash (and maybe a few
// more: the caller tests the key) while f returns true.
template <typename F>
void index_find(const HashIndex& x, std::uint32_t hash, F&& f)
{
    if (x.cells.empty())
        return;
    const std::size_t mask = x.cells.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const HashIndex::Cell& c = x.cells[i];
        if (c.slot == HashIndex::kEmpty)
            return;
        if (c.slot != HashIndex::kGone && c.hash == hash && !f(c.slot))
            return;
    }
}

// Asks the processor for the cell where a lookup or an insert of `hash`
// begins, ahead of it: in a large table each is a cache miss, and several
// asked for at once cost little more than one.
inline void index_prefetch(const HashIndex& x, std::uint32_t hash)
{
    if (!x.cells.empty())
        __builtin_prefetch(&x.cells[hash & (x.cells.size() - 1)]);
}

// The hashes under which the table files its keys, under the index's key.
// A text's: a key compared without regard to case is hashed in its folded
// form. Keys a client chooses cannot be steered into one run of cells
// without the secret, so a probe stays O(1) on average at any table size.
inline std::uint32_t hash_text(const HashKey& key, std::string_view t) { return std::uint32_t(siphash<1, 3>(key, t)); }

inline std::uint32_t hash_ssrc(const HashKey& key, const Ssrc& s) { return std::uint32_t(siphash_word(key, ssrc_value(s))); }

}  // namespace kovari
