// SPDX-License-Identifier: BSD-2-Clause
#include "devkit/procfs.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "devkit/files.h"

namespace kovari::devkit {
namespace {

std::string proc_dir(pid_t pid) { return "/proc/" + std::to_string(pid); }

// The number at the start of `text` in the given base; 0 when there is none.
template <typename T>
T number(std::string_view text, int base = 10)
{
    T value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value, base);
    return value;
}

// The names in a folder; none when it cannot be read. Entries that vanish
// while it is read (processes end, descriptors close) are simply missing.
std::vector<std::string> entries(const std::string& dir)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename());
    return names;
}

// The socket inodes that a process holds open.
std::vector<std::string> socket_inodes(const std::string& dir)
{
    std::vector<std::string> inodes;
    for (const std::string& fd : entries(dir + "/fd")) {
        std::error_code ec;
        const std::string link = std::filesystem::read_symlink(dir + "/fd/" + fd, ec).string();
        if (link.rfind("socket:[", 0) == 0)
            inodes.push_back(link.substr(8, link.size() - 9));
    }
    return inodes;
}

struct TcpListener {
    int port = 0;
    std::string inode;
};

// The listening sockets of /proc/net/tcp: the local address is field 2,
// the state field 4 (0A is LISTEN), the inode field 10.
std::vector<TcpListener> tcp_listeners()
{
    std::vector<TcpListener> found;
    std::ifstream f("/proc/net/tcp");
    std::string line;
    while (std::getline(f, line)) {
        std::istringstream ls(line);
        std::string sl, local, remote, state, queues, timer, retr, uid, timeout, inode;
        ls >> sl >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >> inode;
        if (state != "0A" || local.size() < 5)
            continue;
        found.push_back({number<int>(std::string_view(local).substr(local.size() - 4), 16), inode});
    }
    return found;
}

}  // namespace

std::optional<ProcStat> read_proc_stat(pid_t pid)
{
    const std::string text = read_file(proc_dir(pid) + "/stat");
    // The command name may hold spaces and parentheses: the fields that
    // follow it start after its last ')'.
    const auto close = text.rfind(')');
    if (close == std::string::npos || close + 2 > text.size())
        return std::nullopt;
    std::istringstream rest(text.substr(close + 2));
    ProcStat s;
    std::string field;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 3)
            s.state = field[0];
        else if (i == 4)
            s.ppid = number<pid_t>(field);
        else if (i == 14)
            s.utime_ticks = number<unsigned long long>(field);
        else if (i == 15)
            s.stime_ticks = number<unsigned long long>(field);
    }
    return s;
}

double cpu_us(const ProcStat& s)
{
    return double(s.utime_ticks + s.stime_ticks) * 1e6 / double(::sysconf(_SC_CLK_TCK));
}

std::optional<double> run_time_us(pid_t pid)
{
    std::ifstream in(proc_dir(pid) + "/schedstat");
    unsigned long long ns = 0;
    if (!(in >> ns))
        return std::nullopt;
    return double(ns) / 1000.0;
}

std::optional<ProcStatus> read_proc_status(pid_t pid)
{
    std::ifstream in(proc_dir(pid) + "/status");
    if (!in)
        return std::nullopt;
    ProcStatus s;
    std::string line;
    while (std::getline(in, line))
        if (const auto at = line.find_first_not_of(" \t", 6); line.rfind("VmRSS:", 0) == 0 && at != line.npos)
            s.rss_kb = number<long>(std::string_view(line).substr(at));
    return s;
}

std::vector<pid_t> process_tree(pid_t root)
{
    // Every process's parent, read in one walk of /proc.
    std::vector<std::pair<pid_t, pid_t>> parents;
    for (const std::string& name : entries("/proc")) {
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const pid_t pid = number<pid_t>(name);
        if (const auto stat = read_proc_stat(pid))
            parents.emplace_back(pid, stat->ppid);
    }
    std::vector<pid_t> tree{root};
    for (std::size_t k = 0; k < tree.size(); ++k)
        for (const auto& [pid, ppid] : parents)
            if (ppid == tree[k])
                tree.push_back(pid);
    return tree;
}

std::optional<int> listening_port_of(pid_t root, std::optional<int> port)
{
    const std::vector<std::string> mine = socket_inodes("/proc/self");
    std::vector<std::string> inodes;
    for (pid_t p : process_tree(root))
        for (auto& i : socket_inodes(proc_dir(p)))
            if (std::find(mine.begin(), mine.end(), i) == mine.end())
                inodes.push_back(std::move(i));
    for (const TcpListener& l : tcp_listeners()) {
        if (port && l.port != *port)
            continue;
        if (std::find(inodes.begin(), inodes.end(), l.inode) != inodes.end())
            return l.port;
    }
    return std::nullopt;
}

bool port_listening(int port)
{
    const auto all = tcp_listeners();
    return std::any_of(all.begin(), all.end(), [&](const TcpListener& l) { return l.port == port; });
}

}  // namespace kovari::devkit
