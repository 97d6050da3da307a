// Logging.
//
// bvlog(0, priority, format, ...) writes one line.  The priority packs a
// category and a syslog severity: priority = category * 8 + severity.
// Category 7 is the store (58 failed writes with %m, 59 errors, 60 warnings,
// 61 notices, 62 start-up information, 63 debug traces); category 0 is for
// general messages; the POP3 server uses 37 for logins, 46 for time-outs, 20
// for accept failures and 52 for counter failures.
//
// "%m" in the format stands for strerror(errno) as errno was on entry.
// Lines go to the target chosen by configmsg_initlog (a per-program file
// under the log directory, syslog, or standard error) as
//     2026-12-06T17:18:35Z orvbackup[1234] error: text
// Before configmsg_initlog the lines go to standard error.  Thread-safe; a
// line is written with one write(2) so concurrent processes never interleave
// inside a line.  Never called from signal handlers.
#pragma once

#include <cstdarg>

enum : int {
  LOG_SEV_EMERG = 0,
  LOG_SEV_ALERT = 1,
  LOG_SEV_CRIT = 2,
  LOG_SEV_ERR = 3,
  LOG_SEV_WARNING = 4,
  LOG_SEV_NOTICE = 5,
  LOG_SEV_INFO = 6,
  LOG_SEV_DEBUG = 7,
};

inline constexpr int bvlog_priority(int category, int severity) { return category * 8 + severity; }
inline constexpr int bvlog_category(int priority) { return priority / 8; }
inline constexpr int bvlog_severity(int priority) { return priority % 8; }

// Store priorities.
inline constexpr int LOG_STORE_WRITEFAIL = 58;
inline constexpr int LOG_STORE_ERR = 59;
inline constexpr int LOG_STORE_WARNING = 60;
inline constexpr int LOG_STORE_NOTICE = 61;
inline constexpr int LOG_STORE_STARTUP = 62;
inline constexpr int LOG_STORE_DEBUG = 63;

void bvlog(int reserved, int priority, const char* format, ...) __attribute__((format(printf, 3, 4)));
void bvlogv(int reserved, int priority, const char* format, va_list ap) __attribute__((format(printf, 3, 0)));

// Chooses the log target from the configuration (local.log.target,
// local.logdir, local.log.level) and names the lines after progname.
// facility names the log file ("default" when null): the file is
// <logdir>/<facility>.log, created by whoever calls: programs call this
// after configmsg_setuid so that it belongs to the server user.  0 on success; errno when the log file cannot be
// opened (a message goes to standard error).
int configmsg_initlog(const char* facility, const char* progname);

// Closes the log; later lines go to standard error.
void bvlog_close();

// Log rotation.  bvlog_reopen opens the log file again by its name, so
// that after a rotation renamed it the following lines go to a new file; a
// line is never lost or split between the two.  bvlog_reopen_on_signal(sig)
// makes sig (SIGHUP, SIGUSR1) request that from a signal handler: the next
// line, or the next bvlog_reopen_pending, reopens.  Daemons that are quiet
// for long call bvlog_reopen_pending in their main loop so the renamed file
// is let go of soon.  0 or -1 with errno.
void bvlog_reopen();
void bvlog_reopen_pending();
int bvlog_reopen_on_signal(int sig);

// Sends later lines to standard error only (programs' --foreground, tests),
// with lines below min_severity dropped.
void bvlog_to_stderr(int min_severity);
