// Start-up recovery of the mailbox list: census, repair routines,
// snapshots and the three phases (store/storestartup.h).
#include "store/storestartup.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/bvlog.h"
#include "common/config.h"
#include "common/fileio.h"
#include "common/lock.h"
#include "common/unique_fd.h"
#include "store/mboxlist.h"
#include "store/snapshot.h"

namespace {

using DirPtr = std::unique_ptr<DIR, int (*)(DIR*)>;
DirPtr open_dir(const std::string& dir) { return DirPtr(opendir(dir.c_str()), closedir); }

// Messages of the repairs go to the operator at this priority.
constexpr int kRepairPriority = bvlog_priority(0, LOG_SEV_CRIT);

// "log." and ten decimal digits.
bool is_log_name(const char* name) {
  if (strncmp(name, "log.", 4) != 0 || strlen(name) != 14) return false;
  for (int i = 4; i < 14; ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
  }
  return true;
}

bool ends_with(const char* name, const char* suffix) {
  size_t n = strlen(name), m = strlen(suffix);
  return n > m && strcmp(name + n - m, suffix) == 0;
}

unsigned census_bit(const char* name) {
  static const struct {
    const char* name;
    unsigned bit;
  } names[] = {{"folder.db", kCensusFolder},   {"quota.db", kCensusQuota},
               {"peruser.db", kCensusPeruser}, {"subscr.db", kCensusSubscr},
               {"lright.db", kCensusLright},   {"DB_CONFIG", kCensusDbConfig},
               {"folderlock", kCensusFolderlock}, {"sessions", kCensusSessions},
               {"__db.001", 0x800},            {"__db.002", 0x1000},
               {"__db.003", 0x2000},           {"__db.004", 0x4000},
               {"__db.005", 0x8000},           {".catrecov", kCensusCatrecov}};
  for (const auto& n : names) {
    if (strcmp(name, n.name) == 0) return n.bit;
  }
  return 0;
}

std::string with_slash(std::string dir) {
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir;
}

std::string storedir_path(const char* rel) {
  const char* storedir = configmsg_get_storedir();
  return storedir ? std::string(storedir) + "/" + rel : std::string();
}

// The first error of the current repair that says the system, not the
// databases, is at fault (a full disk, permissions): the repair sequence
// stops there instead of going on to more drastic repairs.
int g_repair_fault = 0;

// Records errno if it is such an error; errno is kept.
void note_errno() {
  if (!g_repair_fault && storestartup_environmental(errno)) g_repair_fault = errno;
}

// Flushes a directory so the renames and creations inside it last.
int flush_dir(const std::string& dir) {
  if (sync_dir(dir.c_str()) == 0) return 0;
  note_errno();
  return -1;
}

// The database and log files of a directory: what keeping and copying
// deal in (regions are rebuilt, DB_CONFIG is configuration).
std::vector<std::string> data_files(const std::string& dir) {
  std::vector<std::string> out;
  DirPtr d = open_dir(dir);
  while (dirent* e = d ? readdir(d.get()) : nullptr) {
    if (is_log_name(e->d_name) || ends_with(e->d_name, ".db")) out.emplace_back(e->d_name);
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

// ---- Census ------------------------------------------------------------

int db_log_version(const char* path) {
  UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return -1;
  unsigned char hdr[20];
  if (pread(fd.get(), hdr, sizeof hdr, 0) != static_cast<ssize_t>(sizeof hdr)) return -1;
  uint32_t magic, version;
  memcpy(&magic, hdr + 12, 4);
  memcpy(&version, hdr + 16, 4);
  if (magic != DB_LOGMAGIC) return -1;
  return static_cast<int>(version);
}

int check_db_dir(const char* dir, db_census* c) {
  *c = db_census{};
  if (!dir || !*dir) return 1;
  std::string base = with_slash(dir);
  DirPtr d = open_dir(base);
  if (!d) return 2;
  while (dirent* e = readdir(d.get())) {
    const char* name = e->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    ++c->nfiles;
    if (is_log_name(name)) {
      long n = strtol(name + 4, nullptr, 10);
      if (c->nlogs == 0 || n < c->firstlog) c->firstlog = n;
      if (c->nlogs == 0 || n > c->lastlog) c->lastlog = n;
      ++c->nlogs;
      // The release we link writes and reads only its own log format: a
      // directory whose logs are all of another release holds no
      // environment this one can recover.
      if (db_log_version((base + name).c_str()) == DB_LOGVERSION) c->current_logs = true;
      continue;
    }
    unsigned bit = census_bit(name);
    if (bit) {
      c->exists |= bit;
    } else {
      ++c->nfiles_u;
    }
  }
  if (c->nlogs > 0) {
    char name[32];
    struct stat first, last;
    snprintf(name, sizeof name, "log.%010ld", c->firstlog);
    if (stat((base + name).c_str(), &first) != 0) return 3;
    snprintf(name, sizeof name, "log.%010ld", c->lastlog);
    if (stat((base + name).c_str(), &last) != 0) return 4;
    c->logtime = static_cast<long>(last.st_mtime - first.st_mtime);
  }
  return 0;
}

int storestartup_state_of(const db_census& c) {
  if ((c.exists & kCensusDbOrRegion) == 0 && c.nlogs == 0) return 2;
  if ((c.exists & kCensusRequired) != kCensusRequired) return 5;
  if (c.nlogs == 0) return 3;
  bool contiguous = c.lastlog - c.firstlog + 1 == c.nlogs;
  return contiguous && c.logtime < 3601 ? 1 : 4;
}

int get_phase_sequence(int* n, int sequence[10], const char* filename) {
  UniqueFd fd(open(filename, O_RDONLY | O_CLOEXEC));
  if (!fd) return errno;
  unsigned char buf[100];
  size_t len = 0;
  for (;;) {
    ssize_t r = read(fd.get(), buf + len, sizeof buf - len);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    len += static_cast<size_t>(r);
    if (len == sizeof buf) break;
  }
  if (len < 8) return 1;
  // The count's high byte is always 0, so the first eight bytes are
  // "functi", NUL and the count's low byte.
  if (memcmp(buf, "functi", 6) != 0 || buf[6] != 0) return 2;
  int count = buf[6] << 8 | buf[7];
  if (len != 8 + 2 * static_cast<size_t>(count)) return count > 10 ? 4 : 3;
  if (count > 10) return 4;
  for (int i = 0; i < count; ++i) {
    int f = buf[8 + 2 * i] << 8 | buf[9 + 2 * i];
    if (f < 1 || f > 4) return 5;
    sequence[i] = f;
  }
  *n = count;
  return 0;
}

// ---- Snapshots ---------------------------------------------------------

namespace {
std::atomic<time_t> g_last_snapshot{0};
std::atomic<time_t> g_last_checkpoint{0};
}  // namespace

void storestartup_set_last_checkpoint(time_t t) { g_last_checkpoint = t; }
void storestartup_set_last_snapshot(time_t t) { g_last_snapshot = t; }
time_t storestartup_last_snapshot() { return g_last_snapshot; }

int mboxlist_snapshot_path(std::string* path) {
  const char* v = config_get_string(config_getdefaultcache(), "local.store.snapshotpath", nullptr);
  switch (resolve_snapshot_path(v, configmsg_get_storedir(), path)) {
    case 0:
      return 0;
    case ENOENT:
      bvlog(0, LOG_STORE_WARNING, "stored mboxlist_init: snapshot path not configured");
      return 1;
    case ENAMETOOLONG:
      bvlog(0, LOG_STORE_ERR, "stored mboxlist_init: snapshot path too long.");
      return -1;
    default:
      if (strstr(v, "..")) {
        bvlog(0, LOG_STORE_ERR, "stored mboxlist_init: snapshot path invalid: may not use .. in path");
      } else {
        bvlog(0, kRepairPriority, "mboxlist storedir path not found");
      }
      return -1;
  }
}

int analyse_snapshots(const char* path, std::vector<snapshot_entry>* snaps) {
  snaps->clear();
  // The writer's listing checks each slot's files against the manifest in
  // its ".snaptime", so a slot damaged after it was written is passed over.
  std::vector<snapshot_slot> slots;
  if (snapshot_list(path ? path : "", &slots) != 0) return 1;
  for (const snapshot_slot& sl : slots) {
    if (sl.complete && snaps->size() < 5) snaps->push_back({sl.name, sl.time});
  }
  return 0;
}

int snapshot_abort(const char* dir) {
  time_t snap = g_last_snapshot, ckp = g_last_checkpoint;
  if (snap && snap > ckp) return 1;
  db_census c;
  if (int r = check_db_dir(dir, &c)) {
    bvlog(0, kRepairPriority, "Could not check db dir before snapshot %d %d", errno, r);
    return 2;
  }
  return c.logtime <= 1800 ? 0 : 3;
}

// ---- Repair routines ---------------------------------------------------

int db_rm(const char* dir, int flags) {
  if (strlen(dir) >= 999) return -1;
  std::string base = with_slash(dir);
  DirPtr d = open_dir(base);
  if (!d) return 0;
  int result = 0;
  while (dirent* e = readdir(d.get())) {
    const char* name = e->d_name;
    bool selected = ((flags & kRmLogs) && is_log_name(name)) || ((flags & kRmDatabases) && ends_with(name, ".db")) ||
                    ((flags & kRmRegions) && strncmp(name, "__db.", 5) == 0) ||
                    ((flags & kRmDbConfig) && strcmp(name, "DB_CONFIG") == 0);
    if (!selected) continue;
    std::string path = base + name;
    if (path.size() >= 1024) {
      if (result == 0) result = 1;
      continue;
    }
    if (fs_unlink(path.c_str()) != 0 && errno != ENOENT) {
      note_errno();
      bvlog(0, LOG_STORE_WRITEFAIL, "Unable to remove %s: %m", path.c_str());
      result = -1;
    }
  }
  return result;
}

int db_file_copy(const char* dst, const char* src) {
  UniqueFd in(open(src, O_RDONLY | O_CLOEXEC));
  if (!in) {
    note_errno();
    return 1;
  }
  std::string tmp = std::string(dst) + ".copy";
  // A copy cut short by a crash is stale: it is never renamed into place.
  (void)fs_unlink(tmp.c_str());
  UniqueFd out(fs_open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
  if (!out) {
    note_errno();
    return 2;
  }
  int result = 0;
  char buf[8192];
  for (;;) {
    ssize_t n = read(in.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      result = 3;
      break;
    }
    if (n == 0) break;
    if (retry_write(out.get(), buf, static_cast<size_t>(n)) != n) {
      result = 4;
      break;
    }
  }
  if (result == 0 && fs_fsync(out.get()) != 0) result = 4;
  out.reset();
  if (result == 0 && fs_rename(tmp.c_str(), dst) != 0) result = 4;
  if (result != 0) {
    note_errno();
    int e = errno;
    (void)fs_unlink(tmp.c_str());
    errno = e;
    return result;
  }
  std::string dir = dst;
  dir = dir.substr(0, dir.rfind('/') + 1);
  return flush_dir(dir.empty() ? "." : dir) == 0 ? 0 : 4;
}

int rename_db(const char* dstdir, const char* srcdir) {
  std::string src = with_slash(srcdir), dst = with_slash(dstdir);
  if (!open_dir(src)) return -1;
  int result = 0;
  for (const std::string& name : data_files(src)) {
    if (fs_rename((src + name).c_str(), (dst + name).c_str()) != 0) {
      note_errno();
      bvlog(0, kRepairPriority, "File rename failed :%s: to :%s: error %d", (src + name).c_str(),
            (dst + name).c_str(), errno);
      result = -1;
    }
  }
  if (flush_dir(dst) != 0 || flush_dir(src) != 0) result = -1;
  return result;
}

int db_copy(const char* dstdir, const char* srcdir) {
  std::string src = with_slash(srcdir), dst = with_slash(dstdir);
  if (!open_dir(src)) return -1;
  int result = 0;
  for (const std::string& name : data_files(src)) {
    if (int r = db_file_copy((dst + name).c_str(), (src + name).c_str())) {
      bvlog(0, kRepairPriority, "File copy failed :%s: to :%s: error %d %d", (src + name).c_str(),
            (dst + name).c_str(), errno, r);
      result = -1;
    }
  }
  return result;
}

namespace {

constexpr time_t kAnalysisAge = 432000;  // five days
constexpr int kExtraCopies = 4;           // "removed.<time>" directories kept

// Whether dir holds a kept database less than five days old.
bool recent_copy(const std::string& dir, time_t now) {
  for (const std::string& name : data_files(dir)) {
    struct stat sb;
    if (stat((dir + name).c_str(), &sb) == 0 && now - sb.st_mtime < kAnalysisAge) return true;
  }
  return false;
}

// Removes the oldest "removed.<time>" directories beyond the bound.
void prune_copies(const std::string& mboxlistdir) {
  std::vector<std::string> dirs;
  DirPtr d = open_dir(mboxlistdir);
  while (dirent* e = d ? readdir(d.get()) : nullptr) {
    if (strncmp(e->d_name, "removed.", 8) == 0) dirs.emplace_back(e->d_name);
  }
  d.reset();
  // "removed.<seconds>[-n]": numeric order is age order.
  std::sort(dirs.begin(), dirs.end(), [](const std::string& a, const std::string& b) {
    long x = atol(a.c_str() + 8), y = atol(b.c_str() + 8);
    return x != y ? x > y : a > b;
  });
  for (size_t i = kExtraCopies; i < dirs.size(); ++i) {
    std::string dir = mboxlistdir + dirs[i];
    if (db_rm(dir.c_str(), kRmLogs | kRmDatabases | kRmRegions | kRmDbConfig) == 0) (void)rmdir(dir.c_str());
  }
}

}  // namespace

int backup_rename_db(const char* mboxlistdir, bool copy) {
  std::string base = with_slash(mboxlistdir);
  std::vector<std::string> files = data_files(base);
  if (files.empty()) return 0;
  time_t now = time(nullptr);
  std::string dest = base + "removed/";
  struct stat sb;
  if (stat(dest.c_str(), &sb) != 0) {
    if (errno != ENOENT || fs_mkdir(dest.c_str(), 0700) != 0) {
      note_errno();
      bvlog(0, kRepairPriority, "Cannot create the analysis directory %s: %m", dest.c_str());
      return -1;
    }
  }
  if (recent_copy(dest, now)) {
    // The first copy is what an analysis needs most: it stays, and this
    // one goes beside it.
    char name[64];
    snprintf(name, sizeof name, "removed.%ld", static_cast<long>(now));
    dest = base + name;
    for (int i = 1; stat(dest.c_str(), &sb) == 0; ++i) dest = base + name + "-" + std::to_string(i);
    if (fs_mkdir(dest.c_str(), 0700) != 0) {
      note_errno();
      bvlog(0, kRepairPriority, "Cannot create the analysis directory %s: %m", dest.c_str());
      return -1;
    }
    dest += '/';
  } else if (db_rm(dest.c_str(), kRmLogs | kRmDatabases | kRmRegions | kRmDbConfig) != 0) {
    return -1;
  }
  int r = copy ? db_copy(dest.c_str(), base.c_str()) : rename_db(dest.c_str(), base.c_str());
  if (r != 0) return -1;
  bvlog(0, LOG_STORE_WARNING, "Previous version of store database %s for analysis to: %s",
        copy ? "copied" : "moved", dest.c_str());
  prune_copies(base);
  return 0;
}

int zero_lsn(const char* file, unsigned default_pagesize) {
  UniqueFd fd(fs_open(file, O_RDWR));
  if (!fd) {
    note_errno();
    return -1;
  }
  struct stat sb;
  if (fstat(fd.get(), &sb) != 0) return -1;
  // The metadata page: magic at offset 12, page size at 20, both in the
  // byte order of the machine that made the file.
  unsigned pagesize = default_pagesize;
  unsigned char meta[24];
  if (pread(fd.get(), meta, sizeof meta, 0) == static_cast<ssize_t>(sizeof meta)) {
    uint32_t magic, size;
    memcpy(&magic, meta + 12, 4);
    memcpy(&size, meta + 20, 4);
    if (magic == __builtin_bswap32(static_cast<uint32_t>(DB_BTREEMAGIC))) size = __builtin_bswap32(size);
    bool known = magic == DB_BTREEMAGIC || magic == __builtin_bswap32(static_cast<uint32_t>(DB_BTREEMAGIC));
    if (known && size >= 512 && size <= 65536 && (size & (size - 1)) == 0) pagesize = size;
  }
  static const char zeros[8] = {};
  for (off_t page = 0; page + static_cast<off_t>(pagesize) <= sb.st_size; page += pagesize) {
    if (fs_pwrite(fd.get(), zeros, sizeof zeros, page) != static_cast<ssize_t>(sizeof zeros)) {
      note_errno();
      return -1;
    }
  }
  if (fs_fsync(fd.get()) != 0) {
    note_errno();
    return -1;
  }
  return 0;
}

int zero_logs(const char* mboxlistdir) {
  std::string base = with_slash(mboxlistdir);
  // The logs go first: a page whose LSN is zeroed while a log that names
  // it remains would have that record redone on it again by recovery.
  if (db_rm(base.c_str(), kRmLogs) != 0 || flush_dir(base) != 0) return -1;
  static const struct {
    const char* name;
    unsigned pagesize;
  } dbs[] = {{"folder.db", 4096}, {"quota.db", 512}, {"subscr.db", 4096}, {"peruser.db", 4096}, {"lright.db", 4096}};
  int result = 0;
  for (const auto& db : dbs) {
    std::string path = base + db.name;
    if (access(path.c_str(), F_OK) != 0) continue;
    if (zero_lsn(path.c_str(), db.pagesize) != 0) {
      bvlog(0, kRepairPriority, "Cannot reset the log positions of %s: %m", path.c_str());
      result = -1;
    }
  }
  return result;
}

namespace {
// Keeps the current files, then empties the directories of databases,
// logs and regions (the live DB_CONFIG stays).
int clear_for_replacement(const char* mboxlistdir, const char* cachedir) {
  if (backup_rename_db(mboxlistdir, false) != 0) return -1;
  int r = db_rm(mboxlistdir, kRmLogs | kRmDatabases | kRmRegions);
  if (cachedir && *cachedir) r |= db_rm(cachedir, kRmLogs | kRmDatabases | kRmRegions);
  return r == 0 ? 0 : -1;
}
}  // namespace

int recover_snapshot(const char* mboxlistdir, const char* cachedir, const char* snapdir) {
  // A slot without its databases is no snapshot, whatever its time stamp.
  db_census c;
  if (check_db_dir(snapdir, &c) != 0 || (c.exists & kCensusRequired) != kCensusRequired) return -1;
  if (clear_for_replacement(mboxlistdir, cachedir) != 0) return -1;
  return db_copy(mboxlistdir, snapdir) == 0 ? 0 : -1;
}

int remove_db(const char* mboxlistdir, const char* cachedir) { return clear_for_replacement(mboxlistdir, cachedir); }

int insert_template(const char* mboxlistdir, const char* cachedir) {
  std::string tmpl = storedir_path("dbdata/templates");
  db_census c;
  if (tmpl.empty() || check_db_dir(tmpl.c_str(), &c) != 0 || c.exists != kCensusDatabases || c.nfiles != 5) return -2;
  if (clear_for_replacement(mboxlistdir, cachedir) != 0) return -1;
  if (db_copy(mboxlistdir, tmpl.c_str()) != 0) return -1;
  // A template comes without logs: the log positions its pages carry are
  // another environment's, and the first write to such a page would fail.
  return zero_logs(mboxlistdir);
}

// ---- Guards ------------------------------------------------------------

int storestartup_attached_clients(std::vector<std::string>* names) {
  names->clear();
  std::string dir = storedir_path("session");
  if (dir.empty()) return 0;
  DirPtr d = open_dir(dir);
  if (!d) return errno == ENOENT ? 0 : errno;
  while (dirent* e = readdir(d.get())) {
    const char* dot = strrchr(e->d_name, '.');
    if (!dot || !dot[1] || strspn(dot + 1, "0123456789") != strlen(dot + 1)) continue;
    UniqueFd fd(open((dir + "/" + e->d_name).c_str(), O_RDONLY | O_CLOEXEC));
    // Asked without taking the lock: taking it even for a moment could make
    // a client starting right now fail to lock its own file.
    if (fd && lock_held_elsewhere(fd.get()) == 1) names->emplace_back(e->d_name);
  }
  std::sort(names->begin(), names->end());
  return 0;
}

bool storestartup_damage(int err, startup_stage stage) {
  switch (err) {
    case DB_RUNRECOVERY:     // recovery itself failed: a log is missing or broken
    case DB_VERIFY_BAD:      // a database failed verification
    case DB_PAGE_NOTFOUND:   // a page the tree names is not in the file
    case DB_LOG_VERIFY_BAD:
      return true;
    case EINVAL:
      // At a database's open: metadata that is not a B-tree's.  At the
      // environment's it is a bad DB_CONFIG or setting, which no repair of
      // the databases mends.
      return stage == startup_stage::database;
    default:
      return false;
  }
}

// ---- Phases ------------------------------------------------------------

namespace {

struct StartupState {
  int db_state = 0;
  bool catrecov = false;         // a snapshot was restored: catastrophic recovery
  bool catrecov_forced = false;  // ".catrecov" present
  bool trial_pending = false;    // state 4 with contiguous logs: normal recovery first
  int env_failure = 0;           // a repair failed for a reason of the system's: stop
  std::vector<int> executed;     // functions run during this start
  std::string mboxlistdir;
  std::string cachedir;
  std::string snappath;
  std::vector<snapshot_entry> snaps;
  int ph3_pos = 0;
};

StartupState& ss() {
  static StartupState s;
  return s;
}

// Allows function n once per start.
bool phase_function_execute(int n) {
  StartupState& s = ss();
  if (std::find(s.executed.begin(), s.executed.end(), n) != s.executed.end()) return false;
  if (s.executed.size() < 10) s.executed.push_back(n);
  return true;
}

void write_eve() {
  if (int r = configmsg_writestoredfile("eve", static_cast<long>(time(nullptr)))) {
    bvlog(0, kRepairPriority, "Can not write Last Catastrophic Event file errno = %d", r);
  }
}

std::string newest_snapshot() {
  StartupState& s = ss();
  return s.snaps.empty() ? std::string() : s.snappath + s.snaps.front().name;
}

// Runs repair function n of phase 2 or 3; true when it acted (its time is
// then recorded as an event).
bool run_function(int phase, int n) {
  StartupState& s = ss();
  g_repair_fault = 0;
  const char* md = s.mboxlistdir.c_str();
  const char* cd = s.cachedir.c_str();
  bool acted = false;
  switch (n) {
    case 1:
      if (phase != 2 || (s.db_state != 3 && s.db_state != 4) || !phase_function_execute(1)) break;
      bvlog(0, kRepairPriority,
            "Removing extra database logs.  Run reconstruct -m soon after startup to resync redundant data");
      acted = true;
      // The files as they were are kept first: the logs are gone for good
      // once removed.
      if (backup_rename_db(md, true) != 0 || zero_logs(md) != 0) {
        bvlog(0, kRepairPriority, "Removing extra logs failed %d %d", errno, -1);
        s.db_state = 5;
      } else {
        s.db_state = 1;
      }
      break;
    case 2:
      if (s.snaps.empty() || !phase_function_execute(2)) break;
      bvlog(0, kRepairPriority,
            phase == 2 ? "Recovering database from snapshot.  Run reconstruct -m soon after startup to resync "
                         "redundant data"
                       : "Recovering snapshot during startup");
      acted = true;
      bvlog(0, kRepairPriority, "Restoring the snapshot %s taken at %ld", newest_snapshot().c_str(),
            static_cast<long>(s.snaps.front().time));
      if (recover_snapshot(md, cd, newest_snapshot().c_str()) != 0) {
        if (phase == 2) {
          bvlog(0, kRepairPriority, "Recovering from snapshot failed failed %d %d", errno, -1);
        } else {
          bvlog(0, kRepairPriority, "Recovering snapshot during startup failed");
        }
        s.db_state = 5;
      } else {
        s.db_state = 1;
        s.catrecov = true;
      }
      break;
    case 3: {
      if (!phase_function_execute(3)) break;
      if (phase == 2 && s.db_state != 2) {
        bvlog(0, kRepairPriority,
              "Removing database and initializing with template.  Run reconstruct -m to resync data after store is "
              "up.");
      } else if (phase == 3) {
        bvlog(0, kRepairPriority, "Initializing with template during startup");
      }
      int r = insert_template(md, cd);
      if (r == 0) {
        s.db_state = 1;
        s.catrecov = false;
        acted = true;
      } else if (r == -2 && s.db_state == 2) {
        // A new store without a template: function 4 starts it empty.
      } else {
        acted = r != -2;
        if (phase == 2) {
          bvlog(0, kRepairPriority, "Could not initialize database with templates (not necessarily needed) %d %d",
                errno, r);
        } else {
          bvlog(0, kRepairPriority, "Initializing with template during startup failed");
        }
        s.db_state = 5;
      }
      break;
    }
    case 4:
      if (phase == 2 && s.db_state == 2) {
        // A new store simply starts empty: nothing to remove, no event.
        (void)phase_function_execute(4);
        s.db_state = 1;
        s.catrecov = false;
        break;
      }
      if (!phase_function_execute(4)) break;
      bvlog(0, kRepairPriority,
            phase == 2 ? "Removing database and initializing.  Run reconstruct -m to resync data after store is up."
                       : "Removing database before startup.");
      acted = true;
      if (remove_db(md, cd) != 0) {
        bvlog(0, kRepairPriority,
              phase == 2 ? "Could not initialize (remove) database files %d %d" : "Removing database before startup failed.",
              errno, -1);
        s.db_state = 5;
      } else {
        s.db_state = 1;
        s.catrecov = false;
      }
      break;
    default:
      break;
  }
  if (acted) write_eve();
  if (s.db_state == 5 && g_repair_fault) {
    // Further repairs would only do more damage on a system that cannot
    // take them: the start fails, what was kept stays kept.
    s.env_failure = g_repair_fault;
    bvlog(0, kRepairPriority, "Repair stopped: %s; mend the cause and start the store daemon again",
          strerror(g_repair_fault));
  }
  return acted;
}

void read_sequence(const char* file, const std::vector<int>& def, std::vector<int>* out) {
  std::string path = storedir_path((std::string("dbdata/") + file).c_str());
  int n = 0, seq[10];
  int r = path.empty() ? ENOENT : get_phase_sequence(&n, seq, path.c_str());
  if (r == 0) {
    out->assign(seq, seq + n);
    return;
  }
  if (r != ENOENT) {
    bvlog(0, LOG_STORE_WARNING, "Repair sequence file %s is not valid (%d); the default sequence applies",
          path.c_str(), r);
  }
  *out = def;
}

void run_phaseII_sequence() {
  StartupState& s = ss();
  std::vector<int> seq;
  read_sequence("stored.ph2", {2, 1, 3, 4}, &seq);
  for (int f : seq) {
    if (s.db_state == 1 || s.env_failure) break;
    (void)run_function(2, f);
  }
}

// Region files of an environment recovery cannot use: in the home and in
// its folder-lock directory.
void remove_regions(const std::string& home) {
  bvlog(0, LOG_STORE_DEBUG, "Removing database environment");
  (void)db_rm(home.c_str(), kRmRegions);
  (void)db_rm((home + "/folderlock").c_str(), kRmRegions);
}

}  // namespace

int storestartup_db_state() { return ss().db_state; }

int storestartup_phaseI(const char* mboxlistdir, const char* cachedir) {
  StartupState& s = ss();
  s = StartupState{};
  s.mboxlistdir = with_slash(mboxlistdir);
  s.cachedir = cachedir ? cachedir : "";
  bool have_cache = !s.cachedir.empty();
  if (make_dirs(s.mboxlistdir.c_str(), 0700) != 0) {
    bvlog(0, kRepairPriority, "mboxlist_init: cannot create mboxlist dbdir: %s", strerror(errno));
    return -1;
  }
  if (have_cache && make_dirs(s.cachedir.c_str(), 0700) != 0) {
    bvlog(0, kRepairPriority, "mboxlist_init: cannot create mboxlist dbcachedir: :%s:", strerror(errno));
    return -1;
  }
  std::string snapdefault = storedir_path("dbdata/snapshots");
  if (!snapdefault.empty() && make_dirs(snapdefault.c_str(), 0700) != 0) {
    bvlog(0, LOG_STORE_WARNING, "mboxlist_init: cannot create default snapshot directory: :%s:", strerror(errno));
  }
  std::string home = have_cache ? s.cachedir : s.mboxlistdir.substr(0, s.mboxlistdir.size() - 1);
  if (home.size() + strlen("/folderlock") >= 1023) {
    bvlog(0, kRepairPriority, "mboxlist_init: folderlock directory path too long\n");
    return -1;
  }

  db_census c, cc;
  if (int r = check_db_dir(s.mboxlistdir.c_str(), &c)) {
    bvlog(0, kRepairPriority, "mboxlist_init: error checking mboxlist db directory :%s: %d %d", s.mboxlistdir.c_str(),
          errno, r);
    return -1;
  }
  unsigned exists = c.exists;
  if (have_cache) {
    if (int r = check_db_dir(s.cachedir.c_str(), &cc)) {
      bvlog(0, kRepairPriority, "mboxlist_init: error checking mboxlist db cache directory :%s %d %d:",
            s.cachedir.c_str(), errno, r);
      return -1;
    }
    // Databases, logs and ".catrecov" live in the database directory, the
    // environment's files in the cache directory.
    exists = (c.exists & 0x1001f) | (cc.exists & 0xff00);
  }
  s.catrecov_forced = (exists & kCensusCatrecov) != 0;

  bvlog(0, LOG_STORE_STARTUP, "stored mboxlist_init: Printing Stored Database Startup Information:");
  bvlog(0, LOG_STORE_STARTUP, "mboxlist_init: mboxlist db path = :%s:", s.mboxlistdir.c_str());
  bvlog(0, LOG_STORE_STARTUP,
        "mboxlist_init: mboxlist db state data:  exists = 0x%x nfiles = %d, nfiles_u = %d  logs = %d %ld - %ld  "
        "cache = %d 0x%x",
        c.exists, c.nfiles, c.nfiles_u, c.nlogs, c.firstlog, c.lastlog, have_cache ? 1 : 0, exists);
  if (have_cache) {
    bvlog(0, LOG_STORE_STARTUP, "stored: mboxlist db cache path = :%s:", s.cachedir.c_str());
    bvlog(0, LOG_STORE_STARTUP,
          "mboxlist_init: mboxlist db cache state data:  exists = 0x%x nfiles = %d, nfiles_u = %d  logs = %d %ld - %ld",
          cc.exists, cc.nfiles, cc.nfiles_u, cc.nlogs, cc.firstlog, cc.lastlog);
  }
  long eve = 0;
  if (configmsg_readstoredfile("eve", &eve) == 0) bvlog(0, LOG_STORE_STARTUP, "stored: Last event id = 0x%lx", eve);

  int pr = mboxlist_snapshot_path(&s.snappath);
  if (pr < 0) {
    bvlog(0, LOG_STORE_WARNING, "stored mboxlist_init: Error while trying to determine snapshot path");
  } else if (pr == 0 && analyse_snapshots(s.snappath.c_str(), &s.snaps) != 0) {
    bvlog(0, LOG_STORE_WARNING, "stored mboxlist_init: Error while examining snapshots at path :%s: %d %d",
          s.snappath.c_str(), errno, 1);
  }
  if (s.snaps.empty()) {
    bvlog(0, LOG_STORE_STARTUP, "mboxlist_init: No valid mboxlist db snapshots found.");
  } else {
    bvlog(0, LOG_STORE_STARTUP, "mboxlist_init: Best mboxlist db snapshot taken at 0x%lx found in :%s: :%s: n = %d",
          static_cast<long>(s.snaps.front().time), s.snappath.c_str(), s.snaps.front().name.c_str(),
          static_cast<int>(s.snaps.size()));
    g_last_snapshot = s.snaps.front().time;
  }

  db_census combined = c;
  combined.exists = exists;
  s.db_state = storestartup_state_of(combined);
  bvlog(0, LOG_STORE_STARTUP, "mboxlist_init: DB initial state = %d", s.db_state);
  if (s.db_state == 4 && c.lastlog - c.firstlog + 1 == c.nlogs) {
    // An idle store's logs may well span an hour: its databases are
    // probably fine, and repairs would lose what changed since the
    // snapshot.  Normal recovery is tried first, repairs only if it fails.
    bvlog(0, kRepairPriority,
          "mboxlist_init: database logs span %ld seconds; trying normal recovery before any repair", c.logtime);
    s.trial_pending = true;
  }
  // Region files belong to the logs they were made with; without a log of
  // this release they describe nothing recovery can use.  Only the live
  // home's, only here: the census itself never deletes.
  if (!c.current_logs) remove_regions(home);
  return 0;
}

int storestartup_phaseII() {
  StartupState& s = ss();
  if (s.db_state == 1 || s.trial_pending) return 0;
  run_phaseII_sequence();
  return s.db_state == 1 ? 0 : -1;
}

int storestartup_phaseIII(storestartup_open_fn open, void* arg) {
  StartupState& s = ss();
  std::vector<int> seq;
  read_sequence("stored.ph3", {2, 3, 4}, &seq);
  for (;;) {
    while (s.db_state != 1 && !s.trial_pending && !s.env_failure && s.ph3_pos < static_cast<int>(seq.size())) {
      (void)run_function(3, seq[s.ph3_pos++]);
    }
    if (s.db_state != 1 && !s.trial_pending) return -1;
    bool fatal = s.catrecov || s.catrecov_forced;
    if (fatal) bvlog(0, kRepairPriority, "Database startup: catastrophic recovery of the mailbox list");
    startup_stage stage = startup_stage::environment;
    int r = open(fatal ? DB_RECOVER_FATAL : DB_RECOVER, &stage, arg);
    if (r == 0) {
      bvlog(0, LOG_STORE_STARTUP, "stored mboxlist_init: mboxlist database startup successful");
      s.trial_pending = false;
      s.db_state = 1;
      return 0;
    }
    if (!storestartup_damage(r, stage)) {
      // Not the databases' fault: repairs would only lose data.  The start
      // fails with every file as it is, for the operator to mend the cause.
      bvlog(0, kRepairPriority, "Database startup: %s (%d); no repair attempted, the databases are left as they are",
            db_strerror(r), r);
      return -1;
    }
    bvlog(0, kRepairPriority, "Database startup: the mailbox list is damaged (%s)", db_strerror(r));
    if (s.trial_pending) {
      // Normal recovery failed: the repairs of phase II come first.
      s.trial_pending = false;
      run_phaseII_sequence();
      if (s.db_state == 1) continue;
    }
    s.db_state = 5;
  }
}

bool storestartup_environmental(int e) {
  switch (e) {
    case EACCES:
    case EPERM:
    case ENOSPC:
    case EDQUOT:
    case EMFILE:
    case ENFILE:
    case ENOMEM:
    case EROFS:
    case EIO:
      return true;
    default:
      return false;
  }
}
