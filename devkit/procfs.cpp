#include "devkit/procfs.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "devkit/files.h"

namespace kovari::devkit {
namespace {

std::string proc_dir(pid_t pid) { return "/proc/" + std::to_string(pid); }

// The socket inodes that a process holds open.
std::vector<std::string> socket_inodes(const std::string& dir)
{
    std::vector<std::string> inodes;
    std::error_code ec;
    for (const auto& fd : std::filesystem::directory_iterator(dir + "/fd", ec)) {
        const std::string link = std::filesystem::read_symlink(fd.path(), ec).string();
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
        found.push_back({int(std::stoul(local.substr(local.size() - 4), nullptr, 16)), inode});
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
            s.ppid = pid_t(std::stol(field));
        else if (i == 14)
            s.utime_ticks = std::stoull(field);
        else if (i == 15)
            s.stime_ticks = std::stoull(field);
    }
    return s;
}

double cpu_us(const ProcStat& s)
{
    return double(s.utime_ticks + s.stime_ticks) * 1e6 / double(::sysconf(_SC_CLK_TCK));
}

std::optional<ProcStatus> read_proc_status(pid_t pid)
{
    std::ifstream in(proc_dir(pid) + "/status");
    if (!in)
        return std::nullopt;
    ProcStatus s;
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            s.rss_kb = std::stol(line.substr(6));
    return s;
}

std::vector<pid_t> process_tree(pid_t root)
{
    std::vector<pid_t> tree{root};
    std::error_code ec;
    for (std::size_t k = 0; k < tree.size(); ++k) {
        for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
            const std::string name = entry.path().filename();
            if (name.find_first_not_of("0123456789") != std::string::npos)
                continue;
            const auto stat = read_proc_stat(pid_t(std::stol(name)));
            if (stat && stat->ppid == tree[k])
                tree.push_back(pid_t(std::stol(name)));
        }
    }
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
