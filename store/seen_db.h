// Per-user message state of folders (the seen database).
//
// peruser.db keeps, for every folder and every user who opened it, when the
// user last read the folder, a UID mark, when the state last changed and two
// UID sets (the messages seen, and a second per-user flag set carried with
// it).  A marker record per folder tells when any user's state in it last
// changed; the store daemon uses it to copy the state into "store.usr" in
// the folder's directory, from which a rebuilt database is refilled.
// Record and file layouts are in seen_db.cc.
//
// The database handle is the one the mailbox list environment opens
// (mboxlist_peruserdb()); mboxlist_init must have succeeded.
//
// Reading and writing one user's state: seen_open -> seen_lockread ->
// (seen_write) -> seen_unlock -> seen_close.  seen_lockread takes a lock
// named after the folder and user that excludes every other thread and
// process doing the same cycle; it is kept across seen_write until
// seen_unlock or seen_close.  Lock order: a folder's index lock, then this
// lock.  Never hold two handles of the same folder and user locked in one
// thread: the second lockread would wait for the first forever.
//
// Results: 0, IMAP_MAILBOX_LOCKED (the lock could not be taken) or
// IMAP_IOERROR; database errors are logged with the folder name.  A missing
// user record is an empty state, a missing "store.usr" is no error.
// Strings handed out are malloc'ed and freed by the caller.
#pragma once

#include <db.h>

#include <cstdint>
#include <ctime>

struct mailbox;
struct seen;

// What the seen layer needs to know of a folder: its internal name, its
// directory (for "store.usr"; may be null when only records are touched)
// and its highest UID.  Borrowed for the call.
struct seen_folder {
  const char* name = nullptr;
  const char* path = nullptr;
  uint32_t last_uid = 0;
};

// Opens user's state of an open folder.  0 (and *seendb set) or
// IMAP_IOERROR.  When the folder has no marker yet, its records are first
// refilled from "store.usr".
[[nodiscard]] int seen_open(mailbox* mailbox, const char* user, seen** seendb);
[[nodiscard]] int seen_open_folder(const seen_folder& folder, const char* user, seen** seendb);

// Takes the lock (unless this handle holds it) and reads the state.  A user
// who never opened the folder reads 0, 0, 0 and " ".  *seenuids (malloc'ed)
// holds both UID sets separated by one space.  On an error the lock is
// released.
[[nodiscard]] int seen_lockread(seen* seendb, time_t* lastread, uint32_t* lastuid, time_t* lastchange,
                                char** seenuids);
// Stores the state (lock held, see seen_lockread) and stamps the folder's
// marker.  seenuids: both sets separated by one space.  0 or IMAP_IOERROR.
[[nodiscard]] int seen_write(seen* seendb, time_t lastread, uint32_t lastuid, time_t lastchange,
                             const char* seenuids);
// Releases the lock when held.
void seen_unlock(seen* seendb);
// Unlocks when needed and frees the handle; null is ignored.
void seen_close(seen* seendb);

// Folder life cycle.  seen_create writes the folder's marker; seen_delete
// removes the marker and every user record, and with rmusrfile also
// "store.usr"; seen_copy copies every user record of oldfolder to newfolder
// inside the caller's transaction (when both are user folders of different
// owners, the old owner's record becomes the new owner's).  0 or
// IMAP_IOERROR (seen_copy: also DB_LOCK_DEADLOCK for the caller's retry).
[[nodiscard]] int seen_create(mailbox* mailbox);
[[nodiscard]] int seen_delete(mailbox* mailbox, int rmusrfile);
[[nodiscard]] int seen_copy(DB_TXN* txn, mailbox* oldmailbox, mailbox* newmailbox);
[[nodiscard]] int seen_create_folder(const char* name);
[[nodiscard]] int seen_delete_folder(const seen_folder& folder, int rmusrfile);
[[nodiscard]] int seen_copy_folder(DB_TXN* txn, const char* oldname, const char* newname);

// Called for every user who read the folder after report_time.
using seen_reportproc_t = void (*)(void* rock, const char* user);
// Called after a failed attempt, before the attempt is repeated.
using seen_reportresetproc_t = void (*)(void* rock);

// Validates every user record of the folder: records whose numbers are
// malformed or beyond the folder's last UID, or last read before prune_time
// (when nonzero), are dropped; UID sets are cleaned.  Reports readers after
// report_time.  0 or IMAP_IOERROR.
[[nodiscard]] int seen_reconstruct(mailbox* mailbox, time_t report_time, time_t prune_time,
                                   seen_reportproc_t report_proc, seen_reportresetproc_t report_reset_proc,
                                   void* report_rock);
[[nodiscard]] int seen_reconstruct_folder(const seen_folder& folder, time_t report_time, time_t prune_time,
                                          seen_reportproc_t report_proc, seen_reportresetproc_t report_reset_proc,
                                          void* report_rock);

// Writes the folder's records to "store.usr" when they changed since
// lastckpstart and the file is older than the change (or the change is at
// or after lastckpend, or the file is missing).  0 or a store code.
[[nodiscard]] int seen_checkpoint(const char* mailboxname, time_t lastckpstart, time_t lastckpend);
// Refills the folder's records from "store.usr" (marker 0); without the
// file only writes the marker.  0 or IMAP_IOERROR.
[[nodiscard]] int seen_recoverFromFile(mailbox* mailbox);
[[nodiscard]] int seen_recover_folder(const seen_folder& folder);

// Validates one state text [line, endline) of user in a folder whose
// highest UID is uidtoobig.  0: keep it as it is.  1 with *out set: replace
// it by *out (malloc'ed, NUL-terminated).  1 with *out null: drop the
// record.  Reports the user through report_proc when last read after
// report_time; drops records last read before prune_time (0: none).
int seen_fixdata(char** out, const char* line, const char* endline, uint32_t uidtoobig, time_t now,
                 time_t report_time, time_t prune_time, const char* user, seen_reportproc_t report_proc,
                 void* report_rock);
