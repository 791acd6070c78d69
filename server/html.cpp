// The HTML status pages and the pacing of their writes.
//
// Site texts come from anyone on the network, so every one of them is
// escaped on the page; the columns are padded by the columns a reader sees,
// not by bytes or the escaped length. Pages are UTF-8 and say so. A page is
// built whole in memory, written to base.new and renamed over base.html
// only when every write and the close succeeded, so a full disk never
// replaces a good page by a broken one.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/layout.h"
#include "common/utf8.h"
#include "server.h"

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

bool write_html_page(Server& srv, const std::string& base, bool private_page, std::time_t now)
{
    const std::string temp = base + ".new";
    const std::string final_name = base + ".html";
    std::FILE* f = std::fopen(temp.c_str(), "w");
    int& open_error = srv.html.open_error[private_page ? 1 : 0];
    if (f == nullptr) {
        // A missing directory or a read-only file system is an operator's
        // mistake to be told about, but not at every change of the table.
        const int reason = errno;
        ++srv.stats.page_failures;
        if (reason != open_error)
            std::fprintf(srv.err, "%s: can't open HTML page %s: %s\n",
                         srv.settings.program_name.c_str(), temp.c_str(), std::strerror(reason));
        open_error = reason;
        return false;
    }
    open_error = 0;

    const std::string page = html_page(srv.table, private_page, now);
    int failure = 0;
    errno = 0;
    if (std::fwrite(page.data(), 1, page.size(), f) != page.size() || std::fflush(f) != 0)
        failure = errno != 0 ? errno : EIO;
    if (std::fclose(f) != 0 && failure == 0)
        failure = errno != 0 ? errno : EIO;
    if (failure != 0) {
        ++srv.stats.page_failures;
        report_error(srv.err, "writing HTML page", failure);
        std::remove(temp.c_str());
        return false;
    }
    if (std::rename(temp.c_str(), final_name.c_str()) != 0) {
        ++srv.stats.page_failures;
        report_error(srv.err, "renaming HTML page", errno);
        std::remove(temp.c_str());
        return false;
    }
    ++srv.stats.pages_written;
    if (srv.settings.debug)
        std::fprintf(srv.err, "%s: updated %s\n", srv.settings.program_name.c_str(),
                     final_name.c_str());
    return true;
}

void update_html(Server& srv, std::time_t now)
{
    const auto& set = srv.settings;
    if (!set.public_base && !set.private_base)
        return;
    if (!srv.html.table_changed)
        return;
    if (set.html_interval > 0) {
        if (now - srv.html.last_html_update <= set.html_interval)
            return;
    }
    srv.html.table_changed = false;
    if (set.html_interval > 0)
        srv.html.last_html_update = now;
    // A failure on one page does not keep the other from being written.
    if (set.public_base)
        write_html_page(srv, *set.public_base, false, now);
    if (set.private_base)
        write_html_page(srv, *set.private_base, true, now);
}

void note_change(Server& srv, std::time_t now)
{
    srv.html.table_changed = true;
    update_html(srv, now);
}

}  // namespace kovari
