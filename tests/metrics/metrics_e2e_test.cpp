// SPDX-License-Identifier: BSD-2-Clause
// The real quorind's metrics file, read as a monitoring system reads it:
// checked by promtool and scraped through a node exporter on loopback.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "devkit/files.h"
#include "devkit/loopback.h"
#include "devkit/packets.h"
#include "devkit/process.h"
#include "devkit/server_process.h"
#include "devkit/sites.h"

namespace kovari::testing {
using namespace kovari::devkit;
namespace {

// The program's path, searched in PATH as a shell would; empty when it is
// not there.
std::string find_program(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':'))
        if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0)
            return dir + "/" + name;
    return "";
}

// A child stopped, and its output files removed, however the test ends.
struct Stopped {
    Child& child;
    ~Stopped()
    {
        stop_child(child);
        remove_output_files(child);
    }
};

// The lines of `text` that begin with `name` and a blank or a '{'.
std::vector<std::string> samples_of(const std::string& text, const std::string& name)
{
    std::vector<std::string> found;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line))
        if (line.compare(0, name.size(), name) == 0 && line.size() > name.size() &&
            (line[name.size()] == ' ' || line[name.size()] == '{'))
            found.push_back(line);
    return found;
}

TEST(MetricsFile, CheckedByPromtoolAndScrapedThroughTheNodeExporter)
{
    const std::string promtool = find_program("promtool");
    const std::string exporter = find_program("prometheus-node-exporter");
    if (promtool.empty() || exporter.empty())
        GTEST_SKIP() << "promtool or prometheus-node-exporter is not installed (Debian packages prometheus, "
                        "prometheus-node-exporter)";
    TempDir dir("kovari-metrics-e2e");
    ASSERT_TRUE(dir.valid());
    const std::string file = dir / "quorind.prom";
    {
        ServerProcess s;
        ASSERT_TRUE(start_server(s, QUORIND_PATH, {"-X" + (dir / "quorind")})) << s.err();
        // Five requests: two announcements, two queries, a message request.
        for (std::uint32_t k = 1; k <= 2; ++k) {
            Announcement a;
            a.ssrc = make_ssrc(k);
            a.cname = "user" + std::to_string(k) + "@example.org";
            ASSERT_TRUE(round_trip(s.port, announcement(a), 3000).has_value());
        }
        for (const char* q : {"user", "nobody"})
            ASSERT_TRUE(round_trip(s.port, query_packet(q), 3000).has_value());
        ASSERT_TRUE(round_trip(s.port, message_request(), 3000).has_value());
        // The last write comes as the server stops.
        stop_child(s.child);
        EXPECT_EQ(s.child.status, std::optional<int>(0));
        EXPECT_EQ(s.err(), "");
    }
    const std::string text = read_file(file);
    EXPECT_EQ(samples_of(text, "quorind_requests_total"), std::vector<std::string>{"quorind_requests_total 5"});
    EXPECT_FALSE(path_exists(file + ".new"));

    Child check = start_child({promtool, "check", "metrics"}, {}, file);
    Stopped check_stopped{check};
    EXPECT_EQ(wait_child(check, 10000), std::optional<int>(0)) << read_file(check.err_path);
    EXPECT_EQ(read_file(check.out_path) + read_file(check.err_path), "");

    // Every collector off but the textfile one, and on a port of its own
    // choosing on loopback.
    Child node = start_child({exporter, "--collector.disable-defaults", "--collector.textfile",
                              "--collector.textfile.directory=" + dir.path(), "--web.disable-exporter-metrics",
                              "--web.listen-address=127.0.0.1:0"});
    Stopped node_stopped{node};
    const auto port = wait_child_listening(node, std::nullopt, 10000);
    ASSERT_TRUE(port.has_value()) << read_file(node.err_path);
    Fd conn = connect_loopback(*port);
    ASSERT_TRUE(conn.valid());
    const std::string get = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    ASSERT_TRUE(send_bytes(conn.get(), {reinterpret_cast<const std::uint8_t*>(get.data()), get.size()}));
    const auto reply = read_to_eof(conn.get(), 10000);
    ASSERT_TRUE(reply.has_value());
    const std::string scraped(reply->begin(), reply->end());
    EXPECT_EQ(scraped.compare(0, 15, "HTTP/1.0 200 OK"), 0) << scraped.substr(0, 200);
    EXPECT_EQ(samples_of(scraped, "node_textfile_scrape_error"),
              std::vector<std::string>{"node_textfile_scrape_error 0"});
    EXPECT_EQ(samples_of(scraped, "quorind_requests_total"), std::vector<std::string>{"quorind_requests_total 5"});
    EXPECT_EQ(samples_of(scraped, "quorind_queries_total"), std::vector<std::string>{"quorind_queries_total 2"});
    EXPECT_EQ(samples_of(scraped, "quorind_sites"),
              (std::vector<std::string>{"quorind_sites{listing=\"listed\"} 2", "quorind_sites{listing=\"unlisted\"} 0"}));
    // The exporter ends when it is told to: reaped, it is gone.
    stop_child(node);
    EXPECT_TRUE(node.status.has_value());
}

// A metrics file that cannot be written is said once, with its path and
// the reason, and costs the server nothing else.
TEST(MetricsFile, FolderThatIsMissingIsReportedOnceAndTheServerServesOn)
{
    TempDir dir("kovari-metrics-e2e");
    const std::string base = dir / "missing/quorind";
    ServerProcess s;
    ASSERT_TRUE(start_server(s, QUORIND_PATH, {"-X" + base})) << s.err();
    ASSERT_TRUE(wait_for_text(s.child.err_path, "\n", 5000));
    EXPECT_EQ(round_trip(s.port, query_packet(""), 3000), (Bytes{0x80, 0xCA, 0, 0}));
    stop_child(s.child);
    EXPECT_EQ(s.child.status, std::optional<int>(0));
    EXPECT_EQ(s.err(), "quorind: can't write metrics file " + base + ".prom: No such file or directory\n");
}

}  // namespace
}  // namespace kovari::testing
