// SPDX-License-Identifier: BSD-2-Clause
#include "keyed_hash.h"

#include <sys/random.h>

#include <cerrno>

namespace kovari {

namespace {

std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
    std::uint64_t v0, v1, v2, v3;

    explicit SipState(const HashKey& k)
        : v0(k.k0 ^ 0x736f6d6570736575ull),
          v1(k.k1 ^ 0x646f72616e646f6dull),
          v2(k.k0 ^ 0x6c7967656e657261ull),
          v3(k.k1 ^ 0x7465646279746573ull)
    {
    }

    void round()
    {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    }

    template <int C>
    void absorb(std::uint64_t m)
    {
        v3 ^= m;
        for (int i = 0; i < C; ++i)
            round();
        v0 ^= m;
    }

    template <int D>
    std::uint64_t finish()
    {
        v2 ^= 0xff;
        for (int i = 0; i < D; ++i)
            round();
        return v0 ^ v1 ^ v2 ^ v3;
    }
};

std::uint64_t read_le64(const char* p)
{
    std::uint64_t w = 0;
    for (int k = 0; k < 8; ++k)
        w |= std::uint64_t(static_cast<unsigned char>(p[k])) << (8 * k);
    return w;
}

}  // namespace

template <int C, int D>
std::uint64_t siphash(const HashKey& key, std::string_view bytes)
{
    SipState s(key);
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8)
        s.absorb<C>(read_le64(bytes.data() + i));
    // The last word: the bytes left over, and the length's low byte on top.
    std::uint64_t last = std::uint64_t(n & 0xff) << 56;
    for (int k = 0; i < n; ++i, ++k)
        last |= std::uint64_t(static_cast<unsigned char>(bytes[i])) << (8 * k);
    s.absorb<C>(last);
    return s.finish<D>();
}

template std::uint64_t siphash<1, 3>(const HashKey&, std::string_view);
template std::uint64_t siphash<2, 4>(const HashKey&, std::string_view);

std::uint64_t siphash_word(const HashKey& key, std::uint32_t word)
{
    SipState s(key);
    s.absorb<1>(std::uint64_t(4) << 56 | word);
    return s.finish<3>();
}

std::uint32_t permute_word(const HashKey& key, std::uint32_t word)
{
    std::uint32_t left = word >> 16, right = word & 0xffff;
    for (std::uint32_t r = 0; r < 3; ++r) {
        const std::uint32_t mixed = left ^ (std::uint32_t(siphash_word(key, r << 16 | right)) & 0xffff);
        left = right;
        right = mixed;
    }
    return left << 16 | right;
}

std::optional<HashKey> draw_hash_key()
{
    unsigned char bytes[16];
    std::size_t have = 0;
    while (have < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + have, sizeof bytes - have, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return std::nullopt;
        have += std::size_t(n);
    }
    HashKey key;
    key.k0 = read_le64(reinterpret_cast<const char*>(bytes));
    key.k1 = read_le64(reinterpret_cast<const char*>(bytes + 8));
    return key;
}

}  // namespace kovari
