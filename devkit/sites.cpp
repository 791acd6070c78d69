// SPDX-License-Identifier: BSD-2-Clause
#include "devkit/sites.h"

namespace kovari::devkit {

Announcement sample_ann()
{
    Announcement a;
    a.ssrc = {0xAA, 0xBB, 0xCC, 0xDD};
    a.cname = "ann";
    a.name = "Anne <b>Lee</b>";
    a.email = "*Ann.Lee";
    a.port = 2076;
    return a;
}

Site site_record(const Announcement& a, std::uint32_t ip, std::time_t time)
{
    Site s;
    s.time = time;
    s.ssrc = a.ssrc;
    s.ip = ip;
    s.port = std::int16_t(a.port.value_or(0));
    s.cname = a.cname;
    s.name = a.name;
    s.email = a.email;
    s.phone = a.phone;
    s.loc = a.loc;
    s.tool = a.tool;
    return s;
}

Site site(std::string cname, const SiteFields& f)
{
    Site s;
    s.cname = std::move(cname);
    s.name = f.name;
    s.email = f.email;
    s.ssrc = make_ssrc(f.ssrc);
    s.ip = ipv4(f.ip);
    s.port = std::int16_t(f.port);
    s.time = f.time;
    return s;
}

}  // namespace kovari::devkit
