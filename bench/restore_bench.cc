// restore_bench: orvrestore of a full backup into an empty store beside
// delivering the same messages with the delivery command.
//
// Builds the backup benchmark's kind of store (fixed seed; sizes 2-500 KB
// skewed towards the small end; 80 messages per user INBOX; 10 % of the
// files hard-linked into the user's "Copies" folder) with N messages, backs
// it up (all at sync level 0: not measured), then compares with the shared
// A/B harness (alternating runs, BENCH_PAIRS pairs, same file system):
//   A: wipes the store and restores the volume (restore_stream, in a child
//      process, as orvrestore does),
//   B: wipes the store, creates the users (untimed) and delivers every
//      INBOX message through orvdeliver's library, one delivery per
//      message, in one process (no start-up cost per message, so delivery
//      is timed at its fastest; the command itself also needs the store
//      daemon),
// at the store's default sync level and again, in a row labelled as such,
// at level 0, and prints every pair and the ratios of the medians.
//
// Usage: restore_bench [messages (2000)] [work directory (a temporary one)]
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "backup/backup.h"
#include "backup/bkcontext.h"
#include "backup/bkdev.h"
#include "backup/bklist.h"
#include "backup/bktest_store.h"
#include "backup/restore.h"
#include "bench/bench_util.h"
#include "common/bvlog.h"
#include "common/config.h"
#include "common/test_util.h"
#include "store/deliver.h"

namespace {

// Runs f in a child process with the store started (the parent keeps no
// environment open across forks); its exit status.
template <class F>
int in_child(F f) {
  pid_t pid = fork();
  if (pid == 0) {
    if (configmsg_init(0, 16, "restore_bench") != 0 || mboxlist_recover() != 0) _exit(90);
    bvlog_to_stderr(LOG_SEV_ERR);
    int rc = f();
    mboxlist_close();
    _exit(rc);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

void wipe(const std::string& work) {
  std::string cmd = "rm -rf '" + work + "/store' '" + work + "/p1'";
  if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "wipe failed\n");
}

}  // namespace

int main(int argc, char** argv) {
  int total = argc > 1 ? std::atoi(argv[1]) : 2000;
  TempDir tmp;
  std::string work = argc > 2 ? argv[2] : tmp.path();
  bench_configure(work, 0);
  std::mt19937 rng(20240101);
  std::vector<std::pair<int, std::string>> inbox_msgs;  // user, message file
  int users = 0, links = 0;
  int rc = in_child([&] { return bkt_bench_store(rng, total) != 0; });
  if (rc != 0) {
    std::fprintf(stderr, "cannot build the store in %s (%d)\n", work.c_str(), rc);
    return 1;
  }
  // The same messages for delivery, kept outside the store.
  std::string msgdir = work + "/msgs";
  mkdir(msgdir.c_str(), 0700);
  std::mt19937 again(20240101);
  (void)bkt_bench_messages(again, total, [&](int user, int n, const std::string& text, bool copy) {
    std::string f = msgdir + "/" + std::to_string(n);
    write_text_file(f, text);
    inbox_msgs.emplace_back(user, f);
    users = user + 1;
    links += copy;
    return 0;
  });
  std::printf("store: %d messages in %d users, %d hard links\n", total, users, links);

  std::string vol = work + "/vol";
  rc = in_child([&] {
    backup_options o;
    o.devname = vol;
    o.names = {"/"};
    return backup_run(o, "orvbackup");
  });
  if (rc != 0) {
    std::fprintf(stderr, "backup failed (%d)\n", rc);
    return 1;
  }

  BenchSide restore{"orvrestore",
                    [&] {
                      int r = in_child([&] {
                        int fd = open(vol.c_str(), O_RDONLY | O_CLOEXEC);
                        if (fd < 0) return 66;
                        int e;
                        {
                          BkContext ctx("orvrestore", 0, 1);
                          if (!ctx.isvalid()) return 69;
                          BKDEV dev(fd, O_RDONLY, bklist_probe_factor(fd), nullptr, nullptr);
                          e = dev.error() ? 74
                                          : restore_stream(dev, ctx.getSession(BkMode::Restore, 1, 0), RestoreOptions(),
                                                           stdout, stderr);
                        }
                        close(fd);
                        return e;
                      });
                      if (r != 0) std::fprintf(stderr, "restore failed (%d)\n", r);
                      return r == 0;
                    },
                    [&] {
                      wipe(work);
                      sync();
                      return true;
                    }};
  BenchSide deliver{
      "delivery, one per message",
      [&] {
        int r = in_child([&] {
          int bad = 0;
          for (const auto& [user, file] : inbox_msgs) {
            std::string text = read_text_file(file);
            if (deliver_message(deliver_canonicalize(text), {"u" + std::to_string(user)}, nullptr, 0, stderr) != 0)
              bad++;
          }
          return bad > 0;
        });
        if (r != 0) std::fprintf(stderr, "some deliveries failed (%d)\n", r);
        return r == 0;
      },
      [&] {
        wipe(work);
        int r = in_child([&] {
          for (int user = 0; user < users; user++) {
            std::string inbox = "user/u" + std::to_string(user);
            if (bkt_create(inbox.c_str()) != 0) return 1;
          }
          return 0;
        });
        sync();
        return r == 0;
      }};
  int status = 0;
  for (int level : {-1, 0}) {
    bench_configure(work, level);
    char row[128];
    std::snprintf(row, sizeof row, "%d messages and %d links, sync level %s", total, links,
                  level < 0 ? "default" : "0 (no flush)");
    BenchAbResult r = bench_ab(row, restore, deliver);
    if (!r.ok) status = 1;
  }
  std::printf("goal: restore no slower than delivery (wall ratio <= 1)\n");
  return status;
}
