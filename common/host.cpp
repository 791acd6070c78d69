// SPDX-License-Identifier: BSD-2-Clause
#include "host.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include "text.h"

namespace kovari {

HostPort split_host_port(std::string_view text)
{
    const auto colon = text.find(':');
    if (colon == std::string_view::npos)
        return {std::string(text), kDefaultPort};
    return {std::string(text.substr(0, colon)), parse_decimal(std::string(text.substr(colon + 1)).c_str())};
}

std::optional<std::uint32_t> resolve_host(const std::string& host)
{
    if (!host.empty() && host[0] >= '0' && host[0] <= '9') {
        in_addr a{};
        if (inet_aton(host.c_str(), &a) != 0)
            return a.s_addr;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
        return std::nullopt;
    const std::uint32_t ip = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return ip;
}

}  // namespace kovari
