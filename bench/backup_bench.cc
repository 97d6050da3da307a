// backup_bench: a full backup of a store against tar of its partition.
//
// Builds a store of N messages (fixed seed; sizes 2-500 KB skewed towards
// the small end, about 55 KB on average; 80 per user INBOX; 10 % of the
// files hard-linked into the user's "Copies" folder), starts orvstored on
// it, then compares with the shared A/B harness (alternating runs, same
// file system, warm cache, the output removed and dirty pages flushed
// before each run, BENCH_PAIRS pairs):
//   - a full backup "orvbackup -f FILE /" against tar -cf FILE of the
//     partition directory,
//   - an incremental backup (-d) after 1 % of the messages were added
//     against the full backup of the same store,
// and prints every pair, the ratios of the medians and the backup's peak
// memory.  The store is built with syncing off (that is not measured, and
// backup itself never syncs).
//
// Usage: backup_bench [messages (20000)] [work directory (a temporary one)]
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "backup/bktest_store.h"
#include "bench/bench_util.h"
#include "common/bvlog.h"
#include "common/config.h"
#include "common/service.h"
#include "common/test_util.h"

namespace {

// Runs a program to its end; its exit status (-1 when it did not exit).
// *rss, when given, gets its peak resident size in KB.
int run(const std::vector<std::string>& argv, long* rss = nullptr) {
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  struct rusage ru {};
  if (pid < 0 || wait4(pid, &status, 0, &ru) != pid) return -1;
  if (rss) *rss = ru.ru_maxrss;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One side of a comparison: cmd writes out; before each run out is removed
// and dirty pages are flushed, so that writing back an earlier run's output
// is not charged to this one.  *rss (may be null) gets the largest peak.
BenchSide side(const std::string& name, const std::vector<std::string>& cmd, const std::string& out, long* rss) {
  return {name,
          [cmd, rss] {
            long r = 0;
            int rc = run(cmd, &r);
            if (rc != 0) std::fprintf(stderr, "%s failed (%d)\n", cmd[0].c_str(), rc);
            if (rss) *rss = std::max(*rss, r);
            return rc == 0;
          },
          [out] {
            unlink(out.c_str());
            sync();
            return true;
          }};
}

// Stops the daemon the bench started and waits (at most 10 s) for it to end.
void stop_daemon() {
  if (configmsg_init(0, 16, "backup_bench") != 0) return;
  long pid = service_pid("stored");
  configmsg_free();
  if (pid <= 0 || kill(static_cast<pid_t>(pid), SIGTERM) != 0) return;
  for (int i = 0; i < 200 && kill(static_cast<pid_t>(pid), 0) == 0; i++) usleep(50000);
}

}  // namespace

int main(int argc, char** argv) {
  int total = argc > 1 ? std::atoi(argv[1]) : 20000;
  // At least one message: the incremental pass spreads its additions over
  // the users, and tar needs the partition directory the first one makes.
  if (total < 1) {
    std::fprintf(stderr, "usage: backup_bench [messages (20000, at least 1)] [work directory]\n");
    return 64;
  }
  TempDir tmp;
  std::string work = argc > 2 ? argv[2] : tmp.path();
  bench_configure(work, 0);
  if (configmsg_init(0, 16, "backup_bench") != 0 || mboxlist_recover() != 0) {
    std::fprintf(stderr, "cannot start the store in %s\n", work.c_str());
    return 1;
  }
  bvlog_to_stderr(LOG_SEV_ERR);
  std::mt19937 rng(20240101);
  long long bytes = 0;
  int links = 0;
  if (bkt_bench_store(rng, total, &bytes, &links) != 0) return 1;
  std::printf("store: %d messages, %.1f MB, %d hard links\n", total, static_cast<double>(bytes) / 1e6, links);
  mboxlist_close();
  configmsg_free();

  std::string vol = work + "/vol", tarfile = work + "/vol.tar", part = work + "/p1";
  if (run({ORVSTORED}) != 0) {
    std::fprintf(stderr, "orvstored did not start\n");
    return 1;
  }
  struct Stop {
    ~Stop() { stop_daemon(); }
  } stop;
  const std::vector<std::string> tar = {"/bin/tar", "-cf", tarfile, "-C", part, "."};
  (void)run(tar);  // warm the cache
  long rss = 0;
  BenchAbResult full = bench_ab("full backup against tar", side("orvbackup -f", {ORVBACKUP, "-f", vol, "/"}, vol, &rss),
                                side("tar -cf", tar, tarfile, nullptr));
  struct stat st;
  stat(vol.c_str(), &st);
  std::printf("full backup: %.1f MB, peak memory %ld KB; goal: wall ratio <= 1.0\n",
              static_cast<double>(st.st_size) / 1e6, rss);

  // 1 % more messages, dated after the cut-off, spread over the users; the
  // daemon keeps running, as on a live store.
  sleep(1);
  time_t cut = time(nullptr);
  char since[32];
  std::strftime(since, sizeof since, "%Y%m%d:%H%M%S", std::localtime(&cut));
  sleep(1);
  if (configmsg_init(0, 16, "backup_bench") != 0 || mboxlist_init() != 0) return 1;
  int add = std::max(1, total / 100);
  for (int i = 0; i < add; i++) {
    std::string inbox = "user/u" + std::to_string((i * 7) % ((total + BKT_BENCH_PER_USER - 1) / BKT_BENCH_PER_USER));
    uint32_t uid;
    if (bkt_append(inbox.c_str(), bkt_bench_message(rng, 4096, i), cut + 1, 0, &uid) != 0) break;
  }
  mboxlist_close();
  configmsg_free();
  long rss2 = 0;
  std::string incvol = work + "/vol.inc";
  BenchAbResult incr = bench_ab("incremental after 1% new mail against full",
                                side("orvbackup -d", {ORVBACKUP, "-d", since, "-f", incvol, "/"}, incvol, &rss2),
                                side("orvbackup -f", {ORVBACKUP, "-f", vol, "/"}, vol, nullptr));
  stat(incvol.c_str(), &st);
  std::printf("incremental: %.1f MB, peak memory %ld KB; goal: wall ratio <= 0.05\n",
              static_cast<double>(st.st_size) / 1e6, rss2);
  return full.ok && incr.ok ? 0 : 1;
}
