// SPDX-License-Identifier: BSD-2-Clause
#include "soak/malformed.h"

#include "common/protocol.h"
#include "devkit/packets.h"

namespace kovari::soak {
namespace {

// Bytes at random, never a version-2 packet by chance.
devkit::Bytes noise(Random& rng)
{
    devkit::Bytes p(1 + pick(rng, 1024));
    for (auto& b : p)
        b = std::uint8_t(rng());
    if ((p[0] & 0xC0) == 0x80 || (p[0] & 0xC0) == 0xC0)
        p[0] = 0x00;
    return p;
}

// A request APP packet of another name.
devkit::Bytes unknown_request()
{
    devkit::Bytes p = devkit::message_request();
    p[10] = 'x';
    p[11] = 'x';
    return p;
}

// Longer than one receive takes, its length field saying less.
devkit::Bytes oversized(devkit::Bytes p)
{
    const std::size_t n = p.size();
    p.resize(1500, 0x5A);
    put_length_field(p, n);
    return p;
}

// A sign-off with two SSRCs is dropped: the site stays.
devkit::Bytes two_ssrc_bye(const Ssrc& ssrc)
{
    devkit::Bytes p = devkit::bye_packet(ssrc);
    p.insert(p.end(), ssrc.begin(), ssrc.end());
    p[0] = 0x82;
    put_length_field(p, p.size());
    return p;
}

}  // namespace

devkit::Bytes malformed_packet(Random& rng, const ModelSite& m)
{
    devkit::Bytes p = announcement_of(m);
    switch (pick(rng, 10)) {
    case 0: return noise(rng);
    case 1: p[0] = 0xA1; break;                        // padding flag
    case 2: p[1] = 205; break;                         // unknown type
    case 3: put_length_field(p, p.size() + 4); break;  // lengths do not add up
    case 4: p.resize(p.size() - 3); break;             // cut short
    case 5: p[0] = 0x82; break;                        // two chunks said
    case 6: return devkit::sdes_packet(m.ssrc, {{kItemNAME, "no cname"}});
    case 7: return unknown_request();
    case 8: return oversized(std::move(p));
    case 9: return two_ssrc_bye(m.ssrc);
    }
    return p;
}

}  // namespace kovari::soak
