// SPDX-License-Identifier: BSD-2-Clause
// TCP on loopback for the development tools: listeners on a port of the
// system's choosing, connects, sends and receives. Every wait is bounded,
// so a peer that never answers costs a known time, never a hang.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <span>

#include "common/fd.h"
#include "devkit/bytes.h"

namespace kovari::devkit {

// 127.0.0.1:port as a socket address.
sockaddr_in loopback_address(int port);

// A port that nothing listens on right now (another program may take it
// before it is used).
int free_port();
// A listener on 127.0.0.1 at `port`, or when that is 0 at a port of the
// system's choosing, which is then stored in `port`; invalid on failure.
// It never accepts by itself.
Fd listen_loopback(int backlog, int& port);
// The next connection on a listener, waiting at most timeout_ms (0: only
// one already queued); invalid when none comes.
Fd accept_within(int listener, int timeout_ms);
// Waits until something listens on the port (loopback or any address),
// without connecting to it.
bool wait_listening(int port, int timeout_ms);

// Binds a socket to a local loopback address (127.0.0.2, ...), any port.
bool bind_local(int fd, const char* ip);
// A TCP connection to 127.0.0.1:port, optionally from a given local
// loopback address (127.0.0.2, ...); invalid on failure. The connect gives
// up after five seconds: a listener whose queue is full would otherwise
// hold the caller for minutes of SYN retries.
Fd connect_loopback(int port, const char* local_ip = nullptr);
// A connect begun and not waited for, optionally from a given local
// loopback address: against a listener whose queue is full it stays
// pending until the socket is closed.
Fd begin_connect(int port, const char* local_ip = nullptr);
// The local address of a socket (network order) and its port.
struct LocalEnd {
    std::uint32_t ip = 0;
    std::uint16_t port = 0;
};
LocalEnd local_end(int fd);

bool send_bytes(int fd, std::span<const std::uint8_t> bytes);
// What one receive brings within timeout_ms (empty on timeout, close or
// error), as a server that reads a request in one receive sees it.
Bytes receive_once(int fd, int timeout_ms);
// Reads until the peer closes (a reset counts as a close); nullopt on
// timeout or another error.
std::optional<Bytes> read_to_eof(int fd, int timeout_ms);
// Connect, send, read to the end: one exchange of the protocol.
std::optional<Bytes> round_trip(int port, std::span<const std::uint8_t> request, int timeout_ms = 5000,
                                const char* local_ip = nullptr);

}  // namespace kovari::devkit
