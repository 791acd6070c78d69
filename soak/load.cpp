// SPDX-License-Identifier: BSD-2-Clause
#include "soak/load.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <ctime>
#include <optional>

#include "devkit/loopback.h"
#include "devkit/packets.h"
#include "lookup/lookup.h"
#include "soak/malformed.h"

namespace kovari::soak {
namespace {

using Clock = std::chrono::steady_clock;

struct Exchange {
    std::optional<devkit::Bytes> reply;  // nullopt: reset or timeout
    devkit::LocalEnd local;               // where the request came from
};

void fail(Load& l, const std::string& what)
{
    ++l.tally.failures;
    if (l.tally.first_failures.size() < 20)
        l.tally.first_failures.push_back(what);
}

// Requests come from eight loopback addresses.
const char* source_ip(Load& l)
{
    static const char* const ips[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5",
                                      "127.0.0.6", "127.0.0.7", "127.0.0.8", "127.0.0.9"};
    return ips[pick(l.rng, 8)];
}

// One exchange. With `close_write` the client closes its side after the
// request, as one that has said all it will: a malformed request whose
// lengths ask for more is then taken as it stands rather than waited for.
// `from` is where it comes from; a random one of the eight when not given.
Exchange send(Load& l, const devkit::Bytes& request, bool close_write = false, const char* from = nullptr)
{
    ++l.tally.requests;
    Exchange x;
    const Fd s = devkit::connect_loopback(l.port, from != nullptr ? from : source_ip(l));
    if (!s.valid())
        return x;
    x.local = devkit::local_end(s.get());
    if (devkit::send_bytes(s.get(), request)) {
        if (close_write)
            ::shutdown(s.get(), SHUT_WR);
        x.reply = devkit::read_to_eof(s.get(), 60'000);
    }
    return x;
}

void expect_silence(Load& l, const Exchange& x, const char* what)
{
    if (x.reply && !x.reply->empty())
        fail(l, std::string("a reply to ") + what);
}

// A listed site is changed only from its own address, or by the peer
// (127.0.0.1, the server's -F) forwarding for that address.
constexpr const char* kPeerIp = "127.0.0.1";

void sign_off(Load& l, std::size_t k, bool forwarded_from_peer)
{
    const std::string owner = dotted(l.model.sites[k].ip);
    devkit::Bytes packet = devkit::bye_packet(l.model.sites[k].ssrc);
    if (forwarded_from_peer)
        packet = devkit::forwarded(packet, l.model.sites[k].ip);
    const Exchange x = send(l, packet, false, forwarded_from_peer ? kPeerIp : owner.c_str());
    expect_silence(l, x, "a sign-off");
    if (!x.reply) {
        fail(l, "sign-off not taken: " + l.model.sites[k].cname);
        return;
    }
    mark_gone(l.model, k);
    ++l.tally.released;
    if (!forwarded_from_peer)
        ++l.tally.stored_copies;
}

void unknown_sign_off(Load& l)
{
    const Exchange x = send(l, devkit::bye_packet(devkit::make_ssrc(0x40000000u + std::uint32_t(pick(l.rng, 1 << 20)))));
    expect_silence(l, x, "a sign-off of an unknown SSRC");
    ++l.tally.unknown_signoffs;
}

// A query that may match many sites: each one listed must be alive in the
// model, under its CNAME.
void broad_query(Load& l)
{
    static const char* const texts[] = {"", "soak", "site1", "EXAMPLE", "user2", "nobody-here"};
    const std::string text = texts[pick(l.rng, 6)];
    const Exchange x = send(l, devkit::query_packet(text));
    ++l.tally.broad_queries;
    if (!x.reply || x.reply->size() < 4 || x.reply->size() > kMaxReply || packet_size(*x.reply) != x.reply->size()) {
        fail(l, "bad reply to the query \"" + text + "\"");
        return;
    }
    const auto& sites = l.model.sites;
    for (const Site& s : decode_match_reply(*x.reply)) {
        const std::uint32_t id = ssrc_value(s.ssrc) - kSsrcBase;
        if (id >= sites.size() || !sites[id].alive || s.cname != std::string(without_marker(sites[id].cname)))
            fail(l, "query \"" + text + "\" lists a site the model does not hold");
    }
}

void message_request_once(Load& l)
{
    const Exchange x = send(l, devkit::message_request());
    ++l.tally.message_requests;
    // Bytes 2-3 carry no defined value in this reply; the rest is fixed.
    devkit::Bytes got = x.reply.value_or(devkit::Bytes{});
    if (got.size() == l.message_reply.size())
        got[2] = got[3] = 0;
    if (got != l.message_reply)
        fail(l, "server message reply differs");
}

void malformed(Load& l)
{
    ++l.tally.malformed;
    const auto& alive = l.model.alive;
    const std::size_t k = alive.empty() ? new_site(l.model) : alive[pick(l.rng, alive.size())];
    expect_silence(l, send(l, malformed_packet(l.rng, l.model.sites[k]), true), "a malformed packet");
}

void open_idle(Load& l)
{
    if (l.idle.size() >= 6)
        return;
    Fd c = devkit::connect_loopback(l.port, source_ip(l));
    if (!c.valid()) {
        fail(l, "idle connection refused");
        return;
    }
    ++l.tally.idle_opened;
    ++l.tally.requests;
    l.idle.emplace_back(std::move(c), Clock::now() + std::chrono::milliseconds(500 + pick(l.rng, 14'000)));
}

void close_due_idle(Load& l)
{
    const auto now = Clock::now();
    for (auto it = l.idle.begin(); it != l.idle.end();)
        it = it->second <= now ? l.idle.erase(it) : it + 1;
}

std::size_t any_alive(Load& l) { return l.model.alive[pick(l.rng, l.model.alive.size())]; }

}  // namespace

void announce(Load& l, std::size_t k, bool forwarded_from_peer)
{
    devkit::Bytes packet = announcement_of(l.model.sites[k]);
    ModelSite& m = l.model.sites[k];
    // A new site comes from anywhere; a listed one from its own address.
    std::uint32_t origin = m.ip;
    if (forwarded_from_peer) {
        if (!m.alive)
            origin = devkit::ipv4("127.1.0.0") | std::uint32_t(1 + pick(l.rng, 250)) << 24;
        packet = devkit::forwarded(packet, origin);
    }
    const std::string owner = dotted(m.ip);
    const Exchange x = send(l, packet, false,
                            forwarded_from_peer ? kPeerIp : m.alive ? owner.c_str() : nullptr);
    expect_silence(l, x, "an announcement");
    if (!x.reply) {
        fail(l, "announcement not taken: " + m.cname);
        return;
    }
    m.ip = forwarded_from_peer ? origin : x.local.ip;
    if (!m.port_item)
        m.port = std::int16_t(x.local.port);
    m.last = std::time(nullptr);
    if (!m.alive) {
        mark_alive(l.model, k);
        ++l.tally.added;
    } else {
        ++l.tally.refreshed;
    }
    ++(forwarded_from_peer ? l.tally.forwarded_in : l.tally.stored_copies);
}

void check_site(Load& l, std::size_t k, bool present)
{
    const ModelSite& m = l.model.sites[k];
    // The marker in front of the key asks for an exact match.
    const Exchange x = send(l, devkit::query_packet(kUnlistedMarker + key_of(m)));
    if (!x.reply) {
        fail(l, "no reply to the query for " + m.cname);
        return;
    }
    const std::vector<Site> found = decode_match_reply(*x.reply);
    if (!present) {
        ++l.tally.absent_queries;
        if (!found.empty() || x.reply->size() != 4)
            fail(l, "a site that should be gone is listed: " + m.cname);
        return;
    }
    ++l.tally.exact_queries;
    if (found.size() != 1)
        fail(l, "site missing or listed twice: " + m.cname + " (" + std::to_string(found.size()) + ")");
    else if (const auto d = difference(m, found[0]))
        fail(l, "site differs from the model: " + m.cname + " " + *d);
}

void step(Load& l)
{
    // Out of a thousand: 33% refreshes, 6% new sites, 2% forwarded
    // announcements, 6% sign-offs, 1% of unknown SSRCs, 1% forwarded ones,
    // 25% exact queries for listed sites and 4% for any site ever
    // announced, 8% broad queries, 5% server message requests, 8%
    // malformed packets, 1% idle connections.
    const std::size_t r = pick(l.rng, 1000);
    const bool full = std::ptrdiff_t(l.model.alive.size()) >= l.population;
    const bool none = l.model.alive.empty();
    if (r < 330 && !none)
        announce(l, any_alive(l), false);
    else if (r < 390 || none) {
        if (full)
            sign_off(l, any_alive(l), false);
        announce(l, new_site(l.model), false);
    } else if (r < 410)
        announce(l, full ? any_alive(l) : new_site(l.model), true);
    else if (r < 470)
        sign_off(l, any_alive(l), false);
    else if (r < 480)
        unknown_sign_off(l);
    else if (r < 490)
        sign_off(l, any_alive(l), true);
    else if (r < 740)
        check_site(l, any_alive(l), true);
    else if (r < 780) {
        const std::size_t k = pick(l.rng, l.model.sites.size());
        check_site(l, k, l.model.sites[k].alive);
    } else if (r < 860)
        broad_query(l);
    else if (r < 910)
        message_request_once(l);
    else if (r < 990)
        malformed(l);
    else
        open_idle(l);
    close_due_idle(l);
}

}  // namespace kovari::soak
