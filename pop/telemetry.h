// Per-user telemetry files: a copy of one logged-in POP3 session's traffic.
//
// An administrator who wants to see what a user's client does creates the
// directory "<instancedir>/data/telemetry/pop/<user>"; from then on each
// login of that user gets its own file there, named after the login time
// ("<seconds>", or "<seconds>.1", "<seconds>.2"... when several logins fall
// in the same second).  The file starts with a LOGIN line, holds every
// octet read from and written to the client after the login (commands,
// responses and message contents) and ends with the close or error record
// and the LOGOUT line.  Nothing before the login (USER, PASS, AUTH) is ever
// in it.  The file holds mail and commands: it is made mode 0600 and given
// the store owner.
//
// Telemetry never affects the session: every failure just means no (more)
// telemetry.  Not thread-safe: a TelemetryFile belongs to one session.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "common/unique_fd.h"

// Names tried in one second before giving up.
inline constexpr unsigned kTelemetryMaxTries = 1000;

// "Y/M/D h:mm:ss" for t in local time (month 1-12, nothing zero-padded but
// minutes and seconds).
std::string telemetry_time_text(time_t t);

// Creates a new file in dir named "<t>", or "<t>.N" with the smallest N
// (1 to kTelemetryMaxTries - 1) whose name is free, exclusively and with
// mode 0600.  The descriptor and (when path is not null) the path; an
// invalid descriptor with errno on failure (ENOENT when dir is missing,
// EEXIST when every name was taken).
UniqueFd telemetry_create(const std::string& dir, time_t t, std::string* path);

class TelemetryFile {
 public:
  TelemetryFile() = default;
  TelemetryFile(TelemetryFile&&) = default;
  TelemetryFile& operator=(TelemetryFile&&) = default;

  // Starts user's file when the user's telemetry directory exists: creates
  // it, fixes its mode and owner and writes the LOGIN line with login_time.
  // False (no file) when the directory is missing, the user id could name
  // another directory, or anything fails (logged, except a missing
  // directory).
  bool open(const std::string& instancedir, const std::string& user, time_t login_time);
  bool active() const { return fd_.valid(); }
  // Appends data.  A failing write (a full disk) logs once and ends the
  // telemetry of this session.
  void record(std::string_view data);
  // Writes the LOGOUT line (login and logout times) and closes the file.
  void logout(time_t logout_time);
  void close() { fd_.reset(); }

 private:
  UniqueFd fd_;
  std::string path_;
  std::string user_;
  time_t login_time_ = 0;
};
