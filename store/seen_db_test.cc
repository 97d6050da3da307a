#include "store/seen_db.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/fileio.h"
#include "common/imap_err.h"
#include "common/service.h"
#include "store/mboxlist_test_util.h"
#include "store/seen_internal.h"

namespace {

// ---- Validation of state texts ------------------------------------------------

struct FixCase {
  const char* what;
  const char* in;
  uint32_t last_uid;
  int result;          // 0 keep, 1 replace or drop
  const char* expect;  // replacement; null: dropped (result 1) or kept (0)
};

const FixCase kFixCases[] = {
    {"valid state is kept", "100 9 100 1:5,7 ", 10, 0, nullptr},
    {"both sets empty", "100 0 100  ", 10, 0, nullptr},
    {"number above last uid at the end", "100 9 100 1:9,12 ", 10, 1, "100 9 100 1:9 "},
    {"second set cleaned too", "100 9 100 1 3,11:12", 10, 1, "100 9 100 1 3"},
    {"range end above last uid", "100 9 100 2:12 ", 10, 1, "100 9 100 2 "},
    {"range start invalid", "100 9 100 0:4 ", 10, 1, "100 9 100 4 "},
    {"zero removed", "100 9 100 0,3 ", 10, 1, "100 9 100 3 "},
    {"second colon after range", "100 9 100 1:3:5 ", 10, 1, "100 9 100 1:3,5 "},
    {"trailing separators", "100 9 100 1:3, 4:", 10, 1, "100 9 100 1:3 4"},
    {"empty items", "100 9 100 ,,1,,2 ", 10, 1, "100 9 100 1,2 "},
    {"garbage after second set cut", "100 9 100 1 2xyz", 10, 1, "100 9 100 1 2"},
    {"trailing blanks kept", "100 9 100 1 2  ", 10, 0, nullptr},
    {"lastuid above last uid drops", "100 11 100 1 ", 10, 1, nullptr},
    {"huge lastuid drops", "100 99999999999999999999999999 100 1 ", 10, 1, nullptr},
    {"huge uid in set removed", "100 9 100 1,99999999999999999999999 ", 10, 1, "100 9 100 1 "},
    {"missing lastread", " 9 100 1 ", 10, 1, nullptr},
    {"letters for lastread", "abc 9 100 1 ", 10, 1, nullptr},
    {"missing lastchange", "100 9", 10, 1, nullptr},
    {"missing second set", "100 9 100 1:5", 10, 1, nullptr},
    {"two blanks between numbers", "100  9 100 1 ", 10, 1, nullptr},
    {"tab instead of blank between sets", "100 9 100 1\t2", 10, 1, nullptr},
    {"garbage inside first set", "100 9 100 1x 2", 10, 1, nullptr},
    {"empty text", "", 10, 1, nullptr},
    {"leading zeros rewritten", "0100 9 100 1 ", 10, 1, "100 9 100 1 "},
};

TEST(SeenFixdata, Table) {
  const time_t now = 1000000;
  for (const FixCase& c : kFixCases) {
    char* out = nullptr;
    int r = seen_fixdata(&out, c.in, c.in + strlen(c.in), c.last_uid, now, 0, 0, "u", nullptr, nullptr);
    EXPECT_EQ(r, c.result) << c.what;
    if (c.expect) {
      ASSERT_NE(out, nullptr) << c.what;
      EXPECT_STREQ(out, c.expect) << c.what;
    } else {
      EXPECT_EQ(out, nullptr) << c.what;
    }
    free(out);
  }
}

TEST(SeenFixdata, NoNulNeededAndNothingReadBeyondTheEnd) {
  // The text is not NUL-terminated: the end pointer alone bounds it.
  std::string buf = "100 9 100 1 2";
  std::vector<char> exact(buf.begin(), buf.end());
  char* out = nullptr;
  EXPECT_EQ(seen_fixdata(&out, exact.data(), exact.data() + exact.size(), 10, 0, 0, 0, "u", nullptr, nullptr), 0);
  EXPECT_EQ(out, nullptr);
}

struct Reports {
  std::vector<std::string> users;
};

TEST(SeenFixdata, ReportAndPrune) {
  Reports rep;
  auto proc = [](void* rock, const char* user) { static_cast<Reports*>(rock)->users.push_back(user); };
  const time_t now = 1000000;
  char* out = nullptr;
  const char* recent = "999000 1 999000 1 ";
  EXPECT_EQ(seen_fixdata(&out, recent, recent + strlen(recent), 5, now, 900000, 800000, "ann", proc, &rep), 0);
  const char* old = "500000 1 500000 1 ";
  EXPECT_EQ(seen_fixdata(&out, old, old + strlen(old), 5, now, 900000, 800000, "bob", proc, &rep), 1);
  EXPECT_EQ(out, nullptr) << "read before the prune time: dropped";
  // Far in the future counts as now: reported (now > report time) and not
  // pruned, but the stored value stays as written.
  const char* future = "9000000 1 1 1 ";
  EXPECT_EQ(seen_fixdata(&out, future, future + strlen(future), 5, now, 900000, 800000, "cid", proc, &rep), 0);
  EXPECT_EQ(seen_fixdata(&out, future, future + strlen(future), 5, now, 1100000, 0, "dan", proc, &rep), 0);
  EXPECT_EQ(rep.users, (std::vector<std::string>{"ann", "cid"}));
}

TEST(SeenState, LenientParseOfStoredText) {
  time_t lr, lc;
  uint32_t lu;
  std::string sets;
  std::string t = "12 34 56 1:3,5 7 extra";
  seen_parse_state(t.data(), t.data() + t.size(), &lr, &lu, &lc, &sets);
  EXPECT_EQ(lr, 12);
  EXPECT_EQ(lu, 34u);
  EXPECT_EQ(lc, 56);
  EXPECT_EQ(sets, "1:3,5 7");
  t = "99999999999999999999999 99999999999 1";
  seen_parse_state(t.data(), t.data() + t.size(), &lr, &lu, &lc, &sets);
  EXPECT_EQ(lu, UINT32_MAX);
  EXPECT_GT(lr, 0);
  EXPECT_EQ(sets, "");
  unsigned char m[4];
  seen_marker_encode(0x01020304, m);
  uint32_t host = 0x01020304;
  EXPECT_EQ(memcmp(m, &host, 4), 0);
  EXPECT_EQ(seen_marker_decode(m), 0x01020304u);
}

// ---- The database ------------------------------------------------------------

class Seen : public StoreFixture {
 protected:
  std::string marker(const std::string& name) { return get_raw(mboxlist_peruserdb(), name); }
  std::string record(const std::string& name, const std::string& user) {
    return get_raw(mboxlist_peruserdb(), name + "\t" + user);
  }
  std::string folder_dir(const std::string& name) {
    std::string d = part_dir() + "/" + name;
    std::string cmd = "mkdir -p '" + d + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
    return d;
  }
};

TEST_F(Seen, NeverOpenedReadsEmptyThenWritesAndRereads) {
  seen_folder f{"user/joe/x", nullptr, 20};
  seen* s = nullptr;
  ASSERT_EQ(seen_open_folder(f, "ann", &s), 0);
  time_t lr = 9, lc = 9;
  uint32_t lu = 9;
  char* uids = nullptr;
  ASSERT_EQ(seen_lockread(s, &lr, &lu, &lc, &uids), 0);
  EXPECT_EQ(lr, 0);
  EXPECT_EQ(lu, 0u);
  EXPECT_EQ(lc, 0);
  EXPECT_STREQ(uids, " ");
  free(uids);
  ASSERT_EQ(seen_write(s, 1700000000, 12, 1700000001, "1:12 3"), 0);
  seen_unlock(s);
  seen_close(s);
  EXPECT_EQ(record("user/joe/x", "ann"), "1700000000 12 1700000001 1:12 3");
  std::string m = marker("user/joe/x");
  ASSERT_EQ(m.size(), 4u);
  EXPECT_GE(seen_marker_decode(reinterpret_cast<const unsigned char*>(m.data())), 1700000000u);

  ASSERT_EQ(seen_open_folder(f, "ann", &s), 0);
  ASSERT_EQ(seen_lockread(s, &lr, &lu, &lc, &uids), 0);
  EXPECT_EQ(lr, 1700000000);
  EXPECT_EQ(lu, 12u);
  EXPECT_EQ(lc, 1700000001);
  EXPECT_STREQ(uids, "1:12 3");
  free(uids);
  seen_close(s);  // closes while locked: the lock is released
  ASSERT_EQ(seen_open_folder(f, "ann", &s), 0);
  ASSERT_EQ(seen_lockread(s, &lr, &lu, &lc, &uids), 0);
  free(uids);
  seen_close(s);
}

TEST_F(Seen, DeleteRemovesOnlyTheFolder) {
  ASSERT_EQ(seen_create_folder("user/a/x"), 0);
  EXPECT_EQ(marker("user/a/x").size(), 4u);
  put_raw(mboxlist_peruserdb(), "user/a/x\tann", "1 1 1 1 ");
  put_raw(mboxlist_peruserdb(), "user/a/x\tbob", "1 1 1 1 ");
  put_raw(mboxlist_peruserdb(), "user/a/x/y\tann", "2 1 1 1 ");
  put_raw(mboxlist_peruserdb(), "user/a/xy\tann", "3 1 1 1 ");
  put_raw(mboxlist_peruserdb(), "user/a/xy", "....");
  std::string dir = folder_dir("x");
  write_text_file(dir + "/store.usr", "ann\t1 1 1 1 \n");
  seen_folder f{"user/a/x", dir.c_str(), 5};
  ASSERT_EQ(seen_delete_folder(f, 1), 0);
  EXPECT_EQ(marker("user/a/x"), "<none>");
  EXPECT_EQ(record("user/a/x", "ann"), "<none>");
  EXPECT_EQ(record("user/a/x", "bob"), "<none>");
  EXPECT_EQ(record("user/a/x/y", "ann"), "2 1 1 1 ");
  EXPECT_EQ(record("user/a/xy", "ann"), "3 1 1 1 ");
  EXPECT_EQ(marker("user/a/xy"), "....");
  EXPECT_NE(access((dir + "/store.usr").c_str(), F_OK), 0);
}

TEST_F(Seen, CopyToAnotherOwnerMovesTheOwnersRecord) {
  put_raw(mboxlist_peruserdb(), "user/a/x\ta", "1 1 1 1 ");
  put_raw(mboxlist_peruserdb(), "user/a/x\tcarl", "2 1 1 1 ");
  DB_TXN* txn = nullptr;
  ASSERT_EQ(mboxlist_trans_setup(&txn, "test", "x"), 0);
  int r = seen_copy_folder(txn, "user/a/x", "user/b/x");
  ASSERT_EQ(mboxlist_trans_finish(txn, r), 0);
  EXPECT_EQ(record("user/b/x", "b"), "1 1 1 1 ");
  EXPECT_EQ(record("user/b/x", "a"), "<none>");
  EXPECT_EQ(record("user/b/x", "carl"), "2 1 1 1 ");
  EXPECT_EQ(record("user/a/x", "a"), "1 1 1 1 ") << "the old records stay";
  std::string m = marker("user/b/x");
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(seen_marker_decode(reinterpret_cast<const unsigned char*>(m.data())), 1u);
  // Within one owner ids are kept.
  ASSERT_EQ(mboxlist_trans_setup(&txn, "test", "x"), 0);
  r = seen_copy_folder(txn, "user/a/x", "user/a/z");
  ASSERT_EQ(mboxlist_trans_finish(txn, r), 0);
  EXPECT_EQ(record("user/a/z", "a"), "1 1 1 1 ");
}

TEST_F(Seen, ReconstructDropsAndCleansAndReports) {
  ASSERT_EQ(seen_create_folder("user/a/x"), 0);
  put_raw(mboxlist_peruserdb(), "user/a/x\tann", "1000 9 1000 1:9,12 ");
  put_raw(mboxlist_peruserdb(), "user/a/x\tbob", "1000 11 1000 1 ");
  put_raw(mboxlist_peruserdb(), "user/a/x\tcid", "1000 2 1000 1 2");
  put_raw(mboxlist_peruserdb(), "user/a/x\tdan", "garbage");
  struct Rock {
    std::vector<std::string> users;
    int resets = 0;
  } rock;
  seen_folder f{"user/a/x", nullptr, 10};
  ASSERT_EQ(seen_reconstruct_folder(
                f, 500, 0, [](void* r, const char* u) { static_cast<Rock*>(r)->users.push_back(u); },
                [](void* r) { static_cast<Rock*>(r)->resets++; }, &rock),
            0);
  EXPECT_EQ(record("user/a/x", "ann"), "1000 9 1000 1:9 ");
  EXPECT_EQ(record("user/a/x", "bob"), "<none>");
  EXPECT_EQ(record("user/a/x", "cid"), "1000 2 1000 1 2");
  EXPECT_EQ(record("user/a/x", "dan"), "<none>");
  std::sort(rock.users.begin(), rock.users.end());
  EXPECT_EQ(rock.users, (std::vector<std::string>{"ann", "bob", "cid"}));
  EXPECT_EQ(rock.resets, 0);
  // Without a marker and without report or prune nothing happens.
  put_raw(mboxlist_peruserdb(), "user/q\tann", "x");
  seen_folder q{"user/q", nullptr, 10};
  ASSERT_EQ(seen_reconstruct_folder(q, 0, 0, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(record("user/q", "ann"), "x");
}

TEST_F(Seen, CheckpointWritesTheFileOnlyWhenNeededAndRecoveryReadsIt) {
  std::string dir = folder_dir("x");
  put_folder("user/a/x", "a\tlrswipcda\t");
  char path[1025];
  ASSERT_EQ(mboxlist_getpath("user/a/x", "primary", path, nullptr), 0);
  dir = path;
  ASSERT_EQ(system(("mkdir -p '" + dir + "'").c_str()), 0);
  seen_folder f{"user/a/x", dir.c_str(), 10};
  seen* s = nullptr;
  ASSERT_EQ(seen_open_folder(f, "ann", &s), 0);
  time_t lr, lc;
  uint32_t lu;
  char* uids = nullptr;
  ASSERT_EQ(seen_lockread(s, &lr, &lu, &lc, &uids), 0);
  free(uids);
  ASSERT_EQ(seen_write(s, 1000, 4, 1001, "1:4 2"), 0);
  seen_close(s);
  put_raw(mboxlist_peruserdb(), "user/a/x\tbob", "1000 3 1000 1:3 ");

  // A marker older than the last checkpoint start: nothing to do.
  ASSERT_EQ(seen_checkpoint("user/a/x", time(nullptr) + 100, time(nullptr) + 200), 0);
  std::string file = dir + "/store.usr";
  EXPECT_NE(access(file.c_str(), F_OK), 0);
  ASSERT_EQ(seen_checkpoint("user/a/x", 0, time(nullptr) + 100), 0);
  EXPECT_EQ(read_text_file(file), "ann\t1000 4 1001 1:4 2\nbob\t1000 3 1000 1:3 \n");
  // The file is newer than the change: left untouched.
  write_text_file(file, "sentinel\n");
  struct timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) + 50, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  ASSERT_EQ(seen_checkpoint("user/a/x", 0, time(nullptr) + 100), 0);
  EXPECT_EQ(read_text_file(file), "sentinel\n");
  // A change at or after the checkpoint's end forces it.
  ASSERT_EQ(seen_checkpoint("user/a/x", 0, 0), 0);
  EXPECT_EQ(read_text_file(file), "ann\t1000 4 1001 1:4 2\nbob\t1000 3 1000 1:3 \n");

  // The database loses the folder's state; the next open refills it, with
  // hostile lines skipped or cleaned.
  write_text_file(file,
                  "ann\t1000 4 1001 1:4 2\nbob\t1000 3 1000 1:3,44 \nno tab line\n\tempty user\n"
                  "cid\t1000 99 1 1 \ndan\t1 1 1 1 1");
  ASSERT_EQ(seen_delete_folder(f, 0), 0);
  ASSERT_EQ(seen_open_folder(f, "ann", &s), 0);
  seen_close(s);
  EXPECT_EQ(marker("user/a/x"), std::string(4, '\0'));
  EXPECT_EQ(record("user/a/x", "ann"), "1000 4 1001 1:4 2");
  EXPECT_EQ(record("user/a/x", "bob"), "1000 3 1000 1:3 ");
  EXPECT_EQ(record("user/a/x", "cid"), "<none>");
  EXPECT_EQ(record("user/a/x", "dan"), "<none>") << "unterminated last line";
}

TEST_F(Seen, CheckpointFailureLeavesTheOldFile) {
  put_folder("user/a/x", "a\tlrswipcda\t");
  char path[1025];
  ASSERT_EQ(mboxlist_getpath("user/a/x", "primary", path, nullptr), 0);
  ASSERT_EQ(system(("mkdir -p '" + std::string(path) + "'").c_str()), 0);
  std::string file = std::string(path) + "/store.usr";
  write_text_file(file, "old\t1 1 1 1 \n");
  put_raw(mboxlist_peruserdb(), "user/a/x\tann", "1000 4 1001 1:4 2");
  unsigned char m[4];
  seen_marker_encode(static_cast<uint32_t>(time(nullptr)) + 10, m);
  put_raw(mboxlist_peruserdb(), "user/a/x", std::string(reinterpret_cast<char*>(m), 4));
  fs_set_fault_hook([](fs_op op, const char*, size_t*) { return op == fs_op::rename ? EIO : 0; });
  EXPECT_EQ(seen_checkpoint("user/a/x", 0, 0), IMAP_IOERROR);
  fs_set_fault_hook(nullptr);
  EXPECT_EQ(read_text_file(file), "old\t1 1 1 1 \n");
  EXPECT_NE(access((std::string(path) + "/usr.new").c_str(), F_OK), 0);
}

// Many processes add their own UIDs to one user's state at once; the lock
// must make every read-modify-write cycle whole, so no UID is lost.
TEST_F(Seen, ConcurrentReadModifyWriteLosesNothing) {
  mboxlist_close();  // never fork with an environment open
  int announce = service_announce("stored");
  ASSERT_GE(announce, 0);
  ASSERT_EQ(service_set_ready(announce), 0);
  constexpr int kProcs = 4, kRounds = 40;
  std::vector<pid_t> kids;
  for (int p = 0; p < kProcs; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (mboxlist_init() != 0) _exit(3);
      seen_folder f{"user/joe", nullptr, 100000};
      for (int i = 0; i < kRounds; ++i) {
        seen* s = nullptr;
        if (seen_open_folder(f, "joe", &s) != 0) _exit(4);
        time_t lr, lc;
        uint32_t lu;
        char* uids = nullptr;
        if (seen_lockread(s, &lr, &lu, &lc, &uids) != 0) _exit(5);
        std::string sets = uids;
        free(uids);
        std::string set1 = sets.substr(0, sets.find(' '));
        usleep(100);  // widen the window a lost update would need
        std::string n = std::to_string((p + 1) * 1000 + i);
        set1 = set1.empty() ? n : set1 + "," + n;
        if (seen_write(s, lr + 1, lu, lc, (set1 + " ").c_str()) != 0) _exit(6);
        seen_close(s);
      }
      mboxlist_close();
      _exit(0);
    }
    kids.push_back(pid);
  }
  for (pid_t k : kids) {
    int status = 0;
    ASSERT_EQ(waitpid(k, &status, 0), k);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  // Join the environment the children used: commits are not flushed to the
  // log file (local.dbtxnsync), so a recovery here would roll the last ones
  // back; the daemon's final checkpoint covers that in production.
  ASSERT_EQ(mboxlist_init(), 0);
  std::string rec = record("user/joe", "joe");
  mboxlist_close();
  service_withdraw("stored", announce);
  ASSERT_EQ(configure(""), 0);

  std::string set1 = rec.substr(0, rec.rfind(' '));
  set1 = set1.substr(set1.rfind(' ') + 1);
  std::set<std::string> got;
  for (size_t pos = 0; pos <= set1.size();) {
    size_t c = set1.find(',', pos);
    if (c == std::string::npos) c = set1.size();
    got.insert(set1.substr(pos, c - pos));
    pos = c + 1;
  }
  for (int p = 0; p < kProcs; ++p) {
    for (int i = 0; i < kRounds; ++i) EXPECT_TRUE(got.count(std::to_string((p + 1) * 1000 + i))) << p << " " << i;
  }
  EXPECT_EQ(rec.substr(0, rec.find(' ')), std::to_string(kProcs * kRounds)) << "lastread counted every cycle";
}

}  // namespace
