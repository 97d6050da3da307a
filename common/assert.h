// Always-on assertion for the system's own impossible states (never for bad
// input, which gets an error code).  Logs the failed condition with file and
// line, then aborts.
#pragma once

[[noreturn]] void orv_assert_fail(const char* cond, const char* file, int line);

#define ORV_ASSERT(cond) ((cond) ? (void)0 : orv_assert_fail(#cond, __FILE__, __LINE__))
