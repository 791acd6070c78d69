// SPDX-License-Identifier: BSD-2-Clause
// The clocks the programs read: the monotonic clock for time limits, and
// the local wall-clock time of day that logs, pages and tables show.
#pragma once

#include <ctime>
#include <string>

namespace kovari {

// Milliseconds of the monotonic clock.
long monotonic_ms();

// Microseconds of the monotonic clock: for the time a request takes.
long monotonic_us();

// Milliseconds of the wall clock (since the epoch).
long wall_clock_ms();

// "HH:MM" of `t` in local time; "00:00" for a time the calendar cannot hold.
std::string clock_text(std::time_t t);

}  // namespace kovari
