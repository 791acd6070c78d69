// SPDX-License-Identifier: BSD-2-Clause
// The lines the server's standard error may hold after a soak: only those
// that the load itself provokes. The slow peer makes the server drop or
// time out copies; the announcements without a CNAME make the -V message
// and its dump. Anything else fails the run.
#pragma once

#include <string>

namespace kovari::soak {

struct ErrorLines {
    long unexpected = 0;  // lines outside the allow-list
    long dropped = 0;     // copies dropped for the slow peer
    long no_cname = 0;    // announcements without a CNAME
};

bool expected_error_line(const std::string& line);
// Counts the lines of the error stream; the first ten unexpected ones are
// printed.
ErrorLines count_error_lines(const std::string& err);

}  // namespace kovari::soak
