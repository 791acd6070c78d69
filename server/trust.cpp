// SPDX-License-Identifier: BSD-2-Clause
// Who may change what in the directory.
//
// Over TCP a source address cannot be forged blindly (the handshake needs
// the server's reply), so the address a site was announced from proves who
// owns it. The rules built on that:
//
// - A site is signed off, or its CNAME announced anew, only from the
//   address its record holds. A forwarded packet speaks for its origin, the
//   address in its trailer, and is taken only from a peer server (-F, -A);
//   anyone else could name any address there.
// - One address holds at most -C sites (forwarded sites count against their
//   origin), so a stranger can add CNAMEs but cannot fill the table.
//
// Anyone may still read every listed site and announce new CNAMEs up to
// the cap. Each refusal is counted, written under -D, and reported at most
// once per 10 s per address and kind; while its report is held back it
// costs a lookup in the rate limiter and nothing more.
#include <algorithm>
#include <cstring>

#include "trust.h"

namespace kovari {

bool accepts_forwarded(const ServerSettings& set, std::uint32_t peer_ip)
{
    const auto& from = set.accept_from;
    return std::any_of(set.peers.begin(), set.peers.end(), [&](const Peer& p) { return p.ip == peer_ip; }) ||
           std::find(from.begin(), from.end(), peer_ip) != from.end();
}

namespace {

struct RefusalText {
    char tag;               // the rate limiter's key: this, then the address
    const char* debug;      // -D: program, detail, address
    const char* reported;   // rate-limited: program, address
};

const RefusalText& text_of(Refusal kind)
{
    static const RefusalText texts[] = {
        {'s', "%s: refused sign-off of %s from %s: its site was announced from another address.\n",
         "%s: sign-offs from %s refused: their sites were announced from other addresses.\n"},
        {'t', "%s: refused announcement of %s from %s: that CNAME is listed from another address.\n",
         "%s: announcements from %s refused: their CNAMEs are listed from other addresses.\n"},
        {'f', "%s: refused forwarded packet for %s from %s: not a peer server (-F, -A).\n",
         "%s: forwarded packets from %s refused: it is not a peer server.\n"},
        {'c', "%s: refused new site %s from %s: that address holds the most sites it may (-C).\n",
         "%s: new sites from %s refused: it holds the most sites one address may (-C).\n"},
    };
    return texts[static_cast<int>(kind)];
}

std::uint64_t& counter_of(Statistics& st, Refusal kind)
{
    switch (kind) {
    case Refusal::sign_off: return st.refused_signoffs;
    case Refusal::take_over: return st.refused_takeovers;
    case Refusal::forwarded: return st.refused_forwarded;
    case Refusal::over_cap: break;
    }
    return st.refused_over_cap;
}

}  // namespace

void refuse(Server& srv, Refusal kind, std::uint32_t ip, std::string_view detail, long now_ms)
{
    ++counter_of(srv.stats, kind);
    const RefusalText& text = text_of(kind);
    const std::string& program = srv.settings.program_name;
    if (srv.settings.debug)
        std::fprintf(srv.err, text.debug, program.c_str(), escape_controls(detail).c_str(),
                     dotted(ip).c_str());
    // Five bytes: short enough to be kept inside the string, no allocation.
    std::string key(5, text.tag);
    std::memcpy(key.data() + 1, &ip, 4);
    if (RateLimiter::Seen* seen = report_due(srv.limiter, key, now_ms))
        print_report(*seen, srv.err, program, format(text.reported, program.c_str(), dotted(ip).c_str()),
                     now_ms);
}

}  // namespace kovari
