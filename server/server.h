// SPDX-License-Identifier: BSD-2-Clause
// State of the directory server and the routines of the request path.
// Everything here takes its inputs (bytes, the current time, the output
// streams) as arguments; the socket code in main.cpp stays thin.
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
#include "metrics.h"
#include "rate_limit.h"
#include "state_file.h"
#include "table.h"
#include "writes.h"

namespace kovari {

inline constexpr std::time_t kSweepInterval = 120;  // seconds between sweeps
inline constexpr std::time_t kMaxSiteAge = 900;     // older sites expire
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
    std::uint32_t ip = 0;  // network order
    long port = kDefaultPort;  // negative: listed, never sent to
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
    // Per page (public, private), why it last could not be opened (an
    // errno value; 0: it could). A reason is reported once, when it changes.
    int open_error[2] = {0, 0};
    // The last page writer was killed for running too long; reported once.
    bool writer_timed_out = false;
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
    bool watched = false;              // registered with the event loop
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
    // Why the metrics file last could not be written (step * 1000 + errno);
    // 0: it could. A reason is reported once, when it changes.
    int metrics_error = 0;
};

// --- start-up (options.cpp) ---

// The empty server message reply, or one carrying `text`.
std::vector<std::uint8_t> make_message_reply(std::span<const std::uint8_t> text);
void print_server_usage(std::FILE* err, const std::string& program);
// Parses the command line into the settings. Returns an exit status when the
// run ends here (usage, bad argument, unreadable message file).
std::optional<int> parse_server_options(Server& srv, int argc, char** argv);

// --- request handling (request.cpp) ---

// The receive buffer: one request plus room for the forwarding trailer.
struct RequestBuffer {
    std::uint8_t bytes[kMaxRequest + kTrailerSize]{};
};

// What handle_packet asks the socket layer to do.
struct RequestAction {
    std::span<const std::uint8_t> reply;  // bytes to send, may be empty
    const char* send_failure = nullptr;   // phrase to report if the send fails
};

bool valid_compound(std::span<const std::uint8_t> bytes, long n);

// Whether the bytes received so far on a connection are the start of a
// request whose own length fields say that more bytes are due: a header cut
// short (fewer than 4 bytes), or a last packet whose length runs past what
// arrived, both after APP alignment (so 2 or 3 bytes of an APP header are a
// whole header of length 0); a forwarded request (both top bits of its
// first byte set) also awaits its 4-byte trailer. Bytes that can no longer
// begin a valid request (not version 2, the padding flag, a first type
// outside 200-204) need nothing more: they are discarded as they are. A
// request for which this says yes is never valid as it stands.
bool more_due(std::span<const std::uint8_t> received);

// Acts on one received packet of n bytes (n < 0: the receive failed).
// peer_ip is in network order, peer_port in host order. The reply, if any,
// points into the server's own storage and stays valid until the next call.
RequestAction handle_packet(Server& srv, RequestBuffer& buf, long n, std::uint32_t peer_ip,
                            std::uint16_t peer_port, std::time_t now);

// --- site table, expiry and activity log (activity.cpp) ---

// Returns false when the site is refused: its CNAME is listed from another
// address, or it is new and its address holds its share or the table is
// full. s.ip is the address that announced it (the origin when forwarded).
bool enter_site(Server& srv, Site&& s, std::time_t now);
// A sign-off from `requester` (the origin when forwarded). Returns false
// when it is refused: sites carry the SSRC, none announced from there.
bool release_site(Server& srv, const Ssrc& ssrc, std::uint32_t requester, std::time_t now);
void expire_sites(Server& srv, std::time_t now);
// The wall clock was stepped by `step` seconds against the monotonic one (an
// NTP step, a machine resumed): every stamp that ages are measured from
// moves with it, so ages stay what the monotonic clock says they are.
void follow_clock_step(Server& srv, std::time_t step);
// The whole seconds to follow when the wall clock has drifted `drift_ms`
// from the monotonic one since the last step followed: 0 for less than
// 2 s (the slewing of time synchronisation), else the drift rounded to the
// nearest second. The two clocks are read one after the other, so a step
// of an hour is seen as a few milliseconds less or more: cut off, it would
// be followed a second short.
long clock_step_seconds(long drift_ms);
void log_activity(std::FILE* out, const SiteView& s, const char* label, std::time_t now);

// --- who may change what (trust.cpp) ---

// The kinds of change that only a site's owner, or a configured peer, may
// make.
enum class Refusal { sign_off, take_over, forwarded, over_cap };

// Whether a packet marked as forwarded is taken from this address: one of
// the -F peers or the -A servers. A server with neither takes none.
bool accepts_forwarded(const ServerSettings& set, std::uint32_t peer_ip);

// Counts a refusal, writes its -D line (`detail` says which site), and
// reports it on the error stream at most once per 10 s per address and
// kind. Costs no allocation while its report is held back.
void refuse(Server& srv, Refusal kind, std::uint32_t ip, std::string_view detail, long now_ms);

// --- queries (query.cpp) ---

bool site_matches(std::string_view lowered_query, const SiteView& s);
// Appends one cleaned item at `cursor` (an offset in `out`).
void put_item(std::uint8_t type, std::string_view text, std::span<std::uint8_t> out,
              std::size_t& cursor);
// Builds the match reply for a query text (as it arrived) and returns its
// bytes, which live in `reply`.
std::span<const std::uint8_t> answer_query(Server& srv, std::string_view query,
                                           std::uint32_t requester, ReplyBuffer& reply);

// --- HTML pages (html.cpp) ---

void note_change(Server& srv, std::time_t now);
void update_html(Server& srv, std::time_t now);
std::string time_stamp(std::time_t now, bool utc);
// '&', '<', '>' and '"' as entities; everything else as it is.
std::string html_escape(std::string_view text);
// The whole page for the table at `now` (the heading is in UTC, the sites'
// times in local time). The public page leaves unlisted sites out.
std::string html_page(const SiteTable& table, bool private_page, std::time_t now);
// Writes base.new and renames it to base.html, in process. Returns true
// when the page was replaced; on a failed write, close or rename the old
// page stays and the failure is reported. A base.new that cannot be opened
// is reported with its path and the reason, once until the reason changes.
bool write_html_page(Server& srv, const std::string& base, bool private_page, std::time_t now);
// The child writing the pages has ended: reports each page as
// write_html_page does, then writes a change that came meanwhile, if due.
void finish_page_write(Server& srv, const JobResult& result, std::time_t now);
// A page writer that has run past kWriteTimeLimitMs at `now_ms` (monotonic)
// is killed and reported, once until a write succeeds again; the old pages
// stay and the next write starts (not at the end, when writes no longer
// fork). Returns whether it was killed.
bool stop_overdue_page_write(Server& srv, long now_ms, std::time_t now);

// --- statistics (statistics.cpp) ---

// The sites listed and unlisted, from the table's own counts.
SiteCounts count_sites(const SiteTable& t);
// The statistics block, as SIGUSR1 asks for it.
void write_statistics(const Server& srv, std::FILE* out, long now_ms);
// One line for the service manager's status: where the server listens, the
// sites and the requests since start.
std::string status_text(const Server& srv);

// --- forwarding (forward.cpp) ---

inline constexpr long kForwardLimitMs = 5000;          // a copy's time to be delivered
inline constexpr std::size_t kMaxCopiesPerPeer = 64;   // copies under way per peer

void parse_forward_list(Server& srv, std::string text);
// -A: the servers whose forwarded packets are taken besides the -F peers,
// in the syntax of -F (a port is allowed and has no meaning here).
void parse_accept_list(Server& srv, std::string text);
// Marks the packet, appends the origin trailer behind it in `buffer` and
// starts one copy per peer whose port is not negative. Never blocks: the
// copies are finished by the event loop (serve_copy, expire_copies).
void forward_packet(Server& srv, std::span<std::uint8_t> buffer, std::size_t length,
                    std::uint32_t origin);
// Starts a copy of `bytes` (already marked, trailer included) to every
// peer; `now_ms` is the monotonic clock.
void start_copies(Server& srv, std::span<const std::uint8_t> bytes, long now_ms);
// The copy's socket is writable or has failed: finish its connect and send
// it. Returns false when `fd` belongs to no copy.
bool serve_copy(Server& srv, int fd);
// Drops the copies whose time is up, reporting each.
void expire_copies(Server& srv, long now_ms);
// The earliest deadline of a copy under way, if any.
std::optional<long> next_copy_deadline(const Forwarder& fw);

}  // namespace kovari
