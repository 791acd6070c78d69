// SPDX-License-Identifier: BSD-2-Clause
// The soak's one source of chance: a seeded generator, so that a run can
// be repeated with --seed.
#pragma once

#include <cstddef>
#include <random>

namespace kovari::soak {

using Random = std::mt19937;

// A number in 0..n-1 (n > 0).
inline std::size_t pick(Random& rng, std::size_t n)
{
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
}

}  // namespace kovari::soak
