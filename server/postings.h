// SPDX-License-Identifier: BSD-2-Clause
// The trigram index's posting lists as its indexing (search.cpp) and its
// readings (search_find.cpp) both see them: the keys, the layout of a
// block and the look-ups. Only those two files include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "search.h"

namespace kovari::postings {

using Block = SearchIndex::Block;
using PostingList = SearchIndex::PostingList;
constexpr std::uint32_t kNone = SearchIndex::kNone;
constexpr std::size_t kPairs = 1 << 16;
constexpr std::size_t kBlockBytes = sizeof Block::bytes;
// Each entry takes at least a byte of difference (but the first) and a byte of mask.
constexpr std::size_t kBlockEntries = (kBlockBytes + 1) / 2;
constexpr std::uint8_t kInOrder = SearchIndex::kInOrder;

inline bool in_order(const Block& b) { return (b.count & kInOrder) != 0; }
inline std::size_t entries_in(const Block& b) { return b.count & ~kInOrder; }
inline std::uint8_t& mask_at(Block& b, std::size_t i) { return b.bytes[kBlockBytes - 1 - i]; }
inline std::uint8_t mask_at(const Block& b, std::size_t i) { return b.bytes[kBlockBytes - 1 - i]; }

inline std::uint32_t pair_of(std::uint32_t key) { return key >> 8; }

inline std::uint32_t byte_at(std::string_view t, std::size_t i)
{
    return i < t.size() ? static_cast<unsigned char>(t[i]) : 0u;
}

// The trigram at position i: the three bytes from there, zero past the end.
inline std::uint32_t key_at(std::string_view t, std::size_t i)
{
    return byte_at(t, i) << 16 | byte_at(t, i + 1) << 8 | byte_at(t, i + 2);
}

// The list of a trigram; kNone when it has none.
std::uint32_t find_list(const SearchIndex& x, std::uint32_t key);

// The owner whose live entry has this entry number; kNone when it left
// or changed its texts since.
std::uint32_t live_owner(const SearchIndex& x, std::uint32_t number);

// Decodes a block's entry numbers into vals; returns the number of entries.
std::size_t decode_block(const Block& b, std::uint32_t* vals);

}  // namespace kovari::postings
