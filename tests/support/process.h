// Starting the real programs in tests, and speaking to them on loopback.
// Every wait is bounded; every process started is stopped by its PID.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "common/fd.h"
#include "packets.h"

namespace kovari::testing {

struct Child {
    pid_t pid = -1;
    std::string out_path;  // standard output, captured to a file
    std::string err_path;  // standard error, captured to a file
    std::optional<int> status;  // exit status once reaped (128+sig if killed)
};

// Starts argv[0] with the given arguments; `env` entries ("NAME=value")
// are added to (or replace in) the environment, "NAME" alone removes one.
Child start_child(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                  const std::string& stdin_path = "/dev/null");
// Waits up to timeout_ms for the child to end; returns its status.
std::optional<int> wait_child(Child& c, int timeout_ms);
// SIGTERM, then SIGKILL if it has not ended within a second.
void stop_child(Child& c);
std::string read_file(const std::string& path);
// Creates or replaces a file with the text; false if it cannot be written.
bool write_file(const std::string& path, const std::string& text);
// True when something (a file, a directory, a dangling link) has the name.
bool path_exists(const std::string& path);

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};
// Runs a program to its end (killed after timeout_ms).
RunResult run_program(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                      int timeout_ms = 10000);

// A port that nothing listens on right now.
int free_port();
// A listener on 127.0.0.1 at a port of the system's choosing, which is
// stored in `port`. It never accepts by itself: the test does.
Fd listen_loopback(int backlog, int& port);
// Waits until something listens on the loopback or wildcard port, without
// connecting to it.
bool wait_listening(int port, int timeout_ms);
// Polls a file until it contains `text`.
bool wait_for_text(const std::string& path, const std::string& text, int timeout_ms);

// A TCP connection to 127.0.0.1:port, optionally from a given local
// loopback address (127.0.0.2, ...). Invalid on failure.
Fd connect_loopback(int port, const char* local_ip = nullptr);
bool send_bytes(int fd, const Bytes& b);
// Reads until the peer closes; nullopt on timeout or error.
std::optional<Bytes> read_to_eof(int fd, int timeout_ms);
// Connect, send, read to EOF (one exchange of the protocol).
std::optional<Bytes> round_trip(int port, const Bytes& request, int timeout_ms = 5000,
                              const char* local_ip = nullptr);

// The quorind under test, on a free loopback port.
struct ServerUnderTest {
    Child child;
    int port = 0;
    ~ServerUnderTest() { stop_child(child); }
    std::string out() const { return read_file(child.out_path); }
    std::string err() const { return read_file(child.err_path); }
};
// Starts quorind with the options and -P<free port>, and waits until it
// listens. `prefix` runs it under another program (faketime, valgrind).
bool start_server(ServerUnderTest& s, const std::string& binary, const std::vector<std::string>& options,
                  const std::vector<std::string>& prefix = {}, const std::vector<std::string>& env = {});
// The same on a port chosen beforehand (servers that name each other with
// -F need their ports before they start).
bool start_server_on(ServerUnderTest& s, int port, const std::string& binary,
                     const std::vector<std::string>& options);

}  // namespace kovari::testing
