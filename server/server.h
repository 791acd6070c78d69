// SPDX-License-Identifier: BSD-2-Clause
// The state of the directory server: its settings, the site table, what
// is being written and forwarded, the statistics. Each module that acts on
// it declares its routines in a header of its own, which includes this
// one; this one includes none of theirs.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/fd.h"
#include "common/protocol.h"
#include "common/report.h"
#include "common/site.h"
#include "common/text.h"
#include "rate_limit.h"
#include "request_times.h"
#include "table.h"
#include "writes.h"

namespace kovari {

inline constexpr std::time_t kSweepInterval = 120;  // seconds between sweeps
// The listen queue: connections the kernel has completed and the server has
// not accepted yet. SOMAXCONN (4096; the kernel cuts it to
// net.core.somaxconn). With 25, 256 requests in flight from one address for
// 20 s overflowed the queue about 6,400 times, and 1% of other clients'
// queries waited about a second for their SYN to be sent again; with
// SOMAXCONN, no overflow (kvload -Wburst).
inline constexpr int kListenBacklog = SOMAXCONN;
inline constexpr std::size_t kMaxPeers = 5;
// The most sites the table takes unless -N says otherwise: about 250 MB of
// records and indexes, so one address that invents CNAMEs as fast as it
// can fills a bounded table, not the machine.
inline constexpr long kDefaultMaxSites = 1'000'000;
// The most sites one address may hold unless -C says otherwise. A voice
// program holds one; a host behind which many users share one address (a
// NAT, a multi-user machine) holds a few hundred at most. One address that
// invents CNAMEs fills no more than this.
inline constexpr long kDefaultMaxPerAddress = 1000;
// The most servers -A lists, over all its options.
inline constexpr std::size_t kMaxAcceptFrom = 16;

struct Peer {
    std::uint32_t ip = 0;      // network order
    long port = kDefaultPort;  // as -F gives it; only its low 16 bits are dialled
    // -F with a negative port lists a server whose forwarded packets are
    // taken and to which nothing is sent.
    bool sent_to = true;
};

struct ServerSettings {
    std::string program_name = "quorind";
    long listen_port = kDefaultPort;
    std::uint32_t listen_ip = 0;  // -B, network order; 0: every address
    bool debug = false;         // -D
    bool verbose = false;       // -V: activity log
    bool very_verbose = false;  // -VV: a line per connection and packet
    std::optional<std::string> public_base;   // -H
    std::optional<std::string> private_base;  // -Z
    std::optional<std::string> json_base;     // -J
    long html_interval = 60;                  // -I
    long max_sites = kDefaultMaxSites;        // -N; 0 or less: no limit
    std::optional<std::string> state_file;    // -S
    std::optional<std::string> metrics_base;  // -X: base.prom
    std::vector<Peer> peers;                  // -F
    long max_per_address = kDefaultMaxPerAddress;  // -C; 0 or less: no cap
    std::vector<std::uint32_t> accept_from;   // -A, network order
    std::vector<std::uint8_t> message_reply;  // prepared "KVmr" reply
};

// The HTML pacing state.
struct HtmlState {
    bool table_changed = true;
    std::time_t last_html_update = 0;
    // Per page (public, private, JSON), why it last could not be opened:
    // told once, until the reason changes.
    ProblemNote page_problem[kFilesPerWrite];
};

// The reply area: the cap plus one whole chunk, which is written before the
// cap is tested.
inline constexpr std::size_t kMaxChunk = 348;
struct ReplyBuffer {
    std::uint8_t bytes[kMaxReply + kMaxChunk]{};
};

// One forwarded copy on its way to a peer: its socket connects without
// blocking, the event loop watches it, and it is sent when writable.
struct PendingCopy {
    Fd fd;
    std::size_t peer = 0;              // index in settings.peers
    std::vector<std::uint8_t> bytes;   // the marked packet and its trailer
    std::size_t sent = 0;
    long deadline_ms = 0;              // monotonic; dropped when it passes
};

// The copies under way, oldest first. All have the same time limit, so
// their deadlines grow from front to back.
struct Forwarder {
    std::vector<PendingCopy> copies;
};

// What the server has done since it started, written on SIGUSR1 and to
// the metrics file.
struct Statistics {
    long started_ms = 0;            // monotonic
    std::time_t started_at = 0;     // wall clock
    std::size_t most_sites = 0;     // the largest the table has been
    std::uint64_t requests = 0;     // packets received
    std::uint64_t announced_new = 0, announced_again = 0;
    std::uint64_t refused_full = 0;  // new sites refused by the table limit
    std::uint64_t signed_off = 0, unknown_signoffs = 0;
    // Changes an address may not make (trust.cpp): sign-offs and
    // take-overs of another address's sites, forwarded packets from a
    // server that is not a peer, new sites beyond the per-address cap.
    std::uint64_t refused_signoffs = 0, refused_takeovers = 0;
    std::uint64_t refused_forwarded = 0, refused_over_cap = 0;
    std::uint64_t expired = 0;
    std::uint64_t queries = 0, message_requests = 0;
    std::uint64_t refused_queries = 0;  // given up as too costly, not answered
    std::uint64_t invalid = 0;      // discarded packets, empty receives included
    std::uint64_t idle_closed = 0;  // connections that delivered no whole request in time
    std::uint64_t cap_closed = 0;   // waiting connections closed by the per-address or total cap
    std::uint64_t held = 0;         // requests held back while their sender was over its share
    std::uint64_t copies_sent = 0, copies_failed = 0, copies_dropped = 0;
    std::uint64_t pages_written = 0, page_failures = 0;
    RequestTimes request_times;     // from accepting each connection to closing it
};

// What the server does with its state file, beyond the settings.
struct StateStatus {
    bool changed = false;       // the table changed since the file was last written
    bool disabled = false;      // a bad file could not be moved aside: never written over
    std::uint64_t loaded = 0;   // sites taken from the file at start
    std::uint64_t writes = 0, failures = 0;
};

// What a change to the table asks of the files written from it.
struct TableChange {
    bool records = false;  // a record changed, a refresh included: the state file is due
    bool sites = false;    // a site came or went: the pages are due
};

struct Server {
    ServerSettings settings;
    SiteTable table;
    HtmlState html;
    Forwarder forwarder;
    std::FILE* out = stdout;  // activity log and per-packet lines
    std::FILE* err = stderr;  // messages and debugging output
    ReplyBuffer reply;        // the match reply being built
    Statistics stats;
    RateLimiter limiter;      // repeated error lines
    Writers writers;          // pages and state file being written by a child
    StateStatus state_status;
    std::uint16_t listening_port = 0;  // the port the listener got, once it listens
    // The last outcome of writing the metrics file: a failure is reported
    // once, until its reason changes.
    ProblemNote metrics_problem{};
};

}  // namespace kovari
