// The site record: what both programs know about one voice program.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "protocol.h"

namespace kovari {

struct Site {
    std::time_t time = 0;  // server: arrival of the announcement; lookup: 'T' item
    Ssrc ssrc{};           // as received, never converted
    std::uint32_t ip = 0;  // IPv4, network order
    std::int16_t port = 0; // signed: a port above 32767 prints negative
    std::optional<std::string> cname;
    std::optional<std::string> name;
    std::optional<std::string> email;
    std::optional<std::string> phone;
    std::optional<std::string> loc;
    std::optional<std::string> tool;
};

// A read-only look at a site record, whichever way its texts are stored.
// The server's table hands these out when it is walked.
struct SiteView {
    std::time_t time = 0;
    Ssrc ssrc{};
    std::uint32_t ip = 0;
    std::int16_t port = 0;
    std::optional<std::string_view> cname, name, email, phone, loc, tool;
};

inline std::optional<std::string_view> view_text(const std::optional<std::string>& t)
{
    return t ? std::optional<std::string_view>(*t) : std::nullopt;
}

inline SiteView view_of(const Site& s)
{
    return {s.time,           s.ssrc,           s.ip,
            s.port,           view_text(s.cname), view_text(s.name),
            view_text(s.email), view_text(s.phone), view_text(s.loc),
            view_text(s.tool)};
}

// The text field that SDES item type 1..6 fills, or nullptr for any other.
std::optional<std::string>* item_field(Site& s, std::uint8_t type);

// A leading '*' on the cname or email keeps a site unlisted.
inline bool has_marker(const std::optional<std::string_view>& t)
{
    return t && !t->empty() && (*t)[0] == '*';
}
inline bool is_unlisted(const SiteView& s) { return has_marker(s.cname) || has_marker(s.email); }

// A text without its one leading '*', if it has one.
inline std::string_view without_marker(std::string_view t)
{
    return !t.empty() && t[0] == '*' ? t.substr(1) : t;
}

// Dotted form of an IPv4 address held in network order.
std::string dotted(std::uint32_t ip_network_order);

// "%s:%d" of an address and a signed port.
std::string address_text(std::uint32_t ip, std::int16_t port);

// The diagnostic dump: one header line, then one line per text that is set.
// Times are shown in local time in the 24-character ctime form.
void dump_site(std::FILE* out, const SiteView& s);
inline void dump_site(std::FILE* out, const Site& s) { dump_site(out, view_of(s)); }

// The part of the invocation path after its last '/'.
std::string program_name(std::string_view invocation);

// printf into a std::string.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Writes the whole string to a stream (texts may hold NUL bytes).
inline void put_text(std::FILE* out, std::string_view t) { std::fwrite(t.data(), 1, t.size(), out); }

// The system's description of an errno value, as perror prints it.
// Writes "phrase: description\n" on the stream.
void report_error(std::FILE* err, const char* phrase, int errnum);

}  // namespace kovari
