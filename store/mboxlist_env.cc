// The mailbox list environment: process start, key order, maintenance,
// session lock and shutdown.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/bvlog.h"
#include "common/config.h"
#include "common/fileio.h"
#include "common/imap_err.h"
#include "common/lock.h"
#include "common/service.h"
#include "common/unique_fd.h"
#include "store/mboxlist.h"
#include "store/mboxlist_internal.h"
#include "store/msgtype.h"
#include "store/storestartup.h"

#if defined(__SANITIZE_ADDRESS__)
// libdb 5.3 drops a buffer of its own when a log write fails (a put or
// delete whose page carries a log position past the end of the log): the
// log record __log_put_record builds, in any database.  Nothing of it ever
// reaches the caller, so there is nothing to free here.  libdb is built
// without frame pointers, so the leak checker of sanitized builds sees no
// caller above its internal allocator and can only be told to let that
// allocator's buffers pass.  What libdb hands to the caller (DBTs with
// DB_DBT_MALLOC or DB_DBT_REALLOC, statistics, log lists) comes from
// __os_umalloc and is still checked; tests/lost_log_e2e.sh fails a write of
// each kind with leak checking on.
extern "C" const char* __lsan_default_suppressions() { return "leak:__os_malloc\nleak:__os_realloc\n"; }
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }
#endif

namespace {

// Process-wide state: one environment per process, shared by its threads.
struct MboxlistState {
  std::mutex mu;  // guards start-up and shutdown
  enum class Init { never, ok, failed } init = Init::never;
  DB_ENV* env = nullptr;
  std::string lockfile;  // the folder creation lock file
  DB* mbl = nullptr;
  DB* quotadb = nullptr;
  DB* subsdb = nullptr;
  DB* peruserdb = nullptr;
  DB* lrightdb = nullptr;
  std::string mboxlistdir;  // "<store>/mboxlist/"
  std::string cachedir;     // store.dbtmpdir, empty when unset
  u_int32_t do_recovery = 0;
  bool dont_check_stored = false;
  bool do_final_checkpoint = false;
  bool db_memp_fsync = false;
  bool log_nosync = false;  // commits leave the log unsynced (below level 2)
  bool atexit_registered = false;
  bool guard_started = false;
  int sessionlockfd = -1;
  std::string sessionlockfile;
  long last_catastrophic_event = 0;
  time_t last_catastrophic_check = 0;
};

MboxlistState& st() {
  static MboxlistState s;
  return s;
}

mboxlist_fatal_handler g_fatal = nullptr;

// Ends the process on a start-up failure; a test handler may return instead,
// and start-up then reports failure.  The exit handlers are not run: start-up
// holds the state's mutex, which mboxlist_close (one of them) would wait on
// for ever, and a failed environment is better left alone than closed.
void fatal(int status) {
  if (g_fatal) {
    g_fatal(status);
    return;
  }
  bvlog_close();
  fflush(nullptr);
  _exit(status);
}

const char kNotReady[] =
    "Unable to verify start of store daemon (stored). The store daemon process must be running and the "
    "initialization must be finished before this process starts. If the store daemon is running, do not restart "
    "it; wait until it has finished initializing, then start this process again. If the store daemon is not "
    "running, please start it.\n";

void mboxlist_err(const DB_ENV*, const char*, const char* msg) {
  bvlog(0, LOG_STORE_WRITEFAIL, "Mailbox database error: %s", msg);
}

// Berkeley DB's informational messages: what failchk released or aborted
// for a process that died.
void mboxlist_msg(const DB_ENV*, const char* msg) { bvlog(0, LOG_STORE_NOTICE, "Mailbox database: %s", msg); }

// Whether a process that used the environment still runs, for failchk.  A
// zombie has died: its locks will never be released by it, and it may stay
// unreaped for long (a parent busy elsewhere).  Threads die only with their
// process here, so the thread id is not consulted.
//
// failchk asks once per thread-table entry, mostly about the same few
// processes (every thread of the daemon): within one check the answer for
// a pid is remembered.
thread_local std::vector<std::pair<pid_t, int>>* t_alive_seen = nullptr;

int process_alive(pid_t pid) {
  if (kill(pid, 0) != 0 && errno == ESRCH) return 0;
  char path[64];
  snprintf(path, sizeof path, "/proc/%ld/stat", static_cast<long>(pid));
  UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return errno == ENOENT ? 0 : 1;
  char buf[512];
  ssize_t n = read(fd.get(), buf, sizeof buf - 1);
  if (n <= 0) return 1;
  buf[n] = 0;
  // "pid (comm) S ...": the state follows the last ')'.
  const char* p = strrchr(buf, ')');
  if (!p || p[1] != ' ') return 1;
  return p[2] == 'Z' || p[2] == 'X' ? 0 : 1;
}

int mboxlist_isalive(DB_ENV*, pid_t pid, db_threadid_t, u_int32_t) {
  if (pid == getpid()) return 1;
  if (!t_alive_seen) return process_alive(pid);
  for (const auto& [p, alive] : *t_alive_seen)
    if (p == pid) return alive;
  int alive = process_alive(pid);
  t_alive_seen->emplace_back(pid, alive);
  return alive;
}

// One failchk, with the answers of mboxlist_isalive remembered for it.
int failchk_once(DB_ENV* env) {
  std::vector<std::pair<pid_t, int>> seen;
  t_alive_seen = &seen;
  int r = env->failchk(env, 0);
  t_alive_seen = nullptr;
  return r;
}

// Every handle on either environment keeps a thread table and an is-alive
// check, so that failchk (run by the store daemon and at every open) can
// abort the transactions and free the locks of a process that was killed.
// The count only sizes the table; more threads still join.
constexpr u_int32_t kThreadCount = 1000;

// Set once the library reports the environment panicked (in this process
// or, noticed here, in another one): it can then no longer be closed, as
// closing waits on the mutexes a dead process holds.
std::atomic<bool> g_env_panicked{false};

void mboxlist_event(DB_ENV*, u_int32_t event, void*) noexcept {
  if (event == DB_EVENT_PANIC || event == DB_EVENT_REG_PANIC) g_env_panicked = true;
}

void set_failchk_support(DB_ENV* env) {
  env->set_thread_count(env, kThreadCount);
  env->set_isalive(env, mboxlist_isalive);
  env->set_msgcall(env, mboxlist_msg);
  env->set_event_notify(env, mboxlist_event);
}

// Runs failchk with the environment's check lock held.  failchk frees what
// dead processes left in the lock region; two processes doing that at once
// free the same locker twice and crash inside the library (kills under load
// showed it), so every process takes the exclusive lock of
// "<home>/failchk.lock" first.  A client waits at most about a second and
// otherwise skips its check (the daemon's own comes within seconds); the
// daemon waits up to ten seconds, then checks regardless, as a check that
// never runs is worse.  An unusable lock file is no reason to skip it.
int failchk_locked(DB_ENV* env, const std::string& home, bool client) {
  UniqueFd fd(fs_open((home + "/failchk.lock").c_str(), O_RDWR | O_CREAT, 0600));
  bool held = false;
  if (fd) {
    const int tries = client ? 10 : 100;
    for (int i = 0; i < tries && !held; ++i) {
      held = lock_nonblocking(fd.get()) == 0;
      if (!held) {
        struct timespec ts = {0, 100 * 1000 * 1000};
        nanosleep(&ts, nullptr);
      }
    }
    if (!held && client) return 0;
  }
  int r = failchk_once(env);
  if (held) lock_unlock(fd.get());
  return r;
}

std::string home_dir(const MboxlistState& s) {
  if (!s.cachedir.empty()) return s.cachedir;
  std::string d = s.mboxlistdir;
  if (!d.empty() && d.back() == '/') d.pop_back();
  return d;
}

// Handles of an environment that cannot be closed (a process died inside
// the library holding its mutexes) stay allocated and reachable for the
// rest of the process.
void keep_forever(void* handle) {
  static std::mutex mu;
  static auto* kept = new std::vector<void*>;
  std::lock_guard lk(mu);
  kept->push_back(handle);
}

// 0; -1, or -2 when the environment needs recovery.  *dberr (may be null)
// receives the library's result.
int open_env(MboxlistState& s, u_int32_t flags, bool nosync, const std::string& dir, int* dberr = nullptr) {
  DB_ENV* env = nullptr;
  int r = db_env_create(&env, 0);
  if (dberr) *dberr = r;
  if (r != 0) {
    bvlog(0, LOG_STORE_ERR, "Unable to create mboxlist database environment: %s", db_strerror(r));
    return -1;
  }
  config_cache* cfg = config_getdefaultcache();
  env->set_errcall(env, mboxlist_err);
  env->set_errpfx(env, "mboxlist");
  env->set_cachesize(env, 0, static_cast<u_int32_t>(config_get_int(cfg, "store.dbcachesize", 8388608)), 1);
  env->set_lg_max(env, 10485760);
  // Deadlocks are broken at the lock request that closes the cycle.  The
  // daemon's periodic detector alone left deliveries, renames and
  // reconstructs waiting on each other for good under load, so this is on
  // unless turned off.
  if (config_get_switch(cfg, "local.store.deadlock.autodetect", 1)) env->set_lk_detect(env, DB_LOCK_OLDEST);
  // The older release's single lock limit is three limits in the release we
  // link (locks, lockers, objects); all get the same value.
  env->set_lk_max_locks(env, 50000);
  env->set_lk_max_lockers(env, 50000);
  env->set_lk_max_objects(env, 50000);
  env->set_tx_max(env, 10000);
  env->set_alloc(env, malloc, realloc, free);
  set_failchk_support(env);
  // The region files are written out in full when the environment is
  // created: a sparse region on a file system that then fills up would
  // kill the process with SIGBUS at its next page fault, where a full disk
  // at creation is a plain error.  A process joining finds them whole and
  // faults in only the pages it uses (touching all 30 MB cost a delivery about
  // a sixth of its CPU).
  if (flags & DB_CREATE) env->set_flags(env, DB_REGION_INIT, 1);
  // Below level 2 a commit writes the log to the file system without
  // syncing it: a process killed right after a delivery was acknowledged
  // keeps the delivery (only a crash of the whole machine can take it),
  // where a log left in memory would be lost to the next recovery.
  if (nosync) env->set_flags(env, DB_TXN_WRITE_NOSYNC, 1);
  r = env->open(env, dir.c_str(), flags, 0);
  if (dberr) *dberr = r;
  if (r != 0) {
    bvlog(0, LOG_STORE_ERR, "Unable to open mboxlist database environment %s: %s", dir.c_str(), db_strerror(r));
    env->close(env, 0);
    // A panicked environment is the daemon's to recover, as below.
    return r == DB_RUNRECOVERY ? -2 : -1;
  }
  // A process that died inside a transaction since the daemon's last
  // check still holds its locks: release them before doing any work.
  // (The check may also report a mutex of the dead process it could not
  // destroy; only a need for recovery stops the open.)
  r = failchk_locked(env, dir, !s.dont_check_stored);
  if (r == DB_RUNRECOVERY) {
    if (dberr) *dberr = r;
    bvlog(0, LOG_STORE_ERR, "Mailbox list environment %s needs recovery: %s", dir.c_str(), db_strerror(r));
    // Not closed: closing a panicked environment may wait on the dead
    // process's mutexes, and frees only part of the handle.  The process
    // gives up on the mailbox list, so the handle is simply kept.
    keep_forever(env);
    return -2;
  }
  s.env = env;
  return 0;
}

int open_db(DB_ENV* env, const char* file, u_int32_t pagesize, DB** out, const char* what, int priority) {
  DB* db = nullptr;
  int r = db_create(&db, env, 0);
  if (r == 0) {
    db->set_pagesize(db, pagesize);
    db->set_bt_compare(db, key_compare);
    db->set_bt_prefix(db, key_prefix);
    r = db->open(db, nullptr, file, nullptr, DB_BTREE, DB_AUTO_COMMIT | DB_THREAD | DB_CREATE, 0600);
  }
  if (r != 0) {
    errno = r > 0 ? r : EIO;
    bvlog(0, priority, "Unable to open %s database: %s", what, db_strerror(r));
    if (db) db->close(db, 0);
    return r;
  }
  *out = db;
  return 0;
}

// The folder creation lock: a file of byte locks in the "folderlock"
// directory of the home (store/mboxlist.h).  Older stores kept a lock-only
// Berkeley DB environment there, whose locks outlived a killed holder; the
// daemon's start removes its region files.
int open_lockfile(MboxlistState& s) {
  std::string dir = home_dir(s) + "/folderlock";
  if (s.do_recovery) {
    if (access(dir.c_str(), F_OK) == 0) {
      DB_ENV* env = nullptr;
      int r = db_env_create(&env, 0);
      if (r == 0) r = env->remove(env, dir.c_str(), DB_FORCE);  // consumes the handle
      if (r != 0 && r != ENOENT) {
        bvlog(0, LOG_STORE_ERR, "Unable to create mboxlock database environment: %s", db_strerror(r));
        return -1;
      }
    }
    if (make_dirs(dir.c_str(), 0700) != 0) {
      bvlog(0, bvlog_priority(0, LOG_SEV_CRIT), "mboxlist_init: cannot create mboxlock tmpdir: %s", strerror(errno));
      return -1;
    }
  }
  std::string path = dir + "/locks";
  UniqueFd fd(fs_open(path.c_str(), O_RDWR | O_CREAT, 0600));
  if (!fd) {
    bvlog(0, LOG_STORE_ERR, "Unable to open mboxlock file %s: %m", path.c_str());
    return -1;
  }
  s.lockfile = path;
  return 0;
}

// When the region files live apart (store.dbtmpdir), DB_CONFIG in the home
// sends data and log files back to the mailbox list directory.
int write_db_config(const MboxlistState& s) {
  std::string path = s.cachedir + "/DB_CONFIG";
  std::string text = "set_data_dir " + s.mboxlistdir + "\nset_lg_dir " + s.mboxlistdir + "\n";
  std::string tmp = path + ".new";
  int fd = fs_open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return -1;
  bool ok = retry_write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && sync_file(fd, 1) == 0;
  close(fd);
  if (!ok || fs_rename(tmp.c_str(), path.c_str()) != 0) {
    fs_unlink(tmp.c_str());
    return -1;
  }
  return 0;
}

// Recovery builds the regions anew.  The old region files are unlinked
// first, so the new ones are new files: a client still mapping the old
// ones keeps valid (if dead) memory instead of a file truncated under it
// (SIGBUS), and its guard sees the replacement.
void unlink_regions(const std::string& home) {
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(home.c_str()), closedir);
  if (!d) return;
  while (dirent* e = readdir(d.get())) {
    // The check lock goes too: a thread of the old environment may be stuck
    // inside its check (on a mutex of a dead process), holding it for ever.
    if (strncmp(e->d_name, "__db.", 5) != 0 && strcmp(e->d_name, "failchk.lock") != 0) continue;
    std::string path = home + "/" + e->d_name;
    if (fs_unlink(path.c_str()) != 0 && errno != ENOENT) {
      bvlog(0, LOG_STORE_WRITEFAIL, "Unable to remove region file %s: %m", path.c_str());
    }
  }
}

int parse_listrecover(const char* v) {
  static const char* const names[] = {"AlwaysFolderDB",      "AlwaysPartition",         "TestPartition",
                                      "TestPartitionInsert", "TestPartitionInsertFull", "TestPreRecover"};
  if (!v) return 0;
  for (int i = 0; i < 6; ++i) {
    if (strcasecmp(v, names[i]) == 0) return i + 1;
  }
  return 0;
}

void close_all_locked(MboxlistState& s);

// A client's guard against waiting for ever in an environment that has
// been replaced.  When a process dies inside the library (holding one of
// its mutexes), the store daemon rebuilds the environment: recovery
// removes the region files and creates new ones, and a daemon started
// anew after a crash does the same.  A client still waiting on a mutex or
// lock of the old regions would never be woken; this thread sees the
// first region file replaced and ends the process with the
// temporary-failure status instead, as if it had been killed at that
// instant (which the store survives).  _exit, not exit: the exit handlers
// would close the environment and wait on the very mutex the main thread
// is stuck on.
// Counts the closes of this process's environment: a guard belongs to the
// environment joined when it started and ends once that one is closed.
std::atomic<unsigned> g_env_generation{0};

// A client reading a region the store daemon is rebuilding (it was killed
// and started again, or recovery raced the client's join) faults with
// SIGBUS on the pages past the new file's end.  Whatever the client was
// doing was not acknowledged: it ends with the temporary-failure status, as
// the guard below would a moment later, never with a crash an MTA takes
// for a permanent failure.  Only async-signal-safe calls here.
extern "C" void mboxlist_sigbus(int) {
  static const char msg[] =
      "The mailbox list environment changed under this process (store daemon restarted); try again later\n";
  (void)!write(2, msg, sizeof msg - 1);
  _exit(75);
}

void start_client_guard(const std::string& home) {
  struct sigaction sa = {};
  sa.sa_handler = mboxlist_sigbus;
  sigemptyset(&sa.sa_mask);
  (void)sigaction(SIGBUS, &sa, nullptr);
  std::string region = home + "/__db.001";
  struct stat joined;
  if (stat(region.c_str(), &joined) != 0) return;
  unsigned generation = g_env_generation.load();
  std::string daemon_state = service_state_file("stored");
  std::thread([region, joined, generation, daemon_state] {
    int strikes = 0;
    for (unsigned tick = 1;; ++tick) {
      struct timespec ts = {0, 200 * 1000 * 1000};
      nanosleep(&ts, nullptr);
      if (g_env_generation.load() != generation) return;
      // The daemon gone (killed, or stopped): its successor's recovery
      // will read the same log this process writes, so nothing may be
      // written any more, nor undone as if it had failed.  Checked five
      // times a second, so that a restarted daemon finds every client gone
      // before it recovers (it waits for their session locks).
      if (!daemon_state.empty() && !service_running_at(daemon_state)) {
        bvlog(0, bvlog_priority(0, LOG_SEV_ERR), "The store daemon stopped; stopping (try again later)");
        _exit(75);
      }
      if (tick % 5 != 0) continue;
      struct stat now;
      bool replaced = stat(region.c_str(), &now) != 0 ? errno == ENOENT
                                                       : now.st_ino != joined.st_ino || now.st_dev != joined.st_dev;
      // Two looks a second apart: a region caught between removal and
      // re-creation, or a slow recovery, counts once it stays replaced.
      strikes = replaced ? strikes + 1 : 0;
      if (strikes >= 2) {
        bvlog(0, bvlog_priority(0, LOG_SEV_ERR),
              "The mailbox list environment was rebuilt by the store daemon; stopping (try again later)");
        _exit(75);
      }
    }
  }).detach();
}

// The first error of the library's own file calls since the start of an
// open attempt that says the environment, not the databases, is at fault.
// Recovery that cannot open or write a file panics and reports only
// DB_RUNRECOVERY, which would otherwise pass for damage and lead on to
// repairs that move the databases aside: a permission problem or a full
// disk must fail the start instead, with every file left as it is.
std::atomic<int> g_env_fault{0};

void note_fault(int e) {
  int none = 0;
  if (storestartup_environmental(e)) g_env_fault.compare_exchange_strong(none, e);
}

// The library's opens go through the file seam like the store's own, so a
// test can fail them (a permission error at start-up, say) the same way.
int seam_open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & O_CREAT) {
    va_list ap;
    va_start(ap, flags);
    mode = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
  }
  int fd = fs_open(path, flags, mode);
  if (fd < 0) note_fault(errno);
  return fd;
}

// Its page writes are only watched (the seam's write faults are meant for
// the store's own files).  Its plain writes (the log) are left alone: with
// a write function of the application's, the library gives up positioned
// I/O altogether.
ssize_t watched_pwrite(int fd, const void* buf, size_t n, off_t off) {
  ssize_t r = pwrite(fd, buf, n, off);
  if (r < 0) note_fault(errno);
  return r;
}

// A log write that failed for lack of room is not seen above; a file
// system this nearly full is taken as the cause of a failed open instead.
bool nearly_full(const std::string& dir) {
  struct statvfs sv;
  if (statvfs(dir.c_str(), &sv) != 0) return false;
  return static_cast<unsigned long long>(sv.f_bavail) * sv.f_frsize < 16ULL * 1024 * 1024;
}

// The cause of a failed open attempt: an error of the system noted on the
// way, else err.
int open_failure(const MboxlistState& s, int err) {
  if (int e = g_env_fault.exchange(0)) return e;
  if (nearly_full(s.mboxlistdir) || (!s.cachedir.empty() && nearly_full(s.cachedir))) return ENOSPC;
  return err;
}

struct RecoveryOpen {
  MboxlistState* s;
  u_int32_t flags;
  bool nosync;
};

// Checks a database file before the start opens it: a damaged page found
// now is repaired (store/storestartup.h) instead of losing a user's folders
// or quotas later.  Only while no other process uses the environment, as
// verification takes no locks.  0, or the library's result.
int verify_db(MboxlistState& s, const char* file) {
  if (access((s.mboxlistdir + file).c_str(), F_OK) != 0) return 0;  // the open creates it
  DB* db = nullptr;
  int r = db_create(&db, s.env, 0);
  if (r != 0) return r;
  // Key order is checked with the order the trees were built in.
  db->set_bt_compare(db, key_compare);
  db->set_bt_prefix(db, key_prefix);
  r = db->verify(db, file, nullptr, nullptr, 0);  // consumes the handle
  if (r != 0) bvlog(0, bvlog_priority(0, LOG_SEV_CRIT), "Database startup: %s fails verification: %s", file,
                    db_strerror(r));
  return r;
}

// The open of phase III: the environment with recovery, then the
// databases.  On failure everything opened is closed again.
int recovery_open(u_int32_t recover, startup_stage* stage, void* arg) {
  auto* ro = static_cast<RecoveryOpen*>(arg);
  MboxlistState& s = *ro->s;
  constexpr int crit = bvlog_priority(0, LOG_SEV_CRIT);
  std::string home = home_dir(s);
  unlink_regions(home);
  *stage = startup_stage::environment;
  g_env_fault = 0;
  int err = 0;
  if (open_env(s, ro->flags | recover, ro->nosync, home, &err) != 0) {
    bvlog(0, crit, "Database startup: Could not open database environment  errno = %d  %d", err > 0 ? err : 0, err);
    return open_failure(s, err ? err : EIO);
  }
  *stage = startup_stage::database;
  std::vector<std::string> clients;
  bool alone = storestartup_attached_clients(&clients) == 0 && clients.empty();
  static const struct {
    const char* file;
    u_int32_t pagesize;
    DB* MboxlistState::*handle;
    const char* what;
    const char* failed;
  } dbs[] = {{"folder.db", 4096, &MboxlistState::mbl, "mboxlist", "Could not open folder database"},
             {"quota.db", 512, &MboxlistState::quotadb, "quota", "Could not open quota database"},
             {"subscr.db", 4096, &MboxlistState::subsdb, "subscription", "Could not open subscription database"},
             {"peruser.db", 4096, &MboxlistState::peruserdb, "peruser", "Could not open peruser database"}};
  for (const auto& d : dbs) {
    int r = alone ? verify_db(s, d.file) : 0;
    if (r == 0) r = open_db(s.env, d.file, d.pagesize, &(s.*d.handle), d.what, LOG_STORE_ERR);
    if (r != 0) {
      bvlog(0, crit, "%s", d.failed);
      close_all_locked(s);
      return open_failure(s, r);
    }
  }
  // Shared-folder lists are an extra that can be rebuilt: their failure is
  // logged, never a reason to repair the store.
  if (open_db(s.env, "lright.db", 4096, &s.lrightdb, "lright", LOG_STORE_WRITEFAIL) != 0) {
    bvlog(0, crit, "Could not open lright database");
  }
  return 0;
}

// Start-up proper.  0 on success; a fatal condition calls fatal() and
// returns -1 when a test handler lets it return.
int initactual(MboxlistState& s) {
  config_cache* cfg = config_getdefaultcache();
  if (configmsg_setuid() != 0) {
    bvlog(0, bvlog_priority(0, LOG_SEV_CRIT), "Cannot setuid to the serveruid");
    fatal(78);
    return -1;
  }
  if (!s.dont_check_stored) {
    if (!store_session_ready_test("stored")) {
      bvlog(0, bvlog_priority(0, LOG_SEV_CRIT), "%s", kNotReady);
      fputs(kNotReady, stderr);
      fatal(75);
      return -1;
    }
    if (mboxlist_session_lock() < 0) {
      bvlog(0, bvlog_priority(0, LOG_SEV_CRIT), "Cannot create session lock");
      fatal(75);
      return -1;
    }
  }
  if (!s.atexit_registered) {
    atexit(mboxlist_close);
    s.atexit_registered = true;
  }
  (void)imap_InitializePRErrorTable();
  if (config_get_switch(cfg, "local.watcher.enable", 0)) (void)register_with_watcher();

  const char* storedir = configmsg_get_storedir();
  if (!storedir) {
    bvlog(0, bvlog_priority(0, LOG_SEV_CRIT), "mboxlist storedir path not found");
    fatal(78);
    return -1;
  }
  if (strlen(storedir) >= 1022) {
    bvlog(0, bvlog_priority(0, LOG_SEV_CRIT), "mboxlist storedir length too long");
    fatal(78);
    return -1;
  }
  if (strlen(storedir) + strlen("/mboxlist/") > 1022) {
    bvlog(0, bvlog_priority(0, LOG_SEV_CRIT), "mboxlist storedir length is too long");
    fatal(78);
    return -1;
  }
  s.mboxlistdir = std::string(storedir) + "/mboxlist/";
  const char* tmpdir = config_get_string(cfg, "store.dbtmpdir", "");
  s.cachedir = tmpdir ? tmpdir : "";

  long eve = 0;
  int r = configmsg_readstoredfile("eve", &eve);
  if (r == 0) {
    s.last_catastrophic_event = eve;
  } else if (r != ENOENT) {
    bvlog(0, LOG_STORE_ERR, "mboxlist_init: Error reading last event file errno = %d", r);
  }
  s.last_catastrophic_check = time(nullptr);

  static std::once_flag seam_once;
  std::call_once(seam_once, [] {
    (void)db_env_set_func_open(seam_open);
    (void)db_env_set_func_pwrite(watched_pwrite);
  });
  u_int32_t flags = DB_INIT_LOCK | DB_INIT_LOG | DB_INIT_MPOOL | DB_INIT_TXN | DB_THREAD;
  // Commits force the log to disk only from level 2 on.  (The no-sync bit
  // shares its value with DB_CREATE in the release we link, so it travels
  // apart from the open flags and is set on the handle.)
  bool nosync = config_get_int(cfg, "local.dbtxnsync", 0) < 2;
  s.log_nosync = nosync;

  if (s.do_recovery) {
    // The start-up analysis (phase I), the repairs it calls for (phase II)
    // and the open with recovery (phase III, which may repair further):
    // store/storestartup.h.
    flags |= DB_CREATE;
    if (storestartup_phaseI(s.mboxlistdir.c_str(), s.cachedir.c_str()) != 0) {
      bvlog(0, LOG_STORE_ERR, "mboxlist_init: Error analysing mboxlist database errno = %d  (%d)", errno, -1);
      fatal(1);
      return -1;
    }
    if ((!s.cachedir.empty() && write_db_config(s) != 0) || storestartup_phaseII() != 0) {
      bvlog(0, LOG_STORE_ERR, "mboxlist_init: Error attempting to bring up store  errno = %d  (%d)", errno,
            storestartup_db_state());
      fatal(1);
      return -1;
    }
    RecoveryOpen ro{&s, flags, nosync};
    int r3 = storestartup_phaseIII(recovery_open, &ro);
    // A repair records its time: this process's view of it is current too.
    if (configmsg_readstoredfile("eve", &eve) == 0) s.last_catastrophic_event = eve;
    if (r3 != 0) {
      bvlog(0, LOG_STORE_ERR, "Unable to bring the message store up.  Analyse installation and configuration.");
      return -1;
    }
  } else {
    // The guard watches from before the open: joining can itself wait on a
    // mutex of a process that died inside the library.
    if (!s.dont_check_stored && !s.guard_started) {
      start_client_guard(home_dir(s));
      s.guard_started = true;
    }
    if (int o = open_env(s, flags, nosync, home_dir(s)); o != 0) {
      if (o == -2) {
        // A process died inside the library: the daemon's next check
        // recovers the environment; the caller may try again then.
        fatal(75);
        return -1;
      }
      // A daemon that stopped being ready meanwhile is rebuilding the
      // environment (its region files come and go): try again later.
      fatal(store_session_ready_test("stored") ? 1 : 75);
      return -1;
    }
    int dr = open_db(s.env, "folder.db", 4096, &s.mbl, "mboxlist", LOG_STORE_ERR);
    if (dr == 0) dr = open_db(s.env, "quota.db", 512, &s.quotadb, "quota", LOG_STORE_WRITEFAIL);
    if (dr == 0) dr = open_db(s.env, "subscr.db", 4096, &s.subsdb, "subscription", LOG_STORE_WRITEFAIL);
    if (dr == 0) dr = open_db(s.env, "peruser.db", 4096, &s.peruserdb, "peruser", LOG_STORE_WRITEFAIL);
    if (dr != 0) {
      // The environment panicked while this client joined it (a process
      // died inside the library): the daemon's next check recovers it.
      // Its handles are left alone, as closing may wait on the dead
      // process.
      if (dr == DB_RUNRECOVERY || g_env_panicked) {
        fatal(75);
        return -1;
      }
      close_all_locked(s);
      fatal(1);
      return -1;
    }
    // Shared-folder lists are an extra; the store works without them.
    (void)open_db(s.env, "lright.db", 4096, &s.lrightdb, "lright", LOG_STORE_WRITEFAIL);
  }

  if (open_lockfile(s) != 0) {
    close_all_locked(s);
    fatal(1);
    return -1;
  }
  // The message-type plug-in: one that cannot be loaded is logged and left
  // out; a flag name that is not an atom stops the process.
  if (msgtype_init(cfg) != 0) {
    close_all_locked(s);
    fatal(1);
    return -1;
  }
  s.do_final_checkpoint = config_get_switch(cfg, "local.store.finalcheckpoint", 0) != 0;
  s.db_memp_fsync = config_get_switch(cfg, "local.store.dbsync", 0) != 0;
  return 0;
}

// Lets go of the environment without closing it: the handles are kept
// (keep_forever) and the state forgets them.
void keep_handles(MboxlistState& s) {
  for (void* h : {static_cast<void*>(s.env), static_cast<void*>(s.mbl), static_cast<void*>(s.quotadb),
                  static_cast<void*>(s.subsdb), static_cast<void*>(s.peruserdb), static_cast<void*>(s.lrightdb)}) {
    if (h) keep_forever(h);
  }
  s.env = nullptr;
  s.mbl = s.quotadb = s.subsdb = s.peruserdb = s.lrightdb = nullptr;
  s.lockfile.clear();
}

void close_db(DB*& db, bool sync) {
  if (db) db->close(db, sync ? 0 : DB_NOSYNC);
  db = nullptr;
}

void close_all_locked(MboxlistState& s) {
  msgtype_shutdown();
  if (g_env_panicked) {
    // The handles are kept instead: see g_env_panicked.
    keep_handles(s);
    g_env_panicked = false;  // a later environment starts afresh
    return;
  }
  // Below level 2 every commit has already written its log records to the
  // file system, so leaving needs no flush: a kill or an exit keeps them,
  // and only a machine crash can take the last commits back, which the
  // usage catch-up repairs from the index (the authority for its folder).
  // From level 2 on, commits are flushed as they happen; the flush here
  // then only covers what a caller wrote outside a commit.
  if (s.env && !s.log_nosync) s.env->log_flush(s.env, nullptr);
  if (s.mbl && s.do_final_checkpoint && s.env) s.env->txn_checkpoint(s.env, 0, 0, DB_FORCE);
  close_db(s.mbl, s.db_memp_fsync);
  close_db(s.quotadb, s.db_memp_fsync);
  close_db(s.subsdb, s.db_memp_fsync);
  close_db(s.peruserdb, s.db_memp_fsync);
  close_db(s.lrightdb, s.db_memp_fsync);
  if (s.env) s.env->close(s.env, 0);
  s.env = nullptr;
  s.lockfile.clear();
}

}  // namespace

void mboxlist_set_fatal_handler(mboxlist_fatal_handler handler) { g_fatal = handler; }

int mboxlist_init() {
  MboxlistState& s = st();
  std::lock_guard lk(s.mu);
  if (s.init == MboxlistState::Init::never) {
    s.init = initactual(s) == 0 ? MboxlistState::Init::ok : MboxlistState::Init::failed;
  }
  return s.init == MboxlistState::Init::ok && s.mbl ? 0 : IMAP_MAILBOXLIST_NONEXISTENT;
}

int mboxlist_recover() {
  MboxlistState& s = st();
  {
    std::lock_guard lk(s.mu);
    s.do_recovery = DB_RECOVER;
    s.dont_check_stored = true;
  }
  if (mboxlist_init() != 0) return IMAP_MAILBOXLIST_NONEXISTENT;
  std::lock_guard lk(s.mu);
  s.do_final_checkpoint = true;
  return 0;
}

void mboxlist_close() {
  MboxlistState& s = st();
  std::lock_guard lk(s.mu);
  close_all_locked(s);
  ++g_env_generation;
  s.guard_started = false;
  mboxlist_session_unlock();
  // A later mboxlist_init (tests, a daemon's restart of its databases)
  // starts afresh.
  s.init = MboxlistState::Init::never;
  s.do_recovery = 0;
  s.dont_check_stored = false;
}

void mboxlist_abandon() {
  MboxlistState& s = st();
  std::lock_guard lk(s.mu);
  // Kept reachable: a thread blocked inside may still use them.
  keep_handles(s);
  ++g_env_generation;
  s.guard_started = false;
  s.init = MboxlistState::Init::never;
  s.do_recovery = 0;
  s.dont_check_stored = false;
}

DB_ENV* mboxlist_env() { return st().env; }
DB* mboxlist_folderdb() { return st().mbl; }
DB* mboxlist_quotadb() { return st().quotadb; }
DB* mboxlist_subsdb() { return st().subsdb; }
DB* mboxlist_lrightdb() { return st().lrightdb; }
DB* mboxlist_peruserdb() { return st().peruserdb; }
const char* mboxlist_lockfile() { return st().lockfile.empty() ? nullptr : st().lockfile.c_str(); }
const char* mboxlist_dir() { return st().mboxlistdir.c_str(); }
int mboxlist_listrecover() {
  return parse_listrecover(config_get_string(config_getdefaultcache(), "local.store.listrecover", nullptr));
}

// ---- Key order -------------------------------------------------------------

namespace {
// NUL first, then TAB, then '/', then every other byte as a signed char.
inline int byte_order(signed char x, signed char y) {
  if (x == 0) return -1;
  if (y == 0) return 1;
  if (x == '\t') return -1;
  if (y == '\t') return 1;
  if (x == '/') return -1;
  if (y == '/') return 1;
  return x - y;
}
}  // namespace

int key_compare(DB*, const DBT* a, const DBT* b) {
  const auto* p = static_cast<const signed char*>(a->data);
  const auto* q = static_cast<const signed char*>(b->data);
  u_int32_t n = a->size < b->size ? a->size : b->size;
  for (u_int32_t i = 0; i < n; ++i) {
    if (p[i] != q[i]) return byte_order(p[i], q[i]);
  }
  return static_cast<int>(a->size) - static_cast<int>(b->size);
}

size_t key_prefix(DB*, const DBT* a, const DBT* b) {
  const auto* p = static_cast<const unsigned char*>(a->data);
  const auto* q = static_cast<const unsigned char*>(b->data);
  size_t n = a->size < b->size ? a->size : b->size;
  for (size_t i = 0; i < n; ++i) {
    if (p[i] != q[i]) return i + 1;
  }
  return a->size < b->size ? a->size + 1 : b->size;
}

int name_comparen(const char* s1, const char* s2, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    signed char x = static_cast<signed char>(s1[i]);
    signed char y = static_cast<signed char>(s2[i]);
    if (x != y) {
      if (x == '/' && y != 0) return -1;
      if (y == '/' && x != 0) return 1;
      return x - y;
    }
    if (x == 0) return 0;
  }
  return 0;
}

// ---- Maintenance -----------------------------------------------------------

int mboxlist_checkpoint15() {
  DB_ENV* env = st().env;
  if (!env) return 0;
  int wrote = 0;
  int r = env->memp_trickle(env, 10, &wrote);
  if (r) bvlog(0, LOG_STORE_ERR, "Mailbox list sync error: %s", db_strerror(r));
  return r;
}

int mboxlist_checkpoint60() {
  DB_ENV* env = st().env;
  if (!env) return 0;
  int r = env->txn_checkpoint(env, 0, 1, 0);
  if (r) bvlog(0, LOG_STORE_ERR, "Mailbox list checkpoint error: %s", db_strerror(r));
  return r;
}

int mboxlist_checkpoint_force() {
  DB_ENV* env = st().env;
  if (!env) return 0;
  int r = env->txn_checkpoint(env, 0, 0, DB_FORCE);
  if (r) bvlog(0, LOG_STORE_ERR, "Mailbox list checkpoint error: %d", r);
  return r;
}

int mboxlist_checkpoint300() {
  DB_ENV* env = st().env;
  if (!env) return 0;
  char** list = nullptr;
  int r = env->log_archive(env, &list, 0);
  if (r) {
    bvlog(0, LOG_STORE_ERR, "Mailbox list log archive error: %s", db_strerror(r));
    return r;
  }
  if (list) {
    for (char** p = list; *p; ++p) {
      std::string path = st().mboxlistdir + *p;
      if (fs_unlink(path.c_str()) != 0 && errno != ENOENT) {
        bvlog(0, LOG_STORE_WRITEFAIL, "Unable to remove log file %s: %m", path.c_str());
      }
    }
    free(list);
  }
  return 0;
}

int mboxlist_deadlockcheck() {
  DB_ENV* env = st().env;
  if (!env) return 0;
  int aborted = 0;
  // Lock waits past their time-out (only the daemon's own while it stops)
  // end first, then the oldest locker of each cycle.
  int r = env->lock_detect(env, 0, DB_LOCK_EXPIRE, &aborted);
  if (r == 0) r = env->lock_detect(env, 0, DB_LOCK_OLDEST, &aborted);
  return r;
}

int mboxlist_failchk() {
  DB_ENV* env = st().env;
  if (!env) return 0;
  int r = failchk_locked(env, home_dir(st()), !st().dont_check_stored);
  if (r == DB_RUNRECOVERY) {
    bvlog(0, LOG_STORE_ERR, "A process died inside the mailbox list database; it must be recovered");
  } else if (r != 0) {
    // A mutex of the dead process that could not be destroyed: its
    // transactions and locks are dealt with all the same.
    bvlog(0, LOG_STORE_WARNING, "Mailbox list failure check: %s", db_strerror(r));
    r = 0;
  }
  return r;
}

int mboxlist_bound_lock_waits(unsigned usec) {
  DB_ENV* env = st().env;
  if (!env) return 0;
  // Berkeley DB 5.3 spells the time-out as a flag of set_timeout and,
  // without DB_TIME_NOTGRANTED, reports an expired wait as a deadlock,
  // which every read here would repeat.
  int r = env->set_flags(env, DB_TIME_NOTGRANTED, 1);
  if (r == 0) r = env->set_timeout(env, usec, DB_SET_LOCK_TIMEOUT);
  return r;
}

int mboxlist_log_archive_obsolete(char*** logs) {
  DB_ENV* env = st().env;
  return env ? env->log_archive(env, logs, 0) : EINVAL;
}

int mboxlist_log_archive_current(char*** logs) {
  DB_ENV* env = st().env;
  return env ? env->log_archive(env, logs, DB_ARCH_LOG) : EINVAL;
}

int mboxlist_remove_env(int force) {
  const char* storedir = configmsg_get_storedir();
  if (!storedir) return IMAP_CONFIG_ERROR;
  const char* tmpdir = config_get_string(config_getdefaultcache(), "store.dbtmpdir", "");
  std::string home = tmpdir && *tmpdir ? tmpdir : std::string(storedir) + "/mboxlist";
  if (force) {
    for (const std::string& dir : {home, home + "/folderlock"}) {
      DB_ENV* env = nullptr;
      if (db_env_create(&env, 0) == 0) env->remove(env, dir.c_str(), DB_FORCE);
    }
    return 0;
  }
  if (int r = mboxlist_recover()) return r;
  mboxlist_checkpoint_force();
  mboxlist_checkpoint300();
  mboxlist_close();
  DB_ENV* rm = nullptr;
  int r = 0;
  if (db_env_create(&rm, 0) == 0) {
    r = rm->remove(rm, home.c_str(), DB_USE_ENVIRON);
    if (r != 0 && r != ENOENT) bvlog(0, LOG_STORE_ERR, "cannot remove mboxlist environment: %d", r);
  }
  if (db_env_create(&rm, 0) == 0) {
    r = rm->remove(rm, (home + "/folderlock").c_str(), 0);
    if (r != 0 && r != ENOENT) bvlog(0, LOG_STORE_ERR, "cannot remove folderlock environment: %d", r);
  }
  return 0;
}

// ---- Transactions ----------------------------------------------------------

int mboxlist_trans_setup(DB_TXN** txn, const char* op, const char* name) {
  if (mboxlist_init() != 0) return IMAP_IOERROR;
  DB_ENV* env = st().env;
  // A region short of room usually clears as other transactions end; a
  // full one does not, and a delivery must then fail, not spin.
  for (int nospace = 0;;) {
    int r = env->txn_begin(env, nullptr, txn, 0);
    if (r == 0) return 0;
    if (r == DB_LOCK_DEADLOCK || (r == ENOSPC && ++nospace < 1000)) {
      sched_yield();
      continue;
    }
    bvlog(0, LOG_STORE_ERR, "Unable to begin %s transaction for %s: %s", op ? op : "", name ? name : "",
          db_strerror(r));
    return IMAP_IOERROR;
  }
}

int mboxlist_trans_finish(DB_TXN* txn, int err) {
  if (err) {
    txn->abort(txn);
    return err;
  }
  int r = txn->commit(txn, 0);
  if (r == 0) return 0;
  // A failed commit has already ended the transaction.
  bvlog(0, LOG_STORE_ERR, "Unable to commit mailbox list transaction: %s", db_strerror(r));
  if ((r == DB_RUNRECOVERY || g_env_panicked) && !st().dont_check_stored) {
    // The environment failed during the commit: whether the commit record
    // reached the log, so that recovery will redo it, is unknown.  Undoing
    // what the transaction stood for (removing a renamed folder's new copy,
    // say) could then destroy the only copy, so the process stops here and
    // leaves it all to recovery and to the records that describe work under
    // way.  Nothing it did was acknowledged yet.
    fatal(75);
  }
  return r == DB_LOCK_DEADLOCK ? DB_LOCK_DEADLOCK : IMAP_IOERROR;
}

int mboxlist_dberror(int dbret, const char* what, const char* name) {
  switch (dbret) {
    case 0:
      return 0;
    case DB_LOCK_DEADLOCK:
      return DB_LOCK_DEADLOCK;
    case DB_NOTFOUND:
    case DB_KEYEMPTY:
      return IMAP_MAILBOX_NONEXISTENT;
    default:
      bvlog(0, LOG_STORE_ERR, "%s %s: %s", what, name ? name : "", db_strerror(dbret));
      return IMAP_IOERROR;
  }
}

// ---- Session lock and watcher ---------------------------------------------

int mboxlist_session_lock() {
  MboxlistState& s = st();
  const char* storedir = configmsg_get_storedir();
  if (!storedir) return -1;
  const char* proc = config_processname();
  char path[1024];
  int n = snprintf(path, sizeof path, "%s/session/%s.%ld", storedir, proc && *proc ? proc : "unknown",
                   static_cast<long>(getpid()));
  if (n < 0 || n >= static_cast<int>(sizeof path)) return -1;
  std::string dir = std::string(storedir) + "/session";
  if (make_dirs(dir.c_str(), 0700) != 0) return -1;
  int fd = fs_open(path, O_RDWR | O_CREAT, 0600);
  if (fd < 0) return -1;
  if (lock_nonblocking_fs(fd) != 0) {
    close(fd);
    return -1;
  }
  s.sessionlockfd = fd;
  s.sessionlockfile = path;
  return fd;
}

void mboxlist_session_unlock() {
  MboxlistState& s = st();
  if (s.sessionlockfd < 0) return;
  fs_unlink(s.sessionlockfile.c_str());
  lock_unlock_fs(s.sessionlockfd);
  close(s.sessionlockfd);
  s.sessionlockfd = -1;
}

int register_with_watcher() {
  // No separate watcher process exists here: the store daemon knows every
  // client through its locked session file.  A configuration that asks for
  // a watcher is told so once and the process goes on; failing every
  // program for it would stop all mail.
  static std::once_flag told;
  std::call_once(told, [] {
    bvlog(0, LOG_STORE_NOTICE,
          "local.watcher.enable is set, but no watcher process exists; the store daemon watches the store's "
          "processes through their session files");
  });
  return 0;
}

// ---- Catastrophic event ----------------------------------------------------

long mboxlist_catastrophic_event(int max_age) {
  // Its own mutex: the start-up mutex is held across a whole open, and a
  // listing thread must not wait that long for a time stamp.
  static std::mutex eve_mu;
  MboxlistState& s = st();
  std::lock_guard lk(eve_mu);
  time_t now = time(nullptr);
  if (max_age <= 0 || now - s.last_catastrophic_check > max_age || now < s.last_catastrophic_check) {
    long eve = 0;
    int r = configmsg_readstoredfile("eve", &eve);
    if (r == 0) {
      s.last_catastrophic_event = eve;
    } else if (r == ENOENT) {
      s.last_catastrophic_event = 0;  // removed by the administrator: no event any more
    } else {
      // Unreadable: the last value read stands, and the next call tries again.
      bvlog(0, LOG_STORE_ERR, "Unable to read the last catastrophic event file: %s", error_message(r));
      return s.last_catastrophic_event;
    }
    s.last_catastrophic_check = now;
  }
  return s.last_catastrophic_event;
}
