#include "tools/stored.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <cstring>
#include <string>
#include <vector>

#include "common/bvlog.h"
#include "common/config.h"
#include "common/fileio.h"
#include "common/lock.h"
#include "common/service.h"
#include "common/unique_fd.h"
#include "common/signals.h"
#include "store/mboxlist.h"
#include "store/mboxlist_list.h"
#include "store/mboxlist_repair.h"
#include "store/snapshot.h"
#include "store/storestartup.h"

namespace {

// Before recovery reads the log, the clients of a daemon that died must be
// gone: one still committing would write to the log recovery is reading, and
// recovery would rebuild the regions under it, corrupting the environment.
// They stop within a fraction of a second of the daemon's death (their guard
// watches it); one still there after ten seconds (hung, or started by hand
// against a store without its daemon) makes the start refuse, naming it.
bool wait_for_old_clients(FILE* err) {
  std::vector<std::string> names;
  int r = 0;
  for (int i = 0; i < 100; ++i) {
    r = storestartup_attached_clients(&names);
    if (r == 0 && names.empty()) return true;
    struct timespec ts = {0, 100 * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }
  std::string list;
  for (const std::string& n : names) list += (list.empty() ? "" : ", ") + n;
  if (r != 0) list = std::string("(session directory unreadable: ") + strerror(r) + ")";
  bvlog(0, bvlog_priority(0, LOG_SEV_CRIT),
        "Store processes still use the mailbox list: %s; recovery refused while they run", list.c_str());
  fprintf(err, "Store processes still use the mailbox list: %s\nStop them, then start the store daemon again.\n",
          list.c_str());
  return false;
}

constexpr const char kService[] = "stored";

// A maintenance step and when it is due next.
struct Timer {
  int interval;
  std::function<int()> step;
  time_t due;
};

// Writes the plain-file copies of what changed since the previous round
// began, a slice of folders per call so that the daemon's other steps and a
// stop request never wait long.  A round with failures does not move that
// mark, so the next one tries those files again.  The first round writes
// every file that is missing or older than its state.
class FileCheckpoint {
 public:
  explicit FileCheckpoint(int interval)
      : interval_(interval), due_(time(nullptr) + interval), last_end_(time(nullptr)) {}

  // One slice when a round is due or under way (a round under way is one
  // whose walk has a place to resume from).
  void tick(time_t now) {
    if (interval_ <= 0) return;
    if (from_.empty()) {
      if (now < due_) return;
      start_ = now;
      failed_ = 0;
    }
    int f = mboxlist_checkpoint_files(since_, last_end_, &from_, slice_);
    if (f >= 0 && !from_.empty()) {
      failed_ += f;
      return;  // more next time
    }
    // Done, or the list could not be read (the next round starts over).
    from_.clear();
    if (f == 0 && failed_ == 0) since_ = start_;
    last_end_ = time(nullptr);
    due_ = now + interval_;
  }
  // A whole round now (when the daemon stops), in small slices, given up
  // at deadline: the daemon's lock waits are bounded then, but a live
  // process holding a database lock could still cost each folder a wait.
  // A round cut short is made up by the first round of the next start,
  // which writes every file older than its state.
  void finish(time_t deadline) {
    if (interval_ <= 0) return;
    due_ = 0;
    slice_ = kStopSlice;
    do {
      if (time(nullptr) >= deadline) {
        bvlog(0, LOG_STORE_WARNING, "Final file checkpoint cut short; the next start completes it");
        break;
      }
      tick(time(nullptr));
    } while (!from_.empty());
  }

 private:
  static constexpr size_t kSlice = 1000;
  static constexpr size_t kStopSlice = 20;
  size_t slice_ = kSlice;
  int interval_;
  time_t due_;
  std::string from_;  // where the walk resumes; empty between rounds
  time_t start_ = 0;
  int failed_ = 0;
  time_t since_ = 0;
  time_t last_end_;
};

// Removes the files of expunged messages every interval seconds, a slice of
// folders per call like the file checkpoints.
class ExpungeCleanup {
 public:
  ExpungeCleanup(int interval, int age) : interval_(interval), age_(age), due_(time(nullptr) + interval) {}

  void tick(time_t now) {
    if (interval_ <= 0) return;
    if (from_.empty()) {
      if (now < due_) return;
      before_ = now - age_;
    }
    int f = mboxlist_clean_expunged(before_, &from_, kSlice);
    if (f >= 0 && !from_.empty()) return;  // more next time
    // Done, or the list could not be read: the next round starts over.
    from_.clear();
    due_ = now + interval_;
  }

 private:
  static constexpr size_t kSlice = 1000;
  int interval_;
  int age_;
  time_t due_;
  time_t before_ = 0;
  std::string from_;  // where the walk resumes; empty between rounds
};

// Takes a snapshot of the mailbox list every interval seconds (on the
// snapshot thread: a copy of a large list takes a while, and the failure
// check must go on meanwhile).  A round in which the log has not moved
// since the last snapshot is skipped; one that finds another writer busy
// is tried again a minute later.
class Snapshots {
 public:
  Snapshots(int interval, int count) : interval_(interval), count_(count), due_(time(nullptr) + interval) {
    if (interval_ <= 0) return;
    int r = snapshot_dir(&dir_);
    if (r == ENOENT) return;  // not configured
    if (r != 0) {
      bvlog(0, LOG_STORE_ERR, "Snapshots are off: local.store.snapshotpath is unusable: %s", strerror(r));
      dir_.clear();
    } else if (count_ < 1 || count_ > 5) {
      bvlog(0, LOG_STORE_WARNING, "local.store.snapshotcount %d is out of range (1 to 5); using %d", count_,
            count_ < 1 ? 1 : 5);
      count_ = count_ < 1 ? 1 : 5;
    }
  }
  bool on() const { return interval_ > 0 && !dir_.empty(); }
  const std::string& dir() const { return dir_; }
  // Makes a take under way give up soon (the daemon stops or recovers).
  void cancel() { cancel_ = true; }

  void tick() {
    time_t now = time(nullptr);
    if (!on() || cancel_ || now < due_) return;
    snapshot_params p;
    p.count = count_;
    p.since = have_lsn_ ? &lsn_ : nullptr;
    p.cancel = &cancel_;
    snapshot_result res;
    int r = snapshot_take(mboxlist_env(), dir_, p, &res);
    due_ = time(nullptr) + interval_;
    if (r == 0) {
      lsn_ = res.lsn;
      have_lsn_ = true;
    } else if (r == kSnapshotUnchanged) {
      bvlog(0, LOG_STORE_NOTICE, "Mailbox list snapshot skipped: nothing changed since the last one");
    } else if (r == kSnapshotBusy) {
      bvlog(0, LOG_STORE_NOTICE, "Mailbox list snapshot postponed: another one is being taken in %s", dir_.c_str());
      due_ = time(nullptr) + 60;
    }
    // Failures are logged by the take; the next round tries again.
  }

 private:
  int interval_;
  int count_;
  time_t due_;
  std::string dir_;  // empty: snapshots are off
  std::atomic<bool> cancel_{false};
  DB_LSN lsn_ = {0, 0};
  bool have_lsn_ = false;
};

// A thread that runs one step every interval.  Any step that enters the
// environment may wait for ever on a mutex of a process killed inside the
// library, so the daemon's main thread never enters it while workers run:
// it only watches them, and a worker stuck past any sensible time is
// abandoned (left blocked, its memory kept) when the environment is
// rebuilt.
class Worker {
 public:
  Worker(int interval_ms, std::function<void()> step) : interval_ms_(interval_ms), step_(std::move(step)) {}
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  void start() {
    if (interval_ms_ > 0) thread_ = std::thread([this] { run(); });
  }
  void set_interval(int ms) {
    {
      std::lock_guard lk(mu_);
      interval_ms_ = ms;
    }
    cv_.notify_all();
  }
  // Seconds the current step has been running, 0 when idle.
  time_t busy_for() const {
    time_t since = busy_since_.load();
    return since ? time(nullptr) - since : 0;
  }
  // Asks the thread to end after its current step and waits up to
  // wait_ms.  True when it ended; false leaves it running, to be
  // abandoned.
  bool stop(int wait_ms) {
    {
      std::lock_guard lk(mu_);
      stopping_ = true;
    }
    cv_.notify_all();
    if (!thread_.joinable()) return true;
    for (int waited = 0; !done_.load(); waited += 50) {
      if (waited >= wait_ms) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    thread_.join();
    return true;
  }
  // Lets a stuck thread go: it stays blocked where it is, and this object
  // must outlive it (the caller leaks it).
  void abandon() {
    if (thread_.joinable()) thread_.detach();
  }

 private:
  void run() {
    std::unique_lock lk(mu_);
    while (!stopping_) {
      cv_.wait_for(lk, std::chrono::milliseconds(interval_ms_));
      if (stopping_) break;
      lk.unlock();
      busy_since_ = time(nullptr);
      step_();
      busy_since_ = 0;
      lk.lock();
    }
    done_ = true;
  }

  std::mutex mu_;  // guards interval_ms_ and stopping_
  std::condition_variable cv_;
  int interval_ms_;
  bool stopping_ = false;
  std::function<void()> step_;
  std::atomic<time_t> busy_since_{0};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// The failure check normally takes milliseconds; one that has not returned
// after this long waits on a mutex held by a process that died inside the
// library, and only rebuilding the environment helps.
constexpr time_t kWedged = 5;

// The daemon's work in the environment: the failure check and deadlock
// detection on one thread (so a maintenance step waiting on a lock of a
// killed process never delays the check that releases it), the
// maintenance steps and the file checkpoint on another.
class Maintenance {
 public:
  explicit Maintenance(const stored_options& opts)
      : opts_(opts),
        files_(opts.file_checkpoint_interval),
        cleanup_(opts.expunge_cleanup_interval, opts.expunge_cleanup_age),
        snapshots_(opts.snapshot_interval, opts.snapshot_count) {
    time_t now = time(nullptr);
    timers_[0] = {opts.trickle_interval, mboxlist_checkpoint15, now + opts.trickle_interval};
    timers_[1] = {opts.checkpoint_interval, mboxlist_checkpoint60, now + opts.checkpoint_interval};
    // Log files a snapshot under way still copies stay until it is done.
    timers_[2] = {opts.log_removal_interval, [this] { return snapshot_remove_logs(snapshots_.dir()); },
                  now + opts.log_removal_interval};
  }
  Maintenance(const Maintenance&) = delete;
  Maintenance& operator=(const Maintenance&) = delete;

  void start() {
    watch_ = std::make_unique<Worker>(opts_.deadlock_interval * 1000, [this] { check(); });
    steps_ = std::make_unique<Worker>(200, [this] { steps(); });
    watch_->start();
    steps_->start();
    if (snapshots_.on()) {
      snaps_ = std::make_unique<Worker>(1000, [this] {
        // A snapshot yields the processor to deliveries and the other
        // steps (Linux keeps a nice value per thread).
        if (!snaps_niced_) {
          (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
          snaps_niced_ = true;
        }
        if (!need_recovery_ && !finishing_) snapshots_.tick();
      });
      snaps_->start();
    }
  }
  bool need_recovery() const { return need_recovery_.load() || watch_->busy_for() >= kWedged; }

  // Stops both threads.  True when both ended; otherwise the stuck ones
  // are abandoned and the environment must be abandoned too (never closed
  // under them).
  bool stop() {
    snapshots_.cancel();
    bool ok = steps_->stop(2000);
    ok = watch_->stop(2000) && ok;
    if (snaps_) ok = snaps_->stop(5000) && ok;
    if (!ok) {
      // The objects stay allocated for threads that may never return.
      steps_->abandon();
      watch_->abandon();
      (void)steps_.release();
      (void)watch_.release();
      if (snaps_) {
        snaps_->abandon();
        (void)snaps_.release();
      }
    }
    return ok;
  }

  // The daemon stops: the failure check every 200 ms from now on, which
  // also ends this process's lock waits that outlast their bound; the file
  // checkpoint finishes on the step thread within about 5 s.  True when it
  // ended in time.
  bool finish() {
    snapshots_.cancel();
    watch_->set_interval(200);
    finishing_ = true;
    steps_->set_interval(50);
    for (int waited = 0; !finished_.load(); waited += 50) {
      if (waited >= 10000) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
  }

 private:
  void check() {
    if (need_recovery_) return;
    if (mboxlist_failchk() == DB_RUNRECOVERY) {
      need_recovery_ = true;
    } else {
      (void)mboxlist_deadlockcheck();
    }
  }
  void steps() {
    if (finishing_) {
      if (!finished_) {
        // The files are current when the store is stopped in order.  Locks
        // of killed processes are released by the check first; a live
        // holder costs a read at most the bound.
        if (!need_recovery_ && mboxlist_failchk() == 0) {
          (void)mboxlist_bound_lock_waits(500 * 1000);
          files_.finish(time(nullptr) + 5);
        }
        finished_ = true;
      }
      return;
    }
    if (need_recovery_) return;
    time_t now = time(nullptr);
    for (Timer& t : timers_) {
      if (t.interval > 0 && now >= t.due) {
        (void)t.step();  // each step logs its own failure; the next round tries again
        t.due = now + t.interval;
      }
    }
    files_.tick(now);
    cleanup_.tick(now);
  }

  const stored_options& opts_;
  FileCheckpoint files_;
  ExpungeCleanup cleanup_;
  Snapshots snapshots_;
  Timer timers_[3];
  std::unique_ptr<Worker> watch_;
  std::unique_ptr<Worker> steps_;
  std::unique_ptr<Worker> snaps_;  // only when snapshots are on
  bool snaps_niced_ = false;       // touched by the snapshot thread only
  std::atomic<bool> need_recovery_{false};
  std::atomic<bool> finishing_{false};
  std::atomic<bool> finished_{false};
};

// Takes the environment down after a process died inside the library.
// Readiness is taken back first, so clients started meanwhile refuse with
// the usual not-ready message (status 75); clients still attached to the
// old environment fail with a temporary error, or are ended by their guard
// once bring_up has replaced the regions.
void take_down(std::unique_ptr<Maintenance>& work, int state_fd) {
  bvlog(0, LOG_STORE_STARTUP, "Store daemon recovering the mailbox list; clients are refused meanwhile");
  if (service_set_recovering(state_fd) != 0) {
    bvlog(0, bvlog_priority(0, LOG_SEV_ERR), "Cannot mark the store daemon not ready: %m");
  }
  // The environment is never closed here: closing frees lockers and
  // mutexes, and waits for ever on one the dead process held.  Its handles
  // are abandoned, and recovery replaces the regions under them.
  if (work->stop()) {
    work.reset();
  } else {
    (void)work.release();  // its stuck threads may still use it
  }
  mboxlist_abandon();
}

// Recovers the environment and becomes ready again.  False when it cannot
// be brought up (a full disk, say): the caller tries again later.
bool bring_up(std::unique_ptr<Maintenance>& work, const stored_options& opts, int state_fd) {
  if (mboxlist_recover() != 0) return false;
  (void)mboxlist_rename_recover();
  work = std::make_unique<Maintenance>(opts);
  work->start();
  if (service_set_ready(state_fd) != 0) {
    bvlog(0, bvlog_priority(0, LOG_SEV_ERR), "Cannot mark the store daemon ready: %m");
  } else {
    bvlog(0, LOG_STORE_STARTUP, "Store daemon ready");
  }
  return true;
}

}  // namespace

int stored_run(const stored_options& opts, FILE* err) {
  if (!configmsg_get_storedir()) {
    fprintf(err, "The configuration sets no store directory (local.store.dir)\n");
    return 78;
  }
  // Signals are only recorded; the loop below acts on them between steps.
  set_signal_handler(SIGTERM, nullptr);
  set_signal_handler(SIGINT, nullptr);
  signal(SIGPIPE, SIG_IGN);
  // After a log rotation: the log file is opened again by name.
  bvlog_reopen_on_signal(SIGHUP);
  bvlog_reopen_on_signal(SIGUSR1);

  int state_fd = service_announce(kService);
  if (state_fd < 0) {
    if (errno == EWOULDBLOCK) {
      fprintf(err, "A store daemon is already running on %s\n", configmsg_get_storedir());
      bvlog(0, bvlog_priority(0, LOG_SEV_ERR), "A store daemon is already running on %s", configmsg_get_storedir());
      return 75;
    }
    fprintf(err, "Cannot create the store daemon's state file: %s\n", strerror(errno));
    bvlog(0, bvlog_priority(0, LOG_SEV_ERR), "Cannot create the store daemon's state file: %m");
    return 73;
  }
  bvlog(0, LOG_STORE_STARTUP, "Store daemon starting on %s", configmsg_get_storedir());
  if (!wait_for_old_clients(err)) {
    service_withdraw(kService, state_fd);
    return 75;
  }
  if (mboxlist_recover() != 0) {
    fprintf(err, "Unable to bring the message store up; see the log for details\n");
    service_withdraw(kService, state_fd);
    return 1;
  }
  (void)mboxlist_rename_recover();  // renames cut short are finished before any client comes
  // Users whose folders are on disk but whom the list lost are rebuilt
  // before any client may take them for unknown.
  if (mboxlist_startup_user_check() != 0) {
    fprintf(err, "Users are missing from the mailbox list and could not be rebuilt; see the log for details\n");
    mboxlist_close();
    service_withdraw(kService, state_fd);
    return 1;
  }
  if (service_set_ready(state_fd) != 0) {
    bvlog(0, bvlog_priority(0, LOG_SEV_ERR), "Cannot mark the store daemon ready: %m");
    mboxlist_close();
    service_withdraw(kService, state_fd);
    return 1;
  }
  bvlog(0, LOG_STORE_STARTUP, "Store daemon ready");
  if (opts.on_ready) opts.on_ready(opts.on_ready_arg);

  auto work = std::make_unique<Maintenance>(opts);
  work->start();
  time_t retry_at = 0;
  while (!check_signal_handler(SIGTERM) && !check_signal_handler(SIGINT)) {
    if (work && work->need_recovery()) take_down(work, state_fd);
    if (!work && time(nullptr) >= retry_at && !bring_up(work, opts, state_fd)) {
      bvlog(0, LOG_STORE_ERR, "Unable to bring the message store up again; trying again in 5 seconds");
      retry_at = time(nullptr) + 5;
    }
    bvlog_reopen_pending();
    // Short sleeps keep the reaction to a stop request prompt.
    struct timespec ts = {0, 200 * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }

  bvlog(0, LOG_STORE_STARTUP, "Store daemon stopping");
  // Withdraw first so no new client starts against a closing database.
  service_withdraw(kService, state_fd);
  // Nothing here waits without a bound: a step stuck in the environment
  // leaves it to the next start's recovery.
  if (!work || (work->finish() && work->stop())) {
    mboxlist_close();
  } else {
    bvlog(0, LOG_STORE_WARNING, "Store daemon stopping without closing the mailbox list; the next start recovers it");
    mboxlist_abandon();
    (void)work.release();
  }
  unset_signal_handler(SIGTERM);
  unset_signal_handler(SIGINT);
  bvlog(0, LOG_STORE_STARTUP, "Store daemon stopped");
  return 0;
}
