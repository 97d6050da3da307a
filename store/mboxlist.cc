// Folder records: lookup, the creation lock, creation, deletion, ACL
// changes and owner rights.  Renaming lives in mboxlist_rename.cc, the
// quota records these operations keep in mboxlist_quota.cc.
#include "store/mboxlist.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/acl.h"
#include "common/auth.h"
#include "common/bvlog.h"
#include "common/config.h"
#include "common/fileio.h"
#include "common/imap_err.h"
#include "common/lock.h"
#include "common/unique_fd.h"
#include "store/folder_record.h"
#include "store/mailbox.h"
#include "store/mboxlist_internal.h"
#include "store/mboxlist_lright.h"
#include "store/mboxlist_records.h"
#include "store/mboxname.h"
#include "store/seen_db.h"
#include "store/userscan.h"

namespace {

struct FreeDeleter {
  void operator()(void* p) const { free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

// Closes a folder handle on scope exit.
struct MailboxCloser {
  mailbox* mb;
  ~MailboxCloser() { mailbox_close(mb); }
};

int ensureownerrights_on() {
  return config_get_switch(config_getdefaultcache(), "local.store.ensureownerrights", 1);
}

// "<store dir>/user/hh/hh/<id>.sub", the older place of a user's
// subscriptions; removed with the user, with its two hash directories when
// they become empty.
void remove_legacy_subs(const char* userid) {
  const char* storedir = configmsg_get_storedir();
  if (!storedir || !userid) return;
  char hash[MBOXNAME_HASH_BUF];
  mboxname_tohash(userid, 0, hash);
  std::string dir2 = std::string(storedir) + "/user" + hash;  // ends in '/'
  std::string file = dir2 + userid + ".sub";
  if (fs_unlink(file.c_str()) != 0 && errno != ENOENT) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to remove subscription file %s: %m", file.c_str());
    return;
  }
  dir2.pop_back();
  if (rmdir(dir2.c_str()) != 0) return;
  std::string dir1 = dir2.substr(0, dir2.rfind('/'));
  (void)rmdir(dir1.c_str());
}

// Deletes from subscr.db, inside txn, every record whose key read as a C
// string is userid: the user's marker and all his subscriptions.
int delete_user_subs(const char* userid, DB_TXN* txn) {
  DB* db = mboxlist_subsdb();
  DbCursor c;
  int r = db->cursor(db, txn, c.out(), 0);
  if (r) return mboxlist_dberror(r, "Unable to open subscription cursor for", userid);
  size_t idlen = strlen(userid) + 1;
  ReallocDbt key;
  key.dbt.data = malloc(idlen);
  memcpy(key.dbt.data, userid, idlen);
  key.dbt.size = static_cast<u_int32_t>(idlen);
  DBT data = mboxlist_nodata();
  r = c->get(c.get(), &key.dbt, &data, DB_SET_RANGE | DB_RMW);
  while (r == 0 && key.dbt.size >= idlen && memcmp(key.dbt.data, userid, idlen) == 0) {
    r = c->del(c.get(), 0);
    if (r == 0) r = c->get(c.get(), &key.dbt, &data, DB_NEXT | DB_RMW);
  }
  if (r == 0 || r == DB_NOTFOUND) return 0;
  return mboxlist_dberror(r, "Unable to delete subscriptions of", userid);
}

// Deletes one key from db inside txn; absence is fine.
int del_key(DB* db, DB_TXN* txn, const char* name, const char* what) {
  DbKey key(name);
  int r = db->del(db, txn, key.dbt(), 0);
  if (r == DB_NOTFOUND) return 0;
  return mboxlist_dberror(r, what, name);
}

// True for a user's INBOX name ("user/<id>" without a further '/').
bool is_user_inbox(const char* name) {
  return strncmp(name, "user/", 5) == 0 && name[5] != '\0' && !strchr(name + 5, '/');
}

}  // namespace

// ---- Records -----------------------------------------------------------------

int mboxlist_read_record(const char* name, folder_record* rec, DB_TXN* txn) {
  DB* db = mboxlist_folderdb();
  if (!db) return IMAP_IOERROR;
  DbKey key(name);
  // Most records fit a small buffer; a long ACL takes a second read.
  unsigned char buf[1024];
  DBT data{};
  data.data = buf;
  data.ulen = sizeof buf;
  data.flags = DB_DBT_USERMEM;
  u_int32_t flags = txn ? DB_RMW : 0;
  int r = db->get(db, txn, key.dbt(), &data, flags);
  std::unique_ptr<unsigned char[]> big;
  if (r == DB_BUFFER_SMALL) {
    big = std::make_unique<unsigned char[]>(data.size);
    data.data = big.get();
    data.ulen = data.size;
    r = db->get(db, txn, key.dbt(), &data, flags);
  }
  if (r == DB_NOTFOUND || r == DB_KEYEMPTY) return IMAP_MAILBOX_NONEXISTENT;
  if (r) return mboxlist_dberror(r, "Unable to read mailbox entry", name);
  if (!rec) return 0;
  if (folder_record_decode(data.data, data.size, rec) != 0) {
    bvlog(0, LOG_STORE_ERR, "Mailbox entry for %s is corrupt (%u bytes)", name, data.size);
    return IMAP_MAILBOX_BADFORMAT;
  }
  return 0;
}

int mboxlist_write_record(const char* name, const mboxdata& mbd, const char* partition, const char* acl,
                          DB_TXN* txn) {
  DB* db = mboxlist_folderdb();
  DBT key{};
  DBT data{};
  std::string buf;
  mboxlist_create_struct(&key, &data, nullptr, name, &mbd, partition, acl, nullptr, &buf, nullptr);
  return db->put(db, txn, &key, &data, 0);
}

void mboxlist_set_key(const char* name, DBT* key) {
  *key = DBT{};
  key->data = const_cast<char*>(name);
  key->size = static_cast<u_int32_t>(strlen(name) + 1);
  key->ulen = key->size;
  key->flags = DB_DBT_USERMEM;
}

void mboxlist_create_struct(DBT* key, DBT* data, DBT* qdata, const char* name, const mboxdata* mbd,
                            const char* partition, const char* acl, const quotadata* qd, std::string* databuf,
                            unsigned char* qbuf) {
  if (key) mboxlist_set_key(name, key);
  if (data) {
    *databuf = folder_record_encode(mbd ? *mbd : mboxdata{}, partition, acl);
    *data = DBT{};
    data->data = databuf->data();
    data->size = static_cast<u_int32_t>(databuf->size());
    data->ulen = data->size;
    data->flags = DB_DBT_USERMEM;
  }
  if (qdata) {
    quota_record_encode(qd ? *qd : quotadata{}, qbuf);
    *qdata = DBT{};
    qdata->data = qbuf;
    qdata->size = QUOTA_RECORD_SIZE;
    qdata->ulen = QUOTA_RECORD_SIZE;
    qdata->flags = DB_DBT_USERMEM;
  }
}

int mboxlist_lookup_data(const char* name, char** record, DB_TXN* txn) {
  if (mboxlist_init() != 0) return -1;
  DB* db = mboxlist_folderdb();
  int len = -1;
  auto read = [&]() {
    DbKey key(name);
    DBT data{};
    data.flags = DB_DBT_MALLOC;
    if (!record) {
      data.flags = DB_DBT_PARTIAL | DB_DBT_USERMEM;
      data.dlen = 0;
    }
    int r = db->get(db, txn, key.dbt(), &data, 0);
    if (r == 0) {
      if (record) {
        *record = static_cast<char*>(data.data);
        len = static_cast<int>(data.size);
      } else {
        len = 0;
      }
    }
    return r;
  };
  int r = txn ? read() : mboxlist_retry_read(read);
  if (r != 0 && r != DB_NOTFOUND) mboxlist_dberror(r, "Unable to read mailbox entry", name);
  return r == 0 ? len : -1;
}

int mboxlist_getpath(const char* name, const char* partition, char* pathresult, char* msgpathresult) {
  if (!partition || strcmp(partition, "version3") == 0) return IMAP_PARTITION_UNKNOWN;
  CString root(configmsg_partitiondir(partition));
  if (!root) return IMAP_PARTITION_UNKNOWN;
  if (int r = mboxname_getpath(name, root.get(), pathresult)) return r;
  if (msgpathresult) {
    msgpathresult[0] = '\0';
    CString msgroot(configmsg_partitionmsgdir(partition));
    if (msgroot && strcmp(msgroot.get(), root.get()) != 0) {
      if (int r = mboxname_getpath(name, msgroot.get(), msgpathresult)) return r;
    }
  }
  return 0;
}

int mboxlist_lookup(const char* name, mboxdata* mbd, char** partitionp, char** pathp, char** msgpathp,
                    char** aclp) {
  if (partitionp) *partitionp = nullptr;
  if (pathp) *pathp = nullptr;
  if (msgpathp) *msgpathp = nullptr;
  if (aclp) *aclp = nullptr;
  if (mboxlist_init() != 0) return IMAP_IOERROR;
  folder_record rec;
  int r = mboxlist_retry_read([&] { return mboxlist_read_record(name, &rec, nullptr); });
  if (r) return r;
  if (pathp || msgpathp) {
    char path[MBOXNAME_PATH_BUF];
    char msgpath[MBOXNAME_PATH_BUF];
    r = mboxlist_getpath(name, rec.partition.c_str(), path, msgpath);
    if (r) return r;
    if (pathp) *pathp = strdup(path);
    if (msgpathp && msgpath[0]) *msgpathp = strdup(msgpath);
  }
  if (mbd) *mbd = rec.mbd;
  if (partitionp) *partitionp = strdup(rec.partition.c_str());
  if (aclp) *aclp = strdup(rec.acl.c_str());
  return 0;
}

int mboxlist_updatedata(mailbox* mb, int write_index) {
  int r = mboxlist_in_txn("update", mb->name, [&](DB_TXN* txn) -> int {
    int dr = mboxlist_write_record(mb->name, mb->mbd, mb->partition, mb->acl, txn);
    if (dr) return mboxlist_dberror(dr, "Unable to update mailbox entry", mb->name);
    if (write_index) {
      if (int e = mailbox_write_index_fixed_header(mb)) return e;
    }
    return 0;
  });
  return r ? IMAP_IOERROR : 0;
}

// ---- Creation lock -----------------------------------------------------------

namespace {

// The lock object of name's owner: "user_<id>" or "sharedfolders".
std::string user_lock_object(const char* name) {
  char owner[MBOXNAME_OWNER_BUF];
  if (mboxname_owner(name, owner)) return std::string("user_") + owner;
  return "sharedfolders";
}

}  // namespace

namespace {

// The byte of a lock object in the lock file: 64-bit FNV-1a of its name,
// kept well inside off_t.
off_t lock_object_offset(const std::string& obj) {
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : obj) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return static_cast<off_t>(h & ((1ull << 48) - 1));
}

// Takes the bytes of objs (object name, exclusive) on a description of the
// lock file of its own, in increasing offset order (a byte asked for twice
// is taken in the stronger mode).  With nowait a busy byte gives
// IMAP_MAILBOX_LOCKED at once.  what names the request in log lines.
int lock_objects(mboxlist_createlock* lock, const std::vector<std::pair<std::string, int>>& objs, bool nowait,
                 const char* what) {
  if (lock->held) mboxlist_unlock_create(lock);
  const char* path = mboxlist_lockfile();
  if (!path || !*path) return IMAP_IOERROR;
  std::vector<std::pair<off_t, int>> req;
  for (const auto& [obj, exclusive] : objs) req.emplace_back(lock_object_offset(obj), exclusive);
  std::sort(req.begin(), req.end());
  UniqueFd fd(fs_open(path, O_RDWR | O_CREAT, 0600));
  if (!fd) {
    bvlog(0, LOG_STORE_ERR, "Unable to open folder lock file %s: %m", path);
    return IMAP_IOERROR;
  }
  for (size_t i = 0; i < req.size(); ++i) {
    if (i + 1 < req.size() && req[i + 1].first == req[i].first) {
      req[i + 1].second |= req[i].second;
      continue;
    }
    const int r = nowait ? lock_byte_nonblocking(fd.get(), req[i].first, req[i].second)
                         : lock_byte_blocking(fd.get(), req[i].first, req[i].second);
    // Closing the descriptor drops whatever was granted before.
    if (r != 0 && nowait && (errno == EAGAIN || errno == EACCES)) return IMAP_MAILBOX_LOCKED;
    if (r != 0) {
      bvlog(0, LOG_STORE_ERR, "Unable to lock folder %s: %m", what);
      return IMAP_IOERROR;
    }
  }
  lock->fd = fd.release();
  lock->held = true;
  return 0;
}

}  // namespace

int mboxlist_lock_create(mboxlist_createlock* lock, const char* name1, const char* name2, int wholeuser) {
  std::vector<std::pair<std::string, int>> objs;
  objs.emplace_back(user_lock_object(name1), wholeuser ? 1 : 0);
  if (!wholeuser) objs.emplace_back(std::string("mbox_") + name1, 1);
  if (name2 && wholeuser) objs.emplace_back(user_lock_object(name2), 1);
  return lock_objects(lock, objs, mailbox_lock_nowait(), name1);
}

int mboxlist_trylock_create(mboxlist_createlock* lock, const char* name) {
  return lock_objects(lock, {{user_lock_object(name), 0}, {std::string("mbox_") + name, 1}}, true, name);
}

int mboxlist_lock_users(mboxlist_createlock* lock, const std::vector<std::string>& names) {
  // The bytes are taken in offset order, so two such requests never wait
  // on each other in a cycle.
  std::vector<std::pair<std::string, int>> objs;
  for (const std::string& n : names) objs.emplace_back(user_lock_object(n.c_str()), 1);
  return lock_objects(lock, objs, false, names.empty() ? "" : names[0].c_str());
}

std::string mboxlist_user_lock_object(const char* name) { return user_lock_object(name); }

void mboxlist_unlock_create(mboxlist_createlock* lock) {
  if (!lock->held) return;
  close(lock->fd);
  lock->fd = -1;
  lock->held = false;
}

// ---- Rights ------------------------------------------------------------------

int acl_lookup_right(const char* userid, const char* acl) {
  if (!userid || !acl) return 0;
  size_t idlen = strlen(userid);
  const char* p = acl;
  while (*p) {
    const char* tab = strchr(p, '\t');
    if (!tab) return 0;
    const char* rights = tab + 1;
    const char* end = strchr(rights, '\t');
    size_t rlen = end ? static_cast<size_t>(end - rights) : strlen(rights);
    if (static_cast<size_t>(tab - p) == idlen && memcmp(p, userid, idlen) == 0) {
      return memchr(rights, 'l', rlen) ? 1 : 0;
    }
    if (!end) return 0;
    p = end + 1;
  }
  return 0;
}

long mboxlist_ensureOwnerRights(const void* rock, const char* identifier, long accessbits) {
  const char* name = static_cast<const char*>(rock);
  if (!name || !identifier || !ensureownerrights_on()) return accessbits;
  if (strchr(identifier, '/') || strncmp(name, "user/", 5) != 0) return accessbits;
  size_t n = strlen(identifier);
  const char* rest = name + 5;
  if (n == 0 || strncmp(rest, identifier, n) != 0) return accessbits;
  if (rest[n] != '/' && rest[n] != '\0') return accessbits;
  return accessbits | ACL_LOOKUP | ACL_CREATE | ACL_ADMIN;
}

// ---- Creation ------------------------------------------------------------------

int mboxlist_createmailboxcheck(const char* name, uint32_t version, const char* partition, const char* userid,
                                const auth_state* auth_state, char** newacl, char** newpartition) {
  if (newacl) *newacl = nullptr;
  if (newpartition) *newpartition = nullptr;
  if (partition && strlen(partition) > FOLDER_PARTITION_MAX) return IMAP_PARTITION_UNKNOWN;
  if (int r = mboxname_policycheck(name)) return r;
  if (version != MBOX_VERSION &&
      !(version == MBOX_VERSION_TRANSITION && (!partition || strcmp(partition, "version3") == 0))) {
    return IMAP_MAILBOX_NOTSUPPORTED;
  }
  if (partition && auth_adminFor(auth_state, nullptr) < 2) return IMAP_PERMISSION_DENIED;
  if (mboxlist_init() != 0) return IMAP_IOERROR;

  char owner[MBOXNAME_OWNER_BUF];
  bool has_owner = mboxname_owner(name, owner) != nullptr;
  int isadmin = auth_adminFor(auth_state, has_owner ? owner : nullptr);
  if (userid && mboxname_userownsmailbox(userid, name)) isadmin = 1;

  folder_record rec;
  int r = mboxlist_retry_read([&] { return mboxlist_read_record(name, &rec, nullptr); });
  if (r == 0) {
    if (!isadmin && !(acl_myrights(auth_state, rec.acl.c_str()) & ACL_LOOKUP)) return IMAP_PERMISSION_DENIED;
    return IMAP_MAILBOX_EXISTS;
  }
  if (r != IMAP_MAILBOX_NONEXISTENT) return r;

  // The nearest existing ancestor gives its ACL and partition.  "user" and
  // a top-level shared name are never consulted.
  std::string parent = name;
  for (;;) {
    size_t slash = parent.rfind('/');
    if (slash == std::string::npos) break;
    parent.resize(slash);
    if (parent.find('/') == std::string::npos) break;
    folder_record prec;
    r = mboxlist_retry_read([&] { return mboxlist_read_record(parent.c_str(), &prec, nullptr); });
    if (r == IMAP_MAILBOX_NONEXISTENT) continue;
    if (r) return r;
    if (!isadmin && !(acl_myrights(auth_state, prec.acl.c_str()) & ACL_CREATE)) return IMAP_PERMISSION_DENIED;
    if (newacl) *newacl = strdup(prec.acl.c_str());
    if (newpartition) *newpartition = strdup(partition ? partition : prec.partition.c_str());
    return 0;
  }

  if (!isadmin) return IMAP_PERMISSION_DENIED;
  CString acl(strdup(""));
  if (has_owner) {
    if (strchr(name + 5, '/')) return IMAP_PERMISSION_DENIED;  // a subfolder needs its INBOX
    if (strpbrk(name, "*%?")) return IMAP_MAILBOX_BADNAME;
    char* a = acl.release();
    if (int e = acl_modify(&a, owner, ACL_MODE_SET, ACL_ALL, nullptr, nullptr)) {
      free(a);
      return e;
    }
    acl.reset(a);
  } else {
    // "identifier rights" pairs separated by blanks; an identifier without
    // rights ends the list.
    std::string def = config_get_string(config_getdefaultcache(), "store.defaultacl", "anyone lrs");
    const char* ws = " \t\r\n";
    size_t pos = 0;
    for (;;) {
      size_t a0 = def.find_first_not_of(ws, pos);
      if (a0 == std::string::npos) break;
      size_t a1 = def.find_first_of(ws, a0);
      if (a1 == std::string::npos) break;
      size_t b0 = def.find_first_not_of(ws, a1);
      if (b0 == std::string::npos) break;
      size_t b1 = def.find_first_of(ws, b0);
      if (b1 == std::string::npos) b1 = def.size();
      std::string id = def.substr(a0, a1 - a0);
      std::string rights = def.substr(b0, b1 - b0);
      pos = b1;
      char* a = acl.release();
      int e = acl_modify(&a, id.c_str(), ACL_MODE_SET, acl_strtomask(rights.c_str()), nullptr, nullptr);
      acl.reset(a);
      if (e) bvlog(0, LOG_STORE_WARNING, "store.defaultacl: identifier %s refused, left out", id.c_str());
    }
  }
  if (newacl) *newacl = acl.release();
  if (newpartition) {
    *newpartition =
        strdup(partition ? partition : config_get_string(config_getdefaultcache(), "store.defaultpartition", "primary"));
  }
  return 0;
}

namespace {

// Whether folder directories of the user whose INBOX is inbox (at path)
// exist besides the INBOX's own: below it, or the user's directory on
// another partition.  A "new" user with such directories is one the list
// lost, whose folders it does not know.
bool user_dirs_beyond(const char* inbox, const char* path) {
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(path), closedir);
  while (dirent* e = d ? readdir(d.get()) : nullptr) {
    if (e->d_name[0] == '=') return true;
  }
  for (const std::string& part : userscan_partitions()) {
    char other[MBOXNAME_PATH_BUF];
    if (mboxlist_getpath(inbox, part.c_str(), other, nullptr) != 0 || strcmp(other, path) == 0) continue;
    if (access(other, F_OK) == 0) return true;
  }
  return false;
}

}  // namespace

int mboxlist_createmailbox(const char* name, uint32_t version, const char* partition, const char* userid,
                           const auth_state* auth_state, uint32_t quotavalue, uint32_t msgquotavalue,
                           uint32_t uid_validity) {
  if (mboxlist_init() != 0) return IMAP_IOERROR;
  MboxlistCreateLock lock;
  if (int e = lock.lock(name, nullptr, 0)) return e;
  // A rename cut short still has folders to move into or out of this tree;
  // a new folder there would stand in their way.
  if (mboxlist_rename_pending(name)) return IMAP_MAILBOX_LOCKED;

  char* aclp = nullptr;
  char* partp = nullptr;
  int r = mboxlist_createmailboxcheck(name, version, partition, userid, auth_state, &aclp, &partp);
  CString acl(aclp);
  CString part(partp);
  if (r) return r;

  char path[MBOXNAME_PATH_BUF] = "";
  char msgpath[MBOXNAME_PATH_BUF] = "";
  r = mboxlist_getpath(name, part.get(), path, msgpath);
  if (r && version != MBOX_VERSION_TRANSITION) return r;

  char owner[MBOXNAME_OWNER_BUF];
  bool has_owner = mboxname_owner(name, owner) != nullptr;
  bool inbox = is_user_inbox(name);
  bool shared = has_owner && acl_isshared(acl.get(), owner);
  quotadata qd;
  qd.qmax = quotavalue;
  qd.msgqmax = msgquotavalue;

  mboxdata mbd;
  bool existed = false;
  bool made_files = false;
  mailbox mb;
  MailboxCloser closer{&mb};
  if (version == MBOX_VERSION_TRANSITION) {
    mbd.version = version;
  } else {
    r = mailbox_create(name, part.get(), path, msgpath[0] ? msgpath : nullptr, acl.get(), version, &mb, uid_validity);
    if (r == IMAP_MAILBOX_EXISTS) {
      existed = true;  // files left by an earlier attempt: adopt them
    } else if (r) {
      return r;
    } else {
      made_files = true;
    }
    mbd = mb.mbd;
  }

  r = mboxlist_in_txn("create", name, [&](DB_TXN* txn) -> int {
    int dr = mboxlist_write_record(name, mbd, part.get(), acl.get(), txn);
    if (dr == 0 && inbox) {
      qd.numshared = shared ? 1 : 0;
      // A new user's records are complete by definition: marked repaired
      // now, he never counts among the users a past repair of the list
      // left behind.  INBOX files found in place (adopted) may have
      // folders below them the list does not know, so they stay unmarked.
      qd.lastdbrepair = made_files && !user_dirs_beyond(name, path) ? static_cast<uint32_t>(time(nullptr)) : 0;
      DBT key{};
      DBT qdata{};
      unsigned char qbuf[QUOTA_RECORD_SIZE];
      mboxlist_create_struct(&key, nullptr, &qdata, name, nullptr, nullptr, nullptr, &qd, nullptr, qbuf);
      DB* qdb = mboxlist_quotadb();
      dr = qdb->put(qdb, txn, &key, &qdata, 0);
      if (dr == 0) {
        unsigned char now[4];
        put_le32(now, static_cast<uint32_t>(time(nullptr)));
        DBT sdata{};
        sdata.data = now;
        sdata.size = sdata.ulen = 4;
        sdata.flags = DB_DBT_USERMEM;
        DB* sdb = mboxlist_subsdb();
        dr = sdb->put(sdb, txn, &key, &sdata, 0);
      }
    }
    if (dr == DB_LOCK_DEADLOCK) return dr;
    if (dr) {
      bvlog(0, LOG_STORE_ERR, "Unable to add new mailbox entry %s: %s", name, db_strerror(dr));
      return IMAP_IOERROR;
    }
    if (!inbox && shared) return mboxlist_changeshared(acl.get(), owner, name, nullptr, TYPE_ADD, txn);
    return 0;
  });
  if (r) {
    if (r != IMAP_IOERROR) bvlog(0, LOG_STORE_ERR, "Unable to add new mailbox entry %s: %s", name, error_message(r));
    // Files this call made would otherwise be a folder on disk the list
    // does not know; remove them again (adopted ones stay).
    if (made_files) (void)mailbox_delete(&mb, 0);
    return IMAP_IOERROR;
  }
  return existed ? IMAP_MAILBOX_EXISTS : 0;
}

// ---- Deletion ------------------------------------------------------------------

int mboxlist_deletemailbox(const char* name, const char* userid, const auth_state* auth_state) {
  if (auth_state == auth_dontCheckAcl) return mboxlist_deletemailbox_internal(name, -1, userid, auth_state, 0, 0);
  char owner[MBOXNAME_OWNER_BUF];
  const char* o = mboxname_owner(name, owner);
  return mboxlist_deletemailbox_internal(name, auth_adminFor(auth_state, o), userid, auth_state, 1, 0);
}

int mboxlist_deletemailbox_internal(const char* name, int isadmin, const char* userid,
                                    const auth_state* auth_state, int checkacl, int isrecursive) {
  if (mboxlist_init() != 0) return IMAP_IOERROR;
  char owner[MBOXNAME_OWNER_BUF];
  bool has_owner = mboxname_owner(name, owner) != nullptr;
  bool wholeuser = is_user_inbox(name);
  MboxlistCreateLock lock;
  folder_record rec;
  auto read = [&] { return mboxlist_retry_read([&] { return mboxlist_read_record(name, &rec, nullptr); }); };

  if (wholeuser) {
    if (userid && strcmp(userid, owner) == 0) return IMAP_MAILBOX_NOTSUPPORTED;
    if (!isadmin) return IMAP_PERMISSION_DENIED;
    if (!isrecursive && lock.lock(name, nullptr, 1) != 0) return IMAP_IOERROR;
    if (int r = read()) return r;
    if (isadmin != -1 && !(acl_myrights(auth_state, rec.acl.c_str()) & ACL_CREATE)) return IMAP_PERMISSION_DENIED;
  } else if (!checkacl) {
    if (int r = read()) return r;
    if (!isrecursive && lock.lock(name, nullptr, 0) != 0) return IMAP_IOERROR;
  } else {
    if (!isrecursive && lock.lock(name, nullptr, 0) != 0) return IMAP_IOERROR;
    if (int r = read()) return r;
    long rights = acl_myrights(auth_state, rec.acl.c_str());
    if (!(rights & ACL_CREATE)) {
      bool isowner = userid && mboxname_userownsmailbox(userid, name);
      if (!isadmin && !isowner && !(rights & ACL_LOOKUP)) return IMAP_MAILBOX_NONEXISTENT;
      return IMAP_PERMISSION_DENIED;
    }
  }

  if (wholeuser) {
    // Every folder below the user goes first, one at a time from the
    // front, so a concurrent listing never sees a subfolder without its
    // parents' records gone in the wrong order.
    std::string prefix = std::string(name) + "/";
    for (;;) {
      std::string sub;
      int r = mboxlist_retry_read([&] {
        DB* db = mboxlist_folderdb();
        DbCursor c;
        int cr = db->cursor(db, nullptr, c.out(), 0);
        if (cr) return cr;
        unsigned char kbuf[MBOXNAME_BUF + 1];
        memcpy(kbuf, prefix.c_str(), prefix.size() + 1);
        DBT key{};
        key.data = kbuf;
        key.size = static_cast<u_int32_t>(prefix.size() + 1);
        key.ulen = sizeof kbuf;
        key.flags = DB_DBT_USERMEM;
        DBT data{};
        data.flags = DB_DBT_PARTIAL | DB_DBT_USERMEM;
        cr = c->get(c.get(), &key, &data, DB_SET_RANGE);
        if (cr == 0) sub.assign(static_cast<char*>(key.data), strnlen(static_cast<char*>(key.data), key.size));
        return cr;
      });
      if (r == DB_NOTFOUND) break;
      if (r == DB_BUFFER_SMALL) {
        bvlog(0, LOG_STORE_ERR, "Mailbox entry after %s has an oversized name", prefix.c_str());
        return IMAP_IOERROR;
      }
      if (r) return mboxlist_dberror(r, "Unable to find subfolders of", name);
      if (sub.compare(0, prefix.size(), prefix) != 0) break;
      if (int e = mboxlist_deletemailbox_internal(sub.c_str(), isadmin, userid, auth_state, 0, 1)) return e;
    }
  }

  // The folder's index lock is held from before its record goes until its
  // files are gone: an append or expunge under way finishes first (and its
  // messages go with the folder), and one that waits for the lock finds the
  // folder gone instead of writing its record back.  Lock order: the
  // creation lock (above), the index lock, then the transaction's locks.
  // A folder whose index cannot be opened or locked (never made on disk,
  // damaged) is deleted without it.
  if (int r = read()) return r;
  char path[MBOXNAME_PATH_BUF];
  char msgpath[MBOXNAME_PATH_BUF];
  const bool located = mboxlist_getpath(name, rec.partition.c_str(), path, msgpath) == 0;
  mailbox mb;
  MailboxCloser closer{&mb};
  bool opened = false;
  if (located &&
      mailbox_open_path(name, MAILBOX_OPEN_QUIET, rec.partition.c_str(), path, msgpath[0] ? msgpath : nullptr,
                        rec.acl.c_str(), auth_dontCheckAcl, &mb) == 0 &&
      mb.index_fd >= 0) {
    opened = mailbox_lock_index(&mb) == 0;
    if (!opened) bvlog(0, LOG_STORE_WARNING, "Deleting %s without its index lock", name);
  }

  std::string partition;
  std::string oldacl;
  int r = mboxlist_in_txn("delete", name, [&](DB_TXN* txn) -> int {
    folder_record cur;
    int e = mboxlist_read_record(name, &cur, txn);
    if (e) return e;
    partition = cur.partition;
    oldacl = cur.acl;
    if (!wholeuser) {
      e = mboxlist_changequota_internal(name, cur.mbd.qused, cur.mbd.exists, 1, txn, nullptr);
      if (e) return e;
    }
    if (has_owner && acl_isshared(cur.acl.c_str(), owner)) {
      e = mboxlist_changeshared(cur.acl.c_str(), owner, name, nullptr, TYPE_DELETE, txn);
      if (e) return e;
    }
    DB* db = mboxlist_folderdb();
    DbKey key(name);
    int dr = db->del(db, txn, key.dbt(), 0);
    if (dr) return mboxlist_dberror(dr, "Unable to delete mailbox entry", name);
    if (wholeuser) {
      if ((e = del_key(mboxlist_quotadb(), txn, name, "Unable to delete quota root"))) return e;
      if ((e = delete_user_subs(owner, txn))) return e;
      // The INBOX's own subscription-time record goes with the user.
      if ((e = del_key(mboxlist_subsdb(), txn, name, "Unable to delete subscription marker"))) return e;
    }
    return 0;
  });
  if (r) return r;

  // The partition cannot have changed: the creation lock keeps renames out.
  if (opened) {
    (void)mailbox_delete(&mb, 0);  // closing the handle releases the index lock
  } else if (located) {
    mailbox_close(&mb);
    int e = mailbox_open_path(name, MAILBOX_OPEN_QUIET, partition.c_str(), path, msgpath[0] ? msgpath : nullptr,
                              oldacl.c_str(), auth_dontCheckAcl, &mb);
    if (e == 0) {
      (void)mailbox_delete(&mb, 0);
    } else {
      seen_folder folder;
      folder.name = name;
      folder.path = path;
      if ((e = seen_delete_folder(folder, 1)) != 0) {
        bvlog(0, LOG_STORE_ERR, "Unable to remove mailbox %s: %s", name, error_message(e));
      }
    }
  }
  if (wholeuser) remove_legacy_subs(owner);
  return 0;
}

int mboxlist_delete(const char* name) {
  if (mboxlist_init() != 0) return IMAP_IOERROR;
  char owner[MBOXNAME_OWNER_BUF];
  bool has_owner = mboxname_owner(name, owner) != nullptr;
  int r = mboxlist_in_txn("delete", name, [&](DB_TXN* txn) -> int {
    if (int e = del_key(mboxlist_folderdb(), txn, name, "Unable to delete mailbox entry")) return e;
    DB* qdb = mboxlist_quotadb();
    DbKey key(name);
    int dr = qdb->del(qdb, txn, key.dbt(), 0);
    if (dr == DB_NOTFOUND) return 0;
    if (dr) return mboxlist_dberror(dr, "Unable to delete quota root", name);
    return has_owner ? delete_user_subs(owner, txn) : 0;
  });
  return r ? IMAP_IOERROR : 0;
}

// ---- ACL changes ------------------------------------------------------------------

int mboxlist_setacl(const char* name, const char* identifier, const char* rights, const char* userid,
                    const auth_state* auth_state) {
  if (mboxlist_init() != 0) return IMAP_IOERROR;
  char owner[MBOXNAME_OWNER_BUF];
  bool has_owner = mboxname_owner(name, owner) != nullptr;
  int isadmin;
  if (ensureownerrights_on() && has_owner && userid && strcmp(userid, owner) == 0) {
    isadmin = 1;
  } else {
    isadmin = auth_adminFor(auth_state, has_owner ? owner : nullptr);
  }

  // Permission first: a caller who may not learn that the folder exists
  // must not learn it from the folder's open errors either.
  folder_record rec;
  int r = mboxlist_retry_read([&] { return mboxlist_read_record(name, &rec, nullptr); });
  if (r) return r;
  if (!isadmin) {
    long my = acl_myrights(auth_state, rec.acl.c_str());
    if (!(my & ACL_ADMIN)) return (my & ACL_LOOKUP) ? IMAP_PERMISSION_DENIED : IMAP_MAILBOX_NONEXISTENT;
  }

  char canon[AUTH_ID_MAX];
  if (auth_canonifyid(identifier[0] == '-' ? identifier + 1 : identifier, canon, sizeof canon) != 0) {
    return IMAP_INVALID_IDENTIFIER;
  }

  mailbox mb;
  MailboxCloser closer{&mb};
  if ((r = mailbox_open(name, 0, auth_state, &mb))) return r;
  if ((r = mailbox_lock_index(&mb))) return r;

  acl_canonproc_t canonproc = has_owner ? mboxlist_ensureOwnerRights : nullptr;
  std::string newacl;
  r = mboxlist_in_txn("setacl", name, [&](DB_TXN* txn) -> int {
    folder_record cur;
    int e = mboxlist_read_record(name, &cur, txn);
    if (e) return e;
    char* acl = strdup(cur.acl.c_str());
    if (!rights) {
      e = acl_remove(&acl, identifier, canonproc, name);
    } else {
      int mode = ACL_MODE_SET;
      const char* rest = rights;
      if (*rest == '+') {
        mode = ACL_MODE_ADD;
        ++rest;
      } else if (*rest == '-') {
        mode = ACL_MODE_REMOVE;
        ++rest;
      }
      e = acl_modify(&acl, identifier, mode, acl_strtomask(rest), canonproc, name);
    }
    CString owned(acl);
    if (e) return IMAP_INVALID_IDENTIFIER;
    newacl = acl;
    int dr = mboxlist_write_record(name, cur.mbd, cur.partition.c_str(), acl, txn);
    if (dr) return mboxlist_dberror(dr, "Unable to set acl for", name);
    if (has_owner) {
      int before = acl_lookup_right(canon, cur.acl.c_str());
      int after = acl_lookup_right(canon, acl);
      if (before != after) {
        e = mboxlist_changelright(canon, name, nullptr, after ? TYPE_ADD : TYPE_DELETE, txn);
        if (e) return e;
      }
    }
    free(mb.acl);
    mb.acl = strdup(acl);
    return mailbox_write_index_variable_header(&mb);
  });
  if (r == IMAP_INVALID_IDENTIFIER) return r;
  if (r) {
    bvlog(0, LOG_STORE_ERR, "Unable to set acl for %s: %s", name, error_message(r));
    return IMAP_IOERROR;
  }
  return 0;
}
