#include "tools/stored.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/bvlog.h"
#include "common/config.h"
#include "common/service.h"
#include "common/signals.h"
#include "store/mboxlist.h"
#include "store/mboxlist_list.h"

namespace {

constexpr const char kService[] = "stored";

// A maintenance step and when it is due next.
struct Timer {
  int interval;
  int (*step)();
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
    int f = mboxlist_checkpoint_files(since_, last_end_, &from_, kSlice);
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
  // A whole round now (when the daemon stops).
  void finish() {
    if (interval_ <= 0) return;
    due_ = 0;
    do tick(time(nullptr));
    while (!from_.empty());
  }

 private:
  static constexpr size_t kSlice = 1000;
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
  if (mboxlist_recover() != 0) {
    fprintf(err, "Unable to bring the message store up; see the log for details\n");
    service_withdraw(kService, state_fd);
    return 1;
  }
  (void)mboxlist_rename_recover();  // renames cut short are finished before any client comes
  if (service_set_ready(state_fd) != 0) {
    bvlog(0, bvlog_priority(0, LOG_SEV_ERR), "Cannot mark the store daemon ready: %m");
    mboxlist_close();
    service_withdraw(kService, state_fd);
    return 1;
  }
  bvlog(0, LOG_STORE_STARTUP, "Store daemon ready");
  if (opts.on_ready) opts.on_ready(opts.on_ready_arg);

  FileCheckpoint files(opts.file_checkpoint_interval);
  ExpungeCleanup cleanup(opts.expunge_cleanup_interval, opts.expunge_cleanup_age);
  time_t now = time(nullptr);
  Timer timers[] = {
      {opts.deadlock_interval, mboxlist_deadlockcheck, now + opts.deadlock_interval},
      {opts.trickle_interval, mboxlist_checkpoint15, now + opts.trickle_interval},
      {opts.checkpoint_interval, mboxlist_checkpoint60, now + opts.checkpoint_interval},
      {opts.log_removal_interval, mboxlist_checkpoint300, now + opts.log_removal_interval},
  };
  while (!check_signal_handler(SIGTERM) && !check_signal_handler(SIGINT)) {
    now = time(nullptr);
    for (Timer& t : timers) {
      if (t.interval > 0 && now >= t.due) {
        (void)t.step();  // each step logs its own failure; the next round tries again
        t.due = now + t.interval;
      }
    }
    files.tick(now);
    cleanup.tick(now);
    // Short sleeps keep the reaction to a stop request prompt.
    struct timespec ts = {0, 200 * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }

  bvlog(0, LOG_STORE_STARTUP, "Store daemon stopping");
  // Withdraw first so no new client starts against a closing database.
  service_withdraw(kService, state_fd);
  // The files are current when the store is stopped in order.
  files.finish();
  mboxlist_close();
  unset_signal_handler(SIGTERM);
  unset_signal_handler(SIGINT);
  bvlog(0, LOG_STORE_STARTUP, "Store daemon stopped");
  return 0;
}
