// LDIF value encoding (RFC 2849) for the lines orvdaaci writes.
//
// A value taken from the directory or the command line may hold bytes that
// would end an LDIF line early or change how a reader takes it (a line
// break, a leading space, ':' or '<', bytes above 0x7f).  Such a value is
// written in the base64 form "name:: ..." so that it can never add lines or
// records of its own.  Pure functions over byte strings: no state, no
// failures.
#pragma once

#include <string>
#include <string_view>

// True when `value` may follow "name: " as is: it is an RFC 2849
// SAFE-STRING (no NUL, LF, CR or byte above 0x7f; the first byte is not a
// space, ':' or '<') and does not end with a space, which readers strip.
// The empty string is safe.
bool ldif_is_safe(std::string_view value);

// Standard base64 (RFC 4648, with '=' padding) of the bytes of `bytes`.
std::string ldif_base64(std::string_view bytes);

// Appends one attribute line "name: value\n", or "name:: BASE64\n" when
// `value` is not safe.  The line is not folded; LDIF readers accept long
// lines.
void ldif_append_line(std::string& out, std::string_view name, std::string_view value);
