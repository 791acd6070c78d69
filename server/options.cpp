// SPDX-License-Identifier: BSD-2-Clause
#include <cstring>

#include "common/host.h"
#include "common/release.h"
#include "forward.h"
#include "options.h"

namespace kovari {

std::vector<std::uint8_t> make_message_reply(std::span<const std::uint8_t> text)
{
    std::vector<std::uint8_t> r(text.size() + kMessageReplyHeader + 1, 0);
    r[0] = kRequestByte0;
    r[1] = kTypeAPP;
    // Bytes 2-3: the length field counts the whole words present, rounded
    // down, which is what RTCP dissectors accept for this odd-sized reply.
    const std::size_t words = r.size() / 4 - 1;
    r[2] = std::uint8_t(words >> 8);
    r[3] = std::uint8_t(words);
    std::memcpy(&r[8], kNameMessageReply.data(), 4);
    if (!text.empty())
        std::memcpy(&r[kMessageReplyHeader], text.data(), text.size());
    return r;
}

void print_server_usage(std::FILE* err, const std::string& program)
{
    print_usage(err, program, "Quorin Server.",
                " \t  -Aserv,... Accept forwarded packets from listed servers\n"
                " \t  -Baddress  Listen on this IPv4 address only\n"
                " \t  -Csites    Hold at most this many sites per address [1000]\n"
                " \t  -D\t     Debugging output on stderr\n"
                " \t  -Fserv,... Forward to listed servers\n"
                " \t  -Hpath     Write HTML status on base path\n"
                " \t  -Insec     Interval between HTML updates\n"
                " \t  -Jpath     Write JSON status as path.json\n"
                " \t  -Mfile     Load server message from file\n"
                " \t  -Nsites    Hold at most this many sites [1000000]\n"
                " \t  -Pport     Listen on given port\n"
                " \t  -Sfile     Keep the sites in this state file across restarts\n"
                " \t  -U\t     Print this message\n"
                " \t  -V[V]      List connections and disconnects [-VV: all packets]\n"
                " \t  -Xpath     Write metrics for Prometheus to path.prom\n"
                " \t  -Zpath     Write HTML private directory on base path\n");
}

namespace {

// Reads the whole message file. A file whose length cannot be found by
// seeking (a pipe, a device) is read to its end all the same.
std::optional<std::vector<std::uint8_t>> read_message_file(const char* path)
{
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr)
        return std::nullopt;
    std::vector<std::uint8_t> text;
    std::uint8_t chunk[4096];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        text.insert(text.end(), chunk, chunk + got);
    // A read that fails part way (a directory, an I/O error) is no message.
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);  // only read: nothing is lost at the close
    if (failed)
        return std::nullopt;
    return text;
}

// --help and --version, which any daemon answers, each on the standard
// output. Returns the exit status when `arg` is one of them.
std::optional<int> answer_long_option(Server& srv, const char* arg)
{
    if (std::strcmp(arg, "--help") == 0) {
        print_server_usage(srv.out, srv.settings.program_name);
        return 0;
    }
    if (std::strcmp(arg, "--version") == 0) {
        std::fprintf(srv.out, "%s %s\n", srv.settings.program_name.c_str(), kVersion);
        return 0;
    }
    return std::nullopt;
}

// -B: a dotted address, or a host name that resolves to one.
bool set_listen_address(Server& srv, const char* value)
{
    const auto ip = resolve_host(value);
    if (!ip) {
        std::fprintf(srv.err, "%s: listen address %s is unknown.\n",
                     srv.settings.program_name.c_str(), value);
        return false;
    }
    srv.settings.listen_ip = *ip;
    return true;
}

}  // namespace

std::optional<int> parse_server_options(Server& srv, int argc, char** argv)
{
    auto& s = srv.settings;
    s.program_name = program_name(argc > 0 ? argv[0] : "quorind");
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (auto status = answer_long_option(srv, arg))
            return status;
        if (arg[0] != '-') {
            print_server_usage(srv.err, s.program_name);
            return 2;
        }
        const char letter = option_letter(arg);
        const char* value = arg[1] != '\0' ? arg + 2 : arg + 1;
        switch (letter) {
        case 'A': parse_accept_list(srv, value); break;
        case 'B':
            if (!set_listen_address(srv, value))
                return 1;
            break;
        case 'C': s.max_per_address = parse_decimal(value); break;
        case 'D': s.debug = true; break;
        case 'F': parse_forward_list(srv, value); break;
        case 'H': s.public_base = value; break;
        case 'I': s.html_interval = parse_decimal(value); break;
        case 'J': s.json_base = value; break;
        case 'M': {
            auto text = read_message_file(value);
            if (!text) {
                std::fprintf(srv.err, "%s: can't open server message file %s\n",
                             s.program_name.c_str(), value);
                return 2;
            }
            s.message_reply = make_message_reply(*text);
            break;
        }
        case 'N': s.max_sites = parse_decimal(value); break;
        case 'P': s.listen_port = parse_decimal(value); break;
        case 'S':
            if (value[0] == '\0') {
                std::fprintf(srv.err, "%s: -S needs the name of a state file.\n", s.program_name.c_str());
                return 2;
            }
            s.state_file = value;
            break;
        case 'U':
        case '?': print_server_usage(srv.err, s.program_name); return 0;
        case 'V':
            s.verbose = true;
            if (value[0] == 'v' || value[0] == 'V')
                s.very_verbose = true;
            break;
        case 'X':
            if (value[0] == '\0') {
                std::fprintf(srv.err, "%s: -X needs the base path of a metrics file.\n", s.program_name.c_str());
                return 2;
            }
            s.metrics_base = value;
            break;
        case 'Z': s.private_base = value; break;
        default: break;  // other letters are ignored without a word
        }
    }
    if (s.message_reply.empty())
        s.message_reply = make_message_reply({});
    return std::nullopt;
}

}  // namespace kovari
