// SPDX-License-Identifier: BSD-2-Clause
// The real quorind on a free loopback port, spoken to with raw bytes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <thread>

#include "devkit/files.h"
#include "devkit/loopback.h"
#include "devkit/packets.h"
#include "devkit/procfs.h"
#include "devkit/server_process.h"
#include "devkit/sites.h"

using namespace kovari;
using namespace kovari::devkit;

namespace {

const std::string kServer = QUORIND_PATH;
const std::string kFaketime = FAKETIME_PATH;

const std::string kUsage =
    "quorind  --  Kovari: Quorin Server.\n"
    " \t      Release 1.0, December 2026.\n"
    "\n"
    "Usage: quorind [options]\n"
    "Options:\n"
    " \t  -Aserv,... Accept forwarded packets from listed servers\n"
    " \t  -Baddress  Listen on this IPv4 address only\n"
    " \t  -Csites    Hold at most this many sites per address [1000]\n"
    " \t  -D\t     Debugging output on stderr\n"
    " \t  -Fserv,... Forward to listed servers\n"
    " \t  -Hpath     Write HTML status on base path\n"
    " \t  -Insec     Interval between HTML updates\n"
    " \t  -Jpath     Write JSON status as path.json\n"
    " \t  -Mfile     Load server message from file\n"
    " \t  -Nsites    Hold at most this many sites [1000000]\n"
    " \t  -Pport     Listen on given port\n"
    " \t  -Sfile     Keep the sites in this state file across restarts\n"
    " \t  -U\t     Print this message\n"
    " \t  -V[V]      List connections and disconnects [-VV: all packets]\n"
    " \t  -Xpath     Write metrics for Prometheus to path.prom\n"
    " \t  -Zpath     Write HTML private directory on base path\n"
    "\n";

Bytes ann_announcement() { return announcement(sample_ann()); }

// Announcements get no reply: the server just closes.
void announce(int port, const Bytes& packet, const char* from = nullptr)
{
    const auto r = round_trip(port, packet, 5000, from);
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE(r->empty());
}

Bytes item(std::uint8_t type, const std::string& text)
{
    Bytes b(2 + text.size());
    b[0] = type;
    b[1] = std::uint8_t(text.size());
    std::copy(text.begin(), text.end(), b.begin() + 2);
    return b;
}

// The activity log with each line's clock ("14:05 ") written as "HH:MM ",
// so that the lines can be compared whole whatever the time of day.
std::string clock_masked(std::string log)
{
    const auto digit = [](char c, char last) { return c >= '0' && c <= last; };
    std::size_t at = 0;
    while (at + 6 <= log.size()) {
        if (digit(log[at], '2') && digit(log[at + 1], '9') && log[at + 2] == ':' && digit(log[at + 3], '5') &&
            digit(log[at + 4], '9') && log[at + 5] == ' ')
            log.replace(at, 5, "HH:MM");
        const std::size_t end = log.find('\n', at);
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return log;
}

}  // namespace

TEST(ServerCommandLine, UsageTextEndsWithStatusZero)
{
    for (const char* opt : {"-u", "-?", "-U"}) {
        const auto r = run_program({kServer, opt});
        EXPECT_EQ(r.status, 0) << opt;
        EXPECT_EQ(r.err.substr(0, kUsage.size()), kUsage) << opt;
        EXPECT_EQ(r.out, "");
    }
}

TEST(ServerCommandLine, UnknownLettersAndALoneDashAreIgnored)
{
    const auto r = run_program({kServer, "-y", "-", "-VX", "-u"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.substr(0, kUsage.size()), kUsage);
}

TEST(ServerCommandLine, ArgumentWithoutDashGivesUsageAndStatusTwo)
{
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{kServer, "foo"}, std::vector<std::string>{kServer, "-P", "2077"}}) {
        const auto r = run_program(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err.substr(0, kUsage.size()), kUsage);
    }
}

TEST(ServerCommandLine, HelpAndVersionOnTheStandardOutputAndAnUnknownListenAddress)
{
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    } cases[] = {
        {{"--help"}, 0, kUsage, ""},
        {{"--version"}, 0, std::string("quorind ") + KOVARI_VERSION + "\n", ""},
        {{"-D", "--version", "-x"}, 0, std::string("quorind ") + KOVARI_VERSION + "\n", ""},
        {{"-B", "-P0"}, 1, "", "quorind: listen address  is unknown.\n"},
        {{"-S", "-P0"}, 2, "", "quorind: -S needs the name of a state file.\n"},
        {{"-X", "-P0"}, 2, "", "quorind: -X needs the base path of a metrics file.\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{kServer};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = run_program(argv);
        EXPECT_EQ(r.status, c.status) << c.args[0];
        EXPECT_EQ(r.out.substr(0, c.out.size()), c.out) << c.args[0];
        EXPECT_EQ(r.err, c.err) << c.args[0];
    }
}

TEST(ServerCommandLine, ListenAddressKeepsOtherAddressesOut)
{
    ServerProcess s;
    ASSERT_TRUE(start_server(s, kServer, {"-B127.0.0.1"})) << s.err();
    EXPECT_EQ(round_trip(s.port, query_packet("x")), (Bytes{0x80, 0xCA, 0, 0}));
    Fd other(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in to = loopback_address(s.port);
    to.sin_addr.s_addr = htonl(0x7f000002);  // 127.0.0.2
    EXPECT_NE(::connect(other.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    EXPECT_EQ(errno, ECONNREFUSED);
}

TEST(ServerCommandLine, UnreadableMessageFileEndsBeforeTheUsage)
{
    // A directory opens, and fails at the first read.
    for (const std::string path : {"/nonexistent/motd", "/"}) {
        const auto r = run_program({kServer, "-M" + path, "-U"});
        EXPECT_EQ(r.status, 2) << path;
        EXPECT_EQ(r.err, "quorind: can't open server message file " + path + "\n");
    }
}

TEST(ServerCommandLine, PortInUseIsABindFailure)
{
    ServerProcess first;
    ASSERT_TRUE(start_server(first, kServer, {}));
    const auto r = run_program({kServer, "-P" + std::to_string(first.port)});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "binding stream socket: Address already in use\n");
}

TEST(ServerExchange, MatchReplyIsExactToTheByte)
{
    ServerProcess s;
    ASSERT_TRUE(start_server(s, kServer, {}));
    announce(s.port, ann_announcement());
    const auto r = round_trip(s.port, query_packet("*ANN.LEE"));
    ASSERT_TRUE(r);
    // The time item carries the server's clock: take it from the reply.
    Bytes want = {0x81, 0xCA, 0x00, 0x00, 0xAA, 0xBB, 0xCC, 0xDD};
    for (const auto& b : {item(1, "ann"), item(2, "Anne Lee"), item(3, "Ann.Lee"), item(8, "\1P2076"),
                          item(8, "\1I127.0.0.1")})
        want.insert(want.end(), b.begin(), b.end());
    ASSERT_GT(r->size(), want.size() + 3);
    const std::size_t tlen = (*r)[want.size() + 1];
    const std::string t(r->begin() + long(want.size()) + 2, r->begin() + long(want.size() + 2 + tlen));
    ASSERT_EQ(t.size(), 12u) << t;
    EXPECT_EQ(t.substr(0, 2), "\1T");
    EXPECT_EQ(t.find_first_not_of("0123456789", 2), std::string::npos) << t;
    const auto b = item(8, t);
    want.insert(want.end(), b.begin(), b.end());
    want.push_back(0);
    while (want.size() % 4 != 0)
        want.push_back(0);
    want[3] = std::uint8_t(want.size() / 4 - 1);
    EXPECT_EQ(want.size(), 68u);
    EXPECT_EQ(*r, want);
    // Unlisted: an empty query does not find it.
    EXPECT_EQ(round_trip(s.port, query_packet("")), (Bytes{0x80, 0xCA, 0, 0}));
}

TEST(ServerExchange, EmptyQueryReplyIsCappedAt512Bytes)
{
    ServerProcess s;
    ASSERT_TRUE(start_server(s, kServer, {}));
    for (std::uint32_t i = 0; i < 30; ++i) {
        Announcement a;
        a.ssrc = make_ssrc(i);
        a.cname = "user" + std::to_string(i) + "@example.org";
        a.name = "User Number " + std::to_string(i);
        announce(s.port, announcement(a));
    }
    const auto r = round_trip(s.port, query_packet(""));
    ASSERT_TRUE(r);
    EXPECT_LE(r->size(), 512u);
    EXPECT_GT(r->size(), 512u - 80);
    EXPECT_EQ((*r)[0] & 0xE0, 0x80);
    EXPECT_EQ(std::size_t((*r)[2] << 8 | (*r)[3]), r->size() / 4 - 1);
    // The newest site comes first.
    EXPECT_EQ(Bytes(r->begin() + 4, r->begin() + 8), (Bytes{29, 0, 0, 0}));
}

TEST(ServerExchange, ServerMessageWithAndWithoutFile)
{
    {
        ServerProcess s;
        ASSERT_TRUE(start_server(s, kServer, {}));
        EXPECT_EQ(round_trip(s.port, message_request()),
                  (Bytes{0x81, 0xCC, 0, 2, 0, 0, 0, 0, 'K', 'V', 'm', 'r', 0}));
    }
    {
        const std::string text("Welcome.\n\0binary\r\n", 18);
        const TempDir dir("kovari-e2e");
        ASSERT_TRUE(write_file(dir / "motd", text));
        ServerProcess s;
        ASSERT_TRUE(start_server(s, kServer, {"-M" + (dir / "motd")}));
        const auto r = round_trip(s.port, message_request());
        ASSERT_TRUE(r);
        ASSERT_EQ(r->size(), text.size() + 13);
        EXPECT_EQ(std::string(r->begin() + 12, r->end() - 1), text);
        EXPECT_EQ(r->back(), 0);
        EXPECT_EQ((*r)[3], 6);  // 31 bytes: 7 whole words, less one
    }
}

TEST(ServerExchange, MalformedPacketsGetNothingAndTheServerGoesOn)
{
    ServerProcess s;
    ASSERT_TRUE(start_server(s, kServer, {"-D"}));
    {
        // A client that closes without sending anything.
        Fd c = connect_loopback(s.port);
        ::shutdown(c.get(), SHUT_WR);
        EXPECT_EQ(read_to_eof(c.get(), 2000), Bytes{});
    }
    const Bytes bad[] = {
        {0x81},                               // one byte
        {0x81, 0xCD, 0, 1, 0, 0, 0, 0},       // type 205
        {0xA1, 0xCA, 0, 1, 0, 0, 0, 0},       // padding flag
        {0x81, 0xCA, 0, 9, 0, 0, 0, 0},       // length past the end
        {0x81, 0xCB, 0, 0},                   // BYE without its SSRC
        {0x81, 0xCC, 0, 0},                   // APP without its name
        {0xC1, 0xCC, 0, 0, 1},                // "forwarded", then too short
        {0x82, 0xCB, 0, 1, 1, 2, 3, 4},       // two SSRCs claimed
        {0x80, 0xC8, 0, 0},                   // sender report alone
        Bytes(1024, 0xFF),                    // the largest receive of junk
    };
    for (const auto& b : bad) {
        // The client closes its side after the packet: one whose lengths
        // ask for more is then taken as it stands, without waiting 10 s.
        Fd c = connect_loopback(s.port);
        ASSERT_TRUE(c.valid() && send_bytes(c.get(), b));
        ::shutdown(c.get(), SHUT_WR);
        const auto r = read_to_eof(c.get(), 5000);
        ASSERT_TRUE(r);
        EXPECT_TRUE(r->empty());
        EXPECT_EQ(round_trip(s.port, query_packet("x")), (Bytes{0x80, 0xCA, 0, 0}));
    }
    EXPECT_TRUE(wait_for_text(s.child.err_path,
                              "quorind: discarded RTCP packet with unknown payload from 127.0.0.1.\n", 2000));
    EXPECT_NE(s.err().find("quorind: discarded invalid RTCP packet from 127.0.0.1.\n"), std::string::npos);
}

TEST(ServerLog, ActivityAndPacketLines)
{
    ServerProcess s;
    ASSERT_TRUE(start_server(s, kServer, {"-VV"}));
    announce(s.port, ann_announcement());
    announce(s.port, ann_announcement());  // a refresh: no second Connect
    round_trip(s.port, query_packet("Smith"));
    round_trip(s.port, message_request());
    announce(s.port, bye_packet({0xAA, 0xBB, 0xCC, 0xDD}));
    ASSERT_TRUE(wait_for_text(s.child.out_path, "Bye:", 2000));
    const std::string p = "quorind: 127.0.0.1 ";
    EXPECT_EQ(clock_masked(s.out()), p + "accept\n" + p + "SDES DDCCBBAA\n" +
                                         "HH:MM Connect: 127.0.0.1:2076 *Ann.Lee (Anne <b>Lee</b>)\n" +
                                         p + "accept\n" + p + "SDES DDCCBBAA\n" +
                                         p + "accept\n" + p + "APP KVlq\n" + p + "query \"Smith\"\n" +
                                         p + "accept\n" + p + "APP KVms\n" + p + "server message request\n" +
                                         p + "accept\n" + p + "BYE DDCCBBAA\n" +
                                         "HH:MM Bye:     127.0.0.1:2076 *Ann.Lee (Anne <b>Lee</b>)\n");
}

TEST(ServerLog, SingleVPrintsOnlyTheActivityLog)
{
    ServerProcess s;
    ASSERT_TRUE(start_server(s, kServer, {"-V"}));
    announce(s.port, ann_announcement());
    round_trip(s.port, query_packet("x"));
    ASSERT_TRUE(wait_for_text(s.child.out_path, "Connect:", 2000));
    EXPECT_EQ(clock_masked(s.out()), "HH:MM Connect: 127.0.0.1:2076 *Ann.Lee (Anne <b>Lee</b>)\n");
}

TEST(ServerLoop, IdleConnectionsDoNotStallOtherClients)
{
    ServerProcess s;
    ASSERT_TRUE(start_server(s, kServer, {}));
    std::vector<Fd> idle;
    for (int i = 0; i < 100; ++i) {
        // From two other addresses, each under its cap of waiting connections.
        idle.push_back(connect_loopback(s.port, i % 2 == 0 ? "127.0.0.2" : "127.0.0.3"));
        ASSERT_TRUE(idle.back().valid());
    }
    const auto start = std::chrono::steady_clock::now();
    const auto r = round_trip(s.port, query_packet("anyone"), 2000);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r, (Bytes{0x80, 0xCA, 0, 0}));
    EXPECT_LT(took, std::chrono::milliseconds(500));
}

TEST(ServerLoop, ConnectionThatSendsNothingIsClosedAfterTenSeconds)
{
    if (kFaketime.empty())
        GTEST_SKIP() << "faketime is not installed";
    ServerProcess s;
    // Ten server seconds pass in a tenth of a real one.
    ASSERT_TRUE(start_server(s, kServer, {"-D"}, {kFaketime, "-f", "+0 x100"}));
    Fd quiet = connect_loopback(s.port);
    ASSERT_TRUE(quiet.valid());
    const auto r = read_to_eof(quiet.get(), 3000);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->empty());
    EXPECT_TRUE(wait_for_text(s.child.err_path, "quorind: discarded invalid RTCP packet from 127.0.0.1.\n",
                              2000));
}

TEST(ServerLoop, SitesExpireAfter900SecondsOfSilence)
{
    if (kFaketime.empty())
        GTEST_SKIP() << "faketime is not installed";
    ServerProcess s;
    ASSERT_TRUE(start_server(s, kServer, {"-V"}, {kFaketime, "-f", "+0 x200"}));
    Announcement a;
    a.cname = "quiet";
    a.port = 5004;
    announce(s.port, announcement(a));
    EXPECT_EQ((*round_trip(s.port, query_packet("quiet")))[0], 0x81);
    // 900 s of silence and the next 120 s sweep: about 5 s at 200 times.
    ASSERT_TRUE(wait_for_text(s.child.out_path, "Timeout: 127.0.0.1:5004 quiet\n", 15000)) << s.out();
    EXPECT_EQ(round_trip(s.port, query_packet("quiet")), (Bytes{0x80, 0xCA, 0, 0}));
}

TEST(ServerLoop, TerminationSignalsEndWithStatusZero)
{
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        ServerProcess s;
        ASSERT_TRUE(start_server(s, kServer, {"-V"}));
        ::kill(s.child.pid, sig);
        EXPECT_EQ(wait_child(s.child, 3000), 0) << sig;
        EXPECT_FALSE(connect_loopback(s.port).valid());
    }
}

TEST(ServerLoop, FullTableRefusesNewSitesAndSaysSoOnce)
{
    ServerProcess s;
    ASSERT_TRUE(start_server(s, kServer, {"-N1"})) << s.err();
    announce(s.port, ann_announcement());
    for (const char* cname : {"bob", "cy", "dee"}) {
        Announcement a;
        a.cname = cname;
        announce(s.port, announcement(a));
    }
    EXPECT_GT(round_trip(s.port, query_packet("*ann.lee"))->size(), 4u);
    EXPECT_EQ(round_trip(s.port, query_packet("bob")), (Bytes{0x80, 0xCA, 0, 0}));
    EXPECT_EQ(s.err(), "quorind: the site table is full (1 sites), new sites are refused.\n");
}

TEST(ServerLoop, StatisticsOnSigusr1CountWhatWasDone)
{
    ServerProcess s;
    ASSERT_TRUE(start_server(s, kServer, {})) << s.err();
    announce(s.port, ann_announcement());
    announce(s.port, ann_announcement());
    for (int k = 0; k < 3; ++k)
        ASSERT_TRUE(round_trip(s.port, query_packet("ann")));
    ::kill(s.child.pid, SIGUSR1);
    ASSERT_TRUE(wait_for_text(s.child.out_path, "page writes", 3000)) << s.out();
    EXPECT_NE(s.out().find("  announcements: 1 new, 1 repeated, 0 refused (table full)\n"), std::string::npos)
        << s.out();
    EXPECT_NE(s.out().find("  queries: 3, 0 refused as too costly\n"), std::string::npos) << s.out();
    // The server goes on, table and all.
    EXPECT_GT(round_trip(s.port, query_packet("*ann.lee"))->size(), 4u);
}

TEST(ServerLoop, ServiceManagerHearsReadyStatusAndStopping)
{
    TempDir dir("kovari-test-notify");
    const std::string path = dir / "notify";
    Fd manager(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(manager.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    ServerProcess s;
    ASSERT_TRUE(start_server(s, kServer, {}, {}, {"NOTIFY_SOCKET=" + path})) << s.err();
    // Sent once the port accepts connections, which start_server waited for.
    const Bytes ready = receive_once(manager.get(), 3000);
    EXPECT_EQ(std::string(ready.begin(), ready.end()),
              "READY=1\nSTATUS=listening on *:" + std::to_string(s.port) +
                  ", 0 sites, 0 requests since start");
    ::kill(s.child.pid, SIGTERM);
    EXPECT_EQ(wait_child(s.child, 3000), 0);
    const Bytes stopping = receive_once(manager.get(), 3000);
    EXPECT_EQ(std::string(stopping.begin(), stopping.end()), "STOPPING=1");
}

TEST(ServerLoop, ClientsThatResetDoNotEndTheServer)
{
    ServerProcess s;
    ASSERT_TRUE(start_server(s, kServer, {}));
    for (int i = 0; i < 50; ++i) {
        Fd c = connect_loopback(s.port);
        ASSERT_TRUE(c.valid());
        linger lg{1, 0};
        ::setsockopt(c.get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        send_bytes(c.get(), message_request());
    }  // each close sends a reset
    EXPECT_EQ((*round_trip(s.port, message_request())).size(), 13u);
    EXPECT_FALSE(wait_child(s.child, 0).has_value());
}

namespace {

// User plus system CPU time of a process, in clock ticks.
long cpu_ticks(pid_t pid)
{
    const auto stat = read_proc_stat(pid);
    return stat ? long(stat->utime_ticks + stat->stime_ticks) : 0;
}

}  // namespace

TEST(ServerLoop, RunningOutOfDescriptorsPausesAcceptingWithoutSpinning)
{
    ServerProcess s;
    // A limit of 12 descriptors leaves room for a handful of connections.
    ASSERT_TRUE(start_server(s, kServer, {}, {"sh", "-c", "ulimit -n 12 && exec \"$0\" \"$@\""}));
    std::vector<Fd> idle;
    for (int i = 0; i < 20; ++i)
        idle.push_back(connect_loopback(s.port));
    ASSERT_TRUE(wait_for_text(s.child.err_path, "accepting connection to socket: Too many open files\n", 3000));
    const long before = cpu_ticks(s.child.pid);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LT(cpu_ticks(s.child.pid) - before, 20);  // well under half a CPU
    idle.clear();
    // Once the idle clients are gone the server answers again.
    const auto r = round_trip(s.port, query_packet("x"), 3000);
    EXPECT_EQ(r, (Bytes{0x80, 0xCA, 0, 0}));
    EXPECT_FALSE(wait_child(s.child, 0).has_value());
}
