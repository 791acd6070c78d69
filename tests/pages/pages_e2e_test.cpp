// SPDX-License-Identifier: BSD-2-Clause
// The real quorind writing its pages: at start-up, paced by -I, and never
// replacing a good page by a broken one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <sstream>
#include <string>
#include <thread>

#include "devkit/files.h"
#include "devkit/loopback.h"
#include "devkit/packets.h"
#include "devkit/process.h"
#include "devkit/server_process.h"
#include "devkit/wait.h"

namespace kovari::testing {
using namespace kovari::devkit;
namespace {

// The folder of a test's pages, removed with them at its end.
struct PageDir : TempDir {
    PageDir() : TempDir("kovari-pages-e2e") {}
};

Bytes announce(const std::string& cname, std::uint32_t ssrc)
{
    Announcement a;
    a.ssrc = make_ssrc(ssrc);
    a.cname = cname;
    a.port = 5004;
    return announcement(a);
}

// Sends a packet that gets no reply; returns once the server has closed the
// connection, that is once it has acted on the packet.
void tell(int port, const Bytes& packet, const char* from = "127.0.0.2")
{
    ASSERT_TRUE(round_trip(port, packet, 3000, from).has_value());
}

TEST(HtmlPagesServer, BothPagesAreWrittenAtStartUp)
{
    PageDir dir;
    ServerProcess s;
    ASSERT_TRUE(start_server(s, QUORIND_PATH, {"-H" + (dir / "pub"), "-Z" + (dir / "priv")})) << s.err();
    EXPECT_TRUE(wait_for_text(dir / "pub.html", "<h2>No sites active.</h2>\n</body>\n</html>\n", 2000));
    EXPECT_TRUE(wait_for_text(dir / "priv.html", "<h2>No sites active.</h2>\n</body>\n</html>\n", 2000));
    EXPECT_FALSE(path_exists(dir / "pub.new"));
    EXPECT_FALSE(path_exists(dir / "priv.new"));
}

// Pages are written by a child of the server while requests go on: each
// change is on the page after the write under way and one more at most.
TEST(HtmlPagesServer, WithIntervalZeroEveryChangeReachesThePage)
{
    PageDir dir;
    ServerProcess s;
    ASSERT_TRUE(start_server(s, QUORIND_PATH, {"-D", "-I0", "-H" + (dir / "pub"), "-Z" + (dir / "priv")})) << s.err();
    tell(s.port, announce("<ann>", 7));
    EXPECT_TRUE(wait_for_text(dir / "pub.html",
                              "<h2>1 site active.</h2>\n<pre>\n\n127.0.0.2:5004" + std::string(10, ' ') +
                                  " &lt;ann&gt;" + std::string(43, ' ') + " ",
                              2000))
        << read_file(dir / "pub.html");
    tell(s.port, announce("*bob", 8), "127.0.0.3");
    EXPECT_TRUE(wait_for_text(dir / "priv.html",
                              "<h2>2 sites active.</h2>\n<pre>\n\n127.0.0.3:5004" + std::string(10, ' ') + " *bob ",
                              2000))
        << read_file(dir / "priv.html");

    tell(s.port, bye_packet(make_ssrc(7)));
    tell(s.port, bye_packet(make_ssrc(8)), "127.0.0.3");  // each from its own address
    EXPECT_TRUE(wait_for_text(dir / "priv.html", "<h2>No sites active.</h2>", 2000));
    EXPECT_TRUE(wait_for_text(dir / "pub.html", "<h2>No sites active.</h2>", 2000));
    EXPECT_FALSE(path_exists(dir / "pub.new"));
}

// The JSON page as a program reads it: parsed by jq and compared field by
// field after announcements, a sign-off and an unlisted site.
TEST(JsonPageServer, ListedSitesReachTheJsonPageAsJqReadsThem)
{
    if (run_program({"jq", "--version"}).status != 0)
        GTEST_SKIP() << "jq is not installed";
    PageDir dir;
    ServerProcess s;
    const std::string path = dir / "live.json";
    const long long before = std::time(nullptr);
    ASSERT_TRUE(start_server(s, QUORIND_PATH, {"-I0", "-J" + (dir / "live")})) << s.err();
    Announcement ann;
    ann.ssrc = make_ssrc(0xA1B2C3D4);
    ann.cname = "ann@x";
    ann.name = "Ren\xe9 \"R\"\t\x01";
    ann.email = "ann@example.org";
    ann.tool = "kv \xc5\x81";
    ann.port = 5004;
    tell(s.port, announcement(ann));
    tell(s.port, announce("bob", 8), "127.0.0.3");
    tell(s.port, announce("*carol", 9), "127.0.0.4");
    tell(s.port, bye_packet(make_ssrc(8)), "127.0.0.3");
    tell(s.port, announce("dave", 10), "127.0.0.5");
    // Each write shows the table as it stood: once dave is there, so is
    // every change before him.
    EXPECT_TRUE(wait_until(3000, 5, [&] { return read_file(path).find("\"dave\"") != std::string::npos; }))
        << read_file(path);
    const long long after = std::time(nullptr);
    EXPECT_FALSE(path_exists(dir / "live.json.new"));

    const RunResult fields = run_program(
        {"jq", "-c", ".sites[] | [.ssrc, .cname, .name, .email, .phone, .loc, .tool, .address, .port]", path});
    EXPECT_EQ(fields.status, 0) << fields.err;
    EXPECT_EQ(fields.out,
              "[\"0000000A\",\"dave\",null,null,null,null,null,\"127.0.0.5\",5004]\n"
              "[\"A1B2C3D4\",\"ann@x\",\"Ren\xc3\xa9 \\\"R\\\"\\t\\u0001\",\"ann@example.org\",null,null,"
              "\"kv \xc5\x81\",\"127.0.0.2\",5004]\n");
    const RunResult times = run_program({"jq", "-r", ".as_of, .sites[].time", path});
    EXPECT_EQ(times.status, 0) << times.err;
    std::istringstream lines(times.out);
    int count = 0;
    for (long long t = 0; lines >> t; ++count)
        EXPECT_TRUE(t >= before && t <= after) << t;
    EXPECT_EQ(count, 3) << times.out;
}

// Starts a server whose clock libfaketime reads from `clock` (which this
// writes as "+0"), with more of libfaketime's settings in `env`.
bool start_with_clock(ServerProcess& s, const std::string& clock, const std::vector<std::string>& options,
                      std::vector<std::string> env = {})
{
    if (!write_file(clock, "+0\n"))
        return false;
    env.insert(env.end(), {"LD_PRELOAD=" FAKETIME_LIB, "FAKETIME_TIMESTAMP_FILE=" + clock, "FAKETIME_NO_CACHE=1"});
    return start_server(s, QUORIND_PATH, options, {}, env);
}

// The server's clock is moved through libfaketime's time file.
TEST(HtmlPagesServer, DefaultIntervalHoldsChangesBackUntilItHasPassedOrTheSweepComes)
{
    if (std::string(FAKETIME_LIB).empty())
        GTEST_SKIP() << "libfaketime is not installed";
    PageDir dir;
    const std::string clock = dir / "clock";
    ServerProcess s;
    ASSERT_TRUE(start_with_clock(s, clock, {"-D", "-H" + (dir / "pub")})) << s.err();
    const std::string page = dir / "pub.html";
    ASSERT_TRUE(wait_for_text(page, "No sites active.", 2000));

    tell(s.port, announce("ann", 1));
    EXPECT_NE(read_file(page).find("No sites active."), std::string::npos);

    // 121 s later the sweep is due; a query wakes the server, which runs it
    // and so writes the change held back.
    ASSERT_TRUE(write_file(clock, "+121\n"));
    ASSERT_TRUE(round_trip(s.port, query_packet(""), 3000).has_value());
    EXPECT_TRUE(wait_for_text(page, "<h2>1 site active.</h2>", 2000));
    // A child wrote it; the server paces the next write once it has heard
    // that the child ended, which its second -D line says.
    ASSERT_TRUE(wait_until(2000, 5, [&] {
        const std::string err = s.err();
        return err.find("updated", err.find("updated") + 1) != std::string::npos;
    }));

    tell(s.port, announce("bob", 2));
    EXPECT_NE(read_file(page).find("<h2>1 site active.</h2>"), std::string::npos);

    ASSERT_TRUE(write_file(clock, "+182\n"));  // 61 s after the last write
    tell(s.port, announce("carol", 3));
    EXPECT_TRUE(wait_for_text(page, "<h2>3 sites active.</h2>", 2000));
}

// /dev/full behind the temporary name: opening succeeds, writing fails.
TEST(HtmlPagesServer, FailedWriteLeavesTheOldPageIntact)
{
    PageDir dir;
    ASSERT_TRUE(write_file(dir / "pub.html", "OLD PAGE\n"));
    ASSERT_EQ(::symlink("/dev/full", (dir / "pub.new").c_str()), 0);
    ServerProcess s;
    ASSERT_TRUE(start_server(s, QUORIND_PATH, {"-I0", "-H" + (dir / "pub")})) << s.err();
    ASSERT_TRUE(wait_for_text(s.child.err_path, "writing HTML page: No space left on device\n", 2000));
    EXPECT_EQ(read_file(dir / "pub.html"), "OLD PAGE\n");
    EXPECT_FALSE(path_exists(dir / "pub.new"));

    // The failed .new is gone, so the next change writes the page.
    tell(s.port, announce("ann", 1));
    EXPECT_TRUE(wait_for_text(dir / "pub.html", "<h2>1 site active.</h2>", 2000));
    EXPECT_EQ(s.err(), "writing HTML page: No space left on device\n");
}

// Only the wall clock is stepped back, an hour, as an NTP step would: the
// pacing follows the monotonic clock, so the page goes on being written.
TEST(HtmlPagesServer, WallClockStepBackDoesNotStopThePages)
{
    if (std::string(FAKETIME_LIB).empty())
        GTEST_SKIP() << "libfaketime is not installed";
    PageDir dir;
    const std::string clock = dir / "clock";
    ServerProcess s;
    ASSERT_TRUE(start_with_clock(s, clock, {"-I1", "-H" + (dir / "pub")}, {"FAKETIME_DONT_FAKE_MONOTONIC=1"}))
        << s.err();
    const std::string page = dir / "pub.html";
    ASSERT_TRUE(wait_for_text(page, "No sites active.", 2000));
    ASSERT_TRUE(write_file(clock, "-3600\n"));
    tell(s.port, announce("ann", 1));  // the server sees the step here
    // More than the 1 s interval after the first write on the monotonic
    // clock, in whole seconds of the wall clock however the two fall.
    for (int k = 0; k < 5; ++k)
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    tell(s.port, announce("bob", 2));
    // Room for a machine under load (the sanitizer build): the write is due
    // at once, its child may be slow to start.
    EXPECT_TRUE(wait_for_text(page, "<h2>2 sites active.</h2>", 5000)) << read_file(page);
}

TEST(HtmlPagesServer, PageThatCannotBeOpenedIsReportedOnceAndTheServerGoesOn)
{
    PageDir dir;
    ASSERT_TRUE(write_file(dir / "pub.html", "OLD PAGE\n"));
    ASSERT_EQ(::mkdir((dir / "pub.new").c_str(), 0700), 0);
    ServerProcess s;
    ASSERT_TRUE(start_server(s, QUORIND_PATH, {"-I0", "-H" + (dir / "pub")})) << s.err();
    const std::string line = "quorind: can't open HTML page " + (dir / "pub.new") + ": Is a directory\n";
    // The first pages are written in the background: their report comes
    // when the writer has ended. Every write after them fails the same way.
    ASSERT_TRUE(wait_for_text(s.child.err_path, line, 3000)) << s.err();
    tell(s.port, announce("ann", 1));
    tell(s.port, announce("bob", 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(read_file(dir / "pub.html"), "OLD PAGE\n");
    EXPECT_EQ(s.err(), line);
}

// A page writer that hangs (here on a FIFO in place of the page's
// temporary file: its open waits for a reader that never comes) is killed
// after 60 s and said once, the old page stays, and the writes go on. The
// server's clock runs 100 times fast, so the 60 s take 0.6 s.
TEST(HtmlPagesServer, HungWriterIsKilledAfterSixtySecondsAndTheWritesGoOn)
{
    if (std::string(FAKETIME_LIB).empty())
        GTEST_SKIP() << "libfaketime is not installed";
    PageDir dir;
    ASSERT_TRUE(write_file(dir / "pub.html", "OLD PAGE\n"));
    ASSERT_EQ(::mkfifo((dir / "pub.new").c_str(), 0600), 0);
    ServerProcess s;
    ASSERT_TRUE(start_server(s, QUORIND_PATH, {"-I0", "-H" + (dir / "pub")}, {},
                             {"LD_PRELOAD=" FAKETIME_LIB, "FAKETIME=+0 x100"}))
        << s.err();
    // The requests go on while the writer of the first pages hangs.
    tell(s.port, announce("ann", 1));
    ASSERT_TRUE(wait_for_text(s.child.err_path, "writing HTML page: timed out after 60 s\n", 3000)) << s.err();
    EXPECT_EQ(read_file(dir / "pub.html"), "OLD PAGE\n");
    // The next writer may hang on the FIFO in its turn; once it is gone, a
    // write gets through.
    ASSERT_EQ(::unlink((dir / "pub.new").c_str()), 0);
    EXPECT_TRUE(wait_for_text(dir / "pub.html", "<h2>1 site active.</h2>", 3000)) << read_file(dir / "pub.html");
    EXPECT_EQ(s.err(), "writing HTML page: timed out after 60 s\n");
}

// At the end the server waits for a page write under way, but a hung one
// only up to the same limit.
TEST(HtmlPagesServer, HungWriterDoesNotHoldUpTheEnd)
{
    if (std::string(FAKETIME_LIB).empty())
        GTEST_SKIP() << "libfaketime is not installed";
    PageDir dir;
    ASSERT_EQ(::mkfifo((dir / "pub.new").c_str(), 0600), 0);
    ServerProcess s;
    ASSERT_TRUE(start_server(s, QUORIND_PATH, {"-I0", "-H" + (dir / "pub")}, {},
                             {"LD_PRELOAD=" FAKETIME_LIB, "FAKETIME=+0 x100"}))
        << s.err();
    ASSERT_EQ(::kill(s.child.pid, SIGTERM), 0);
    EXPECT_EQ(wait_child(s.child, 3000), 0);
    EXPECT_EQ(s.err(), "writing HTML page: timed out after 60 s\n");
    EXPECT_FALSE(path_exists(dir / "pub.html"));
}

}  // namespace
}  // namespace kovari::testing
