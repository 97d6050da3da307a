#include "store/storenotify.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/config.h"
#include "common/test_util.h"
#include "store/mailbox.h"

namespace {

std::vector<std::string> lines_of(const std::string& path) {
  std::vector<std::string> out;
  std::string text = read_text_file(path), line;
  for (char c : text) {
    if (c == '\n') {
      out.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  return out;
}

class StoreNotify : public ::testing::Test {
 protected:
  void TearDown() override {
    storenotify_shutdown();
    ASSERT_EQ(configmsg_init_text("", "test", "store_test"), 0);
  }
  void load(const std::string& setting) {
    ASSERT_EQ(configmsg_init_text("local.store.notifyplugin = " + setting + "\n", "test", "orvdeliver"), 0);
    storenotify_init("popd");
  }
  mailbox folder() {
    mailbox m;
    m.name = name_;
    m.mbd.uid_validity = 777;
    m.mbd.exists = 3;
    m.mbd.last_uid = 9;
    return m;
  }
  TempDir dir_;
  std::string log_ = dir_ / "events";
  char name_[16] = "user/joe";
};

TEST_F(StoreNotify, NothingConfiguredNothingHappens) {
  ASSERT_EQ(configmsg_init_text("", "test", "store_test"), 0);
  storenotify_init("popd");
  EXPECT_EQ(storenotify_need_peruserflag(), 0);
  mailbox m = folder();
  storenotify_append(&m, 0, nullptr, nullptr, nullptr, nullptr, nullptr);
  storenotify_quota("user/joe", quotadata{}, "OverQuota");
  storenotify_loguser("PLAIN", "joe", "joe", "1.2.3.4", 5, 1);
  m.name = nullptr;
}

TEST_F(StoreNotify, ArgumentsReachThePlugin) {
  load(std::string(NOTIFY_TEST_PLUGIN) + "$" + log_);
  EXPECT_NE(storenotify_need_peruserflag(), 0);
  mailbox m = folder();
  uint32_t uids[2] = {10, 11};
  const char* headers[2] = {"From: a\r\n\r\n", "Subject: b\r\n\r\n"};
  uint32_t hlen[2] = {11, 14};
  uint32_t mlen[2] = {100, 200};
  quotadata qd;
  qd.qmax = 1000;
  qd.qrused = 5ull << 40;  // 5 TB: more KB than 32 bits hold
  qd.msgqmax = QUOTA_UNLIMITED;
  qd.msgqrused = 4;
  storenotify_append(&m, 2, uids, headers, hlen, mlen, &qd);
  // Missing arrays arrive as a zero word and an empty header.
  storenotify_append(&m, 0, nullptr, nullptr, nullptr, nullptr, nullptr);
  qd.qrused = 3 * 1024 + 1023;
  storenotify_expunge(&m, 1, uids, &qd);
  storenotify_reconstruct(&m);
  int flags[4] = {0, 1, 3, 2};  // entry 0 is not a message
  storenotify_peruserflag(&m, "bob", 1, flags, 3);
  storenotify_loguser("shut_down", "joe", "admin", "10.0.0.1", 1234, 2);
  storenotify_quota("user/joe", qd, "UnderQuota");
  storenotify_shutdown();
  m.name = nullptr;

  std::vector<std::string> want = {
      "init",
      "append user/joe uv=777 exists=3 n=2 [10 h=11 m=100 From: a\\r\\n\\r\\n] [11 h=14 m=200 Subject: b\\r\\n] "
      "q=1000/4294967295 mq=4294967295/4 proc=orvdeliver pid=self",
      "append user/joe uv=777 exists=3 n=0 [0 h=0 m=0 ] q=0/0 mq=0/0 proc=orvdeliver pid=self",
      "expunge user/joe uv=777 exists=3 n=1 uid0=10 last=9 q=1000/3 mq=4294967295/4 proc=orvdeliver pid=self",
      "reconstruct user/joe uv=777 exists=3 last=9 proc=orvdeliver pid=self",
      "peruserflag user/joe uv=777 user=bob changed=1 seen=2 deleted=2 total=3 proc=orvdeliver pid=self",
      "loguser shut_down joe admin 10.0.0.1 t=1234 type=2 proc=orvdeliver pid=self",
      "quota user/joe q=1000/3 mq=4294967295/4 UnderQuota proc=orvdeliver pid=self",
      "shutdown",
  };
  EXPECT_EQ(lines_of(log_), want);
}

TEST_F(StoreNotify, MissingEntryPointIsSkipped) {
  load(std::string(NOTIFY_TEST_PLUGIN_NOQUOTA) + "$" + log_);
  storenotify_quota("user/joe", quotadata{}, "OverQuota");
  storenotify_loguser("PLAIN", "joe", "joe", "::1", 1, 1);
  storenotify_shutdown();
  EXPECT_EQ(lines_of(log_), (std::vector<std::string>{"init",
                                                      "loguser PLAIN joe joe ::1 t=1 type=1 "
                                                      "proc=orvdeliver pid=self",
                                                      "shutdown"}));
}

TEST_F(StoreNotify, FailedLoadDisablesEvents) {
  load(dir_ / "no-such-plugin.so");
  EXPECT_EQ(storenotify_need_peruserflag(), 0);
  storenotify_quota("user/joe", quotadata{}, "OverQuota");
}

TEST(StoreNotifyUsage, KilobytesOrMinusOne) {
  EXPECT_EQ(storenotify_usage_kb(0), 0u);
  EXPECT_EQ(storenotify_usage_kb(1023), 0u);
  EXPECT_EQ(storenotify_usage_kb(1024), 1u);
  EXPECT_EQ(storenotify_usage_kb((1ull << 42) - 1), 0xFFFFFFFFu);  // still fits exactly
  EXPECT_EQ(storenotify_usage_kb(1ull << 42), 0xFFFFFFFFu);
}

}  // namespace
