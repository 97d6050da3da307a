// The directory attributes the store reads for a user.
//
// A user's entry is found in the users-and-groups directory through the
// process's connection pool and domain map (common/ldpool.h, common/dmap.h):
// a user id "local@domain" whose domain is not service.defaultdomain is
// searched under that domain's base DN as uid=local<sep>domain when the
// domain entry has a domainUidSeparator, else as uid=local; any other user id
// is searched as uid=<id> under the default domain's base DN (or under
// local.ugldapbasedn when no default domain is configured).  Every search
// value is escaped (RFC 4515), so an id such as "jo*" matches only "jo*".
//
// Values are sanitised on the way in: a value with CR, LF or NUL, or longer
// than USERATTR_MAX_VALUE bytes, is dropped (logged), so an attribute whose
// every value was dropped reads as absent; at most USERATTR_MAX_VALUES values
// are kept per attribute.
//
// Errors (store codes): 0; IMAP_INVALID_USER for a user id refused before
// any lookup (empty, longer than 128 bytes, with '/', a control byte, an
// '@' first or last, or a name the folder-name policy refuses); IMAP_MAILBOX_NONEXISTENT when the
// directory has no entry, several entries or no such domain;
// IMAP_TEMP_AUTH_FAILURE while the directory is unreachable, busy or slow;
// IMAP_CONFIG_ERROR when no directory is set up.  Lookups are thread-safe
// once userattr_init has returned.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct LdPool;
struct Dmap;

// The directory attributes the store reads for a user, in this order.
enum UserAttr : int {
  kAttrMailHost,
  kAttrMailMessageStore,
  kAttrPreferredLanguage,
  kAttrMail,
  kAttrMailQuota,
  kAttrMailMsgQuota,
  kAttrMailUserStatus,
  kAttrAclGroupAddr,
  kUserAttrCount
};
extern const char* const store_ldapattrs[kUserAttrCount];  // "mailhost", "mailmessagestore", ...
struct UserAttrs {
  std::string dn;                                   // the user's entry
  std::vector<std::string> values[kUserAttrCount];  // empty: the attribute is absent
  const std::string* first(UserAttr a) const { return values[a].empty() ? nullptr : &values[a][0]; }
};

inline constexpr size_t USERATTR_MAX_ID = 128;
inline constexpr size_t USERATTR_MAX_VALUE = 4096;
inline constexpr size_t USERATTR_MAX_VALUES = 64;

// Sets up the directory the lookups use.  With both pool and dmap given they
// are adopted (borrowed: they must outlive every lookup); otherwise the
// first call makes them from the configuration (ldpool_config_from_settings,
// dmap_config_from_settings) and later calls only report how that went.
// 0 or IMAP_CONFIG_ERROR (logged).  Not concurrent with lookups.
[[nodiscard]] int userattr_init(LdPool* pool, Dmap* dmap);
// Drops the directory set up by userattr_init (at exit, and in tests).
void userattr_exit();
// The pool and map in use, null before userattr_init succeeded.  Borrowed.
LdPool* userattr_pool();
Dmap* userattr_dmap();

// Checks a user id as every lookup does first.  0 or IMAP_INVALID_USER.
[[nodiscard]] int userattr_check_userid(std::string_view userid);

// Reads the store's attributes (store_ldapattrs) of userid into vals.
[[nodiscard]] int userattr_get(std::string_view userid, UserAttrs* vals);

// Reads the attributes attrs of userid: values->at(i) holds the sanitised
// values of attrs[i] (empty when absent); dn (may be null) the entry's DN.
[[nodiscard]] int userattr_get_attrs(std::string_view userid, const std::vector<std::string>& attrs,
                                     std::vector<std::vector<std::string>>* values, std::string* dn);

// Empties vals (the values own their memory; kept for the callers' symmetry).
void userattr_free(UserAttrs* vals);

// The first preferredLanguage value in lower case when it is a plain
// language tag (letters, digits and '-', at most 35 bytes); nothing for
// lists ("en,de"), options ("fr;binary") or a missing value.
std::optional<std::string> userattr_pref_lang(const UserAttrs* vals);
