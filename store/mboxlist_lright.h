// Lists of folders shared to each identifier, renaming a user in ACLs,
// last-access times and the environment's statistics.
//
// lright.db holds, for every identifier (user id or "group:" name), the
// user folders of others whose ACL gives that identifier the lookup right;
// the shared-folder listing reads it instead of scanning every ACL.  The
// lists change only inside the transactions of the folder operations that
// change ACLs, so they always match the committed ACLs.  Record layout in
// mboxlist_lright.cc.
//
// Last-access times live in the user's quota record (store/quota_record.h):
// the POP server records the end of a session, the IMAP and web services
// their accesses, the connection report reads them.
//
// Results: 0 or a store code (IMAP_IOERROR after logging the Berkeley DB
// error with the identifier or folder); functions taking a transaction
// return DB_LOCK_DEADLOCK for the caller's retry loop.  Lists handed out are
// malloc'ed and freed by the caller.  Thread-safe.
#pragma once

#include <db.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

struct quotadata;

// How a folder's membership of a list changes.
enum change_type : int { TYPE_DELETE = 0, TYPE_ADD = 1, TYPE_RENAME = 2 };

// Reads identifier userid's list: *list malloc'ed (null and *size 0 when
// absent), a run of NUL-terminated internal folder names.  With txn the read
// takes a write lock (DB_RMW); without, deadlocks are retried.  Berkeley DB
// result (DB_NOTFOUND when absent), -1 when the database is not open.
int mboxlist_lookup_lright(const char* userid, char** list, size_t* size, DB_TXN* txn);

// Edits a list in memory (*list malloc'ed or null, *len its length):
// TYPE_ADD appends mbox unless present; TYPE_DELETE removes it; TYPE_RENAME
// removes mbox (if present) and appends newname.  Returns the new length.
size_t mboxlist_modifylright(const char* mbox, const char* newname, int type, char** list, size_t* len);

// Applies one change to userid's list inside the caller's transaction; an
// emptied list is deleted.  0, DB_LOCK_DEADLOCK or IMAP_IOERROR.
[[nodiscard]] int mboxlist_changelright(const char* userid, const char* mbox, const char* newname, int type,
                                        DB_TXN* txn);

// Calls cb for every list (identifier, list, length); a nonzero result ends
// the walk and is returned.  0 or IMAP_IOERROR.
using mboxlist_findlright_cb = int (*)(const char* userid, const char* list, size_t length, void* rock);
[[nodiscard]] int mboxlist_findlright(mboxlist_findlright_cb cb, void* rock);

// Repairs userid's list: the result is newlist followed by every stored
// folder not in newlist that still exists and still gives userid the lookup
// right.  0 or IMAP_IOERROR.
[[nodiscard]] int mboxlist_fixlright(const char* userid, const char* newlist, size_t newlen);

// A copy of ACL text oldacl in which the first entry of identifier oldname
// is renamed newname; malloc'ed, caller frees.
char* acl_renameuser(const char* oldacl, const char* oldname, const char* newname);
// Renames user oldid to newid in the ACL of every folder whose ACL has an
// entry of exactly oldid (records and index headers), then moves oldid's
// list of folders shared to him to newid.  Runs no transaction of the
// caller's and must be called with no index lock held: each folder is
// changed under its index lock in a transaction of its own.  Repeating it
// changes nothing more.  0, or the first error (logged; the other folders
// are still renamed).
[[nodiscard]] int mboxlist_renameacl(const char* oldid, const char* newid);

// Records an access by protocol "imap", "http" or anything else (POP) to
// the quota record of name ("user/<id>" or a bare user id).  0,
// IMAP_QUOTAROOT_NONEXISTENT or IMAP_IOERROR.
[[nodiscard]] int mboxlist_setaccesstime(const char* name, time_t timestamp, const char* protocol);
// Reads the quota record of user name (canonicalised in place).  0,
// IMAP_QUOTAROOT_NONEXISTENT or IMAP_IOERROR.
[[nodiscard]] int mboxlist_getlastaccess(char* name, quotadata* qd);
// End of a POP session of userid: last use now, and the INBOX's UIDVALIDITY
// and highest UID seen unless they would move the stored UID backwards
// within the same UIDVALIDITY.  0, IMAP_QUOTAROOT_NONEXISTENT or
// IMAP_IOERROR.
[[nodiscard]] int mboxlist_setlastuse(const char* userid, uint32_t pop_last_uidvalidity, uint32_t pop_last_uid);
// Calls proc for every quota record with its access times.  The last cursor
// result: DB_NOTFOUND after a complete walk.
using mboxlist_printaccess_t = void (*)(const char* root, uint32_t lastuse, uint32_t lastimapaccess,
                                        uint32_t lasthttpaccess, void* rock);
int mboxlist_getallaccess(mboxlist_printaccess_t proc, void* rock);

// Fetches the environment's statistics into every non-null argument
// (allocated by Berkeley DB, the caller frees them with free).  Returns the
// number that could not be read, -1 when the environment is not open.
int mboxlist_getstat(DB_LOCK_STAT** lockstat, DB_LOG_STAT** logstat, DB_MPOOL_STAT** mpoolstat,
                     DB_TXN_STAT** txnstat);
