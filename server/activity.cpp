// SPDX-License-Identifier: BSD-2-Clause
// Changes to the site table, with the activity log lines they give.
#include <algorithm>

#include "common/clock.h"  // clock_text
#include "activity.h"
#include "trust.h"

namespace kovari {

void log_activity(std::FILE* out, const SiteView& s, const char* label, std::time_t now)
{
    // Built whole and written in one go: texts of up to 255 bytes make a
    // line of several hundred characters, never cut. A text is one event:
    // its control bytes are escaped, so it cannot forge a line of its own.
    std::string line = clock_text(now);
    line += ' ';
    line += label;
    line += address_text(s.ip, s.port);
    line += ' ';
    line += escape_controls(candidate_text(s));
    if (s.name) {
        line += " (";
        line += escape_controls(*s.name);
        line += ')';
    }
    line += '\n';
    put_text(out, line);
}

std::optional<TableChange> enter_site(Server& srv, const SiteView& s, std::time_t now, long now_ms)
{
    const CnameProbe probe = table_probe_cname(srv.table, *s.cname);
    const bool listed = probe.slot != SiteTable::kNone;
    if (listed && srv.table.slots[probe.slot].ip != s.ip) {
        refuse(srv, Refusal::take_over, s.ip, *s.cname, now_ms);
        return std::nullopt;
    }
    if (!listed) {
        const long share = srv.settings.max_per_address;
        if (share > 0 && table_sites_at(srv.table, s.ip) >= std::size_t(share)) {
            refuse(srv, Refusal::over_cap, s.ip, *s.cname, now_ms);
            return std::nullopt;
        }
        const long most = srv.settings.max_sites;
        if (most > 0 && table_size(srv.table) >= std::size_t(most)) {
            ++srv.stats.refused_full;
            report_limited(srv.limiter, srv.err, srv.settings.program_name, "table full",
                           format("%s: the site table is full (%ld sites), new sites are refused.\n",
                                  srv.settings.program_name.c_str(), most),
                           now_ms);
            return std::nullopt;
        }
    }
    if (table_enter(srv.table, s, probe) == EnterOutcome::replaced) {
        ++srv.stats.announced_again;
        // A repeated announcement only refreshes the record, whose time the
        // state file keeps.
        return TableChange{.records = true};
    }
    ++srv.stats.announced_new;
    srv.stats.most_sites = std::max(srv.stats.most_sites, table_size(srv.table));
    if (srv.settings.verbose)
        log_activity(srv.out, table_head(srv.table), "Connect: ", now);
    return TableChange{.records = true, .sites = true};
}

std::optional<TableChange> release_site(Server& srv, const Ssrc& ssrc, std::uint32_t requester,
                                        std::time_t now, long now_ms)
{
    const Release gone = table_release(srv.table, ssrc, requester);
    if (!gone.site) {
        if (gone.held_elsewhere) {
            char id[9];
            std::snprintf(id, sizeof id, "%08X", unsigned(ssrc_value(ssrc)));
            refuse(srv, Refusal::sign_off, requester, id, now_ms);
            return std::nullopt;
        }
        ++srv.stats.unknown_signoffs;
        return TableChange{};
    }
    ++srv.stats.signed_off;
    if (srv.settings.debug) {
        std::fputs("Releasing:\n", srv.err);
        dump_site(srv.err, view_of(*gone.site), escape_controls);
    }
    if (srv.settings.verbose)
        log_activity(srv.out, view_of(*gone.site), "Bye:     ", now);
    return TableChange{.records = true, .sites = true};
}

TableChange expire_sites(Server& srv, std::time_t now)
{
    TableChange change;
    table_expire(srv.table, now, kMaxSiteAge, [&](const Site& gone) {
        if (srv.settings.verbose)
            log_activity(srv.out, view_of(gone), "Timeout: ", now);
        change = {.records = true, .sites = true};
        ++srv.stats.expired;
    });
    return change;
}

long clock_step_seconds(long drift_ms)
{
    constexpr long kClockStepMs = 2000;
    if (drift_ms > -kClockStepMs && drift_ms < kClockStepMs)
        return 0;
    return (drift_ms + (drift_ms < 0 ? -500 : 500)) / 1000;
}

void follow_clock_step(Server& srv, std::time_t step)
{
    table_shift_times(srv.table, step);
    srv.state_status.changed = true;
    srv.html.last_html_update += step;
}

}  // namespace kovari
