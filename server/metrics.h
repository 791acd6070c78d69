// SPDX-License-Identifier: BSD-2-Clause
// The metrics file (-X): the statistics in the text format that Prometheus
// scrapes, as path.prom, for the node exporter's textfile collector. The
// counters are the ones SIGUSR1 writes; this is a second formatter over
// them.
#pragma once

#include <string>

#include "server.h"
#include "statistics.h"

namespace kovari {

// The whole metrics text for the counters, the state file's counts and the
// sites in the table now.
std::string metrics_text(const Statistics& st, const StateStatus& state, SiteCounts sites);

// The metrics file is rewritten this often while the server runs, and once
// when it stops.
inline constexpr long kMetricsIntervalMs = 10'000;

// Writes base.prom (through base.prom.new, renamed into place), in
// process: a few kilobytes whatever the size of the table (the table keeps
// its count of unlisted sites, so nothing walks it). A failure is reported with the
// path and the reason, once until the reason changes; it never stops the
// server. Returns whether the file was replaced.
bool write_metrics(Server& srv);

}  // namespace kovari
