// SPDX-License-Identifier: BSD-2-Clause
#include "net.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

namespace kovari {

namespace {

// Waits for `events` on the socket, restarting after signals within the
// same overall bound. Returns false with errno set on timeout or error.
bool wait_for(int fd, short events, int timeout_ms)
{
    using clock = std::chrono::steady_clock;
    const auto end = clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now()).count();
        if (left <= 0) {
            errno = ETIMEDOUT;
            return false;
        }
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, int(left));
        if (r > 0)
            return true;
        if (r < 0 && errno != EINTR)
            return false;
    }
}

}  // namespace

bool connect_within(const Fd& s, const sockaddr_in& to, int timeout_ms)
{
    // A plain connect to a host that drops the handshake blocks for minutes;
    // connecting without blocking and polling bounds the wait.
    const int flags = ::fcntl(s.get(), F_GETFL);
    if (flags < 0 || ::fcntl(s.get(), F_SETFL, flags | O_NONBLOCK) < 0)
        return false;
    if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
        if (errno != EINPROGRESS && errno != EINTR)
            return false;
        if (!wait_for(s.get(), POLLOUT, timeout_ms))
            return false;
        int error = 0;
        socklen_t len = sizeof error;
        if (::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &error, &len) < 0)
            return false;
        if (error != 0) {
            errno = error;
            return false;
        }
    }
    return ::fcntl(s.get(), F_SETFL, flags) == 0;
}

long receive_within(const Fd& s, std::span<std::uint8_t> buf, int timeout_ms)
{
    if (!wait_for(s.get(), POLLIN, timeout_ms))
        return -1;
    ssize_t r;
    do
        r = ::recv(s.get(), buf.data(), buf.size(), 0);
    while (r < 0 && errno == EINTR);
    return long(r);
}

}  // namespace kovari
