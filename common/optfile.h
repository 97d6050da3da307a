// The directory options file, "<local.serverroot>/config/option.dat".
//
// One option a line, "NAME = value"; blank lines and lines starting with
// '#' are skipped, blanks around the name and the value dropped.  Names are
// letters, digits and '_' (looked up exactly as written); a later line for
// the same name replaces the earlier one.  Values are taken as written, up
// to the end of the line (no quoting).  The file is optional: a missing one
// reads as empty.  It is read once into an OptFile the caller owns; no
// locks, no state outside the object.
//
// Errors: optfile_read returns 0, IMAP_CONFIG_ERROR for a malformed line, a
// file larger than 1 MB or one that is not a regular file (logged with the
// path and line), or the errno of a failed read.
#pragma once

#include <map>
#include <string>

struct OptFile {
  std::map<std::string, std::string> values;
};

[[nodiscard]] int optfile_read(const char* path, OptFile* out);
// The path of option.dat from local.serverroot; empty when that is unset.
std::string optfile_default_path();
// The value of name, or def when unset.
const char* optfile_get(const OptFile& opts, const char* name, const char* def);
// The value as a decimal integer; def when unset or not a number (logged).
int optfile_int(const OptFile& opts, const char* name, int def);
