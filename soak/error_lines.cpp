// SPDX-License-Identifier: BSD-2-Clause
#include "soak/error_lines.h"

#include <cstdio>
#include <sstream>

namespace kovari::soak {

bool expected_error_line(const std::string& line)
{
    static const char* const prefixes[] = {
        "quorind: too many packets waiting for server 127.0.0.1, one dropped.",
        "quorind: too many connections waiting",
        "forwarding quorin source ID message: ",
        "Bogus SDES with no CNAME.",
        "SSRC = ",
        "\t  NAME = no cname",
    };
    for (const char* p : prefixes)
        if (line.rfind(p, 0) == 0)
            return true;
    // A repeated line is said once in ten seconds, then with its count.
    return line.rfind("quorind: ", 0) == 0 &&
           line.find(" more like the line above in the last ") != std::string::npos;
}

ErrorLines count_error_lines(const std::string& err)
{
    ErrorLines n;
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);) {
        if (!expected_error_line(line) && ++n.unexpected <= 10)
            std::printf("  unexpected on standard error: %s\n", line.c_str());
        n.dropped += line.find("one dropped") != std::string::npos;
        n.no_cname += line.rfind("Bogus SDES", 0) == 0;
    }
    return n;
}

}  // namespace kovari::soak
