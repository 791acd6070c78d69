// SPDX-License-Identifier: BSD-2-Clause
// Changes to the site table, with the activity log lines they give.
#pragma once

#include <cstdio>
#include <ctime>
#include <optional>

#include "common/site.h"
#include "server.h"

namespace kovari {

// Returns nothing when the site is refused: its CNAME is listed from
// another address, or it is new and its address holds its share or the
// table is full. s.ip is the address that announced it (the origin when
// forwarded). `now_ms` (monotonic) paces the reports of refusals. The texts
// are copied when the table stores the site. One look in the CNAME index
// serves both the check and the entry.
std::optional<TableChange> enter_site(Server& srv, const SiteView& s, std::time_t now, long now_ms);
inline std::optional<TableChange> enter_site(Server& srv, const Site& s, std::time_t now, long now_ms)
{
    return enter_site(srv, view_of(s), now, now_ms);
}
// A sign-off from `requester` (the origin when forwarded). Returns nothing
// when it is refused: sites carry the SSRC, none announced from there.
std::optional<TableChange> release_site(Server& srv, const Ssrc& ssrc, std::uint32_t requester,
                                        std::time_t now, long now_ms);
TableChange expire_sites(Server& srv, std::time_t now);
// The wall clock was stepped by `step` seconds against the monotonic one (an
// NTP step, a machine resumed): every stamp that ages are measured from
// moves with it, so ages stay what the monotonic clock says they are.
void follow_clock_step(Server& srv, std::time_t step);
// The whole seconds to follow when the wall clock has drifted `drift_ms`
// from the monotonic one since the last step followed: 0 for less than
// 2 s (the slewing of time synchronisation), else the drift rounded to the
// nearest second. The two clocks are read one after the other, so a step
// of an hour is seen as a few milliseconds less or more: cut off, it would
// be followed a second short.
long clock_step_seconds(long drift_ms);
void log_activity(std::FILE* out, const SiteView& s, const char* label, std::time_t now);

}  // namespace kovari
