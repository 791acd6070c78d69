// SPDX-License-Identifier: BSD-2-Clause
// kvref: the least a server of quorind's shape can do, as the yardstick of
// the benchmark. One thread: a blocking accept, one receive, a fixed
// 4-byte reply when the packet is an APP packet, close.
//
//   kvref -Pport
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "devkit/loopback.h"

namespace {

volatile sig_atomic_t stop = 0;

extern "C" void on_terminate(int) { stop = 1; }

}  // namespace

int main(int argc, char** argv)
{
    int port = 2076;
    for (int i = 1; i < argc; ++i)
        if ((argv[i][0] == '-') && (argv[i][1] == 'P' || argv[i][1] == 'p'))
            port = std::atoi(argv[i] + 2);

    struct sigaction sa{};
    sa.sa_handler = on_terminate;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);  // no SA_RESTART: accept returns
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const kovari::Fd s = kovari::devkit::listen_loopback(25, port);
    if (!s.valid()) {
        std::perror("binding stream socket");
        return 1;
    }
    static const unsigned char reply[4] = {0x80, 202, 0, 0};
    unsigned char buf[1028];
    while (!stop) {
        const int c = ::accept(s.get(), nullptr, nullptr);
        if (c < 0)
            continue;
        const ssize_t n = ::recv(c, buf, 1024, 0);
        if (n >= 2 && buf[1] == 204)
            ::send(c, reply, sizeof reply, MSG_NOSIGNAL);
        ::close(c);
    }
    return 0;
}
