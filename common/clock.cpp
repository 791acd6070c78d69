// SPDX-License-Identifier: BSD-2-Clause
#include "clock.h"

namespace kovari {

long monotonic_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return long(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

long monotonic_us()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return long(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

long wall_clock_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return long(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

std::string clock_text(std::time_t t)
{
    // Written digit by digit: the page writer calls this once per site.
    std::tm tm{};
    if (localtime_r(&t, &tm) == nullptr)
        return "00:00";
    const char text[5] = {char('0' + tm.tm_hour / 10), char('0' + tm.tm_hour % 10), ':',
                          char('0' + tm.tm_min / 10), char('0' + tm.tm_min % 10)};
    return std::string(text, 5);
}

}  // namespace kovari
