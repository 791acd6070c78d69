// SPDX-License-Identifier: BSD-2-Clause
#include "lookup.h"

#include <arpa/inet.h>

#include <cstring>
#include <ctime>

#include "common/json.h"
#include "common/layout.h"
#include "common/release.h"
#include "common/text.h"
#include "common/utf8.h"

namespace kovari {

// --- command line ---

void print_lookup_usage(std::FILE* err, const std::string& program)
{
    print_usage(err, program, "Quorin Lookup.",
                " \t  -C\t      Output kvphone connection address(es)\n"
                " \t  -D\t      Debugging output on stderr\n"
                " \t  -Hhost:port Query designated host\n"
                " \t  -J\t      JSON Lines output, one site a line\n"
                " \t  -L\t      List table of matches\n"
                " \t  -M\t      Show server message\n"
                " \t  -U\t      Print this message\n");
}

std::optional<int> parse_lookup_options(RunState& run, int argc, const char* const* argv,
                                        std::FILE* out, std::FILE* err)
{
    run.program = program_name(argc > 0 && argv[0] != nullptr ? argv[0] : "quorinq");
    run.query_index = 1;
    while (run.query_index < argc && argv[run.query_index][0] == '-') {
        const char* arg = argv[run.query_index];
        if (std::strcmp(arg, "--help") == 0) {
            print_lookup_usage(out, run.program);
            return 0;
        }
        if (std::strcmp(arg, "--version") == 0) {
            std::fprintf(out, "%s %s\n", run.program.c_str(), kVersion);
            return 0;
        }
        // Only the second character counts.
        switch (option_letter(arg)) {
        case 'C':
            run.address_output = true;
            run.list_output = false;
            break;
        case 'D': run.debug_output = true; break;
        case 'H': run.server_text = std::string(arg + 2); break;
        case 'J': run.json_output = true; break;
        case 'L':
            run.table_output = true;
            run.list_output = false;
            break;
        case 'M': run.message_pending = true; break;
        case 'U':
        case '?': print_lookup_usage(err, run.program); return 0;
        default: break;  // "-", "--" and unknown letters pass in silence
        }
        ++run.query_index;
    }
    return std::nullopt;
}

std::optional<std::string> choose_server_text(const RunState& run, const char* ask,
                                              const char* tell)
{
    if (run.server_text)
        return run.server_text;
    if (ask != nullptr && ask[0] != '\0')
        return std::string(ask);
    if (tell != nullptr) {
        const std::string_view all(tell);
        return std::string(all.substr(0, all.find(',')));
    }
    return std::nullopt;
}

void report_no_host(std::FILE* err, const std::string& program)
{
    const char* p = program.c_str();
    std::fprintf(err, "%s: no host specified.\n", p);
    std::fprintf(err, "%s: use -Hhost:port option or KOVARI_QRN_ASK\n", p);
    std::fprintf(err, "%s: or KOVARI_QRN_TELL environment variables.\n", p);
}

std::optional<std::string_view> overlong_query(const RunState& run, int argc,
                                               const char* const* argv)
{
    for (int i = run.query_index; i < argc; ++i) {
        const std::string_view q(argv[i]);
        if (q.size() > kMaxQueryText)
            return q;
    }
    return std::nullopt;
}

// --- requests ---

namespace {

void put_app_header(LookupBuffer& buf, const std::array<char, 4>& name)
{
    buf[0] = kRequestByte0;
    buf[1] = kTypeAPP;
    std::memset(&buf[4], 0, 4);  // SSRC zero
    std::memcpy(&buf[8], name.data(), 4);
}

}  // namespace

std::span<const std::uint8_t> build_message_request(LookupBuffer& buf)
{
    put_app_header(buf, kNameMessageRequest);
    put_length_field(buf, 12);
    return std::span<const std::uint8_t>(buf.data(), 12);
}

std::span<const std::uint8_t> build_query(LookupBuffer& buf, std::string_view text)
{
    put_app_header(buf, kNameQuery);
    std::size_t size = 12;
    std::memcpy(&buf[size], text.data(), text.size());
    size += text.size();
    buf[size++] = 0;
    while (size % 4 != 0)
        buf[size++] = 0;
    put_length_field(buf, size);
    return std::span<const std::uint8_t>(buf.data(), size);
}

// --- reply decoding ---

namespace {

// A private item's value: 'P' port, 'I' address, 'T' time. The text is
// kept as well.
void apply_private_item(FoundSite& f, const std::string& text)
{
    Site& s = f.site;
    const char* value = text.c_str() + 2;
    switch (private_prefix(text)) {
    case 'P':
        s.port = std::int16_t(std::uint16_t(parse_decimal(value) & 0xffff));
        f.port_text = std::string(value);
        break;
    case 'I':
        s.ip = ::inet_addr(value);  // INADDR_NONE when unreadable
        f.address_text = std::string(value);
        break;
    case 'T':
        s.time = std::time_t(parse_decimal(value));
        f.time_text = std::string(value);
        break;
    default: break;
    }
}

}  // namespace

std::optional<FoundSite> decode_chunk(ByteCursor& c)
{
    const auto ssrc = c.read_bytes(4);
    if (!ssrc)
        return std::nullopt;
    FoundSite f;
    std::copy(ssrc->begin(), ssrc->end(), f.site.ssrc.begin());
    if (!read_chunk_items(c, f.site,
                          [&](std::string_view text) { apply_private_item(f, std::string(text)); }))
        return std::nullopt;  // cut short, or an item runs past the bytes received
    // On to the next word boundary, counted from the reply's start.
    c.skip((4 - c.offset() % 4) % 4);
    return f;
}

std::vector<FoundSite> decode_found_sites(std::span<const std::uint8_t> reply)
{
    std::vector<FoundSite> sites;
    const auto byte0 = ByteCursor(reply).peek();
    if (!byte0)
        return sites;
    const int count = packet_count(*byte0);
    ByteCursor c(reply, 4, reply.size());
    for (int k = 0; k < count; ++k) {
        auto f = decode_chunk(c);
        if (!f)
            break;
        sites.push_back(std::move(*f));
    }
    return sites;
}

std::vector<Site> decode_match_reply(std::span<const std::uint8_t> reply)
{
    std::vector<Site> sites;
    for (FoundSite& f : decode_found_sites(reply))
        sites.push_back(std::move(f.site));
    return sites;
}

// --- output modes ---

namespace {

}  // namespace

std::string terminal_text(std::string_view text, bool utf8_terminal, bool keep_layout)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t seq = utf8_sequence(text, i);
        if (seq > 0) {
            if (utf8_code_point(text, i, seq) > 0x9F)  // not a C1 control
                out.append(text, i, seq);
            i += seq;
            continue;
        }
        ++i;
        const bool layout = keep_layout && (c == '\n' || c == '\t');
        if ((c < 0x20 && !layout) || (c >= 0x7F && c <= 0x9F))
            continue;
        if (utf8_terminal)
            append_utf8(out, c);
        else
            out += char(c);
    }
    return out;
}

namespace {

std::string shown_on_utf8(std::string_view t) { return terminal_text(t, true); }
std::string shown_on_bytes(std::string_view t) { return terminal_text(t, false); }
std::size_t byte_width(std::string_view t) { return t.size(); }

}  // namespace

std::string list_line(const Site& s, bool utf8_terminal)
{
    // Built as a string: texts from another source may be up to 255
    // bytes each, and the line is printed whole.
    std::string line = address_text(s.ip, s.port);
    pad_to(line, kAddressWidth);
    line += ' ';
    line += terminal_text(s.cname.value_or(std::string()), utf8_terminal);
    if (s.name) {
        line += " (";
        line += terminal_text(*s.name, utf8_terminal);
        line += ')';
    }
    return line;
}

std::string address_entry(const Site& s, bool first)
{
    return (first ? "-p" : " -p") + address_text(s.ip, s.port);
}

std::string table_entry(const Site& s, bool utf8_terminal)
{
    // Columns count what the terminal shows: characters on a UTF-8
    // terminal, bytes on an 8-bit one.
    const TextStyle style = utf8_terminal ? TextStyle{shown_on_utf8, display_width, nullptr}
                                          : TextStyle{shown_on_bytes, byte_width, nullptr};
    std::string e;
    put_site_block(e, view_of(s), style);
    return e;
}

namespace {

// A decimal integer and nothing else: an optional '-' and 1 to 18 digits
// (so that it fits a long long). Leading blanks, '+' and trailing bytes
// make it no number.
std::optional<long long> whole_number(std::string_view t)
{
    const bool negative = !t.empty() && t[0] == '-';
    const std::string_view digits = t.substr(negative ? 1 : 0);
    if (digits.empty() || digits.size() > 18)
        return std::nullopt;
    long long v = 0;
    for (char d : digits) {
        if (d < '0' || d > '9')
            return std::nullopt;
        v = v * 10 + (d - '0');
    }
    return negative ? -v : v;
}

std::string json_number(const std::optional<std::string>& text)
{
    const auto v = text ? whole_number(*text) : std::nullopt;
    return v ? std::to_string(*v) : "null";
}

std::string json_text(const std::optional<std::string>& t)
{
    return t ? json_string(*t) : "null";
}

// The dotted form of an 'I' item that holds an IPv4 address.
std::string json_address(const std::optional<std::string>& text)
{
    in_addr a{};
    if (!text || ::inet_aton(text->c_str(), &a) == 0)
        return "null";
    return '"' + dotted(a.s_addr) + '"';
}

}  // namespace

std::string json_site_line(const FoundSite& f)
{
    const Site& s = f.site;
    char ssrc[9];
    std::snprintf(ssrc, sizeof ssrc, "%08X", unsigned(ssrc_value(s.ssrc)));
    std::string line = "{\"ssrc\": \"";
    line += ssrc;
    line += '"';
    const std::pair<const char*, const std::optional<std::string>*> texts[] = {
        {"cname", &s.cname}, {"name", &s.name}, {"email", &s.email},
        {"phone", &s.phone}, {"loc", &s.loc},   {"tool", &s.tool}};
    for (const auto& [key, text] : texts) {
        line += ", \"";
        line += key;
        line += "\": ";
        line += json_text(*text);
    }
    line += ", \"address\": " + json_address(f.address_text);
    line += ", \"port\": " + json_number(f.port_text);
    line += ", \"time\": " + json_number(f.time_text);
    line += '}';
    return line;
}

std::string json_message_line(std::string_view text)
{
    return "{\"message\": " + json_string(text) + "}";
}

void show_site(RunState& run, const FoundSite& f, std::FILE* out, std::FILE* err)
{
    const Site& s = f.site;
    if (run.debug_output)
        dump_site(err, view_of(s), run.utf8_terminal ? shown_on_utf8 : shown_on_bytes);
    if (run.json_output) {
        put_text(out, json_site_line(f));
        std::fputc('\n', out);
        ++run.sites_shown;
        return;
    }
    if (run.list_output) {
        put_text(out, list_line(s, run.utf8_terminal));
        std::fputc('\n', out);
    }
    if (run.address_output)
        put_text(out, address_entry(s, run.sites_shown == 0));
    if (run.table_output)
        put_text(out, table_entry(s, run.utf8_terminal));
    ++run.sites_shown;
}

void handle_reply(RunState& run, std::span<const std::uint8_t> reply, std::FILE* out,
                  std::FILE* err)
{
    if (run.message_pending) {
        run.message_pending = false;
        // The text sits between the 12-byte header and the final NUL. A
        // reply too short to hold both carries no text.
        const auto bytes = ByteCursor(reply, kMessageReplyHeader, reply.size() - 1).rest();
        const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        if (run.json_output) {
            put_text(out, json_message_line(text));
            std::fputc('\n', out);
        } else {
            put_text(out, terminal_text(text, run.utf8_terminal, true));
        }
        return;
    }
    for (const FoundSite& f : decode_found_sites(reply))
        show_site(run, f, out, err);
}

int finish_run(const RunState& run, std::FILE* out, std::FILE* err)
{
    if (!run.address_output)
        return 0;
    if (run.sites_shown == 0) {
        std::fputs("No users found.\n", err);
        return 2;
    }
    if (!run.json_output)  // which has no line of addresses to end
        std::fputs("\n", out);
    return 0;
}

}  // namespace kovari
