// SPDX-License-Identifier: BSD-2-Clause
// The keyed hashes of the server.
//
// Every key that a client chooses (a CNAME, an SSRC, a query, a text's
// trigrams, an address) is hashed with SipHash-1-3 under a 128-bit secret
// drawn from the kernel at start. With an unkeyed hash anyone can work out
// offline keys that all land in one run of cells, and each insert or
// lookup then walks the whole run: n sites cost O(n^2). Under a secret key
// the outsider cannot tell where a key lands, and a run stays O(1) long on
// average whatever keys arrive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kovari {

// The secret of the keyed hashes. All zero until the program sets one it
// drew (draw_hash_key); tests set theirs through the code.
struct HashKey {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
};

// 128 bits from the kernel's random source (getrandom), or nullopt when it
// cannot give them. It may block early in boot, until the kernel's pool is
// first filled.
std::optional<HashKey> draw_hash_key();

// SipHash with c rounds per 8-byte word and d to finish. 1-3 for the
// indexes: keys are short and many, and its margin against an outsider who
// never sees a hash is ample; 2-4, the original, is the one with published
// test vectors, which check the code that both share.
template <int C, int D>
std::uint64_t siphash(const HashKey& key, std::string_view bytes);
extern template std::uint64_t siphash<1, 3>(const HashKey&, std::string_view);
extern template std::uint64_t siphash<2, 4>(const HashKey&, std::string_view);

// SipHash-1-3 of the four bytes of `word`, low byte first: the same value
// as siphash<1, 3> of those bytes, without the loop over a text.
std::uint64_t siphash_word(const HashKey& key, std::uint32_t word);

// A keyed permutation of 32-bit words: distinct words give distinct
// results, so a map whose keys are words needs no comparison of its own,
// and where a word lands is as unknown as a SipHash. Three Feistel rounds
// over the two 16-bit halves, each round's function SipHash-1-3 of the
// round and the half: three hashes of four bytes.
std::uint32_t permute_word(const HashKey& key, std::uint32_t word);

// The hasher of a standard unordered map keyed by an address or a text.
struct KeyedHasher {
    HashKey key;
    std::size_t operator()(std::uint32_t word) const { return std::size_t(siphash_word(key, word)); }
    std::size_t operator()(std::string_view text) const { return std::size_t(siphash<1, 3>(key, text)); }
};

}  // namespace kovari
