// SPDX-License-Identifier: BSD-2-Clause
// How the programs name themselves and report: the program name, printf
// into a string, whole texts onto a stream and system errors in the manner
// of perror.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace kovari {

// The part of the invocation path after its last '/'.
std::string program_name(std::string_view invocation);

// printf into a std::string.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Writes the whole string to a stream (texts may hold NUL bytes).
inline void put_text(std::FILE* out, std::string_view t) { std::fwrite(t.data(), 1, t.size(), out); }

// Writes "phrase: description\n" on the stream, the description being the
// system's text for errnum, as perror prints it.
void report_error(std::FILE* err, const char* phrase, int errnum);

}  // namespace kovari
