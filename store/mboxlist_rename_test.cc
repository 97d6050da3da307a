// Renames racing deliveries and renames cut short: the interleavings are
// forced at the exact file-system call through the fileio fault hook, and
// the processes that must not hang run forked under an alarm.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/auth.h"
#include "common/bvlog.h"
#include "common/config.h"
#include "common/fileio.h"
#include "common/imap_err.h"
#include "common/service.h"
#include "common/test_util.h"
#include "store/append.h"
#include "store/mailbox.h"
#include "store/mailbox_check.h"
#include "store/mailbox_internal.h"
#include "store/mboxlist.h"
#include "store/mboxname.h"
#include "store/rename_intent.h"

namespace {

namespace fs = std::filesystem;

// ---- The intent record, against hand-built bytes ---------------------------------

std::string intent_bytes() {
  std::string s = "ORVRNI01";
  s += std::string("\x07\x01\x00\x00", 4);  // uid_mark 263
  for (const char* f : {"user/ann", "user/bob", "", "user/ann/x", "primary", "user/bob/x", "second"}) {
    s += f;
    s += '\0';
  }
  return s;
}

TEST(RenameIntent, DocumentedLayout) {
  rename_intent in;
  in.oldroot = "user/ann";
  in.newroot = "user/bob";
  in.step_old = "user/ann/x";
  in.step_oldpart = "primary";
  in.step_new = "user/bob/x";
  in.step_newpart = "second";
  in.uid_mark = 263;
  EXPECT_EQ(rename_intent_encode(in), intent_bytes());
  rename_intent out;
  std::string b = intent_bytes();
  ASSERT_TRUE(rename_intent_decode(b.data(), b.size(), &out));
  EXPECT_EQ(out.oldroot, "user/ann");
  EXPECT_EQ(out.newroot, "user/bob");
  EXPECT_EQ(out.partition, "");
  EXPECT_EQ(out.step_new, "user/bob/x");
  EXPECT_EQ(out.step_newpart, "second");
  EXPECT_EQ(out.uid_mark, 263u);
}

TEST(RenameIntent, AnythingButACompleteRecordIsRefused) {
  const std::string good = intent_bytes();
  rename_intent out;
  for (size_t n = 0; n < good.size(); ++n) EXPECT_FALSE(rename_intent_decode(good.data(), n, &out)) << n;
  std::string bad = good;
  bad[3] = 'X';
  EXPECT_FALSE(rename_intent_decode(bad.data(), bad.size(), &out));
  bad = good + 'x';
  EXPECT_FALSE(rename_intent_decode(bad.data(), bad.size(), &out));
  // A step must name both folders.
  bad = std::string("ORVRNI01") + std::string(4, '\0') + std::string("a\0b\0\0x\0\0\0\0", 11);
  EXPECT_FALSE(rename_intent_decode(bad.data(), bad.size(), &out));
  // No old root.
  bad = std::string("ORVRNI01") + std::string(4, '\0') + std::string("\0b\0\0\0\0\0\0", 8);
  EXPECT_FALSE(rename_intent_decode(bad.data(), bad.size(), &out));
  bad = std::string("ORVRNI01") + std::string(4, '\0') + std::string("a\0b\0\0\0\0\0\0", 9);
  EXPECT_TRUE(rename_intent_decode(bad.data(), bad.size(), &out));
}

// ---- A store with users and mail ------------------------------------------------------

// The fault hook is a plain function: its plan lives here.
struct HookPlan {
  std::string path;  // the call's path to act on
  fs_op op = fs_op::open;
  int skip = 0;                  // matching calls to let pass first
  std::function<void()> action;  // run once at the chosen call
  bool kill = false;             // instead: die there, as kill -9 would
  std::atomic<bool> busy{false};
  std::atomic<int> opens_seen{0};
  std::vector<std::string> watched;  // paths whose opens are counted
};
HookPlan g_plan;

// The folder files' link to the list as the library has it (taken before
// any test can replace it: some folder tests leave theirs installed).
const mailbox_listops g_real_listops = mailbox_listops_current();

int plan_hook(fs_op op, const char* path, size_t*) {
  if (!path) return 0;
  for (const std::string& w : g_plan.watched) {
    if (op == fs_op::open && w == path) g_plan.opens_seen++;
  }
  if (op != g_plan.op || g_plan.path != path || g_plan.busy) return 0;
  if (g_plan.skip-- > 0) return 0;
  if (g_plan.kill) raise(SIGKILL);
  if (g_plan.action) {
    g_plan.busy = true;
    std::function<void()> a = std::move(g_plan.action);
    g_plan.action = nullptr;
    a();
    g_plan.busy = false;
  }
  return 0;
}

class Renames : public ::testing::Test {
 protected:
  void SetUp() override { configure(dir_.path() + "/0"); }
  // A fresh store below root (configuration only; start() brings it up).
  void configure(const std::string& root) {
    root_ = root;
    std::string conf = "local.store.dir = " + root + "/store\n" + "store.partition.primary.path = " + root + "/p1\n" +
                       "store.partition.second.path = " + root + "/p2\n" +
                       "local.log.target = stderr\nlocal.store.synclevel = 0\n";
    ASSERT_EQ(configmsg_init_text(conf, "test", "renametest"), 0);
    bvlog_to_stderr(LOG_SEV_CRIT);
    (void)mailbox_set_listops(g_real_listops);
    g_plan.path.clear();
    g_plan.skip = 0;
    g_plan.action = nullptr;
    g_plan.kill = false;
    g_plan.watched.clear();
    g_plan.opens_seen = 0;
  }
  void TearDown() override {
    fs_set_fault_hook(nullptr);
    mboxlist_close();
    configmsg_free();
    bvlog_to_stderr(LOG_SEV_DEBUG);
  }
  void start() { ASSERT_EQ(mboxlist_recover(), 0); }

  static int create(const char* name, uint32_t quota = QUOTA_UNLIMITED) {
    return mboxlist_createmailbox(name, MBOX_VERSION, nullptr, nullptr, auth_dontCheckAcl, quota, QUOTA_UNLIMITED, 0);
  }
  static std::string message(int n) {
    return "From: a@example.org\r\nSubject: message " + std::to_string(n) + "\r\n\r\nbody " + std::to_string(n) +
           "\r\n";
  }
  // What orvdeliver does for one folder.
  static int deliver(const char* name, const std::string& text) {
    appendmbox ambox;
    int r = append_setup(&ambox, name, 0, MBOX_VERSION, auth_dontCheckAcl, APPEND_ACL_NOCHECK,
                         -static_cast<long>(text.size()));
    if (r) return r;
    r = append_fromstring(&ambox, text.data(), text.size(), 0, nullptr, 0, nullptr, nullptr);
    append_finish(&ambox);
    return r;
  }
  static bool exists(const char* name) {
    return mboxlist_lookup(name, nullptr, nullptr, nullptr, nullptr, nullptr) == 0;
  }
  static std::string path_of(const char* name, const char* partition = "primary") {
    char path[MBOXNAME_PATH_BUF];
    EXPECT_EQ(mboxlist_getpath(name, partition, path, nullptr), 0);
    return path;
  }
  static std::string index_of(const char* name) { return path_of(name) + "/store.idx"; }
  static uint32_t messages_in(const char* name) {
    mboxdata mbd;
    if (mboxlist_lookup(name, &mbd, nullptr, nullptr, nullptr, nullptr) != 0) return 0;
    return mbd.exists;
  }
  static std::string acl_of(const char* name) {
    char* acl = nullptr;
    if (mboxlist_lookup(name, nullptr, nullptr, nullptr, nullptr, &acl) != 0) return "<none>";
    std::string s = acl;
    free(acl);
    return s;
  }
  static quotadata quota_of(const char* root) {
    quotadata qd;
    EXPECT_EQ(mboxlist_lookup_quota(root, &qd, nullptr), 0) << root;
    return qd;
  }
  // mailbox_check's findings on a folder, "" when consistent.
  static std::string check(const char* name) {
    mailbox_check_report rep;
    if (int e = mailbox_check(path_of(name).c_str(), nullptr, &rep)) return std::string("cannot open: ") + strerror(e);
    std::string out;
    for (const std::string& p : rep.problems) out += p + "\n";
    return out;
  }
  std::vector<std::string> rename_records() const {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(root_ + "/store/rename", ec)) out.push_back(e.path().string());
    return out;
  }

  TempDir dir_;
  std::string root_;
};

// ---- One order of locks ------------------------------------------------------------

struct StatMark {
  ino_t ino;
  struct timespec mtime;
};
StatMark mark_of(const std::string& path) {
  struct stat st;
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return {st.st_ino, st.st_mtim};
}
bool same(const StatMark& a, const StatMark& b) {
  return a.ino == b.ino && a.mtime.tv_sec == b.mtime.tv_sec && a.mtime.tv_nsec == b.mtime.tv_nsec;
}

TEST_F(Renames, RenamingUserAChangesOnlyTheAclsNamingA) {
  start();
  for (const char* n : {"user/a", "user/a/x", "user/b", "user/b/x", "user/c", "user/c/shared"}) {
    ASSERT_EQ(create(n), 0) << n;
  }
  ASSERT_EQ(mboxlist_setacl("user/c/shared", "a", "lrs", nullptr, auth_dontCheckAcl), 0);
  ASSERT_EQ(deliver("user/c/shared", message(1)), 0);
  // Every ACL holds the right 'a' ("lrswipcda"); only user/c/shared names a.
  const char* others[] = {"user/b", "user/b/x", "user/c"};
  std::vector<StatMark> before;
  for (const char* n : others) {
    before.push_back(mark_of(index_of(n)));
    g_plan.watched.push_back(index_of(n));
  }
  fs_set_fault_hook(plan_hook);
  ASSERT_EQ(mboxlist_renamemailbox("user/a", "user/z", nullptr, nullptr, auth_dontCheckAcl), 0);
  fs_set_fault_hook(nullptr);
  EXPECT_EQ(g_plan.opens_seen, 0) << "the index of a folder whose ACL does not name a was opened";
  for (size_t i = 0; i < 3; ++i) EXPECT_TRUE(same(before[i], mark_of(index_of(others[i])))) << others[i];
  EXPECT_EQ(acl_of("user/c/shared"), "c\tlrswipcda\tz\tlrs\t");
  EXPECT_EQ(acl_of("user/z/x"), "z\tlrswipcda\t");
  // The index header has the renamed ACL too (a delivery copies it into
  // the record).
  ASSERT_EQ(deliver("user/c/shared", message(2)), 0);
  EXPECT_EQ(acl_of("user/c/shared"), "c\tlrswipcda\tz\tlrs\t");
  EXPECT_EQ(check("user/c/shared"), "");
}

// The deliverer holds the index lock of a folder shared to the user being
// renamed and goes on to its transaction exactly when the rename opens
// that folder to rename the user in its ACL.  Both must finish.
struct LockRace {
  int ready[2];
  int go[2];
};
LockRace g_race;

void let_deliverer_go() {
  if (write(g_race.go[1], "g", 1) != 1) _exit(93);
}

TEST_F(Renames, UserRenameAndADeliveryHoldingAnIndexLockBothFinish) {
  ASSERT_EQ(pipe(g_race.ready), 0);
  ASSERT_EQ(pipe(g_race.go), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    alarm(30);  // a deadlock ends here, failing the test
    if (mboxlist_recover() != 0) _exit(90);
    for (const char* n : {"user/a", "user/b", "user/b/shared"}) {
      if (create(n) != 0) _exit(91);
    }
    if (mboxlist_setacl("user/b/shared", "a", "lrs", nullptr, auth_dontCheckAcl) != 0) _exit(92);
    const std::string shared_idx = index_of("user/b/shared");
    const std::string text = message(1);
    std::atomic<int> delivered{-1};
    std::thread deliverer([&] {
      appendmbox ambox;
      int r = append_setup(&ambox, "user/b/shared", 0, MBOX_VERSION, auth_dontCheckAcl, APPEND_ACL_NOCHECK, 0);
      char c = 'r';
      if (write(g_race.ready[1], &c, 1) != 1 || read(g_race.go[0], &c, 1) != 1) _exit(94);
      if (r == 0) r = append_fromstring(&ambox, text.data(), text.size(), 0, nullptr, 0, nullptr, nullptr);
      append_finish(&ambox);
      delivered = r;
    });
    char c;
    if (read(g_race.ready[0], &c, 1) != 1) _exit(95);
    g_plan.path = shared_idx;
    g_plan.action = let_deliverer_go;
    fs_set_fault_hook(plan_hook);
    int r = mboxlist_renamemailbox("user/a", "user/z", nullptr, nullptr, auth_dontCheckAcl);
    fs_set_fault_hook(nullptr);
    if (g_plan.action) (void)write(g_race.go[1], "g", 1);  // the rename never opened it
    deliverer.join();
    if (r != 0 || delivered != 0) _exit(96);
    if (messages_in("user/b/shared") != 1 || acl_of("user/b/shared") != "b\tlrswipcda\tz\tlrs\t") _exit(97);
    mboxlist_close();
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status) << " (SIGALRM: the two hung)";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// ---- Folder renames racing deliveries ---------------------------------------------------

TEST_F(Renames, DeliveryJustBeforeTheRenameLocksTheFolderIsCountedOnce) {
  start();
  ASSERT_EQ(create("user/joe", 1000), 0);
  ASSERT_EQ(create("user/joe/x"), 0);
  const std::string m1 = message(1), m2 = message(22);
  ASSERT_EQ(deliver("user/joe/x", m1), 0);
  // The rename has read the folder's record and opens it; the delivery
  // commits before the rename takes the index lock.
  g_plan.path = index_of("user/joe/x");
  g_plan.action = [&] { EXPECT_EQ(deliver("user/joe/x", m2), 0); };
  fs_set_fault_hook(plan_hook);
  ASSERT_EQ(mboxlist_renamemailbox("user/joe/x", "user/joe/y", nullptr, nullptr, auth_dontCheckAcl), 0);
  fs_set_fault_hook(nullptr);
  EXPECT_FALSE(g_plan.action) << "the rename never opened the folder";
  EXPECT_EQ(messages_in("user/joe/y"), 2u);
  quotadata qd = quota_of("user/joe");
  EXPECT_EQ(qd.qrused, m1.size() + m2.size());
  EXPECT_EQ(qd.msgqrused, 2u);
  EXPECT_EQ(check("user/joe/y"), "");
}

TEST_F(Renames, DeliveryThatFoundTheRecordBeforeARenameNeverBringsTheOldFolderBack) {
  start();
  ASSERT_EQ(create("user/joe"), 0);
  ASSERT_EQ(create("user/joe/x"), 0);
  ASSERT_EQ(deliver("user/joe/x", message(1)), 0);
  // The delivery has read the record and opens the index: the whole rename
  // happens just then.
  g_plan.path = index_of("user/joe/x");
  g_plan.action = [] {
    EXPECT_EQ(mboxlist_renamemailbox("user/joe/x", "user/joe/y", nullptr, nullptr, auth_dontCheckAcl), 0);
  };
  fs_set_fault_hook(plan_hook);
  int r = deliver("user/joe/x", message(2));
  fs_set_fault_hook(nullptr);
  EXPECT_FALSE(g_plan.action);
  EXPECT_TRUE(error_is_temporary(r)) << error_message(r);
  EXPECT_FALSE(exists("user/joe/x"));
  EXPECT_FALSE(fs::exists(index_of("user/joe/x")));
  EXPECT_EQ(messages_in("user/joe/y"), 1u);
  // Nothing stands in the way of renaming it back.
  EXPECT_EQ(mboxlist_renamemailbox("user/joe/y", "user/joe/x", nullptr, nullptr, auth_dontCheckAcl), 0);
  EXPECT_EQ(messages_in("user/joe/x"), 1u);
}

TEST_F(Renames, OpenBetweenTheRenameCommitAndTheOldFilesRemovalFindsNoFolder) {
  start();
  ASSERT_EQ(create("user/joe"), 0);
  ASSERT_EQ(create("user/joe/x"), 0);
  ASSERT_EQ(deliver("user/joe/x", message(1)), 0);
  // The rename's transaction has committed; its old files are still there
  // and about to go.  An open by the old name must not put the folder back
  // into the list from them.
  g_plan.op = fs_op::unlink;
  g_plan.path = index_of("user/joe/x");
  int opened = 0;
  bool came_back = false;
  g_plan.action = [&] {
    mailbox m;
    opened = mailbox_open("user/joe/x", 0, auth_dontCheckAcl, &m);
    mailbox_close(&m);
    came_back = exists("user/joe/x");
  };
  fs_set_fault_hook(plan_hook);
  ASSERT_EQ(mboxlist_renamemailbox("user/joe/x", "user/joe/y", nullptr, nullptr, auth_dontCheckAcl), 0);
  fs_set_fault_hook(nullptr);
  EXPECT_FALSE(g_plan.action);
  EXPECT_TRUE(error_is_temporary(opened)) << error_message(opened);
  EXPECT_FALSE(came_back);
  EXPECT_FALSE(exists("user/joe/x"));
  EXPECT_EQ(messages_in("user/joe/y"), 1u);
}

// ---- A user rename killed half-way ------------------------------------------------------

// ann's folders with the sizes of their mail; the rename to bob is killed
// at a chosen call in a child process, then finished.
class KilledRename : public Renames {
 protected:
  const std::vector<std::pair<const char*, int>> folders_ = {
      {"user/ann", 2}, {"user/ann/a", 1}, {"user/ann/a/b", 3}, {"user/ann/c", 1}};
  uint64_t total_ = 0;

  void setup() {
    int n = 0;
    for (const auto& [name, count] : folders_) {
      ASSERT_EQ(create(name, strcmp(name, "user/ann") == 0 ? 5000 : QUOTA_UNLIMITED), 0) << name;
      for (int i = 0; i < count; ++i) {
        std::string text = message(++n);
        ASSERT_EQ(deliver(name, text), 0);
        total_ += text.size();
      }
    }
  }
  // Runs "rename user/ann <to>" in a child that dies at the skip+1-th
  // call op on file `file` of folder `at`.  Returns with the environment
  // started again, as after a daemon restart, but nothing finished yet.
  void kill_rename_at(fs_op op, const char* at, const char* file, int skip, const char* to = "user/bob") {
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      alarm(30);
      close(gate[1]);
      char c;
      if (read(gate[0], &c, 1) != 1) _exit(90);
      if (mboxlist_init() != 0) _exit(91);
      g_plan.op = op;
      g_plan.path = path_of(at) + "/" + file;
      g_plan.skip = skip;
      g_plan.kill = true;
      fs_set_fault_hook(plan_hook);
      int r = mboxlist_renamemailbox("user/ann", to, nullptr, nullptr, auth_dontCheckAcl);
      _exit(r == 0 ? 80 : 81);  // never reached the chosen call
    }
    close(gate[0]);
    start();
    setup();
    int fd = service_announce("stored");
    ASSERT_GE(fd, 0);
    ASSERT_EQ(service_set_ready(fd), 0);
    ASSERT_EQ(write(gate[1], "g", 1), 1);
    close(gate[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "the rename was not killed at " << at << "/" << file << ": status " << status;
    service_withdraw("stored", fd);
    // The store daemon's restart: recovery, nothing else.
    mboxlist_close();
    start();
  }
  // Every folder under bob with its mail, none left under ann, on disk or
  // in the list, nothing left to finish.
  void expect_whole_under_bob() {
    uint32_t total_msgs = 0;
    for (const auto& [name, count] : folders_) {
      std::string oldn = name;
      std::string newn = "user/bob" + oldn.substr(8);
      EXPECT_FALSE(exists(oldn.c_str())) << oldn;
      EXPECT_EQ(messages_in(newn.c_str()), static_cast<uint32_t>(count)) << newn;
      EXPECT_EQ(check(newn.c_str()), "") << newn;
      EXPECT_EQ(acl_of(newn.c_str()), "bob\tlrswipcda\t") << newn;
      total_msgs += count;
    }
    EXPECT_FALSE(fs::exists(path_of("user/ann"))) << "the old user's directories are left";
    quotadata qd = quota_of("user/bob");
    EXPECT_EQ(qd.qmax, 5000u);
    EXPECT_EQ(qd.qrused, total_);
    EXPECT_EQ(qd.msgqrused, total_msgs);
    EXPECT_EQ(rename_records(), std::vector<std::string>{});
  }
};

struct KillPoint {
  fs_op op;
  const char* at;  // new name whose files the call is about
  const char* file;
  int skip;
  const char* what;
};
// Message files are linked from the old place (the hook sees a link's
// source), uid 1 as "00/1.msg".
const KillPoint kKillPoints[] = {
    {fs_op::link, "user/ann", "00/1.msg", 0, "INBOX half copied, nothing committed"},
    {fs_op::link, "user/ann/a/b", "00/2.msg", 0, "INBOX and a moved, a/b half copied"},
    {fs_op::unlink, "user/ann/a", "store.idx", 0, "a committed, its old files not yet all removed"},
};

TEST_F(KilledRename, TheDaemonsNextStartFinishesIt) {
  int round = 0;
  for (const KillPoint& k : kKillPoints) {
    SCOPED_TRACE(k.what);
    if (round > 0) {
      mboxlist_close();
      configmsg_free();
      configure(dir_.path() + "/" + std::to_string(round));
      total_ = 0;
    }
    ++round;
    kill_rename_at(k.op, k.at, k.file, k.skip);
    // Until it is finished, nobody makes a folder in either tree.
    EXPECT_EQ(create("user/ann"), IMAP_MAILBOX_LOCKED);
    EXPECT_EQ(create("user/bob/new"), IMAP_MAILBOX_LOCKED);
    EXPECT_EQ(mboxlist_rename_recover(), 0);
    expect_whole_under_bob();
  }
}

TEST_F(KilledRename, TheNextRenameOfEitherNameFinishesIt) {
  // The same rename again, then a rename of the new name onwards.
  kill_rename_at(fs_op::link, "user/ann/a/b", "00/2.msg", 0);
  EXPECT_EQ(mboxlist_renamemailbox("user/ann", "user/bob", nullptr, nullptr, auth_dontCheckAcl), 0);
  expect_whole_under_bob();
}

TEST_F(KilledRename, ARenameOfTheNewNameFinishesTheOldOneFirst) {
  kill_rename_at(fs_op::unlink, "user/ann/a", "store.idx", 0);
  ASSERT_EQ(mboxlist_renamemailbox("user/bob", "user/cy", nullptr, nullptr, auth_dontCheckAcl), 0);
  for (const auto& [name, count] : folders_) {
    std::string oldn = name;
    std::string newn = "user/cy" + oldn.substr(8);
    EXPECT_FALSE(exists(oldn.c_str())) << oldn;
    EXPECT_FALSE(exists(("user/bob" + oldn.substr(8)).c_str())) << oldn;
    EXPECT_EQ(messages_in(newn.c_str()), static_cast<uint32_t>(count)) << newn;
    EXPECT_EQ(check(newn.c_str()), "") << newn;
  }
  EXPECT_FALSE(fs::exists(path_of("user/ann")));
  EXPECT_FALSE(fs::exists(path_of("user/bob")));
  EXPECT_EQ(quota_of("user/cy").qrused, total_);
  EXPECT_EQ(rename_records(), std::vector<std::string>{});
}

TEST_F(KilledRename, AnInboxMovedIntoItsFolderKeepsWhatCameAfterTheMove) {
  // Killed once the move has committed, as the old INBOX is being emptied
  // (its index rewritten without the messages).
  kill_rename_at(fs_op::open, "user/ann", "index.new", 0, "user/ann/old");
  const std::string later = message(99);
  ASSERT_EQ(deliver("user/ann", later), 0);
  ASSERT_EQ(mboxlist_rename_recover(), 0);
  EXPECT_EQ(messages_in("user/ann/old"), 2u);
  EXPECT_EQ(messages_in("user/ann"), 1u);
  EXPECT_EQ(check("user/ann"), "");
  EXPECT_EQ(check("user/ann/old"), "");
  quotadata qd = quota_of("user/ann");
  EXPECT_EQ(qd.qrused, total_ + later.size());
  EXPECT_EQ(qd.msgqrused, 7u + 1u);
  EXPECT_EQ(rename_records(), std::vector<std::string>{});
}

}  // namespace
