// Listing and seen-state speed: the personal listing ("*") of a user with
// USER_FOLDERS folders, a store-wide "*" listing over STORE_FOLDERS folder
// records beside a bare Berkeley DB cursor walk over the same records in
// the same run, and seen read-modify-write cycles per second in one and in
// two processes (each process its own user on the same folder, so the two
// share the folder's records but not the per-user lock).
// Run: list_bench [USER_FOLDERS [STORE_FOLDERS [SEEN_CYCLES]]]
#include <db.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/bench_util.h"
#include "common/auth.h"
#include "common/bvlog.h"
#include "common/config.h"
#include "common/service.h"
#include "common/test_util.h"
#include "store/folder_record.h"
#include "store/mboxlist.h"
#include "store/mboxlist_internal.h"
#include "store/mboxlist_list.h"
#include "store/seen_db.h"

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const char* what) {
  fprintf(stderr, "list_bench: %s failed\n", what);
  exit(1);
}

// Folder records written straight into folder.db, 1,000 to a transaction:
// the bench measures listing, not creation.
void put_records(const std::string& owner, int first, int count) {
  mboxdata mbd;
  mbd.version = MBOX_VERSION_TRANSITION;
  std::string acl = owner + "\tlrswipcda\t";
  std::string data = folder_record_encode(mbd, "primary", acl.c_str());
  for (int done = 0; done < count;) {
    int batch = std::min(1000, count - done);
    int r = mboxlist_in_txn("bench", owner.c_str(), [&](DB_TXN* txn) -> int {
      DB* db = mboxlist_folderdb();
      for (int i = 0; i < batch; ++i) {
        int n = first + done + i;
        std::string k = "user/" + owner + (n ? "/f" + std::to_string(n) : "");
        DBT key{}, val{};
        key.data = k.data();
        key.size = static_cast<u_int32_t>(k.size() + 1);
        val.data = data.data();
        val.size = static_cast<u_int32_t>(data.size());
        if (int e = db->put(db, txn, &key, &val, 0)) return e;
      }
      return 0;
    });
    if (r) die("writing folder records");
    done += batch;
  }
}

int count_entry(const char*, int, int, const mboxdata*, void* rock) {
  ++*static_cast<long*>(rock);
  return 0;
}

double bare_walk(long* count) {
  auto t = Clock::now();
  DB* db = mboxlist_folderdb();
  DbCursor c;
  if (db->cursor(db, nullptr, c.out(), 0) != 0) die("cursor");
  DBT key{}, data{};
  key.flags = data.flags = DB_DBT_REALLOC;
  *count = 0;
  while (c->get(c.get(), &key, &data, DB_NEXT) == 0) ++*count;
  free(key.data);
  free(data.data);
  return bench_seconds_since(t);
}

// cycles lock-read-write-unlock cycles of user's state of folder.
void seen_cycles(const char* user, int cycles) {
  seen_folder f{"user/big", nullptr, 1000};
  seen* s = nullptr;
  if (seen_open_folder(f, user, &s) != 0) die("seen_open_folder");
  for (int i = 0; i < cycles; ++i) {
    time_t lastread, lastchange;
    uint32_t lastuid;
    char* uids = nullptr;
    if (seen_lockread(s, &lastread, &lastuid, &lastchange, &uids) != 0) die("seen_lockread");
    free(uids);
    std::string set = "1:" + std::to_string(1 + i % 999) + " ";
    if (seen_write(s, time(nullptr), 1000, time(nullptr), set.c_str()) != 0) die("seen_write");
    seen_unlock(s);
  }
  seen_close(s);
}

}  // namespace

int main(int argc, char** argv) {
  int user_folders = argc > 1 ? atoi(argv[1]) : 1000;
  int store_folders = argc > 2 ? atoi(argv[2]) : 100000;
  int cycles = argc > 3 ? atoi(argv[3]) : 2000;
  if (user_folders < 1 || store_folders < user_folders || cycles < 1) {
    fprintf(stderr, "Usage: list_bench [USER_FOLDERS [STORE_FOLDERS [SEEN_CYCLES]]]\n");
    return 64;
  }
  TempDir dir;
  std::string conf = "local.store.dir = " + dir.path() + "/store\nstore.partition.primary.path = " + dir.path() +
                     "/p1\nlocal.log.target = stderr\n";
  if (configmsg_init_text(conf, "bench", "list_bench") != 0) return 1;
  bvlog_to_stderr(LOG_SEV_ERR);
  if (mboxlist_recover() != 0) return 1;

  // "big" and as many other users of 100 folders as fill the store.
  put_records("big", 0, user_folders);
  int others = 0;
  for (int left = store_folders - user_folders; left > 0; left -= 100) {
    std::string user = "u";
    user += std::to_string(others++);
    put_records(user, 0, std::min(100, left));
  }

  auth_state* auth = nullptr;
  if (auth_newstate("big", nullptr, &auth) != 0) die("auth_newstate");
  long user_count = 0;
  auto t = Clock::now();
  if (mboxlist_findall("*", 0, 0, "big", auth, count_entry, &user_count) != 0) die("user listing");
  double user_time = bench_seconds_since(t);
  auth_freestate(auth);

  long store_count = 0;
  t = Clock::now();
  if (mboxlist_findall("*", 0, -1, nullptr, nullptr, count_entry, &store_count) != 0) die("store listing");
  double store_time = bench_seconds_since(t);
  long bare_count = 0;
  double bare_time = bare_walk(&bare_count);

  if (seen_create_folder("user/big") != 0) die("seen_create_folder");
  t = Clock::now();
  seen_cycles("reader0", cycles);
  double seen1 = bench_seconds_since(t);
  mboxlist_close();

  // Two processes join after the fork; the bench plays the store daemon.
  int fd = service_announce("stored");
  if (fd < 0 || service_set_ready(fd) != 0) return 1;
  int gate[2], joined[2];
  if (pipe(gate) != 0 || pipe(joined) != 0) return 1;
  pid_t pids[2];
  for (int p = 0; p < 2; ++p) {
    pids[p] = fork();
    if (pids[p] == 0) {
      close(gate[1]);
      close(joined[0]);
      if (mboxlist_init() != 0) _exit(1);
      if (write(joined[1], "j", 1) != 1) _exit(1);
      char c;
      if (read(gate[0], &c, 1) != 0) _exit(1);  // released by EOF
      seen_cycles(p ? "reader2" : "reader1", cycles);
      mboxlist_close();
      _exit(0);
    }
  }
  close(gate[0]);
  close(joined[1]);
  char buf[2];
  for (size_t got = 0; got < 2;) {  // both children have joined the environment
    ssize_t n = read(joined[0], buf, 2 - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(joined[0]);
  t = Clock::now();
  close(gate[1]);
  int failed = 0;
  for (pid_t pid : pids) {
    int st = 0;
    waitpid(pid, &st, 0);
    failed |= !WIFEXITED(st) || WEXITSTATUS(st) != 0;
  }
  double seen2 = bench_seconds_since(t);
  service_withdraw("stored", fd);
  if (failed) die("a seen process");

  printf("user listing, %d folders:        %8.1f ms (%ld entries)\n", user_folders, user_time * 1e3, user_count);
  printf("store-wide '*' listing, %d:    %8.1f ms (%ld entries)\n", store_folders, store_time * 1e3, store_count);
  printf("bare cursor walk, same records: %8.1f ms (%ld records)   ratio %.2f\n", bare_time * 1e3, bare_count,
         store_time / bare_time);
  printf("seen cycles/s, one process:     %8.0f\n", cycles / seen1);
  printf("seen cycles/s, two processes:   %8.0f (together)\n", 2 * cycles / seen2);
  return 0;
}
