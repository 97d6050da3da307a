// Quota behaviour: reading a folder's quota root, usage changes, the
// warning-threshold bookkeeping, limits checks for appends, warnings sent
// and recomputing a root's usage from its folders.
//
// The quota record itself (56 bytes in quota.db) and its codec live in
// store/quota_record.h; the calls that folder creation, deletion and rename
// run inside their own transactions (mboxlist_quotaroot,
// mboxlist_lookup_quota, mboxlist_setquota, mboxlist_changequota_internal,
// mboxlist_changeshared) are declared in store/mboxlist.h.
//
// Every writer runs in its own transaction, repeated while it ends in a
// deadlock, and reads the root's record for update, so concurrent appends
// to folders of one root serialise on that record.  No file lock is taken
// here.  Results: 0 or imap_err codes; Berkeley DB failures are logged
// (priority 59) and reported as IMAP_IOERROR.  Notification and directory
// failures never change a quota record.
#pragma once

#include <db.h>

#include <cstdint>
#include <ctime>

#include "store/mboxdata.h"
#include "store/quota_record.h"

// ---- Pure rules (no database) ------------------------------------------------

// The warning percentage: 100 when "local.store.overquotastatus" or
// "local.store.quotaoverdraft" is on, else "store.quotawarn" (default 90).
int quota_warn_percent();

// Thresholds for a percentage: bytes = ceil(qmax * percent / 100) KB * 1024,
// messages = ceil(msgqmax * percent / 100), each UINT64_MAX when its limit
// is unlimited.  No overflow for any input.
struct quota_thresholds {
  uint64_t bytes;
  uint64_t msgs;
};
quota_thresholds quota_get_thresholds(const quotadata& qd, int percent);

// 1 when usage has reached either threshold.
int quota_over_threshold(const quotadata& qd, int percent);

// The limit check of an append of `size` bytes and `nmsgs` messages to a
// root whose record is qd: 0 when qrused + size <= qmax KB and msgqrused +
// nmsgs - 1 < msgqmax; else IMAP_QUOTA_EXCEEDED_PERSISTENT with a grace
// period of 0 hours or once qwhen + grace has passed, IMAP_QUOTA_EXCEEDED
// while it has not (or qwhen is unset).
[[nodiscard]] int quota_check_limits(const quotadata& qd, uint64_t size, uint32_t nmsgs, time_t now, int grace_hours);

// ---- Records ----------------------------------------------------------------

// The quota record of the root of folder name.  rootp (may be null)
// receives a malloc'ed copy of the root name.  0,
// IMAP_QUOTAROOT_NONEXISTENT (no root or no record) or IMAP_IOERROR
// ("Unable to get quota root %s: %s").
[[nodiscard]] int mboxlist_getquotaroot(const char* name, quotadata* qd, char** rootp);

// Records that an over-quota warning was just sent (qwarn = now).  0,
// IMAP_QUOTAROOT_NONEXISTENT or IMAP_IOERROR.
[[nodiscard]] int mboxlist_warnquota(const char* root);

// Applies a usage change of folder name to its root in its own transaction
// and, on success, the same change to mbd->qused (may be null; clamped at
// zero when subtracting).  pquotaInfo (may be null) is zeroed, then
// receives the new record.  0 or IMAP_IOERROR.
[[nodiscard]] int mboxlist_changequota(const char* name, mboxdata* mbd, uint64_t diff, uint32_t msgdiff, int subtract,
                                       quotadata* pquotaInfo);

struct mailbox;
// The commit of an append to open folder m (index lock held): adds diff
// bytes and msgdiff messages to the folder's quota root and to m->mbd.qused,
// and writes the folder's list record and its index's fixed header, all in
// one transaction, so a crash leaves usage, list record and index in step
// (the header is written last, just before the commit).  When the list
// record lags the index (a process died between the index change and its
// commit: an append leaves it behind, an expunge ahead), the quota root
// catches up by the difference too.  On failure m->mbd is as it was (the
// header on disk may need rewriting).  pquotaInfo (may be null) receives the
// new quota record (zeros without one).  0, IMAP_MAILBOX_LOCKED (the folder
// was deleted, or deleted and made anew, since m was opened: nothing is
// written, the caller may open it again) or IMAP_IOERROR.
[[nodiscard]] int mboxlist_commit_append(mailbox* m, uint64_t diff, uint32_t msgdiff, quotadata* pquotaInfo);

// Whether an index header counts appended messages that its folder's list
// record does not (more messages, more bytes and a higher last uid): what a
// process leaves behind when it dies between the index header write and
// the commit of an append.
bool mboxlist_index_ahead(const mboxdata& index, const mboxdata& list);
// Whether a folder's list record still counts messages that its index no
// longer holds (fewer messages and bytes, the same last uid and UID
// validity): what a process leaves behind when it dies between putting an
// expunged index in place and committing the expunge.
bool mboxlist_index_behind(const mboxdata& index, const mboxdata& list);
// The commit of an expunge (index lock held, the new index in place and
// read into m->mbd, no transaction open): writes m->mbd into the folder's
// list record (partition and ACL as the list has them) and moves the quota
// root by the difference between what the record counted and what the
// index counts, in one transaction.  pquotaInfo (may be null) receives the
// new quota record (zeros without one).  0, IMAP_MAILBOX_LOCKED (the folder
// was deleted or replaced since m was opened; nothing written) or
// IMAP_IOERROR (the database failure logged).
[[nodiscard]] int mboxlist_commit_usage(mailbox* m, quotadata* pquotaInfo);
// When m's index (m->mbd as read under the lock) is ahead of or behind its
// list record (mboxlist_index_ahead, mboxlist_index_behind), moves the
// folder's quota root by the difference and writes the index's counters into
// the list record, in one transaction (logged as a warning).  Index lock
// held, and no transaction open: the lock is taken before the transaction,
// as appends do.  0 (also when nothing lagged or the folder has no list
// record) or IMAP_IOERROR.
[[nodiscard]] int mboxlist_catchup_usage(mailbox* m);
// The usage and message count summed over the list records of root and
// the folders below it, as a quota repair would count them (read only).
// 0, IMAP_MAILBOX_NONEXISTENT (no record for root) or IMAP_IOERROR.
[[nodiscard]] int mboxlist_sumquota(const char* root, uint64_t* used, uint32_t* msgs);

// Threshold bookkeeping on a record in memory, run before every write of a
// changed usage or limit (defined beside the folder operations): sets qwhen
// when usage reaches the warning threshold, clears qwhen and qwarn when
// both usages fall below it.  The caller writes the record.
void mboxlist_setqwhen(const char* mboxname, quotadata* qd);

// Announces a committed crossing of the warning threshold of root, seen as
// the change of qwhen between the records before and after: "OverQuota"
// when it was set, "UnderQuota" when cleared, to store notification and,
// with "local.store.overquotastatus" on, to the owner's directory entry.
// Announcing only after the commit means a transaction repeated after a
// deadlock reports nothing twice.
void quota_announce(const char* root, const quotadata& before, const quotadata& after);

// Recomputes root's usage, message count and shared-folder count from the
// folder records below it; *changed (may be null) says whether the record
// was rewritten.  Without a folder record for the root nothing is written.
// 0 or IMAP_IOERROR.
[[nodiscard]] int mboxlist_fixquota(const char* root, int* changed);
// Set by a caller rebuilding quotas: stored as lastdbrepair and forces the
// rewrite.
extern uint32_t mboxlist_fixquota_reconstructed;

// Mirrors the over-quota state into the owner's directory entry: when the
// entry's "mailuserstatus" equals from (any case) it is replaced by to in
// one modify through the directory pool (store/userattr.h; set up from the
// configuration on first use).  0 also when the status is another one;
// -1 when the entry cannot be read ("set_overquotastatus: cannot get ldap
// attributes for user: %s"); the modify's store code when it fails
// ("set_overquotastatus: cannot modify ldap attributes for user: %s (rc =
// %d)"), IMAP_TEMP_AUTH_FAILURE while the directory is unreachable.  Waits
// at most the pool's time-outs; called outside any database transaction
// (appends call it with the folder's index lock held).
int set_overquotastatus(const char* mboxname, const char* from, const char* to);
