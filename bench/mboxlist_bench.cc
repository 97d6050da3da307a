// Folder records against a bare Berkeley DB loop, for 10,000 folders:
// creations, lookups (one thread, then two processes) and a full cursor
// walk.  The bare loop reads and writes the same keys and bytes through
// its own environment in the same run, so the ratio shows what the folder
// layer costs.  Run: mboxlist_bench [N]
#include <db.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "common/auth.h"
#include "common/bvlog.h"
#include "common/config.h"
#include "common/service.h"
#include "common/test_util.h"
#include "store/folder_record.h"
#include "store/mboxlist.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string name_of(int i) {
  return "user/u" + std::to_string(i / 10) + (i % 10 ? "/f" + std::to_string(i % 10) : "");
}

// Folder layer: records only (version 0x1000001 makes no files), so both
// sides do the same database work.
double folder_create(int n) {
  auto t = Clock::now();
  for (int i = 0; i < n; ++i) {
    if (mboxlist_createmailbox(name_of(i).c_str(), MBOX_VERSION_TRANSITION, nullptr, nullptr, auth_dontCheckAcl,
                               QUOTA_UNLIMITED, QUOTA_UNLIMITED, 0) != 0) {
      fprintf(stderr, "create %s failed\n", name_of(i).c_str());
      exit(1);
    }
  }
  return bench_seconds_since(t);
}

double folder_lookup(int n, int rounds) {
  auto t = Clock::now();
  for (int r = 0; r < rounds; ++r) {
    for (int i = 0; i < n; ++i) {
      mboxdata mbd;
      char* acl = nullptr;
      if (mboxlist_lookup(name_of(i).c_str(), &mbd, nullptr, nullptr, nullptr, &acl) != 0) exit(1);
      free(acl);
    }
  }
  return bench_seconds_since(t);
}

double folder_walk(int* count) {
  auto t = Clock::now();
  DB* db = mboxlist_folderdb();
  DBC* c = nullptr;
  db->cursor(db, nullptr, &c, 0);
  DBT key{}, data{};
  key.flags = data.flags = DB_DBT_REALLOC;
  *count = 0;
  while (c->get(c, &key, &data, DB_NEXT) == 0) {
    folder_record rec;
    if (folder_record_decode(data.data, data.size, &rec) == 0) ++*count;
  }
  c->close(c);
  free(key.data);
  free(data.data);
  return bench_seconds_since(t);
}

// The bare loop: its own environment, same settings that matter, plain
// transactional puts and gets of the same bytes.
struct Bare {
  DB_ENV* env = nullptr;
  DB* db = nullptr;
  void open(const std::string& dir, bool create) {
    db_env_create(&env, 0);
    env->set_cachesize(env, 0, 8 << 20, 1);
    env->set_flags(env, DB_TXN_NOSYNC, 1);
    u_int32_t f = DB_INIT_LOCK | DB_INIT_LOG | DB_INIT_MPOOL | DB_INIT_TXN | DB_THREAD | (create ? DB_CREATE : 0);
    if (env->open(env, dir.c_str(), f, 0) != 0) exit(1);
    db_create(&db, env, 0);
    db->set_pagesize(db, 4096);
    db->set_bt_compare(db, key_compare);
    if (db->open(db, nullptr, "bare.db", nullptr, DB_BTREE, DB_AUTO_COMMIT | DB_THREAD | DB_CREATE, 0600) != 0) exit(1);
  }
  void close() {
    db->close(db, 0);
    env->close(env, 0);
  }
  double create(int n) {
    auto t = Clock::now();
    mboxdata mbd;
    mbd.version = MBOX_VERSION_TRANSITION;
    for (int i = 0; i < n; ++i) {
      std::string k = name_of(i);
      std::string d = folder_record_encode(mbd, "primary", "u\tlrswipcda\t");
      DBT key{}, data{};
      key.data = k.data();
      key.size = static_cast<u_int32_t>(k.size() + 1);
      data.data = d.data();
      data.size = static_cast<u_int32_t>(d.size());
      DB_TXN* txn = nullptr;
      env->txn_begin(env, nullptr, &txn, 0);
      db->put(db, txn, &key, &data, 0);
      txn->commit(txn, 0);
    }
    return bench_seconds_since(t);
  }
  double lookup(int n, int rounds) {
    auto t = Clock::now();
    for (int r = 0; r < rounds; ++r) {
      for (int i = 0; i < n; ++i) {
        std::string k = name_of(i);
        DBT key{}, data{};
        key.data = k.data();
        key.size = static_cast<u_int32_t>(k.size() + 1);
        key.ulen = key.size;
        key.flags = DB_DBT_USERMEM;
        data.flags = DB_DBT_MALLOC;
        if (db->get(db, nullptr, &key, &data, 0) != 0) exit(1);
        free(data.data);
      }
    }
    return bench_seconds_since(t);
  }
  double walk(int* count) {
    auto t = Clock::now();
    DBC* c = nullptr;
    db->cursor(db, nullptr, &c, 0);
    DBT key{}, data{};
    key.flags = data.flags = DB_DBT_REALLOC;
    *count = 0;
    while (c->get(c, &key, &data, DB_NEXT) == 0) ++*count;
    c->close(c);
    free(key.data);
    free(data.data);
    return bench_seconds_since(t);
  }
};

// Runs fn in two forked processes at once; returns the wall time.
template <class Fn>
double two_processes(Fn fn) {
  int gate[2];
  if (pipe(gate) != 0) exit(1);
  pid_t pids[2];
  for (pid_t& pid : pids) {
    pid = fork();
    if (pid == 0) {
      close(gate[1]);
      char c;
      if (read(gate[0], &c, 1) != 0) _exit(1);  // released by EOF
      fn();
      _exit(0);
    }
  }
  close(gate[0]);
  auto t = Clock::now();
  close(gate[1]);
  for (pid_t pid : pids) waitpid(pid, nullptr, 0);
  return bench_seconds_since(t);
}

}  // namespace

int main(int argc, char** argv) {
  int n = argc > 1 ? atoi(argv[1]) : 10000;
  const int rounds = 5;
  TempDir dir;
  std::string conf = "local.store.dir = " + dir.path() + "/store\nstore.partition.primary.path = " + dir.path() +
                     "/p1\nlocal.log.target = stderr\n";
  if (configmsg_init_text(conf, "bench", "mboxlist_bench") != 0) return 1;
  bvlog_to_stderr(LOG_SEV_ERR);
  std::string baredir = dir.path() + "/bare";
  mkdir(baredir.c_str(), 0700);

  if (mboxlist_recover() != 0) return 1;
  double fc = folder_create(n);
  double fl = folder_lookup(n, rounds);
  int fcount = 0;
  double fw = folder_walk(&fcount);
  mboxlist_close();

  Bare bare;
  bare.open(baredir, true);
  double bc = bare.create(n);
  double bl = bare.lookup(n, rounds);
  int bcount = 0;
  double bw = bare.walk(&bcount);
  bare.close();

  // Two processes: each joins after the fork.
  // The folder environment exists (made above); the bench plays the store
  // daemon so the children may join it.
  int fd = service_announce("stored");
  if (fd < 0 || service_set_ready(fd) != 0) return 1;
  double fl2 = two_processes([&] {
    if (mboxlist_init() != 0) _exit(1);
    folder_lookup(n, rounds);
    mboxlist_close();
  });
  double bl2 = two_processes([&] {
    Bare b;
    b.open(baredir, false);
    b.lookup(n, rounds);
    b.close();
  });
  service_withdraw("stored", fd);

  double lookups = double(n) * rounds;
  printf("folders: %d (walk saw %d folder records, %d bare)\n", n, fcount, bcount);
  printf("%-28s %14s %14s %7s\n", "", "folder layer", "bare loop", "ratio");
  printf("%-28s %14.0f %14.0f %7.2f\n", "creations/s", n / fc, n / bc, fc / bc);
  printf("%-28s %14.0f %14.0f %7.2f\n", "lookups/s, one thread", lookups / fl, lookups / bl, fl / bl);
  printf("%-28s %14.0f %14.0f %7.2f\n", "lookups/s, two processes", 2 * lookups / fl2, 2 * lookups / bl2, fl2 / bl2);
  printf("%-28s %13.1fms %13.1fms %7.2f\n", "full cursor walk", fw * 1e3, bw * 1e3, fw / bw);
  return 0;
}
