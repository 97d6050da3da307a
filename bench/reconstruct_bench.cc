// Rebuilding users lost by the mailbox list: the cost of the store
// daemon's start-up check of the users on disk against the list (run at
// every start, so it must stay small), and of `orvadm reconstruct -m` over
// every user after folder.db lost all its records; and the daemon's
// start-up recovery after every log file was lost, against a start after a
// clean stop.
// Run: reconstruct_bench [USERS [FOLDERS_PER_USER]]   (default 10000 2)
#include <db.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "common/auth.h"
#include "common/config.h"
#include "common/test_util.h"
#include "store/mboxlist.h"
#include "store/mboxlist_internal.h"
#include "store/mboxlist_repair.h"
#include "store/quota_record.h"

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const char* what) {
  fprintf(stderr, "reconstruct_bench: %s failed\n", what);
  exit(1);
}

void create(const std::string& name) {
  if (mboxlist_createmailbox(name.c_str(), MBOX_VERSION, nullptr, nullptr, auth_dontCheckAcl, QUOTA_UNLIMITED,
                             QUOTA_UNLIMITED, 0) != 0)
    die(("creating " + name).c_str());
}

// Closes the mailbox list and brings it up again as the daemon does,
// after taking away every log file when asked; the seconds the start took.
double restart(bool lose_logs) {
  mboxlist_close();
  if (lose_logs) {
    const std::filesystem::path dir = std::string(configmsg_get_storedir()) + "/mboxlist";
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
      if (e.path().filename().string().rfind("log.", 0) == 0) std::filesystem::remove(e.path());
    }
  }
  auto t = Clock::now();
  if (mboxlist_recover() != 0) die("start-up recovery");
  return bench_seconds_since(t);
}

double census(bool every, mboxlist_user_census* c) {
  auto t = Clock::now();
  if (mboxlist_census_users(every, c) != 0) die("census");
  return bench_seconds_since(t);
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);  // figures show as they come
  const int users = argc > 1 ? atoi(argv[1]) : 10000;
  const int folders = argc > 2 ? atoi(argv[2]) : 2;
  if (users <= 0 || folders < 0) {
    fprintf(stderr, "Usage: reconstruct_bench [USERS [FOLDERS_PER_USER]]\n");
    return 64;
  }
  TempDir work;
  bench_configure(work.path());
  if (configmsg_init(0, 0, "reconstruct_bench") != 0)
    die("configuration");
  if (mboxlist_recover() != 0) die("opening the mailbox list");

  auto t = Clock::now();
  for (int u = 0; u < users; ++u) {
    std::string inbox = "user/u" + std::to_string(u);
    create(inbox);
    for (int f = 0; f < folders; ++f) create(inbox + "/f" + std::to_string(f));
  }
  printf("created %d users with %d folders each in %.1f s\n", users, folders, bench_seconds_since(t));

  mboxlist_user_census c;
  double s = census(false, &c);
  printf("start-up check, list complete: %.1f ms (%zu users in the list, %zu on disk)\n", s * 1000, c.in_list,
         c.on_disk);

  // folder.db loses every record, as when it was removed.
  int r = mboxlist_in_txn("bench", "folder.db", [](DB_TXN* txn) {
    u_int32_t n = 0;
    DB* db = mboxlist_folderdb();
    return db->truncate(db, txn, &n, 0);
  });
  if (r) die("emptying folder.db");
  s = census(false, &c);
  printf("start-up check, every user lost: %.1f ms (%zu users missing)\n", s * 1000, c.missing.size());

  if (configmsg_writestoredfile("eve", static_cast<long>(time(nullptr)) + 1) != 0) die("recording the event");
  (void)mboxlist_catastrophic_event(0);
  t = Clock::now();
  s = census(true, &c);
  size_t rebuilt = 0;
  for (const std::string& user : c.need_repair) {
    mboxlist_rebuilt rb;
    if (mboxlist_reconstruct_user(user.c_str(), &rb) != 0) die(("rebuilding " + user).c_str());
    rebuilt += rb.folders.size();
  }
  if (mboxlist_fixlright_all() != 0) die("shared-folder lists");
  double all = bench_seconds_since(t);
  printf("reconstruct -m: %zu users, %zu folders in %.1f s (%.0f users/s; census %.1f ms)\n", c.need_repair.size(),
         rebuilt, all, static_cast<double>(c.need_repair.size()) / all, s * 1000);
  census(true, &c);
  printf("users still needing a rebuild: %zu\n", c.need_repair.size());
  const bool ok = c.need_repair.empty() && rebuilt == static_cast<size_t>(users) * (folders + 1);

  // Alternately, a start after a clean stop and one after losing the logs.
  std::vector<double> clean, lost;
  for (int i = 0; i < 3; ++i) {
    clean.push_back(restart(false));
    lost.push_back(restart(true));
    printf("start-up: after a clean stop %.2f s, after losing every log %.2f s\n", clean.back(), lost.back());
  }
  printf("start-up recovery after a log loss: median %.2f s against %.2f s (ratio %.2f)\n", bench_median(lost),
         bench_median(clean), bench_median(lost) / bench_median(clean));
  mboxlist_close();
  configmsg_free();
  return ok ? 0 : 1;
}
