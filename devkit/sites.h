// SPDX-License-Identifier: BSD-2-Clause
// Sites for the development tools: the sample site that several tests and
// the fuzz corpus announce, and the record a server keeps of an
// announcement, for code that fills a table without the request path.
#pragma once

#include <cstdint>
#include <ctime>

#include "common/site.h"
#include "devkit/packets.h"

namespace kovari::devkit {

// Ann Lee: SSRC AA BB CC DD, CNAME "ann", a NAME with markup in it, an
// e-mail text with the unlisted marker, port 2076.
Announcement sample_ann();

// The record of an announcement as received from `ip` (network order)
// at `time`: its texts, its SSRC and the port of its port item (0 when it
// has none).
Site site_record(const Announcement& a, std::uint32_t ip, std::time_t time);

}  // namespace kovari::devkit
