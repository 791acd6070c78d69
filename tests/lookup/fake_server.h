// SPDX-License-Identifier: BSD-2-Clause
// A stand-in directory server for end-to-end tests of quorinq: it listens
// on a free loopback port in a thread of the test, records the bytes of
// each request (one receive, as the real server makes) and answers each
// connection with a canned reply.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "common/fd.h"
#include "devkit/bytes.h"

namespace kovari::testing {

struct Answer {
    enum Kind { Send, Close, Silent };
    Kind kind = Send;
    devkit::Bytes bytes;  // for Send
};

inline Answer send_back(devkit::Bytes b) { return {Answer::Send, std::move(b)}; }
inline Answer close_at_once() { return {Answer::Close, {}}; }
inline Answer never_answer() { return {Answer::Silent, {}}; }

class FakeServer {
public:
    // Connection k gets answers[k]; connections beyond the list get the
    // empty match reply.
    explicit FakeServer(std::vector<Answer> answers);
    ~FakeServer();
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;

    int port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    // What each connection sent, in order of arrival.
    std::vector<devkit::Bytes> received();

private:
    void serve();

    std::vector<Answer> answers_;
    Fd listener_;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<devkit::Bytes> received_;
    std::vector<Fd> held_;  // connections left unanswered
    std::thread thread_;
};

}  // namespace kovari::testing
