// SPDX-License-Identifier: BSD-2-Clause
// The end of a soak: the figures printed, and whether it passed. It passes
// when no check failed, the standard error holds only expected lines, the
// server ended with status 0, its activity log agrees with the model, and
// either its resident memory stayed within 10% of its value after the
// warm-up or, under valgrind, the report is clean.
#pragma once

#include <optional>
#include <string>

#include "soak/load.h"
#include "soak/run.h"

namespace kovari::soak {

struct Outcome {
    const Load& load;
    const RunFigures& figures;
    long peer_accepted = 0;      // copies the slow peer took
    long peer_well_formed = 0;   // of them, whole marked packets
    std::string out, err;        // the server's streams
    std::optional<int> status;   // its exit status
    std::optional<std::string> valgrind_log;  // when it ran under valgrind
};

bool judge(const Outcome& o);

}  // namespace kovari::soak
