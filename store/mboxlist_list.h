// Listing folders and keeping users' subscriptions.
//
// Listing: all folders of the store matching a pattern (internal names, for
// the backup and the partition summary), a user's own folders as the user
// sees them (relative to the INBOX, the INBOX itself as "INBOX"), and the
// folders other users shared with the user, under the shared-folders prefix
// ("Shared Folders/User/bob/Sent").  Patterns are wildcard patterns
// (common/glob.h) or POSIX extended regular expressions matched against the
// whole name in UTF-8.
//
// Listings run outside transactions: a short-lived cursor reads a batch of
// records and is closed before any callback runs, so no database lock is held
// while the caller works, and folders created or deleted meanwhile may or may
// not appear.  The callback may call back into the store.
//
// Subscriptions live in subscr.db (record layout in mboxlist_list.cc) with a
// plain-text copy per user ("store.sub" in the user's INBOX directory) that
// the store daemon refreshes and from which a rebuilt database is refilled.
//
// Results: 0, the callback's nonzero result, or a store code (errno, imap_err
// or a Berkeley DB code where documented).  Database failures are logged
// with the user or folder name.  All functions are thread-safe.
#pragma once

#include <db.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "store/mboxdata.h"
#include "store/storeutil.h"

struct auth_state;

// Child information handed to every listing callback.
enum : int {
  mboxlist_cannotsee = 0,
  mboxlist_nochildinfo = 1,
  mboxlist_noinferiors = 2,
  mboxlist_hasnochildren = 3,
  mboxlist_haschildren = 4,
};

// Listing flags.
enum : int {
  MBOXLIST_FIND_CHILDINFO = 0x1,   // child information for full matches
  MBOXLIST_FIND_NOPERSONAL = 0x2,  // skip the user's own folders
  MBOXLIST_FIND_NOSHARED = 0x4,    // skip the folders shared with the user
  MBOXLIST_FIND_REGEX = 0x8,       // the pattern is a regular expression
  MBOXLIST_FIND_SHAREDPAST = 0x10, // shared listing: only matches past the prefix
  MBOXLIST_FIND_DISKSHIFT = 5,     // disk listing mode (1-7) << 5
  MBOXLIST_FIND_DISKMASK = 0xe0,
};

// Called once per listed folder: name as presented, length of the part the
// pattern matched (shorter than the name for a partial match: the folder
// lies below what the pattern reaches), child information and the folder's
// summary (null for an entry without a record).  A nonzero result ends the
// listing and is returned.  name and mbd are borrowed for the call.
using mboxlist_findproc_t = int (*)(const char* name, int matchlen, int childinfo, const mboxdata* mbd, void* rock);

// Lists folders matching pattern.  userid null: internal names of the whole
// store (a user INBOX as "user/<id>/INBOX").  Otherwise the user's own
// folders relative to the INBOX, then, unless the pattern or flags exclude
// them, the folders shared with the caller's identities (auth, required for
// the shared listing) under mboxname_prefix(1, language) + "/".  language -1
// presents internal names and turns the shared listing off.  auth null: no
// rights are checked.  A pattern that does not compile lists nothing (0).
[[nodiscard]] int mboxlist_findall(const char* pattern, int flags, int language, const char* userid,
                                   const auth_state* auth, mboxlist_findproc_t proc, void* rock);
// As mboxlist_findall after choosing the disk listing mode (override when
// nonzero, else "local.store.listrecover", store/mboxlist.h): 2 lists the
// user's own folders from disk (every partition), 3-5 do so only while the
// user needs a rebuild (mboxlist_dbneedrepair), 4 and 5 also put missing
// records back and 5 then marks the user repaired; 6 rebuilds a user who
// needs it first and lists from the database.  Folders listed from disk
// without a record get an all-zero summary.  -1 without a user id.
[[nodiscard]] int mboxlist_findall_plus(const char* pattern, int flags, int language, const char* userid,
                                        const auth_state* auth, mboxlist_findproc_t proc, void* rock, int override);

// The namespace bits a personal listing adds for pattern: 4 (own folders
// only), 2 (shared folders only) or 0 (both).
int mboxlist_findall_type(const char* pattern);
// Child information of one folder for a caller holding rights on it.
int mboxlist_getchildinfo(const char* name, long rights);

// Lists userid's subscriptions matching pattern, presented as
// mboxlist_findall does.  userid must not contain '/'.
[[nodiscard]] int mboxlist_findsub(const char* pattern, int flags, int language, const char* userid,
                                   const auth_state* auth, mboxlist_findproc_t proc, void* rock);
// 0 when userid is subscribed to internal folder name, DB_NOTFOUND (or
// another Berkeley DB result) when not, -1 when the database is not open.
[[nodiscard]] int mboxlist_lookup_subs(const char* userid, const char* name);
// Subscribes (add nonzero) or unsubscribes userid to internal folder name.
// Subscribing twice and unsubscribing a folder never subscribed succeed.
// 0 or IMAP_IOERROR.
[[nodiscard]] int mboxlist_changesub(const char* name, const char* userid, const auth_state* auth, int add);
// Moves olduser's subscriptions to newuser inside the caller's transaction
// (whole-user rename): subscriptions to olduser's folders follow them to
// newuser's.  0, DB_LOCK_DEADLOCK (the caller repeats its transaction) or
// IMAP_IOERROR.
[[nodiscard]] int mboxlist_renamesub(DB_TXN* txn, const char* olduser, const char* newuser);
// Writes userid's subscriptions to "store.sub" in the INBOX directory when
// they changed since lastckpstart and the file is older than the change (or
// the change is at or after lastckpend, or the file is missing).  0 or a
// store code.
[[nodiscard]] int mboxlist_checkpointSubs(const char* userid, time_t lastckpstart, time_t lastckpend);
// The periodic copy of the per-user state into plain files, a slice at a
// time so that a daemon's other duties wait for one slice only: for at most
// max folders whose names follow *from in the list (*from empty: from the
// first), seen_checkpoint (store.usr) and, for a user INBOX,
// mboxlist_checkpointSubs (store.sub), with the same two times.  *from
// becomes the last folder handled, and is cleared when the walk has reached
// the end.  Returns the number of files that could not be written (each
// failure is logged), or -1 when the folder list cannot be read.
int mboxlist_checkpoint_files(time_t lastckpstart, time_t lastckpend, std::string* from, size_t max);

// The removal of expunged message files, which expunge leaves behind (a
// reader may still have them open): mailbox_clean_expunge on a folder that
// has an expunge log, for the messages expunged at or before `before`.
// 0 (also when nothing was expunged), or a store code.
[[nodiscard]] int mboxlist_clean_expunged_folder(const char* name, time_t before);
// The same over the whole store a slice at a time, as
// mboxlist_checkpoint_files walks it.  Returns the number of folders whose
// clean-up failed (logged), or -1 when the folder list cannot be read.
int mboxlist_clean_expunged(time_t before, std::string* from, size_t max);

// The per-partition summary of the whole store (store_getpartitions over
// the mailbox list): folders, users, quota usage and limits, disk space.
// *list is malloc'ed (caller frees; null on failure).  0 or a store code.
[[nodiscard]] int mboxlist_getpartitions(partition_info_t** list);
// Loads userid's subscriptions from "store.sub" (or the older per-user file)
// when the database holds no marker for the user.  0 or IMAP_IOERROR.
[[nodiscard]] int mboxlist_maybeRecoverSubsFromFile(const char* userid);

// Rebuilds userid's folder records from the user's folder directories on
// every partition (folders moved off the INBOX's partition included):
// every folder directory without a record gets one, on the partition that
// holds it, with the ACL kept in its index header; then the user is marked
// repaired (mboxlist_markrepaired).  Runs under the user's whole-user
// creation lock, so it never sees a rename or deletion half done (an
// interrupted rename of the user is finished first).  0, -1 when the INBOX
// has neither a record nor an index on any partition, IMAP_MAILBOX_LOCKED
// when an interrupted rename cannot be finished, or IMAP_IOERROR when the
// lock cannot be had or a record cannot be written (the user then stays
// unmarked).
[[nodiscard]] int mboxlist_recover_folders_from_disk(const char* userid);

// Converts NUL-terminated UTF-8 text into 16-bit characters (UTF-16;
// characters above U+FFFF as surrogate pairs, malformed bytes as U+FFFD),
// ending with a 0.  unistr must hold strlen(utf) + 1 units.  Returns the
// number of units written, the terminating 0 not counted.
size_t utf_to_unistr(const char* utf, uint16_t* unistr);
