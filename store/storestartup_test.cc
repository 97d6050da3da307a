#include "store/storestartup.h"

#include <db.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/bvlog.h"
#include "common/config.h"
#include "common/fileio.h"
#include "common/test_util.h"
#include "store/mboxlist.h"
#include "store/mboxlist_test_util.h"

namespace {

namespace fs = std::filesystem;

// A log file header as the library writes it: magic at 12, version at 16,
// native byte order.
std::string log_header(uint32_t magic, uint32_t version) {
  std::string h(20, '\0');
  memcpy(&h[12], &magic, 4);
  memcpy(&h[16], &version, 4);
  return h + std::string(100, 'x');
}

void set_mtime(const std::string& path, time_t t) {
  struct timeval tv[2] = {{t, 0}, {t, 0}};
  ASSERT_EQ(utimes(path.c_str(), tv), 0) << path;
}

class Census : public ::testing::Test {
 protected:
  std::string dir() const { return dir_.path() + "/"; }
  void touch(const std::string& name, const std::string& text = "") { write_text_file(dir() + name, text); }
  void make_log(long n, time_t mtime, uint32_t version = DB_LOGVERSION) {
    char name[32];
    snprintf(name, sizeof name, "log.%010ld", n);
    touch(name, log_header(DB_LOGMAGIC, version));
    set_mtime(dir() + name, mtime);
  }
  void required(bool lright) {
    for (const char* f : {"folder.db", "quota.db", "peruser.db", "subscr.db"}) touch(f);
    if (lright) touch("lright.db");
  }
  int state() {
    db_census c;
    EXPECT_EQ(check_db_dir(dir_.path().c_str(), &c), 0);
    return storestartup_state_of(c);
  }
  TempDir dir_;
};

TEST_F(Census, BitsAndCounts) {
  required(true);
  touch("DB_CONFIG");
  touch("__db.001");
  touch("__db.005");
  touch(".catrecov");
  touch("stray");
  fs::create_directory(dir() + "folderlock");
  make_log(7, 1000);
  make_log(9, 1500);
  db_census c;
  ASSERT_EQ(check_db_dir(dir_.path().c_str(), &c), 0);
  EXPECT_EQ(c.exists, 0x1u | 0x2 | 0x4 | 0x8 | 0x10 | 0x100 | 0x200 | 0x800 | 0x8000 | 0x10000);
  EXPECT_EQ(c.nfiles, 13);
  EXPECT_EQ(c.nfiles_u, 1);  // "stray"
  EXPECT_EQ(c.nlogs, 2);
  EXPECT_EQ(c.firstlog, 7);
  EXPECT_EQ(c.lastlog, 9);
  EXPECT_EQ(c.logtime, 500);
  EXPECT_TRUE(c.current_logs);
  // Names that only look like logs are just files.
  touch("log.123");
  touch("log.00000000x1");
  ASSERT_EQ(check_db_dir(dir_.path().c_str(), &c), 0);
  EXPECT_EQ(c.nlogs, 2);
  EXPECT_EQ(c.nfiles_u, 3);
}

TEST_F(Census, Failures) {
  db_census c;
  EXPECT_EQ(check_db_dir(nullptr, &c), 1);
  EXPECT_EQ(check_db_dir("", &c), 1);
  EXPECT_EQ(check_db_dir((dir() + "missing").c_str(), &c), 2);
}

TEST_F(Census, StateTable) {
  EXPECT_EQ(state(), 2) << "empty directory: a new store";
  touch("DB_CONFIG");
  EXPECT_EQ(state(), 2) << "DB_CONFIG alone is still a new store";
  touch("__db.001");
  EXPECT_EQ(state(), 5) << "regions without databases";
  fs::remove(dir() + "__db.001");
  required(false);
  EXPECT_EQ(state(), 3) << "databases without logs; lright.db is optional";
  make_log(1, 10000);
  make_log(2, 10300);
  make_log(3, 10600);
  EXPECT_EQ(state(), 1) << "contiguous logs ten minutes apart, no lright.db";
  fs::remove(dir() + "log.0000000002");
  make_log(4, 10600);
  EXPECT_EQ(state(), 4) << "logs 1, 3, 4 have a gap";
  fs::remove(dir() + "subscr.db");
  EXPECT_EQ(state(), 5) << "a required database missing";
}

TEST_F(Census, LogSpanLimit) {
  required(true);
  make_log(1, 20000);
  make_log(2, 23600);
  EXPECT_EQ(state(), 1);
  set_mtime(dir() + "log.0000000002", 23601);
  EXPECT_EQ(state(), 4);
}

TEST_F(Census, LogVersionIsTheLinkedReleases) {
  touch("a", log_header(DB_LOGMAGIC, DB_LOGVERSION));
  touch("b", log_header(DB_LOGMAGIC, 8));
  touch("c", log_header(0x12345678, DB_LOGVERSION));
  touch("d", log_header(DB_LOGMAGIC, DB_LOGVERSION).substr(0, 19));
  EXPECT_EQ(db_log_version((dir() + "a").c_str()), DB_LOGVERSION);
  EXPECT_EQ(db_log_version((dir() + "b").c_str()), 8);
  EXPECT_EQ(db_log_version((dir() + "c").c_str()), -1);
  EXPECT_EQ(db_log_version((dir() + "d").c_str()), -1);
  EXPECT_EQ(db_log_version((dir() + "none").c_str()), -1);

  // Only logs of another release: reported, and nothing is removed.
  required(true);
  touch("__db.001", "region");
  make_log(1, 1000, 8);
  db_census c;
  ASSERT_EQ(check_db_dir(dir_.path().c_str(), &c), 0);
  EXPECT_FALSE(c.current_logs);
  EXPECT_TRUE(fs::exists(dir() + "__db.001")) << "the census must not delete region files";
  ASSERT_EQ(check_db_dir((dir() + "none").c_str(), &c), 2);
}

// ---- Sequence files ------------------------------------------------------

struct SeqCase {
  const char* what;
  std::string bytes;
  int result;
  std::vector<int> sequence;
};

std::string seq_bytes(std::initializer_list<int> v) {
  std::string s;
  for (int x : v) s += static_cast<char>(x);
  return s;
}

TEST(PhaseSequence, FileFormat) {
  TempDir dir;
  const std::string magic = "functi";
  const SeqCase cases[] = {
      {"only function 4", magic + seq_bytes({0, 1, 0, 4}), 0, {4}},
      {"full default", magic + seq_bytes({0, 4, 0, 2, 0, 1, 0, 3, 0, 4}), 0, {2, 1, 3, 4}},
      {"count 0", magic + seq_bytes({0, 0}), 0, {}},
      {"ten functions", magic + seq_bytes({0, 10, 0, 1, 0, 2, 0, 3, 0, 4, 0, 1, 0, 2, 0, 3, 0, 4, 0, 1, 0, 2}), 0,
       {1, 2, 3, 4, 1, 2, 3, 4, 1, 2}},
      {"7 bytes", magic + seq_bytes({0}), 1, {}},
      {"empty", "", 1, {}},
      {"bad magic", "functx" + seq_bytes({0, 1, 0, 4}), 2, {}},
      {"count's high byte set", magic + seq_bytes({1, 1, 0, 4}), 2, {}},
      {"one byte short", magic + seq_bytes({0, 2, 0, 4, 0}), 3, {}},
      {"one byte long", magic + seq_bytes({0, 1, 0, 4, 0}), 3, {}},
      {"count 11", magic + seq_bytes({0, 11}) + std::string(22, '\1'), 4, {}},
      {"function 0", magic + seq_bytes({0, 2, 0, 4, 0, 0}), 5, {}},
      {"function 5", magic + seq_bytes({0, 1, 0, 5}), 5, {}},
      {"function 260", magic + seq_bytes({0, 1, 1, 4}), 5, {}},
  };
  for (const SeqCase& c : cases) {
    std::string path = dir / "ph";
    write_text_file(path, c.bytes);
    int n = -1, seq[10] = {};
    EXPECT_EQ(get_phase_sequence(&n, seq, path.c_str()), c.result) << c.what;
    if (c.result == 0) {
      EXPECT_EQ(std::vector<int>(seq, seq + n), c.sequence) << c.what;
    }
  }
  int n = 0, seq[10];
  EXPECT_EQ(get_phase_sequence(&n, seq, (dir / "missing").c_str()), ENOENT);
}

// ---- Snapshots -----------------------------------------------------------

class Snapshots : public ::testing::Test {
 protected:
  void SetUp() override { configure(""); }
  void TearDown() override { configmsg_free(); }
  void configure(const std::string& extra) {
    configmsg_free();
    std::string conf = "local.store.dir = " + dir_.path() + "/store\nlocal.log.target = stderr\n" + extra;
    ASSERT_EQ(configmsg_init_text(conf, "test", "snaptest"), 0);
  }
  void slot(const std::string& name, time_t t) {
    fs::create_directories(dir_ / ("snaps/" + name));
    write_text_file(dir_ / ("snaps/" + name + "/.snaptime"), "");
    set_mtime(dir_ / ("snaps/" + name + "/.snaptime"), t);
  }
  std::vector<std::string> names() {
    std::vector<snapshot_entry> snaps;
    EXPECT_EQ(analyse_snapshots((dir_ / "snaps/").c_str(), &snaps), 0);
    std::vector<std::string> out;
    for (const auto& s : snaps) out.push_back(s.name + "@" + std::to_string(s.time));
    return out;
  }
  TempDir dir_;
};

TEST_F(Snapshots, OnlyCompleteShortNamedSlotsNewestFirst) {
  slot("s1", 1000);
  slot("s2", 2000);
  slot("snap12", 9000);  // six characters: not a slot
  fs::create_directories(dir_ / "snaps/s3");  // no .snaptime: incomplete
  fs::create_directories(dir_ / "snaps/.snaptmp");
  write_text_file(dir_ / "snaps/.snaptmp/.snaptime", "");
  write_text_file(dir_ / "snaps/.snaplock", "");
  EXPECT_EQ(names(), (std::vector<std::string>{"s2@2000", "s1@1000"}));

  // More than five: the five newest are kept, whatever the listing order.
  for (int i = 1; i <= 7; ++i) slot("n" + std::to_string(i), 3000 + 100 * ((i * 3) % 7));
  EXPECT_EQ(names(), (std::vector<std::string>{"n2@3600", "n4@3500", "n6@3400", "n1@3300", "n3@3200"}));

  std::vector<snapshot_entry> snaps;
  EXPECT_EQ(analyse_snapshots((dir_ / "none/").c_str(), &snaps), 1);
}

TEST_F(Snapshots, PathRules) {
  std::string p;
  EXPECT_EQ(mboxlist_snapshot_path(&p), 1) << "unset";
  configure("local.store.snapshotpath =\n");
  EXPECT_EQ(mboxlist_snapshot_path(&p), 1) << "empty";
  configure("local.store.snapshotpath = snaps\n");
  ASSERT_EQ(mboxlist_snapshot_path(&p), 0);
  EXPECT_EQ(p, dir_.path() + "/store/snaps/");
  configure("local.store.snapshotpath = /var/snap/\n");
  ASSERT_EQ(mboxlist_snapshot_path(&p), 0);
  EXPECT_EQ(p, "/var/snap/");
  configure("local.store.snapshotpath = /var/../etc\n");
  EXPECT_EQ(mboxlist_snapshot_path(&p), -1);
  configure("local.store.snapshotpath = /" + std::string(973, 'a') + "\n");
  EXPECT_EQ(mboxlist_snapshot_path(&p), 0) << "974 bytes";
  configure("local.store.snapshotpath = /" + std::string(974, 'a') + "\n");
  EXPECT_EQ(mboxlist_snapshot_path(&p), -1) << "975 bytes";
}

TEST_F(Snapshots, AbortWhenLogsSpanTooLongOrNothingChanged) {
  std::string db = dir_ / "db";
  fs::create_directories(db);
  write_text_file(db + "/log.0000000001", log_header(DB_LOGMAGIC, DB_LOGVERSION));
  write_text_file(db + "/log.0000000002", log_header(DB_LOGMAGIC, DB_LOGVERSION));
  set_mtime(db + "/log.0000000001", 50000);
  set_mtime(db + "/log.0000000002", 51800);
  storestartup_set_last_snapshot(0);
  EXPECT_EQ(snapshot_abort(db.c_str()), 0);
  set_mtime(db + "/log.0000000002", 51801);
  EXPECT_EQ(snapshot_abort(db.c_str()), 3);
  EXPECT_EQ(snapshot_abort((dir_ / "none").c_str()), 2);
  storestartup_set_last_checkpoint(100);
  storestartup_set_last_snapshot(200);
  EXPECT_EQ(snapshot_abort(db.c_str()), 1) << "no checkpoint since the last snapshot";
  storestartup_set_last_checkpoint(300);
  EXPECT_EQ(snapshot_abort(db.c_str()), 3);
  storestartup_set_last_snapshot(0);
  storestartup_set_last_checkpoint(0);
}

// ---- Repair routines -------------------------------------------------------

fs_op g_fail_op;
const char* g_fail_suffix = nullptr;
int g_fail_errno = 0;
int fail_matching(fs_op op, const char* path, size_t*) {
  if (op != g_fail_op || !path || !g_fail_suffix) return 0;
  size_t n = strlen(path), m = strlen(g_fail_suffix);
  return n >= m && strcmp(path + n - m, g_fail_suffix) == 0 ? g_fail_errno : 0;
}
struct FaultGuard {
  FaultGuard(fs_op op, const char* suffix, int err) {
    g_fail_op = op;
    g_fail_suffix = suffix;
    g_fail_errno = err;
    fs_set_fault_hook(fail_matching);
  }
  ~FaultGuard() {
    fs_set_fault_hook(nullptr);
    g_fail_suffix = nullptr;
  }
};

std::vector<std::string> listing(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

TEST(RepairRoutine, FileCopyGoesThroughATemporaryName) {
  TempDir dir;
  std::string big(20000, 'b');
  write_text_file(dir / "src", big);
  write_text_file(dir / "dst", std::string(30000, 'o'));
  write_text_file(dir / "dst.copy", "stale");  // from a copy cut short
  EXPECT_EQ(db_file_copy((dir / "dst").c_str(), (dir / "src").c_str()), 0);
  EXPECT_EQ(read_text_file(dir / "dst"), big) << "a longer old file must not leave its tail";
  EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"dst", "src"}));
  EXPECT_EQ(db_file_copy((dir / "x").c_str(), (dir / "missing").c_str()), 1);
  EXPECT_EQ(db_file_copy((dir / "nodir/x").c_str(), (dir / "src").c_str()), 2);
  {
    // A failed rename leaves the old file whole and no temporary behind.
    FaultGuard f(fs_op::rename, "dst.copy", EIO);
    write_text_file(dir / "src", "new");
    EXPECT_EQ(db_file_copy((dir / "dst").c_str(), (dir / "src").c_str()), 4);
  }
  EXPECT_EQ(read_text_file(dir / "dst"), big);
  EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"dst", "src"}));
  // Writes carry no path: every write fails.
  fs_set_fault_hook([](fs_op op, const char*, size_t*) { return op == fs_op::write ? ENOSPC : 0; });
  EXPECT_EQ(db_file_copy((dir / "dst").c_str(), (dir / "src").c_str()), 4);
  fs_set_fault_hook(nullptr);
  EXPECT_EQ(read_text_file(dir / "dst"), big);
}

TEST(RepairRoutine, RemoveSelectsByKind) {
  TempDir dir;
  for (const char* f : {"folder.db", "log.0000000001", "__db.001", "DB_CONFIG", "other", "log.1"}) {
    write_text_file(dir / f, "");
  }
  EXPECT_EQ(db_rm(dir.path().c_str(), kRmLogs | kRmRegions), 0);
  EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"DB_CONFIG", "folder.db", "log.1", "other"}));
  EXPECT_EQ(db_rm((dir.path() + "/").c_str(), kRmDatabases | kRmDbConfig), 0);
  EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"log.1", "other"}));
  EXPECT_EQ(db_rm((dir / "missing").c_str(), 15), 0);
  EXPECT_EQ(db_rm(std::string(1000, 'a').c_str(), 15), -1);
}

class KeepAside : public ::testing::Test {
 protected:
  std::string md() const { return dir_.path() + "/mboxlist/"; }
  void fill(const std::string& tag) {
    fs::create_directories(md());
    for (const char* f : {"folder.db", "quota.db", "log.0000000003"}) write_text_file(md() + f, tag + f);
    write_text_file(md() + "DB_CONFIG", "set_lg_max 65536\n");
  }
  std::vector<std::string> extra_dirs() {
    std::vector<std::string> out;
    for (const std::string& n : listing(md())) {
      if (n.rfind("removed.", 0) == 0) out.push_back(n);
    }
    return out;
  }
  TempDir dir_;
};

TEST_F(KeepAside, FirstCopyStaysAndLaterOnesGoBesideIt) {
  fill("one:");
  ASSERT_EQ(backup_rename_db(md().c_str(), false), 0);
  EXPECT_EQ(listing(md()), (std::vector<std::string>{"DB_CONFIG", "removed"})) << "moved, DB_CONFIG stays";
  EXPECT_EQ(read_text_file(md() + "removed/folder.db"), "one:folder.db");

  // A second repair within five days must not delete the first copy, nor
  // lose the current files.
  fill("two:");
  ASSERT_EQ(backup_rename_db(md().c_str(), true), 0);
  EXPECT_EQ(read_text_file(md() + "removed/folder.db"), "one:folder.db");
  ASSERT_EQ(extra_dirs().size(), 1u);
  EXPECT_EQ(read_text_file(md() + extra_dirs()[0] + "/log.0000000003"), "two:log.0000000003");
  EXPECT_EQ(read_text_file(md() + "folder.db"), "two:folder.db") << "a copy leaves the files in place";

  // The number of further copies is bounded.
  for (int i = 0; i < 6; ++i) ASSERT_EQ(backup_rename_db(md().c_str(), true), 0);
  EXPECT_EQ(extra_dirs().size(), 4u);
  EXPECT_EQ(read_text_file(md() + "removed/folder.db"), "one:folder.db");

  // A first copy older than five days makes way.
  for (const std::string& n : listing(md() + "removed")) set_mtime(md() + "removed/" + n, time(nullptr) - 432001);
  ASSERT_EQ(backup_rename_db(md().c_str(), false), 0);
  EXPECT_EQ(read_text_file(md() + "removed/folder.db"), "two:folder.db");
}

TEST_F(KeepAside, WithoutFolderDbTheOtherFilesAreStillKept) {
  fs::create_directories(md());
  write_text_file(md() + "quota.db", "q");
  ASSERT_EQ(backup_rename_db(md().c_str(), false), 0);
  EXPECT_EQ(read_text_file(md() + "removed/quota.db"), "q");
  // Nothing at all to keep is no failure.
  EXPECT_EQ(backup_rename_db(md().c_str(), false), 0);
}

TEST_F(KeepAside, AFailedMoveFailsTheKeeping) {
  fill("one:");
  FaultGuard f(fs_op::rename, "quota.db", EXDEV);
  EXPECT_EQ(backup_rename_db(md().c_str(), false), -1);
  EXPECT_TRUE(fs::exists(md() + "quota.db"));
}

TEST(RepairRoutine, ZeroLsnUsesThePageSizeOfTheFile) {
  TempDir dir;
  // A metadata page saying 1024-byte pages, then two more pages, every byte
  // 0xff but the magic and page size.
  std::string file(3 * 1024 + 100, '\xff');
  uint32_t magic = DB_BTREEMAGIC, pagesize = 1024;
  memcpy(&file[12], &magic, 4);
  memcpy(&file[20], &pagesize, 4);
  write_text_file(dir / "f.db", file);
  ASSERT_EQ(zero_lsn((dir / "f.db").c_str(), 4096), 0);
  std::string after = read_text_file(dir / "f.db");
  ASSERT_EQ(after.size(), file.size());
  for (size_t off = 0; off < after.size(); ++off) {
    bool lsn = off % 1024 < 8 && off + 1024 <= file.size();
    EXPECT_EQ(after[off], lsn ? '\0' : file[off]) << off;
    if (after[off] != (lsn ? '\0' : file[off])) break;
  }
  // No metadata magic: the given size.
  write_text_file(dir / "g.db", std::string(1024, '\xff'));
  ASSERT_EQ(zero_lsn((dir / "g.db").c_str(), 512), 0);
  std::string g = read_text_file(dir / "g.db");
  EXPECT_EQ(g.substr(512, 8), std::string(8, '\0'));
  EXPECT_EQ(g.substr(8, 8), std::string(8, '\xff'));
  EXPECT_EQ(zero_lsn((dir / "missing").c_str(), 512), -1);
}

TEST(RepairRoutine, ZeroLogsReportsFailure) {
  TempDir dir;
  write_text_file(dir / "folder.db", std::string(8192, '\x01'));
  write_text_file(dir / "log.0000000001", "l");
  {
    FaultGuard f(fs_op::open, "folder.db", EACCES);
    EXPECT_EQ(zero_logs(dir.path().c_str()), -1);
  }
  EXPECT_FALSE(fs::exists(dir / "log.0000000001"));
  {
    FaultGuard f(fs_op::unlink, "log.0000000002", EIO);
    write_text_file(dir / "log.0000000002", "l");
    EXPECT_EQ(zero_logs(dir.path().c_str()), -1);
  }
  EXPECT_EQ(zero_logs(dir.path().c_str()), 0);
  EXPECT_EQ(read_text_file(dir / "folder.db").substr(4096, 9), std::string(8, '\0') + '\x01');
}

TEST(Damage, OnlyDamageLeadsToRepair) {
  EXPECT_TRUE(storestartup_damage(DB_RUNRECOVERY, startup_stage::environment));
  EXPECT_TRUE(storestartup_damage(DB_VERIFY_BAD, startup_stage::database));
  EXPECT_TRUE(storestartup_damage(DB_PAGE_NOTFOUND, startup_stage::database));
  EXPECT_TRUE(storestartup_damage(EINVAL, startup_stage::database));
  EXPECT_FALSE(storestartup_damage(EINVAL, startup_stage::environment)) << "a bad DB_CONFIG";
  for (int e : {EACCES, EPERM, ENOSPC, ENOMEM, EMFILE, EAGAIN, EIO, EROFS}) {
    EXPECT_FALSE(storestartup_damage(e, startup_stage::environment)) << e;
    EXPECT_FALSE(storestartup_damage(e, startup_stage::database)) << e;
  }
}

}  // namespace

// ---- The phases, on a real environment -------------------------------------

namespace {

class Startup : public StoreFixture {
 protected:
  std::string md() const { return store_dir() + "/mboxlist/"; }
  bool has_eve() const { return fs::exists(store_dir() + "/stored/eve"); }
  // Stops the environment as the daemon does (final checkpoint).
  void stop() { mboxlist_close(); }
  // Starts it again in recovery mode; the log text of the start in *log.
  int start(std::string* log = nullptr, const std::string& extra = "") {
    testing::internal::CaptureStderr();
    int r = configure(extra);
    std::string text = testing::internal::GetCapturedStderr();
    if (log) *log = text;
    return r;
  }
  static std::string folder(const std::string& name) { return get_raw(mboxlist_folderdb(), name + '\0'); }
  std::vector<std::string> logs() {
    std::vector<std::string> out;
    for (const std::string& n : listing(md())) {
      if (n.rfind("log.", 0) == 0) out.push_back(n);
    }
    return out;
  }
  // A snapshot slot made by hand from the stopped store's files.
  void take_snapshot(const std::string& slot, time_t t) {
    std::string dir = store_dir() + "/snaps/" + slot + "/";
    fs::create_directories(dir);
    for (const std::string& n : listing(md())) {
      if (n.rfind("log.", 0) == 0 || (n.size() > 3 && n.compare(n.size() - 3, 3, ".db") == 0)) {
        fs::copy_file(md() + n, dir + n);
      }
    }
    write_text_file(dir + ".snaptime", "");
    set_mtime(dir + ".snaptime", t);
  }
  // A new store with small logs (a few writes make several; a new store's
  // first log already takes the default size): user/a, a snapshot taken at
  // snap_time, then `writes` folders of 3 KB each, stopped.  Its logs.
  std::vector<std::string> snapshot_then_writes(time_t snap_time, int writes) {
    stop();
    fs::remove_all(md());
    fs::create_directories(md());
    write_text_file(md() + "DB_CONFIG", "set_lg_bsize 16384\nset_lg_max 65536\n");
    EXPECT_EQ(start(nullptr, "local.store.snapshotpath = snaps\n"), 0);
    put_folder("user/a", "a\tlrswipcda\t");
    stop();
    take_snapshot("snap1", snap_time);
    EXPECT_EQ(start(nullptr, "local.store.snapshotpath = snaps\n"), 0);
    std::string big(3000, 'x');
    for (int i = 0; i < writes; ++i) put_folder("user/b" + std::to_string(i), "b\t" + big + "\t");
    stop();
    return logs();
  }
};

TEST_F(Startup, NewStoreStartsEmptyWithoutAnEvent) {
  EXPECT_EQ(storestartup_db_state(), 1);
  EXPECT_FALSE(has_eve());
  EXPECT_FALSE(fs::exists(md() + "removed"));
  EXPECT_TRUE(fs::exists(store_dir() + "/dbdata/snapshots"));
  put_folder("user/a", "a\tlrswipcda\t");
  stop();
  // A restart with the logs in place repairs nothing.
  ASSERT_EQ(start(), 0);
  EXPECT_NE(folder("user/a"), "<none>");
  EXPECT_FALSE(has_eve());
}

TEST_F(Startup, AllLogsRemovedAfterACleanStopAreRepairedAndWritesWork) {
  put_folder("user/a", "a\tlrswipcda\t");
  stop();
  for (const std::string& l : logs()) fs::remove(md() + l);
  std::string log;
  ASSERT_EQ(start(&log), 0);
  EXPECT_NE(log.find("Removing extra database logs.  Run reconstruct -m soon after startup"), std::string::npos)
      << log;
  EXPECT_NE(folder("user/a"), "<none>");
  // Pages carrying positions past the end of the new log would fail here.
  put_folder("user/b", "b\tlrswipcda\t");
  put_folder("user/a/x", "a\tlrswipcda\t");
  EXPECT_TRUE(has_eve());
  EXPECT_TRUE(fs::exists(md() + "removed/folder.db")) << "the files as they were are kept";
  stop();
  ASSERT_EQ(start(), 0);
  EXPECT_NE(folder("user/b"), "<none>");
}

TEST_F(Startup, SeparateRegionDirectoryIsRepairedToo) {
  std::string cache = store_dir() + "/../regions";
  std::string extra = "store.dbtmpdir = " + cache + "\n";
  stop();
  ASSERT_EQ(start(nullptr, extra), 0);
  put_folder("user/a", "a\tlrswipcda\t");
  stop();
  EXPECT_TRUE(fs::exists(cache + "/__db.001"));
  for (const std::string& l : logs()) fs::remove(md() + l);
  std::string log;
  ASSERT_EQ(start(&log, extra), 0) << log;
  EXPECT_NE(log.find("DB initial state = 3"), std::string::npos) << log;
  EXPECT_NE(folder("user/a"), "<none>");
  put_folder("user/b", "b\tlrswipcda\t");
  EXPECT_EQ(read_text_file(cache + "/DB_CONFIG"), "set_data_dir " + md() + "\nset_lg_dir " + md() + "\n");
}

TEST_F(Startup, SequenceFileNamingOnlyFunctionFourStartsEmpty) {
  put_folder("user/a", "a\tlrswipcda\t");
  stop();
  for (const std::string& l : logs()) fs::remove(md() + l);
  fs::create_directories(store_dir() + "/dbdata");
  write_text_file(store_dir() + "/dbdata/stored.ph2", std::string("functi\0\1\0\4", 10));
  std::string log;
  ASSERT_EQ(start(&log), 0);
  EXPECT_EQ(log.find("Removing extra database logs"), std::string::npos) << "function 1 was not named";
  EXPECT_NE(log.find("Removing database and initializing."), std::string::npos) << log;
  EXPECT_EQ(folder("user/a"), "<none>");
  EXPECT_TRUE(fs::exists(md() + "removed/folder.db"));
  EXPECT_TRUE(has_eve());
}

TEST_F(Startup, CatrecovForcesCatastrophicRecoveryAndStays) {
  put_folder("user/a", "a\tlrswipcda\t");
  stop();
  write_text_file(md() + ".catrecov", "");
  std::string log;
  ASSERT_EQ(start(&log), 0);
  EXPECT_NE(log.find("catastrophic recovery"), std::string::npos) << log;
  EXPECT_NE(folder("user/a"), "<none>");
  EXPECT_TRUE(fs::exists(md() + ".catrecov"));
  EXPECT_FALSE(has_eve()) << "no repair ran";
}

TEST_F(Startup, NewStoreTakesTheTemplate) {
  put_folder("user/tmpl", "t\tlrswipcda\t");
  stop();
  // Another store's databases, without their logs, as the template.
  TempDir other;
  std::string tmpl = store_dir() + "/dbdata/templates/";
  fs::create_directories(tmpl);
  for (const char* f : {"folder.db", "quota.db", "subscr.db", "peruser.db", "lright.db"}) {
    fs::copy_file(md() + f, tmpl + f);
  }
  fs::remove_all(md());
  std::string log;
  ASSERT_EQ(start(&log), 0) << log;
  EXPECT_NE(folder("user/tmpl"), "<none>");
  put_folder("user/new", "n\tlrswipcda\t");  // the template's positions were reset
  EXPECT_TRUE(has_eve());

  // A template directory holding anything else is no template.
  stop();
  fs::remove_all(md());
  fs::remove(store_dir() + "/stored/eve");
  write_text_file(tmpl + "extra", "");
  ASSERT_EQ(start(), 0);
  EXPECT_EQ(folder("user/tmpl"), "<none>");
  EXPECT_FALSE(has_eve());
}

TEST_F(Startup, PermissionErrorWhileOpeningTouchesNothing) {
  put_folder("user/a", "a\tlrswipcda\t");
  stop();
  for (const std::string& l : logs()) fs::remove(md() + l);  // state 3: repairs would be due
  ASSERT_EQ(start(), 0);
  stop();
  std::string before = read_text_file(md() + "folder.db");
  auto files = listing(md());
  {
    FaultGuard f(fs_op::open, "/quota.db", EACCES);
    std::string log;
    EXPECT_NE(start(&log), 0);
    EXPECT_NE(log.find("no repair attempted"), std::string::npos) << log;
  }
  EXPECT_TRUE(read_text_file(md() + "folder.db") == before) << "folder.db changed";
  auto after = listing(md());
  auto data = [](std::vector<std::string> v) {
    v.erase(std::remove_if(v.begin(), v.end(),
                           [](const std::string& n) { return n.rfind("__db.", 0) == 0 || n == "failchk.lock"; }),
            v.end());
    return v;
  };
  EXPECT_EQ(data(after), data(files));
  ASSERT_EQ(start(), 0);
  EXPECT_NE(folder("user/a"), "<none>");
}

TEST_F(Startup, ARepairFailingForLackOfPermissionGoesNoFurther) {
  put_folder("user/a", "a\tlrswipcda\t");
  stop();
  for (const std::string& l : logs()) fs::remove(md() + l);
  {
    // Resetting the log positions fails: emptying the store instead
    // (function 4) would be the wrong answer to a permission problem.
    FaultGuard f(fs_op::open, "mboxlist/folder.db", EACCES);
    std::string log;
    EXPECT_NE(start(&log), 0);
    EXPECT_NE(log.find("Repair stopped: Permission denied"), std::string::npos) << log;
    EXPECT_EQ(log.find("Removing database and initializing."), std::string::npos) << log;
  }
  EXPECT_TRUE(fs::exists(md() + "folder.db"));
  ASSERT_EQ(start(), 0);
  EXPECT_NE(folder("user/a"), "<none>");
  put_folder("user/b", "b\tlrswipcda\t");
}

TEST_F(Startup, DamagedFolderDbComesBackFromTheSnapshot) {
  put_folder("user/a", "a\tlrswipcda\t");
  stop();
  take_snapshot("snap1", time(nullptr) - 60);
  ASSERT_EQ(start(nullptr, "local.store.snapshotpath = snaps\n"), 0);
  for (int i = 0; i < 200; ++i) put_folder("user/b" + std::to_string(i), "b\tlrswipcda\t");
  stop();
  // Scribble over every page but the metadata page.
  std::string db = read_text_file(md() + "folder.db");
  ASSERT_GT(db.size(), 8192u);
  for (size_t off = 4096 + 32; off < db.size(); off += 4096) db.replace(off, 64, std::string(64, '\x5a'));
  write_text_file(md() + "folder.db", db);
  std::string log;
  ASSERT_EQ(start(&log, "local.store.snapshotpath = snaps\n"), 0) << log;
  EXPECT_NE(log.find("folder.db fails verification"), std::string::npos) << log;
  EXPECT_NE(log.find("Recovering snapshot during startup"), std::string::npos) << log;
  EXPECT_NE(log.find("catastrophic recovery"), std::string::npos) << log;
  EXPECT_NE(folder("user/a"), "<none>");
  EXPECT_EQ(folder("user/b7"), "<none>") << "made after the snapshot";
  EXPECT_TRUE(has_eve());
  EXPECT_TRUE(read_text_file(md() + "removed/folder.db") == db) << "the damaged file is kept for analysis";
  put_folder("user/c", "c\tlrswipcda\t");
}

TEST_F(Startup, IdleLogsSpanningAnHourTryNormalRecoveryFirst) {
  std::vector<std::string> l = snapshot_then_writes(time(nullptr) - 7200, 60);
  ASSERT_FALSE(HasFailure());
  ASSERT_GE(l.size(), 2u);
  set_mtime(md() + l.front(), time(nullptr) - 3700);
  std::string log;
  ASSERT_EQ(start(&log, "local.store.snapshotpath = snaps\n"), 0) << log;
  EXPECT_NE(log.find("DB initial state = 4"), std::string::npos) << log;
  EXPECT_NE(log.find("trying normal recovery before any repair"), std::string::npos) << log;
  EXPECT_EQ(log.find("Recovering database from snapshot"), std::string::npos) << log;
  EXPECT_NE(folder("user/b59"), "<none>") << "the older snapshot replaced good databases";
  EXPECT_FALSE(has_eve());
}

TEST_F(Startup, LogGapRestoresTheSnapshot) {
  std::vector<std::string> l = snapshot_then_writes(time(nullptr) - 60, 100);
  ASSERT_FALSE(HasFailure());
  ASSERT_GE(l.size(), 3u) << fs::file_size(md() + l[0]);
  fs::remove(md() + l[1]);
  std::string log;
  ASSERT_EQ(start(&log, "local.store.snapshotpath = snaps\n"), 0) << log;
  EXPECT_NE(log.find("DB initial state = 4"), std::string::npos) << log;
  EXPECT_NE(log.find("Recovering database from snapshot."), std::string::npos) << log;
  EXPECT_NE(log.find("catastrophic recovery"), std::string::npos) << log;
  EXPECT_NE(folder("user/a"), "<none>");
  EXPECT_EQ(folder("user/b5"), "<none>");
  EXPECT_TRUE(has_eve());
  EXPECT_TRUE(fs::exists(md() + "removed/" + l.back())) << "the old logs are kept";
  EXPECT_EQ(read_text_file(md() + "DB_CONFIG"), "set_lg_bsize 16384\nset_lg_max 65536\n") << "live DB_CONFIG kept";
  put_folder("user/c", "c\tlrswipcda\t");
}

}  // namespace
