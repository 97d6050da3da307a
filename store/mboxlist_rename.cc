// Renaming folders: a folder with every folder below it, a move to another
// partition, a whole user, and a user's INBOX moved into a new folder.
//
// Each folder is renamed on its own: its files are copied to the new place
// (mailbox_rename_start), its records change in one transaction, and only
// after the commit are the old files removed (mailbox_rename_commit); a
// failed transaction removes the copy (mailbox_rename_abort).  A crash
// therefore leaves at worst a stray copy, never a record without files.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/acl.h"
#include "common/auth.h"
#include "common/bvlog.h"
#include "common/config.h"
#include "common/imap_err.h"
#include "store/mailbox.h"
#include "store/mboxlist.h"
#include "store/mboxlist_internal.h"
#include "store/mboxlist_list.h"
#include "store/mboxlist_lright.h"
#include "store/mboxlist_records.h"
#include "store/mboxname.h"
#include "store/seen_db.h"

namespace {

struct FreeDeleter {
  void operator()(void* p) const { free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

bool is_user_inbox(const std::string& name) {
  return name.compare(0, 5, "user/") == 0 && name.size() > 5 && name.find('/', 5) == std::string::npos;
}

bool in_subtree(const char* key, size_t keylen, const std::string& root) {
  if (keylen < root.size() || memcmp(key, root.data(), root.size()) != 0) return false;
  return keylen == root.size() || key[root.size()] == '/';
}

// oldname and every folder below it, in key order.  0,
// IMAP_MAILBOX_NONEXISTENT, DB_LOCK_DEADLOCK or IMAP_IOERROR.
int collect(const std::string& oldname, std::vector<std::string>* names) {
  names->clear();
  DB* db = mboxlist_folderdb();
  DbCursor c;
  int r = db->cursor(db, nullptr, c.out(), 0);
  if (r) return mboxlist_dberror(r, "Unable to open cursor for", oldname.c_str());
  ReallocDbt key;
  key.dbt.data = malloc(oldname.size() + 1);
  memcpy(key.dbt.data, oldname.c_str(), oldname.size() + 1);
  key.dbt.size = static_cast<u_int32_t>(oldname.size() + 1);
  DBT data = mboxlist_nodata();
  r = c->get(c.get(), &key.dbt, &data, DB_SET);
  if (r == DB_NOTFOUND) return IMAP_MAILBOX_NONEXISTENT;
  while (r == 0) {
    size_t len = strnlen(key.str(), key.dbt.size);
    if (!in_subtree(key.str(), len, oldname)) break;
    // The list grows in steps of 100 names.
    if (names->size() == names->capacity()) names->reserve(names->size() + 100);
    names->emplace_back(key.str(), len);
    r = c->get(c.get(), &key.dbt, &data, DB_NEXT);
  }
  if (r == 0 || r == DB_NOTFOUND) return 0;
  if (r == DB_LOCK_DEADLOCK) return r;
  return mboxlist_dberror(r, "Unable to list subfolders of", oldname.c_str());
}

// Whether path lies under directory dir.
bool path_under(const char* path, const char* dir) {
  size_t n = strlen(dir);
  while (n > 1 && dir[n - 1] == '/') --n;
  return strncmp(path, dir, n) == 0 && (path[n] == '/' || path[n] == '\0');
}

// Closes a folder handle on scope exit.
struct MailboxCloser {
  mailbox* mb;
  ~MailboxCloser() { mailbox_close(mb); }
};

}  // namespace

int mboxlist_renamemailbox(const char* oldname, const char* newname, const char* partition, const char* userid,
                           const auth_state* auth_state) {
  if (mboxlist_init() != 0) return IMAP_IOERROR;
  MboxlistCreateLock lock;
  if (lock.lock(oldname, newname, 1) != 0) return IMAP_IOERROR;

  const std::string oldroot = oldname;
  const std::string newroot = newname;
  std::vector<std::string> names;
  int r = mboxlist_retry_read([&] { return collect(oldroot, &names); });
  if (r) return r;
  // Nothing moves unless every new name fits.
  for (const std::string& n : names) {
    if (newroot.size() + (n.size() - oldroot.size()) > MBOXNAME_MAX) return IMAP_MAILBOX_BADNAME;
  }

  char oldowner[MBOXNAME_OWNER_BUF];
  char newowner[MBOXNAME_OWNER_BUF];
  if (!mboxname_owner(oldname, oldowner)) oldowner[0] = '\0';
  if (!mboxname_owner(newname, newowner)) newowner[0] = '\0';
  bool renameuser = is_user_inbox(oldroot) && is_user_inbox(newroot) && oldroot != newroot;
  // An INBOX moved into another folder takes only its own messages along.
  bool inbox_move = is_user_inbox(oldroot) && !is_user_inbox(newroot);
  if (inbox_move) names.resize(1);

  bool checkacl = auth_state != auth_dontCheckAcl;
  const struct auth_state* checker = auth_state;
  for (const std::string& oldn : names) {
    std::string newn = newroot + oldn.substr(oldroot.size());
    folder_record rec;
    r = mboxlist_retry_read([&] { return mboxlist_read_record(oldn.c_str(), &rec, nullptr); });
    if (r) break;
    if (rec.mbd.version == MBOX_VERSION_TRANSITION) {
      // A folder known only to the list gets its files on first open.
      mailbox conv;
      if (mailbox_open(oldn.c_str(), 0, auth_dontCheckAcl, &conv) == 0) mailbox_close(&conv);
      r = mboxlist_retry_read([&] { return mboxlist_read_record(oldn.c_str(), &rec, nullptr); });
      if (r) break;
      if (rec.mbd.version == MBOX_VERSION_TRANSITION) continue;
    }
    char oldown[MBOXNAME_OWNER_BUF];
    bool oldn_user = mboxname_owner(oldn.c_str(), oldown) != nullptr;

    std::string newpartition;
    if (oldn == newn) {
      // A move to another partition.
      if (!partition || auth_adminFor(auth_state, nullptr) < 2) {
        r = IMAP_MAILBOX_EXISTS;
        break;
      }
      if (rec.partition == partition) continue;
      CString root(configmsg_partitiondir(partition));
      if (!root || strcmp(partition, "version3") == 0) {
        r = IMAP_PARTITION_UNKNOWN;
        break;
      }
      char curpath[MBOXNAME_PATH_BUF];
      if (mboxlist_getpath(oldn.c_str(), rec.partition.c_str(), curpath, nullptr) == 0 &&
          path_under(curpath, root.get())) {
        r = IMAP_MAILBOX_NOTSUPPORTED;
        break;
      }
      newpartition = partition;
    } else {
      if (is_user_inbox(oldn)) {
        bool isowner = userid && strcmp(userid, oldown) == 0;
        if (!isowner && auth_adminFor(auth_state, oldown) < 2) {
          r = IMAP_MAILBOX_NOTSUPPORTED;
          break;
        }
        if (isowner && checkacl && !(acl_myrights(auth_state, rec.acl.c_str()) & ACL_CREATE)) {
          r = IMAP_PERMISSION_DENIED;
          break;
        }
      } else if (checkacl) {
        long rights = acl_myrights(checker, rec.acl.c_str());
        if (!(rights & ACL_CREATE)) {
          bool admin = auth_adminFor(auth_state, oldn_user ? oldown : nullptr) > 0;
          r = (!(rights & ACL_LOOKUP) && !admin) ? IMAP_MAILBOX_NONEXISTENT : IMAP_PERMISSION_DENIED;
          break;
        }
      }
      if (is_user_inbox(newn)) {
        if (!renameuser) {
          r = IMAP_MAILBOX_NOTSUPPORTED;
          break;
        }
        // The new user must not exist yet: its INBOX would be overwritten.
        if ((r = mboxname_policycheck(newn.c_str()))) break;
        r = mboxlist_retry_read([&] { return mboxlist_read_record(newn.c_str(), nullptr, nullptr); });
        if (r == 0) r = IMAP_MAILBOX_EXISTS;
        if (r != IMAP_MAILBOX_NONEXISTENT) break;
        newpartition = partition ? partition : rec.partition;
      } else {
        char* np = nullptr;
        r = mboxlist_createmailboxcheck(newn.c_str(), MBOX_VERSION, partition, userid, checker, nullptr, &np);
        CString owned(np);
        if (r) break;
        newpartition = np;
      }
    }

    char oldpath[MBOXNAME_PATH_BUF];
    char oldmsgpath[MBOXNAME_PATH_BUF];
    char newpath[MBOXNAME_PATH_BUF];
    char newmsgpath[MBOXNAME_PATH_BUF];
    if ((r = mboxlist_getpath(oldn.c_str(), rec.partition.c_str(), oldpath, oldmsgpath))) break;
    if ((r = mboxlist_getpath(newn.c_str(), newpartition.c_str(), newpath, newmsgpath))) break;

    mailbox oldmb;
    MailboxCloser closer{&oldmb};
    r = mailbox_open_path(oldn.c_str(), 0, rec.partition.c_str(), oldpath, oldmsgpath[0] ? oldmsgpath : nullptr,
                          rec.acl.c_str(), auth_dontCheckAcl, &oldmb);
    if (r) {
      bvlog(0, LOG_STORE_ERR, "Unable to open old mailbox %s: %s", oldn.c_str(), error_message(r));
      break;
    }
    std::string acl = rec.acl;
    if (renameuser) {
      CString renamed(acl_renameuser(rec.acl.c_str(), oldowner, newowner));
      if (!renamed) {
        r = IMAP_IOERROR;
        break;
      }
      acl = renamed.get();
      free(oldmb.acl);
      oldmb.acl = strdup(acl.c_str());
    }
    mailbox* newmb = nullptr;
    r = mailbox_rename_start(&oldmb, newn.c_str(), newpartition.c_str(), newpath, newmsgpath[0] ? newmsgpath : nullptr,
                             renameuser ? 1 : 0, &newmb);
    if (r) {
      bvlog(0, LOG_STORE_ERR, "Unable to rename mailbox %s", oldn.c_str());
      r = r == IMAP_MAILBOX_BADNAME ? IMAP_MAILBOX_BADNAME : IMAP_IOERROR;
      break;
    }
    const mboxdata newmbd = newmb->mbd;
    bool user_inbox_renamed = renameuser && is_user_inbox(oldn);

    r = mboxlist_in_txn("rename", oldn.c_str(), [&](DB_TXN* txn) -> int {
      int dr = mboxlist_write_record(newn.c_str(), newmbd, newpartition.c_str(), acl.c_str(), txn);
      if (dr) return mboxlist_dberror(dr, "Unable to write mailbox entry", newn.c_str());
      if (int e = seen_copy(txn, &oldmb, newmb)) return e;
      if (oldn_user) {
        // After a user rename the ACL names the new id as owner.
        const char* aclowner = renameuser ? newowner : oldown;
        if (int e = mboxlist_changeshared(acl.c_str(), aclowner, oldn.c_str(), newn.c_str(), TYPE_RENAME, txn)) {
          return e;
        }
      }
      if (!user_inbox_renamed) {
        // A moved INBOX keeps its usage here: emptying it after the commit
        // takes its messages off (doing both counted them off twice).
        if (!inbox_move) {
          if (int e = mboxlist_changequota_internal(oldn.c_str(), rec.mbd.qused, rec.mbd.exists, 1, txn, nullptr)) {
            return e;
          }
        }
        if (int e = mboxlist_changequota_internal(newn.c_str(), newmbd.qused, newmbd.exists, 0, txn, nullptr)) {
          return e;
        }
        if (inbox_move) {
          // The INBOX stays, emptied; its counters are refreshed from its
          // index once the move has committed.
          mboxdata empty = rec.mbd;
          empty.exists = 0;
          empty.qused = 0;
          dr = mboxlist_write_record(oldn.c_str(), empty, rec.partition.c_str(), rec.acl.c_str(), txn);
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
      if (int e = mboxlist_renamesub(txn, oldowner, newowner)) return e;
      return mboxlist_renameacl(txn, oldowner, newowner);
    });
    if (r) {
      if (r != IMAP_IOERROR) bvlog(0, LOG_STORE_ERR, "Unable to rename mailbox %s: %s", oldn.c_str(), error_message(r));
      (void)mailbox_rename_abort(newmb);
      r = IMAP_IOERROR;
      break;
    }
    (void)mailbox_rename_commit(&oldmb, newmb);
    mailbox_close(&oldmb);
    if (inbox_move) {
      mailbox inbox;
      if (mailbox_open_path(oldn.c_str(), 0, rec.partition.c_str(), oldpath, oldmsgpath[0] ? oldmsgpath : nullptr,
                            rec.acl.c_str(), auth_dontCheckAcl, &inbox) == 0) {
        (void)mboxlist_updatedata(&inbox, 0);
      }
      mailbox_close(&inbox);
    }
    // The folders below follow without further permission checks.
    checkacl = false;
    checker = auth_dontCheckAcl;
  }
  return r;
}
