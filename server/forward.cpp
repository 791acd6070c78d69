// Forwarding announcements and sign-offs to peer servers.
#include <arpa/inet.h>
#include <netdb.h>

#include <cctype>
#include <cstring>

#include "server.h"

namespace kovari {

namespace {

// The first IPv4 address of a host name, as the system's resolver gives it.
std::optional<std::uint32_t> resolve_host(const std::string& host)
{
    if (!host.empty() && std::isdigit(static_cast<unsigned char>(host[0]))) {
        in_addr a{};
        if (inet_aton(host.c_str(), &a) != 0)
            return a.s_addr;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || res == nullptr)
        return std::nullopt;
    const std::uint32_t ip = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(res);
    return ip;
}

}  // namespace

void parse_forward_list(Server& srv, std::string text)
{
    auto& peers = srv.settings.peers;
    const char* prog = srv.settings.program_name.c_str();
    std::size_t pos = 0;
    while (peers.size() < kMaxPeers) {
        while (pos < text.size() && is_space(static_cast<unsigned char>(text[pos])))
            ++pos;
        if (pos >= text.size())
            return;
        const std::size_t comma = text.find(',', pos);
        std::string entry = text.substr(pos, comma == std::string::npos ? std::string::npos
                                                                        : comma - pos);
        long port = kDefaultPort;
        const std::size_t colon = entry.find(':');
        if (colon != std::string::npos) {
            port = parse_decimal(entry.c_str() + colon + 1);
            entry.resize(colon);
        }
        if (auto ip = resolve_host(entry)) {
            peers.push_back(Peer{*ip, port});
            if (srv.settings.debug)
                std::fprintf(srv.err, "%s: forwarding to QRN server %s: %s.\n", prog,
                             dotted(*ip).c_str(), entry.c_str());
        } else {
            std::fprintf(srv.err, "%s: warning, forward destination %s unknown.\n", prog,
                         entry.c_str());
        }
        if (comma == std::string::npos)
            return;
        pos = comma + 1;
    }
}

void forward_packet(Server& srv, std::span<std::uint8_t> buffer, std::size_t length,
                    std::uint32_t origin)
{
    // The forwarded copy: the packet marked, the origin address behind it.
    buffer[0] |= kForwardedBit;
    std::memcpy(&buffer[length], &origin, 4);
    (void)srv;  // delivery to the peers is not wired up yet
}

}  // namespace kovari
