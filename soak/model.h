// SPDX-License-Identifier: BSD-2-Clause
// The soak's model of the table: every site it ever announced, what the
// server must list for each, and which are listed now.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "common/site.h"
#include "devkit/bytes.h"

namespace kovari::soak {

// A site the server has not heard from for longer than this goes at the
// next sweep (every 120 seconds).
inline constexpr std::time_t kSiteLifetime = 900;
// The SSRC of site k is kSsrcBase + k.
inline constexpr std::uint32_t kSsrcBase = 0x50000000u;

struct ModelSite {
    std::string cname;
    std::optional<std::string> name, email;
    Ssrc ssrc{};
    bool port_item = false;
    std::int16_t port = 0;
    std::uint32_t ip = 0;
    std::time_t last = 0;
    bool alive = false;
};

struct Model {
    std::vector<ModelSite> sites;
    std::vector<std::size_t> alive;  // indexes into sites
};

// A site not announced yet; some are unlisted, some have no port item.
std::size_t new_site(Model& m);
void mark_alive(Model& m, std::size_t k);
void mark_gone(Model& m, std::size_t k);

// The announcement that site k sends.
devkit::Bytes announcement_of(const ModelSite& m);
// The text that finds only this site: its e-mail text, else its CNAME.
std::string key_of(const ModelSite& m);
// What a listed site shows that the model does not; nullopt when they agree
// (the time within two seconds).
std::optional<std::string> difference(const ModelSite& m, const Site& s);
// True when a listing of a site near its expiry may go either way: a sweep
// may or may not have taken it yet.
bool near_expiry(const ModelSite& m, std::time_t now);
// True when the server must list the site at `now`.
bool listed_at(const ModelSite& m, std::time_t now);

}  // namespace kovari::soak
