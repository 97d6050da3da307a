// Identities of a caller and who administers the store.
//
// An identifier is one of:
//   "anyone"          every caller, authenticated or not;
//   "group:<name>"    a group (membership comes from the directory and is
//                     handed to auth_newstate);
//   <user id>         a user, "name" or "name@domain".
// Canonical form (auth_canonifyid): "anyone" and the "group:" prefix in
// lower case; a user id with the at sign and domain removed when the domain
// is the configured "service.defaultdomain" (any letter case), else with the
// domain lower-cased; the local part and group names keep their case.
// Refused: empty identifiers, 128 bytes or more, control bytes and DEL, a
// leading '-' (it marks negative rights in an ACL), a '/' in a user id and
// the user ids "." and ".." (a user id is a folder-name component and part
// of file names), an empty group name, local part or domain.
//
// Administrators: the configuration key "store.admins" holds identifiers
// separated by blanks (users or "group:" names; "anyone" is ignored there).
// A caller who is one of them, or in one of those groups, administers the
// whole store: auth_adminFor gives 2 for every owner.  0 means no standing.
//
// An auth_state is made by auth_newstate and owned by the caller until
// auth_freestate; it is immutable, so threads may share it.  The special
// state auth_dontCheckAcl (never freed) stands for the store's own
// maintenance: it has every right on every folder and administrator level 2,
// and callers that see it skip their permission checks.
//
// Failures are reported as IMAP_INVALID_IDENTIFIER (an identifier that
// cannot be made canonical); nothing here logs.
#pragma once

#include <cstddef>
#include <memory>

inline constexpr size_t AUTH_ID_MAX = 128;  // buffer size, NUL included

struct auth_state;

extern auth_state* const auth_dontCheckAcl;

// Writes the canonical form of id into buf (bufsize bytes, at most
// AUTH_ID_MAX are needed).  0, or IMAP_INVALID_IDENTIFIER with buf empty.
[[nodiscard]] int auth_canonifyid(const char* id, char* buf, size_t bufsize);

// Canonical form of a user id's domain, in place: removes "@domain" when
// the domain (after the last at sign) equals "service.defaultdomain" in any
// letter case, else lower-cases the domain.  Ids without an at sign are
// unchanged.  Returns id.
char* auth_canonifydomain(char* id);

// A state for user userid (canonicalised) who belongs to the groups listed
// in groups (null-terminated, may be null; names with or without "group:").
// 0 and *out set, or IMAP_INVALID_IDENTIFIER when an identifier is refused.
[[nodiscard]] int auth_newstate(const char* userid, const char* const* groups, auth_state** out);
// Null and auth_dontCheckAcl are ignored.
void auth_freestate(auth_state* state);

// The canonical user id of the state; "" for auth_dontCheckAcl.  Borrowed.
const char* auth_userid(const auth_state* state);

// 1 when the canonical identifier designates the caller: "anyone", the
// caller's user id, or one of the caller's groups; 0 otherwise (always 0
// for a null state and for auth_dontCheckAcl).
int auth_memberof(const auth_state* state, const char* identifier);

// The caller's identities, null-terminated: user id, "anyone", then the
// groups.  Borrowed from the state; auth_dontCheckAcl has none.
const char* const* auth_getgroups(const auth_state* state);

// Administrator level of the caller for folders of owner (may be null):
// 2 for auth_dontCheckAcl and for the administrators of "store.admins",
// 0 otherwise.
int auth_adminFor(const auth_state* state, const char* owner);

struct auth_state_deleter {
  void operator()(auth_state* s) const { auth_freestate(s); }
};
using AuthStatePtr = std::unique_ptr<auth_state, auth_state_deleter>;
