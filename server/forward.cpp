// SPDX-License-Identifier: BSD-2-Clause
// Forwarding announcements and sign-offs to peer servers.
//
// Each copy goes over a connection of its own, and nothing is read back.
// No peer may hold up the server: a copy's socket connects without
// blocking and is finished by the event loop when it becomes writable.
// A copy has kForwardLimitMs to be delivered and at most kMaxCopiesPerPeer
// copies wait for any one peer, so a dead peer costs a bounded number of
// descriptors and bytes, never time on the request path.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/host.h"
#include "forward.h"

namespace kovari {

namespace {

// The entries of a -F or -A text: host or host:port, separated by ',',
// white space skipped at the start of each. Calls f(entry) for each while
// f returns true.
template <typename F>
void for_each_server(const std::string& text, F&& f)
{
    std::size_t pos = 0;
    for (;;) {
        while (pos < text.size() && is_space(static_cast<unsigned char>(text[pos])))
            ++pos;
        if (pos >= text.size())
            return;
        const std::size_t comma = text.find(',', pos);
        const HostPort entry = split_host_port(std::string_view(text).substr(
            pos, comma == std::string::npos ? std::string::npos : comma - pos));
        if (!f(entry) || comma == std::string::npos)
            return;
        pos = comma + 1;
    }
}

}  // namespace

void parse_forward_list(Server& srv, std::string text)
{
    auto& peers = srv.settings.peers;
    const char* prog = srv.settings.program_name.c_str();
    if (peers.size() >= kMaxPeers)
        return;
    for_each_server(text, [&](const HostPort& entry) {
        if (auto ip = resolve_host(entry.host)) {
            peers.push_back(Peer{*ip, entry.port, entry.port >= 0});
            if (srv.settings.debug)
                std::fprintf(srv.err, "%s: forwarding to QRN server %s: %s.\n", prog,
                             dotted(*ip).c_str(), entry.host.c_str());
        } else {
            std::fprintf(srv.err, "%s: warning, forward destination %s unknown.\n", prog,
                         entry.host.c_str());
        }
        return peers.size() < kMaxPeers;
    });
}

void parse_accept_list(Server& srv, std::string text)
{
    auto& from = srv.settings.accept_from;
    const char* prog = srv.settings.program_name.c_str();
    for_each_server(text, [&](const HostPort& entry) {
        // A list of trust that is cut short says so: a peer left out would
        // see its packets refused without a word at start.
        if (from.size() >= kMaxAcceptFrom) {
            std::fprintf(srv.err, "%s: warning, more than %zu servers to accept from, %s ignored.\n",
                         prog, kMaxAcceptFrom, entry.host.c_str());
            return true;
        }
        if (auto ip = resolve_host(entry.host)) {
            from.push_back(*ip);
            if (srv.settings.debug)
                std::fprintf(srv.err, "%s: accepting forwarded packets from %s: %s.\n", prog,
                             dotted(*ip).c_str(), entry.host.c_str());
        } else {
            std::fprintf(srv.err, "%s: warning, server to accept from %s unknown.\n", prog,
                         entry.host.c_str());
        }
        return true;
    });
}

namespace {

std::size_t copies_for(const Forwarder& fw, std::size_t peer)
{
    return std::size_t(std::count_if(fw.copies.begin(), fw.copies.end(),
                                     [&](const PendingCopy& c) { return c.peer == peer; }));
}

// A failure with a peer, at most once per peer, phrase and window.
void report_peer_failure(Server& srv, std::size_t peer, const char* phrase, int errnum, long now_ms)
{
    report_limited(srv.limiter, srv.err, srv.settings.program_name,
                   format("%s %s", phrase, dotted(srv.settings.peers[peer].ip).c_str()),
                   format("%s: %s\n", phrase, std::strerror(errnum)), now_ms);
}

// Failed connects are only reported at -VV or under -D: a peer that is
// down is a normal state of affairs. Each counts as a failed copy.
void report_connect_failure(Server& srv, std::size_t peer, int errnum, long now_ms)
{
    ++srv.stats.copies_failed;
    if (srv.settings.very_verbose || srv.settings.debug)
        report_peer_failure(srv, peer, "connecting forwarding socket", errnum, now_ms);
}

// A copy that could not be sent whole; always reported.
void report_send_failure(Server& srv, std::size_t peer, int errnum, long now_ms)
{
    ++srv.stats.copies_failed;
    report_peer_failure(srv, peer, "forwarding quorin source ID message", errnum, now_ms);
}

std::vector<PendingCopy>::iterator find_copy(Forwarder& fw, int fd)
{
    return std::find_if(fw.copies.begin(), fw.copies.end(),
                        [&](const PendingCopy& c) { return c.fd.get() == fd; });
}

}  // namespace

void start_copies(Server& srv, std::span<const std::uint8_t> bytes, long now_ms, const WatchCopy& watch)
{
    const auto& set = srv.settings;
    for (std::size_t i = 0; i < set.peers.size(); ++i) {
        const Peer& peer = set.peers[i];
        if (!peer.sent_to)
            continue;
        if (copies_for(srv.forwarder, i) >= kMaxCopiesPerPeer) {
            ++srv.stats.copies_dropped;
            const std::string server = dotted(peer.ip);
            report_limited(srv.limiter, srv.err, set.program_name, "waiting " + server,
                           format("%s: too many packets waiting for server %s, one dropped.\n",
                                  set.program_name.c_str(), server.c_str()),
                           now_ms);
            continue;
        }
        Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd.valid()) {
            ++srv.stats.copies_failed;
            report_peer_failure(srv, i, "opening forwarding socket", errno, now_ms);
            continue;
        }
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(std::uint16_t(peer.port & 0xffff));
        to.sin_addr.s_addr = peer.ip;
        // EINPROGRESS is the usual answer; after EINTR the connect goes on
        // by itself as well. Either way writability tells how it ended.
        if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) < 0 &&
            errno != EINPROGRESS && errno != EINTR) {
            report_connect_failure(srv, i, errno, now_ms);
            continue;
        }
        // A copy the loop does not watch would never be sent.
        if (!watch(fd.get())) {
            ++srv.stats.copies_failed;
            report_peer_failure(srv, i, "watching forwarding socket", errno, now_ms);
            continue;
        }
        srv.forwarder.copies.push_back(PendingCopy{std::move(fd), i,
                                                   {bytes.begin(), bytes.end()}, 0,
                                                   now_ms + kForwardLimitMs});
    }
}

std::span<const std::uint8_t> mark_forwarded(std::span<std::uint8_t> buffer, std::size_t length,
                                             std::uint32_t origin)
{
    buffer[0] |= kForwardedBit;
    std::memcpy(&buffer[length], &origin, kTrailerSize);
    return buffer.first(length + kTrailerSize);
}

bool serve_copy(Server& srv, int fd, long now_ms)
{
    auto& copies = srv.forwarder.copies;
    const auto it = find_copy(srv.forwarder, fd);
    if (it == copies.end())
        return false;
    PendingCopy& c = *it;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
        err = errno;
    if (err != 0) {
        report_connect_failure(srv, c.peer, err, now_ms);
        copies.erase(it);
        return true;
    }
    const ssize_t r = ::send(fd, c.bytes.data() + c.sent, c.bytes.size() - c.sent,
                             MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return true;  // still connecting, or no room yet: wait for the next turn
        report_send_failure(srv, c.peer, errno, now_ms);
        copies.erase(it);
        return true;
    }
    c.sent += std::size_t(r);
    if (c.sent < c.bytes.size())
        return true;
    ++srv.stats.copies_sent;
    if (srv.settings.debug)
        std::fprintf(srv.err, "%s: forwarded packet to server %s.\n",
                     srv.settings.program_name.c_str(),
                     dotted(srv.settings.peers[c.peer].ip).c_str());
    copies.erase(it);  // closes the connection; nothing is read from the peer
    return true;
}

void expire_copies(Server& srv, long now_ms)
{
    auto& copies = srv.forwarder.copies;
    std::size_t gone = 0;
    while (gone < copies.size() && copies[gone].deadline_ms <= now_ms) {
        // A copy that never got through the handshake counts as a failed
        // connect; one that was connected but could not be sent whole, as a
        // failed send.
        if (copies[gone].sent == 0)
            report_connect_failure(srv, copies[gone].peer, ETIMEDOUT, now_ms);
        else
            report_send_failure(srv, copies[gone].peer, ETIMEDOUT, now_ms);
        ++gone;
    }
    copies.erase(copies.begin(), copies.begin() + long(gone));
}

std::optional<long> next_copy_deadline(const Forwarder& fw)
{
    if (fw.copies.empty())
        return std::nullopt;
    return fw.copies.front().deadline_ms;
}

}  // namespace kovari
