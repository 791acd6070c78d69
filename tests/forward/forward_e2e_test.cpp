// SPDX-License-Identifier: BSD-2-Clause
// Real servers forwarding to each other and to peers played by this test,
// all on loopback. Voice programs get distinct origin addresses by binding
// to 127.0.0.2, 127.0.0.3.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "devkit/files.h"
#include "devkit/loopback.h"
#include "devkit/packets.h"
#include "devkit/process.h"
#include "devkit/server_process.h"

namespace kovari::testing {
using namespace kovari::devkit;
namespace {

using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point t)
{
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// A peer server played by the test: it accepts and records what arrives.
struct RecordingPeer {
    int port = 0;
    Fd fd;
    explicit RecordingPeer(int backlog = 16) : fd(listen_loopback(backlog, port)) {}
    // The bytes of the next connection, or nullopt when none comes.
    std::optional<Bytes> next_copy(int timeout_ms)
    {
        const Fd conn = accept_within(fd.get(), timeout_ms);
        if (!conn.valid())
            return std::nullopt;
        return read_to_eof(conn.get(), 2000);
    }
    std::string peer_option() const { return "-F127.0.0.1:" + std::to_string(port); }
};

// A peer that never completes a handshake: its backlog is full and it
// never accepts, so further SYNs are dropped and connects hang.
struct UnresponsivePeer {
    RecordingPeer listener{0};
    Fd queued, hanging;
    UnresponsivePeer()
    {
        queued = connect_loopback(listener.port);  // takes the one place in the queue
        hanging = begin_connect(listener.port);
    }
};

Bytes announce(const std::string& cname, std::uint32_t ssrc)
{
    Announcement a;
    a.ssrc = make_ssrc(ssrc);
    a.cname = cname;
    a.name = "Voice " + cname;
    a.port = 5004;
    return announcement(a);
}

void tell(int port, const Bytes& packet, const char* from)
{
    ASSERT_TRUE(round_trip(port, packet, 3000, from).has_value());
}

std::size_t occurrences(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST(Forwarding, RecordingPeerSeesTheMarkedPacketWithTheOriginBehindIt)
{
    RecordingPeer peer;
    ServerProcess s;
    ASSERT_TRUE(start_server(s, QUORIND_PATH, {"-D", peer.peer_option()})) << s.err();

    tell(s.port, bye_packet(make_ssrc(0x0A0B0C0D)), "127.0.0.2");
    const Bytes want_bye = {0xC1, 0xCB, 0x00, 0x01, 0x0D, 0x0C, 0x0B, 0x0A, 127, 0, 0, 2};
    EXPECT_EQ(peer.next_copy(2000), want_bye);

    const Bytes compound = concat({receiver_report(make_ssrc(5)), announce("ann", 5)});
    tell(s.port, compound, "127.0.0.3");
    Bytes want = compound;
    want[0] |= 0x40;
    want.insert(want.end(), {127, 0, 0, 3});
    EXPECT_EQ(peer.next_copy(2000), want);

    // Each copy is reported once delivered (-D also dumps the site between).
    // The report follows the send, so the peer may see the copy first.
    const std::string line = "quorind: forwarded packet to server 127.0.0.1.\n";
    for (int i = 0; i < 200 && occurrences(s.err(), line) < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(occurrences(s.err(), line), 2u) << s.err();
}

TEST(Forwarding, ForwardedPacketsQueriesAndRefusedAnnouncementsAreNotForwarded)
{
    RecordingPeer peer;
    ServerProcess s;
    ASSERT_TRUE(start_server(s, QUORIND_PATH, {peer.peer_option(), "-A127.0.0.2"})) << s.err();
    tell(s.port, forwarded(announce("ann", 1), ipv4("127.0.0.9")), "127.0.0.2");
    tell(s.port, forwarded(bye_packet(make_ssrc(1)), ipv4("127.0.0.9")), "127.0.0.2");
    ASSERT_TRUE(round_trip(s.port, query_packet(""), 3000).has_value());
    tell(s.port, sdes_packet(make_ssrc(2), {{kItemNAME, "no cname"}}), "127.0.0.2");
    EXPECT_EQ(peer.next_copy(300), std::nullopt);
}

TEST(Forwarding, ThreeServersShareAnnouncementsForOneHop)
{
    // C forwards to nobody: -A names the server whose copies it takes.
    ServerProcess c;
    ASSERT_TRUE(start_server(c, QUORIND_PATH, {"-D", "-V", "-A127.0.0.1"})) << c.err();
    // A and B forward to each other, so A's port is chosen before either
    // starts. Another process (a server of a test running beside this one,
    // a client's connection) may take that port before A binds it; then
    // A ends at once and the pair starts again on another port.
    std::optional<ServerProcess> a, b;
    for (int attempt = 0; attempt < 10; ++attempt) {
        a.reset();
        b.reset();
        const int port_a = free_port();
        b.emplace();
        ASSERT_TRUE(start_server(*b, QUORIND_PATH, {"-D", "-V", "-F127.0.0.1:" + std::to_string(port_a)}))
            << b->err();
        a.emplace();
        if (start_server_on(*a, port_a, QUORIND_PATH,
                            {"-D", "-V",
                             "-F127.0.0.1:" + std::to_string(b->port) + ",127.0.0.1:" +
                                 std::to_string(c.port)}))
            break;
        ASSERT_NE(a->err().find("binding stream socket: Address already in use"), std::string::npos) << a->err();
        a.reset();
    }
    ASSERT_TRUE(a.has_value()) << "no free port for A in 10 attempts";

    // Announced to A: listed by B and C under the voice program's address.
    tell(a->port, announce("ann", 1), "127.0.0.2");
    EXPECT_TRUE(wait_for_text(b->child.out_path, " Connect: 127.0.0.2:5004 ann (Voice ann)\n", 2000));
    EXPECT_TRUE(wait_for_text(c.child.out_path, " Connect: 127.0.0.2:5004 ann (Voice ann)\n", 2000));

    // Announced to B: A lists it; A does not pass it on to C.
    tell(b->port, announce("bob", 2), "127.0.0.3");
    EXPECT_TRUE(wait_for_text(a->child.out_path, " Connect: 127.0.0.3:5004 bob (Voice bob)\n", 2000));

    // A sign-off travels the same way.
    tell(a->port, bye_packet(make_ssrc(1)), "127.0.0.2");
    EXPECT_TRUE(wait_for_text(c.child.out_path, " Bye:     127.0.0.2:5004 ann (Voice ann)\n", 2000));
    EXPECT_TRUE(wait_for_text(b->child.out_path, " Bye:     127.0.0.2:5004 ann (Voice ann)\n", 2000));

    // A copy from a third address is no peer's: C drops it.
    tell(c.port, forwarded(announce("eve", 3), ipv4("127.0.0.2")), "127.0.0.5");
    EXPECT_TRUE(wait_for_text(c.child.err_path,
                              "quorind: refused forwarded packet for 127.0.0.2 from 127.0.0.5: not a peer server (-F, -A).\n",
                              2000)) << c.err();

    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(c.out().find("bob"), std::string::npos) << c.out();
    EXPECT_EQ(c.out().find("eve"), std::string::npos) << c.out();
    const std::string sent = "quorind: forwarded packet to server 127.0.0.1.\n";
    const std::string got = "quorind: received forwarded packet from 127.0.0.1.\n";
    EXPECT_EQ(occurrences(a->err(), sent), 4u) << a->err();  // ann and its sign-off, to B and C
    EXPECT_EQ(occurrences(a->err(), got), 1u) << a->err();
    EXPECT_EQ(occurrences(b->err(), sent), 1u) << b->err();  // bob to A, never ann back
    EXPECT_EQ(occurrences(b->err(), got), 2u) << b->err();
    EXPECT_EQ(occurrences(c.err(), sent), 0u) << c.err();
}

TEST(Forwarding, DashDBeforeDashFShowsThePeersAfterItDoesNot)
{
    const auto before = run_program({QUORIND_PATH, "-D", "-F10.0.0.1:99,bad host!", "-U"});
    EXPECT_EQ(before.status, 0);
    EXPECT_EQ(before.err.rfind("quorind: forwarding to QRN server 10.0.0.1: 10.0.0.1.\n"
                               "quorind: warning, forward destination bad host! unknown.\n"
                               "quorind  --  Kovari: Quorin Server.\n",
                               0),
              0u)
        << before.err;
    const auto after = run_program({QUORIND_PATH, "-F10.0.0.1:99,bad host!", "-D", "-U"});
    EXPECT_EQ(after.err.rfind("quorind: warning, forward destination bad host! unknown.\n"
                              "quorind  --  Kovari: Quorin Server.\n",
                              0),
              0u)
        << after.err;
}

// Forwarding to a peer that never answers costs the other clients nothing:
// the copies wait in the event loop, at most kMaxCopiesPerPeer (64) of them.
TEST(Forwarding, UnresponsivePeerDoesNotDelayOtherClients)
{
    UnresponsivePeer dead;
    ServerProcess s;
    ASSERT_TRUE(start_server(s, QUORIND_PATH, {dead.listener.peer_option()})) << s.err();

    const auto start = Clock::now();
    // 136 copies beyond the 64 that may wait: one line says so.
    for (int i = 0; i < 200; ++i)
        tell(s.port, announce("site" + std::to_string(i), std::uint32_t(i + 1)), "127.0.0.2");
    const auto asked = Clock::now();
    const auto reply = round_trip(s.port, query_packet("site199"), 3000);
    EXPECT_LT(ms_since(asked), 1000);
    EXPECT_LT(ms_since(start), 2000);
    ASSERT_TRUE(reply.has_value());
    EXPECT_GT(reply->size(), 4u);  // site199 is listed
    EXPECT_EQ(s.err(), "quorind: too many packets waiting for server 127.0.0.1, one dropped.\n");
}

// Under a clock ten times as fast, the five seconds pass in half a second.
TEST(Forwarding, CopyForAnUnresponsivePeerIsDroppedAfterFiveSeconds)
{
    if (std::string(FAKETIME_LIB).empty())
        GTEST_SKIP() << "libfaketime is not installed";
    UnresponsivePeer dead;
    ServerProcess s;
    ASSERT_TRUE(start_server(s, QUORIND_PATH, {"-D", dead.listener.peer_option()}, {},
                             {"LD_PRELOAD=" FAKETIME_LIB, "FAKETIME=+0 x10"})) << s.err();
    tell(s.port, announce("ann", 1), "127.0.0.2");
    const auto sent = Clock::now();
    EXPECT_TRUE(wait_for_text(s.child.err_path, "connecting forwarding socket: Connection timed out\n", 3000))
        << s.err();
    EXPECT_GE(ms_since(sent), 300);  // not before its time (5 s fake is 0.5 s real)
    EXPECT_EQ(s.err().find("forwarded packet to server"), std::string::npos);
    EXPECT_TRUE(round_trip(s.port, query_packet("ann"), 3000).has_value());
}

}  // namespace
}  // namespace kovari::testing

namespace kovari::testing {
namespace {

// A connection that waits for its packet has its own ten seconds, also on
// a descriptor that an earlier connection used. Under a clock ten times as
// fast: C holds the head of the wait list until 1.0 s; A waits from 0.05 s
// (limit 1.05 s), sends at 0.1 s and is done; B gets A's descriptor at
// 0.6 s (limit 1.6 s) and sends at 1.3 s: it must get its answer, not be
// closed at A's limit.
TEST(EventLoop, ReusedDescriptorKeepsItsOwnTimeLimit)
{
    if (std::string(FAKETIME_LIB).empty())
        GTEST_SKIP() << "libfaketime is not installed";
    ServerProcess s;
    ASSERT_TRUE(start_server(s, QUORIND_PATH, {}, {}, {"LD_PRELOAD=" FAKETIME_LIB, "FAKETIME=+0 x10"})) << s.err();
    const auto t0 = Clock::now();
    const auto at = [&](long ms) { std::this_thread::sleep_until(t0 + std::chrono::milliseconds(ms)); };
    const Bytes no_match = {0x80, 0xCA, 0x00, 0x00};

    Fd c = connect_loopback(s.port);
    at(50);
    Fd a = connect_loopback(s.port);
    at(100);
    ASSERT_TRUE(send_bytes(a.get(), query_packet("x")));
    EXPECT_EQ(read_to_eof(a.get(), 1000), no_match);
    a.reset();

    at(600);
    Fd b = connect_loopback(s.port);
    at(1300);
    ASSERT_TRUE(send_bytes(b.get(), query_packet("x")));
    EXPECT_EQ(read_to_eof(b.get(), 1000), no_match);
}

}  // namespace
}  // namespace kovari::testing
