// SPDX-License-Identifier: BSD-2-Clause
// Packets the server must drop without a reply: noise, bad headers,
// lengths that do not add up, a missing CNAME, an oversized receive, a
// sign-off of two SSRCs, a request of an unknown name.
#pragma once

#include "devkit/bytes.h"
#include "soak/model.h"
#include "soak/random.h"

namespace kovari::soak {

// One of ten kinds, chosen at random, built from site m's packets. None of
// them changes what the server lists.
devkit::Bytes malformed_packet(Random& rng, const ModelSite& m);

}  // namespace kovari::soak
