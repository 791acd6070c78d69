// SPDX-License-Identifier: BSD-2-Clause
// The real quorind with a state file: a stop and a start keep the
// directory, a bad file is set aside without being lost, and a kill in the
// middle of a write leaves a file that loads.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <poll.h>

#include <ctime>
#include <string>
#include <vector>

#include "devkit/files.h"
#include "devkit/loopback.h"
#include "devkit/packets.h"
#include "devkit/procfs.h"
#include "devkit/server_process.h"
#include "devkit/sites.h"
#include "server/server.h"
#include "server/state_codec.h"

namespace kovari::testing {
using namespace kovari::devkit;
namespace {

const Bytes kEmptyReply{0x80, 0xCA, 0, 0};

struct StateDir : TempDir {
    StateDir() : TempDir("kovari-restart-e2e") {}
    std::string file() const { return *this / "sites.state"; }
};

void tell(int port, const Bytes& packet, const char* from = "127.0.0.2")
{
    ASSERT_TRUE(round_trip(port, packet, 3000, from).has_value());
}

// The replies to a few queries: everything listed, the unlisted site by
// its exact text, a forwarded site by a word of its name.
std::vector<Bytes> replies(int port)
{
    std::vector<Bytes> r;
    for (const char* q : {"", "*hidden@example.org", "far", "*every@example.org"})
        r.push_back(round_trip(port, query_packet(q), 3000).value_or(Bytes{}));
    return r;
}

TEST(RestartServer, StopAndStartWithTheSameStateFileKeepsEveryReplyByteForByte)
{
    StateDir dir;
    std::vector<Bytes> before;
    {
        ServerProcess s;
        // -A: the far site below comes forwarded from 127.0.0.4.
        ASSERT_TRUE(start_server(s, QUORIND_PATH, {"-S" + dir.file(), "-A127.0.0.4"})) << s.err();
        Announcement every;
        every.ssrc = make_ssrc(1);
        every.cname = "every@example.org";
        every.name = "Every Item";
        every.email = "every@example.org";
        every.phone = "+1 555 0100";
        every.loc = "Room 7";
        every.tool = "kvtool 2.1";
        every.port = 5004;
        tell(s.port, announcement(every));
        Announcement hidden;
        hidden.ssrc = make_ssrc(2);
        hidden.cname = "*hidden@example.org";
        tell(s.port, announcement(hidden), "127.0.0.3");
        Announcement far;
        far.ssrc = make_ssrc(3);
        far.cname = "far@example.net";
        far.name = "Far Away";
        far.port = 6000;
        tell(s.port, forwarded(announcement(far), ipv4("192.0.2.44")), "127.0.0.4");
        before = replies(s.port);
        ASSERT_EQ(before[1].size() > 4 && before[2].size() > 4 && before[3].size() > 4, true);
        stop_child(s.child);
        EXPECT_EQ(s.child.status, std::optional<int>(0));
        EXPECT_EQ(s.err(), "");
    }
    ServerProcess again;
    ASSERT_TRUE(start_server(again, QUORIND_PATH, {"-S" + dir.file()})) << again.err();
    EXPECT_EQ(replies(again.port), before);
    EXPECT_EQ(again.err(), "");
}

// A state file of `n` sites, written as the server writes one.
std::string state_of(std::uint32_t n, std::time_t now)
{
    SiteTable t;
    for (std::uint32_t k = 0; k < n; ++k) {
        Announcement a;
        a.ssrc = make_ssrc(k + 1);
        a.cname = "user" + std::to_string(k) + "@example.org";
        a.name = "User Number " + std::to_string(k);
        table_enter(t, site_record(a, ipv4("192.0.2.1"), now));
    }
    return encode_state(t, now);
}

TEST(RestartServer, BadStateFilesAreReportedSetAsideAndTheServerStartsEmpty)
{
    const std::string good = state_of(3, std::time(nullptr));
    const auto with = [&](std::size_t at, char c) {
        std::string s = good;
        s[at] = c;
        return s;
    };
    const struct {
        const char* what;
        std::string content;
        std::string problem;  // after the file's name
    } cases[] = {
        {"empty", "", "is empty"},
        {"cut in the magic", good.substr(0, 5), "is truncated (5 of 40 bytes)"},
        {"cut in the header", good.substr(0, 30), "is truncated (30 of 40 bytes)"},
        {"cut in a site", good.substr(0, 60), "is truncated (60 of " + std::to_string(good.size()) + " bytes)"},
        {"cut before the checksum", good.substr(0, good.size() - 1),
         "is truncated (" + std::to_string(good.size() - 1) + " of " + std::to_string(good.size()) + " bytes)"},
        {"one byte flipped", with(50, char(good[50] ^ 0x20)), "is corrupted (its checksum does not match)"},
        {"another format", "GIF89a" + good.substr(6), "is not a state file"},
        {"a later version", with(19, 2), "has version 2; this server reads version 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        StateDir dir;
        ASSERT_TRUE(write_file(dir.file(), c.content));
        ASSERT_TRUE(write_file(dir.file() + ".bad", "an earlier bad file\n"));
        ServerProcess s;
        ASSERT_TRUE(start_server(s, QUORIND_PATH, {"-S" + dir.file()})) << s.err();
        EXPECT_EQ(round_trip(s.port, query_packet(""), 3000), kEmptyReply);
        EXPECT_EQ(s.err(), "quorind: state file " + dir.file() + " " + c.problem + "; renamed to " + dir.file() +
                               ".bad.1, starting with an empty table.\n");
        EXPECT_EQ(read_file(dir.file() + ".bad.1"), c.content);
        EXPECT_EQ(read_file(dir.file() + ".bad"), "an earlier bad file\n");
    }

}

// A state file that could never be written is refused before the server
// listens, as a bad option is: it would run on and keep nothing.
TEST(RestartServer, StateFileThatCannotBeWrittenIsRefusedAtStartWithStatusTwo)
{
    StateDir dir;
    ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0700), 0);
    const struct {
        const char* what;
        std::string file;
        std::string reason;
    } cases[] = {
        {"a missing folder", dir / "missing/sites.state", "No such file or directory"},
        {"a file for a folder", dir / "sites.state/x", "Not a directory"},
        // A directory in its place is the operator's: said, left where it is.
        {"a directory in its place", dir / "folder", "Is a directory"},
    };
    ASSERT_TRUE(write_file(dir.file(), ""));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = run_program({QUORIND_PATH, "-S" + c.file, "-P0"});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, "quorind: can't write state file " + c.file + ": " + c.reason + "\n");
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(path_exists(dir / "folder.bad"));
    EXPECT_EQ(read_file(dir.file()), "");
}

// The last write, as the server stops, is what a restart finds: when it
// fails the server says so and ends with status 3, not as a clean stop.
TEST(RestartServer, LastStateWriteThatFailsEndsWithStatusThree)
{
    StateDir dir;
    const std::string folder = dir / "state";
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    const std::string file = folder + "/sites.state";
    ServerProcess s;
    ASSERT_TRUE(start_server(s, QUORIND_PATH, {"-S" + file})) << s.err();
    Announcement a;
    a.ssrc = make_ssrc(1);
    a.cname = "ann";
    tell(s.port, announcement(a));
    ASSERT_EQ(::rmdir(folder.c_str()), 0);
    stop_child(s.child);
    EXPECT_EQ(s.child.status, std::optional<int>(3));
    EXPECT_EQ(s.err(), "quorind: can't write state file " + file + ": No such file or directory\n");
}

// The server ends on SIGTERM by writing its state; it is killed the moment
// the temporary file appears, in the middle of writing it. The file it was
// started from must still be there, whole.
TEST(RestartServer, KillInTheMiddleOfAWriteLeavesAFileThatLoads)
{
    constexpr std::uint32_t kSites = 100'000;
    StateDir dir;
    ASSERT_TRUE(write_file(dir.file(), state_of(kSites, std::time(nullptr))));
    ServerProcess s;
    ASSERT_TRUE(start_server(s, QUORIND_PATH, {"-S" + dir.file()})) << s.err();
    Announcement a;
    a.ssrc = make_ssrc(kSites + 1);
    a.cname = "one.more@example.org";
    tell(s.port, announcement(a));

    Fd watch(::inotify_init1(IN_CLOEXEC));
    ASSERT_GE(::inotify_add_watch(watch.get(), dir.path().c_str(), IN_CREATE), 0);
    ASSERT_EQ(::kill(s.child.pid, SIGTERM), 0);
    pollfd p{watch.get(), POLLIN, 0};
    const bool caught = ::poll(&p, 1, 5000) == 1;
    ::kill(s.child.pid, SIGKILL);
    for (const pid_t pid : process_tree(s.child.pid))
        ::kill(pid, SIGKILL);
    wait_child(s.child, 3000);
    EXPECT_TRUE(caught);

    ServerProcess again;
    ASSERT_TRUE(start_server(again, QUORIND_PATH, {"-S" + dir.file()})) << again.err();
    ASSERT_EQ(::kill(again.child.pid, SIGUSR1), 0);
    // The old file or the new one, never a mix: whichever it is, it loads.
    EXPECT_TRUE(wait_for_text(again.child.out_path, " sites loaded at start", 3000));
    const std::string out = again.out();
    EXPECT_TRUE(out.find("state file: 100000 sites loaded") != std::string::npos ||
                out.find("state file: 100001 sites loaded") != std::string::npos)
        << out;
    EXPECT_EQ(again.err(), "");
}

// The search texts of a large state file are filed after the server is
// ready, a slice at a time: queries meanwhile get what they get after.
TEST(RestartServer, ALargeStateFileIsSearchedAtOnceAndAlikeOnceItsTextsAreFiled)
{
    constexpr std::uint32_t kSites = 100'000;
    StateDir dir;
    ASSERT_TRUE(write_file(dir.file(), state_of(kSites, std::time(nullptr))));
    ServerProcess s;
    ASSERT_TRUE(start_server(s, QUORIND_PATH, {"-D", "-S" + dir.file()})) << s.err();
    const auto ask = [&] {
        std::vector<Bytes> r;
        for (const char* q : {"number 4242", "user99999@", "*user7@example.org", "zz"})
            r.push_back(round_trip(s.port, query_packet(q), 3000).value_or(Bytes{}));
        return r;
    };
    const std::vector<Bytes> early = ask();
    ASSERT_TRUE(wait_for_text(s.child.err_path, "quorind: search texts of the loaded sites filed, ", 5000))
        << s.err();
    EXPECT_EQ(ask(), early);
    EXPECT_GT(early[0].size(), 4u);
    EXPECT_GT(early[1].size(), 4u);
    EXPECT_GT(early[2].size(), 4u);
    EXPECT_EQ(early[3], kEmptyReply);
}

// A state writer that hangs (a FIFO in place of the temporary file) is
// killed after 60 s and said once; the old file stays, and once the cause
// is gone a write gets through. The clock runs 100 times fast: the sweep
// that starts the write comes after 1.2 s, the limit 0.6 s later.
TEST(RestartServer, HungStateWriterIsKilledAfterSixtySecondsAndTheWritesGoOn)
{
    if (std::string(FAKETIME_LIB).empty())
        GTEST_SKIP() << "libfaketime is not installed";
    StateDir dir;
    ASSERT_EQ(::mkfifo((dir.file() + ".new").c_str(), 0600), 0);
    ServerProcess s;
    ASSERT_TRUE(start_server(s, QUORIND_PATH, {"-D", "-S" + dir.file()}, {},
                             {"LD_PRELOAD=" FAKETIME_LIB, "FAKETIME=+0 x100"}))
        << s.err();
    Announcement a;
    a.ssrc = make_ssrc(1);
    a.cname = "ann@example.org";
    tell(s.port, announcement(a));
    const std::string timed_out = "quorind: can't write state file " + dir.file() + ": timed out after 60 s\n";
    ASSERT_TRUE(wait_for_text(s.child.err_path, timed_out, 5000)) << s.err();
    EXPECT_FALSE(path_exists(dir.file()));
    ASSERT_EQ(::unlink((dir.file() + ".new").c_str()), 0);
    EXPECT_TRUE(wait_for_text(s.child.err_path, "quorind: saved the sites to " + dir.file() + "\n", 5000)) << s.err();
    const std::string err = s.err();
    EXPECT_EQ(err.find(timed_out), err.rfind(timed_out)) << err;
    EXPECT_TRUE(path_exists(dir.file()));
}

}  // namespace
}  // namespace kovari::testing
