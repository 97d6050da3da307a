// backup_bench: a full backup of a store against tar of its partition.
//
// Builds a store of N messages (fixed seed; sizes 2-500 KB skewed towards
// the small end, about 55 KB on average; 80 per user INBOX; 10 % of the
// files hard-linked into the user's "Copies" folder), then times in one run
// (same file system, warm cache, best of two):
//   - a full backup (backup_run "-f FILE /") in a child process,
//   - tar -cf FILE of the partition directory,
//   - an incremental backup (-d) after 1 % of the messages were added,
// and prints the times, the ratios and the backup's peak memory.
//
// Usage: backup_bench [messages (20000)] [work directory (a temporary one)]
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "backup/backup.h"
#include "backup/bktest_store.h"
#include "common/bvlog.h"
#include "common/config.h"
#include "common/test_util.h"

namespace {

constexpr int PER_USER = 80;

std::string message(std::mt19937& rng, size_t size, int n) {
  std::string m = "From: bench@example.com\r\nTo: user@example.com\r\nSubject: message " + std::to_string(n) +
                  "\r\nDate: Mon, 1 Jan 2024 10:00:00 +0000\r\n\r\n";
  std::uniform_int_distribution<int> c('a', 'z');
  while (m.size() + 2 < size) {
    size_t line = std::min<size_t>(76, size - m.size() - 2);
    for (size_t i = 0; i < line; i++) m += static_cast<char>(c(rng));
    m += "\r\n";
  }
  return m;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Runs a backup of "/" into vol in a child process (the parent keeps no
// environment open across the fork).  Returns the elapsed seconds; *rss
// gets the child's peak resident size in KB.
double timed_backup(const std::string& vol, time_t startdate, long* rss) {
  auto t0 = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    if (configmsg_init(0, 16, "orvbackup") != 0 || mboxlist_recover() != 0) _exit(90);
    backup_options o;
    o.devname = vol;
    o.names = {"/"};
    o.startdate = startdate;
    _exit(backup_run(o, "orvbackup"));
  }
  int status = 0;
  struct rusage ru;
  wait4(pid, &status, 0, &ru);
  double s = seconds_since(t0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::fprintf(stderr, "backup failed: status %d\n", status);
  *rss = ru.ru_maxrss;
  return s;
}

double timed_tar(const std::string& file, const std::string& dir) {
  auto t0 = std::chrono::steady_clock::now();
  std::string cmd = "tar -cf '" + file + "' -C '" + dir + "' .";
  if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "tar failed\n");
  return seconds_since(t0);
}

}  // namespace

int main(int argc, char** argv) {
  int total = argc > 1 ? std::atoi(argv[1]) : 20000;
  TempDir tmp;
  std::string work = argc > 2 ? argv[2] : tmp.path();
  std::string conf = work + "/orv.conf";
  write_text_file(conf, "local.store.dir = " + work + "/store\nlocal.servername = bench\nlocal.log.target = stderr\n" +
                            "local.store.synclevel = 0\nstore.partition.primary.path = " + work + "/p1\n");
  setenv(ORV_CONFIG_ENV, conf.c_str(), 1);
  if (configmsg_init(0, 16, "backup_bench") != 0 || mboxlist_recover() != 0) {
    std::fprintf(stderr, "cannot start the store in %s\n", work.c_str());
    return 1;
  }
  bvlog_to_stderr(LOG_SEV_ERR);
  std::mt19937 rng(20240101);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  long long bytes = 0;
  int made = 0, links = 0;
  for (int user = 0; made < total; user++) {
    std::string inbox = "user/u" + std::to_string(user);
    std::string copies = inbox + "/Copies";
    if (bkt_create(inbox.c_str()) != 0 || bkt_create(copies.c_str()) != 0) return 1;
    for (int i = 0; i < PER_USER && made < total; i++, made++) {
      double x = u(rng);
      size_t size = 2048 + static_cast<size_t>(498.0 * 1024 * x * x * x * x * x * x * x * x);
      std::string text = message(rng, size, made);
      uint32_t uid;
      std::string path;
      if (bkt_append(inbox.c_str(), text, 1700000000 + made, 0, &uid, "", &path) != 0) return 1;
      bytes += static_cast<long long>(text.size());
      if (u(rng) < 0.10) {
        if (bkt_append(copies.c_str(), "", 1700000000 + made, 0, &uid, path) != 0) return 1;
        links++;
      }
    }
  }
  std::printf("store: %d messages, %.1f MB, %d hard links\n", made, static_cast<double>(bytes) / 1e6, links);
  mboxlist_close();
  configmsg_free();

  std::string vol = work + "/vol", tarfile = work + "/vol.tar", part = work + "/p1";
  long rss = 0, rss2 = 0;
  (void)timed_tar(tarfile, part);  // warm the cache
  double full = 1e9, tar = 1e9;
  for (int round = 0; round < 2; round++) {
    full = std::min(full, timed_backup(vol, 0, &rss2));
    rss = std::max(rss, rss2);
    tar = std::min(tar, timed_tar(tarfile, part));
  }
  struct stat st;
  stat(vol.c_str(), &st);
  std::printf("full backup: %.2f s (%.1f MB), peak memory %ld KB\n", full, static_cast<double>(st.st_size) / 1e6, rss);
  std::printf("tar:         %.2f s\n", tar);
  std::printf("ratio backup/tar: %.2f (goal <= 1.2)\n", full / tar);

  // 1 % more messages, dated after the cut-off, spread over the users.
  sleep(2);
  time_t cut = time(nullptr);
  if (configmsg_init(0, 16, "backup_bench") != 0 || mboxlist_recover() != 0) return 1;
  int add = std::max(1, total / 100);
  for (int i = 0; i < add; i++) {
    std::string inbox = "user/u" + std::to_string((i * 7) % ((total + PER_USER - 1) / PER_USER));
    uint32_t uid;
    if (bkt_append(inbox.c_str(), message(rng, 4096, i), cut + 1, 0, &uid) != 0) break;
  }
  mboxlist_close();
  configmsg_free();
  double incr = timed_backup(vol, cut, &rss2);
  stat(vol.c_str(), &st);
  std::printf("incremental (-d) after 1%% new: %.2f s (%.1f MB), peak memory %ld KB\n", incr,
              static_cast<double>(st.st_size) / 1e6, rss2);
  std::printf("ratio incremental/full: %.3f (goal <= 0.10)\n", incr / full);
  return 0;
}
