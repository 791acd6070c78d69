// SPDX-License-Identifier: BSD-2-Clause
// quorinq, the lookup client: the run state, the command line, the
// requests it sends and the decoding and printing of the replies. Nothing
// here touches a socket; net.cpp and main.cpp do that.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/protocol.h"
#include "common/report.h"
#include "common/site.h"

namespace kovari {

// One request goes out from this buffer and its reply comes back into it.
using LookupBuffer = std::array<std::uint8_t, kLookupBuffer>;

// The longest query text that the server can receive whole: with the
// 12-byte header and its NUL, 12 + 1011 + 1 = 1024 bytes, its one receive.
inline constexpr std::size_t kMaxQueryText = kMaxRequest - 12 - 1;

// A reply (or a connection) that has not come within this time is a failure.
inline constexpr int kReplyTimeoutMs = 30'000;
inline constexpr int kConnectTimeoutMs = 30'000;

struct RunState {
    std::string program = "quorinq";
    bool list_output = true;        // cleared by -C and -L
    bool address_output = false;    // -C
    bool table_output = false;      // -L
    bool debug_output = false;      // -D
    bool json_output = false;       // -J: JSON Lines in place of the other modes
    bool message_pending = false;   // -M, until the message reply arrived
    std::optional<std::string> server_text;  // -H
    long server_port = kDefaultPort;
    int query_index = 1;            // first query text in argv
    long sites_shown = 0;           // over the whole run
    bool utf8_terminal = false;     // the locale's character set is UTF-8
};

// Reads the options into the state and leaves query_index at the first
// query text. Returns 0 when -U or -? asked for the usage text (already
// written on `err`), or --help (usage) or --version asked for a text on
// `out`: the run ends there.
std::optional<int> parse_lookup_options(RunState& run, int argc, const char* const* argv,
                                        std::FILE* out, std::FILE* err);
void print_lookup_usage(std::FILE* err, const std::string& program);

// Where the server is: -H, else KOVARI_QRN_ASK when not empty, else the
// first entry of KOVARI_QRN_TELL. nullopt when none of them names one.
std::optional<std::string> choose_server_text(const RunState& run, const char* ask,
                                              const char* tell);
void report_no_host(std::FILE* err, const std::string& program);

// The first query text that does not fit the request buffer, if any.
std::optional<std::string_view> overlong_query(const RunState& run, int argc,
                                               const char* const* argv);

// The 12-byte server message request, written at the start of `buf`.
std::span<const std::uint8_t> build_message_request(LookupBuffer& buf);
// The lookup query for `text`. The text must be at most kMaxQueryText
// bytes long (checked by overlong_query before any connection).
std::span<const std::uint8_t> build_query(LookupBuffer& buf, std::string_view text);

// A site as a reply carried it: the record, and the texts of its last 'P',
// 'I' and 'T' items, which tell an item that was absent from one whose
// value reads as zero (JSON output shows the difference).
struct FoundSite {
    Site site;
    std::optional<std::string> port_text, address_text, time_text;
};

// Decodes the chunk at the cursor. nullopt when the chunk does not end
// (with its 0 item) inside the bytes received; the cursor is then at the
// end.
std::optional<FoundSite> decode_chunk(ByteCursor& c);
// Every chunk of a match reply that arrived complete, at most as many as
// the count in byte 0 says.
std::vector<FoundSite> decode_found_sites(std::span<const std::uint8_t> reply);
// The same, the records only.
std::vector<Site> decode_match_reply(std::span<const std::uint8_t> reply);

// What is printed of a text from a reply. The server's clean-up is not
// trusted: C0 and C1 controls are dropped (bytes below 0x20, 0x7F, and
// U+0080..U+009F whether in UTF-8 or as lone bytes), so no reply can move
// the cursor or change the title or colours of the terminal. On a UTF-8
// terminal, bytes that are not well-formed UTF-8 show as their Latin-1
// characters; on any other, the bytes go out as received. `keep_layout`
// keeps newlines and tabs, which a server message is made of.
std::string terminal_text(std::string_view text, bool utf8_terminal, bool keep_layout = false);

// The output modes, one site each.
std::string list_line(const Site& s, bool utf8_terminal = false);   // without the newline
std::string address_entry(const Site& s, bool first);              // " -pip:port"
std::string table_entry(const Site& s, bool utf8_terminal = false); // begins with "\n"
// One JSON object, without the newline: ssrc, the six texts (null when
// absent), address, port and time (null when absent or unreadable).
std::string json_site_line(const FoundSite& f);
// {"message": "..."}, without the newline.
std::string json_message_line(std::string_view text);

// Prints one decoded site in every mode that is on and counts it.
void show_site(RunState& run, const FoundSite& f, std::FILE* out, std::FILE* err);

// Deals with one reply of n > 0 bytes: the server message while one is
// pending, else a match reply.
void handle_reply(RunState& run, std::span<const std::uint8_t> reply, std::FILE* out,
                  std::FILE* err);

// The closing output; returns the exit status of the run.
int finish_run(const RunState& run, std::FILE* out, std::FILE* err);

// What the run needs from outside: the environment variables and the time
// bounds of the network waits.
struct LookupContext {
    const char* ask = nullptr;   // KOVARI_QRN_ASK
    const char* tell = nullptr;  // KOVARI_QRN_TELL
    int connect_timeout_ms = kConnectTimeoutMs;
    int reply_timeout_ms = kReplyTimeoutMs;
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    bool utf8_terminal = false;  // the locale's character set is UTF-8
};

// The whole run: options, server selection, the request loop and the
// closing output. Returns the exit status.
int run_lookup(int argc, const char* const* argv, const LookupContext& ctx);

}  // namespace kovari
