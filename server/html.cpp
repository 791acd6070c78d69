// The HTML status pages and the pacing of their writes.
#include "server.h"

namespace kovari {

std::string time_stamp(std::time_t now, bool utc)
{
    std::tm tm{};
    if ((utc ? gmtime_r(&now, &tm) : localtime_r(&now, &tm)) == nullptr)
        return "00-00 00:00";
    return format("%02d-%02d %02d:%02d", tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min);
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
    // The page writer is not wired up yet.
}

void note_change(Server& srv, std::time_t now)
{
    srv.html.table_changed = true;
    update_html(srv, now);
}

}  // namespace kovari
