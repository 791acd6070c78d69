// SPDX-License-Identifier: BSD-2-Clause
#include "notify.h"

#include <cstring>

#include "common/text.h"

namespace kovari {

std::optional<Notifier> open_notifier(const char* socket_name, const char* watchdog_usec)
{
    if (socket_name == nullptr)
        return std::nullopt;
    const std::size_t len = std::strlen(socket_name);
    Notifier n;
    if (len < 2 || len >= sizeof n.to.sun_path || (socket_name[0] != '/' && socket_name[0] != '@'))
        return std::nullopt;
    n.fd = Fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!n.fd.valid())
        return std::nullopt;
    n.to.sun_family = AF_UNIX;
    std::memcpy(n.to.sun_path, socket_name, len);
    if (socket_name[0] == '@')
        n.to.sun_path[0] = '\0';  // the abstract namespace: the name is not NUL-terminated
    n.to_length = socklen_t(offsetof(sockaddr_un, sun_path) + len + (socket_name[0] == '@' ? 0 : 1));
    if (watchdog_usec != nullptr) {
        const long usec = parse_decimal(watchdog_usec);
        if (usec > 0)
            n.watchdog_ms = usec / 2000;
    }
    return n;
}

void notify(const std::optional<Notifier>& n, std::string_view message)
{
    if (!n)
        return;
    // A message the service manager misses is not the server's failure:
    // readiness and status are best effort, as the protocol intends.
    [[maybe_unused]] const auto sent =
        ::sendto(n->fd.get(), message.data(), message.size(), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&n->to), n->to_length);
}

}  // namespace kovari
