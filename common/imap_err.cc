#include "common/imap_err.h"

#include <prerror.h>

#include <cerrno>
#include <mutex>

namespace {

// Texts are shown to clients and admins verbatim; keep them as they are.
const PRErrorMessage kMessages[IMAP_ERR_COUNT] = {
    {"IMAP_IOERROR", "System I/O error.  Administrator, check server log for details."},
    {"IMAP_CONFIG_ERROR", "Configuration error"},
    {"IMAP_PERMISSION_DENIED", "Permission denied"},
    {"IMAP_QUOTA_EXCEEDED", "Over quota"},
    {"IMAP_QUOTA_EXCEEDED_PERSISTENT", "Over quota"},
    {"IMAP_MESSAGE_TOO_LARGE", "Message too large"},
    {"IMAP_USERFLAG_EXHAUSTED", "Too many keywords in mailbox"},
    {"IMAP_MAILBOX_BADFORMAT", "Mailbox has an invalid format"},
    {"IMAP_MAILBOX_NOTSUPPORTED", "Operation is not supported on mailbox"},
    {"IMAP_MAILBOX_NONEXISTENT", "Mailbox does not exist"},
    {"IMAP_WRONG_MAILHOST", "Mailbox is on a different server"},
    {"IMAP_MAILBOX_EXISTS", "Mailbox already exists"},
    {"IMAP_MAILBOX_BADNAME", "Invalid mailbox name"},
    {"IMAP_MAILBOX_LOCKED", "Mailbox is busy"},
    {"IMAP_MAILBOXLIST_NONEXISTENT", "Mailbox list does not exist"},
    {"IMAP_PARTITION_UNKNOWN", "Unknown/invalid partition"},
    {"IMAP_INVALID_IDENTIFIER", "Invalid identifier"},
    {"IMAP_INVALID_MSGNO", "Invalid message number"},
    {"IMAP_MESSAGE_CONTAINSNULL", "Message contains NUL characters"},
    {"IMAP_MESSAGE_CONTAINSNL", "Message contains bare newlines"},
    {"IMAP_MESSAGE_BADHEADER", "Message contains invalid header"},
    {"IMAP_MESSAGE_NOBLANKLINE", "Message has no header/body separator"},
    {"IMAP_QUOTAROOT_NONEXISTENT", "Quota root does not exist"},
    {"IMAP_UNRECOGNIZED_CHARSET", "Unrecognized character set"},
    {"IMAP_UNRECOGNIZED_LANGUAGE", "Unrecognized language"},
    {"IMAP_INVALID_USER", "Invalid user"},
    {"IMAP_INVALID_LOGIN", "Login incorrect"},
    {"IMAP_ANONYMOUS_NOT_PERMITTED", "Anonymous login is not permitted"},
    {"IMAP_USER_NOT_PERMITTED", "User not permitted"},
    {"IMAP_TEMP_AUTH_FAILURE", "Authentication server temporarily unavailable"},
    {"IMAP_UNSUPPORTED_QUOTA", "Unsupported quota resource"},
    {"IMAP_NO_OVERQUOTA", "Mailbox is over quota"},
    {"IMAP_NO_CLOSEQUOTA", "Mailbox is at %d%% of quota"},
    {"IMAP_NO_MSGGONE", "Message no longer exists"},
    {"IMAP_NO_CHECKPERUSER", "Unable to checkpoint per-user flags"},
    {"IMAP_NO_CHECKPRESERVE", "Unable to preserve per-user flags"},
    {"IMAP_PROXY_UNAVAILABLE", "Server hosting this mailbox is not available"},
    {"IMAP_PROXY_ERROR", "Error parsing backend IMAP server response"},
    {"IMAP_PROXY_DISCONNECTED", "The backend IMAP server has disconnected"},
    {"IMAP_BYE_LOGOUT", "LOGOUT received"},
    {"IMAP_BYE_SHUTDOWN", "System shutting down"},
    {"IMAP_OK_COMPLETED", "Completed"},
    {"IMAP_PREFIX_OTHER", "Shared Folders/User"},
    {"IMAP_PREFIX_PUBLIC", "Shared Folders/Public"},
    {"IMAP_MAILBOX_FULL", "Mailbox is full: its message UIDs are used up"},
};

const PRErrorTable kTable = {kMessages, "imap_err", IMAP_ERR_BASE, IMAP_ERR_COUNT};

std::once_flag g_once;
int g_install_result = 0;

}  // namespace

int imap_InitializePRErrorTable() {
  std::call_once(g_once, [] { g_install_result = PR_ErrorInstallTable(&kTable) == 0 ? 0 : IMAP_CONFIG_ERROR; });
  return g_install_result;
}

const char* error_message(int code) {
  (void)imap_InitializePRErrorTable();
  return PR_ErrorToString(code, 0);
}

bool error_is_temporary(int code) {
  switch (code) {
    case IMAP_IOERROR:
    case IMAP_MAILBOX_LOCKED:
    case IMAP_TEMP_AUTH_FAILURE:
    case IMAP_PROXY_UNAVAILABLE:
    case IMAP_PROXY_DISCONNECTED:
    case IMAP_QUOTA_EXCEEDED:  // may pass once the user makes room
    case EAGAIN:
    case EINTR:
    case ENOSPC:
    case EDQUOT:
    case ENOMEM:
    case EMFILE:
    case ENFILE:
    case EBUSY:
    case ETIMEDOUT:
    case ECONNREFUSED:
      return true;
    default:
      return false;
  }
}

int error_exit_status(int code) {
  if (code == 0) return 0;
  if (error_is_temporary(code)) return 75;
  switch (code) {
    case IMAP_MAILBOX_NONEXISTENT:
    case IMAP_MAILBOXLIST_NONEXISTENT:
    case IMAP_QUOTAROOT_NONEXISTENT:
    case IMAP_INVALID_USER:
    case IMAP_NO_MSGGONE:
    case ENOENT:
      return 79;
    case IMAP_PERMISSION_DENIED:
    case IMAP_USER_NOT_PERMITTED:
    case IMAP_INVALID_LOGIN:
    case EACCES:
    case EPERM:
      return 77;
    case IMAP_CONFIG_ERROR:
    case IMAP_PARTITION_UNKNOWN:
      return 78;
    case IMAP_MAILBOX_FULL:
      // Nothing more can be stored in the folder until an administrator
      // moves its messages to a new one: "cannot create", not a retry.
      return 73;
    case IMAP_MAILBOX_BADFORMAT:
    case IMAP_MAILBOX_BADNAME:
    case IMAP_MESSAGE_CONTAINSNULL:
    case IMAP_MESSAGE_CONTAINSNL:
    case IMAP_MESSAGE_BADHEADER:
    case IMAP_MESSAGE_NOBLANKLINE:
    case IMAP_INVALID_IDENTIFIER:
    case IMAP_INVALID_MSGNO:
    case IMAP_MAILBOX_EXISTS:
      return 65;
    case EIO:
      return 74;
    default:
      return 70;
  }
}
