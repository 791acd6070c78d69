// SPDX-License-Identifier: BSD-2-Clause
// The HTML pages: what they say, when they are written, and the report
// of each write.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "server.h"
#include "table.h"
#include "writes.h"

namespace kovari {

void note_change(Server& srv, std::time_t now);
// The table changed as `change` says: the state file is marked for the next
// sweep, and a site that came or went starts a page write when one is due.
void note_table_change(Server& srv, TableChange change, std::time_t now);
void update_html(Server& srv, std::time_t now);
std::string time_stamp(std::time_t now, bool utc);
// '&', '<', '>' and '"' as entities; everything else as it is.
std::string html_escape(std::string_view text);
// The whole page for the table at `now` (the heading is in UTC, the sites'
// times in local time). The public page leaves unlisted sites out.
std::string html_page(const SiteTable& table, bool private_page, std::time_t now);
// Writes base.new and renames it to base.html, in process. Returns true
// when the page was replaced; on a failed write, close or rename the old
// page stays and the failure is reported. A base.new that cannot be opened
// is reported with its path and the reason, once until the reason changes.
bool write_html_page(Server& srv, const std::string& base, bool private_page, std::time_t now);
// The child writing the pages has ended: reports each page as
// write_html_page does, then writes a change that came meanwhile, if due.
void finish_page_write(Server& srv, const JobResult& result, std::time_t now);
// A page writer that has run past kWriteTimeLimitMs at `now_ms` (monotonic)
// is killed and reported, once until a write succeeds again; the old pages
// stay and the next write starts (not at the end, when writes no longer
// fork). Returns whether it was killed.
bool stop_overdue_page_write(Server& srv, long now_ms, std::time_t now);

}  // namespace kovari
