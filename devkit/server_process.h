// SPDX-License-Identifier: BSD-2-Clause
// A quorind run as a child process, for the end-to-end tests, the
// benchmark and the soak: started on a port of the system's choosing
// (read back from its own listening socket) or on one given, stopped with
// anything it started, and its output files removed when it goes.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "devkit/files.h"
#include "devkit/process.h"

namespace kovari::devkit {

struct ServerProcess {
    Child child;
    int port = 0;
    bool keep_output = false;  // leave the output files for a reader after a failure
    ServerProcess() = default;
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;
    ~ServerProcess()
    {
        stop_child(child);
        if (!keep_output && child.pid > 0)
            remove_output_files(child);
    }
    std::string out() const { return read_file(child.out_path); }
    std::string err() const { return read_file(child.err_path); }
};

struct ServerLaunch {
    std::string binary;
    std::vector<std::string> options;  // -P is added
    std::vector<std::string> prefix;   // runs it under another program (faketime, valgrind)
    std::vector<std::string> env;      // as start_child takes them
    int port = 0;                      // 0: a port of the system's choosing
    int timeout_ms = 5000;             // until it listens
    std::optional<OpenFileLimit> open_files;  // its descriptor limit, if not this process's
};
// Starts the server and waits until it listens; false when it does not.
bool launch_server(ServerProcess& s, const ServerLaunch& how);

// The usual cases: a port of the system's choosing...
bool start_server(ServerProcess& s, const std::string& binary, const std::vector<std::string>& options,
                  const std::vector<std::string>& prefix = {}, const std::vector<std::string>& env = {});
// ...or one chosen beforehand (servers that name each other with -F need
// their ports before they start).
bool start_server_on(ServerProcess& s, int port, const std::string& binary,
                     const std::vector<std::string>& options);

}  // namespace kovari::devkit
