// SPDX-License-Identifier: BSD-2-Clause
#include "devkit/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "devkit/files.h"
#include "devkit/procfs.h"
#include "devkit/wait.h"

extern char** environ;

namespace kovari::devkit {
namespace {

int decode_status(int st)
{
    if (WIFEXITED(st))
        return WEXITSTATUS(st);
    if (WIFSIGNALED(st))
        return 128 + WTERMSIG(st);
    return -1;
}

std::string key_of(const std::string& entry) { return entry.substr(0, entry.find('=')); }

// This process's environment with the entries of `env` applied.
std::vector<std::string> child_environment(const std::vector<std::string>& env)
{
    std::vector<std::string> envs;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        bool overridden = false;
        for (const auto& x : env)
            overridden = overridden || key_of(x) == key_of(entry);
        if (!overridden)
            envs.push_back(entry);
    }
    for (const auto& x : env)
        if (x.find('=') != std::string::npos)
            envs.push_back(x);
    return envs;
}

std::vector<char*> pointers(const std::vector<std::string>& texts)
{
    std::vector<char*> v;
    for (const auto& t : texts)
        v.push_back(const_cast<char*>(t.c_str()));
    v.push_back(nullptr);
    return v;
}

void signal_all(const std::vector<pid_t>& pids, int sig)
{
    for (pid_t p : pids)
        ::kill(p, sig);
}

// True once none of the processes runs any more (a zombie counts as
// gone), polled for up to timeout_ms.
bool all_gone(const std::vector<pid_t>& pids, int timeout_ms)
{
    return wait_until(timeout_ms, 5, [&] {
        for (pid_t p : pids)
            if (const auto st = read_proc_stat(p); st && st->state != 'Z')
                return false;
        return true;
    });
}

// libfaketime, in the faketime wrapper or preloaded, keeps its settings in
// a shared-memory object and a semaphore named after the pid of the process
// that made them, and removes both when that process ends normally. A
// process killed with SIGKILL leaves them in /dev/shm, where they pile up
// and make a later process that is given the same pid fail at start-up.
void remove_faketime_files(const std::vector<pid_t>& pids)
{
    for (pid_t p : pids) {
        const std::string id = std::to_string(p);
        ::unlink(("/dev/shm/faketime_shm_" + id).c_str());
        ::unlink(("/dev/shm/sem.faketime_sem_" + id).c_str());
    }
}

}  // namespace

Child start_child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                  const std::string& stdin_path, std::optional<OpenFileLimit> files)
{
    Child c;
    c.out_path = make_temp_file("kovari-child", ".out");
    c.err_path = make_temp_file("kovari-child", ".err");
    // Everything the child needs is built before the fork.
    const std::vector<std::string> envs = child_environment(env);
    std::vector<char*> args = pointers(argv), envp = pointers(envs);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int in = ::open(stdin_path.c_str(), O_RDONLY);
        const int out = ::open(c.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(c.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::close_range(3, ~0U, 0);
        if (files) {
            const rlimit lim{files->soft, files->hard};
            if (::setrlimit(RLIMIT_NOFILE, &lim) != 0)
                std::_Exit(127);
        }
        ::execvpe(args[0], args.data(), envp.data());
        std::_Exit(127);
    }
    c.pid = pid;
    return c;
}

std::optional<int> wait_child(Child& c, int timeout_ms)
{
    if (c.status || c.pid <= 0)
        return c.status;
    wait_until(timeout_ms, 5, [&] {
        int st = 0;
        if (::waitpid(c.pid, &st, WNOHANG) != c.pid)
            return false;
        c.status = decode_status(st);
        return true;
    });
    return c.status;
}

void stop_child(Child& c)
{
    if (c.pid <= 0 || c.status)
        return;
    // The tree is read before the signals: once the child is gone, its
    // children belong to init and are no longer found under it.
    const std::vector<pid_t> tree = process_tree(c.pid);
    // The descendants are asked to end first, the deepest first, and the
    // child is given a moment to end by itself after them: a wrapper such as
    // faketime waits for the program it runs and then removes its files in
    // /dev/shm, which it cannot do when a signal ends it first.
    const std::vector<pid_t> descendants(tree.rbegin(), tree.rend() - 1);
    if (!descendants.empty()) {
        signal_all(descendants, SIGTERM);
        wait_child(c, 1000);
    }
    bool killed = false;
    if (!c.status) {
        ::kill(c.pid, SIGTERM);
        if (!wait_child(c, 1000)) {
            signal_all(tree, SIGKILL);
            killed = true;
            wait_child(c, 1000);
        }
    }
    // Descendants are not this process's children: they are watched in
    // /proc until they are gone, and killed when they take over a second.
    if (!all_gone(descendants, 1000)) {
        signal_all(descendants, SIGKILL);
        killed = true;
        all_gone(descendants, 1000);
    }
    if (killed)
        remove_faketime_files(tree);
}

void remove_output_files(const Child& c)
{
    ::unlink(c.out_path.c_str());
    ::unlink(c.err_path.c_str());
}

std::optional<int> wait_child_listening(Child& c, std::optional<int> port, int timeout_ms)
{
    std::optional<int> found;
    wait_until(timeout_ms, 5, [&] {
        found = listening_port_of(c.pid, port);
        return found || wait_child(c, 0);
    });
    return found;
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
    remove_output_files(c);
    return r;
}

}  // namespace kovari::devkit
