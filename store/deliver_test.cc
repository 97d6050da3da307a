#include "store/deliver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/auth.h"
#include "common/config.h"
#include "common/imap_err.h"
#include "common/test_util.h"
#include "store/mboxlist.h"
#include "store/append.h"
#include "store/quota.h"

namespace {

TEST(DeliverCanonicalize, LineEnds) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"A: b\n\nbody\n", "A: b\r\n\r\nbody\r\n"},
      {"A: b\r\n\r\nbody\r\n", "A: b\r\n\r\nbody\r\n"},
      {"A: b\r\n\nmixed\n", "A: b\r\n\r\nmixed\r\n"},
      {"\n\n", "\r\n\r\n"},
      {"no end", "no end"},
      {"lone\rcr\n", "lone\rcr\r\n"},
      {"From joe@x Mon Jan  1 00:00:00 2024\nA: b\n\nx\n", "A: b\r\n\r\nx\r\n"},
      {"From joe only", ""},
      {"A: b\n\nFrom the body\n", "A: b\r\n\r\nFrom the body\r\n"},  // only a leading envelope line goes
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(deliver_canonicalize(c.in), c.out) << c.in;
}

TEST(DeliverStatus, CodesAnMtaUnderstands) {
  struct Case {
    int code, status;
  } cases[] = {
      {0, 0},
      {IMAP_QUOTA_EXCEEDED, 75},
      {IMAP_QUOTA_EXCEEDED_PERSISTENT, 73},
      {IMAP_MAILBOX_FULL, 73},  // no uid left: a retry cannot succeed
      {IMAP_MAILBOX_NONEXISTENT, 67},
      {IMAP_MESSAGE_NOBLANKLINE, 65},
      {IMAP_MESSAGE_CONTAINSNULL, 65},
      {IMAP_MESSAGE_TOO_LARGE, 65},
      {IMAP_IOERROR, 75},
      {IMAP_MAILBOX_LOCKED, 75},
      {IMAP_MAILBOXLIST_NONEXISTENT, 75},
      {ENOSPC, 75},
      {IMAP_WRONG_MAILHOST, 67},     // the directory keeps the user elsewhere
      {IMAP_TEMP_AUTH_FAILURE, 75},  // the directory cannot answer now
  };
  for (const Case& c : cases) EXPECT_EQ(deliver_exit_status(c.code), c.status) << c.code;
  EXPECT_EQ(deliver_combine(0, 67), 67);
  EXPECT_EQ(deliver_combine(67, 75), 75);
  EXPECT_EQ(deliver_combine(65, 67), 65);
  EXPECT_EQ(deliver_combine(0, 0), 0);
}

class Deliver : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string conf = "local.store.dir = " + dir_.path() + "/store\nlocal.log.target = stderr\n" +
                       "store.partition.primary.path = " + dir_.path() + "/p1\n" +
                       "store.partition.second.path = " + dir_.path() + "/p2\n";
    ASSERT_EQ(configmsg_init_text(conf, "test", "orvdeliver"), 0);
    mboxlist_set_fatal_handler([](int) {});
    ASSERT_EQ(mboxlist_recover(), 0);
    err_ = tmpfile();
  }
  void TearDown() override {
    fclose(err_);
    mboxlist_close();
    mboxlist_set_fatal_handler(nullptr);
    configmsg_free();
  }
  void create(const std::string& name, const char* partition = "primary", uint32_t qmax = QUOTA_UNLIMITED) {
    ASSERT_EQ(mboxlist_createmailbox(name.c_str(), MBOX_VERSION, partition, nullptr, auth_dontCheckAcl, qmax,
                                     QUOTA_UNLIMITED, 0),
              0);
  }
  struct stat file(const std::string& name, uint32_t uid) {
    char* path = nullptr;
    EXPECT_EQ(mboxlist_lookup(name.c_str(), nullptr, nullptr, &path, nullptr, nullptr), 0);
    std::string p = std::string(path) + "/00/" + std::to_string(uid) + ".msg";
    free(path);
    struct stat st {};
    EXPECT_EQ(stat(p.c_str(), &st), 0) << p;
    return st;
  }
  std::string errors() {
    fflush(err_);
    rewind(err_);
    std::string s;
    char buf[512];
    while (fgets(buf, sizeof buf, err_)) s += buf;
    return s;
  }
  TempDir dir_;
  FILE* err_ = nullptr;
  const std::string msg_ = deliver_canonicalize("From: a@b\nSubject: s\n\nbody\n");
};

TEST_F(Deliver, ThreeUsersOnePartitionShareOneFile) {
  for (const char* u : {"user/u1", "user/u2", "user/u3"}) create(u);
  EXPECT_EQ(deliver_message(msg_, {"u1", "u2", "u3"}, nullptr, 0, err_), 0) << errors();
  struct stat a = file("user/u1", 1), b = file("user/u2", 1), c = file("user/u3", 1);
  EXPECT_EQ(a.st_ino, b.st_ino);
  EXPECT_EQ(a.st_ino, c.st_ino);
  EXPECT_EQ(a.st_nlink, 3u);
  EXPECT_EQ(static_cast<size_t>(a.st_size), msg_.size());
}

TEST_F(Deliver, TwoPartitionsTwoFiles) {
  create("user/v1");
  create("user/v2", "second");
  create("user/v3");
  EXPECT_EQ(deliver_message(msg_, {"v1", "v2", "v3"}, nullptr, 0, err_), 0) << errors();
  struct stat a = file("user/v1", 1), b = file("user/v2", 1), c = file("user/v3", 1);
  EXPECT_EQ(a.st_ino, c.st_ino);
  EXPECT_EQ(a.st_nlink, 2u);
  EXPECT_EQ(b.st_nlink, 1u);
}

TEST_F(Deliver, UnknownUsersBadMessagesAndQuota) {
  create("user/w1");
  EXPECT_EQ(deliver_message(msg_, {"nobody"}, nullptr, 0, err_), 67);
  EXPECT_EQ(deliver_message(msg_, {"w1", "nobody"}, nullptr, 0, err_), 67);
  EXPECT_EQ(deliver_message(msg_, {"a/b"}, nullptr, 0, err_), 67);
  EXPECT_EQ(deliver_message("", {"w1"}, nullptr, 0, err_), 65);
  EXPECT_EQ(deliver_message(std::string("A: b\r\n\r\nx\0y\r\n", 13), {"w1"}, nullptr, 0, err_), 65);
  EXPECT_NE(errors().find("orvdeliver: nobody: "), std::string::npos);

  create("user/full", "primary", 1);  // 1 KB
  std::string big = "Subject: big\r\n\r\n" + std::string(3000, 'x') + "\r\n";
  EXPECT_EQ(deliver_message(big, {"full"}, nullptr, 0, err_), 65);  // larger than the whole quota
  std::string half = "Subject: half\r\n\r\n" + std::string(700, 'x') + "\r\n";
  EXPECT_EQ(deliver_message(half, {"full"}, nullptr, 0, err_), 0);
  // Over quota within the grace period: try again later; others still get it.
  EXPECT_EQ(deliver_message(half, {"full", "w1"}, nullptr, 0, err_), 75);
  EXPECT_EQ(file("user/w1", 2).st_size, static_cast<off_t>(half.size()));
}

// The steps the LMTP server takes one recipient at a time: resolve and
// check at RCPT (nothing changes), append after the data.
TEST_F(Deliver, ResolveCheckAppend) {
  create("user/r1");
  create("user/r2");
  create("user/rq", "primary", 1);  // 1 KB
  std::string name;
  EXPECT_EQ(deliver_resolve("r1", nullptr, &name), 0);
  EXPECT_EQ(name, "user/r1");
  EXPECT_EQ(deliver_check(name, 0), 0);
  EXPECT_EQ(deliver_resolve("a/b", nullptr, &name), IMAP_MAILBOX_BADNAME);
  ASSERT_EQ(deliver_resolve("nobody", nullptr, &name), 0);  // no directory: found missing by the check
  EXPECT_EQ(deliver_check(name, 0), IMAP_MAILBOX_NONEXISTENT);
  EXPECT_EQ(deliver_check("user/rq", 3000), IMAP_MESSAGE_TOO_LARGE);  // larger than the whole quota
  EXPECT_EQ(deliver_check("user/rq", 700), 0);

  appendmsg m;
  m.flags = APPENDMSG_CALLER_STORAGE;
  m.base = msg_.data();
  m.size = msg_.size();
  EXPECT_EQ(deliver_append(&m, "user/r1", 0), 0);
  EXPECT_EQ(deliver_append(&m, "user/r2", 0), 0);
  append_freemsg(&m);
  EXPECT_EQ(file("user/r1", 1).st_ino, file("user/r2", 1).st_ino);
  EXPECT_EQ(deliver_refusal(msg_.data(), msg_.size()), 0);
  EXPECT_EQ(deliver_refusal("", 0), IMAP_MESSAGE_NOBLANKLINE);
  EXPECT_EQ(deliver_refusal("a\0b", 3), IMAP_MESSAGE_CONTAINSNULL);
}

TEST_F(Deliver, UserLostByTheListIsDeferredNotUnknown) {
  create("user/lost");
  create("user/lost/Lists");
  // The list loses the user; his folders stay on disk.
  for (const char* n : {"user/lost", "user/lost/Lists"}) ASSERT_EQ(mboxlist_delete(n), 0) << n;
  EXPECT_EQ(deliver_message(msg_, {"lost"}, nullptr, 0, err_), 75) << errors();
  EXPECT_EQ(deliver_message(msg_, {"lost"}, "Lists", 0, err_), 75) << errors();
  EXPECT_EQ(deliver_message(msg_, {"nobody"}, nullptr, 0, err_), 67);
}

TEST_F(Deliver, NamedFolderOrInbox) {
  create("user/x1");
  create("user/x1/Lists");
  EXPECT_EQ(deliver_message(msg_, {"x1"}, "Lists", 0, err_), 0) << errors();
  file("user/x1/Lists", 1);
  EXPECT_EQ(deliver_message(msg_, {"x1"}, "Missing", 0, err_), 0) << errors();
  file("user/x1", 1);
}

}  // namespace
