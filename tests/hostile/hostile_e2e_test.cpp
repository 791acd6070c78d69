// SPDX-License-Identifier: BSD-2-Clause
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
#include "devkit/procfs.h"
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
    // The stop is not immediate: an idle server sleeps in accept, which the
    // signal wakes, and a connection that comes in before the server runs
    // again is still accepted. The burst begins once it has stopped.
    ASSERT_TRUE(wait_until(2000, 1, [&] {
        const auto st = read_proc_stat(s.child.pid);
        return st && st->state == 'T';
    }));
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
    // -A: the forwarded request below comes from this test, as from a peer.
    ASSERT_TRUE(start_server(s, kServer, {"-A127.0.0.1"})) << s.err();
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

// The owner announces from 127.0.0.1; an outsider on 127.0.0.2 tries each
// way of changing the directory it has. None may change what a lookup sees;
// the owner's own changes still work.
TEST(Outsider, CannotSignOffTakeOverForgeForwardingOrFillTheTable)
{
    ServerProcess s;
    ASSERT_TRUE(start_server(s, kServer, {"-C4"})) << s.err();
    const char* const owner = "127.0.0.1";
    const char* const outsider = "127.0.0.2";
    const auto send = [&](const Bytes& packet, const char* from) {
        EXPECT_EQ(round_trip(s.port, packet, 3000, from), Bytes{});
    };
    const auto site = [](const char* cname, std::uint32_t ssrc, int port, const char* name) {
        Announcement a;
        a.ssrc = make_ssrc(ssrc);
        a.cname = cname;
        a.name = name;
        a.port = port;
        return announcement(a);
    };
    const auto everyone = [&] { return round_trip(s.port, query_packet(""), 3000, outsider).value_or(Bytes{}); };
    send(site("alice", 1, 5004, "Alice"), owner);
    send(site("bob", 2, 5006, "Bob"), owner);
    const Bytes listed = everyone();
    ASSERT_GT(listed.size(), 4u);

    // A sign-off for every SSRC that the empty query shows: each chunk is
    // its SSRC, items up to a 0 byte, and zeros to a whole word.
    int signoffs = 0;
    for (std::size_t at = 4; at + 4 <= listed.size(); ++signoffs) {
        send(bye_packet({listed[at], listed[at + 1], listed[at + 2], listed[at + 3]}), outsider);
        at += 4;
        while (at < listed.size() && listed[at] != 0)
            at += 2 + (at + 1 < listed.size() ? listed[at + 1] : 0);
        at = (at + 4) / 4 * 4;
    }
    EXPECT_EQ(signoffs, 2);
    EXPECT_EQ(everyone(), listed) << "sign-offs";
    // alice announced anew from the outsider's address.
    send(site("alice", 66, 666, "Mallory"), outsider);
    EXPECT_EQ(everyone(), listed) << "take-over";
    // Packets marked as forwarded for another origin, from no peer.
    send(forwarded(site("alice", 66, 666, "Mallory"), ipv4("10.9.8.7")), outsider);
    send(forwarded(site("carol", 67, 666, "Carol"), ipv4("10.9.8.7")), outsider);
    send(forwarded(bye_packet(make_ssrc(1)), ipv4("127.0.0.1")), outsider);
    EXPECT_EQ(everyone(), listed) << "forwarding";
    // New CNAMEs from one address: four are held, the fifth is refused,
    // and other addresses are not affected.
    for (std::uint32_t k = 0; k < 5; ++k)
        send(site(("x" + std::to_string(k)).c_str(), 100 + k, 9, "X"), outsider);
    send(site("dave", 3, 5008, "Dave"), owner);
    EXPECT_EQ(round_trip(s.port, query_packet("*x4"))->size(), 4u);
    EXPECT_GT(round_trip(s.port, query_packet("*x3"))->size(), 4u);
    EXPECT_GT(round_trip(s.port, query_packet("*dave"))->size(), 4u);

    // The owner moves alice to another port and signs bob off.
    send(site("alice", 1, 7000, "Alice"), owner);
    send(bye_packet(make_ssrc(2)), owner);
    const std::string alice = [&] {
        const auto r = round_trip(s.port, query_packet("*alice"));
        return std::string(r->begin(), r->end());
    }();
    EXPECT_NE(alice.find("\1P7000"), std::string::npos);
    EXPECT_NE(alice.find("\1I127.0.0.1"), std::string::npos);
    EXPECT_EQ(round_trip(s.port, query_packet("*bob"))->size(), 4u);

    ::kill(s.child.pid, SIGUSR1);
    ASSERT_TRUE(wait_for_text(s.child.out_path, "page writes", 3000)) << s.out();
    EXPECT_NE(s.out().find("  refused: 2 sign-offs, 1 take-overs, 3 forwarded from non-peers, "
                           "1 over the per-address cap\n"),
              std::string::npos)
        << s.out();
    // One line per kind and address on the error stream, not one per packet.
    EXPECT_EQ(s.err(), "quorind: sign-offs from 127.0.0.2 refused: their sites were announced from other addresses.\n"
                       "quorind: announcements from 127.0.0.2 refused: their CNAMEs are listed from other addresses.\n"
                       "quorind: forwarded packets from 127.0.0.2 refused: it is not a peer server.\n"
                       "quorind: new sites from 127.0.0.2 refused: it holds the most sites one address may (-C).\n");
}

// Sites announced against two queries: each holds every trigram of "abcd"
// (its name) and of "efgh" (its CNAME, the trigrams 8 bytes apart, as if
// in their places), and none holds either query. Both come back empty,
// and "abcd" finds the one site announced afterwards that holds it.
TEST(Outsider, FalseCandidatesLeaveAQueryItsExactAnswer)
{
    ServerProcess s;
    ASSERT_TRUE(start_server(s, kServer, {})) << s.err();
    for (std::uint32_t n = 0; n < 1000; ++n) {
        Announcement a;
        a.ssrc = make_ssrc(1000 + n);
        a.cname = "efgXXXXXXfgh" + std::to_string(n) + "@x";
        a.name = "abcXbcd " + std::to_string(n);
        a.port = 5004;
        // Two addresses, within the cap of sites per address.
        ASSERT_EQ(round_trip(s.port, announcement(a), 3000, n % 2 == 0 ? "127.1.0.1" : "127.1.0.2"), Bytes{});
    }
    EXPECT_EQ(round_trip(s.port, query_packet("abcd"), 3000), kNoMatch);
    EXPECT_EQ(round_trip(s.port, query_packet("EFGH"), 3000), kNoMatch);
    Announcement one;
    one.ssrc = make_ssrc(77);
    one.cname = "dora";
    one.name = "xABCDx";
    one.port = 5004;
    ASSERT_EQ(round_trip(s.port, announcement(one), 3000, "127.0.0.1"), Bytes{});
    const Bytes reply = round_trip(s.port, query_packet("abcd"), 3000).value_or(Bytes{});
    ASSERT_GE(reply.size(), 8u);
    EXPECT_EQ(reply[0], 0x81);
    const Ssrc ssrc = make_ssrc(77);
    EXPECT_EQ(Bytes(reply.begin() + 4, reply.begin() + 8), Bytes(ssrc.begin(), ssrc.end()));
    EXPECT_EQ(round_trip(s.port, query_packet("efgh"), 3000), kNoMatch);
}
