// SPDX-License-Identifier: BSD-2-Clause
#include "devkit/loopback.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

#include "devkit/procfs.h"
#include "devkit/wait.h"

namespace kovari::devkit {
namespace {

constexpr int kConnectLimitMs = 5000;

bool bind_to(int fd, sockaddr_in a)
{
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
}

bool wait_for(int fd, short events, int timeout_ms)
{
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, timeout_ms) == 1;
}

}  // namespace

bool bind_local(int fd, const char* ip)
{
    sockaddr_in l{};
    l.sin_family = AF_INET;
    return ::inet_pton(AF_INET, ip, &l.sin_addr) == 1 && bind_to(fd, l);
}

sockaddr_in loopback_address(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(std::uint16_t(port));
    return a;
}

Fd listen_loopback(int backlog, int& port)
{
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    // A given port may still have connections of an earlier run in
    // TIME_WAIT; they do not keep it from being bound again.
    const int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (!fd.valid() || !bind_to(fd.get(), loopback_address(port)) || ::listen(fd.get(), backlog) < 0)
        return Fd();
    port = local_end(fd.get()).port;
    return fd;
}

int free_port()
{
    // Bound and never listening: the port is free once the socket closes.
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    bind_to(s.get(), loopback_address(0));
    return local_end(s.get()).port;
}

Fd accept_within(int listener, int timeout_ms)
{
    if (!wait_for(listener, POLLIN, timeout_ms))
        return Fd();
    return Fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

bool wait_listening(int port, int timeout_ms)
{
    return wait_until(timeout_ms, 5, [&] { return port_listening(port); });
}

Fd begin_connect(int port, const char* local_ip)
{
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (s.valid() && local_ip != nullptr && !bind_local(s.get(), local_ip))
        return Fd();
    const sockaddr_in a = loopback_address(port);
    if (s.valid() && ::connect(s.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) < 0 &&
        errno != EINPROGRESS)
        return Fd();
    return s;
}

Fd connect_loopback(int port, const char* local_ip)
{
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s.valid())
        return s;
    if (local_ip != nullptr && !bind_local(s.get(), local_ip))
        return Fd();
    const sockaddr_in a = loopback_address(port);
    const int flags = ::fcntl(s.get(), F_GETFL);
    ::fcntl(s.get(), F_SETFL, flags | O_NONBLOCK);
    if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) < 0) {
        if (errno != EINPROGRESS)
            return Fd();
        int err = 0;
        socklen_t len = sizeof err;
        if (!wait_for(s.get(), POLLOUT, kConnectLimitMs) ||
            ::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &err, &len) < 0 || err != 0)
            return Fd();
    }
    ::fcntl(s.get(), F_SETFL, flags);
    return s;
}

LocalEnd local_end(int fd)
{
    sockaddr_in me{};
    socklen_t len = sizeof me;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&me), &len) < 0)
        return {};
    return {me.sin_addr.s_addr, ntohs(me.sin_port)};
}

bool send_bytes(int fd, std::span<const std::uint8_t> bytes)
{
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
}

Bytes receive_once(int fd, int timeout_ms)
{
    if (!wait_for(fd, POLLIN, timeout_ms))
        return {};
    std::uint8_t buf[4096];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    return n > 0 ? Bytes(buf, buf + n) : Bytes{};
}

std::optional<Bytes> read_to_eof(int fd, int timeout_ms)
{
    Bytes all;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return std::nullopt;
        if (!wait_for(fd, POLLIN, int(left)))
            continue;
        std::uint8_t chunk[4096];
        const ssize_t r = ::recv(fd, chunk, sizeof chunk, 0);
        if (r == 0 || (r < 0 && errno == ECONNRESET))
            return all;
        if (r < 0)
            return std::nullopt;
        all.insert(all.end(), chunk, chunk + r);
    }
}

std::optional<Bytes> round_trip(int port, std::span<const std::uint8_t> request, int timeout_ms,
                                const char* local_ip)
{
    Fd s = connect_loopback(port, local_ip);
    if (!s.valid() || !send_bytes(s.get(), request))
        return std::nullopt;
    return read_to_eof(s.get(), timeout_ms);
}

}  // namespace kovari::devkit
