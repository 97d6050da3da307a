// Renaming folders: a folder with every folder below it, a move to another
// partition, a whole user, and a user's INBOX moved into a new folder.
//
// Each folder is renamed on its own, under its index lock: its files are
// copied to the new place (mailbox_rename_start), its records change in one
// transaction, and only after the commit are the old files removed
// (mailbox_rename_commit); a failed transaction removes the copy
// (mailbox_rename_abort).  So one folder is never lost, but a rename of
// several folders cut short would leave them split between the two names.
// Hence the intent record (store/rename_intent.h): written before the
// first folder moves, naming each move before it starts, removed at the
// end.  Whoever next holds the creation locks of those users finishes an
// interrupted rename: it removes the copy or the old files the move under
// way left behind, and moves the folders still under the old name.
//
// Locks: the whole-user creation locks of both users for the whole rename;
// a folder's index lock for its move; the move's transaction inside that.
// The ACLs of other users' folders that name a renamed user change after
// all moves, each under its own index lock (mboxlist_renameacl).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
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
#include "common/unique_fd.h"
#include "store/mailbox.h"
#include "store/mailbox_internal.h"
#include "store/mboxlist.h"
#include "store/mboxlist_internal.h"
#include "store/mboxlist_list.h"
#include "store/mboxlist_lright.h"
#include "store/mboxlist_records.h"
#include "store/mboxname.h"
#include "store/rename_intent.h"
#include "store/seen_db.h"

namespace {

using CString = CStr;

bool is_user_inbox(const std::string& name) {
  return name.compare(0, 5, "user/") == 0 && name.size() > 5 && name.find('/', 5) == std::string::npos;
}

bool in_subtree(const char* key, size_t keylen, const std::string& root) {
  if (keylen < root.size() || memcmp(key, root.data(), root.size()) != 0) return false;
  return keylen == root.size() || key[root.size()] == '/';
}

bool in_tree(const std::string& name, const std::string& root) { return in_subtree(name.data(), name.size(), root); }

// root and every folder below it, in key order.  With exact, root itself
// must exist (else IMAP_MAILBOX_NONEXISTENT); without, the folders below a
// root that has already gone are found too.  0, IMAP_MAILBOX_NONEXISTENT,
// DB_LOCK_DEADLOCK or IMAP_IOERROR.
int collect(const std::string& root, bool exact, std::vector<std::string>* names) {
  names->clear();
  DB* db = mboxlist_folderdb();
  DbCursor c;
  int r = db->cursor(db, nullptr, c.out(), 0);
  if (r) return mboxlist_dberror(r, "Unable to open cursor for", root.c_str());
  ReallocDbt key;
  key.dbt.data = malloc(root.size() + 1);
  memcpy(key.dbt.data, root.c_str(), root.size() + 1);
  key.dbt.size = static_cast<u_int32_t>(root.size() + 1);
  DBT data = mboxlist_nodata();
  r = c->get(c.get(), &key.dbt, &data, exact ? DB_SET : DB_SET_RANGE);
  if (r == DB_NOTFOUND) return exact ? IMAP_MAILBOX_NONEXISTENT : 0;
  while (r == 0) {
    size_t len = strnlen(key.str(), key.dbt.size);
    if (!in_subtree(key.str(), len, root)) break;
    // The list grows in steps of 100 names.
    if (names->size() == names->capacity()) names->reserve(names->size() + 100);
    names->emplace_back(key.str(), len);
    r = c->get(c.get(), &key.dbt, &data, DB_NEXT);
  }
  if (r == 0 || r == DB_NOTFOUND) return 0;
  if (r == DB_LOCK_DEADLOCK) return r;
  return mboxlist_dberror(r, "Unable to list subfolders of", root.c_str());
}

// Whether path lies under directory dir.
bool path_under(const char* path, const char* dir) {
  size_t n = strlen(dir);
  while (n > 1 && dir[n - 1] == '/') --n;
  return strncmp(path, dir, n) == 0 && (path[n] == '/' || path[n] == '\0');
}

int read_record(const std::string& name, folder_record* rec) {
  return mboxlist_retry_read([&] { return mboxlist_read_record(name.c_str(), rec, nullptr); });
}

// ---- Intent files ------------------------------------------------------------
//
// "<store dir>/rename/<pid>.<hex>": one file per rename under way or cut
// short, "<file>.new" while it is being written.

std::string intent_dir() {
  const char* storedir = configmsg_get_storedir();
  return storedir ? std::string(storedir) + "/rename" : std::string();
}

struct IntentFile {
  std::string path;
  rename_intent in;
};

// A new file name for this process's rename (the directory made when
// missing), or "" (logged).
std::string intent_new_path() {
  std::string dir = intent_dir();
  if (dir.empty()) return dir;
  if (make_dirs(dir.c_str(), 0700) != 0) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to create directory %s: %m", dir.c_str());
    return std::string();
  }
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  char name[64];
  snprintf(name, sizeof name, "/%ld.%llx", static_cast<long>(getpid()),
           static_cast<unsigned long long>(ts.tv_sec) * 1000000000ull + static_cast<unsigned long long>(ts.tv_nsec));
  return dir + name;
}

// Replaces the record at path by in: "<path>.new" written and synced,
// renamed over path, the directory synced.  0 or IMAP_IOERROR (logged).
int intent_write(const std::string& path, const rename_intent& in) {
  const std::string data = rename_intent_encode(in);
  const std::string tmp = path + ".new";
  const int level = mailbox_sync().index;
  UniqueFd fd(fs_open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
  if (!fd) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to create rename record %s: %m", tmp.c_str());
    return IMAP_IOERROR;
  }
  if (retry_write(fd.get(), data.data(), data.size()) != static_cast<ssize_t>(data.size()) ||
      sync_file(fd.get(), level) != 0) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to write rename record %s: %m", tmp.c_str());
    fd.reset();
    (void)fs_unlink(tmp.c_str());
    return IMAP_IOERROR;
  }
  fd.reset();
  if (fs_rename(tmp.c_str(), path.c_str()) != 0) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to rename %s to %s: %m", tmp.c_str(), path.c_str());
    (void)fs_unlink(tmp.c_str());
    return IMAP_IOERROR;
  }
  if (sync_parent_dir(path.c_str(), level) != 0) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to sync the directory of %s: %m", path.c_str());
    return IMAP_IOERROR;
  }
  return 0;
}

void intent_remove(const std::string& path) {
  if (fs_unlink(path.c_str()) != 0 && errno != ENOENT) {
    bvlog(0, LOG_STORE_WRITEFAIL, "Unable to remove rename record %s: %m", path.c_str());
    return;
  }
  (void)sync_parent_dir(path.c_str(), mailbox_sync().index);
}

// Reads the record at path.  False when it is gone or damaged (a damaged
// one is set aside as "<path>.bad" and logged, so it never stops a rename).
bool intent_read(const std::string& path, rename_intent* in) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) {
    if (errno != ENOENT) bvlog(0, LOG_STORE_ERR, "Unable to open rename record %s: %m", path.c_str());
    return false;
  }
  std::string buf(RENAME_INTENT_MAX + 1, '\0');
  size_t len = 0;
  while (len < buf.size()) {
    ssize_t n = read(fd.get(), buf.data() + len, buf.size() - len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    len += static_cast<size_t>(n);
  }
  if (rename_intent_decode(buf.data(), len, in)) return true;
  std::string bad = path + ".bad";
  bvlog(0, LOG_STORE_ERR, "Rename record %s is damaged; set aside as %s", path.c_str(), bad.c_str());
  (void)fs_rename(path.c_str(), bad.c_str());
  return false;
}

bool ends_with(const std::string& s, const char* tail) {
  size_t n = strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// Every record of the directory, in name order.  A "<file>.new" whose
// writer has died is removed on the way.
std::vector<IntentFile> intent_list() {
  std::vector<IntentFile> out;
  std::string dir = intent_dir();
  if (dir.empty()) return out;
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
  if (!d) {
    if (errno != ENOENT) bvlog(0, LOG_STORE_ERR, "Unable to read directory %s: %m", dir.c_str());
    return out;
  }
  std::vector<std::string> names;
  while (dirent* e = readdir(d.get())) {
    if (e->d_name[0] != '.') names.emplace_back(e->d_name);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) {
    std::string path = dir + "/" + n;
    if (ends_with(n, ".bad")) continue;
    if (ends_with(n, ".new")) {
      // The file name starts with its writer's pid.
      long pid = strtol(n.c_str(), nullptr, 10);
      if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) (void)fs_unlink(path.c_str());
      continue;
    }
    IntentFile f;
    f.path = path;
    if (intent_read(path, &f.in)) out.push_back(std::move(f));
  }
  return out;
}

// ---- Leftovers of an interrupted folder move ---------------------------------------

// Removes the files of folder name at its place on partition: the copy a
// move made before its transaction, or the old files after it.  Nothing
// there is fine.
void remove_leftover(const std::string& name, const std::string& partition, int saveseendb) {
  char path[MBOXNAME_PATH_BUF];
  char msgpath[MBOXNAME_PATH_BUF];
  if (mboxlist_getpath(name.c_str(), partition.c_str(), path, msgpath) != 0) return;
  struct stat st;
  if (stat(path, &st) != 0 && (!msgpath[0] || stat(msgpath, &st) != 0)) return;
  bvlog(0, LOG_STORE_NOTICE, "Removing what an interrupted rename left of %s in %s", name.c_str(), path);
  // The files are removed by name whatever state they are in: a partial
  // copy may have no readable index at all.
  mailbox m;
  mailbox_set_location(&m, name.c_str(), partition.c_str(), path, msgpath[0] ? msgpath : nullptr, "");
  (void)mailbox_delete(&m, saveseendb);
}

int expunge_upto(void* rock, const index_record* record) {
  return record->uid <= *static_cast<const uint32_t*>(rock) ? 1 : 0;
}

// Completes or undoes the folder move the record names.  0 or an error
// reading the list.
int finish_step(const rename_intent& in) {
  if (in.step_old.empty()) return 0;
  const bool same = in.step_old == in.step_new;
  const bool inbox_move = !same && is_user_inbox(in.step_old) && !is_user_inbox(in.step_new);
  folder_record orec;
  folder_record nrec;
  int ro = read_record(in.step_old, &orec);
  int rn = same ? ro : read_record(in.step_new, &nrec);
  if (ro && ro != IMAP_MAILBOX_NONEXISTENT) return ro;
  if (rn && rn != IMAP_MAILBOX_NONEXISTENT) return rn;
  if (same) nrec = orec;
  // Committed: the record describes the folder at its new place.
  bool committed = same ? (ro == 0 && orec.partition == in.step_newpart)
                        : (rn == 0 && nrec.partition == in.step_newpart && (inbox_move || ro != 0));
  if (!committed) {
    if (ro != 0) {
      bvlog(0, LOG_STORE_ERR, "Interrupted rename of %s to %s: neither name has a record", in.step_old.c_str(),
            in.step_new.c_str());
      return 0;
    }
    // The transaction never committed: the copy at the new place goes.
    remove_leftover(in.step_new, in.step_newpart, 1);
    return 0;
  }
  if (!inbox_move) {
    // The old files, unless the commit already removed them.  The seen
    // data was copied to the new name and goes with the old one, unless
    // both names share it.
    bool same_tail = in.step_old.size() > 5 && in.step_new.size() > 5 &&
                     in.step_old.compare(5, std::string::npos, in.step_new, 5, std::string::npos) == 0;
    remove_leftover(in.step_old, in.step_oldpart, same_tail ? 1 : 0);
    return 0;
  }
  // An INBOX moved into one of its folders stays, without the messages
  // that moved (up to uid_mark); what was delivered to it since stays.
  if (in.uid_mark == 0 || ro != 0) return 0;
  char path[MBOXNAME_PATH_BUF];
  char msgpath[MBOXNAME_PATH_BUF];
  int r = mboxlist_getpath(in.step_old.c_str(), orec.partition.c_str(), path, msgpath);
  if (r) return r;
  mailbox m;
  MailboxCloser closer(&m);
  r = mailbox_open_path(in.step_old.c_str(), 0, orec.partition.c_str(), path, msgpath[0] ? msgpath : nullptr,
                        orec.acl.c_str(), auth_dontCheckAcl, &m);
  if (r) return r;
  uint32_t mark = in.uid_mark;
  r = mailbox_expunge(&m, EXPUNGE_NONOTIFY, 0, expunge_upto, &mark);
  if (r)
    bvlog(0, LOG_STORE_ERR, "Unable to expunge mailbox %s after rename: %s", in.step_old.c_str(), error_message(r));
  return r;
}

// ---- Moving the folders -------------------------------------------------------------

// One rename, asked for or being finished.
class RenameRun {
 public:
  RenameRun(const std::string& oldroot, const std::string& newroot, const char* partition, bool resume)
      : oldroot_(oldroot), newroot_(newroot), partition_(partition ? partition : ""), resume_(resume) {
    if (!mboxname_owner(oldroot.c_str(), oldowner_)) oldowner_[0] = '\0';
    if (!mboxname_owner(newroot.c_str(), newowner_)) newowner_[0] = '\0';
    renameuser_ = is_user_inbox(oldroot) && is_user_inbox(newroot) && oldroot != newroot;
    // An INBOX moved into another folder takes only its own messages along.
    inbox_move_ = is_user_inbox(oldroot) && !is_user_inbox(newroot);
  }

  bool renameuser() const { return renameuser_; }
  bool inbox_move() const { return inbox_move_; }
  bool moved_any() const { return moved_any_; }
  const char* oldowner() const { return oldowner_; }
  const char* newowner() const { return newowner_; }
  std::string new_name(const std::string& oldn) const { return newroot_ + oldn.substr(oldroot_.size()); }

  // Moves the named folders in order, recording each move at intent_path
  // first.  Stops at the first failure.
  int move_all(const std::vector<std::string>& names, const std::string& intent_path, rename_intent* in) {
    for (const std::string& oldn : names) {
      if (int r = move_one(oldn, intent_path, in)) return r;
    }
    if (renameuser_) return mboxlist_renameacl(oldowner_, newowner_);
    return 0;
  }

 private:
  int move_one(const std::string& oldn, const std::string& intent_path, rename_intent* in);

  std::string oldroot_, newroot_, partition_;
  bool resume_;
  char oldowner_[MBOXNAME_OWNER_BUF];
  char newowner_[MBOXNAME_OWNER_BUF];
  bool renameuser_ = false;
  bool inbox_move_ = false;
  bool moved_any_ = false;
};

int RenameRun::move_one(const std::string& oldn, const std::string& intent_path, rename_intent* in) {
  const std::string newn = new_name(oldn);
  folder_record rec;
  int r = read_record(oldn, &rec);
  if (r == IMAP_MAILBOX_NONEXISTENT && resume_) return 0;  // moved before the interruption
  if (r) return r;
  if (rec.mbd.version == MBOX_VERSION_TRANSITION) {
    // A folder known only to the list gets its files on first open.
    mailbox conv;
    if (mailbox_open(oldn.c_str(), 0, auth_dontCheckAcl, &conv) == 0) mailbox_close(&conv);
    if ((r = read_record(oldn, &rec))) return r;
    if (rec.mbd.version == MBOX_VERSION_TRANSITION) return 0;
  }

  std::string newpartition;
  if (oldn == newn) {
    if (rec.partition == partition_) return 0;
    newpartition = partition_;
  } else {
    r = read_record(newn, nullptr);
    if (r == 0) {
      if (!resume_) return IMAP_MAILBOX_EXISTS;
      if (!inbox_move_) {
        bvlog(0, LOG_STORE_ERR, "Unable to finish the rename of %s to %s: %s exists already", oldn.c_str(),
              newn.c_str(), newn.c_str());
      }
      return 0;
    }
    if (r != IMAP_MAILBOX_NONEXISTENT) return r;
    if (is_user_inbox(newn)) {
      newpartition = !partition_.empty() ? partition_ : rec.partition;
    } else {
      // Inherited from the nearest folder above the new name (moved
      // already: parents come first).
      char* np = nullptr;
      r = mboxlist_createmailboxcheck(newn.c_str(), MBOX_VERSION, partition_.empty() ? nullptr : partition_.c_str(),
                                      nullptr, auth_dontCheckAcl, nullptr, &np);
      CString owned(np);
      if (r) return r;
      newpartition = np;
    }
  }

  char oldpath[MBOXNAME_PATH_BUF];
  char oldmsgpath[MBOXNAME_PATH_BUF];
  char newpath[MBOXNAME_PATH_BUF];
  char newmsgpath[MBOXNAME_PATH_BUF];
  if ((r = mboxlist_getpath(oldn.c_str(), rec.partition.c_str(), oldpath, oldmsgpath))) return r;
  if ((r = mboxlist_getpath(newn.c_str(), newpartition.c_str(), newpath, newmsgpath))) return r;

  mailbox oldmb;
  MailboxCloser closer(&oldmb);
  r = mailbox_open_path(oldn.c_str(), 0, rec.partition.c_str(), oldpath, oldmsgpath[0] ? oldmsgpath : nullptr,
                        rec.acl.c_str(), auth_dontCheckAcl, &oldmb);
  if (r) {
    bvlog(0, LOG_STORE_ERR, "Unable to open old mailbox %s: %s", oldn.c_str(), error_message(r));
    return r;
  }
  // The record is read again under the folder's index lock: a delivery that
  // committed before we had the lock changed the usage, and what moves to
  // the new quota root is what the record counts now.
  if ((r = mailbox_lock_index(&oldmb))) return r;
  if ((r = read_record(oldn, &rec))) return r;

  in->step_old = oldn;
  in->step_oldpart = rec.partition;
  in->step_new = newn;
  in->step_newpart = newpartition;
  in->uid_mark = 0;
  if ((r = intent_write(intent_path, *in))) return r;

  std::string acl = rec.acl;
  if (renameuser_) {
    CString renamed(acl_renameuser(rec.acl.c_str(), oldowner_, newowner_));
    if (!renamed) return IMAP_IOERROR;
    acl = renamed.get();
  }
  free(oldmb.acl);
  oldmb.acl = strdup(acl.c_str());
  mailbox* newmb = nullptr;
  r = mailbox_rename_start(&oldmb, newn.c_str(), newpartition.c_str(), newpath, newmsgpath[0] ? newmsgpath : nullptr,
                           renameuser_ ? 1 : 0, &newmb);
  if (r) {
    bvlog(0, LOG_STORE_ERR, "Unable to rename mailbox %s", oldn.c_str());
    return r == IMAP_MAILBOX_BADNAME ? IMAP_MAILBOX_BADNAME : IMAP_IOERROR;
  }
  if (inbox_move_) {
    // Which messages the old INBOX gives up once the move commits.
    in->uid_mark = oldmb.mbd.last_uid;
    if ((r = intent_write(intent_path, *in))) {
      (void)mailbox_rename_abort(newmb);
      return r;
    }
  }
  const mboxdata newmbd = newmb->mbd;
  const bool user_inbox_renamed = renameuser_ && is_user_inbox(oldn);
  char oldown[MBOXNAME_OWNER_BUF];
  const bool oldn_user = mboxname_owner(oldn.c_str(), oldown) != nullptr;

  r = mboxlist_in_txn("rename", oldn.c_str(), [&](DB_TXN* txn) -> int {
    int dr = mboxlist_write_record(newn.c_str(), newmbd, newpartition.c_str(), acl.c_str(), txn);
    if (dr) return mboxlist_dberror(dr, "Unable to write mailbox entry", newn.c_str());
    if (int e = seen_copy(txn, &oldmb, newmb)) return e;
    if (oldn_user) {
      // After a user rename the ACL names the new id as owner.
      const char* aclowner = renameuser_ ? newowner_ : oldown;
      if (int e = mboxlist_changeshared(acl.c_str(), aclowner, oldn.c_str(), newn.c_str(), TYPE_RENAME, txn)) {
        return e;
      }
    }
    if (!user_inbox_renamed) {
      // A moved INBOX keeps its usage here: emptying it after the commit
      // takes its messages off (doing both counted them off twice).
      if (!inbox_move_) {
        if (int e = mboxlist_changequota_internal(oldn.c_str(), rec.mbd.qused, rec.mbd.exists, 1, txn, nullptr)) {
          return e;
        }
      }
      if (int e = mboxlist_changequota_internal(newn.c_str(), newmbd.qused, newmbd.exists, 0, txn, nullptr)) {
        return e;
      }
      if (inbox_move_) {
        // The INBOX stays and is emptied once the move has committed; its
        // record keeps counting the messages its index still holds until
        // then (a record counting fewer would make the next delivery
        // catch the quota up with them, counting them once more).
        dr = mboxlist_write_record(oldn.c_str(), rec.mbd, rec.partition.c_str(), rec.acl.c_str(), txn);
        if (dr) return mboxlist_dberror(dr, "Unable to write mailbox entry", oldn.c_str());
      } else if (oldn != newn) {
        DbKey key(oldn.c_str());
        DB* db = mboxlist_folderdb();
        dr = db->del(db, txn, key.dbt(), 0);
        if (dr) return mboxlist_dberror(dr, "Unable to delete mailbox entry", oldn.c_str());
      }
      return 0;
    }
    // A whole user: the quota record follows the INBOX, and the folders
    // below it add their usage as they are renamed.
    quotadata qd;
    dr = mboxlist_lookup_quota(oldn.c_str(), &qd, txn);
    if (dr == DB_LOCK_DEADLOCK) return dr;
    if (dr == 0) {
      qd.qrused = newmbd.qused;
      qd.msgqrused = newmbd.exists;
      DBT key{};
      DBT qdata{};
      unsigned char qbuf[QUOTA_RECORD_SIZE];
      mboxlist_create_struct(&key, nullptr, &qdata, newn.c_str(), nullptr, nullptr, nullptr, &qd, nullptr, qbuf);
      DB* qdb = mboxlist_quotadb();
      dr = qdb->put(qdb, txn, &key, &qdata, 0);
      if (dr) return mboxlist_dberror(dr, "Unable to write quota root", newn.c_str());
      DbKey oldq(oldn.c_str());
      dr = qdb->del(qdb, txn, oldq.dbt(), 0);
      if (dr) return mboxlist_dberror(dr, "Unable to delete quota root", oldn.c_str());
    } else if (dr != DB_NOTFOUND) {
      return mboxlist_dberror(dr, "Unable to read quota root", oldn.c_str());
    }
    {
      DbKey key(oldn.c_str());
      DB* db = mboxlist_folderdb();
      dr = db->del(db, txn, key.dbt(), 0);
      if (dr) return mboxlist_dberror(dr, "Unable to delete mailbox entry", oldn.c_str());
    }
    return mboxlist_renamesub(txn, oldowner_, newowner_);
  });
  if (r) {
    if (r != IMAP_IOERROR) bvlog(0, LOG_STORE_ERR, "Unable to rename mailbox %s: %s", oldn.c_str(), error_message(r));
    (void)mailbox_rename_abort(newmb);
    return IMAP_IOERROR;
  }
  moved_any_ = true;
  (void)mailbox_rename_commit(&oldmb, newmb);
  mailbox_close(&oldmb);
  if (inbox_move_) {
    mailbox inbox;
    if (mailbox_open_path(oldn.c_str(), 0, rec.partition.c_str(), oldpath, oldmsgpath[0] ? oldmsgpath : nullptr,
                          rec.acl.c_str(), auth_dontCheckAcl, &inbox) == 0) {
      (void)mboxlist_updatedata(&inbox, 0);
    }
    mailbox_close(&inbox);
  }
  return 0;
}

// Finishes the interrupted rename of f (its users' creation locks held)
// and removes its record.  0, or the error that stopped it (the record
// stays for the next attempt).
int finish_rename(const IntentFile& f) {
  bvlog(0, LOG_STORE_NOTICE, "Finishing the interrupted rename of %s to %s", f.in.oldroot.c_str(),
        f.in.newroot.c_str());
  rename_intent in = f.in;
  int r = finish_step(in);
  RenameRun run(in.oldroot, in.newroot, in.partition.empty() ? nullptr : in.partition.c_str(), true);
  std::vector<std::string> names;
  if (r == 0) r = mboxlist_retry_read([&] { return collect(in.oldroot, false, &names); });
  if (r == 0 && run.inbox_move() && !names.empty()) names.resize(names[0] == in.oldroot ? 1 : 0);
  if (r == 0) r = run.move_all(names, f.path, &in);
  if (r) {
    bvlog(0, LOG_STORE_ERR, "Unable to finish the rename of %s to %s: %s", in.oldroot.c_str(), in.newroot.c_str(),
          error_message(r));
    return r;
  }
  intent_remove(f.path);
  return 0;
}

// Takes the whole-user creation locks of a's and b's owners, and of the
// users of every unfinished rename that involves one of them; *stale gets
// those renames.  0, IMAP_IOERROR or IMAP_MAILBOX_LOCKED.
int lock_for_rename(MboxlistCreateLock* lock, const std::string& a, const std::string& b,
                    std::vector<IntentFile>* stale) {
  std::vector<std::string> names = {a, b};
  for (int round = 0; round < 8; ++round) {
    if (mboxlist_lock_users(lock->get(), names) != 0) return IMAP_IOERROR;
    std::set<std::string> held;
    for (const std::string& n : names) held.insert(mboxlist_user_lock_object(n.c_str()));
    stale->clear();
    bool more = false;
    for (IntentFile& f : intent_list()) {
      std::string o1 = mboxlist_user_lock_object(f.in.oldroot.c_str());
      std::string o2 = mboxlist_user_lock_object(f.in.newroot.c_str());
      if (!held.count(o1) && !held.count(o2)) continue;
      // A running rename holds the locks of both its users, and we hold
      // one of them: this rename's process is gone.  To finish it we need
      // its other user too.
      if (!held.count(o1) || !held.count(o2)) {
        names.push_back(f.in.oldroot);
        names.push_back(f.in.newroot);
        more = true;
      }
      stale->push_back(std::move(f));
    }
    if (!more) return 0;
    lock->unlock();
  }
  bvlog(0, LOG_STORE_ERR, "Unable to lock the users of %s and %s: too many unfinished renames", a.c_str(), b.c_str());
  return IMAP_MAILBOX_LOCKED;
}

}  // namespace

int mboxlist_renamemailbox(const char* oldname, const char* newname, const char* partition, const char* userid,
                           const auth_state* auth_state) {
  if (mboxlist_init() != 0) return IMAP_IOERROR;
  const std::string oldroot = oldname;
  const std::string newroot = newname;
  MboxlistCreateLock lock;
  std::vector<IntentFile> stale;
  if (int r = lock_for_rename(&lock, oldroot, newroot, &stale)) return r;
  // An earlier rename of either user that was cut short is finished first;
  // when it is this very rename, that is all there is to do.
  bool finished_same = false;
  for (const IntentFile& f : stale) {
    if (int r = finish_rename(f)) return r;
    finished_same = finished_same || (f.in.oldroot == oldroot && f.in.newroot == newroot &&
                                      f.in.partition == (partition ? partition : ""));
  }

  std::vector<std::string> names;
  int r = mboxlist_retry_read([&] { return collect(oldroot, true, &names); });
  if (r == IMAP_MAILBOX_NONEXISTENT && finished_same) return 0;
  if (r) return r;
  // Nothing moves unless every new name fits.
  for (const std::string& n : names) {
    if (newroot.size() + (n.size() - oldroot.size()) > MBOXNAME_MAX) return IMAP_MAILBOX_BADNAME;
  }
  RenameRun run(oldroot, newroot, partition, false);
  if (run.inbox_move()) names.resize(1);

  // Every check before the first folder moves, so that a refusal never
  // leaves the folders split.
  const bool checkacl = auth_state != auth_dontCheckAcl;
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string& oldn = names[i];
    const std::string newn = run.new_name(oldn);
    folder_record rec;
    if ((r = read_record(oldn, &rec))) return r;
    if (oldn == newn) {
      // A move to another partition.
      if (!partition || auth_adminFor(auth_state, nullptr) < 2) return IMAP_MAILBOX_EXISTS;
      if (rec.partition == partition) continue;
      CString root(configmsg_partitiondir(partition));
      if (!root || strcmp(partition, "version3") == 0) return IMAP_PARTITION_UNKNOWN;
      char curpath[MBOXNAME_PATH_BUF];
      if (mboxlist_getpath(oldn.c_str(), rec.partition.c_str(), curpath, nullptr) == 0 &&
          path_under(curpath, root.get())) {
        return IMAP_MAILBOX_NOTSUPPORTED;
      }
      continue;
    }
    if (i > 0) {
      // The folders below follow without further permission checks.
      if ((r = mboxname_policycheck(newn.c_str()))) return r;
      r = read_record(newn, nullptr);
      if (r == 0) return IMAP_MAILBOX_EXISTS;
      if (r != IMAP_MAILBOX_NONEXISTENT) return r;
      continue;
    }
    char oldown[MBOXNAME_OWNER_BUF];
    bool oldn_user = mboxname_owner(oldn.c_str(), oldown) != nullptr;
    if (is_user_inbox(oldn)) {
      bool isowner = userid && strcmp(userid, oldown) == 0;
      if (!isowner && auth_adminFor(auth_state, oldown) < 2) return IMAP_MAILBOX_NOTSUPPORTED;
      if (isowner && checkacl && !(acl_myrights(auth_state, rec.acl.c_str()) & ACL_CREATE)) {
        return IMAP_PERMISSION_DENIED;
      }
    } else if (checkacl) {
      long rights = acl_myrights(auth_state, rec.acl.c_str());
      if (!(rights & ACL_CREATE)) {
        bool admin = auth_adminFor(auth_state, oldn_user ? oldown : nullptr) > 0;
        return (!(rights & ACL_LOOKUP) && !admin) ? IMAP_MAILBOX_NONEXISTENT : IMAP_PERMISSION_DENIED;
      }
    }
    if (is_user_inbox(newn)) {
      if (!run.renameuser()) return IMAP_MAILBOX_NOTSUPPORTED;
      // The new user must not exist yet: its INBOX would be overwritten.
      if ((r = mboxname_policycheck(newn.c_str()))) return r;
      r = read_record(newn, nullptr);
      if (r == 0) return IMAP_MAILBOX_EXISTS;
      if (r != IMAP_MAILBOX_NONEXISTENT) return r;
    } else {
      r = mboxlist_createmailboxcheck(newn.c_str(), MBOX_VERSION, partition, userid, auth_state, nullptr, nullptr);
      if (r) return r;
    }
  }

  rename_intent in;
  in.oldroot = oldroot;
  in.newroot = newroot;
  in.partition = partition ? partition : "";
  const std::string path = intent_new_path();
  if (path.empty() || intent_write(path, in) != 0) return IMAP_IOERROR;
  r = run.move_all(names, path, &in);
  // A rename stopped half-way keeps its record: the next one of these
  // users, or the daemon's next start, finishes it.
  if (r == 0 || !run.moved_any()) intent_remove(path);
  return r;
}

int mboxlist_rename_recover() {
  if (mboxlist_init() != 0) return IMAP_IOERROR;
  int first = 0;
  for (IntentFile& f : intent_list()) {
    MboxlistCreateLock lock;
    if (mboxlist_lock_users(lock.get(), {f.in.oldroot, f.in.newroot}) != 0) {
      first = first ? first : IMAP_IOERROR;
      continue;
    }
    // Another process may have finished it while we waited for the locks.
    if (!intent_read(f.path, &f.in)) continue;
    if (int r = finish_rename(f)) first = first ? first : r;
  }
  return first;
}

int mboxlist_rename_pending(const char* name) {
  const std::string n = name;
  // Either tree may hold the other: a folder being renamed lies below the
  // user whose folders are rebuilt, and a folder put back lies below the
  // folder being renamed.
  auto overlap = [&](const std::string& root) { return in_tree(n, root) || in_tree(root, n); };
  for (const IntentFile& f : intent_list()) {
    if (overlap(f.in.oldroot) || overlap(f.in.newroot)) return 1;
  }
  return 0;
}
