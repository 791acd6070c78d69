#pragma once

namespace kovari {

// The project's version, one for both programs and the package.
inline constexpr const char* kVersion = KOVARI_VERSION;

// The release text of both programs' usage texts.
inline constexpr const char* kReleaseText = "Release 1.0, December 2026";
inline constexpr const char* kCreditLine1 = "Kovari directory service: quorind and quorinq.";
inline constexpr const char* kCreditLine2 = "See quorind(8) and quorinq(1) for the details.";

}  // namespace kovari
