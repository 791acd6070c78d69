#include "process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace kovari::testing {
namespace {

std::string temp_path(const char* what)
{
    static std::atomic<int> counter{0};
    return "/tmp/kovari-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "." + what;
}

int decode_status(int st)
{
    if (WIFEXITED(st))
        return WEXITSTATUS(st);
    if (WIFSIGNALED(st))
        return 128 + WTERMSIG(st);
    return -1;
}

}  // namespace

Child start_child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                  const std::string& stdin_path)
{
    Child c;
    c.out_path = temp_path("out");
    c.err_path = temp_path("err");
    std::vector<std::string> envs;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        const std::string key = entry.substr(0, entry.find('='));
        bool overridden = false;
        for (const auto& x : env)
            if (x.substr(0, x.find('=')) == key)
                overridden = true;
        if (!overridden)
            envs.push_back(entry);
    }
    for (const auto& x : env)
        if (x.find('=') != std::string::npos)
            envs.push_back(x);
    std::vector<char*> args, envp;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : envs)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int in = ::open(stdin_path.c_str(), O_RDONLY);
        const int out = ::open(c.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(c.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        // Nothing of the test process leaks into the child.
        ::close_range(3, ~0U, 0);
        ::execvpe(args[0], args.data(), envp.data());
        std::_Exit(127);
    }
    c.pid = pid;
    return c;
}

std::optional<int> wait_child(Child& c, int timeout_ms)
{
    if (c.status)
        return c.status;
    if (c.pid <= 0)
        return std::nullopt;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int st = 0;
        const pid_t r = ::waitpid(c.pid, &st, WNOHANG);
        if (r == c.pid) {
            c.status = decode_status(st);
            return c.status;
        }
        if (std::chrono::steady_clock::now() >= end)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void stop_child(Child& c)
{
    if (c.pid <= 0 || c.status)
        return;
    ::kill(c.pid, SIGTERM);
    if (!wait_child(c, 1000)) {
        ::kill(c.pid, SIGKILL);
        wait_child(c, 1000);
    }
}

std::string read_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

RunResult run_program(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                      int timeout_ms)
{
    Child c = start_child(argv, env);
    RunResult r;
    if (auto st = wait_child(c, timeout_ms))
        r.status = *st;
    else
        stop_child(c);
    r.out = read_file(c.out_path);
    r.err = read_file(c.err_path);
    ::unlink(c.out_path.c_str());
    ::unlink(c.err_path.c_str());
    return r;
}

bool write_file(const std::string& path, const std::string& text)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
    return bool(f.flush());
}

bool path_exists(const std::string& path)
{
    struct stat st{};
    return ::lstat(path.c_str(), &st) == 0;
}

Fd listen_loopback(int backlog, int& port)
{
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 || ::listen(fd.get(), backlog) < 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len) < 0)
        return Fd();
    port = ntohs(a.sin_port);
    return fd;
}

int free_port()
{
    Fd s(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

bool wait_listening(int port, int timeout_ms)
{
    char want[16];
    std::snprintf(want, sizeof want, ":%04X ", port);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        std::ifstream f("/proc/net/tcp");
        std::string line;
        while (std::getline(f, line)) {
            // local address is field 2, state field 4; 0A is LISTEN.
            std::istringstream ls(line);
            std::string sl, local, remote, state;
            ls >> sl >> local >> remote >> state;
            if (state == "0A" && (local + " ").find(want) != std::string::npos)
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

bool wait_for_text(const std::string& path, const std::string& text, int timeout_ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (read_file(path).find(text) != std::string::npos)
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

Fd connect_loopback(int port, const char* local_ip)
{
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s.valid())
        return s;
    if (local_ip != nullptr) {
        sockaddr_in l{};
        l.sin_family = AF_INET;
        ::inet_pton(AF_INET, local_ip, &l.sin_addr);
        if (::bind(s.get(), reinterpret_cast<sockaddr*>(&l), sizeof l) < 0)
            return Fd();
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(std::uint16_t(port));
    // Connect with a bound: a listener whose queue is full would otherwise
    // hold the test for minutes of SYN retries.
    const int flags = ::fcntl(s.get(), F_GETFL);
    ::fcntl(s.get(), F_SETFL, flags | O_NONBLOCK);
    if (::connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
        if (errno != EINPROGRESS)
            return Fd();
        pollfd p{s.get(), POLLOUT, 0};
        int err = 0;
        socklen_t len = sizeof err;
        if (::poll(&p, 1, 5000) != 1 || ::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &err, &len) < 0 ||
            err != 0)
            return Fd();
    }
    ::fcntl(s.get(), F_SETFL, flags);
    return s;
}

bool send_bytes(int fd, const Bytes& b)
{
    return ::send(fd, b.data(), b.size(), MSG_NOSIGNAL) == ssize_t(b.size());
}

std::optional<Bytes> read_to_eof(int fd, int timeout_ms)
{
    Bytes all;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            return std::nullopt;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(left)) <= 0)
            continue;
        std::uint8_t chunk[4096];
        const ssize_t r = ::recv(fd, chunk, sizeof chunk, 0);
        if (r == 0)
            return all;
        if (r < 0) {
            if (errno == ECONNRESET)
                return all;
            return std::nullopt;
        }
        all.insert(all.end(), chunk, chunk + r);
    }
}

std::optional<Bytes> round_trip(int port, const Bytes& request, int timeout_ms, const char* local_ip)
{
    Fd s = connect_loopback(port, local_ip);
    if (!s.valid() || !send_bytes(s.get(), request))
        return std::nullopt;
    return read_to_eof(s.get(), timeout_ms);
}

namespace {

// The process and all its descendants (a wrapper such as faketime may run
// the server as its child).
std::vector<pid_t> process_tree(pid_t root)
{
    std::vector<pid_t> tree{root};
    for (std::size_t k = 0; k < tree.size(); ++k) {
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            const std::string name = entry.path().filename();
            if (name.find_first_not_of("0123456789") != std::string::npos)
                continue;
            const std::string stat = read_file("/proc/" + name + "/stat");
            const auto close = stat.rfind(')');
            if (close == std::string::npos)
                continue;
            std::istringstream in(stat.substr(close + 2));
            std::string state;
            pid_t ppid = 0;
            in >> state >> ppid;
            if (ppid == tree[k])
                tree.push_back(pid_t(std::stol(name)));
        }
    }
    return tree;
}

// The socket inodes that a process holds open.
std::vector<std::string> socket_inodes(const std::string& proc_dir)
{
    std::vector<std::string> inodes;
    std::error_code ec;
    for (const auto& fd : std::filesystem::directory_iterator(proc_dir + "/fd", ec)) {
        const std::string link = std::filesystem::read_symlink(fd.path(), ec).string();
        if (link.rfind("socket:[", 0) == 0)
            inodes.push_back(link.substr(8, link.size() - 9));
    }
    return inodes;
}

// The TCP port of a listening socket that the process tree holds. Sockets
// of the test process itself do not count: a child holds copies of them
// between its fork and its exec.
std::optional<int> own_listening_port(pid_t root, std::optional<int> port)
{
    const std::vector<std::string> mine = socket_inodes("/proc/self");
    std::vector<std::string> inodes;
    for (pid_t p : process_tree(root))
        for (auto& i : socket_inodes("/proc/" + std::to_string(p)))
            if (std::find(mine.begin(), mine.end(), i) == mine.end())
                inodes.push_back(std::move(i));
    std::ifstream f("/proc/net/tcp");
    std::string line;
    while (std::getline(f, line)) {
        std::istringstream ls(line);
        std::string sl, local, remote, state, queues, timer, retr, uid, timeout, inode;
        ls >> sl >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >> inode;
        if (state != "0A" || local.size() < 5)
            continue;
        const int local_port = int(std::stoul(local.substr(local.size() - 4), nullptr, 16));
        if (port && local_port != *port)
            continue;
        for (const auto& i : inodes)
            if (i == inode)
                return local_port;
    }
    return std::nullopt;
}

// Waits until the child itself listens (on `port`, or on any port) and
// returns the port. Another program listening on that port does not count.
std::optional<int> wait_own_listener(Child& c, std::optional<int> port, int timeout_ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (auto found = own_listening_port(c.pid, port))
            return found;
        if (wait_child(c, 0) || std::chrono::steady_clock::now() >= end)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

bool start_server(ServerUnderTest& s, const std::string& binary, const std::vector<std::string>& options,
                  const std::vector<std::string>& prefix, const std::vector<std::string>& env)
{
    // Port 0: the system picks a free port, which is then read back from
    // the server's own listening socket, so two tests can never race for
    // one port.
    std::vector<std::string> argv = prefix;
    argv.push_back(binary);
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back("-P0");
    s.child = start_child(argv, env);
    const auto port = wait_own_listener(s.child, std::nullopt, 5000);
    s.port = port.value_or(0);
    return port.has_value();
}

bool start_server_on(ServerUnderTest& s, int port, const std::string& binary,
                     const std::vector<std::string>& options)
{
    s.port = port;
    std::vector<std::string> argv{binary};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back("-P" + std::to_string(port));
    s.child = start_child(argv);
    return wait_own_listener(s.child, port, 5000).has_value();
}

}  // namespace kovari::testing
