// Access-control lists of folders: rights letters, bits and ACL text.
//
// Rights (one letter each, in this order when written):
//   l 0x001 lookup: the folder is visible (listing, learning it exists)
//   r 0x002 read messages          s 0x004 keep seen state
//   w 0x008 change other flags     i 0x010 insert (append, copy into)
//   p 0x020 post to the folder     c 0x040 create subfolders, delete and
//   d 0x080 delete messages                 rename the folder
//   a 0x100 administer: change the ACL
//   all rights 0x1ff
// When reading rights the newer letters are accepted too: k and x stand
// for c, t and e for d.  Digits and other letters are ignored, so an ACL
// written by a newer release still reads.
//
// ACL text, as kept in the folder record and the index header: a sequence
// of entries, each an identifier, a TAB, the rights letters and a TAB, for
// example "anyone\tlrs\tjoe\tlrswipcda\t".  Identifiers are canonical (see
// common/auth.h); an identifier with a leading '-' holds negative rights,
// taken away from whatever the positive entries grant.
//
// ACL strings handed to acl_modify/acl_remove are malloc'ed and owned by
// the caller, who frees the result with free.  Nothing here keeps state or
// logs.  Failures: IMAP_INVALID_IDENTIFIER for an identifier that cannot be
// made canonical.
#pragma once

#include <cstddef>

struct auth_state;

enum : long {
  ACL_LOOKUP = 0x001,
  ACL_READ = 0x002,
  ACL_SEEN = 0x004,
  ACL_WRITE = 0x008,
  ACL_INSERT = 0x010,
  ACL_POST = 0x020,
  ACL_CREATE = 0x040,
  ACL_DELETE = 0x080,
  ACL_ADMIN = 0x100,
  ACL_ALL = 0x1ff,
};

// Room for the letters of all rights and a NUL.
inline constexpr size_t ACL_RIGHTS_BUF = 10;

// Modes of acl_modify.
enum : int {
  ACL_MODE_SET = 0,     // the identifier gets exactly the given rights
  ACL_MODE_ADD = 1,     // the rights are added to the identifier's
  ACL_MODE_REMOVE = 2,  // the rights are taken from the identifier's
};

// Rights bits of a rights text.
long acl_strtomask(const char* rights);
// Writes the letters of mask into buf (ACL_RIGHTS_BUF bytes); returns buf.
char* acl_masktostr(long mask, char* buf);

// Rights that the ACL gives the caller: the union of the entries naming one
// of the caller's identities, less the union of the negative entries naming
// one.  ACL_ALL for auth_dontCheckAcl; 0 for a null state or ACL.
long acl_myrights(const auth_state* state, const char* acl);

// Adjusts the rights an identifier is about to get (the store uses it to
// keep a folder's owner from losing his rights).  identifier is canonical,
// with its leading '-' for a negative entry.  rock is the caller's.
using acl_canonproc_t = long (*)(const void* rock, const char* identifier, long rights);

// Changes the entry of identifier (canonicalised first; a leading '-'
// addresses its negative entry) in *acl according to mode and access.  The
// new rights pass through canonproc when given.  An entry left with no
// rights is removed; a new entry is appended.  *acl is replaced by a new
// malloc'ed string (the old one freed).  0 or IMAP_INVALID_IDENTIFIER
// (*acl unchanged).
[[nodiscard]] int acl_modify(char** acl, const char* identifier, int mode, long access, acl_canonproc_t canonproc,
                             const void* rock);
// Removes identifier's entry (as acl_modify with no rights; canonproc may
// keep some).
[[nodiscard]] int acl_remove(char** acl, const char* identifier, acl_canonproc_t canonproc, const void* rock);

// 1 when the ACL lets an identifier other than owner look the folder up
// (the folder is shared), else 0.
int acl_isshared(const char* acl, const char* owner);

// 1 when an entry of the ACL names exactly identifier (compared as a whole
// identifier: "a" is not found in "ann" nor in the rights "lrswipcda"),
// else 0.  A negative entry is named "-" followed by the identifier.
int acl_has_identifier(const char* acl, const char* identifier);
