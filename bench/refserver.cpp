// kvref: the least a server of quorind's shape can do, as the yardstick of
// the benchmark. One thread: a blocking accept, one receive, a fixed
// 4-byte reply when the packet is an APP packet, close.
//
//   kvref -Pport
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        std::perror("opening stream socket");
        return 1;
    }
    const int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(std::uint16_t(port));
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 || ::listen(s, 25) < 0) {
        std::perror("binding stream socket");
        return 1;
    }
    static const unsigned char reply[4] = {0x80, 202, 0, 0};
    unsigned char buf[1028];
    while (!stop) {
        const int c = ::accept(s, nullptr, nullptr);
        if (c < 0)
            continue;
        const ssize_t n = ::recv(c, buf, 1024, 0);
        if (n >= 2 && buf[1] == 204)
            ::send(c, reply, sizeof reply, MSG_NOSIGNAL);
        ::close(c);
    }
    ::close(s);
    return 0;
}
