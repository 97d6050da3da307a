// The repair marker in the users' quota records, the rebuild of a user's
// records from disk and the census of users on disk against the list.
#include "store/mboxlist_repair.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/auth.h"
#include "common/bvlog.h"
#include "common/config.h"
#include "common/imap_err.h"
#include "store/mboxlist.h"
#include "store/mboxlist_internal.h"
#include "store/mboxlist_list.h"
#include "store/mboxlist_lright.h"
#include "store/mboxlist_records.h"
#include "store/mboxlist_walk.h"
#include "store/mboxname.h"
#include "store/quota.h"
#include "store/quota_record.h"
#include "store/seen_db.h"
#include "store/storeutil.h"
#include "store/userscan.h"

// ---- Repair marker ---------------------------------------------------------

namespace {

// "eve" is read again after this many seconds, so that client processes
// running for days notice a repair the store daemon made.
constexpr int kEventRecheck = 300;

std::string quota_root_of(const char* name) {
  return strncmp(name, "user/", 5) == 0 ? std::string(name) : std::string("user/") + name;
}

}  // namespace

int mboxlist_dbneedrepair(const char* userid) {
  long event = mboxlist_catastrophic_event(kEventRecheck);
  if (event == 0) return 0;
  if (!userid || !*userid || mboxlist_init() != 0) return 1;
  char name[AUTH_ID_MAX];
  snprintf(name, sizeof name, "%s", userid);
  quotadata qd;
  // A user without a quota record lost it with the databases: his records
  // were never rebuilt.
  if (mboxlist_getlastaccess(name, &qd) != 0) return 1;
  return static_cast<long>(qd.lastdbrepair) >= event ? 0 : 1;
}

int mboxlist_setlastdbrepair(const char* name, uint32_t timestamp) {
  if (mboxlist_init() != 0) return IMAP_IOERROR;
  const std::string root = quota_root_of(name);
  DB* db = mboxlist_quotadb();
  int r = mboxlist_in_txn("lastdbrepair", root.c_str(), [&](DB_TXN* txn) -> int {
    quotadata qd;
    int dr = mboxlist_lookup_quota(root.c_str(), &qd, txn);
    if (dr == DB_NOTFOUND) return IMAP_QUOTAROOT_NONEXISTENT;
    if (dr == 0) {
      qd.lastdbrepair = timestamp;
      unsigned char buf[QUOTA_RECORD_SIZE];
      quota_record_encode(qd, buf);
      DbKey key(root.c_str());
      DBT data = dbt_of(buf, sizeof buf);
      dr = db->put(db, txn, key.dbt(), &data, 0);
    }
    if (dr == 0 || dr == DB_LOCK_DEADLOCK) return dr;
    bvlog(0, LOG_STORE_ERR, "Unable to set lastdbrepair for %s: %s", root.c_str(), db_strerror(dr));
    return IMAP_IOERROR;
  });
  return r == 0 || r == IMAP_QUOTAROOT_NONEXISTENT ? r : IMAP_IOERROR;
}

namespace {

// The time a rebuild made now is marked with: now, or the last event when
// the clock that stamped it runs ahead of this one (a rebuild made after
// the event was read covers it).
uint32_t repair_stamp() {
  const long event = mboxlist_catastrophic_event(kEventRecheck);
  return static_cast<uint32_t>(std::max(static_cast<long>(time(nullptr)), event));
}

}  // namespace

int mboxlist_markrepaired(const char* userid) {
  const uint32_t now = repair_stamp();
  if (mboxlist_setlastdbrepair(userid, now) == 0) return 0;
  // The quota record went with a damaged quota.db (or is unreadable): it
  // is counted again from the folder records, which makes one.
  const std::string root = quota_root_of(userid);
  if (int r = mboxlist_fixquota(root.c_str(), nullptr)) return r;
  return mboxlist_setlastdbrepair(userid, now);
}

// ---- Rebuilding a user ----------------------------------------------------------

namespace {

// The internal names of the user's own folders that have records.
int user_folders(const std::string& user, std::vector<std::string>* names) {
  names->clear();
  struct Rock {
    std::string inbox;
    std::vector<std::string>* names;
  } rock{"user/" + user, names};
  return mboxlist_findall(
      "*", MBOXLIST_FIND_NOSHARED, 0, user.c_str(), nullptr,
      [](const char* name, int, int, const mboxdata* mbd, void* arg) {
        auto* rk = static_cast<Rock*>(arg);
        if (!mbd) return 0;  // an ancestor without a record of its own
        rk->names->push_back(strcmp(name, "INBOX") == 0 ? rk->inbox : rk->inbox + "/" + name);
        return 0;
      },
      &rock);
}

std::string problem(const char* what, const std::string& name, int r) {
  return std::string(what) + " " + name + ": " + error_message(r);
}

}  // namespace

int mboxlist_reconstruct_user(const char* userid, mboxlist_rebuilt* out) {
  *out = mboxlist_rebuilt{};
  if (!userid || !*userid || strchr(userid, '/')) return IMAP_MAILBOX_BADNAME;
  if (mboxlist_init() != 0) return IMAP_IOERROR;
  const std::string user = userid;
  const std::string inbox = "user/" + user;
  std::vector<std::string> before, after;
  if (int r = user_folders(user, &before)) return r;
  if (int r = mboxlist_recover_folders_from_disk(user.c_str())) return r;
  if (int r = user_folders(user, &after)) return r;
  std::set<std::string> had(before.begin(), before.end());
  for (const std::string& name : after) {
    const bool restored = !had.count(name);
    char* acl = nullptr;
    char* path = nullptr;
    mboxdata mbd;
    int r = mboxlist_lookup(name.c_str(), &mbd, nullptr, &path, nullptr, &acl);
    std::string folder_path = path ? path : "";
    // Adding is idempotent, so lists that survived the repair stay as
    // they are.
    if (r == 0 && restored) {
      r = mboxlist_in_txn("reconstruct lright", name.c_str(), [&](DB_TXN* txn) {
        return mboxlist_changeshared(acl ? acl : "", user.c_str(), name.c_str(), nullptr, TYPE_ADD, txn);
      });
    }
    free(acl);
    free(path);
    if (r == 0) {
      seen_folder f{name.c_str(), folder_path.c_str(), mbd.last_uid};
      r = seen_reconstruct_folder(f, 0, 0, nullptr, nullptr, nullptr);
    }
    if (r) {
      out->problems.push_back(problem("cannot reconstruct", name, r));
      continue;
    }
    out->folders.push_back({name, restored});
  }
  if (mboxlist_maybeRecoverSubsFromFile(user.c_str()) != 0) {
    out->problems.push_back("cannot recover the subscriptions of " + user);
  }
  // The recount is stamped as a repair so the quota record tells when the
  // user's records were last rebuilt.
  mboxlist_fixquota_reconstructed = repair_stamp();
  int r = mboxlist_fixquota(inbox.c_str(), nullptr);
  mboxlist_fixquota_reconstructed = 0;
  if (r) return r;
  quotadata qd;
  if (mboxlist_lookup_quota(inbox.c_str(), &qd, nullptr) == 0) {
    out->quota_used = qd.qrused;
    out->messages = qd.msgqrused;
  }
  return 0;
}

int mboxlist_fixlright_all() {
  // The holders are read first; each repair is a transaction of its own.
  std::vector<std::string> holders;
  int r = mboxlist_findlright(
      [](const char* id, const char*, size_t, void* rock) {
        static_cast<std::vector<std::string>*>(rock)->emplace_back(id);
        return 0;
      },
      &holders);
  if (r != 0 && r != DB_NOTFOUND) return r;
  for (const std::string& id : holders) {
    if (int e = mboxlist_fixlright(id.c_str(), nullptr, 0)) return e;
  }
  return 0;
}

// ---- Census of users -------------------------------------------------------------

namespace {

// The user ids of the INBOX records, one cursor position per user: after a
// user's key the cursor jumps past all of his folders ("user/<id>" then a
// byte that sorts after '/' and before every other byte).
int list_users(std::unordered_set<std::string>* users) {
  DB* db = mboxlist_folderdb();
  return mboxlist_retry_read([&] {
    users->clear();
    DbCursor cur;
    int r = db->cursor(db, nullptr, cur.out(), 0);
    if (r) return r;
    DbWalk w;
    std::string at = "user/";
    for (r = w.first(cur.get(), at); r == 0; r = w.first(cur.get(), at)) {
      std::string_view k = w.key();
      if (k.substr(0, 5) != "user/") break;
      std::string_view rest = k.substr(5);
      size_t end = rest.find_first_of(std::string_view("/\0", 2));
      std::string_view id = rest.substr(0, end);
      const bool inbox = end != std::string_view::npos && rest[end] == '\0' && end + 1 == rest.size();
      if (inbox && !id.empty()) users->emplace(id);
      at.assign("user/").append(id).push_back('\x80');
    }
    return r == DB_NOTFOUND ? 0 : r;
  });
}

}  // namespace

int mboxlist_census_users(bool every, mboxlist_user_census* out) {
  *out = mboxlist_user_census{};
  if (mboxlist_init() != 0) return IMAP_IOERROR;
  std::unordered_set<std::string> listed;
  if (int r = list_users(&listed)) return mboxlist_dberror(r, "Unable to list the users of", "the mailbox list");
  out->in_list = listed.size();
  for (const std::string& id : listed) {
    quotadata qd;
    int r = mboxlist_lookup_quota(("user/" + id).c_str(), &qd, nullptr);
    if (r == DB_NOTFOUND) ++out->without_quota;
  }
  std::unordered_set<std::string> checked, missing;
  for (const std::string& part : userscan_partitions()) {
    (void)userscan_partition(part.c_str(), [&](const char* id, const std::string& dir) {
      ++out->on_disk;
      if (listed.count(id)) {
        if (every && checked.insert(id).second && mboxlist_dbneedrepair(id)) out->need_repair.emplace_back(id);
        return 0;
      }
      // Only the users the list does not know cost a look at their INBOX:
      // a directory holding just folders moved to this partition is no
      // user of its own.
      if (missing.count(id) || access((dir + "/store.idx").c_str(), F_OK) != 0) return 0;
      missing.insert(id);
      out->missing.emplace_back(id);
      return 0;
    });
  }
  std::sort(out->missing.begin(), out->missing.end());
  if (every) {
    out->need_repair.insert(out->need_repair.end(), out->missing.begin(), out->missing.end());
    std::sort(out->need_repair.begin(), out->need_repair.end());
  }
  return 0;
}

int mboxlist_startup_user_check() {
  if (!config_get_switch(config_getdefaultcache(), "local.store.startupusercheck", 1)) {
    bvlog(0, LOG_STORE_WARNING, "local.store.startupusercheck is off: users lost by the mailbox list are not looked for");
    return 0;
  }
  const auto started = std::chrono::steady_clock::now();
  mboxlist_user_census c;
  if (int r = mboxlist_census_users(false, &c)) {
    bvlog(0, LOG_STORE_ERR, "Unable to check the users on disk against the mailbox list: %s", error_message(r));
    return -1;
  }
  const long ms = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count());
  bvlog(0, LOG_STORE_STARTUP, "Users on disk checked against the mailbox list: %zu in the list, %zu on disk (%ld ms)",
        c.in_list, c.on_disk, ms);
  if (c.without_quota) {
    bvlog(0, LOG_STORE_ERR,
          "%zu users of the mailbox list have no quota record (quota.db damaged?): their quota limits are gone; "
          "set them again with orvadm quota set",
          c.without_quota);
  }
  if (c.missing.empty()) return 0;
  bvlog(0, bvlog_priority(0, LOG_SEV_CRIT),
        "The mailbox list lacks %zu users whose folders are on disk (the database was lost or replaced by an "
        "older copy); rebuilding them from disk before the store is ready",
        c.missing.size());
  const long now = static_cast<long>(time(nullptr));
  if (int e = configmsg_writestoredfile("eve", now)) {
    bvlog(0, LOG_STORE_ERR, "Can not write Last Catastrophic Event file errno = %d", e);
  }
  (void)mboxlist_catastrophic_event(0);
  size_t failed = 0;
  for (const std::string& user : c.missing) {
    mboxlist_rebuilt rb;
    int r = mboxlist_reconstruct_user(user.c_str(), &rb);
    if (r && mboxlist_lookup(("user/" + user).c_str(), nullptr, nullptr, nullptr, nullptr, nullptr) ==
                 IMAP_MAILBOX_NONEXISTENT) {
      // An INBOX that cannot be opened (a creation that died before its
      // record was written, or a damaged index) holds up nobody else: its
      // deliveries are deferred until an admin looks at it.
      bvlog(0, LOG_STORE_ERR,
            "User %s: the INBOX on disk cannot be opened (a creation that died, or a damaged index); deliveries "
            "to him are deferred until \"orvadm reconstruct %s\" succeeds or the folder is removed",
            user.c_str(), user.c_str());
      continue;
    }
    if (r) {
      bvlog(0, LOG_STORE_ERR, "Unable to rebuild user %s from disk: %s", user.c_str(),
            r == -1 ? "no INBOX found" : error_message(r));
      ++failed;
      continue;
    }
    for (const std::string& p : rb.problems) bvlog(0, LOG_STORE_ERR, "Rebuilding user %s: %s", user.c_str(), p.c_str());
    bvlog(0, LOG_STORE_NOTICE, "User %s rebuilt from disk: %zu folders", user.c_str(), rb.folders.size());
  }
  if (int r = mboxlist_fixlright_all()) {
    bvlog(0, LOG_STORE_ERR, "Unable to repair the shared-folder lists: %s", error_message(r));
  }
  if (failed) {
    bvlog(0, bvlog_priority(0, LOG_SEV_CRIT),
          "Unable to rebuild %zu of %zu users missing from the mailbox list; the store is not started.  Mend "
          "the cause logged above and start it again, or start it with local.store.startupusercheck = off and "
          "run \"orvadm reconstruct -m\" (deliveries to those users are deferred meanwhile)",
          failed, c.missing.size());
    return -1;
  }
  return 0;
}
