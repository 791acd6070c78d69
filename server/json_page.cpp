// SPDX-License-Identifier: BSD-2-Clause
#include "json_page.h"

#include "common/json.h"
#include "common/protocol.h"
#include "common/report.h"

namespace kovari {

namespace {

void put_text(std::string& out, const char* key, const std::optional<std::string_view>& text)
{
    out += ", \"";
    out += key;
    out += "\": ";
    out += text ? json_string(*text) : "null";
}

}  // namespace

std::string json_site(const SiteView& s)
{
    std::string out = format("{\"ssrc\": \"%08X\"", unsigned(ssrc_value(s.ssrc)));
    put_text(out, "cname", s.cname);
    put_text(out, "name", s.name);
    put_text(out, "email", s.email);
    put_text(out, "phone", s.phone);
    put_text(out, "loc", s.loc);
    put_text(out, "tool", s.tool);
    out += format(", \"address\": \"%s\", \"port\": %d, \"time\": %lld}", dotted(s.ip).c_str(), int(s.port),
                  static_cast<long long>(s.time));
    return out;
}

std::string json_page(const SiteTable& table, std::time_t now)
{
    std::string page = format("{\"as_of\": %lld, \"sites\": [", static_cast<long long>(now));
    const char* between = "\n";
    for_each_site(table, [&](const SiteView& s) {
        if (is_unlisted(s))
            return true;
        page += between;
        page += json_site(s);
        between = ",\n";
        return true;
    });
    page += between[0] == ',' ? "\n]}\n" : "]}\n";
    return page;
}

}  // namespace kovari
