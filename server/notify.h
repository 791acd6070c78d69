// SPDX-License-Identifier: BSD-2-Clause
// Telling the service manager how the server is doing. When it asked to be
// told (NOTIFY_SOCKET in the environment), each message is one datagram on
// that Unix socket: "READY=1" once the server listens, "STATUS=..." lines,
// "WATCHDOG=1" while the loop runs, "STOPPING=1" at the end. Without it
// every call here does nothing; a failed send is not reported, since the
// server serves all the same.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <optional>
#include <string_view>

#include "common/fd.h"

namespace kovari {

struct Notifier {
    Fd fd;
    sockaddr_un to{};
    socklen_t to_length = 0;
    long watchdog_ms = 0;  // half the manager's watchdog time; 0: none asked
};

// The notifier that NOTIFY_SOCKET and WATCHDOG_USEC ask for (their values,
// or nullptr when unset); nullopt when no manager listens. A name that
// begins with '@' is an abstract socket.
std::optional<Notifier> open_notifier(const char* socket_name, const char* watchdog_usec);

// Sends one message, such as "READY=1".
void notify(const std::optional<Notifier>& n, std::string_view message);

}  // namespace kovari
