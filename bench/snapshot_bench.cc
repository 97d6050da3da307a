// Snapshots of a large mailbox list: a take against `cp` of the same files,
// and the delivery rate while takes run against the rate without them.
//
// Usage: snapshot_bench [FOLDERS [ROUNDS]]  (default 100000 and 5)
// The bench plays the store daemon on a scratch store: it creates FOLDERS
// folder records (10 per user, records only) and 10 real users, then
//  1. ROUNDS times, alternating: a snapshot (snapshot_take: checkpoint, hot
//     backup, syncs, stamp, rename) and `cp` of the files that snapshot
//     holds into a fresh directory, also with `sync` of the copies after
//     it, since a snapshot syncs every file;
//  2. a delivery process (this program again) delivers without pause while
//     windows of 3 s without snapshots alternate with windows in which
//     snapshots are taken back to back (on a thread at nice 10, as the
//     daemon does), ROUNDS of each.
// Goals: a snapshot within 1.5 times the cp; deliveries during snapshots at
// least 80% of the rate without.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "common/auth.h"
#include "common/bvlog.h"
#include "common/config.h"
#include "common/service.h"
#include "common/test_util.h"
#include "store/mailbox.h"
#include "store/mboxlist.h"
#include "store/snapshot.h"
#include "store/deliver.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<uint64_t>* map_counter(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0 || ftruncate(fd, 4096) != 0) return nullptr;
  void* p = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  return p == MAP_FAILED ? nullptr : static_cast<std::atomic<uint64_t>*>(p);
}

// The delivery process: delivers to d0..d9 in turn until killed, counting
// each delivery in the shared counter.
int deliver_child(const std::string& counter_path) {
  std::atomic<uint64_t>* counter = map_counter(counter_path);
  if (!counter || configmsg_init(0, 0, "snapshot_bench") != 0) return 1;
  bvlog_to_stderr(LOG_SEV_ERR);
  mboxlist_set_fatal_handler([](int) { std::_Exit(75); });
  if (mboxlist_init() != 0) return 1;
  mailbox_reloadconfig();
  const std::string msg = deliver_canonicalize(
      "From: bench@example.org\nTo: someone@example.com\nSubject: snapshot bench\n"
      "Date: Mon, 7 Dec 2026 04:12:24 +0000\n\nA short message, as most are.\n");
  for (unsigned i = 0;; ++i) {
    if (deliver_message(msg, {"d" + std::to_string(i % 10)}, nullptr, 0, stderr) != DELIVER_OK) return 1;
    counter->fetch_add(1);
  }
}

std::string name_of(int i) {
  return "user/u" + std::to_string(i / 10) + (i % 10 ? "/f" + std::to_string(i % 10) : "");
}

int run(const std::string& cmd) { return system(cmd.c_str()); }

double take(const std::string& snapdir, snapshot_result* res) {
  auto t = Clock::now();
  snapshot_params p;
  p.count = 3;
  if (snapshot_take(mboxlist_env(), snapdir, p, res) != 0) {
    fprintf(stderr, "snapshot failed\n");
    exit(1);
  }
  return bench_seconds_since(t);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--deliver") return deliver_child(argv[2]);
  const int n = argc > 1 ? atoi(argv[1]) : 100000;
  const int rounds = argc > 2 ? atoi(argv[2]) : 5;
  TempDir dir;
  bench_configure(dir.path());
  if (configmsg_init(0, 0, "snapshot_bench") != 0) return 1;
  bvlog_to_stderr(LOG_SEV_ERR);
  if (mboxlist_recover() != 0) return 1;
  mailbox_reloadconfig();
  auto t0 = Clock::now();
  for (int i = 0; i < n; ++i) {
    if (mboxlist_createmailbox(name_of(i).c_str(), MBOX_VERSION_TRANSITION, nullptr, nullptr, auth_dontCheckAcl,
                               QUOTA_UNLIMITED, QUOTA_UNLIMITED, 0) != 0) {
      fprintf(stderr, "create %s failed\n", name_of(i).c_str());
      return 1;
    }
  }
  for (int i = 0; i < 10; ++i) {
    std::string inbox = "user/d" + std::to_string(i);
    if (mboxlist_createmailbox(inbox.c_str(), MBOX_VERSION, nullptr, nullptr, auth_dontCheckAcl, QUOTA_UNLIMITED,
                               QUOTA_UNLIMITED, 0) != 0) {
      fprintf(stderr, "create %s failed\n", inbox.c_str());
      return 1;
    }
  }
  double created = bench_seconds_since(t0);
  if (mboxlist_checkpoint_force() != 0 || mboxlist_checkpoint300() != 0) return 1;
  const std::string snapdir = dir.path() + "/snaps/";
  const std::string live = dir.path() + "/store/mboxlist/";

  // 1. Snapshot against cp of the same files.
  std::vector<double> snap_t, cp_t, cpsync_t;
  long long bytes = 0;
  for (int r = 0; r < rounds; ++r) {
    snapshot_result res;
    snap_t.push_back(take(snapdir, &res));
    bytes = res.bytes;
    std::istringstream manifest(read_text_file(snapdir + res.slot + "/.snaptime"));
    std::string files, copies, name;
    long long size;
    while (manifest >> name >> size) {
      files += " " + live + name;
      copies += " " + dir.path() + "/cp/" + name;
    }
    run("rm -rf " + dir.path() + "/cp && mkdir " + dir.path() + "/cp");
    auto t = Clock::now();
    if (run("cp" + files + " " + dir.path() + "/cp/") != 0) return 1;
    cp_t.push_back(bench_seconds_since(t));
    if (run("sync" + copies) != 0) return 1;
    cpsync_t.push_back(bench_seconds_since(t));
  }
  std::sort(snap_t.begin(), snap_t.end());
  std::sort(cp_t.begin(), cp_t.end());
  std::sort(cpsync_t.begin(), cpsync_t.end());
  double snap_med = snap_t[rounds / 2], cp_med = cp_t[rounds / 2], cpsync_med = cpsync_t[rounds / 2];

  // 2. Deliveries with and without snapshots.
  int fd = service_announce("stored");
  if (fd < 0 || service_set_ready(fd) != 0) return 1;
  std::string counter_path = dir.path() + "/counter";
  std::atomic<uint64_t>* counter = map_counter(counter_path);
  if (!counter) return 1;
  pid_t child = fork();
  if (child == 0) {
    execl("/proc/self/exe", argv[0], "--deliver", counter_path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // Let the delivery process start and warm up.
  for (int i = 0; i < 100 && counter->load() < 20; ++i) usleep(50000);
  double off_s = 0, on_s = 0;
  uint64_t off_n = 0, on_n = 0;
  int takes = 0;
  for (int r = 0; r < rounds; ++r) {
    uint64_t c = counter->load();
    auto t = Clock::now();
    usleep(3000000);
    off_s += bench_seconds_since(t);
    off_n += counter->load() - c;
    c = counter->load();
    t = Clock::now();
    // On a thread at nice 10, as the store daemon takes them.
    std::thread([&] {
      setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
      do {
        snapshot_result res;
        take(snapdir, &res);
        ++takes;
      } while (bench_seconds_since(t) < 3);
    }).join();
    on_s += bench_seconds_since(t);
    on_n += counter->load() - c;
  }
  kill(child, SIGTERM);
  int status = 0;
  waitpid(child, &status, 0);
  service_withdraw("stored", fd);
  if (off_n == 0) {
    fprintf(stderr, "the delivery process delivered nothing\n");
    return 1;
  }

  printf("mailbox list: %d folders (created in %.1f s), snapshot of %.1f MB\n", n, created, bytes / 1048576.0);
  printf("%-40s %10.3f s\n", "snapshot (median)", snap_med);
  printf("%-40s %10.3f s   ratio %.2f (goal <= 1.5)\n", "cp of the same files (median)", cp_med, snap_med / cp_med);
  printf("%-40s %10.3f s   ratio %.2f\n", "cp + sync of the copies (median)", cpsync_med, snap_med / cpsync_med);
  double off_rate = off_n / off_s, on_rate = on_n / on_s;
  printf("%-40s %10.1f /s\n", "deliveries, no snapshot", off_rate);
  printf("%-40s %10.1f /s   %.0f%% of the rate (goal >= 80%%), %d snapshots\n", "deliveries, snapshots back to back",
         on_rate, 100 * on_rate / off_rate, takes);
  return 0;
}
