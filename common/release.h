// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdio>
#include <string>

namespace kovari {

// The project's version, one for both programs and the package.
inline constexpr const char* kVersion = KOVARI_VERSION;

// The release text of both programs' usage texts.
inline constexpr const char* kReleaseText = "Release 1.0, December 2026";
inline constexpr const char* kCreditLine1 = "Kovari directory service: quorind and quorinq.";
inline constexpr const char* kCreditLine2 = "See quorind(8) and quorinq(1) for the details.";

// The usage text both programs print: a title line naming the program
// ("Kovari: Quorin Server."), the release, the usage line, the option lines
// as given, and the credit lines.
void print_usage(std::FILE* out, const std::string& program, const char* title,
                 const char* option_lines);

}  // namespace kovari
