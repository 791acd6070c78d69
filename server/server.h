// State of the directory server and the routines of the request path.
// Everything here takes its inputs (bytes, the current time, the output
// streams) as arguments; the socket code in main.cpp stays thin.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/protocol.h"
#include "common/site.h"
#include "table.h"

namespace kovari {

inline constexpr std::time_t kSweepInterval = 120;  // seconds between sweeps
inline constexpr std::time_t kMaxSiteAge = 900;     // older sites expire
inline constexpr int kListenBacklog = 25;
inline constexpr std::size_t kMaxPeers = 5;

struct Peer {
    std::uint32_t ip = 0;  // network order
    long port = kDefaultPort;  // negative: listed, never sent to
};

struct ServerSettings {
    std::string program_name = "quorind";
    long listen_port = kDefaultPort;
    bool debug = false;         // -D
    bool verbose = false;       // -V: activity log
    bool very_verbose = false;  // -VV: a line per connection and packet
    std::optional<std::string> public_base;   // -H
    std::optional<std::string> private_base;  // -Z
    long html_interval = 60;                  // -I
    std::vector<Peer> peers;                  // -F
    std::vector<std::uint8_t> message_reply;  // prepared "KVmr" reply
};

// The HTML pacing state.
struct HtmlState {
    bool table_changed = true;
    std::time_t last_html_update = 0;
};

// The reply area: the cap plus one whole chunk, which is written before the
// cap is tested.
inline constexpr std::size_t kMaxChunk = 348;
struct ReplyBuffer {
    std::uint8_t bytes[kMaxReply + kMaxChunk]{};
};

struct Server {
    ServerSettings settings;
    SiteTable table;
    HtmlState html;
    std::FILE* out = stdout;  // activity log and per-packet lines
    std::FILE* err = stderr;  // messages and debugging output
    ReplyBuffer reply;        // the match reply being built
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

// Acts on one received packet of n bytes (n < 0: the receive failed).
// peer_ip is in network order, peer_port in host order. The reply, if any,
// points into the server's own storage and stays valid until the next call.
RequestAction handle_packet(Server& srv, RequestBuffer& buf, long n, std::uint32_t peer_ip,
                            std::uint16_t peer_port, std::time_t now);

// --- site table, expiry and activity log (activity.cpp) ---

void enter_site(Server& srv, Site&& s, std::time_t now);
void release_site(Server& srv, const Ssrc& ssrc, std::time_t now);
void expire_sites(Server& srv, std::time_t now);
void log_activity(std::FILE* out, const SiteView& s, const char* label, std::time_t now);
std::string clock_text(std::time_t now);

// --- queries (query.cpp) ---


void lower_case(std::string& text);
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

// --- forwarding (forward.cpp) ---

void parse_forward_list(Server& srv, std::string text);
void forward_packet(Server& srv, std::span<std::uint8_t> buffer, std::size_t length,
                    std::uint32_t origin);

}  // namespace kovari
