// SPDX-License-Identifier: BSD-2-Clause
#include "site.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include "report.h"

namespace kovari {

Site site_of(const SiteView& v)
{
    const auto own = [](const std::optional<std::string_view>& t) {
        return t ? std::optional<std::string>(std::string(*t)) : std::nullopt;
    };
    return {v.time,        v.ssrc,       v.ip,          v.port,        own(v.cname),
            own(v.name),   own(v.email), own(v.phone), own(v.loc),   own(v.tool)};
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

void dump_site(std::FILE* out, const SiteView& s, std::string (*shown)(std::string_view))
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
        if (shown != nullptr)
            put_text(out, shown(*l.text));
        else
            put_text(out, *l.text);
        std::fputc('\n', out);
    }
}

}  // namespace kovari
