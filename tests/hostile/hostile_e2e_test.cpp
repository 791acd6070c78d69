// The real quorind while other clients misbehave: what a client that
// behaves sees (its replies, its site stored) and what the operator sees
// (the message lines, the statistics).
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "devkit/files.h"
#include "devkit/loopback.h"
#include "devkit/packets.h"
#include "devkit/server_process.h"
#include "devkit/sites.h"
#include "devkit/wait.h"

using namespace kovari;
using namespace kovari::devkit;

namespace {

using Clock = std::chrono::steady_clock;

const std::string kServer = QUORIND_PATH;
const Bytes kNoMatch = {0x80, 0xCA, 0, 0};

long ms_since(Clock::time_point t)
{
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// This process holds several hundred sockets at once.
void raise_own_descriptor_limit()
{
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &lim);
    }
}

// Connections begun from `ip` that never send anything, held by `held`.
void hold_idle(std::vector<Fd>& held, int port, const char* ip, int count)
{
    for (int i = 0; i < count; ++i)
        held.push_back(begin_connect(port, ip));
}

// The listen queue of the server's port as `ss` shows it: the connections
// waiting to be accepted and the queue's length; nullopt without ss.
struct ListenQueue {
    long queued = 0;
    long length = 0;
};
std::optional<ListenQueue> listen_queue(int port)
{
    const auto r = run_program({"ss", "-ltnH", "sport = :" + std::to_string(port)}, {}, 3000);
    std::istringstream in(r.out);
    std::string state;
    ListenQueue q;
    if (r.status != 0 || !(in >> state >> q.queued >> q.length))
        return std::nullopt;
    return q;
}

// Sends `pieces` of a request with `pause_ms` between them and reads the
// reply to the server's close.
std::optional<Bytes> send_in_pieces(int port, const std::vector<Bytes>& pieces, int pause_ms)
{
    Fd c = connect_loopback(port);
    for (std::size_t k = 0; k < pieces.size(); ++k) {
        if (k > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
        if (!c.valid() || !send_bytes(c.get(), pieces[k]))
            return std::nullopt;
    }
    return read_to_eof(c.get(), 3000);
}

std::vector<Bytes> split(const Bytes& b, std::initializer_list<std::size_t> cuts)
{
    std::vector<Bytes> pieces;
    std::size_t from = 0;
    for (std::size_t to : cuts) {
        pieces.emplace_back(b.begin() + long(from), b.begin() + long(to));
        from = to;
    }
    pieces.emplace_back(b.begin() + long(from), b.end());
    return pieces;
}

}  // namespace

TEST(HostileLoad, IdleConnectionsFromOtherAddressesLeaveEveryQueryAnswered)
{
    raise_own_descriptor_limit();
    ServerProcess s;
    ServerLaunch how;
    how.binary = kServer;
    how.options = {"-D"};
    how.open_files = OpenFileLimit{64, 256};  // the server raises 64 to 256 itself
    ASSERT_TRUE(launch_server(s, how)) << s.err();
    // 100 from one address, over its cap, and 50 from each of five more:
    // together more than 256 descriptors could hold.
    std::vector<Fd> idle;
    hold_idle(idle, s.port, "127.0.0.2", 100);
    for (const char* ip : {"127.0.0.3", "127.0.0.4", "127.0.0.5", "127.0.0.6", "127.0.0.7"})
        hold_idle(idle, s.port, ip, 50);
    for (int k = 0; k < 20; ++k) {
        const auto start = Clock::now();
        ASSERT_EQ(round_trip(s.port, query_packet("anyone"), 2000), kNoMatch) << "query " << k;
        EXPECT_LT(ms_since(start), 1000) << "query " << k;
    }
    ASSERT_TRUE(wait_for_text(s.child.err_path,
                              "quorind: too many connections waiting from 127.0.0.2, one closed.\n", 3000))
        << s.err();
    ASSERT_TRUE(wait_for_text(s.child.err_path, "quorind: too many connections waiting, the oldest closed.\n",
                              3000));
    EXPECT_NE(s.err().find("quorind: discarded invalid RTCP packet from 127.0.0.2.\n"), std::string::npos);
    EXPECT_EQ(s.err().find("Too many open files"), std::string::npos);
    ::kill(s.child.pid, SIGUSR1);
    ASSERT_TRUE(wait_for_text(s.child.out_path, "page writes", 3000));
    EXPECT_NE(s.out().find("  connections closed by the caps: "), std::string::npos) << s.out();
    EXPECT_EQ(s.out().find("  connections closed by the caps: 0\n"), std::string::npos) << s.out();
}

TEST(HostileLoad, ABurstFromOneAddressLeavesRoomInTheListenQueue)
{
    raise_own_descriptor_limit();
    ServerProcess s;
    ASSERT_TRUE(start_server(s, kServer, {})) << s.err();
    // The server stops accepting while 256 connections from 127.0.0.2 and
    // then one from 127.0.0.1 are begun: all of them must find room in the
    // queue, or the last one's SYN is dropped and sent again a second later.
    ASSERT_EQ(::kill(s.child.pid, SIGSTOP), 0);
    struct Resume {
        pid_t pid;
        ~Resume() { ::kill(pid, SIGCONT); }
    } resume{s.child.pid};
    std::vector<Fd> burst;
    hold_idle(burst, s.port, "127.0.0.2", 256);
    Fd query = begin_connect(s.port);
    ASSERT_TRUE(query.valid());
    if (listen_queue(s.port)) {
        EXPECT_TRUE(wait_until(2000, 5, [&] { return listen_queue(s.port)->queued >= 257; }));
        EXPECT_GE(listen_queue(s.port)->length, 256);
    }
    const auto start = Clock::now();
    ::kill(s.child.pid, SIGCONT);
    pollfd p{query.get(), POLLOUT, 0};
    ASSERT_EQ(::poll(&p, 1, 3000), 1);
    ASSERT_TRUE(send_bytes(query.get(), query_packet("anyone")));
    EXPECT_EQ(read_to_eof(query.get(), 3000), kNoMatch);
    EXPECT_LT(ms_since(start), 500);
}

TEST(HostileLoad, RequestsThatArriveInPiecesAreHandledWhole)
{
    ServerProcess s;
    ASSERT_TRUE(start_server(s, kServer, {})) << s.err();
    // A query whose header and body come in two sends.
    const Bytes query = query_packet("anyone");
    EXPECT_EQ(send_in_pieces(s.port, split(query, {4}), 50), kNoMatch);
    // An announcement in three pieces, the first inside its header.
    const Bytes ann = announcement(sample_ann());
    EXPECT_EQ(send_in_pieces(s.port, split(ann, {2, 20}), 300), Bytes{});
    const auto found = round_trip(s.port, query_packet("*ann.lee"));
    ASSERT_TRUE(found);
    EXPECT_GT(found->size(), 4u);
    // A forwarded one whose trailer comes on its own: stored under the
    // origin that the trailer names.
    Announcement bob;
    bob.ssrc = make_ssrc(2);
    bob.cname = "bob@example.org";
    const Bytes fwd = forwarded(announcement(bob), ipv4("192.0.2.7"));
    EXPECT_EQ(send_in_pieces(s.port, split(fwd, {fwd.size() - 4}), 50), Bytes{});
    const auto bobs = round_trip(s.port, query_packet("bob@"));
    ASSERT_TRUE(bobs);
    const std::string text(bobs->begin(), bobs->end());
    EXPECT_NE(text.find("\1I192.0.2.7"), std::string::npos);
}
