// SPDX-License-Identifier: BSD-2-Clause
// The state file's bytes and nothing else: the table written out as bytes
// and bytes read back as sites, by pure functions. docs/state-file.md
// gives the format: a magic text, a version, the sites in table order, a
// checksum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/site.h"
#include "table.h"

namespace kovari {

inline constexpr std::uint32_t kStateVersion = 1;

// The header: where each field stands and how long it is.
// "KOVARI STATE", then CR LF, ^Z, LF: a file mangled by a text-mode copy
// no longer starts with the magic.
inline constexpr std::string_view kStateMagic{"KOVARI STATE\r\n\x1a\n", 16};
inline constexpr std::size_t kVersionAt = 16, kVersionSize = 4;
inline constexpr std::size_t kCountAt = 20, kCountSize = 4;
inline constexpr std::size_t kLengthAt = 24, kLengthSize = 8;
inline constexpr std::size_t kWrittenAtAt = 32, kWrittenAtSize = 8;
inline constexpr std::size_t kStateHeaderSize = 40;  // the sites follow
inline constexpr std::size_t kChecksumSize = 4;      // the file's last bytes

// Each site: its time, SSRC, address and port, then its texts as items and
// an end byte.
inline constexpr std::size_t kSiteTimeSize = 8, kSiteSsrcSize = 4, kSiteIpSize = 4, kSitePortSize = 2;

// The file's bytes for the table as it stands at `now`.
std::string encode_state(const SiteTable& t, std::time_t now);

// What became of a state file's bytes.
struct DecodedState {
    std::optional<std::string> problem;  // "is truncated (...)"; set: nothing was taken
    std::size_t too_old = 0;             // left out: older than a site may be
};

// Reads a file's bytes and hands each site to `take`, the tail of the table
// first, so that entering them one by one at the head rebuilds the order.
// Nothing is handed over unless the whole file is sound. A site older than
// kMaxSiteAge at `now` is left out; one stamped after `now` is taken as
// announced at `now`. `most` > 0: only the `most` sites nearest the head
// are taken.
DecodedState decode_state(std::span<const std::uint8_t> bytes, std::time_t now, std::size_t most,
                          const std::function<void(Site&&)>& take);

// The same, each site handed as a look at `bytes` (valid as long as they
// are), and before the first, `expect` told how many will come.
DecodedState decode_state_views(std::span<const std::uint8_t> bytes, std::time_t now, std::size_t most,
                                const std::function<void(std::size_t)>& expect,
                                const std::function<void(const SiteView&)>& take);

}  // namespace kovari
