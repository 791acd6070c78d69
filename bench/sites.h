// SPDX-License-Identifier: BSD-2-Clause
// The sites the benchmark announces: realistic texts of about 80 bytes in
// all (CNAME, NAME, EMAIL, and LOC or PHONE on some), one distinct SSRC and
// one distinct CNAME and e-mail address per number.
#pragma once

#include <cstdint>
#include <string>

#include "devkit/packets.h"

namespace kovari::bench {

devkit::Announcement bench_site(std::uint32_t id);

// The SSRC of site `id`; distinct for distinct ids.
Ssrc bench_ssrc(std::uint32_t id);

// A query that finds site `id` alone, in exact mode ("*" and its e-mail).
std::string exact_query(std::uint32_t id);

// A query that no bench site matches: every site is searched in vain.
inline const char* const kMissQuery = "nobody.at.all";

}  // namespace kovari::bench
