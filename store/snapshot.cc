#include "store/snapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>

#include "common/bvlog.h"
#include "common/config.h"
#include "common/fileio.h"
#include "common/lock.h"
#include "common/unique_fd.h"
#include "store/mboxlist.h"

namespace {

constexpr int kMaxSlots = 5;
constexpr const char kLock[] = ".snaplock";
constexpr const char kTmp[] = ".snaptmp";
constexpr const char kDel[] = ".snapdel";
constexpr const char kStamp[] = ".snaptime";
// The databases recovery needs in a slot (lright.db is rebuilt when absent).
constexpr const char* kRequired[] = {"folder.db", "quota.db", "peruser.db", "subscr.db"};

}  // namespace

int resolve_snapshot_path(const char* value, const char* storedir, std::string* out) {
  if (!value || !*value) return ENOENT;
  if (strstr(value, "..")) return EINVAL;
  if (strlen(value) >= 975) return ENAMETOOLONG;
  std::string path;
  if (value[0] == '/') {
    path = value;
  } else {
    if (!storedir || !*storedir) return EINVAL;
    if (strlen(storedir) > 1021) return ENAMETOOLONG;
    path = std::string(storedir) + "/" + value;
    if (path.size() + 3 > 1024) return ENAMETOOLONG;
  }
  if (path.back() != '/') path += '/';
  *out = path;
  return 0;
}

namespace {

// A slot is an entry whose name is shorter than six characters.
bool slot_name(const char* name) {
  return strcmp(name, ".") != 0 && strcmp(name, "..") != 0 && strcmp(name, kLock) != 0 && strlen(name) < 6;
}

// Files a slot holds: databases and log files, never regions or DB_CONFIG.
bool slot_file(const std::string& name) {
  if (name.size() > 3 && name.compare(name.size() - 3, 3, ".db") == 0) return name.compare(0, 5, "__db.") != 0;
  return name.size() == 14 && name.compare(0, 4, "log.") == 0 &&
         name.find_first_not_of("0123456789", 4) == std::string::npos;
}

// The directory flush as an error code: 0 or the errno.
int flush_dir(const std::string& dir) { return sync_dir(dir.c_str()) == 0 ? 0 : errno ? errno : EIO; }

// Removes path and what it holds (one level of subdirectories is all a
// slot has).  A missing path is success.  0 or errno.
int remove_tree(const std::string& path, int depth = 0) {
  struct stat sb;
  if (lstat(path.c_str(), &sb) != 0) return errno == ENOENT ? 0 : errno;
  if (!S_ISDIR(sb.st_mode)) return fs_unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : errno;
  if (depth > 2) return ELOOP;
  {
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(path.c_str()), closedir);
    if (!d) return errno;
    while (dirent* e = readdir(d.get())) {
      if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
      if (int r = remove_tree(path + "/" + e->d_name, depth + 1)) return r;
    }
  }
  return rmdir(path.c_str()) == 0 || errno == ENOENT ? 0 : errno;
}

int current_lsn(DB_ENV* env, DB_LSN* lsn) {
  DB_LOG_STAT* st = nullptr;
  int r = env->log_stat(env, &st, 0);
  if (r != 0) return r;
  lsn->file = st->st_cur_file;
  lsn->offset = st->st_cur_offset;
  free(st);
  return 0;
}

// ---- The hot backup's output ----------------------------------------------

// One file Berkeley DB's backup writes.  Files that do not belong in a slot
// (and log files recovery of the copy does not need) are read and dropped.
struct OutFile {
  std::string name;
  bool keep = false;
  UniqueFd fd;
  long long size = 0;
  bool closed = false;
};

struct BackupCtx {
  std::string dir;                 // the slot being written, with '/'
  std::set<std::string> obsolete;  // log files before the checkpoint
  const std::atomic<bool>* cancel = nullptr;
  std::vector<std::unique_ptr<OutFile>> files;
  int error = 0;        // the first failure, for the log
  std::string failed;   // and the file it happened on
};

// The callbacks receive no argument of ours, so the take in progress is
// process-wide; g_take_mu keeps it to one at a time.
std::mutex g_take_mu;
BackupCtx* g_ctx = nullptr;

int note(BackupCtx* ctx, const std::string& file, int e) {
  if (!ctx->error) {
    ctx->error = e;
    ctx->failed = file;
  }
  return e;
}

int backup_open(DB_ENV*, const char* dbname, const char*, void** handle) noexcept {
  BackupCtx* ctx = g_ctx;
  if (!ctx || !dbname) return EINVAL;
  auto f = std::make_unique<OutFile>();
  const char* slash = strrchr(dbname, '/');
  f->name = slash ? slash + 1 : dbname;
  f->keep = slot_file(f->name) && !ctx->obsolete.count(f->name);
  if (f->keep) {
    std::string path = ctx->dir + f->name;
    f->fd = UniqueFd(fs_open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
    if (!f->fd) return note(ctx, f->name, errno ? errno : EIO);
  }
  *handle = f.get();
  ctx->files.push_back(std::move(f));
  return 0;
}

int backup_write(DB_ENV*, u_int32_t gbytes, u_int32_t bytes, u_int32_t size, u_int8_t* buf, void* handle) noexcept {
  BackupCtx* ctx = g_ctx;
  auto* f = static_cast<OutFile*>(handle);
  if (!ctx || !f) return EINVAL;
  if (ctx->cancel && ctx->cancel->load()) return note(ctx, f->name, ECANCELED);
  if (!f->keep) return 0;
  off_t off = static_cast<off_t>(gbytes) * 1073741824 + bytes;
  for (u_int32_t done = 0; done < size;) {
    ssize_t w = fs_pwrite(f->fd.get(), buf + done, size - done, off + done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return note(ctx, f->name, w < 0 ? errno : EIO);
    done += static_cast<u_int32_t>(w);
  }
  f->size = std::max<long long>(f->size, off + size);
  // Write-back starts now, while the next part is read, so the sync at the
  // file's close has less left to wait for.  Only a hint: the sync below is
  // what counts.
  (void)sync_file_range(f->fd.get(), off, size, SYNC_FILE_RANGE_WRITE);
  return 0;
}

int backup_close(DB_ENV*, const char*, void* handle) noexcept {
  BackupCtx* ctx = g_ctx;
  auto* f = static_cast<OutFile*>(handle);
  if (!ctx || !f) return EINVAL;
  if (f->keep && f->fd) {
    // Each file reaches the disk before the slot can be called complete; a
    // failed sync fails the take (never retried as if it had worked).
    if (sync_file(f->fd.get(), 2) != 0) return note(ctx, f->name, errno ? errno : EIO);
    struct stat sb;
    if (fstat(f->fd.get(), &sb) == 0) f->size = sb.st_size;
    if (close(f->fd.release()) != 0) return note(ctx, f->name, errno ? errno : EIO);
  }
  f->closed = true;
  return 0;
}

// Writes the manifest as dir/.snaptime, synced.  0 or errno.
int write_stamp(const std::string& dir, const std::string& text) {
  std::string path = dir + kStamp;
  UniqueFd fd(fs_open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
  if (!fd) return errno;
  if (retry_write(fd.get(), text.data(), text.size()) < 0 || sync_file(fd.get(), 2) != 0) return errno ? errno : EIO;
  if (close(fd.release()) != 0) return errno;
  return 0;
}

long long mtime_ns(const struct stat& sb) {
  return static_cast<long long>(sb.st_mtim.tv_sec) * 1000000000 + sb.st_mtim.tv_nsec;
}

// The writer's slots snap1..snap5 present in dir: (time in ns, name) of the
// complete ones, oldest first, and the names of incomplete ones.  Slots
// taken within one second are still told apart.
void writer_slots(const std::string& dir, std::vector<std::pair<long long, std::string>>* complete,
                  std::vector<std::string>* incomplete) {
  for (int i = 1; i <= kMaxSlots; ++i) {
    std::string name = "snap" + std::to_string(i);
    struct stat sb;
    if (lstat((dir + name).c_str(), &sb) != 0) continue;
    if (S_ISDIR(sb.st_mode) && stat((dir + name + "/" + kStamp).c_str(), &sb) == 0) {
      complete->emplace_back(mtime_ns(sb), name);
    } else {
      incomplete->push_back(name);
    }
  }
  std::sort(complete->begin(), complete->end());
}

// Takes a slot out of use: renamed first (one atomic step, so it never
// looks complete with files missing), then removed.
int retire(const std::string& dir, const std::string& name) {
  std::string del = dir + kDel;
  if (fs_rename((dir + name).c_str(), del.c_str()) != 0) return errno;
  if (int r = flush_dir(dir)) return r;
  return remove_tree(del);
}

int fail(const std::string& dir, const char* step, int r) {
  if (r != ECANCELED) {
    bvlog(0, LOG_STORE_ERR, "Mailbox list snapshot into %s failed (%s): %s", dir.c_str(), step,
          r > 0 ? strerror(r) : db_strerror(r));
  }
  return r;
}

}  // namespace

int snapshot_dir(std::string* dir) {
  const char* value = config_get_string(config_getdefaultcache(), "local.store.snapshotpath", nullptr);
  return resolve_snapshot_path(value, configmsg_get_storedir(), dir);
}

int snapshot_take(DB_ENV* env, const std::string& dir_in, const snapshot_params& params, snapshot_result* res) {
  if (!env || dir_in.empty()) return EINVAL;
  std::string dir = dir_in.back() == '/' ? dir_in : dir_in + "/";
  const int count = std::clamp(params.count, 1, kMaxSlots);
  std::lock_guard take(g_take_mu);

  DB_LSN lsn;
  if (int r = current_lsn(env, &lsn)) return fail(dir, "reading the log position", r);
  if (params.since && params.since->file == lsn.file && params.since->offset == lsn.offset) {
    return kSnapshotUnchanged;
  }
  if (make_dirs(dir.c_str(), 0700) != 0) return fail(dir, "creating the directory", errno);
  UniqueFd lockfd(fs_open((dir + kLock).c_str(), O_RDWR | O_CREAT, 0600));
  if (!lockfd) return fail(dir, "opening the lock file", errno);
  if (lock_flock_nonblocking(lockfd.get()) != 0) {
    return errno == EWOULDBLOCK ? kSnapshotBusy : fail(dir, "locking", errno);
  }
  // What a writer killed earlier left behind.
  if (int r = remove_tree(dir + kTmp)) return fail(dir, "removing an unfinished snapshot", r);
  if (int r = remove_tree(dir + kDel)) return fail(dir, "removing a retired snapshot", r);

  // The checkpoint bounds the log the copy needs: recovery of the slot
  // starts from it, so older log files stay out of the slot.
  int r = env->txn_checkpoint(env, 0, 0, DB_FORCE);
  if (r != 0) return fail(dir, "checkpoint", r);
  if ((r = current_lsn(env, &res->lsn)) != 0) return fail(dir, "reading the log position", r);
  BackupCtx ctx;
  ctx.dir = dir + kTmp + "/";
  ctx.cancel = params.cancel;
  char** logs = nullptr;
  if ((r = env->log_archive(env, &logs, 0)) != 0) return fail(dir, "listing old log files", r);
  if (logs) {
    for (char** p = logs; *p; ++p) ctx.obsolete.insert(*p);
    free(logs);
  }
  if (fs_mkdir((dir + kTmp).c_str(), 0700) != 0) return fail(dir, "creating .snaptmp", errno);
  // A take that fails leaves nothing behind (what a kill leaves, the next
  // take removes).
  struct Unfinished {
    std::string path;
    ~Unfinished() {
      if (!path.empty()) (void)remove_tree(path);
    }
  } unfinished{dir + kTmp};

  r = env->set_backup_callbacks(env, backup_open, backup_write, backup_close);
  if (r == 0) {
    g_ctx = &ctx;
    r = env->backup(env, (dir + kTmp).c_str(), DB_CREATE | DB_BACKUP_CLEAN | DB_BACKUP_SINGLE_DIR);
    g_ctx = nullptr;
  }
  if (r != 0 || ctx.error) {
    int e = ctx.error ? ctx.error : r;
    if (e == ECANCELED) return e;
    bvlog(0, LOG_STORE_ERR, "Mailbox list snapshot into %s failed copying %s: %s", dir.c_str(),
          ctx.failed.empty() ? "the environment" : ctx.failed.c_str(), e > 0 ? strerror(e) : db_strerror(e));
    return e;
  }
  // The manifest, and a check that the copy is whole.
  std::ostringstream manifest;
  std::set<std::string> names;
  res->bytes = 0;
  for (const auto& f : ctx.files) {
    if (!f->keep) continue;
    if (!f->closed) return fail(dir, ("copying " + f->name).c_str(), EIO);
    manifest << f->name << ' ' << f->size << '\n';
    names.insert(f->name);
    res->bytes += f->size;
  }
  for (const char* need : kRequired) {
    if (!names.count(need)) return fail(dir, (std::string("copying ") + need + ": not in the environment").c_str(), ENOENT);
  }
  if (params.cancel && params.cancel->load()) return ECANCELED;
  // Every file is synced; the directory entries next, and only then the
  // stamp that makes the slot complete.
  if ((r = flush_dir(ctx.dir)) != 0) return fail(dir, "syncing .snaptmp", r);
  if ((r = write_stamp(ctx.dir, manifest.str())) != 0) return fail(dir, "writing .snaptime", r);
  if ((r = flush_dir(ctx.dir)) != 0) return fail(dir, "syncing .snaptmp", r);

  std::vector<std::pair<long long, std::string>> complete;
  std::vector<std::string> incomplete;
  writer_slots(dir, &complete, &incomplete);
  for (const auto& name : incomplete) {
    if ((r = retire(dir, name)) != 0) return fail(dir, ("removing the incomplete slot " + name).c_str(), r);
  }
  for (size_t i = 0; i + count <= complete.size(); ++i) {
    if ((r = retire(dir, complete[i].second)) != 0) {
      return fail(dir, ("retiring " + complete[i].second).c_str(), r);
    }
  }
  std::string slot;
  for (int i = 1; i <= kMaxSlots && slot.empty(); ++i) {
    std::string name = "snap" + std::to_string(i);
    struct stat sb;
    if (lstat((dir + name).c_str(), &sb) != 0 && errno == ENOENT) slot = name;
  }
  if (slot.empty()) return fail(dir, "finding a free slot", EEXIST);
  if (fs_rename((dir + kTmp).c_str(), (dir + slot).c_str()) != 0) return fail(dir, "renaming .snaptmp", errno);
  unfinished.path.clear();
  if ((r = flush_dir(dir)) != 0) return fail(dir, "syncing the directory", r);
  struct stat sb;
  res->slot = slot;
  res->time = stat((dir + slot + "/" + kStamp).c_str(), &sb) == 0 ? sb.st_mtime : time(nullptr);
  bvlog(0, LOG_STORE_NOTICE, "Mailbox list snapshot taken into %s%s (%lld bytes)", dir.c_str(), slot.c_str(),
        res->bytes);
  return 0;
}

int snapshot_remove_logs(const std::string& dir) {
  if (dir.empty()) return mboxlist_checkpoint300();
  UniqueFd fd(fs_open((dir + "/" + kLock).c_str(), O_RDWR));
  // Without a lock file no snapshot was ever started there.
  if (!fd) return mboxlist_checkpoint300();
  if (lock_flock_nonblocking(fd.get()) != 0) {
    if (errno != EWOULDBLOCK) return mboxlist_checkpoint300();
    bvlog(0, LOG_STORE_DEBUG, "Log removal skipped: a snapshot of the mailbox list is being taken");
    return 1;
  }
  // Held while removing, so a snapshot starting now waits for the next round.
  int r = mboxlist_checkpoint300();
  (void)lock_flock_unlock(fd.get());
  return r;
}

int snapshot_list(const std::string& dir_in, std::vector<snapshot_slot>* slots) {
  std::string dir = dir_in.empty() || dir_in.back() == '/' ? dir_in : dir_in + "/";
  slots->clear();
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
  if (!d) return errno;
  while (dirent* e = readdir(d.get())) {
    if (!slot_name(e->d_name) && strcmp(e->d_name, kTmp) != 0) continue;
    snapshot_slot s;
    s.name = e->d_name;
    std::string base = dir + s.name + "/";
    struct stat sb;
    if (s.name == kTmp) {
      s.problem = "being written, or left by a writer that was stopped";
    } else if (stat((dir + s.name).c_str(), &sb) != 0 || !S_ISDIR(sb.st_mode)) {
      s.problem = "not a directory";
    } else if (stat((base + kStamp).c_str(), &sb) != 0) {
      s.problem = "no .snaptime";
    } else {
      s.time = sb.st_mtime;
      s.time_ns = mtime_ns(sb);
      // The manifest: every file at its size.  A stamp without one (made by
      // hand) is taken as it is.
      std::string text;
      if (sb.st_size > 0 && sb.st_size < (1 << 20)) {
        UniqueFd fd(open((base + kStamp).c_str(), O_RDONLY | O_CLOEXEC));
        text.resize(static_cast<size_t>(sb.st_size));
        if (!fd || read(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
          s.problem = "unreadable .snaptime";
        }
      }
      std::istringstream in(text);
      std::string name;
      long long size;
      while (s.problem.empty() && in >> name >> size) {
        struct stat fb;
        if (stat((base + name).c_str(), &fb) != 0) {
          s.problem = name + " missing";
        } else if (fb.st_size != size) {
          s.problem = name + " has " + std::to_string(fb.st_size) + " bytes, not " + std::to_string(size);
        }
      }
      s.complete = s.problem.empty();
    }
    slots->push_back(std::move(s));
  }
  std::sort(slots->begin(), slots->end(), [](const snapshot_slot& a, const snapshot_slot& b) {
    if (a.complete != b.complete) return a.complete;
    if (a.complete && a.time_ns != b.time_ns) return a.time_ns > b.time_ns;
    return a.name < b.name;
  });
  return 0;
}
