#include <db.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/config.h"
#include "common/bvlog.h"
#include "common/imap_err.h"
#include "common/service.h"
#include "common/test_util.h"
#include "store/mboxlist.h"
#include "store/mboxlist_internal.h"
#include "store/msgtype.h"

namespace {

int cmp(const std::string& a, const std::string& b) {
  DBT x = {}, y = {};
  x.data = const_cast<char*>(a.data());
  x.size = static_cast<u_int32_t>(a.size());
  y.data = const_cast<char*>(b.data());
  y.size = static_cast<u_int32_t>(b.size());
  return key_compare(nullptr, &x, &y);
}

TEST(KeyOrder, SubfoldersFollowTheirParentDirectly) {
  // Keys as stored: name plus NUL.
  std::vector<std::string> ordered = {std::string("a\0", 2), std::string("a/b\0", 4), std::string("a.b\0", 4),
                                      std::string("aa\0", 3)};
  for (size_t i = 0; i + 1 < ordered.size(); ++i) {
    EXPECT_LT(cmp(ordered[i], ordered[i + 1]), 0) << i;
    EXPECT_GT(cmp(ordered[i + 1], ordered[i]), 0) << i;
  }
  EXPECT_EQ(cmp("abc", "abc"), 0);
  EXPECT_LT(cmp("ab", "abc"), 0);       // a prefix sorts first
  EXPECT_LT(cmp("a\tb", "a/b"), 0);     // TAB before '/'
  EXPECT_LT(cmp("a/b", "a!b"), 0);      // '/' before every other byte
  EXPECT_LT(cmp("a\xe9", "aA"), 0);     // bytes above 127 before ASCII
  EXPECT_LT(cmp(std::string("a\0", 2), "a\t"), 0);  // NUL first of all
}

TEST(KeyOrder, PrefixFunction) {
  auto prefix = [](const std::string& a, const std::string& b) {
    DBT x = {}, y = {};
    x.data = const_cast<char*>(a.data());
    x.size = static_cast<u_int32_t>(a.size());
    y.data = const_cast<char*>(b.data());
    y.size = static_cast<u_int32_t>(b.size());
    return key_prefix(nullptr, &x, &y);
  };
  EXPECT_EQ(prefix("abc", "abd"), 3u);
  EXPECT_EQ(prefix("ab", "abcd"), 3u);
  EXPECT_EQ(prefix("abcd", "abcd"), 4u);
  EXPECT_EQ(prefix("x", "y"), 1u);
}

TEST(KeyOrder, NameComparen) {
  EXPECT_EQ(name_comparen("user/joe", "user/joe/x", 8), 0);
  EXPECT_LT(name_comparen("a/b", "a.b", 3), 0);
  EXPECT_GT(name_comparen("a.b", "a/b", 3), 0);
  EXPECT_EQ(name_comparen("abc", "abd", 2), 0);
  EXPECT_LT(name_comparen("abc", "abd", 3), 0);
  EXPECT_EQ(name_comparen("", "", 5), 0);
}

int g_fatal_status = 0;
void record_fatal(int status) { g_fatal_status = status; }

class MboxlistEnv : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string conf = "local.store.dir = " + dir_.path() + "/store\nlocal.log.target = stderr\n";
    ASSERT_EQ(configmsg_init_text(conf, "test", "envtest"), 0);
    bvlog_to_stderr(LOG_SEV_CRIT);  // the expected failures log at crit
    mboxlist_set_fatal_handler(record_fatal);
    g_fatal_status = 0;
  }
  // Runs client in a process forked before any handle exists (handles never
  // cross a fork), once this process has recovered the environment, announced
  // the daemon ready and run prepare; the client's wait status.
  int client_status(void (*client)(), const std::function<void()>& prepare) {
    int go[2];
    if (pipe(go) != 0) return -1;
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
      char c;
      if (read(go[0], &c, 1) != 1) _exit(2);
      mboxlist_set_fatal_handler(nullptr);
      client();
      _exit(3);  // the client was to end the process itself
    }
    int status = -1;
    int announce = -1;
    if (mboxlist_recover() == 0 && (announce = service_announce("stored")) >= 0 &&
        service_set_ready(announce) == 0) {
      prepare();
      char c = 'g';
      if (write(go[1], &c, 1) != 1) kill(pid, SIGKILL);
    } else {
      kill(pid, SIGKILL);
    }
    waitpid(pid, &status, 0);
    if (announce >= 0) service_withdraw("stored", announce);
    close(go[0]);
    close(go[1]);
    return status;
  }
  void TearDown() override {
    mboxlist_close();
    mboxlist_set_fatal_handler(nullptr);
    configmsg_free();
    bvlog_to_stderr(LOG_SEV_DEBUG);
  }
  TempDir dir_;
};

TEST_F(MboxlistEnv, ClientRefusesToStartBeforeTheDaemonIsReady) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(mboxlist_init(), IMAP_MAILBOXLIST_NONEXISTENT);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(g_fatal_status, 75);
  EXPECT_NE(err.find("\nUnable to verify start of store daemon (stored). The store daemon process must be running"),
            std::string::npos)
      << err;
  // Not retried within the process.
  g_fatal_status = 0;
  EXPECT_EQ(mboxlist_init(), IMAP_MAILBOXLIST_NONEXISTENT);
  EXPECT_EQ(g_fatal_status, 0);
}

TEST_F(MboxlistEnv, RecoveryCreatesTheDatabasesAndClientsJoin) {
  // The client is forked before the environment exists: Berkeley DB
  // handles must never cross a fork.
  int to_child[2], to_parent[2];
  ASSERT_EQ(pipe(to_child), 0);
  ASSERT_EQ(pipe(to_parent), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    char c;
    // 1: the daemon is starting: a client must not see it ready.
    if (read(to_child[0], &c, 1) != 1) _exit(2);
    c = store_session_ready_test("stored") ? 'R' : 'n';
    if (write(to_parent[1], &c, 1) != 1) _exit(2);
    // 2: ready: the client joins the environment the daemon made.
    if (read(to_child[0], &c, 1) != 1) _exit(2);
    c = mboxlist_init() == 0 && mboxlist_folderdb() ? 'j' : 'F';
    mboxlist_close();
    if (write(to_parent[1], &c, 1) != 1) _exit(2);
    _exit(0);
  }
  ASSERT_EQ(mboxlist_recover(), 0);
  for (const char* f : {"folder.db", "quota.db", "subscr.db", "peruser.db", "lright.db"}) {
    EXPECT_EQ(access((dir_.path() + "/store/mboxlist/" + f).c_str(), F_OK), 0) << f;
  }
  EXPECT_EQ(access((dir_.path() + "/store/mboxlist/folderlock").c_str(), F_OK), 0);
  EXPECT_NE(mboxlist_folderdb(), nullptr);
  EXPECT_EQ(mboxlist_checkpoint15(), 0);
  EXPECT_EQ(mboxlist_checkpoint60(), 0);
  EXPECT_EQ(mboxlist_checkpoint300(), 0);
  EXPECT_EQ(mboxlist_deadlockcheck(), 0);

  int announce = service_announce("stored");
  ASSERT_GE(announce, 0);
  EXPECT_EQ(service_announce("stored"), -1) << "a second daemon on the same store";
  char c = '1';
  ASSERT_EQ(write(to_child[1], &c, 1), 1);
  ASSERT_EQ(read(to_parent[0], &c, 1), 1);
  EXPECT_EQ(c, 'n') << "a starting daemon looked ready";
  ASSERT_EQ(service_set_ready(announce), 0);
  c = '2';
  ASSERT_EQ(write(to_child[1], &c, 1), 1);
  ASSERT_EQ(read(to_parent[0], &c, 1), 1);
  EXPECT_EQ(c, 'j') << "client could not join";
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  service_withdraw("stored", announce);
  EXPECT_FALSE(store_session_ready_test("stored"));
  for (int fd : {to_child[0], to_child[1], to_parent[0], to_parent[1]}) close(fd);
}

TEST_F(MboxlistEnv, TransactionsCommitAndAbort) {
  ASSERT_EQ(mboxlist_recover(), 0);
  DB* db = mboxlist_folderdb();
  DB_TXN* txn = nullptr;
  ASSERT_EQ(mboxlist_trans_setup(&txn, "test", "k"), 0);
  DbKey key("k");
  DBT& k = *key.dbt();
  DBT d = {};
  d.data = const_cast<char*>("v");
  d.size = 2;
  ASSERT_EQ(db->put(db, txn, &k, &d, 0), 0);
  EXPECT_EQ(mboxlist_trans_finish(txn, IMAP_MAILBOX_BADNAME), IMAP_MAILBOX_BADNAME);
  DBT out = {};
  out.flags = DB_DBT_MALLOC;
  EXPECT_EQ(db->get(db, nullptr, &k, &out, 0), DB_NOTFOUND);
  ASSERT_EQ(mboxlist_trans_setup(&txn, "test", "k"), 0);
  ASSERT_EQ(db->put(db, txn, &k, &d, 0), 0);
  EXPECT_EQ(mboxlist_trans_finish(txn, 0), 0);
  ASSERT_EQ(db->get(db, nullptr, &k, &out, 0), 0);
  EXPECT_STREQ(static_cast<char*>(out.data), "v");
  free(out.data);
}

// A client whose commit fails because the environment panicked cannot know
// whether the commit record reached the log (recovery would then redo it):
// it must stop at once rather than return an error its caller would undo
// work on (a rename removing the only copy of a folder, say).
TEST_F(MboxlistEnv, ClientStopsWhenACommitMeetsAPanic) {
  int status = client_status(
      [] {
        if (mboxlist_init() != 0) _exit(2);
        DB* db = mboxlist_folderdb();
        DB_TXN* txn = nullptr;
        if (mboxlist_trans_setup(&txn, "test", "k") != 0) _exit(2);
        DbKey key("k");
        DBT d = {};
        d.data = const_cast<char*>("v");
        d.size = 2;
        if (db->put(db, txn, key.dbt(), &d, 0) != 0) _exit(2);
        DB_ENV* env = mboxlist_env();
        env->set_flags(env, DB_PANIC_ENVIRONMENT, 1);
        (void)mboxlist_trans_finish(txn, 0);  // must not come back
      },
      [] {});
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 75) << "status " << status;
}

// A client that finds the environment panicked (a process died inside the
// library and the daemon has not noticed yet) fails with the temporary
// status: the daemon's next check recovers it.
TEST_F(MboxlistEnv, ClientJoiningAPanickedEnvironmentTriesAgainLater) {
  int status = client_status(
      [] {
        (void)mboxlist_init();  // must not come back
      },
      [] {
        DB_ENV* env = mboxlist_env();
        env->set_flags(env, DB_PANIC_ENVIRONMENT, 1);
      });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 75) << "status " << status;
}

TEST_F(MboxlistEnv, UnusableStoreDirectoryIsAConfigurationError) {
  configmsg_free();
  std::string longdir(1030, 'd');
  ASSERT_EQ(configmsg_init_text("local.store.dir = /" + longdir + "\n", "test", "envtest"), 0);
  EXPECT_EQ(mboxlist_recover(), IMAP_MAILBOXLIST_NONEXISTENT);
  EXPECT_EQ(g_fatal_status, 78);
}

TEST_F(MboxlistEnv, SeparateRegionDirectory) {
  configmsg_free();
  std::string conf = "local.store.dir = " + dir_.path() + "/store\nstore.dbtmpdir = " + dir_.path() + "/regions\n";
  ASSERT_EQ(configmsg_init_text(conf, "test", "envtest"), 0);
  ASSERT_EQ(mboxlist_recover(), 0);
  // Data stays with the store; regions and DB_CONFIG go to the region directory.
  EXPECT_EQ(access((dir_.path() + "/store/mboxlist/folder.db").c_str(), F_OK), 0);
  EXPECT_EQ(access((dir_.path() + "/regions/DB_CONFIG").c_str(), F_OK), 0);
  EXPECT_EQ(access((dir_.path() + "/regions/folder.db").c_str(), F_OK), -1);
}

TEST_F(MboxlistEnv, StartLoadsTheMessageTypePluginAndCloseUnloadsIt) {
  configmsg_free();
  const std::string base = "local.store.dir = " + dir_.path() + "/store\nlocal.watcher.enable = 1\n";
  ASSERT_EQ(configmsg_init_text(base + "local.store.messagetypeplugin = " MSGTYPE_TEST_PLUGIN "$x\n", "test",
                                "envtest"),
            0);
  // A watcher asked for but not there is no reason to stop.
  ASSERT_EQ(mboxlist_recover(), 0);
  EXPECT_EQ(g_fatal_status, 0);
  EXPECT_TRUE(msgtype_active());
  EXPECT_STREQ(msgtype_flag_name(0), "$Spam");
  mboxlist_close();
  EXPECT_FALSE(msgtype_active());

  // A flag name that is not an atom ends the start with status 1.
  configmsg_free();
  ASSERT_EQ(configmsg_init_text(base + "local.store.messagetypeplugin = " MSGTYPE_TEST_PLUGIN "$bad\n", "test",
                                "envtest"),
            0);
  EXPECT_EQ(mboxlist_recover(), IMAP_MAILBOXLIST_NONEXISTENT);
  EXPECT_EQ(g_fatal_status, 1);
  EXPECT_FALSE(msgtype_active());
}

}  // namespace
