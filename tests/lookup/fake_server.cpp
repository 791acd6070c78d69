#include "fake_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace kovari::testing {

const Bytes kNoMatch = {0x80, 0xCA, 0x00, 0x00};

FakeServer::FakeServer(std::vector<Answer> answers) : answers_(std::move(answers))
{
    listener_ = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listener_.get(), 8);
    socklen_t len = sizeof a;
    ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
}

FakeServer::~FakeServer()
{
    stop_ = true;
    thread_.join();
}

std::vector<Bytes> FakeServer::received()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

void FakeServer::serve()
{
    std::size_t k = 0;
    while (!stop_) {
        pollfd p{listener_.get(), POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0)
            continue;
        Fd conn(::accept(listener_.get(), nullptr, nullptr));
        if (!conn.valid())
            continue;
        const Answer answer = k < answers_.size() ? answers_[k] : send_back(kNoMatch);
        ++k;
        // One receive, bounded so that a client that sends nothing cannot
        // hold the test.
        Bytes got;
        pollfd q{conn.get(), POLLIN, 0};
        if (::poll(&q, 1, 5000) > 0) {
            std::uint8_t buf[4096];
            const ssize_t n = ::recv(conn.get(), buf, sizeof buf, 0);
            if (n > 0)
                got.assign(buf, buf + n);
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            received_.push_back(got);
        }
        if (answer.kind == Answer::Send)
            ::send(conn.get(), answer.bytes.data(), answer.bytes.size(), MSG_NOSIGNAL);
        else if (answer.kind == Answer::Silent)
            held_.push_back(std::move(conn));
    }
}

}  // namespace kovari::testing
