// SPDX-License-Identifier: BSD-2-Clause
#include "release.h"

namespace kovari {

void print_usage(std::FILE* out, const std::string& program, const char* title,
                 const char* option_lines)
{
    const char* p = program.c_str();
    std::fprintf(out, "%s  --  Kovari: %s\n", p, title);
    std::fprintf(out, " \t      %s.\n", kReleaseText);
    std::fprintf(out, "\n");
    std::fprintf(out, "Usage: %s [options]\n", p);
    std::fputs("Options:\n", out);
    std::fputs(option_lines, out);
    std::fputs("\n", out);
    std::fprintf(out, "%s\n%s\n", kCreditLine1, kCreditLine2);
}

}  // namespace kovari
