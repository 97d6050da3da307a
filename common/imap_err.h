// Store error codes.
//
// Every store operation reports failure as an int: 0 for success, an errno
// value, or one of the codes below.  The codes are consecutive from
// IMAP_ERR_BASE; the table of texts is installed once per process into
// NSPR's error-text registry so PR_ErrorToString(code, 0) turns any code,
// store or errno, into its message.
#pragma once

#include <cstdint>

inline constexpr int IMAP_ERR_BASE = -1904809472;  // 0x8E76EA00 as a signed int
inline constexpr int IMAP_ERR_COUNT = 45;

enum : int {
  IMAP_IOERROR = IMAP_ERR_BASE,
  IMAP_CONFIG_ERROR,
  IMAP_PERMISSION_DENIED,
  IMAP_QUOTA_EXCEEDED,
  IMAP_QUOTA_EXCEEDED_PERSISTENT,
  IMAP_MESSAGE_TOO_LARGE,
  IMAP_USERFLAG_EXHAUSTED,
  IMAP_MAILBOX_BADFORMAT,
  IMAP_MAILBOX_NOTSUPPORTED,
  IMAP_MAILBOX_NONEXISTENT,
  IMAP_WRONG_MAILHOST,
  IMAP_MAILBOX_EXISTS,
  IMAP_MAILBOX_BADNAME,
  IMAP_MAILBOX_LOCKED,
  IMAP_MAILBOXLIST_NONEXISTENT,
  IMAP_PARTITION_UNKNOWN,
  IMAP_INVALID_IDENTIFIER,
  IMAP_INVALID_MSGNO,
  IMAP_MESSAGE_CONTAINSNULL,
  IMAP_MESSAGE_CONTAINSNL,
  IMAP_MESSAGE_BADHEADER,
  IMAP_MESSAGE_NOBLANKLINE,
  IMAP_QUOTAROOT_NONEXISTENT,
  IMAP_UNRECOGNIZED_CHARSET,
  IMAP_UNRECOGNIZED_LANGUAGE,
  IMAP_INVALID_USER,
  IMAP_INVALID_LOGIN,
  IMAP_ANONYMOUS_NOT_PERMITTED,
  IMAP_USER_NOT_PERMITTED,
  IMAP_TEMP_AUTH_FAILURE,
  IMAP_UNSUPPORTED_QUOTA,
  IMAP_NO_OVERQUOTA,
  IMAP_NO_CLOSEQUOTA,
  IMAP_NO_MSGGONE,
  IMAP_NO_CHECKPERUSER,
  IMAP_NO_CHECKPRESERVE,
  IMAP_PROXY_UNAVAILABLE,
  IMAP_PROXY_ERROR,
  IMAP_PROXY_DISCONNECTED,
  IMAP_BYE_LOGOUT,
  IMAP_BYE_SHUTDOWN,
  IMAP_OK_COMPLETED,
  IMAP_PREFIX_OTHER,
  IMAP_PREFIX_PUBLIC,
  // Added after the shared table's last code so every older value stays.
  IMAP_MAILBOX_FULL,  // the folder's uids are used up (last uid 4294967295)
};
static_assert(IMAP_PREFIX_PUBLIC == IMAP_ERR_BASE + 43);
static_assert(IMAP_MAILBOX_FULL == IMAP_ERR_BASE + IMAP_ERR_COUNT - 1);

// Installs the table with PR_ErrorInstallTable.  Safe to call any number of
// times from any thread: only the first call installs.  Returns 0, or
// IMAP_CONFIG_ERROR when NSPR refused the table.
[[nodiscard]] int imap_InitializePRErrorTable();

// The message of a code: a store text, the system text of an errno value,
// or NSPR's text for an unknown code.  Installs the table when needed.
// The result is static; never freed.
const char* error_message(int code);

// The one place that decides whether a failure may pass if the caller tries
// again later (a busy folder, a full disk, a directory that is down) or is
// permanent (a bad name, a missing folder, a refused login).  POP3 replies
// and program exit statuses both use it.
bool error_is_temporary(int code);

// The sysexits-style exit status for a failure: 75 for temporary ones, 79 for
// objects that do not exist, 77 for permissions, 78 configuration, 65 bad
// data, 73 for a folder that can take no more messages, 74 other I/O, 70
// otherwise.  0 for 0.
int error_exit_status(int code);
