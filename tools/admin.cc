#include "tools/admin.h"

#include <sys/statvfs.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "common/config.h"
#include "common/fileio.h"
#include "common/imap_err.h"
#include "common/service.h"
#include "store/mboxlist.h"
#include "store/mboxlist_list.h"
#include "store/mboxlist_lright.h"
#include "store/snapshot.h"
#include "store/userscan.h"

namespace {

struct FreeDeleter {
  void operator()(char* p) const { free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

std::string free_space(const char* path) {
  struct statvfs vfs;
  if (statvfs(path, &vfs) != 0) return std::string("(") + strerror(errno) + ")";
  unsigned long long kb = static_cast<unsigned long long>(vfs.f_bavail) * vfs.f_frsize / 1024;
  return std::to_string(kb / 1024) + " MB free";
}

int make_private_dir(const std::string& path, FILE* err) {
  if (make_dirs(path.c_str(), 0700) != 0) {
    fprintf(err, "Cannot create %s: %s\n", path.c_str(), strerror(errno));
    return 73;
  }
  if (int e = configmsg_fixfilemode(path.c_str(), 0)) {
    fprintf(err, "Cannot set owner and mode of %s: %s\n", path.c_str(), strerror(e));
    return 73;
  }
  return 0;
}

const adm_command kCommands[] = {
    {"config", "", "show the effective configuration and check it", adm_config},
    {"init", "", "create the store, partition and log directories", adm_init},
    {"check", "[--msgpath DIR] FOLDER", "report inconsistencies in a folder's files", adm_check},
    {"status", "", "tell whether the store daemon is ready", adm_status},
    {"checkpoint", "", "checkpoint the mailbox list, drop old log files, write seen and subscription files",
     adm_checkpoint},
    {"user", "create|delete|rename|provision ID",
     "create, delete, rename or provision (from the directory) a user's folders", adm_user},
    {"folder", "create|delete|rename|show|list", "administer folders", adm_folder},
    {"acl", "set|delete FOLDER ID", "change a folder's access rights", adm_acl},
    {"quota", "set|show ROOT", "set or show a quota root's limits", adm_quota},
    {"list", "[--subscribed] USER [PAT]", "list a user's folders or subscriptions", adm_list},
    {"subscribe", "USER FOLDER", "subscribe a user to a folder", adm_subscribe},
    {"unsubscribe", "USER FOLDER", "drop a user's subscription", adm_subscribe},
    {"seen", "show|set FOLDER USER", "show or set a user's seen messages", adm_seen},
    {"access", "[USER] | set USER PROTO", "show or set last-access times", adm_access},
    {"reconstruct", "USER | -m", "rebuild a user's (-m: every user needing it) records after a database repair",
     adm_reconstruct},
    {"expunge", "FOLDER UIDSET | --deleted FOLDER", "remove messages from a folder", adm_expunge},
    {"cleanup", "[FOLDER]", "delete the files of expunged messages now", adm_cleanup},
    {"stats", "pop [--prometheus]", "print the POP3 server's counters", adm_stats},
    {"snapshot", "[take] | list", "take a snapshot of the mailbox list now, or list the snapshots", adm_snapshot},
    {nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

const adm_command* adm_commands() { return kCommands; }

int adm_config(int, char**, FILE* out, FILE* err) {
  config_cache* cfg = config_getdefaultcache();
  const char* path = configmsg_path();
  fprintf(out, "configuration:   %s\n", *path ? path : "(built in)");
  const char* store = configmsg_get_storedir();
  fprintf(out, "store directory: %s\n", store ? store : "(not set)");
  fprintf(out, "server root:     %s\n", config_get_string(cfg, "local.serverroot", "(not set)"));
  fprintf(out, "server user:     %s\n", config_get_string(cfg, "local.serveruser", "(the invoking user)"));
  fprintf(out, "log target:      %s\n", config_get_string(cfg, "local.log.target", "file"));
  auto names = userscan_partitions();
  fprintf(out, "partitions:      %zu\n", names.size());
  for (const auto& name : names) {
    CString dir(configmsg_partitiondir(name.c_str()));
    CString msgdir(configmsg_partitionmsgdir(name.c_str()));
    fprintf(out, "  %-12s %s (%s)", name.c_str(), dir.get(), free_space(dir.get()).c_str());
    if (strcmp(dir.get(), msgdir.get()) != 0) fprintf(out, ", messages in %s", msgdir.get());
    fputc('\n', out);
  }
  // The store daemon refuses to start on the same findings.
  return configmsg_check(err) == 0 ? 0 : 78;
}

int adm_init(int, char**, FILE* out, FILE* err) {
  const char* store = configmsg_get_storedir();
  if (!store) {
    fprintf(err, "The configuration sets no store directory (local.store.dir)\n");
    return 78;
  }
  std::vector<std::string> dirs = {store, std::string(store) + "/session", std::string(store) + "/stored"};
  const char* logdir = config_get_string(config_getdefaultcache(), "local.logdir", nullptr);
  dirs.push_back(logdir && *logdir ? logdir : std::string(store) + "/log");
  if (const char* root = config_get_string(config_getdefaultcache(), "local.serverroot", nullptr); root && *root) {
    dirs.push_back(std::string(root) + "/config");
  }
  for (const auto& name : userscan_partitions()) {
    CString dir(configmsg_partitiondir(name.c_str()));
    CString msgdir(configmsg_partitionmsgdir(name.c_str()));
    dirs.push_back(dir.get());
    if (strcmp(dir.get(), msgdir.get()) != 0) dirs.push_back(msgdir.get());
  }
  for (const auto& d : dirs) {
    if (int r = make_private_dir(d, err)) return r;
    fprintf(out, "ready: %s\n", d.c_str());
  }
  return 0;
}

int adm_status(int, char**, FILE* out, FILE* err) {
  if (!store_session_ready_test("stored")) {
    fprintf(out, "store daemon: not ready\n");
    return 69;
  }
  fprintf(out, "store daemon: ready (pid %ld)\n", service_pid("stored"));
  partition_info_t* raw = nullptr;
  int r = mboxlist_getpartitions(&raw);
  std::unique_ptr<partition_info_t, decltype(&free)> parts(raw, free);
  if (r) {
    fprintf(err, "orvadm: cannot summarise the partitions: %s\n", error_message(r));
    return 75;
  }
  for (const partition_info_t* p = parts.get(); p->partition[0]; ++p) {
    std::string quota = p->totalquota < 0 ? "unlimited" : std::to_string(p->totalquota) + " KB";
    fprintf(out, "partition %s: %s, %d users, %d folders, %d bytes used, quota %s, %d of %d KB free\n", p->partition,
            p->path, p->numusers, p->numfolders, p->byteused, quota.c_str(), p->avail, p->total);
  }
  DB_LOCK_STAT* lk = nullptr;
  DB_LOG_STAT* lg = nullptr;
  DB_MPOOL_STAT* mp = nullptr;
  DB_TXN_STAT* tx = nullptr;
  if (mboxlist_getstat(&lk, &lg, &mp, &tx) == 0) {
    const double lookups = static_cast<double>(mp->st_cache_hit) + static_cast<double>(mp->st_cache_miss);
    fprintf(out, "database: %u active transactions, %u locks held (most %u), log file %u, cache hits %.1f%%\n",
            tx->st_nactive, lk->st_nlocks, lk->st_maxnlocks, lg->st_cur_file,
            lookups > 0 ? 100.0 * static_cast<double>(mp->st_cache_hit) / lookups : 100.0);
  }
  free(lk);
  free(lg);
  free(mp);
  free(tx);
  return 0;
}

int adm_checkpoint(int, char**, FILE* out, FILE* err) {
  if (mboxlist_init() != 0) {
    fprintf(err, "The mailbox list database is not available\n");
    return 69;
  }
  // Log files a snapshot under way still copies are left for the next time
  // (snapshot_remove_logs then reports 1).
  std::string snapdir;
  if (snapshot_dir(&snapdir) != 0) snapdir.clear();
  int ckp = mboxlist_checkpoint_force();
  int removed = ckp == 0 ? snapshot_remove_logs(snapdir) : 0;
  if (ckp != 0 || (removed != 0 && removed != 1)) {
    fprintf(err, "Checkpoint failed; see the log for details\n");
    return 74;
  }
  // Seen state and subscriptions files that are missing or older than
  // their state are brought up to date.
  std::string from;
  int failed = 0;
  const time_t now = time(nullptr);
  do {
    int f = mboxlist_checkpoint_files(0, now + 1, &from, 1000);
    failed = f < 0 ? -1 : failed + f;
  } while (failed >= 0 && !from.empty());
  if (failed) {
    if (failed < 0)
      fprintf(err, "The folder list could not be read; see the log for details\n");
    else
      fprintf(err, "%d seen state or subscription files could not be written; see the log for details\n", failed);
    return 74;
  }
  fprintf(out, "checkpoint done\n");
  return 0;
}
