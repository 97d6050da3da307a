// Folder names and folder directories.
//
// Internal names: UTF-8 text in modified UTF-7 (common/mutf7.h), separator
// '/', at most MBOXNAME_MAX bytes.  "user/<id>" is the INBOX of user <id>
// (a user id never contains '/'), "user/<id>/<folder>[/<sub>...]" are that
// user's other folders, "public/<folder>[/<sub>...]" are shared folders.
//
// Client-visible names use three namespaces: personal (no prefix: "Sent" is
// "user/<me>/Sent", "INBOX" is "user/<me>"), other users ("Shared
// Folders/User/bob/Sent") and public ("Shared Folders/Public/x").  The
// internal presentation (language -1) uses "user" and "public" as prefixes.
//
// Folder directories: under a partition root, "=user/HH/HH/" (a hash of the
// user id spreads users over 128 x 128 directories) for user folders, then
// one directory per name component, each starting with '=' and holding the
// component with the bytes % + . : \ ~ and upper-case letters escaped
// ('%p' '%a' '%d' '%c' '%b' '%t', '+' before a capital).  Since every
// component starts with '=' and '.' is escaped, no component is ever "." or
// ".." and no name leads outside the partition root.
//
// All functions are plain functions over NUL-terminated byte strings with
// caller-provided buffers of the sizes given below; none keeps state, all
// are thread-safe (mboxname_tointernal reads the configuration through
// store_canonifymboxname).  Failures return IMAP_MAILBOX_BADNAME and leave
// the output empty or partly written: callers must not use it.  Nothing
// here logs.
#pragma once

#include <cstddef>

inline constexpr size_t MBOXNAME_MAX = 256;  // internal name, NUL included
inline constexpr size_t MBOXNAME_BUF = MBOXNAME_MAX + 1;
inline constexpr size_t MBOXNAME_HASH_BUF = 8;     // "/hh/hh/" and NUL
inline constexpr size_t MBOXNAME_PATH_BUF = 1025;  // folder directory, NUL included
inline constexpr size_t MBOXNAME_PATH_LIMIT = 1000;
inline constexpr size_t MBOXNAME_OWNER_BUF = 128;

// Namespace prefixes: id 0 personal, 1 other users, 2 public; language -1
// gives the internal ones ("", "user", "public"), anything else the display
// ones ("", "Shared Folders/User", "Shared Folders/Public").  Null for any
// other id.  Static strings.
const char* mboxname_prefix(int id, int language);

// Converts the client-visible name for user userid (may be null) into the
// internal name in result (MBOXNAME_BUF bytes).  0 or IMAP_MAILBOX_BADNAME.
[[nodiscard]] int mboxname_tointernal(const char* name, int language, const char* userid, char* result);

// Writes the hash directory fragment "/hh/hh/" of the first namelen bytes
// of name (0: the whole string) into result (MBOXNAME_HASH_BUF bytes).  The
// first character of each pair is a hex digit, the second 0-7.
void mboxname_tohash(const char* name, size_t namelen, char* result);

// Directory of folder name under partition directory root, into pathresult
// (MBOXNAME_PATH_BUF bytes).  IMAP_MAILBOX_BADNAME when the path would
// reach MBOXNAME_PATH_LIMIT bytes.
[[nodiscard]] int mboxname_getpath(const char* name, const char* root, char* pathresult);

// Decodes one encoded directory fragment ("=+Ann/=+Sent" -> "Ann/Sent")
// into nameresult (MBOXNAME_MAX bytes: at most 255 and a NUL).  The caller
// strips "=user" and the hash levels first.  IMAP_MAILBOX_BADNAME for a
// fragment not starting with '=', a '/' not followed by '=', an escape the
// encoder never writes, or a result of 255 bytes or more.
[[nodiscard]] int mboxname_frompath(const char* path, char* nameresult);

// "user/<userid>/<name>", or "user/<userid>" when name is null or empty,
// into buf (MBOXNAME_MAX bytes; truncated beyond).  Returns buf.
char* mboxname_toownedmailbox(const char* name, const char* userid, char* buf);

// 1 when name is userid's INBOX or one of its folders, else 0.
int mboxname_userownsmailbox(const char* userid, const char* name);

// The owning user id of a "user/..." name, copied into buf
// (MBOXNAME_OWNER_BUF bytes, at most 127 of them); null for other names.
char* mboxname_owner(const char* name, char* buf);

// 0 when a folder of this name may be created, else IMAP_MAILBOX_BADNAME.
[[nodiscard]] int mboxname_policycheck(const char* name);
