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
    qd.lastdbrepair = mboxlist_fixquota_reconstructed;
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
    // A process that died between writing the index header and committing
    // this transaction left the index counting messages that neither the
    // list record nor the quota root counts.  The index is the authority:
    // the usage catches up here.
    uint64_t catchup = 0;
    uint32_t catchup_msgs = 0;
    folder_record rec;
    int rr = mboxlist_read_record(m->name, &rec, txn);
    if (rr == DB_LOCK_DEADLOCK) return rr;
    // The folder was deleted (or deleted and made anew) since it was
    // opened: writing its record back would bring a folder without files
    // back to life.  The append fails; nothing of it was acknowledged.
    const bool replaced = rr == 0 && rec.mbd.uid_validity && old.uid_validity &&
                          rec.mbd.uid_validity != old.uid_validity;
    if (rr == IMAP_MAILBOX_NONEXISTENT || replaced) {
      return IMAP_MAILBOX_NONEXISTENT;
    }
    // m->mbd already counts the new messages, except in qused.
    const uint32_t exists_before = old.exists >= msgdiff ? old.exists - msgdiff : 0;
    if (rr == 0 && rec.mbd.exists < exists_before && rec.mbd.qused < old.qused) {
      catchup = old.qused - rec.mbd.qused;
      catchup_msgs = exists_before - rec.mbd.exists;
      bvlog(0, LOG_STORE_WARNING, "Quota usage of %s catches up with %u messages (%llu bytes) its index counts",
            m->name, catchup_msgs, static_cast<unsigned long long>(catchup));
    }
    int e = mboxlist_changequota_internal(m->name, diff + catchup, msgdiff + catchup_msgs, 0, txn,
                                          counted ? &after : nullptr);
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
    return r == IMAP_IOERROR || r < 0 ? IMAP_IOERROR : r;
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

int mboxlist_catchup_usage(mailbox* m) {
  if (mboxlist_init() != 0) return IMAP_IOERROR;
  char root[MBOXNAME_BUF];
  const bool has_root = mboxlist_quotaroot(m->name, root) == 0;
  quotadata before, after;
  bool counted = false, caught = false;
  uint64_t bytes = 0;
  uint32_t msgs = 0;
  int r = mboxlist_in_txn("catchup", m->name, [&](DB_TXN* txn) -> int {
    counted = caught = false;
    folder_record rec;
    int rr = mboxlist_read_record(m->name, &rec, txn);
    if (rr == IMAP_MAILBOX_NONEXISTENT) return 0;
    if (rr) return rr;
    if (!mboxlist_index_ahead(m->mbd, rec.mbd)) return 0;
    bytes = m->mbd.qused - rec.mbd.qused;
    msgs = m->mbd.exists - rec.mbd.exists;
    if (has_root) {
      int dr = mboxlist_lookup_quota(root, &before, txn);
      if (dr == DB_LOCK_DEADLOCK) return dr;
      counted = dr == 0;
    }
    if (int e = mboxlist_changequota_internal(m->name, bytes, msgs, 0, txn, counted ? &after : nullptr)) return e;
    // The list's partition and ACL stay as the list has them.
    int dr = mboxlist_write_record(m->name, m->mbd, rec.partition.c_str(), rec.acl.c_str(), txn);
    if (dr) return dr == DB_LOCK_DEADLOCK ? dr : mboxlist_dberror(dr, "Unable to update mailbox entry", m->name);
    caught = true;
    return 0;
  });
  if (r) {
    bvlog(0, LOG_STORE_ERR, "Unable to catch up quota usage of %s: %s", m->name, error_message(r));
    return IMAP_IOERROR;
  }
  if (caught) {
    bvlog(0, LOG_STORE_WARNING, "Quota usage of %s catches up with %u messages (%llu bytes) its index counts", m->name,
          msgs, static_cast<unsigned long long>(bytes));
    if (counted) quota_announce(root, before, after);
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
