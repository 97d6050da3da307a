// Lists of folders shared to each identifier, renaming a user in ACLs and
// the environment's statistics.
//
// lright.db records:
//
//   key   <identifier> NUL          (canonical user id or "group:" name)
//   data  <folder> NUL <folder> NUL ...
//         internal names of the user folders of others whose ACL gives the
//         identifier the lookup right, in the order they were added; the
//         length is the sum of the names and their NULs.  An empty list is
//         never stored: the record is deleted instead.
#include "store/mboxlist_lright.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/acl.h"
#include "common/bvlog.h"
#include "common/imap_err.h"
#include "common/xmalloc.h"
#include "store/mboxdata.h"
#include "store/mboxlist.h"
#include "store/mboxlist_internal.h"
#include "store/mboxlist_records.h"
#include "store/mboxlist_walk.h"
#include "store/mailbox.h"
#include "store/mboxname.h"
#include "store/quota_record.h"
#include "store/storeutil.h"

namespace {

std::string id_key(const char* userid) { return std::string(userid) + '\0'; }

// The names of a list, in order.
std::vector<std::string_view> split_list(const char* list, size_t len) {
  std::vector<std::string_view> out;
  for (size_t off = 0; off < len;) {
    size_t l = strnlen(list + off, len - off);
    out.emplace_back(list + off, l);
    off += l + 1;
  }
  return out;
}

int put_list(DB_TXN* txn, const std::string& key, const std::string& list) {
  DB* db = mboxlist_lrightdb();
  DBT k = dbt_of(key.data(), key.size());
  if (list.empty()) {
    int r = db->del(db, txn, &k, 0);
    return r == DB_NOTFOUND ? 0 : r;
  }
  DBT d = dbt_of(list.data(), list.size());
  return db->put(db, txn, &k, &d, 0);
}

}  // namespace

int mboxlist_lookup_lright(const char* userid, char** list, size_t* size, DB_TXN* txn) {
  *list = nullptr;
  *size = 0;
  if (mboxlist_init() != 0 || !mboxlist_lrightdb()) return -1;
  DB* db = mboxlist_lrightdb();
  std::string k = id_key(userid);
  auto read = [&] {
    DbKey key(k.data(), k.size());
    DBT data = {};
    data.flags = DB_DBT_MALLOC;
    int r = db->get(db, txn, key.dbt(), &data, txn ? DB_RMW : 0);
    if (r == 0) {
      *list = static_cast<char*>(data.data);
      *size = data.size;
    }
    return r;
  };
  return txn ? read() : mboxlist_retry_read(read);
}

size_t mboxlist_modifylright(const char* mbox, const char* newname, int type, char** list, size_t* len) {
  std::string out;
  bool found = false;
  for (std::string_view n : split_list(*list ? *list : "", *list ? *len : 0)) {
    if (!found && n == mbox) {
      found = true;
      if (type == TYPE_ADD) return *len;
      continue;  // deleted, or renamed: appended below
    }
    out.append(n);
    out += '\0';
  }
  if (!found && type == TYPE_DELETE) return *len;
  if (type == TYPE_ADD) {
    out += mbox;
    out += '\0';
  } else if (type == TYPE_RENAME && newname) {
    out += newname;
    out += '\0';
  }
  free(*list);
  *list = static_cast<char*>(xmalloc(out.size() ? out.size() : 1));
  memcpy(*list, out.data(), out.size());
  *len = out.size();
  return *len;
}

int mboxlist_changelright(const char* userid, const char* mbox, const char* newname, int type, DB_TXN* txn) {
  if (!mboxlist_lrightdb()) return 0;  // the store runs without the lists
  char* list = nullptr;
  size_t len = 0;
  int r = mboxlist_lookup_lright(userid, &list, &len, txn);
  if (r == DB_NOTFOUND) {
    r = 0;
    if (type == TYPE_DELETE) return 0;
  }
  if (r == 0) {
    mboxlist_modifylright(mbox, newname, type, &list, &len);
    r = put_list(txn, id_key(userid), std::string(list ? list : "", len));
  }
  free(list);
  if (r == 0 || r == DB_LOCK_DEADLOCK) return r;
  bvlog(0, LOG_STORE_ERR, "Unable to set lright for %s: %s", userid, r == -1 ? "no database" : db_strerror(r));
  return IMAP_IOERROR;
}

int mboxlist_findlright(mboxlist_findlright_cb cb, void* rock) {
  if (mboxlist_init() != 0 || !mboxlist_lrightdb()) return IMAP_IOERROR;
  DB* db = mboxlist_lrightdb();
  std::string last;
  bool first = true;
  for (;;) {
    std::string key, data;
    // One short-lived cursor per step: nothing is locked while cb runs.
    int r = mboxlist_retry_read([&] {
      DbCursor cur;
      int rr = db->cursor(db, nullptr, cur.out(), 0);
      if (rr) return rr;
      DbWalk w;
      rr = w.first(cur.get(), last);
      if (rr == 0 && !first && w.key() == last) rr = w.next(cur.get());
      if (rr == 0) {
        key.assign(w.key());
        data.assign(w.data());
      }
      return rr;
    });
    if (r == DB_NOTFOUND) return 0;
    if (r) {
      bvlog(0, LOG_STORE_ERR, "Unable to list lright.db: %s", db_strerror(r));
      return IMAP_IOERROR;
    }
    first = false;
    last = key;
    std::string id(key.c_str());  // up to its NUL
    if (int cr = cb(id.c_str(), data.data(), data.size(), rock)) return cr;
  }
}

int mboxlist_fixlright(const char* userid, const char* newlist, size_t newlen) {
  if (mboxlist_init() != 0 || !mboxlist_lrightdb()) return IMAP_IOERROR;
  std::vector<std::string_view> wanted = split_list(newlist ? newlist : "", newlist ? newlen : 0);
  return mboxlist_in_txn("fixacess", userid, [&](DB_TXN* txn) -> int {
    char* stored = nullptr;
    size_t len = 0;
    int r = mboxlist_lookup_lright(userid, &stored, &len, txn);
    if (r == DB_NOTFOUND) r = 0;
    if (r) {
      free(stored);
      return r == DB_LOCK_DEADLOCK ? r : mboxlist_dberror(r, "Unable to read lright of", userid);
    }
    std::string out(newlist ? newlist : "", newlist ? newlen : 0);
    for (std::string_view n : split_list(stored ? stored : "", len)) {
      bool listed = false;
      for (std::string_view w : wanted) listed = listed || w == n;
      if (listed) continue;
      std::string name(n);
      char* acl = nullptr;
      if (mboxlist_lookup(name.c_str(), nullptr, nullptr, nullptr, nullptr, &acl) != 0) continue;
      bool keep = acl_lookup_right(userid, acl) != 0;
      free(acl);
      if (!keep) continue;
      out += name;
      out += '\0';
    }
    free(stored);
    r = put_list(txn, id_key(userid), out);
    return r == 0 || r == DB_LOCK_DEADLOCK ? r : mboxlist_dberror(r, "Unable to set lright for", userid);
  });
}

char* acl_renameuser(const char* oldacl, const char* oldname, const char* newname) {
  std::string out;
  out.reserve(strlen(oldacl) + strlen(newname) + 1);
  const char* p = oldacl;
  bool done = false;
  size_t oldlen = strlen(oldname);
  while (*p) {
    const char* tab = strchr(p, '\t');
    if (done || !tab) {
      out += p;  // the rest as it is
      break;
    }
    if (static_cast<size_t>(tab - p) == oldlen && strncmp(p, oldname, oldlen) == 0) {
      out += newname;
      done = true;
    } else {
      out.append(p, static_cast<size_t>(tab - p));
    }
    out += '\t';
    const char* rights = tab + 1;
    const char* end = strchr(rights, '\t');
    if (!end) {
      out += rights;
      break;
    }
    out.append(rights, static_cast<size_t>(end - rights) + 1);
    p = end + 1;
  }
  return xstrdup(out.c_str());
}

namespace {

// Renames oldid to newid in the ACL of folder name: record and index
// header together, under the folder's index lock, which is taken before the
// transaction (the lock order of store/mboxlist.h), so a delivery holding
// that lock and waiting for the list never waits on us in a cycle.  A
// folder whose files cannot be opened has its record renamed alone.
int rename_in_folder(const std::string& name, const char* oldid, const char* newid) {
  folder_record rec;
  int r = mboxlist_retry_read([&] { return mboxlist_read_record(name.c_str(), &rec, nullptr); });
  if (r == IMAP_MAILBOX_NONEXISTENT) return 0;
  if (r) return r;
  if (!acl_has_identifier(rec.acl.c_str(), oldid)) return 0;
  char path[MBOXNAME_PATH_BUF], msgpath[MBOXNAME_PATH_BUF];
  mailbox m;
  bool locked = false;
  if (mboxlist_getpath(name.c_str(), rec.partition.c_str(), path, msgpath) == 0 &&
      mailbox_open_path(name.c_str(), 0, rec.partition.c_str(), path, *msgpath ? msgpath : nullptr,
                        rec.acl.c_str(), nullptr, &m) == 0) {
    locked = mailbox_lock_index(&m) == 0;
  }
  r = mboxlist_in_txn("renameacl", name.c_str(), [&](DB_TXN* txn) -> int {
    folder_record cur;
    int e = mboxlist_read_record(name.c_str(), &cur, txn);
    if (e == IMAP_MAILBOX_NONEXISTENT) return 0;
    if (e) return e;
    if (!acl_has_identifier(cur.acl.c_str(), oldid)) return 0;
    std::unique_ptr<char, decltype(&free)> renamed(acl_renameuser(cur.acl.c_str(), oldid, newid), free);
    int dr = mboxlist_write_record(name.c_str(), cur.mbd, cur.partition.c_str(), renamed.get(), txn);
    if (dr) return mboxlist_dberror(dr, "Unable to rename user in the ACL of", name.c_str());
    if (!locked) return 0;
    // The index header takes the ACL before the commit: a delivery copies
    // the header's ACL into the record, so a header left behind would undo
    // the rename.
    free(m.acl);
    m.acl = xstrdup(renamed.get());
    return mailbox_write_index_variable_header(&m);
  });
  mailbox_close(&m);
  if (r) bvlog(0, LOG_STORE_ERR, "Unable to rename %s in the ACL of %s: %s", oldid, name.c_str(), error_message(r));
  return r;
}

}  // namespace

int mboxlist_renameacl(const char* oldid, const char* newid) {
  DB* db = mboxlist_folderdb();
  if (!db) return IMAP_IOERROR;
  // The folders to change, read outside any transaction.  An entry is
  // matched as a whole identifier: renaming "a" must not touch every ACL
  // that grants the right 'a'.
  std::vector<std::string> names;
  int r = mboxlist_retry_read([&]() -> int {
    names.clear();
    DbCursor cur;
    int cr = db->cursor(db, nullptr, cur.out(), 0);
    if (cr) return cr;
    DbWalk w;
    for (cr = w.first(cur.get(), ""); cr == 0; cr = w.next(cur.get())) {
      std::string_view key = w.key();
      std::string_view data = w.data();
      if (data.size() < static_cast<size_t>(MBOXDATA_SIZE) + 2 || data.back() != '\0') continue;
      std::string_view rest = data.substr(MBOXDATA_SIZE);
      size_t nul = rest.find('\0');
      if (nul == std::string_view::npos || nul + 1 >= rest.size()) continue;
      std::string acl(rest.substr(nul + 1, rest.size() - nul - 2));
      if (acl_has_identifier(acl.c_str(), oldid)) names.emplace_back(key.substr(0, key.find('\0')));
    }
    return cr == DB_NOTFOUND ? 0 : cr;
  });
  if (r) return mboxlist_dberror(r, "Unable to list the ACLs naming", oldid);
  int failed = 0;
  for (const std::string& name : names) {
    if (int e = rename_in_folder(name, oldid, newid)) failed = failed ? failed : e;
  }
  // The renamed user's own list of folders shared to him follows him: the
  // ACLs now name the new id, so the old key would hide them.
  r = mboxlist_in_txn("renameacl", oldid, [&](DB_TXN* txn) -> int {
    char* list = nullptr;
    size_t len = 0;
    int e = mboxlist_lookup_lright(oldid, &list, &len, txn);
    std::unique_ptr<char, decltype(&free)> own(list, free);
    if (e == DB_NOTFOUND || e == -1) return 0;
    if (e) return e == DB_LOCK_DEADLOCK ? e : mboxlist_dberror(e, "Unable to read lright of", oldid);
    for (std::string_view n : split_list(list, len)) {
      std::string name(n);
      if ((e = mboxlist_changelright(newid, name.c_str(), nullptr, TYPE_ADD, txn))) return e;
    }
    e = put_list(txn, id_key(oldid), std::string());
    return e == 0 || e == DB_LOCK_DEADLOCK ? e : mboxlist_dberror(e, "Unable to set lright for", oldid);
  });
  return failed ? failed : r;
}

int mboxlist_getstat(DB_LOCK_STAT** lockstat, DB_LOG_STAT** logstat, DB_MPOOL_STAT** mpoolstat,
                     DB_TXN_STAT** txnstat) {
  if (mboxlist_init() != 0) return -1;
  DB_ENV* env = mboxlist_env();
  int failed = 0;
  auto fail = [&](int r, const char* what) {
    if (r == 0) return;
    errno = r > 0 ? r : EIO;
    bvlog(0, LOG_STORE_WARNING, "Unable to get %s db statistic: %m", what);
    ++failed;
  };
  if (lockstat) {
    *lockstat = nullptr;
    fail(env->lock_stat(env, lockstat, 0), "lock");
  }
  if (logstat) {
    *logstat = nullptr;
    fail(env->log_stat(env, logstat, 0), "log");
  }
  if (mpoolstat) {
    *mpoolstat = nullptr;
    fail(env->memp_stat(env, mpoolstat, nullptr, 0), "mpool");
  }
  if (txnstat) {
    *txnstat = nullptr;
    fail(env->txn_stat(env, txnstat, 0), "txn");
  }
  return failed;
}

// ---- Access times -------------------------------------------------------------

namespace {

std::string access_root(const char* name) {
  return strncmp(name, "user/", 5) == 0 ? std::string(name) : std::string("user/") + name;
}

int put_quota(DB_TXN* txn, const std::string& root, const quotadata& qd) {
  DB* db = mboxlist_quotadb();
  unsigned char buf[QUOTA_RECORD_SIZE];
  quota_record_encode(qd, buf);
  std::string k = root + '\0';
  DBT key = dbt_of(k.data(), k.size());
  DBT data = dbt_of(buf, sizeof buf);
  return db->put(db, txn, &key, &data, 0);
}

}  // namespace

int mboxlist_setaccesstime(const char* name, time_t timestamp, const char* protocol) {
  std::string root = access_root(name);
  int r = mboxlist_in_txn("setaccess", root.c_str(), [&](DB_TXN* txn) -> int {
    quotadata qd;
    int rr = mboxlist_lookup_quota(root.c_str(), &qd, txn);
    if (rr == DB_NOTFOUND) return IMAP_QUOTAROOT_NONEXISTENT;
    if (rr == 0) {
      uint32_t t = static_cast<uint32_t>(timestamp);
      if (strcmp(protocol, "imap") == 0) {
        qd.lastimapaccess = t;
      } else if (strcmp(protocol, "http") == 0) {
        qd.lasthttpaccess = t;
      } else {
        qd.lastuse = t;
      }
      rr = put_quota(txn, root, qd);
    }
    if (rr == 0 || rr == DB_LOCK_DEADLOCK) return rr;
    bvlog(0, LOG_STORE_ERR, "Unable to set last access for %s: %s", root.c_str(), db_strerror(rr));
    return IMAP_IOERROR;
  });
  return r;
}

int mboxlist_getlastaccess(char* name, quotadata* qd) {
  store_canonifyid(name);
  std::string root = std::string("user/") + name;
  int r = mboxlist_lookup_quota(root.c_str(), qd, nullptr);
  if (r == 0) return 0;
  if (r == DB_NOTFOUND) return IMAP_QUOTAROOT_NONEXISTENT;
  bvlog(0, LOG_STORE_ERR, "Unable to get last access for %s: %s", root.c_str(),
        r > 0 || r < -30999 ? db_strerror(r) : "store error");
  return IMAP_IOERROR;
}

int mboxlist_setlastuse(const char* userid, uint32_t pop_last_uidvalidity, uint32_t pop_last_uid) {
  std::string root = std::string("user/") + userid;
  return mboxlist_in_txn("lastuse", root.c_str(), [&](DB_TXN* txn) -> int {
    quotadata qd;
    int rr = mboxlist_lookup_quota(root.c_str(), &qd, txn);
    if (rr == DB_NOTFOUND) {
      errno = ENOENT;
      bvlog(0, LOG_STORE_ERR, "Unable to read quota usage for %s: %m", root.c_str());
      bvlog(0, LOG_STORE_ERR, "Unable to set lastuse for %s: %s", root.c_str(), db_strerror(rr));
      return IMAP_QUOTAROOT_NONEXISTENT;
    }
    if (rr == 0) {
      qd.lastuse = static_cast<uint32_t>(time(nullptr));
      // Never move the UID mark back within one UIDVALIDITY.
      if (pop_last_uidvalidity != 0 &&
          (pop_last_uidvalidity != qd.pop_last_uidvalidity || qd.pop_last_uid < pop_last_uid)) {
        qd.pop_last_uidvalidity = pop_last_uidvalidity;
        qd.pop_last_uid = pop_last_uid;
      }
      rr = put_quota(txn, root, qd);
    }
    if (rr == 0 || rr == DB_LOCK_DEADLOCK) return rr;
    bvlog(0, LOG_STORE_ERR, "Unable to set lastuse for %s: %s", root.c_str(), db_strerror(rr));
    return IMAP_IOERROR;
  });
}

int mboxlist_getallaccess(mboxlist_printaccess_t proc, void* rock) {
  if (mboxlist_init() != 0) return IMAP_IOERROR;
  DB* db = mboxlist_quotadb();
  DbCursor cur;
  int r = db->cursor(db, nullptr, cur.out(), 0);
  if (r) {
    bvlog(0, LOG_STORE_ERR, "Unable to get cursor to quota DB : %s, errornum=%d", db_strerror(r), r);
    return r;
  }
  DbWalk w;
  for (r = w.first(cur.get(), ""); r == 0; r = w.next(cur.get())) {
    std::string root(w.key().substr(0, w.key().find('\0')));
    quotadata qd = quota_record_decode(reinterpret_cast<const unsigned char*>(w.data().data()), w.data().size());
    proc(root.c_str(), qd.lastuse, qd.lastimapaccess, qd.lasthttpaccess, rock);
  }
  if (r != DB_NOTFOUND) {
    bvlog(0, LOG_STORE_ERR, "Problem with c_get() of quota DB : %s, errornum=%d", db_strerror(r), r);
  }
  return r;
}
