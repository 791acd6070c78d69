// SPDX-License-Identifier: BSD-2-Clause
// The command line, the usage text and the server message reply.
#pragma once

#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "server.h"

namespace kovari {

// The empty server message reply, or one carrying `text`.
std::vector<std::uint8_t> make_message_reply(std::span<const std::uint8_t> text);
void print_server_usage(std::FILE* err, const std::string& program);
// Parses the command line into the settings. Returns an exit status when the
// run ends here (usage, bad argument, unreadable message file).
std::optional<int> parse_server_options(Server& srv, int argc, char** argv);

}  // namespace kovari
