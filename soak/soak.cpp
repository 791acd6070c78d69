// quorin-soak: one quorind under a long mixed load, checked against a
// model of what the table must hold.
//
// The tool starts the server on a free loopback port with -V, a server
// message file and -F pointing at a peer of its own that accepts slowly,
// then sends announcements of new and known sites (some as forwarded
// packets), sign-offs, queries, server message requests and malformed
// packets, and keeps a few connections open without sending anything. Every
// reply is checked as it comes; at the end every site ever announced is
// looked up and compared with the model, the activity log is counted, the
// standard error stream may hold only the lines that the load provokes,
// and the resident memory at the end must be within 10% of its value after
// the warm-up.
//
//   quorin-soak --server PATH [--requests N] [--seconds S] [--population P]
//               [--seed N] [--valgrind]
//
// --valgrind runs the server under valgrind's memcheck (a shorter run by
// default) and requires a clean report: no invalid access, no leak.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/fd.h"
#include "common/site.h"
#include "lookup/lookup.h"
#include "devkit/packets.h"
#include "devkit/files.h"
#include "devkit/loopback.h"
#include "devkit/process.h"
#include "devkit/server_process.h"

using namespace kovari;
using namespace kovari::devkit;

namespace {

struct Options {
    std::string server;
    long requests = 1'000'000;
    long seconds = 600;
    long population = 3000;
    unsigned seed = 2076;
    bool valgrind = false;
};

using Clock = std::chrono::steady_clock;

// A site the server has not heard from for longer than this goes at the
// next sweep (every 120 seconds).
constexpr std::time_t kSiteLifetime = 900;

double seconds_since(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// --- the slow peer: a listener that takes one connection at a time ---

struct SlowPeer {
    Fd listener;
    int port = 0;
    std::atomic<bool> stop{false};
    std::atomic<long> accepted{0};
    std::atomic<long> well_formed{0};  // marked first byte, whole packet
    std::thread worker;
};

void run_slow_peer(SlowPeer& p)
{
    while (!p.stop) {
        // Slow: one accept every 100 ms, so that the backlog fills up and
        // the server's copies have to wait for it.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        Fd c(::accept4(p.listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!c.valid())
            continue;
        ++p.accepted;
        if (auto b = read_to_eof(c.get(), 500))
            if (b->size() > 4 && ((*b)[0] & 0xC0) == 0xC0 && packet_size(*b) == b->size() - 4)
                ++p.well_formed;
    }
}

bool start_slow_peer(SlowPeer& p)
{
    p.listener = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(p.listener.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 ||
        ::listen(p.listener.get(), 2) < 0 ||
        ::getsockname(p.listener.get(), reinterpret_cast<sockaddr*>(&a), &len) < 0)
        return false;
    p.port = ntohs(a.sin_port);
    p.worker = std::thread(run_slow_peer, std::ref(p));
    return true;
}

// --- talking to the server ---

struct Exchange {
    std::optional<Bytes> reply;  // nullopt: reset or timeout
    std::uint32_t local_ip = 0;  // network order
    std::uint16_t local_port = 0;
};

Exchange exchange_with(int port, const Bytes& request, const char* local_ip)
{
    Exchange x;
    Fd s = connect_loopback(port, local_ip);
    if (!s.valid())
        return x;
    sockaddr_in me{};
    socklen_t len = sizeof me;
    ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&me), &len);
    x.local_ip = me.sin_addr.s_addr;
    x.local_port = ntohs(me.sin_port);
    if (!send_bytes(s.get(), request))
        return x;
    x.reply = read_to_eof(s.get(), 60'000);
    return x;
}

long resident_kb(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

// --- the model ---

struct ModelSite {
    std::string cname;
    std::optional<std::string> name, email;
    Ssrc ssrc{};
    bool port_item = false;
    std::int16_t port = 0;
    std::uint32_t ip = 0;
    std::time_t last = 0;
    bool alive = false;
};

struct Tally {
    long requests = 0, added = 0, refreshed = 0, forwarded_in = 0, released = 0,
         unknown_signoffs = 0, exact_queries = 0, absent_queries = 0, broad_queries = 0,
         message_requests = 0, malformed = 0, idle_opened = 0, stored_copies = 0;
    long failures = 0;
    std::vector<std::string> first_failures;
};

struct Soak {
    Options opt;
    int port = 0;
    std::mt19937 rng;
    std::vector<ModelSite> sites;
    std::vector<std::size_t> alive;  // indexes into sites
    Tally tally;
    Bytes message_reply;
    std::deque<std::pair<Fd, Clock::time_point>> idle;

    std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); }

    void fail(const std::string& what)
    {
        ++tally.failures;
        if (tally.first_failures.size() < 20)
            tally.first_failures.push_back(what);
    }

    const char* source_ip()
    {
        static const char* const ips[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5",
                                          "127.0.0.6", "127.0.0.7", "127.0.0.8", "127.0.0.9"};
        return ips[pick(8)];
    }

    Exchange send(const Bytes& request)
    {
        ++tally.requests;
        return exchange_with(port, request, source_ip());
    }

    void expect_silence(const Exchange& x, const char* what)
    {
        if (x.reply && !x.reply->empty())
            fail(std::string("a reply to ") + what);
    }

    Bytes announcement_of(const ModelSite& m)
    {
        Announcement a;
        a.ssrc = m.ssrc;
        a.cname = m.cname;
        a.name = m.name;
        a.email = m.email;
        a.tool = "quorin-soak";
        if (m.port_item)
            a.port = m.port;
        return announcement(a);
    }

    void remove_alive(std::size_t k)
    {
        for (std::size_t i = 0; i < alive.size(); ++i)
            if (alive[i] == k) {
                alive[i] = alive.back();
                alive.pop_back();
                return;
            }
    }

    // An announcement of site k, from a voice program or forwarded by a
    // peer from an origin address.
    void announce(std::size_t k, bool forwarded_from_peer)
    {
        ModelSite& m = sites[k];
        Bytes packet = announcement_of(m);
        std::uint32_t origin = 0;
        if (forwarded_from_peer) {
            origin = ipv4("127.1.0.0") | std::uint32_t(1 + pick(250)) << 24;
            packet = forwarded(packet, origin);
        }
        const Exchange x = send(packet);
        expect_silence(x, "an announcement");
        if (!x.reply) {
            fail("announcement not taken: " + m.cname);
            return;
        }
        m.ip = forwarded_from_peer ? origin : x.local_ip;
        if (!m.port_item)
            m.port = std::int16_t(x.local_port);
        m.last = std::time(nullptr);
        if (!m.alive) {
            m.alive = true;
            alive.push_back(k);
            ++tally.added;
        } else {
            ++tally.refreshed;
        }
        if (forwarded_from_peer)
            ++tally.forwarded_in;
        else
            ++tally.stored_copies;
    }

    std::size_t new_site()
    {
        const std::size_t id = sites.size();
        ModelSite m;
        m.cname = (id % 10 == 3 ? "*site" : "site") + std::to_string(id) + "@soak";
        m.name = "Soak Site " + std::to_string(id);
        if (id % 2 == 0)
            m.email = (id % 20 == 4 ? "*user" : "user") + std::to_string(id) + "@example.org";
        m.ssrc = make_ssrc(0x50000000u + std::uint32_t(id));
        m.port_item = id % 3 != 0;
        m.port = std::int16_t(20000 + id % 40000);
        sites.push_back(std::move(m));
        return id;
    }

    void sign_off(std::size_t k, bool forwarded_from_peer)
    {
        Bytes packet = bye_packet(sites[k].ssrc);
        if (forwarded_from_peer)
            packet = forwarded(packet, ipv4("127.1.0.1"));
        const Exchange x = send(packet);
        expect_silence(x, "a sign-off");
        if (!x.reply) {
            fail("sign-off not taken: " + sites[k].cname);
            return;
        }
        sites[k].alive = false;
        remove_alive(k);
        ++tally.released;
        if (!forwarded_from_peer)
            ++tally.stored_copies;
    }

    // The text that finds only this site: its e-mail text, else its CNAME.
    static std::string key_of(const ModelSite& m)
    {
        return std::string(without_marker(m.email ? *m.email : m.cname));
    }

    // Looks site k up by its key; it must be there exactly as the model
    // says, or absent when `present` is false.
    void check_site(std::size_t k, bool present)
    {
        const ModelSite& m = sites[k];
        const Exchange x = send(query_packet("*" + key_of(m)));
        if (!x.reply) {
            fail("no reply to the query for " + m.cname);
            return;
        }
        const std::vector<Site> found = decode_match_reply(*x.reply);
        if (!present) {
            ++tally.absent_queries;
            if (!found.empty() || x.reply->size() != 4)
                fail("a site that should be gone is listed: " + m.cname);
            return;
        }
        ++tally.exact_queries;
        if (found.size() != 1) {
            fail("site missing or listed twice: " + m.cname + " (" + std::to_string(found.size()) + ")");
            return;
        }
        const Site& s = found[0];
        const std::string want_email = m.email ? std::string(without_marker(*m.email)) : "";
        if (s.cname != std::string(without_marker(m.cname)) || s.name != m.name ||
            s.email.value_or("") != want_email || s.ssrc != m.ssrc || s.port != m.port ||
            s.ip != m.ip || s.time < m.last - 2 || s.time > m.last + 2)
            fail("site differs from the model: " + m.cname + " port " + std::to_string(s.port) +
                 "/" + std::to_string(m.port) + " ip " + dotted(s.ip) + "/" + dotted(m.ip));
    }

    void broad_query()
    {
        static const char* const texts[] = {"", "soak", "site1", "EXAMPLE", "user2", "nobody-here"};
        const std::string text = texts[pick(6)];
        const Exchange x = send(query_packet(text));
        ++tally.broad_queries;
        if (!x.reply || x.reply->size() < 4 || x.reply->size() > kMaxReply ||
            packet_size(*x.reply) != x.reply->size()) {
            fail("bad reply to the query \"" + text + "\"");
            return;
        }
        for (const Site& s : decode_match_reply(*x.reply)) {
            const std::uint32_t id = ssrc_value(s.ssrc) - 0x50000000u;
            if (id >= sites.size() || !sites[id].alive ||
                s.cname != std::string(without_marker(sites[id].cname)))
                fail("query \"" + text + "\" lists a site the model does not hold");
        }
    }

    void message_request_once()
    {
        const Exchange x = send(message_request());
        ++tally.message_requests;
        // Bytes 2-3 carry no defined value in this reply; the rest is fixed.
        Bytes got = x.reply.value_or(Bytes{});
        if (got.size() == message_reply.size())
            got[2] = got[3] = 0;
        if (got != message_reply)
            fail("server message reply differs");
    }

    void malformed()
    {
        ++tally.malformed;
        const std::size_t k = alive.empty() ? new_site() : alive[pick(alive.size())];
        Bytes p = announcement_of(sites[k]);
        switch (pick(10)) {
        case 0: {  // noise
            p.resize(1 + pick(1024));
            for (auto& b : p)
                b = std::uint8_t(rng());
            if ((p[0] & 0xC0) == 0x80 || (p[0] & 0xC0) == 0xC0)
                p[0] = 0x00;  // never a version-2 packet by chance
            break;
        }
        case 1: p[0] = 0xA1; break;                       // padding flag
        case 2: p[1] = 205; break;                        // unknown type
        case 3: put_length_field(p, p.size() + 4); break; // lengths do not add up
        case 4: p.resize(p.size() - 3); break;            // cut short
        case 5: p[0] = 0x82; break;                       // two chunks said
        case 6: p = sdes_packet(sites[k].ssrc, {{kItemNAME, "no cname"}}); break;
        case 7: {
            p = message_request();
            p[10] = 'x';
            p[11] = 'x';
            break;
        }
        case 8: {  // longer than one receive takes
            const std::size_t n = p.size();
            p.resize(1500, 0x5A);
            put_length_field(p, n);
            break;
        }
        case 9: {  // a sign-off with two SSRCs is dropped: the site stays
            p = bye_packet(sites[k].ssrc);
            p.insert(p.end(), sites[k].ssrc.begin(), sites[k].ssrc.end());
            p[0] = 0x82;
            put_length_field(p, p.size());
            break;
        }
        }
        expect_silence(send(p), "a malformed packet");
    }

    void open_idle()
    {
        if (idle.size() >= 6)
            return;
        Fd c = connect_loopback(port, source_ip());
        if (!c.valid()) {
            fail("idle connection refused");
            return;
        }
        ++tally.idle_opened;
        ++tally.requests;
        idle.emplace_back(std::move(c), Clock::now() + std::chrono::milliseconds(500 + pick(14'000)));
    }

    void close_due_idle()
    {
        const auto now = Clock::now();
        for (auto it = idle.begin(); it != idle.end();)
            it = it->second <= now ? idle.erase(it) : it + 1;
    }

    void step()
    {
        const std::size_t r = pick(1000);
        const bool full = std::ptrdiff_t(alive.size()) >= opt.population;
        if (r < 330 && !alive.empty())
            announce(alive[pick(alive.size())], false);
        else if (r < 390 || alive.empty()) {
            if (full)
                sign_off(alive[pick(alive.size())], false);
            announce(new_site(), false);
        } else if (r < 410)
            announce(full ? alive[pick(alive.size())] : new_site(), true);
        else if (r < 470)
            sign_off(alive[pick(alive.size())], false);
        else if (r < 480) {
            const Exchange x = send(bye_packet(make_ssrc(0x40000000u + std::uint32_t(pick(1 << 20)))));
            expect_silence(x, "a sign-off of an unknown SSRC");
            ++tally.unknown_signoffs;
        } else if (r < 490)
            sign_off(alive[pick(alive.size())], true);
        else if (r < 740)
            check_site(alive[pick(alive.size())], true);
        else if (r < 780) {
            const std::size_t k = pick(sites.size());
            if (!sites[k].alive)
                check_site(k, false);
            else
                check_site(k, true);
        } else if (r < 860)
            broad_query();
        else if (r < 910)
            message_request_once();
        else if (r < 990)
            malformed();
        else
            open_idle();
        close_due_idle();
    }
};

bool parse_args(Options& o, int argc, char** argv)
{
    bool requests_given = false, seconds_given = false, population_given = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--server")
            o.server = value();
        else if (a == "--requests")
            o.requests = std::atol(value()), requests_given = true;
        else if (a == "--seconds")
            o.seconds = std::atol(value()), seconds_given = true;
        else if (a == "--population")
            o.population = std::atol(value()), population_given = true;
        else if (a == "--seed")
            o.seed = unsigned(std::atol(value()));
        else if (a == "--valgrind")
            o.valgrind = true;
        else
            return false;
    }
    if (o.valgrind) {
        // Long enough for idle connections to reach the server's limit.
        if (!requests_given)
            o.requests = 50'000;
        if (!seconds_given)
            o.seconds = 60;
        if (!population_given)
            o.population = 300;
    }
    return !o.server.empty() && o.requests > 0 && o.population > 0;
}

// Lines on the server's error stream that the load itself provokes: the
// slow peer (copies dropped or timed out) and the announcements without a
// CNAME (the -V message and its dump).
bool expected_error_line(const std::string& line)
{
    static const char* const prefixes[] = {
        "quorind: too many packets waiting for server 127.0.0.1, one dropped.",
        "forwarding quorin source ID message: ",
        "Bogus SDES with no CNAME.",
        "SSRC = ",
        "\t  NAME = no cname",
    };
    for (const char* p : prefixes)
        if (line.rfind(p, 0) == 0)
            return true;
    return false;
}

long count_lines_with(const std::string& text, const std::string& what)
{
    long n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

}  // namespace

int main(int argc, char** argv)
{
    Soak soak;
    if (!parse_args(soak.opt, argc, argv)) {
        std::fprintf(stderr,
                     "usage: %s --server PATH [--requests N] [--seconds S] [--population P] "
                     "[--seed N] [--valgrind]\n",
                     argv[0]);
        return 2;
    }
    const Options& opt = soak.opt;
    soak.rng.seed(opt.seed);
    ::signal(SIGPIPE, SIG_IGN);

    SlowPeer peer;
    if (!start_slow_peer(peer)) {
        std::fprintf(stderr, "quorin-soak: cannot open the slow peer's socket\n");
        return 1;
    }
    char dir_template[] = "/tmp/quorin-soak-XXXXXX";
    const std::string dir = ::mkdtemp(dir_template);
    const std::string message = "Soak test server.\nBe patient.\n";
    std::ofstream(dir + "/message") << message;
    soak.message_reply = {0x81, kTypeAPP, 0, 0, 0, 0, 0, 0, 'K', 'V', 'm', 'r'};
    soak.message_reply.insert(soak.message_reply.end(), message.begin(), message.end());
    soak.message_reply.push_back(0);

    std::vector<std::string> prefix;
    const std::string valgrind_log = dir + "/valgrind.log";
    if (opt.valgrind)
        prefix = {"valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=all",
                  "--errors-for-leak-kinds=definite,indirect,possible", "--error-exitcode=99",
                  "--track-fds=no", "--log-file=" + valgrind_log};
    ServerProcess srv;
    const std::vector<std::string> options = {"-V", "-M" + dir + "/message",
                                              "-F127.0.0.1:" + std::to_string(peer.port)};
    srv.port = free_port();
    std::vector<std::string> args = prefix;
    args.push_back(opt.server);
    args.insert(args.end(), options.begin(), options.end());
    args.push_back("-P" + std::to_string(srv.port));
    srv.child = start_child(args);
    if (!wait_listening(srv.port, opt.valgrind ? 60'000 : 5'000)) {
        std::fprintf(stderr, "quorin-soak: the server does not listen\n");
        peer.stop = true;
        peer.worker.join();
        return 1;
    }
    soak.port = srv.port;
    std::printf("quorin-soak: server pid %d on port %d, slow peer on port %d, logs in %s\n",
                int(srv.child.pid), srv.port, peer.port, dir.c_str());

    const auto t0 = Clock::now();
    // Warm-up: the whole population announces itself, then a twentieth of
    // the run's requests.
    while (std::ptrdiff_t(soak.alive.size()) < opt.population)
        soak.announce(soak.new_site(), false);
    const long warm_mark = soak.tally.requests + opt.requests / 20;
    long rss_warm = -1, rss_peak = 0;
    const double rate = opt.seconds > 0 ? double(opt.requests) / double(opt.seconds) : 0;
    double last_note = 0;
    while (soak.tally.requests < opt.requests || seconds_since(t0) < double(opt.seconds)) {
        soak.step();
        if (rss_warm < 0 && soak.tally.requests >= warm_mark)
            rss_warm = resident_kb(srv.child.pid);
        const double elapsed = seconds_since(t0);
        if (elapsed - last_note >= 30) {
            last_note = elapsed;
            const long rss = resident_kb(srv.child.pid);
            rss_peak = std::max(rss_peak, rss);
            std::printf("  %6.0f s  %8ld requests  %5zu sites  RSS %ld kB  %ld failures\n", elapsed,
                        soak.tally.requests, soak.alive.size(), rss, soak.tally.failures);
            std::fflush(stdout);
        }
        // Spread the requests over the whole time when they would go faster.
        if (rate > 0 && double(soak.tally.requests) > rate * elapsed)
            std::this_thread::sleep_for(std::chrono::duration<double>(double(soak.tally.requests) / rate - elapsed));
    }
    const double load_seconds = seconds_since(t0);
    soak.idle.clear();

    // The end: every site ever announced, looked up one by one.
    const std::time_t now = std::time(nullptr);
    long uncertain = 0;
    for (std::size_t k = 0; k < soak.sites.size(); ++k) {
        const ModelSite& m = soak.sites[k];
        const std::time_t age = now - m.last;
        if (m.alive && age > kSiteLifetime - 10 && age <= kSiteLifetime + 130) {
            ++uncertain;  // a sweep may or may not have taken it yet
            continue;
        }
        soak.check_site(k, m.alive && age <= kSiteLifetime);
    }
    const long rss_end = resident_kb(srv.child.pid);
    const double total_seconds = seconds_since(t0);

    ::kill(srv.child.pid, SIGTERM);
    const auto status = wait_child(srv.child, 120'000);
    peer.stop = true;
    peer.worker.join();

    const std::string out = srv.out(), err = srv.err();
    long unexpected = 0, dropped = 0, bogus = 0;
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);) {
        if (!expected_error_line(line)) {
            if (++unexpected <= 10)
                std::printf("  unexpected on standard error: %s\n", line.c_str());
        }
        dropped += line.find("one dropped") != std::string::npos;
        bogus += line.rfind("Bogus SDES", 0) == 0;
    }
    const long connects = count_lines_with(out, " Connect: ");
    const long byes = count_lines_with(out, " Bye:     ");
    const long timeouts = count_lines_with(out, " Timeout: ");

    const Tally& t = soak.tally;
    std::printf("requests            %ld in %.0f s of load, %.0f s in all (%.0f per second)\n",
                t.requests, load_seconds, total_seconds, double(t.requests) / total_seconds);
    std::printf("  announcements     %ld new, %ld repeated, %ld of them forwarded by a peer\n",
                t.added, t.refreshed, t.forwarded_in);
    std::printf("  sign-offs         %ld, %ld of unknown SSRCs\n", t.released, t.unknown_signoffs);
    std::printf("  queries           %ld exact (present), %ld exact (absent), %ld broad\n",
                t.exact_queries, t.absent_queries, t.broad_queries);
    std::printf("  other             %ld server message requests, %ld malformed, %ld idle connections\n",
                t.message_requests, t.malformed, t.idle_opened);
    std::printf("sites               %zu listed at the end, %zu ever, %ld left unchecked (near expiry)\n",
                soak.alive.size(), soak.sites.size(), uncertain);
    std::printf("activity log        %ld Connect (model %ld), %ld Bye (model %ld), %ld Timeout\n",
                connects, t.added, byes, t.released, timeouts);
    std::printf("slow peer           %ld copies accepted (%ld well formed), %ld copies sent, %ld dropped by the server\n",
                long(peer.accepted), long(peer.well_formed), t.stored_copies, dropped);
    std::printf("standard error      %ld lines about dropped copies, %ld without CNAME, %ld unexpected\n",
                dropped, bogus, unexpected);
    std::printf("server exit status  %d\n", status ? *status : -1);

    bool ok = t.failures == 0 && unexpected == 0 && status == 0;
    if (timeouts == 0 && (connects != t.added || byes != t.released)) {
        std::printf("FAIL: the activity log differs from the model\n");
        ok = false;
    }
    for (const auto& f : t.first_failures)
        std::printf("FAIL: %s\n", f.c_str());
    if (!opt.valgrind) {
        const double growth = rss_warm > 0 ? double(rss_end - rss_warm) / double(rss_warm) : 1;
        std::printf("resident memory     %ld kB after warm-up, %ld kB at the end (%+.1f%%), peak seen %ld kB\n",
                    rss_warm, rss_end, growth * 100, std::max(rss_peak, rss_end));
        if (growth > 0.10 || growth < -0.10) {
            std::printf("FAIL: resident memory moved by more than 10%%\n");
            ok = false;
        }
    } else {
        const std::string log = read_file(valgrind_log);
        const bool clean = log.find("ERROR SUMMARY: 0 errors") != std::string::npos &&
                           (log.find("All heap blocks were freed") != std::string::npos ||
                            (log.find("definitely lost: 0 bytes") != std::string::npos &&
                             log.find("indirectly lost: 0 bytes") != std::string::npos &&
                             log.find("possibly lost: 0 bytes") != std::string::npos));
        std::istringstream vl(log);
        for (std::string line; std::getline(vl, line);)
            if (line.find("ERROR SUMMARY") != std::string::npos ||
                line.find("in use at exit") != std::string::npos ||
                line.find("total heap usage") != std::string::npos ||
                line.find("lost:") != std::string::npos || line.find("reachable:") != std::string::npos)
                std::printf("valgrind           %s\n", line.substr(line.find(' ') + 1).c_str());
        if (!clean) {
            std::printf("FAIL: valgrind reports errors or leaks (%s)\n", valgrind_log.c_str());
            ok = false;
        }
    }
    if (ok) {
        // The logs are kept only when they have something to show.
        for (const std::string& f : {srv.child.out_path, srv.child.err_path, dir + "/message", valgrind_log})
            ::unlink(f.c_str());
        ::rmdir(dir.c_str());
    } else {
        std::printf("server output in %s and %s\n", srv.child.out_path.c_str(), srv.child.err_path.c_str());
    }
    std::printf("%s\n", ok ? "soak: PASSED" : "soak: FAILED");
    return ok ? 0 : 1;
}
