// The product banner and version text shown to clients and written to logs.
//
// version() keeps its text in one static buffer rewritten on each call, so
// it is not safe against concurrent callers; generate_banner works only on
// the caller's buffer.  Neither can fail.
#pragma once

#include <cstddef>

// Size of a banner buffer: at most 512 characters and the NUL.
inline constexpr size_t BANNER_BUF = 513;

// "6.1 HotFix 0.02 (built Aug 25 2004)": release, a separator chosen by the
// fix level (" HotFix " when it contains a dot, " Patch " when not, nothing
// without one), fix level and build date.
const char* version();

// Copies format (null or empty: "%h %p service (%P %V)") into buf
// (BANNER_BUF bytes) with "%%" -> '%', "%P" -> product name, "%V" ->
// version(), "%v" -> release, "%h" -> hostname (nothing when null), "%p" ->
// program; '%' with any other character produces nothing.  A substitution
// that would make the text reach 512 characters is left out; copying stops
// at 512 characters.  Returns buf, NUL-terminated.
char* generate_banner(char* buf, const char* format, const char* hostname, const char* program);
