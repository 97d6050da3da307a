// Quota records as the folder operations keep them: the root of a folder,
// reading a root, setting its limits, usage changes inside the caller's
// transaction and the shared-folder bookkeeping of an ACL.
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>

#include "common/bvlog.h"
#include "common/config.h"
#include "common/imap_err.h"
#include "store/mboxlist.h"
#include "store/mboxlist_internal.h"
#include "store/mboxlist_lright.h"
#include "store/mboxlist_records.h"
#include "store/mboxname.h"
#include "store/quota_record.h"

namespace {

// ceil(limit * percent / 100) without overflow (64-bit arithmetic).
uint64_t threshold(uint32_t limit, int percent) {
  return (uint64_t(limit) * uint64_t(percent) + 99) / 100;
}

int put_quota(const char* root, const quotadata& qd, DB_TXN* txn) {
  DBT key{};
  DBT data{};
  unsigned char buf[QUOTA_RECORD_SIZE];
  mboxlist_create_struct(&key, nullptr, &data, root, nullptr, nullptr, nullptr, &qd, nullptr, buf);
  DB* db = mboxlist_quotadb();
  return db->put(db, txn, &key, &data, 0);
}

}  // namespace

// The warning threshold bookkeeping of a record in memory: qwhen is set
// when either usage reaches the threshold and cleared (with qwarn) when
// both are below it again.  Announcing the crossing to store notification
// and the directory belongs to the notification module.
void mboxlist_setqwhen(const char* /*mboxname*/, quotadata* qd) {
  config_cache* cfg = config_getdefaultcache();
  int percent = (config_get_switch(cfg, "local.store.overquotastatus", 0) ||
                 config_get_switch(cfg, "local.store.quotaoverdraft", 0))
                    ? 100
                    : config_get_int(cfg, "store.quotawarn", 90);
  bool bytes_over = qd->qmax != QUOTA_UNLIMITED && qd->qrused >= threshold(qd->qmax, percent) * 1024;
  bool msgs_over = qd->msgqmax != QUOTA_UNLIMITED && qd->msgqrused >= threshold(qd->msgqmax, percent);
  if (qd->qwhen == 0 && (bytes_over || msgs_over)) {
    qd->qwhen = static_cast<uint32_t>(time(nullptr));
  } else if (qd->qwhen != 0 && !bytes_over && !msgs_over) {
    qd->qwhen = 0;
    qd->qwarn = 0;
  }
}

int mboxlist_quotaroot(const char* name, char* rootbuf) {
  const char* first = strchr(name, '/');
  if (!first) return IMAP_QUOTAROOT_NONEXISTENT;
  const char* second = strchr(first + 1, '/');
  size_t n = second ? static_cast<size_t>(second - name) : strlen(name);
  if (n >= MBOXNAME_BUF) return IMAP_QUOTAROOT_NONEXISTENT;
  memcpy(rootbuf, name, n);
  rootbuf[n] = '\0';
  return 0;
}

int mboxlist_lookup_quota(const char* root, quotadata* qd, DB_TXN* txn) {
  if (mboxlist_init() != 0) return IMAP_IOERROR;
  DB* db = mboxlist_quotadb();
  auto read = [&] {
    DbKey key(root);
    unsigned char buf[QUOTA_RECORD_SIZE];
    DBT data{};
    data.data = buf;
    data.ulen = sizeof buf;
    data.dlen = sizeof buf;
    data.doff = 0;
    data.flags = DB_DBT_USERMEM | DB_DBT_PARTIAL;
    int r = db->get(db, txn, key.dbt(), &data, txn ? DB_RMW : 0);
    if (r == 0) *qd = quota_record_decode(buf, data.size);
    return r;
  };
  return txn ? read() : mboxlist_retry_read(read);
}

int mboxlist_setquota(const char* root, uint32_t max, uint32_t msgmax) {
  if (mboxlist_init() != 0) return IMAP_IOERROR;
  int r = mboxlist_in_txn("setquota", root, [&](DB_TXN* txn) -> int {
    quotadata qd;
    int dr = mboxlist_lookup_quota(root, &qd, txn);
    if (dr == DB_NOTFOUND) return IMAP_QUOTAROOT_NONEXISTENT;
    if (dr == 0 && qd.qmax == max && qd.msgqmax == msgmax) return 0;
    if (dr == 0) {
      qd.qmax = max;
      qd.msgqmax = msgmax;
      mboxlist_setqwhen(root, &qd);
      dr = put_quota(root, qd, txn);
    }
    if (dr == DB_LOCK_DEADLOCK) return dr;
    if (dr) {
      bvlog(0, LOG_STORE_ERR, "Unable to set quota for %s: %s", root, db_strerror(dr));
      return IMAP_IOERROR;
    }
    return 0;
  });
  return r;
}

int mboxlist_changequota_internal(const char* name, uint64_t diff, uint32_t msgdiff, int subtract, DB_TXN* txn,
                                  quotadata* ptqd) {
  if (diff == 0) return 0;
  char root[MBOXNAME_BUF];
  if (int r = mboxlist_quotaroot(name, root)) return r == IMAP_QUOTAROOT_NONEXISTENT ? 0 : r;
  quotadata qd;
  int r = mboxlist_lookup_quota(root, &qd, txn);
  if (r == DB_LOCK_DEADLOCK) return r;
  if (r) {
    // Folders without a quota record are simply not counted.
    if (r != DB_NOTFOUND) bvlog(0, LOG_STORE_ERR, "Unable to read quota usage for %s: %s", root, db_strerror(r));
    return 0;
  }
  if (subtract) {
    qd.qrused = qd.qrused > diff ? qd.qrused - diff : 0;
    qd.msgqrused = qd.msgqrused >= msgdiff ? qd.msgqrused - msgdiff : 0;
  } else {
    qd.qrused += diff;
    qd.msgqrused += msgdiff;
  }
  mboxlist_setqwhen(name, &qd);
  r = put_quota(root, qd, txn);
  if (r) return mboxlist_dberror(r, "Unable to set quota root usage for", root);
  if (ptqd) *ptqd = qd;
  return 0;
}

int mboxlist_changeshared(const char* acl, const char* owner, const char* name, const char* newname, int type,
                          DB_TXN* txn) {
  if (!acl) return 0;
  const char* p = acl;
  while (*p) {
    const char* tab = strchr(p, '\t');
    if (!tab) break;
    const char* rights = tab + 1;
    const char* end = strchr(rights, '\t');
    size_t rlen = end ? static_cast<size_t>(end - rights) : strlen(rights);
    std::string id(p, static_cast<size_t>(tab - p));
    bool is_owner = owner && id == owner;
    if (!is_owner && !id.empty() && id[0] != '-' && id.size() < 128 && memchr(rights, 'l', rlen)) {
      if (int r = mboxlist_changelright(id.c_str(), name, newname, type, txn)) return r;
    }
    if (!end) break;
    p = end + 1;
  }
  return 0;
}
