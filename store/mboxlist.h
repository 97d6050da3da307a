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
// Lock order: the folder creation lock (folder-lock environment) is taken
// before a folder's index lock, and no file lock is waited on inside a
// transaction.
#pragma once

#include <db.h>

#include <cstddef>

#include "store/mboxdata.h"

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

// The handles, for the store's own modules (null before mboxlist_init).
DB_ENV* mboxlist_env();
DB* mboxlist_folderdb();
DB* mboxlist_quotadb();
DB* mboxlist_subsdb();
DB* mboxlist_lrightdb();
DB* mboxlist_peruserdb();
DB_ENV* mboxlist_lockenv();

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
