// SPDX-License-Identifier: BSD-2-Clause
#include "soak/model.h"

#include "common/protocol.h"
#include "devkit/packets.h"

namespace kovari::soak {

std::size_t new_site(Model& model)
{
    const std::size_t id = model.sites.size();
    ModelSite m;
    m.cname = (id % 10 == 3 ? "*site" : "site") + std::to_string(id) + "@soak";
    m.name = "Soak Site " + std::to_string(id);
    if (id % 2 == 0)
        m.email = (id % 20 == 4 ? "*user" : "user") + std::to_string(id) + "@example.org";
    m.ssrc = devkit::make_ssrc(kSsrcBase + std::uint32_t(id));
    m.port_item = id % 3 != 0;
    m.port = std::int16_t(20000 + id % 40000);
    model.sites.push_back(std::move(m));
    return id;
}

void mark_alive(Model& m, std::size_t k)
{
    m.sites[k].alive = true;
    m.alive.push_back(k);
}

void mark_gone(Model& m, std::size_t k)
{
    m.sites[k].alive = false;
    for (std::size_t i = 0; i < m.alive.size(); ++i)
        if (m.alive[i] == k) {
            m.alive[i] = m.alive.back();
            m.alive.pop_back();
            return;
        }
}

devkit::Bytes announcement_of(const ModelSite& m)
{
    devkit::Announcement a;
    a.ssrc = m.ssrc;
    a.cname = m.cname;
    a.name = m.name;
    a.email = m.email;
    a.tool = "quorin-soak";
    if (m.port_item)
        a.port = m.port;
    return devkit::announcement(a);
}

std::string key_of(const ModelSite& m) { return std::string(without_marker(m.email ? *m.email : m.cname)); }

std::optional<std::string> difference(const ModelSite& m, const Site& s)
{
    const std::string want_email = m.email ? std::string(without_marker(*m.email)) : "";
    if (s.cname != std::string(without_marker(m.cname)) || s.name != m.name || s.email.value_or("") != want_email ||
        s.ssrc != m.ssrc || s.port != m.port || s.ip != m.ip || s.time < m.last - 2 || s.time > m.last + 2)
        return "port " + std::to_string(s.port) + "/" + std::to_string(m.port) + " ip " + dotted(s.ip) + "/" +
               dotted(m.ip);
    return std::nullopt;
}

bool near_expiry(const ModelSite& m, std::time_t now)
{
    const std::time_t age = now - m.last;
    return m.alive && age > kSiteLifetime - 10 && age <= kSiteLifetime + 130;
}

bool listed_at(const ModelSite& m, std::time_t now) { return m.alive && now - m.last <= kSiteLifetime; }

}  // namespace kovari::soak
