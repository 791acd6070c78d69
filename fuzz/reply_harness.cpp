// SPDX-License-Identifier: BSD-2-Clause
// The lookup's handling of a reply, in every output mode.
#include <vector>

#include "harness.h"
#include "common/utf8.h"
#include "lookup/lookup.h"

namespace kovari::fuzz {

const char* run_reply_input(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return nullptr;  // an empty receive ends the run before decoding
    const std::uint8_t modes = data[0];
    // A copy of exactly the bytes received: a read past them is caught.
    const std::vector<std::uint8_t> reply(data + 1, data + std::min(size, 1 + kLookupBuffer));

    RunState run;
    run.list_output = modes & 0x01;
    run.address_output = modes & 0x02;
    run.table_output = modes & 0x04;
    run.debug_output = modes & 0x08;
    run.message_pending = modes & 0x10;
    run.json_output = modes & 0x40;
    const bool message = run.message_pending;
    std::FILE* sink = null_stream();

    const auto sites = decode_match_reply(reply);
    if (sites.size() > std::size_t(packet_count(reply[0])))
        return "more sites decoded than the reply's count";

    const int times = modes & 0x20 ? 2 : 1;
    for (int k = 0; k < times; ++k)
        handle_reply(run, reply, sink, sink);
    if (run.message_pending)
        return "the server message stays pending after its reply";
    const long expect = long(sites.size()) * (times - (message ? 1 : 0));
    if (run.sites_shown != expect)
        return "sites shown differs from the sites decoded";
    const int status = finish_run(run, sink, sink);
    if (status != (run.address_output && run.sites_shown == 0 ? 2 : 0))
        return "finish_run gave the wrong status";
    // A JSON line is one line of UTF-8 whatever the reply held.
    for (const FoundSite& f : decode_found_sites(reply)) {
        const std::string line = json_site_line(f);
        if (!is_utf8(line))
            return "JSON line is not UTF-8";
        for (char c : line)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                return "JSON line holds a control character";
    }
    for (const Site& s : sites) {
        if (list_line(s).size() < 25)
            return "list line shorter than its address field";
        if (table_entry(s).front() != '\n')
            return "table entry does not begin with a newline";
    }
    return nullptr;
}

}  // namespace kovari::fuzz
