// Crash safety of appends: a process delivering messages is killed with
// SIGKILL at random points, again and again; afterwards every message whose
// append returned success is present and readable, the folder's files agree
// with each other and quota usage equals the sum of the stored messages
// (a quota repair is allowed only for the appends that never returned).
//
// The parent never opens the database environment while it forks: each
// child recovers it (as the store daemon does after a crash) and works.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>

#include "common/auth.h"
#include "common/config.h"
#include "common/test_util.h"
#include "store/append.h"
#include "store/mailbox_check.h"
#include "store/mboxlist.h"
#include "store/quota.h"

namespace {

std::string message_text(uint64_t seed) {
  std::mt19937_64 rng(seed);
  size_t body = 100 + rng() % 20000;
  std::string m = "From: crash@example.com\r\nSubject: message " + std::to_string(seed) + "\r\n\r\n";
  while (m.size() < body) m += "line " + std::to_string(rng() % 100000) + " of the body\r\n";
  return m;
}

uint64_t fnv(const std::string& s) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
  return h;
}

int kRounds = getenv("CRASH_ROUNDS") ? atoi(getenv("CRASH_ROUNDS")) : 210;

class AppendCrash : public ::testing::Test {
 protected:
  std::string conf() const {
    return "local.store.dir = " + dir_.path() + "/store\nlocal.log.target = stderr\nlocal.log.level = crit\n" +
           // The default log level: a commit reaches the file system before
           // the delivery is acknowledged, so it survives the kill.
           "store.partition.primary.path = " + dir_.path() + "/p1\n";
  }
  // Child side: recover the environment, then run body; exit status 0 on
  // success.  Never returns.
  template <class Body>
  [[noreturn]] void child(Body&& body) {
    if (configmsg_init_text(conf(), "test", "append_crash") != 0) _exit(10);
    mboxlist_set_fatal_handler([](int) { _exit(11); });
    if (mboxlist_recover() != 0) _exit(12);
    int r = body();
    mboxlist_close();
    _exit(r);
  }
  int run_child(const std::function<int()>& body) {
    pid_t pid = fork();
    if (pid == 0) child(body);
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  TempDir dir_;
};

// Appends one message; logs it when the append returned success.
int deliver_one(int logfd, uint64_t seed) {
  std::string m = message_text(seed);
  appendmbox ambox;
  if (append_setup(&ambox, "user/crash", 0, MBOX_VERSION, auth_dontCheckAcl, APPEND_ACL_NOCHECK, 0) != 0) return 21;
  uint32_t uid = 0;
  appendmsg msg;
  msg.flags = APPENDMSG_CALLER_STORAGE;
  msg.base = m.data();
  msg.size = m.size();
  int r = append_msg(&ambox, &msg, 1, nullptr, 0, nullptr, 0, 0, 1, 0, &uid);
  append_finish(&ambox);
  if (r) return 22;
  std::string line = std::to_string(seed) + " " + std::to_string(m.size()) + " " + std::to_string(fnv(m)) + " " +
                     std::to_string(uid) + "\n";
  return write(logfd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) ? 0 : 23;
}

// Appends messages until killed; logs "seed size hash uid" after each
// append that returned success.  Writes one byte to ready once started.
int deliver_loop(int logfd, int ready, uint64_t first_seed) {
  char one = 1;
  if (write(ready, &one, 1) != 1) return 20;
  for (uint64_t seed = first_seed;; ++seed) {
    if (int r = deliver_one(logfd, seed)) return r;
  }
}

TEST_F(AppendCrash, KilledDeliveriesLoseNothingThatWasAcknowledged) {
  const unsigned seed = static_cast<unsigned>(time(nullptr));
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  ASSERT_EQ(run_child([&] {
              return mboxlist_createmailbox("user/crash", MBOX_VERSION, "primary", nullptr, auth_dontCheckAcl,
                                            QUOTA_UNLIMITED, QUOTA_UNLIMITED, 0);
            }),
            0);
  const std::string logname = dir_ / "acked";
  int logfd = open(logname.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  ASSERT_GE(logfd, 0);
  const auto start = std::chrono::steady_clock::now();
  int kills = 0;
  bool out_of_time = false;
  for (int round = 0; round < kRounds; ++round) {
    int pfd[2];
    ASSERT_EQ(pipe(pfd), 0);
    pid_t pid = fork();
    if (pid == 0) {
      close(pfd[0]);
      child([&] { return deliver_loop(logfd, pfd[1], uint64_t(round) * 1000000 + 1); });
    }
    close(pfd[1]);
    char b;
    bool started = read(pfd[0], &b, 1) == 1;
    close(pfd[0]);
    if (started) usleep(static_cast<useconds_t>(rng() % 40000));
    kill(pid, SIGKILL);
    int st = 0;
    waitpid(pid, &st, 0);
    if (WIFSIGNALED(st)) {
      ++kills;
    } else {
      ADD_FAILURE() << "round " << round << ": the delivery loop stopped by itself with " << WEXITSTATUS(st);
      break;
    }
    // Well under a minute in all; a busy machine gets through fewer rounds.
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(50)) {
      out_of_time = true;
      break;
    }
  }
  // The next delivery after the last crash runs to completion, as it would
  // on a live system.  It also brings the folder's list record up to the
  // index when the last kill fell between the index header write and the
  // commit of the list transaction.
  ASSERT_EQ(run_child([&] { return deliver_one(logfd, 999999999); }), 0);
  close(logfd);
  EXPECT_GE(kills, out_of_time ? 20 : (kRounds < 200 ? kRounds : 200));

  // What was acknowledged.
  std::map<uint32_t, std::pair<uint64_t, uint64_t>> acked;  // uid -> size, hash
  std::istringstream in(read_text_file(logname));
  uint64_t s, size, hash;
  uint32_t uid;
  while (in >> s >> size >> hash >> uid) acked[uid] = {size, hash};
  ASSERT_GT(acked.size(), kRounds < 200 ? 0u : 50u);

  // The check, in a child so the parent never holds the environment.
  const std::string report = dir_ / "report";
  int r = run_child([&]() -> int {
    std::string out, note;
    mailbox m;
    if (mailbox_open("user/crash", 0, auth_dontCheckAcl, &m) != 0) return 30;
    std::map<uint32_t, index_record> records;
    uint64_t sum = 0;
    uint32_t prev = 0;
    for (uint32_t i = 1; i <= m.mbd.exists; ++i) {
      index_record rec;
      if (mailbox_read_index_record(&m, i, &rec) != 0) {
        out += "record " + std::to_string(i) + " unreadable\n";
        continue;
      }
      if (rec.uid <= prev || rec.uid > m.mbd.last_uid) out += "uid order at " + std::to_string(i) + "\n";
      prev = rec.uid;
      records[rec.uid] = rec;
      sum += rec.size;
      if (!mailbox_cache_item(m.index_map, m.name, i, CACHE_EXTRA)) out += "cache of " + std::to_string(i) + "\n";
      map_handle* map = nullptr;
      int fd = -1;
      if (mailbox_map_message(&m, rec.uid, &fd, &map) != 0) {
        out += "message " + std::to_string(rec.uid) + " missing\n";
        continue;
      }
      std::string text(map->base, map->length);
      mailbox_unmap_message(&m, &fd, map);
      if (text.size() != rec.size) out += "size of " + std::to_string(rec.uid) + "\n";
      auto it = acked.find(rec.uid);
      if (it != acked.end() && (it->second.first != text.size() || it->second.second != fnv(text)))
        out += "content of " + std::to_string(rec.uid) + "\n";
    }
    for (auto& [u, v] : acked)
      if (!records.count(u)) out += "acknowledged message " + std::to_string(u) + " lost\n";
    mailbox_check_report rep;
    if (mailbox_check(m.path, m.msgpath, &rep) != 0) out += "check tool cannot read the folder\n";
    for (const std::string& p : rep.problems) out += "check: " + p + "\n";
    if (m.mbd.qused != sum) out += "folder usage " + std::to_string(m.mbd.qused) + " != " + std::to_string(sum) + "\n";
    mailbox_close(&m);
    quotadata qd;
    if (mboxlist_getquotaroot("user/crash", &qd, nullptr) != 0) return 31;
    if (qd.qrused != sum || qd.msgqrused != records.size()) {
      // Usage counted for appends that were killed after the commit of
      // their list transaction but before they returned is the one thing
      // left to repair.
      note = "repaired quota from " + std::to_string(qd.qrused) + " bytes, " + std::to_string(qd.msgqrused) +
             " messages\n";
      // Only appends that never returned may have left usage behind.
      int changed = 0;
      if (mboxlist_fixquota("user/crash", &changed) != 0) return 32;
      if (mboxlist_getquotaroot("user/crash", &qd, nullptr) != 0) return 33;
      if (qd.qrused != sum || qd.msgqrused != records.size())
        out += "quota usage " + std::to_string(qd.qrused) + " != " + std::to_string(sum) + "\n";
    }
    write_text_file(report, out + "checked " + std::to_string(records.size()) + "\n" + note);
    return 0;
  });
  ASSERT_EQ(r, 0);
  std::string rep = read_text_file(report);
  EXPECT_EQ(rep.substr(0, 8), "checked ") << rep;
  printf("%d kills; %s", kills, rep.c_str());
}

}  // namespace
