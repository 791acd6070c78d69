// SPDX-License-Identifier: BSD-2-Clause
// The statistics block and the status line.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "server.h"

namespace kovari {

struct SiteCounts {
    std::size_t listed = 0, unlisted = 0;
};

// The sites listed and unlisted, from the table's own counts.
SiteCounts count_sites(const SiteTable& t);
// The statistics block, as SIGUSR1 asks for it.
void write_statistics(const Server& srv, std::FILE* out, long now_ms);
// One line for the service manager's status: where the server listens, the
// sites and the requests since start.
std::string status_text(const Server& srv);

}  // namespace kovari
