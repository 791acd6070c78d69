// SPDX-License-Identifier: BSD-2-Clause
#include "devkit/server_process.h"

namespace kovari::devkit {

bool launch_server(ServerProcess& s, const ServerLaunch& how)
{
    // With port 0 the system picks a free port, which is then read back
    // from the server's own listening socket, so two runs can never race
    // for one port.
    std::vector<std::string> argv = how.prefix;
    argv.push_back(how.binary);
    argv.insert(argv.end(), how.options.begin(), how.options.end());
    argv.push_back("-P" + std::to_string(how.port));
    s.child = start_child(argv, how.env, "/dev/null", how.open_files);
    const auto wanted = how.port != 0 ? std::optional<int>(how.port) : std::nullopt;
    const auto port = wait_child_listening(s.child, wanted, how.timeout_ms);
    s.port = port.value_or(how.port);
    return port.has_value();
}

bool start_server(ServerProcess& s, const std::string& binary, const std::vector<std::string>& options,
                  const std::vector<std::string>& prefix, const std::vector<std::string>& env)
{
    ServerLaunch how;
    how.binary = binary;
    how.options = options;
    how.prefix = prefix;
    how.env = env;
    return launch_server(s, how);
}

bool start_server_on(ServerProcess& s, int port, const std::string& binary,
                     const std::vector<std::string>& options)
{
    ServerLaunch how;
    how.binary = binary;
    how.options = options;
    how.port = port;
    return launch_server(s, how);
}

}  // namespace kovari::devkit
