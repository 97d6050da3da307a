// The snapshot writer: slot contents checked with the Berkeley DB tools
// (catastrophic recovery of a copy, verify, dump), rotation, the busy lock,
// and faults injected at every file-system step of a take.
#include "store/snapshot.h"

#include <sys/file.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "common/fileio.h"
#include "common/unique_fd.h"
#include "store/mboxlist_test_util.h"

namespace fs = std::filesystem;

namespace {

// Output of a shell command (stderr folded in) and its status.
std::string run(const std::string& cmd, int* status = nullptr) {
  std::string out;
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int st = pclose(p);
  if (status) *status = st;
  return out;
}

// Every file of a slot and its bytes.
std::map<std::string, std::string> slot_files(const std::string& dir) {
  std::map<std::string, std::string> m;
  for (const auto& e : fs::directory_iterator(dir)) m[e.path().filename()] = read_text_file(e.path());
  return m;
}

class SnapshotTest : public StoreFixture {
 protected:
  void SetUp() override {
    // Small log files keep the many takes below quick.
    fs::create_directories(store_dir() + "/mboxlist");
    write_text_file(store_dir() + "/mboxlist/DB_CONFIG", "set_lg_bsize 16384\nset_lg_max 65536\n");
    ASSERT_EQ(configure(""), 0);
    snapdir_ = store_dir() + "/snaps/";
  }
  snapshot_result take(int count = 3, int expect = 0) {
    snapshot_result res;
    snapshot_params p;
    p.count = count;
    EXPECT_EQ(snapshot_take(mboxlist_env(), snapdir_, p, &res), expect);
    return res;
  }
  std::vector<snapshot_slot> list() {
    std::vector<snapshot_slot> v;
    EXPECT_EQ(snapshot_list(snapdir_, &v), 0);
    return v;
  }
  // Catastrophic recovery of a copy of the slot, as start-up recovery does
  // after restoring it; then each database must verify and folder.db must
  // hold want.  Empty on success, else what went wrong.
  std::string recover_copy(const std::string& slot, const std::string& want) {
    TempDir copy;
    fs::copy(snapdir_ + slot, copy.path(), fs::copy_options::recursive);
    fs::remove(copy / ".snaptime");
    int st = 0;
    std::string out = run("db5.3_recover -c -h " + copy.path(), &st);
    if (st != 0) return "recover: " + out;
    for (const char* db : {"folder.db", "quota.db", "peruser.db", "subscr.db"}) {
      out = run("db5.3_verify -o -h " + copy.path() + " " + db, &st);
      if (st != 0) return std::string("verify ") + db + ": " + out;
    }
    out = run("db5.3_dump -p -h " + copy.path() + " folder.db", &st);
    if (st != 0 || out.find(want) == std::string::npos) return "dump lacks " + want + ": " + out;
    return "";
  }
  std::string snapdir_;
};

TEST_F(SnapshotTest, SlotHoldsDatabasesAndLogsOnlyAndRecoversToTheContent) {
  put_folder("user/anna", "anna\tlrswipcda\t");
  snapshot_result res = take();
  EXPECT_EQ(res.slot, "snap1");
  EXPECT_GT(res.bytes, 0);
  auto files = slot_files(snapdir_ + "snap1");
  for (const auto& [name, bytes] : files) {
    bool allowed = name == ".snaptime" || (name.size() > 3 && name.substr(name.size() - 3) == ".db") ||
                   name.rfind("log.", 0) == 0;
    EXPECT_TRUE(allowed) << name;
    EXPECT_NE(name.rfind("__db", 0), 0u) << name;
  }
  EXPECT_TRUE(files.count("folder.db") && files.count("quota.db") && files.count("lright.db"));
  // The manifest names every other file with its size.
  size_t lines = 0;
  for (char c : files[".snaptime"]) lines += c == '\n';
  EXPECT_EQ(lines, files.size() - 1);
  auto v = list();
  ASSERT_EQ(v.size(), 1u);
  EXPECT_TRUE(v[0].complete) << v[0].problem;
  EXPECT_EQ(v[0].time, res.time);
  EXPECT_EQ(recover_copy("snap1", "user/anna"), "");
  // Nothing of the take is left over beside the slot and the lock file.
  for (const auto& e : fs::directory_iterator(snapdir_)) {
    std::string n = e.path().filename();
    EXPECT_TRUE(n == "snap1" || n == ".snaplock") << n;
  }
}

TEST_F(SnapshotTest, KeepsTheNewestCountSlotsAndSkipsWhenNothingChanged) {
  std::vector<std::string> order;
  for (int i = 0; i < 5; ++i) {
    put_folder("user/u" + std::to_string(i), "");
    order.push_back(take(2).slot);
  }
  // Two slots at any time, the newer one always kept: 1, 2, 1, 2, 1.
  EXPECT_EQ(order, (std::vector<std::string>{"snap1", "snap2", "snap1", "snap2", "snap1"}));
  auto v = list();
  ASSERT_EQ(v.size(), 2u);
  EXPECT_EQ(v[0].name, "snap1");  // newest first
  EXPECT_EQ(v[1].name, "snap2");
  EXPECT_EQ(recover_copy("snap1", "user/u4"), "");
  EXPECT_EQ(recover_copy("snap2", "user/u3"), "");
  EXPECT_NE(recover_copy("snap2", "user/u4"), "");

  // Nothing written since: the previous position makes the take a no-op.
  snapshot_result last = take(2);
  snapshot_params p;
  p.count = 2;
  p.since = &last.lsn;
  snapshot_result res;
  EXPECT_EQ(snapshot_take(mboxlist_env(), snapdir_, p, &res), kSnapshotUnchanged);
  ASSERT_EQ(mboxlist_checkpoint60(), 0);  // a periodic checkpoint writes nothing either
  EXPECT_EQ(snapshot_take(mboxlist_env(), snapdir_, p, &res), kSnapshotUnchanged);
  put_folder("user/late", "");
  EXPECT_EQ(snapshot_take(mboxlist_env(), snapdir_, p, &res), 0);
  EXPECT_EQ(recover_copy(res.slot, "user/late"), "");
}

TEST_F(SnapshotTest, AnotherWriterMakesItBusyAndHoldsOffLogRemoval) {
  take();
  UniqueFd other(open((snapdir_ + ".snaplock").c_str(), O_RDWR | O_CLOEXEC));
  ASSERT_TRUE(other);
  ASSERT_EQ(flock(other.get(), LOCK_EX | LOCK_NB), 0);
  put_folder("user/b", "");
  take(3, kSnapshotBusy);
  EXPECT_EQ(snapshot_remove_logs(snapdir_), 1);
  ASSERT_EQ(flock(other.get(), LOCK_UN), 0);
  EXPECT_EQ(snapshot_remove_logs(snapdir_), 0);
  EXPECT_EQ(take().slot, "snap2");
  EXPECT_EQ(list().size(), 2u);
}

TEST_F(SnapshotTest, LeftoversOfAKilledWriterAreRemoved) {
  // A slot written up to its stamp but not renamed, a retirement cut short,
  // a writer's slot name without a stamp.
  for (const char* d : {".snaptmp", ".snapdel", "snap2"}) fs::create_directories(snapdir_ + d);
  write_text_file(snapdir_ + ".snaptmp/.snaptime", "");
  write_text_file(snapdir_ + ".snaptmp/folder.db", "torn");
  write_text_file(snapdir_ + ".snapdel/quota.db", "old");
  put_folder("user/c", "");
  EXPECT_EQ(take().slot, "snap1");
  EXPECT_FALSE(fs::exists(snapdir_ + ".snaptmp"));
  EXPECT_FALSE(fs::exists(snapdir_ + ".snapdel"));
  EXPECT_FALSE(fs::exists(snapdir_ + "snap2"));
  EXPECT_EQ(recover_copy("snap1", "user/c"), "");
}

// The fault plan: fail the n-th call of one operation.  Berkeley DB's own
// opens of the live environment's files pass through the seam too; they
// are left alone, as a failure there is the environment's, not the take's.
fs_op g_op;
int g_at = 0;
int g_seen = 0;
int fault_hook(fs_op op, const char* path, size_t*) {
  if (op != g_op || (path && strstr(path, "/mboxlist/"))) return 0;
  return ++g_seen == g_at ? EIO : 0;
}
int halve_hook(fs_op op, const char*, size_t* n) {
  if (op == fs_op::pwrite && *n > 1) *n /= 2;
  return 0;
}

TEST_F(SnapshotTest, AFailureAtAnyStepLeavesNoBrokenSlotAndTheOldOnesIntact) {
  // Two slots of count 2, so a take also retires one.
  put_folder("user/first", "");
  take(2);
  put_folder("user/second", "");
  std::string newest = take(2).slot;
  const struct {
    fs_op op;
    const char* name;
  } ops[] = {{fs_op::open, "open"},   {fs_op::pwrite, "pwrite"}, {fs_op::write, "write"},
             {fs_op::fsync, "fsync"}, {fs_op::rename, "rename"}, {fs_op::mkdir, "mkdir"},
             {fs_op::unlink, "unlink"}};
  int injected = 0;
  for (const auto& o : ops) {
    for (int at = 1; at < 200; ++at) {
      SCOPED_TRACE(std::string(o.name) + " #" + std::to_string(at));
      std::string n = std::to_string(injected);
      put_folder("user/x" + n, "");
      auto before = slot_files(snapdir_ + newest);
      g_op = o.op;
      g_at = at;
      g_seen = 0;
      fs_set_fault_hook(fault_hook);
      snapshot_result res;
      snapshot_params p;
      p.count = 2;
      int r = snapshot_take(mboxlist_env(), snapdir_, p, &res);
      fs_set_fault_hook(nullptr);
      if (g_seen < at) {  // the operation ran fewer times: plan exhausted
        EXPECT_EQ(r, 0);
        if (r == 0) newest = res.slot;
        break;
      }
      ++injected;
      // Whatever failed: each slot that looks complete is, and the newest
      // slot before the take is as it was (only older ones are retired).
      for (const auto& s : list()) {
        if (s.name.size() < 6) {
          EXPECT_TRUE(s.complete) << s.name << ": " << s.problem;
        }
      }
      ASSERT_TRUE(fs::exists(snapdir_ + newest));
      EXPECT_EQ(slot_files(snapdir_ + newest), before);
      if (r != 0) {
        EXPECT_FALSE(fs::exists(snapdir_ + ".snaptmp"));
      }
      // The next take without faults works and its slot recovers.
      put_folder("user/y" + n, "");
      newest = take(2).slot;
    }
  }
  EXPECT_GT(injected, 20);
  EXPECT_EQ(recover_copy(newest, "user/y" + std::to_string(injected - 1)), "");
}

TEST_F(SnapshotTest, ShortWritesAreCompleted) {
  put_folder("user/short", "");
  fs_set_fault_hook(halve_hook);
  snapshot_result res = take();
  fs_set_fault_hook(nullptr);
  EXPECT_EQ(recover_copy(res.slot, "user/short"), "");
  EXPECT_EQ(fs::file_size(snapdir_ + res.slot + "/folder.db"), fs::file_size(store_dir() + "/mboxlist/folder.db"));
}

TEST_F(SnapshotTest, CancelledTakeLeavesNothing) {
  std::atomic<bool> cancel{true};
  snapshot_params p;
  p.cancel = &cancel;
  snapshot_result res;
  EXPECT_EQ(snapshot_take(mboxlist_env(), snapdir_, p, &res), ECANCELED);
  EXPECT_TRUE(list().empty());
}

TEST(SnapshotList, ReadsSlotsAsRecoveryDoesAndChecksManifests) {
  TempDir d;
  auto mk = [&](const std::string& slot, const std::string& stamp, bool with_stamp = true) {
    fs::create_directories(d / slot);
    write_text_file(d / (slot + "/folder.db"), "12345");
    if (with_stamp) write_text_file(d / (slot + "/.snaptime"), stamp);
  };
  mk("s1", "");                    // made by hand: no manifest, taken as it is
  mk("snap3", "folder.db 5\n");    // whole
  mk("snap4", "folder.db 8192\n");  // a torn copy
  mk("snap5", "folder.db 5\nquota.db 512\n");
  mk("nostamp", "", false);         // too long a name: never a slot
  mk("snap12", "");                 // six characters: ignored
  mk("x", "", false);               // no stamp
  struct timespec old[2] = {{1000, 0}, {1000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (d / "s1/.snaptime").c_str(), old, 0), 0);
  std::vector<snapshot_slot> v;
  ASSERT_EQ(snapshot_list(d.path(), &v), 0);
  std::map<std::string, snapshot_slot> by;
  for (const auto& s : v) by[s.name] = s;
  ASSERT_EQ(by.size(), 5u);
  EXPECT_TRUE(by["s1"].complete);
  EXPECT_EQ(by["s1"].time, 1000);
  EXPECT_TRUE(by["snap3"].complete);
  EXPECT_FALSE(by["snap4"].complete);
  EXPECT_EQ(by["snap4"].problem, "folder.db has 5 bytes, not 8192");
  EXPECT_EQ(by["snap5"].problem, "quota.db missing");
  EXPECT_EQ(by["x"].problem, "no .snaptime");
  // Complete ones first, newest first.
  EXPECT_EQ(v[0].name, "snap3");
  EXPECT_EQ(v[1].name, "s1");
}

TEST_F(StoreFixture, SnapshotDirFollowsThePathRules) {
  std::string dir;
  EXPECT_EQ(snapshot_dir(&dir), ENOENT);
  ASSERT_EQ(configure("local.store.snapshotpath = \n"), 0);
  EXPECT_EQ(snapshot_dir(&dir), ENOENT);
  ASSERT_EQ(configure("local.store.snapshotpath = dbdata/snapshots\n"), 0);
  ASSERT_EQ(snapshot_dir(&dir), 0);
  EXPECT_EQ(dir, store_dir() + "/dbdata/snapshots/");
  ASSERT_EQ(configure("local.store.snapshotpath = /var/snap/\n"), 0);
  ASSERT_EQ(snapshot_dir(&dir), 0);
  EXPECT_EQ(dir, "/var/snap/");
  ASSERT_EQ(configure("local.store.snapshotpath = /var/../etc\n"), 0);
  EXPECT_EQ(snapshot_dir(&dir), EINVAL);
  ASSERT_EQ(configure("local.store.snapshotpath = /" + std::string(980, 'a') + "\n"), 0);
  EXPECT_EQ(snapshot_dir(&dir), ENAMETOOLONG);
}

}  // namespace
