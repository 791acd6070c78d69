// SPDX-License-Identifier: BSD-2-Clause
#include "report.h"

#include <cstdarg>
#include <cstring>

namespace kovari {

std::string program_name(std::string_view invocation)
{
    const auto slash = invocation.rfind('/');
    return std::string(slash == std::string_view::npos ? invocation : invocation.substr(slash + 1));
}

std::string format(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    char small[256];
    const int n = std::vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0)
        return {};
    if (std::size_t(n) < sizeof small)
        return std::string(small, std::size_t(n));
    std::string out(std::size_t(n), '\0');
    va_start(ap, fmt);
    std::vsnprintf(out.data(), out.size() + 1, fmt, ap);
    va_end(ap);
    return out;
}

void report_error(std::FILE* err, const char* phrase, int errnum)
{
    std::fprintf(err, "%s: %s\n", phrase, std::strerror(errnum));
}

}  // namespace kovari
