// SPDX-License-Identifier: BSD-2-Clause
#include "fake_server.h"

#include <sys/socket.h>

#include "devkit/loopback.h"
#include "devkit/packets.h"

namespace kovari::testing {
using namespace kovari::devkit;

FakeServer::FakeServer(std::vector<Answer> answers) : answers_(std::move(answers))
{
    listener_ = listen_loopback(8, port_);
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
        Fd conn = accept_within(listener_.get(), 20);
        if (!conn.valid())
            continue;
        const Answer answer = k < answers_.size() ? answers_[k] : send_back(match_reply({}));
        ++k;
        // One receive, bounded so that a client that sends nothing cannot
        // hold the test.
        const Bytes got = receive_once(conn.get(), 5000);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            received_.push_back(got);
        }
        if (answer.kind == Answer::Send)
            send_bytes(conn.get(), answer.bytes);
        else if (answer.kind == Answer::Silent)
            held_.push_back(std::move(conn));
    }
}

}  // namespace kovari::testing
