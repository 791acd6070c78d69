// SPDX-License-Identifier: BSD-2-Clause
// kvbench's figures of the writes that quorind does away from its request
// path (the pages and the state file) and of loading the state file:
//
// - in this process, through the server's public functions: what starting
//   a page write or a state write costs the event loop (the fork of the
//   child that writes), and the time to load a state file;
// - quorind started on a state file: from its exec until it answers;
// - a large table (a million sites), in a process of its own so that its
//   resident memory is the table's: memory per site, both pages written,
//   the state file written durably, and loaded.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kovari::bench {

struct Settings;

struct WriteStalls {
    std::uint32_t sites = 0;
    // The call that starts a write, median and largest of nine: a page
    // write (note_table_change under -I0) and a state write (save_state_if_changed).
    double page_start_ms = -1, page_start_max_ms = -1;
    double state_start_ms = -1, state_start_max_ms = -1;
    bool forked = false;     // every call started a child (else it wrote in process)
    double load_ms = -1;     // load_state, median of three
    bool loaded_all = false; // every load took every site
};
WriteStalls run_write_stalls(std::uint32_t sites);

struct StateStart {
    bool ran = false;
    std::uint32_t sites = 0;
    double ms = -1;           // from the exec to the first answered query
    bool site_found = false;  // a site of the file was found by it
};
// quorind started with -S on a state file of `sites` bench sites.
StateStart run_state_start(const Settings& set, std::uint32_t sites);

// quorind started on a state file: from its exec to READY=1 on its
// NOTIFY_SOCKET, and to its first answer to a query for a site of the file.
struct StartTimes {
    bool ran = false;
    double ready_ms = -1;
    double answer_ms = -1;
    bool site_found = false;
};
StartTimes time_start(const std::string& quorind, const std::string& state, std::uint32_t sites,
                      const std::vector<std::string>& options);

struct LargeTable {
    bool ran = false;
    std::uint32_t sites = 0;
    double build_s = -1;               // entering the sites
    double rss_bytes_per_site = -1;    // the table's resident memory
    double miss_us = -1, exact_us = -1;  // a query that matches nothing, one exact, in process
    double public_ms = -1, private_ms = -1, pages_ms = -1;  // each page written once
    double state_bytes = -1;
    double encode_ms = -1;             // encode_state
    double state_write_ms = -1;        // encode_state and the durable replace_file
    double load_ms = -1;               // load_state
    double decode_ms = -1;             // of which decode_state
    double filing_ms = -1;             // the search texts filed after it, as the loop does
    bool loaded_all = false;
    StartTimes start;                  // quorind on that state file, with both pages
};
// In this process; what `kvbench --large-only N --quorind PATH` runs.
LargeTable run_large_table(std::uint32_t sites, const std::string& quorind);
// `kvbench --large-only N` in a fresh process, and its figures.
LargeTable run_large_apart(std::uint32_t sites, const std::string& quorind);

// As one JSON line, and back (json.cpp).
std::string large_json(const LargeTable& t);
std::optional<LargeTable> parse_large_json(const std::string& line);

// The limits that kvbench's targets hold these figures to.
inline constexpr double kLoadLimitMs = 1000;       // a state file of the largest size loaded
inline constexpr double kWriteStartLimitMs = 5;    // a write started
inline constexpr double kLargeLoadLimitMs = 1500;  // a state file of the large table loaded
inline constexpr double kLargeReadyLimitMs = 2000; // quorind ready on it, from its exec

}  // namespace kovari::bench
