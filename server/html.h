// SPDX-License-Identifier: BSD-2-Clause
// The status pages (HTML, and JSON for programs): what the HTML pages say,
// when the pages are written, and the report of each write.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "server.h"
#include "table.h"
#include "writes.h"

namespace kovari {

// The table changed as `change` says: the state file is marked for the next
// sweep, and a site that came or went marks the pages and starts a write
// of them, done as `how` says, when one is due (update_html).
void note_table_change(Server& srv, TableChange change, std::time_t now, WriteMode how);
// Starts a write of the pages, done as `how` says, when the table has
// changed, none is running and the -I interval has passed since the last.
void update_html(Server& srv, std::time_t now, WriteMode how);
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
// A write of the pages has ended, however it was done: reports each page
// as write_html_page does, or the writer's end (killed, or out of time:
// told once until a write gets through), then writes a change that came
// meanwhile, if due, as `next` says (after a time-out, only in a child).
void finish_page_write(Server& srv, const JobResult& result, std::time_t now, WriteMode next);

}  // namespace kovari
