// SPDX-License-Identifier: BSD-2-Clause
// Sites for the development tools: the sample site that several tests and
// the fuzz corpus announce, and the record a server keeps of an
// announcement, for code that fills a table without the request path.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

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

// What a test's site record holds besides its CNAME, each field named only
// where a test needs other than the usual: site("ann", {.ssrc = 2,
// .email = "ann@x"}). The other texts are absent.
struct SiteFields {
    std::uint32_t ssrc = 1;
    std::optional<std::string> name{};
    std::optional<std::string> email{};
    const char* ip = "10.0.0.7";
    int port = 2076;
    std::time_t time = 1000;
};

// A record with this CNAME, as the table keeps it.
Site site(std::string cname, const SiteFields& f = {});

}  // namespace kovari::devkit
