// SPDX-License-Identifier: BSD-2-Clause
// The status pages (HTML, and JSON for programs) and the pacing of their
// writes.
//
// Site texts come from anyone on the network, so every one of them is
// escaped on the page; the columns are padded by the columns a reader sees,
// not by bytes or the escaped length. Pages are UTF-8 and say so. A page is
// built whole in memory, written to base.new and renamed over base.html
// only when every write and the close succeeded, so a full disk never
// replaces a good page by a broken one. While the server runs, a child
// process builds and writes them (writes.h); the event loop starts each
// write (update_html) after a change has been noted.
#include <cstdio>
#include <cstring>

#include "common/clock.h"
#include "common/layout.h"
#include "common/utf8.h"
#include "html.h"
#include "json_page.h"

namespace kovari {

namespace {

void put_escaped(std::string& out, char c)
{
    switch (c) {
    case '&': out += "&amp;"; break;
    case '<': out += "&lt;"; break;
    case '>': out += "&gt;"; break;
    case '"': out += "&quot;"; break;
    default: out += c; break;
    }
}

// A site text as a page holds it, in one pass: UTF-8 characters as they
// are, a byte that is not part of one as its Latin-1 character (so an 8-bit
// name still reads right), the four markup characters as entities. The
// page is always valid UTF-8.
void put_page_text(std::string& out, std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            put_escaped(out, char(c));
            ++i;
        } else if (const std::size_t len = utf8_sequence(text, i); len > 0) {
            out.append(text, i, len);
            i += len;
        } else {
            append_utf8(out, c);
            ++i;
        }
    }
}

// Columns count the text as a reader sees it: a stray byte is one Latin-1
// character.
const TextStyle kPageStyle{nullptr, display_width, put_page_text};

bool shown(const SiteView& s, bool private_page)
{
    return private_page || !is_unlisted(s);
}

}  // namespace

std::string html_escape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text)
        put_escaped(out, c);
    return out;
}

std::string time_stamp(std::time_t now, bool utc)
{
    std::tm tm{};
    if ((utc ? gmtime_r(&now, &tm) : localtime_r(&now, &tm)) == nullptr)
        return "00-00 00:00";
    return format("%02d-%02d %02d:%02d", tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min);
}

std::string html_page(const SiteTable& table, bool private_page, std::time_t now)
{
    std::string page =
        "<html>\n<head>\n<meta charset=\"utf-8\">\n<title>\nKovari: Active Sites\n"
        "</title>\n</head>\n\n<body>\n<center>\n<h1>"
        "Kovari: Active Sites</h1>\n<h2>";
    page += format("As of %s UTC</h2>\n</center>\n<p>\n", time_stamp(now, true).c_str());

    int count = 0;
    for_each_site(table, [&](const SiteView& s) {
        count += shown(s, private_page) ? 1 : 0;
        return true;
    });
    if (count == 0) {
        page += "<h2>No sites active.</h2>\n";
    } else {
        page += format("<h2>%d site%s active.</h2>\n", count, count == 1 ? "" : "s");
        page += "<pre>\n";
        for_each_site(table, [&](const SiteView& s) {
            if (!shown(s, private_page))
                return true;
            put_site_block(page, s, kPageStyle);
            return true;
        });
        page += "</pre>\n";
    }
    page += "</body>\n</html>\n";
    return page;
}

namespace {

// The pages one write replaces, each with its slot in the write's result.
enum class Page : std::uint8_t { public_html, private_html, json };

std::size_t slot_of(Page p) { return std::size_t(p); }

// How a page is named in messages, and its file's suffix.
const char* kind_of(Page p) { return p == Page::json ? "JSON" : "HTML"; }
const char* suffix_of(Page p) { return p == Page::json ? ".json" : ".html"; }

// The temporary file: base.new for the HTML pages, base.json.new for the
// JSON page, so that it never meets the public page's base.new when both
// share a base path.
std::string temp_of(const std::string& base, Page p) { return base + (p == Page::json ? ".json.new" : ".new"); }

// The page's file: written whole under its temporary name and renamed over
// the old one once it is.
FileOutcome write_page_file(const SiteTable& table, const std::string& base, Page page, std::time_t now)
{
    std::string bytes = page == Page::json ? json_page(table, now) : html_page(table, page == Page::private_html, now);
    return replace_file(temp_of(base, page), base + suffix_of(page), bytes, 0666, false);
}

// Counts and reports what became of one page, wherever it was written.
bool report_page(Server& srv, const std::string& base, Page page, const FileOutcome& done)
{
    const bool news = is_news(srv.html.page_problem[slot_of(page)], done);
    if (done.failed == FileStep::open) {
        // Told once until the reason changes; a failed write or rename
        // each time.
        ++srv.stats.page_failures;
        if (news)
            std::fprintf(srv.err, "%s: can't open %s page %s: %s\n", srv.settings.program_name.c_str(),
                         kind_of(page), temp_of(base, page).c_str(), std::strerror(done.error));
        return false;
    }
    if (done.failed != FileStep::done) {
        ++srv.stats.page_failures;
        report_error(srv.err,
                     format("%s %s page", done.failed == FileStep::write ? "writing" : "renaming", kind_of(page))
                         .c_str(),
                     done.error);
        return false;
    }
    ++srv.stats.pages_written;
    if (srv.settings.debug)
        std::fprintf(srv.err, "%s: updated %s%s\n", srv.settings.program_name.c_str(), base.c_str(),
                     suffix_of(page));
    return true;
}

// The configured pages.
template <typename F>
void for_each_page(const ServerSettings& set, F&& f)
{
    if (set.public_base)
        f(*set.public_base, Page::public_html);
    if (set.private_base)
        f(*set.private_base, Page::private_html);
    if (set.json_base)
        f(*set.json_base, Page::json);
}

// Writes the pages for the table as it stands. A failure on one page does
// not keep the others from being written.
void start_page_write(Server& srv, std::time_t now, WriteMode how)
{
    const auto work = [&] {
        JobResult r;
        for_each_page(srv.settings, [&](const std::string& base, Page page) {
            r.files[slot_of(page)] = write_page_file(srv.table, base, page, now);
        });
        return r;
    };
    if (const auto done = start_write(srv.writers.pages, how, work, monotonic_ms()))
        finish_page_write(srv, *done, now, how);
}

}  // namespace

bool write_html_page(Server& srv, const std::string& base, bool private_page, std::time_t now)
{
    const Page page = private_page ? Page::private_html : Page::public_html;
    return report_page(srv, base, page, write_page_file(srv.table, base, page, now));
}

void finish_page_write(Server& srv, const JobResult& result, std::time_t now, WriteMode next)
{
    if (result.timed_out) {
        ++srv.stats.page_failures;
        // A file system that hangs hangs every write: told once, until a
        // write gets through again.
        if (is_news(srv.writers.pages.problem, {FileStep::time_limit, 0}))
            std::fprintf(srv.err, "writing HTML page: timed out after %ld s\n", kWriteTimeLimitMs / 1000);
        // The old pages stay; what the child should have written comes
        // next, unless that would be in process (at the end), where it
        // could hang the server the same way.
        srv.html.table_changed = true;
        if (next == WriteMode::in_child)
            update_html(srv, now, next);
        return;
    }
    if (result.killed_by != 0) {
        ++srv.stats.page_failures;
        srv.html.table_changed = true;  // written again with the next chance
        std::fprintf(srv.err, "%s: the page writer was ended by signal %d.\n",
                     srv.settings.program_name.c_str(), result.killed_by);
    } else {
        is_news(srv.writers.pages.problem, {});
        for_each_page(srv.settings, [&](const std::string& base, Page page) {
            report_page(srv, base, page, result.files[slot_of(page)]);
        });
    }
    // A change that came while the pages were being written.
    update_html(srv, now, next);
}

void update_html(Server& srv, std::time_t now, WriteMode how)
{
    const auto& set = srv.settings;
    if (!set.public_base && !set.private_base && !set.json_base)
        return;
    if (!srv.html.table_changed)
        return;
    // One write at a time: the change stays marked for the next.
    if (running(srv.writers.pages))
        return;
    if (set.html_interval > 0) {
        if (now - srv.html.last_html_update <= set.html_interval)
            return;
    }
    srv.html.table_changed = false;
    if (set.html_interval > 0)
        srv.html.last_html_update = now;
    start_page_write(srv, now, how);
}

void note_table_change(Server& srv, TableChange change, std::time_t now, WriteMode how)
{
    if (change.records)
        srv.state_status.changed = true;
    if (change.sites) {
        srv.html.table_changed = true;
        update_html(srv, now, how);
    }
}

}  // namespace kovari
