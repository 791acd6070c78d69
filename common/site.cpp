#include "site.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace kovari {

std::optional<std::string> read_item(ByteCursor& c)
{
    if (c.left() < 2) {
        c.skip(c.left());
        return std::nullopt;
    }
    const std::size_t len = c.bytes[c.pos + 1];
    if (c.left() < 2 + len) {
        c.skip(c.left());
        return std::nullopt;
    }
    // Texts are NUL-terminated everywhere they are used: a NUL inside an
    // item ends its text there.
    const char* first = reinterpret_cast<const char*>(c.bytes.data() + c.pos + 2);
    std::string text(first, ::strnlen(first, len));
    c.skip(2 + len);
    return text;
}

long parse_decimal(const char* text)
{
    const int saved = errno;
    const long v = std::strtol(text, nullptr, 10);
    errno = saved;
    return v;
}

std::optional<std::string>* item_field(Site& s, std::uint8_t type)
{
    switch (type) {
    case kItemCNAME: return &s.cname;
    case kItemNAME: return &s.name;
    case kItemEMAIL: return &s.email;
    case kItemPHONE: return &s.phone;
    case kItemLOC: return &s.loc;
    case kItemTOOL: return &s.tool;
    default: return nullptr;
    }
}

std::string dotted(std::uint32_t ip)
{
    char buf[INET_ADDRSTRLEN];
    in_addr a{};
    a.s_addr = ip;
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

std::string address_text(std::uint32_t ip, std::int16_t port)
{
    return format("%s:%d", dotted(ip).c_str(), int(port));
}

void dump_site(std::FILE* out, const SiteView& s)
{
    // ctime's text already ends in the newline that ends the line.
    char when[64] = "(unrepresentable time)\n";
    std::tm tm{};
    if (localtime_r(&s.time, &tm) != nullptr)
        std::strftime(when, sizeof when, "%a %b %e %H:%M:%S %Y\n", &tm);
    std::fprintf(out, "SSRC = %X IP = %s Port %d %s", unsigned(ssrc_value(s.ssrc)),
                 dotted(s.ip).c_str(), int(s.port), when);
    const struct {
        const char* label;
        const std::optional<std::string_view>& text;
    } lines[] = {{"\t CNAME = ", s.cname}, {"\t  NAME = ", s.name},  {"\t EMAIL = ", s.email},
                 {"\t PHONE = ", s.phone}, {"\t   LOC = ", s.loc},   {"\t  TOOL = ", s.tool}};
    for (const auto& l : lines) {
        if (!l.text)
            continue;
        std::fputs(l.label, out);
        put_text(out, *l.text);
        std::fputc('\n', out);
    }
}

std::string program_name(std::string_view invocation)
{
    const auto slash = invocation.rfind('/');
    return std::string(slash == std::string_view::npos ? invocation : invocation.substr(slash + 1));
}

std::string format(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    char small[256];
    const int n = std::vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0)
        return {};
    if (std::size_t(n) < sizeof small)
        return std::string(small, std::size_t(n));
    std::string out(std::size_t(n), '\0');
    va_start(ap, fmt);
    std::vsnprintf(out.data(), out.size() + 1, fmt, ap);
    va_end(ap);
    return out;
}

void report_error(std::FILE* err, const char* phrase, int errnum)
{
    std::fprintf(err, "%s: %s\n", phrase, std::strerror(errnum));
}

}  // namespace kovari
