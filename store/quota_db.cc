// Quota records in quota.db: reading a folder's root, usage changes in
// their own transaction, warnings sent and recomputing a root's usage.
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "common/acl.h"
#include "common/bvlog.h"
#include "common/imap_err.h"
#include "store/folder_record.h"
#include "store/mailbox.h"
#include "store/mboxlist.h"
#include "store/mboxlist_internal.h"
#include "store/mboxlist_records.h"
#include "store/mboxname.h"
#include "store/quota.h"

uint32_t mboxlist_fixquota_reconstructed = 0;

namespace {

int put_quota(const char* root, const quotadata& qd, DB_TXN* txn) {
  DbKey key(root);
  unsigned char buf[QUOTA_RECORD_SIZE];
  quota_record_encode(qd, buf);
  DBT data{};
  data.data = buf;
  data.size = data.ulen = sizeof buf;
  data.flags = DB_DBT_USERMEM;
  DB* db = mboxlist_quotadb();
  return db->put(db, txn, key.dbt(), &data, 0);
}

struct FolderSums {
  uint64_t used = 0;
  uint32_t msgs = 0, shared = 0;
  bool found_root = false;
};

// Sums the list records of root and the folders below it (usage, messages,
// folders shared by owner) inside txn.  0, DB_LOCK_DEADLOCK or an error
// (logged, what naming the caller).
int sum_folders(const char* root, const char* owner, DB_TXN* txn, const char* what, FolderSums* sums) {
  *sums = FolderSums{};
  const size_t rootlen = strlen(root);
  DB* fdb = mboxlist_folderdb();
  DbCursor cursor;
  int dr = fdb->cursor(fdb, txn, cursor.out(), 0);
  if (dr) return dr == DB_LOCK_DEADLOCK ? dr : mboxlist_dberror(dr, what, root);
  ReallocDbt key, data;
  key.dbt.data = malloc(rootlen + 1);
  memcpy(key.dbt.data, root, rootlen + 1);
  key.dbt.size = static_cast<u_int32_t>(rootlen + 1);
  for (u_int32_t how = DB_SET;; how = DB_NEXT) {
    dr = cursor->get(cursor.get(), &key.dbt, &data.dbt, how);
    if (dr == DB_NOTFOUND) break;
    if (dr) return dr == DB_LOCK_DEADLOCK ? dr : mboxlist_dberror(dr, what, root);
    const char* k = static_cast<const char*>(key.dbt.data);
    size_t klen = key.dbt.size;
    bool is_root = klen == rootlen + 1 && memcmp(k, root, rootlen + 1) == 0;
    bool below = klen > rootlen + 1 && memcmp(k, root, rootlen) == 0 && k[rootlen] == '/';
    if (!is_root && !below) break;
    sums->found_root |= is_root;
    folder_record rec;
    if (folder_record_decode(data.dbt.data, data.dbt.size, &rec)) {
      bvlog(0, LOG_STORE_ERR, "%s %s: folder record of %.*s is malformed; not counted", what, root,
            static_cast<int>(klen), k);
      continue;
    }
    sums->used += rec.mbd.qused;
    sums->msgs += rec.mbd.exists;
    if (acl_isshared(rec.acl.c_str(), owner)) ++sums->shared;
  }
  return 0;
}

}  // namespace

int mboxlist_getquotaroot(const char* name, quotadata* qd, char** rootp) {
  if (rootp) *rootp = nullptr;
  char root[MBOXNAME_BUF];
  if (int r = mboxlist_quotaroot(name, root)) return r;
  if (mboxlist_init() != 0) return IMAP_IOERROR;
  int r = mboxlist_lookup_quota(root, qd, nullptr);
  if (r == DB_NOTFOUND) return IMAP_QUOTAROOT_NONEXISTENT;
  if (r) {
    bvlog(0, LOG_STORE_ERR, "Unable to get quota root %s: %s", root, db_strerror(r));
    return IMAP_IOERROR;
  }
  if (rootp) *rootp = strdup(root);
  return 0;
}

int mboxlist_warnquota(const char* root) {
  if (mboxlist_init() != 0) return IMAP_IOERROR;
  int r = mboxlist_in_txn("warnquota", root, [&](DB_TXN* txn) -> int {
    quotadata qd;
    int dr = mboxlist_lookup_quota(root, &qd, txn);
    if (dr == DB_NOTFOUND) return IMAP_QUOTAROOT_NONEXISTENT;
    if (dr == 0) {
      qd.qwarn = static_cast<uint32_t>(time(nullptr));
      dr = put_quota(root, qd, txn);
    }
    if (dr == 0 || dr == DB_LOCK_DEADLOCK) return dr;
    bvlog(0, LOG_STORE_ERR, "Unable to set quota warning for %s: %s", root, db_strerror(dr));
    return IMAP_IOERROR;
  });
  return r;
}

int mboxlist_changequota(const char* name, mboxdata* mbd, uint64_t diff, uint32_t msgdiff, int subtract,
                         quotadata* pquotaInfo) {
  if (pquotaInfo) *pquotaInfo = quotadata{};
  if (mboxlist_init() != 0) return IMAP_IOERROR;
  char root[MBOXNAME_BUF];
  bool has_root = mboxlist_quotaroot(name, root) == 0;
  quotadata before, after;
  bool counted = false;
  int r = mboxlist_in_txn("changequota", name, [&](DB_TXN* txn) -> int {
    counted = false;
    if (has_root && diff) {
      int dr = mboxlist_lookup_quota(root, &before, txn);
      if (dr == DB_LOCK_DEADLOCK) return dr;
      counted = dr == 0;
    }
    return mboxlist_changequota_internal(name, diff, msgdiff, subtract, txn, counted ? &after : nullptr);
  });
  if (r) {
    bvlog(0, LOG_STORE_ERR, "Unable to set quota root usage for %s: %s", name, error_message(r));
    return IMAP_IOERROR;
  }
  if (counted) {
    if (pquotaInfo) *pquotaInfo = after;
    quota_announce(root, before, after);
  }
  if (mbd) {
    if (!subtract)
      mbd->qused += diff;
    else
      mbd->qused = mbd->qused > diff ? mbd->qused - diff : 0;
  }
  return 0;
}

int mboxlist_fixquota(const char* root, int* changed) {
  if (changed) *changed = 0;
  if (mboxlist_init() != 0) return IMAP_IOERROR;
  char ownerbuf[MBOXNAME_OWNER_BUF];
  const char* owner = mboxname_owner(root, ownerbuf);
  if (!owner) owner = root;
  quotadata before, after;
  bool wrote = false;
  int r = mboxlist_in_txn("fixquota", root, [&](DB_TXN* txn) -> int {
    wrote = false;
    quotadata qd;
    qd.qmax = QUOTA_UNLIMITED;
    qd.qrused = UINT64_MAX;
    qd.numshared = 0xFFFFFFFFu;
    qd.msgqmax = 0xFFFFFFFEu;
    int dr = mboxlist_lookup_quota(root, &qd, txn);
    if (dr && dr != DB_NOTFOUND) return dr == DB_LOCK_DEADLOCK ? dr : mboxlist_dberror(dr, "fixquota", root);
    before = qd;

    FolderSums sums;
    dr = sum_folders(root, owner, txn, "fixquota", &sums);
    if (dr) return dr;
    if (!sums.found_root) return 0;
    const uint64_t used = sums.used;
    const uint32_t msgs = sums.msgs, shared = sums.shared;
    if (qd.qrused == used && qd.msgqrused == msgs && qd.numshared == shared && !mboxlist_fixquota_reconstructed)
      return 0;
    qd.qrused = used;
    qd.msgqrused = msgs;
    qd.numshared = shared;
    mboxlist_setqwhen(root, &qd);
    // A plain recount keeps the repair mark: the user's records are no
    // less complete for a usage that drifted.
    if (mboxlist_fixquota_reconstructed) qd.lastdbrepair = mboxlist_fixquota_reconstructed;
    dr = put_quota(root, qd, txn);
    if (dr) return dr == DB_LOCK_DEADLOCK ? dr : mboxlist_dberror(dr, "fixquota write", root);
    after = qd;
    wrote = true;
    return 0;
  });
  if (r == 0 && wrote) {
    if (changed) *changed = 1;
    quota_announce(root, before, after);
  }
  return r;
}

namespace {

// How far a list record's usage is from its index's: the bytes and messages
// to add to the quota root (or, with down, to take away) so that it counts
// what the index counts.  Nothing unless messages and bytes lag the same
// way: a record that disagrees both ways at once is damage for a quota
// repair, not a lag.
struct UsageLag {
  uint64_t bytes = 0;
  uint32_t msgs = 0;
  bool down = false;
};
UsageLag usage_lag(const mboxdata& index, const mboxdata& list) {
  UsageLag lag;
  if (index.exists >= list.exists && index.qused >= list.qused) {
    lag.bytes = index.qused - list.qused;
    lag.msgs = index.exists - list.exists;
  } else if (index.exists <= list.exists && index.qused <= list.qused) {
    lag.bytes = list.qused - index.qused;
    lag.msgs = list.exists - index.exists;
    lag.down = true;
  }
  return lag;
}

// The record of m's folder read inside txn when it is still the folder m
// has open.  A folder deleted (or deleted and made anew) since it was
// opened gives IMAP_MAILBOX_LOCKED: writing its record back would bring a
// folder without files back to life, and the caller may look again.
int read_own_record(mailbox* m, const mboxdata& opened, DB_TXN* txn, folder_record* rec) {
  int rr = mboxlist_read_record(m->name, rec, txn);
  if (rr == DB_LOCK_DEADLOCK) return rr;
  const bool replaced =
      rr == 0 && rec->mbd.uid_validity && opened.uid_validity && rec->mbd.uid_validity != opened.uid_validity;
  if (rr == IMAP_MAILBOX_NONEXISTENT || replaced) {
    bvlog(0, LOG_STORE_ERR, "Folder %s was deleted while it was being changed: the change is not recorded", m->name);
    return IMAP_MAILBOX_LOCKED;
  }
  if (rr) return mboxlist_dberror(rr, "Unable to read mailbox entry", m->name);
  return 0;
}

}  // namespace

int mboxlist_commit_append(mailbox* m, uint64_t diff, uint32_t msgdiff, quotadata* pquotaInfo) {
  if (pquotaInfo) *pquotaInfo = quotadata{};
  if (mboxlist_init() != 0) return IMAP_IOERROR;
  char root[MBOXNAME_BUF];
  const bool has_root = mboxlist_quotaroot(m->name, root) == 0;
  const mboxdata old = m->mbd;
  quotadata before, after;
  bool counted = false;
  int r = mboxlist_in_txn("append", m->name, [&](DB_TXN* txn) -> int {
    counted = false;
    m->mbd = old;
    if (has_root && diff) {
      int dr = mboxlist_lookup_quota(root, &before, txn);
      if (dr == DB_LOCK_DEADLOCK) return dr;
      counted = dr == 0;
    }
    folder_record rec;
    if (int rr = read_own_record(m, old, txn, &rec)) return rr;
    // A process that died between writing the index header and committing
    // left the list record and the quota root behind the index (an append)
    // or ahead of it (an expunge).  The index is the authority: the usage
    // catches up here.  m->mbd already counts the new messages, except in
    // qused.
    mboxdata before_append = old;
    before_append.exists = old.exists >= msgdiff ? old.exists - msgdiff : 0;
    const UsageLag lag = usage_lag(before_append, rec.mbd);
    uint64_t add = diff;
    uint32_t add_msgs = msgdiff;
    if (lag.bytes || lag.msgs) {
      bvlog(0, LOG_STORE_WARNING, "Quota usage of %s catches %s with %u messages (%llu bytes) its index %s", m->name,
            lag.down ? "down" : "up", lag.msgs, static_cast<unsigned long long>(lag.bytes),
            lag.down ? "no longer counts" : "counts");
      if (!lag.down) {
        add += lag.bytes;
        add_msgs += lag.msgs;
      } else if (int e = mboxlist_changequota_internal(m->name, lag.bytes, lag.msgs, 1, txn, nullptr)) {
        return e;
      }
    }
    int e = mboxlist_changequota_internal(m->name, add, add_msgs, 0, txn, counted ? &after : nullptr);
    if (e) return e;
    m->mbd.qused += diff;
    int dr = mboxlist_write_record(m->name, m->mbd, m->partition, m->acl, txn);
    if (dr) return mboxlist_dberror(dr, "Unable to update mailbox entry", m->name);
    // Written last, just before the commit: the index never counts a
    // message whose list and quota records were not written.
    return mailbox_write_index_fixed_header(m);
  });
  if (r) {
    m->mbd = old;
    if (r == IMAP_MAILBOX_LOCKED) return r;
    return IMAP_IOERROR;
  }
  if (counted) {
    if (pquotaInfo) *pquotaInfo = after;
    quota_announce(root, before, after);
  }
  return 0;
}

bool mboxlist_index_ahead(const mboxdata& index, const mboxdata& list) {
  return index.last_uid > list.last_uid && index.exists > list.exists && index.qused > list.qused;
}

bool mboxlist_index_behind(const mboxdata& index, const mboxdata& list) {
  return index.uid_validity == list.uid_validity && index.last_uid == list.last_uid && index.exists < list.exists &&
         index.qused < list.qused;
}

namespace {

// Writes the counters of m's index into its list record (partition and ACL
// as the list has them) and moves the quota root by the difference, in one
// transaction.  With lagging_only, nothing unless the index is ahead of or
// behind the record as a dead process leaves it.  *moved tells what moved.
int sync_usage(mailbox* m, bool lagging_only, const char* op, quotadata* pquotaInfo, UsageLag* moved) {
  if (pquotaInfo) *pquotaInfo = quotadata{};
  *moved = UsageLag{};
  if (mboxlist_init() != 0) return IMAP_IOERROR;
  char root[MBOXNAME_BUF];
  const bool has_root = mboxlist_quotaroot(m->name, root) == 0;
  quotadata before, after;
  bool counted = false;
  int r = mboxlist_in_txn(op, m->name, [&](DB_TXN* txn) -> int {
    counted = false;
    *moved = UsageLag{};
    folder_record rec;
    if (lagging_only) {
      int rr = mboxlist_read_record(m->name, &rec, txn);
      if (rr == IMAP_MAILBOX_NONEXISTENT) return 0;
      if (rr) return rr == DB_LOCK_DEADLOCK ? rr : mboxlist_dberror(rr, "Unable to read mailbox entry", m->name);
      if (!mboxlist_index_ahead(m->mbd, rec.mbd) && !mboxlist_index_behind(m->mbd, rec.mbd)) return 0;
    } else if (int rr = read_own_record(m, m->mbd, txn, &rec)) {
      return rr;
    }
    const UsageLag lag = usage_lag(m->mbd, rec.mbd);
    if (has_root && lag.bytes) {
      int dr = mboxlist_lookup_quota(root, &before, txn);
      if (dr == DB_LOCK_DEADLOCK) return dr;
      counted = dr == 0;
    }
    if (int e = mboxlist_changequota_internal(m->name, lag.bytes, lag.msgs, lag.down, txn, counted ? &after : nullptr))
      return e;
    int dr = mboxlist_write_record(m->name, m->mbd, rec.partition.c_str(), rec.acl.c_str(), txn);
    if (dr) return dr == DB_LOCK_DEADLOCK ? dr : mboxlist_dberror(dr, "Unable to update mailbox entry", m->name);
    *moved = lag;
    return 0;
  });
  if (r) return r == IMAP_MAILBOX_LOCKED ? r : IMAP_IOERROR;
  if (counted) {
    if (pquotaInfo) *pquotaInfo = after;
    quota_announce(root, before, after);
  }
  return 0;
}

}  // namespace

int mboxlist_commit_usage(mailbox* m, quotadata* pquotaInfo) {
  UsageLag moved;
  return sync_usage(m, false, "expunge", pquotaInfo, &moved);
}

int mboxlist_catchup_usage(mailbox* m) {
  UsageLag moved;
  int r = sync_usage(m, true, "catchup", nullptr, &moved);
  if (r) {
    bvlog(0, LOG_STORE_ERR, "Unable to catch up quota usage of %s: %s", m->name, error_message(r));
    return IMAP_IOERROR;
  }
  if (moved.bytes || moved.msgs) {
    bvlog(0, LOG_STORE_WARNING, "Quota usage of %s catches %s with %u messages (%llu bytes) its index %s", m->name,
          moved.down ? "down" : "up", moved.msgs, static_cast<unsigned long long>(moved.bytes),
          moved.down ? "no longer counts" : "counts");
  }
  return 0;
}

int mboxlist_sumquota(const char* root, uint64_t* used, uint32_t* msgs) {
  *used = 0;
  *msgs = 0;
  if (mboxlist_init() != 0) return IMAP_IOERROR;
  char ownerbuf[MBOXNAME_OWNER_BUF];
  const char* owner = mboxname_owner(root, ownerbuf);
  if (!owner) owner = root;
  FolderSums sums;
  int r = mboxlist_in_txn("sumquota", root,
                          [&](DB_TXN* txn) -> int { return sum_folders(root, owner, txn, "sumquota", &sums); });
  if (r) return r == IMAP_IOERROR || r < 0 ? IMAP_IOERROR : r;
  if (!sums.found_root) return IMAP_MAILBOX_NONEXISTENT;
  *used = sums.used;
  *msgs = sums.msgs;
  return 0;
}
