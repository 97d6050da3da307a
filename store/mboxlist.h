// The mailbox list database.
//
// One transactional Berkeley DB environment, shared by every store process
// on the host, holds five B-trees: folder.db (one record per folder),
// quota.db, subscr.db, peruser.db (seen state) and lright.db (folders shared
// to each user).  A second, lock-only environment ("folderlock") serialises
// folder creation, deletion and rename across processes.
//
// Process start: mboxlist_init() once per process (it is cheap to call
// again).  Client processes join an environment the store daemon has made
// ready; the store daemon itself starts with mboxlist_recover().
//
// Every write runs in one transaction that is repeated while it ends in a
// deadlock; callers never see DB_LOCK_DEADLOCK.  Reads outside transactions
// are repeated the same way.  Errors are ints: 0, errno, or imap_err codes;
// Berkeley DB failures are logged with the folder name and reported as
// IMAP_IOERROR.  The environment and handles are free-threaded.
//
// Dead processes: every handle keeps a thread table and an is-alive check;
// Berkeley DB's failure check, run at every open and by the store daemon
// every few seconds, aborts a killed process's transactions and releases
// its locks.  A process killed inside the library leaves a mutex held that
// nothing releases: the daemon then rebuilds the environment, and a client
// stuck in the old one ends with status 75 once its region file has been
// replaced (a guard thread started by mboxlist_init watches for that).
// Any DB_RUNRECOVERY reaching a caller is an I/O error (temporary).
//
// Lock order, for every store process:
//   1. the folder creation lock (below);
//   2. a folder's index lock, then the per-user and expunge locks that
//      store/mailbox.h orders after it;
//   3. the Berkeley DB locks of a transaction of this environment.
// A lock is only ever waited on while holding locks of earlier ranks.  In
// particular no file lock is waited on inside a transaction: Berkeley DB's
// deadlock detector cannot see a wait for a file lock, so a transaction
// that waits for an index lock whose holder waits for that transaction's
// pages would hang both for ever.  Operations that change many folders
// (renaming a user in every ACL) therefore take each folder's index lock
// first and run one transaction per folder inside it.  The creation lock
// is only tried, never waited on, where an index lock may already be held
// (mboxlist_trylock_create).
#pragma once

#include <db.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "store/mboxdata.h"
#include "store/quota_record.h"

struct mailbox;
struct auth_state;

// ---- Environment and process start ---------------------------------------

// Joins (or, after mboxlist_recover, builds) the environment and opens the
// databases, once per process.  0 when folder.db is open, else
// IMAP_MAILBOXLIST_NONEXISTENT.  Ends the process (after logging) on the
// fatal start-up conditions: 78 for a failed switch of user or an unusable
// store directory, 75 when the store daemon is not ready or the session
// lock is refused, 1 when the environment cannot be opened.
[[nodiscard]] int mboxlist_init();
// Recovery-mode start for the store daemon: creates the environment, runs
// Berkeley DB recovery, then opens as mboxlist_init.  No environment may be
// open in this process.  0 or IMAP_MAILBOXLIST_NONEXISTENT.
[[nodiscard]] int mboxlist_recover();
// Closes everything (also run at exit).  Harmless when nothing is open.
void mboxlist_close();
// Forgets the environment and databases without closing them, for the
// daemon when one of its threads is stuck inside them (on a mutex of a
// process that died inside the library): closing would wait for ever.
// mboxlist_recover may then build a fresh environment.
void mboxlist_abandon();

// The handles, for the store's own modules (null before mboxlist_init).
DB_ENV* mboxlist_env();
DB* mboxlist_folderdb();
DB* mboxlist_quotadb();
DB* mboxlist_subsdb();
DB* mboxlist_lrightdb();
DB* mboxlist_peruserdb();
// The folder creation lock file (null before mboxlist_init).
const char* mboxlist_lockfile();

// The key order of every database: bytes compare as signed chars, except
// that NUL sorts first, then TAB, then '/', so a folder's subfolders follow
// it directly (a < a/b < a.b < aa) and bytes 128-255 sort before ASCII.
int key_compare(DB* db, const DBT* a, const DBT* b);
size_t key_prefix(DB* db, const DBT* a, const DBT* b);
// The same order on C strings, over at most n characters of s1.
int name_comparen(const char* s1, const char* s2, size_t n);

// Maintenance, run on the store daemon's timers.
int mboxlist_checkpoint15();   // keep 10 % of the cache clean
int mboxlist_checkpoint60();   // transaction checkpoint
int mboxlist_checkpoint300();  // remove log files no longer needed
int mboxlist_deadlockcheck();  // abort the oldest of deadlocked lockers
// Finds processes that died while using the environment (process start
// runs it too): aborts their transactions and releases their locks.  0, or
// DB_RUNRECOVERY (logged) when one died inside the library: the
// environment must then be rebuilt (mboxlist_close, mboxlist_recover)
// while no client joins it.
int mboxlist_failchk();
// From now on this process's lock waits end after usec with
// DB_LOCK_NOTGRANTED (an I/O error to callers) once a deadlock check runs.
// For the daemon's stop, which must not wait on a live holder for ever.
int mboxlist_bound_lock_waits(unsigned usec);
int mboxlist_checkpoint_force();  // checkpoint now, whatever the thresholds
int mboxlist_log_archive_obsolete(char*** logs);
int mboxlist_log_archive_current(char*** logs);
int mboxlist_remove_env(int force);

// ---- Transactions ---------------------------------------------------------

// Begins a transaction for operation op on name (both only for messages).
// 0, or IMAP_IOERROR.
[[nodiscard]] int mboxlist_trans_setup(DB_TXN** txn, const char* op, const char* name);
// Aborts when err is set (returning err), else commits: 0, DB_LOCK_DEADLOCK
// (the caller repeats the transaction) or IMAP_IOERROR.
[[nodiscard]] int mboxlist_trans_finish(DB_TXN* txn, int err);

// ---- Folder records ------------------------------------------------------

// Looks a folder up.  Any output may be null; strings are malloc'ed copies
// the caller frees (msgpath null when the partition keeps messages with the
// index).  IMAP_MAILBOX_NONEXISTENT when there is no record.
[[nodiscard]] int mboxlist_lookup(const char* name, mboxdata* mbd, char** partitionp, char** pathp, char** msgpathp,
                                  char** aclp);
// The raw record: its length and a malloc'ed copy in *record, or -1 when
// absent or on error.  With record null only tests existence (0 when
// present).
int mboxlist_lookup_data(const char* name, char** record, DB_TXN* txn);
// A folder's index and message directories on a partition (buffers of
// 1025 bytes).  IMAP_PARTITION_UNKNOWN for an unconfigured partition.
[[nodiscard]] int mboxlist_getpath(const char* name, const char* partition, char* pathresult, char* msgpathresult);
// Rewrites the record of an open folder from its header, partition and ACL,
// and with write_index also the folder's fixed index header, in one
// transaction.  0 or IMAP_IOERROR.
[[nodiscard]] int mboxlist_updatedata(mailbox* mailbox, int write_index);

// Key and data items of a folder record (store/folder_record.h).  key
// points into name (its NUL counted) and must not outlive it; the data
// bytes are kept in *databuf, which data points into; qdata, when given,
// points at the 56 bytes of *qbuf encoding qd (store/quota_record.h).  Any
// item may be null.  For the DB_THREAD handles the items carry
// DB_DBT_USERMEM, so Berkeley DB never allocates into them.
void mboxlist_set_key(const char* name, DBT* key);
void mboxlist_create_struct(DBT* key, DBT* data, DBT* qdata, const char* name, const mboxdata* mbd,
                            const char* partition, const char* acl, const quotadata* qd, std::string* databuf,
                            unsigned char* qbuf);

// ---- Creation lock ---------------------------------------------------------

// Serialises creation, deletion and rename across processes.  Lock objects:
// "user_<owner>" (or "sharedfolders" for names outside "user/"), and
// "mbox_<name>".  Creation: read lock on the owner, write lock on the
// folder; whole-user operations (INBOX deletion, rename): write lock on the
// owner of name1 and, when given, of name2.  Taken before any index lock,
// never inside a transaction.
//
// Each object is one byte of the lock file "folderlock/locks" in the
// environment home, at an offset hashed from its name, held with an
// open-file-description lock: the kernel releases it when its holder dies,
// so a killed rename never blocks later ones.  The bytes of one request are
// taken in increasing offset order, so two requests never wait on each
// other in a cycle (two names that share a byte only serialise more).  A
// child forked while the lock is held shares its description, and holds
// the lock until it too closes it or ends.
struct mboxlist_createlock {
  int fd = -1;  // the lock file's own description; closing it releases
  bool held = false;
};
// 0 with the locks granted, or IMAP_IOERROR (logged).  name2 only with
// wholeuser.
[[nodiscard]] int mboxlist_lock_create(mboxlist_createlock* lock, const char* name1, const char* name2, int wholeuser);
// Tries the creation lock of name (read lock on its owner, write lock on
// the folder) without waiting: 0 with the locks granted,
// IMAP_MAILBOX_LOCKED while a creation, deletion or rename of the folder or
// its user holds a conflicting lock, IMAP_IOERROR (logged).
[[nodiscard]] int mboxlist_trylock_create(mboxlist_createlock* lock, const char* name);
// Releases the locks; harmless when not held.
void mboxlist_unlock_create(mboxlist_createlock* lock);

// RAII owner of a creation lock.
class MboxlistCreateLock {
 public:
  MboxlistCreateLock() = default;
  MboxlistCreateLock(const MboxlistCreateLock&) = delete;
  MboxlistCreateLock& operator=(const MboxlistCreateLock&) = delete;
  ~MboxlistCreateLock() { mboxlist_unlock_create(&lock_); }
  [[nodiscard]] int lock(const char* name1, const char* name2, int wholeuser) {
    return mboxlist_lock_create(&lock_, name1, name2, wholeuser);
  }
  [[nodiscard]] int trylock(const char* name) { return mboxlist_trylock_create(&lock_, name); }
  void unlock() { mboxlist_unlock_create(&lock_); }
  mboxlist_createlock* get() { return &lock_; }

 private:
  mboxlist_createlock lock_;
};

// ---- Creation, deletion, rename, ACL ---------------------------------------
//
// Permission answers: a caller who may not even learn that a folder exists
// (no lookup right, not administrator or owner) is told
// IMAP_MAILBOX_NONEXISTENT, never IMAP_PERMISSION_DENIED.  auth_state
// auth_dontCheckAcl (common/auth.h) turns every check off.

// Checks whether name may be created with version (MBOX_VERSION or
// MBOX_VERSION_TRANSITION) on partition (null: inherited or the default)
// by userid / auth_state.  On success *newacl and *newpartition (either
// may be null) receive malloc'ed copies the caller frees.  0,
// IMAP_PARTITION_UNKNOWN, IMAP_MAILBOX_BADNAME, IMAP_MAILBOX_NOTSUPPORTED,
// IMAP_PERMISSION_DENIED, IMAP_MAILBOX_EXISTS or IMAP_IOERROR.
[[nodiscard]] int mboxlist_createmailboxcheck(const char* name, uint32_t version, const char* partition,
                                              const char* userid, const auth_state* auth_state, char** newacl,
                                              char** newpartition);
// Creates a folder: its files (mailbox_create), then its record; for an
// INBOX also its quota record (limits quotavalue KB and msgquotavalue
// messages, QUOTA_UNLIMITED for none) and the user's subscription marker.
// uid_validity 0 means now.  0, IMAP_MAILBOX_EXISTS (files were already
// present: the record now describes them), IMAP_MAILBOX_LOCKED (an
// unfinished rename involves the name's tree), or the errors of the check.
[[nodiscard]] int mboxlist_createmailbox(const char* name, uint32_t version, const char* partition,
                                         const char* userid, const auth_state* auth_state, uint32_t quotavalue,
                                         uint32_t msgquotavalue, uint32_t uid_validity);
// Deletes a folder, or for a user's INBOX the whole user (every folder
// below it, the quota record and the subscriptions).  The record goes
// first, then the files, both under the folder's index lock (waited for:
// an append or expunge under way finishes first); a failure to remove
// files is only logged.  0,
// IMAP_MAILBOX_NONEXISTENT, IMAP_PERMISSION_DENIED,
// IMAP_MAILBOX_NOTSUPPORTED (a user deleting his own INBOX) or
// IMAP_IOERROR.
[[nodiscard]] int mboxlist_deletemailbox(const char* name, const char* userid, const auth_state* auth_state);
// The body of mboxlist_deletemailbox: isadmin -1 means no permission
// standing is needed at all; checkacl 0 skips the folder's ACL;
// isrecursive (deletion of the folders below a user) skips the creation
// lock, which the caller holds.
[[nodiscard]] int mboxlist_deletemailbox_internal(const char* name, int isadmin, const char* userid,
                                                  const auth_state* auth_state, int checkacl, int isrecursive);
// Renames oldname and every folder below it to newname; oldname ==
// newname with a partition moves the folder.  "user/a" to "user/b" renames
// the whole user (ACLs, quota record, subscriptions and shared lists
// follow).  Each folder is renamed on disk in a start / commit / abort
// protocol around its record's transaction.  0, IMAP_MAILBOX_NONEXISTENT,
// IMAP_MAILBOX_EXISTS, IMAP_MAILBOX_BADNAME (a new name over 256 bytes:
// nothing is renamed), IMAP_MAILBOX_NOTSUPPORTED, IMAP_PARTITION_UNKNOWN,
// IMAP_PERMISSION_DENIED or IMAP_IOERROR.
[[nodiscard]] int mboxlist_renamemailbox(const char* oldname, const char* newname, const char* partition,
                                         const char* userid, const auth_state* auth_state);
// Renames are resumable.  Before the first folder moves, a rename records
// its intent in a file of "<store dir>/rename" (store/rename_intent.h),
// updated before each folder and removed when the rename is complete, so
// a rename cut short (a killed process, a crash, an I/O error half-way) is
// finished later: by the next rename that involves either user (or shared
// folder tree) and by mboxlist_rename_recover at the start of the store
// daemon.  Finishing removes what the interrupted folder move left behind
// (the partial copy at the new place, or the old files once the record has
// moved) and moves the folders still under the old name.  Until then no
// folder is created in either tree (IMAP_MAILBOX_LOCKED) and no folder of
// the old tree is put back into the list from its files.

// Finishes every interrupted rename, each under the creation locks of its
// users, and removes the temporary files of intents never completed.  Run
// by the store daemon before it reports ready.  0, or the first error
// (each failure is logged; the intent stays for the next attempt).
int mboxlist_rename_recover();
// 1 when an interrupted rename has not been finished and name lies in its
// old or new tree, or one of them lies below name; else 0.
int mboxlist_rename_pending(const char* name);

// Changes identifier's entry in the ACL of folder name: rights null removes
// it, "+xyz" adds, "-xyz" removes, anything else replaces.  The record and
// the folder's index header are both rewritten.  0,
// IMAP_MAILBOX_NONEXISTENT, IMAP_PERMISSION_DENIED,
// IMAP_INVALID_IDENTIFIER, IMAP_IOERROR or the folder's open errors.
[[nodiscard]] int mboxlist_setacl(const char* name, const char* identifier, const char* rights, const char* userid,
                                  const auth_state* auth_state);
// Removes the folder record and the quota record of name (and, for a user's
// quota root, the user's subscriptions) without touching files.  Absent
// records are not an error.  0 or IMAP_IOERROR.
[[nodiscard]] int mboxlist_delete(const char* name);

// 1 when the ACL entry of exactly userid grants lookup ('l'), else 0.
int acl_lookup_right(const char* userid, const char* acl);
// The acl_canonproc_t of user folders (rock: the folder name): while
// "local.store.ensureownerrights" is on (default), the owner of the folder
// always keeps lookup, create (0x40) and administer (0x100).
long mboxlist_ensureOwnerRights(const void* mboxname, const char* identifier, long accessbits);

// ---- Quota records used by the folder operations ----------------------------
//
// The quota root of a folder: the name up to its second '/', the whole
// name when it has only one, none (IMAP_QUOTAROOT_NONEXISTENT) without
// '/'.  rootbuf holds MBOXNAME_BUF bytes.
[[nodiscard]] int mboxlist_quotaroot(const char* name, char* rootbuf);
// Reads a root's quota record: 0, DB_NOTFOUND, DB_LOCK_DEADLOCK (inside a
// transaction; outside one deadlocks are repeated) or another Berkeley DB
// result.  Inside txn the record is read for update.
int mboxlist_lookup_quota(const char* root, quotadata* qd, DB_TXN* txn);
// The warning-threshold bookkeeping of a record in memory ("store.quotawarn"
// percent, 100 with "local.store.overquotastatus" or
// "local.store.quotaoverdraft"): qwhen set when a usage reaches it, qwhen
// and qwarn cleared when both are below it.  The caller writes the record.
void mboxlist_setqwhen(const char* mboxname, quotadata* qd);
// Sets a root's limits (KB, messages).  0, IMAP_QUOTAROOT_NONEXISTENT or
// IMAP_IOERROR.
[[nodiscard]] int mboxlist_setquota(const char* root, uint32_t max, uint32_t msgmax);
// Adds (subtract 0) or takes away diff bytes and msgdiff messages on the
// quota root of folder name inside txn; a subtraction stops at zero.  A
// zero diff changes nothing; a root without a record is not counted.  0,
// DB_LOCK_DEADLOCK or IMAP_IOERROR; the new record is copied to *ptqd when
// given.
int mboxlist_changequota_internal(const char* name, uint64_t diff, uint32_t msgdiff, int subtract, DB_TXN* txn,
                                  quotadata* ptqd);
// For each identifier other than owner to whom acl grants lookup, adds,
// removes or renames (to newname) folder name in that identifier's list of
// folders shared to him (lright.db) inside txn; type is a change_type of
// store/mboxlist_lright.h.  0, DB_LOCK_DEADLOCK or
// IMAP_IOERROR.
int mboxlist_changeshared(const char* acl, const char* owner, const char* name, const char* newname,
                          int type, DB_TXN* txn);

// ---- Repair marker ---------------------------------------------------------
//
// A repair of the mailbox list (a snapshot put back, the databases rebuilt
// or started empty, users found on disk but missing from the list) is a
// catastrophic event: its time is kept in the stored file "eve".  Every
// user whose quota record was not marked repaired (lastdbrepair) at or
// after that time may have folders on disk the list does not know, and is
// rebuilt from disk by mboxlist_recover_folders_from_disk (or listed from
// disk, "local.store.listrecover").

// The time of the last catastrophic event, 0 for none.  Read from "eve"
// again when more than max_age seconds passed since the last read (0:
// read it now); a missing file means no event.
long mboxlist_catastrophic_event(int max_age);
// 1 when userid's folders must be rebuilt from disk: an event is recorded
// and the user's quota record is missing or was marked repaired before it.
// 0 otherwise.  "eve" is read again every 300 seconds.
int mboxlist_dbneedrepair(const char* userid);
// Marks the quota root of name ("user/<id>", or a bare user id) repaired
// at timestamp.  0, IMAP_QUOTAROOT_NONEXISTENT without a quota record, or
// IMAP_IOERROR (logged).
[[nodiscard]] int mboxlist_setlastdbrepair(const char* name, uint32_t timestamp);
// Marks userid's records rebuilt now; when the quota record cannot take the
// mark (lost with a damaged quota.db), it is recounted from the folder
// records first (mboxlist_fixquota).  0 or the error of the second attempt.
[[nodiscard]] int mboxlist_markrepaired(const char* userid);

// ---- Start-up details -----------------------------------------------------

// Start-up failures end the process with a sysexits-style status.  Tests
// install a handler that records the status instead; when it returns,
// mboxlist_init reports IMAP_MAILBOXLIST_NONEXISTENT.
using mboxlist_fatal_handler = void (*)(int status);
void mboxlist_set_fatal_handler(mboxlist_fatal_handler handler);

// "<store dir>/mboxlist/" once started, else "".
const char* mboxlist_dir();
// The disk-listing mode of "local.store.listrecover": 0 none, 1
// AlwaysFolderDB, 2 AlwaysPartition, 3 TestPartition, 4 TestPartitionInsert,
// 5 TestPartitionInsertFull, 6 TestPreRecover.
int mboxlist_listrecover();

// The per-process session file "<store>/session/<program>.<pid>", locked for
// the process's life.  Descriptor or -1.
int mboxlist_session_lock();
void mboxlist_session_unlock();
// 1 when registered with a watcher process, 0 otherwise.
int register_with_watcher();
