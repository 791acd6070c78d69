// SPDX-License-Identifier: BSD-2-Clause
// The byte strings the development tools send and receive.
#pragma once

#include <cstdint>
#include <vector>

namespace kovari::devkit {

using Bytes = std::vector<std::uint8_t>;

}  // namespace kovari::devkit
