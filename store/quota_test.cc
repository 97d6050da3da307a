#include "store/quota.h"

#include <gtest/gtest.h>

#include <string>

#include "common/config.h"
#include "common/imap_err.h"

namespace {

class QuotaRules : public ::testing::Test {
 protected:
  void TearDown() override { ASSERT_EQ(configmsg_init_text("", "test", "store_test"), 0); }
  void config(const std::string& text) { ASSERT_EQ(configmsg_init_text(text, "test", "store_test"), 0); }
};

quotadata q(uint32_t qmax, uint64_t used, uint32_t msgqmax = QUOTA_UNLIMITED, uint32_t msgused = 0,
            uint32_t qwhen = 0) {
  quotadata d;
  d.qmax = qmax;
  d.qrused = used;
  d.msgqmax = msgqmax;
  d.msgqrused = msgused;
  d.qwhen = qwhen;
  return d;
}

TEST_F(QuotaRules, WarnPercentFromSwitches) {
  config("");
  EXPECT_EQ(quota_warn_percent(), 90);
  config("store.quotawarn = 75\n");
  EXPECT_EQ(quota_warn_percent(), 75);
  config("store.quotawarn = 75\nlocal.store.quotaoverdraft = on\n");
  EXPECT_EQ(quota_warn_percent(), 100);
  config("store.quotawarn = 75\nlocal.store.overquotastatus = yes\n");
  EXPECT_EQ(quota_warn_percent(), 100);
}

TEST_F(QuotaRules, Thresholds) {
  struct Case {
    uint32_t qmax, msgqmax;
    int percent;
    uint64_t bytes, msgs;
  } cases[] = {
      {1000, 10, 90, 900ull * 1024, 9},
      {1000, 10, 100, 1000ull * 1024, 10},
      {1001, 11, 90, 901ull * 1024, 10},  // 900.9 and 9.9 round up
      {QUOTA_UNLIMITED, 10, 90, UINT64_MAX, 9},
      {1000, QUOTA_UNLIMITED, 90, 900ull * 1024, UINT64_MAX},
      // The largest limited values do not overflow.
      {0xFFFFFFFEu, 0xFFFFFFFEu, 100, 0xFFFFFFFEull * 1024, 0xFFFFFFFEull},
      {0xFFFFFFFEu, 0xFFFFFFFEu, 90, ((0xFFFFFFFEull * 90 + 99) / 100) * 1024, (0xFFFFFFFEull * 90 + 99) / 100},
      {0, 0, 90, 0, 0},
  };
  for (const Case& c : cases) {
    quota_thresholds t = quota_get_thresholds(q(c.qmax, 0, c.msgqmax), c.percent);
    EXPECT_EQ(t.bytes, c.bytes) << c.qmax << " " << c.percent;
    EXPECT_EQ(t.msgs, c.msgs) << c.msgqmax << " " << c.percent;
  }
}

TEST_F(QuotaRules, OverThreshold) {
  EXPECT_FALSE(quota_over_threshold(q(1000, 900 * 1024 - 1), 90));
  EXPECT_TRUE(quota_over_threshold(q(1000, 900 * 1024), 90));
  EXPECT_FALSE(quota_over_threshold(q(1000, 900 * 1024), 100));
  EXPECT_TRUE(quota_over_threshold(q(1000, 0, 10, 9), 90));
  EXPECT_FALSE(quota_over_threshold(q(1000, 0, 10, 8), 90));
  // An unlimited size never warns by size; counts still can.
  EXPECT_FALSE(quota_over_threshold(q(QUOTA_UNLIMITED, UINT64_MAX - 1), 90));
  EXPECT_TRUE(quota_over_threshold(q(QUOTA_UNLIMITED, 0, 10, 10), 90));
}

TEST_F(QuotaRules, LimitsCheck) {
  const time_t now = 1'000'000'000;
  const int grace = 120;
  const uint32_t recent = static_cast<uint32_t>(now - 3600);
  const uint32_t old = static_cast<uint32_t>(now - 121 * 3600);
  struct Case {
    const char* what;
    quotadata qd;
    uint64_t size;
    uint32_t nmsgs;
    int grace;
    int expect;
  } cases[] = {
      {"fits", q(1000, 999 * 1024), 1024, 1, grace, 0},
      {"exactly full", q(1000, 0), 1000 * 1024, 1, grace, 0},
      {"2 KB into 1 KB left", q(1000, 999 * 1024), 2048, 1, grace, IMAP_QUOTA_EXCEEDED},
      {"one byte over a full quota", q(1000, 1000 * 1024), 1, 1, grace, IMAP_QUOTA_EXCEEDED},
      {"used above the limit", q(1000, 2000 * 1024), 1, 1, grace, IMAP_QUOTA_EXCEEDED},
      {"within grace", q(1000, 1000 * 1024, QUOTA_UNLIMITED, 0, recent), 1, 1, grace, IMAP_QUOTA_EXCEEDED},
      {"grace ended", q(1000, 1000 * 1024, QUOTA_UNLIMITED, 0, old), 1, 1, grace, IMAP_QUOTA_EXCEEDED_PERSISTENT},
      {"no grace at all", q(1000, 1000 * 1024), 1, 1, 0, IMAP_QUOTA_EXCEEDED_PERSISTENT},
      {"message limit", q(QUOTA_UNLIMITED, 0, 10, 10), 1, 1, grace, IMAP_QUOTA_EXCEEDED},
      {"last message", q(QUOTA_UNLIMITED, 0, 10, 9), 1, 1, grace, 0},
      {"three more of ten", q(QUOTA_UNLIMITED, 0, 10, 7), 1, 3, grace, 0},
      {"four more of ten", q(QUOTA_UNLIMITED, 0, 10, 7), 1, 4, grace, IMAP_QUOTA_EXCEEDED},
      {"unlimited", q(QUOTA_UNLIMITED, UINT64_MAX - 5), 1ull << 40, 1, grace, 0},
      {"huge size does not wrap", q(1000, 10), UINT64_MAX, 1, grace, IMAP_QUOTA_EXCEEDED},
  };
  for (const Case& c : cases) EXPECT_EQ(quota_check_limits(c.qd, c.size, c.nmsgs, now, c.grace), c.expect) << c.what;
}

}  // namespace

// ---- Records in the mailbox list ----------------------------------------------

#include "common/auth.h"
#include "common/test_util.h"
#include "store/append.h"
#include "store/mailbox.h"
#include "store/mboxlist.h"
#include "store/storenotify.h"
#include "store/userattr.h"

namespace {

class QuotaDb : public ::testing::Test {
 protected:
  void SetUp() override { start(""); }
  void TearDown() override {
    userattr_exit();  // set up from the configuration by set_overquotastatus
    storenotify_shutdown();
    mboxlist_close();
    mboxlist_set_fatal_handler(nullptr);
    configmsg_free();
  }
  void start(const std::string& extra) {
    std::string conf = "local.store.dir = " + dir_.path() + "/store\nlocal.log.target = stderr\n" +
                       "store.partition.primary.path = " + dir_.path() + "/p1\n" +
                       "local.store.notifyplugin = " + NOTIFY_TEST_PLUGIN + "$" + events_ + "\n" + extra;
    ASSERT_EQ(configmsg_init_text(conf, "test", "quota_test"), 0);
    mboxlist_set_fatal_handler([](int) {});
    ASSERT_EQ(mboxlist_recover(), 0);
    storenotify_init(nullptr);
  }
  void create(const char* name, uint32_t qmax = QUOTA_UNLIMITED, uint32_t msgqmax = QUOTA_UNLIMITED) {
    ASSERT_EQ(mboxlist_createmailbox(name, MBOX_VERSION, "primary", nullptr, auth_dontCheckAcl, qmax, msgqmax, 0), 0)
        << name;
  }
  // Appends n messages with a body of body bytes to folder name; the size
  // of each.
  size_t append(const char* name, int n, size_t body) {
    std::string text = "Subject: x\r\n\r\n" + std::string(body, 'a') + "\r\n";
    appendmbox a;
    if (append_setup(&a, name, 0, MBOX_VERSION, auth_dontCheckAcl, APPEND_ACL_NOCHECK, 0) != 0) {
      ADD_FAILURE() << "append_setup " << name;
      return 0;
    }
    for (int i = 0; i < n; i++)
      EXPECT_EQ(append_fromstring(&a, text.data(), text.size(), 1, nullptr, 0, nullptr, nullptr), 0);
    append_finish(&a);
    return text.size();
  }
  quotadata get(const char* name) {
    quotadata qd;
    EXPECT_EQ(mboxlist_getquotaroot(name, &qd, nullptr), 0) << name;
    return qd;
  }
  // The quota events so far, "OverQuota"/"UnderQuota" with the usage in KB.
  std::string events() {
    std::string all = read_text_file(events_), out;
    size_t pos = 0;
    while ((pos = all.find("quota ", pos)) != std::string::npos) {
      size_t end = all.find(" proc=", pos);
      out += all.substr(pos, end - pos) + ";";
      pos = end;
    }
    return out;
  }
  TempDir dir_;
  std::string events_ = dir_ / "events";
};

TEST_F(QuotaDb, RootsOfNames) {
  create("user/joe", 1000);
  char* root = nullptr;
  quotadata qd;
  ASSERT_EQ(mboxlist_getquotaroot("user/joe/Sent/2024", &qd, &root), 0);
  EXPECT_STREQ(root, "user/joe");
  EXPECT_EQ(qd.qmax, 1000u);
  free(root);
  EXPECT_EQ(mboxlist_getquotaroot("user/ann", &qd, nullptr), IMAP_QUOTAROOT_NONEXISTENT);
  EXPECT_EQ(mboxlist_getquotaroot("noslash", &qd, nullptr), IMAP_QUOTAROOT_NONEXISTENT);
}

TEST_F(QuotaDb, UsageChangesCrossTheThresholdBothWays) {
  create("user/joe", 1000, 10);
  mboxdata mbd;
  quotadata qd;
  // 899 KB: below 90 %.
  ASSERT_EQ(mboxlist_changequota("user/joe/Sent", &mbd, 899 * 1024, 8, 0, &qd), 0);
  EXPECT_EQ(qd.qrused, 899u * 1024);
  EXPECT_EQ(qd.qwhen, 0u);
  EXPECT_EQ(mbd.qused, 899u * 1024);
  EXPECT_EQ(events(), "");
  // One KB more reaches 900 KB: over.
  ASSERT_EQ(mboxlist_changequota("user/joe", &mbd, 1024, 0, 0, &qd), 0);
  EXPECT_NE(qd.qwhen, 0u);
  EXPECT_EQ(events(), "quota user/joe q=1000/900 mq=10/8 OverQuota;");
  // Staying over reports nothing new; warnquota sets qwarn.
  ASSERT_EQ(mboxlist_warnquota("user/joe"), 0);
  EXPECT_NE(get("user/joe").qwarn, 0u);
  ASSERT_EQ(mboxlist_changequota("user/joe", &mbd, 10, 0, 0, &qd), 0);
  EXPECT_EQ(events(), "quota user/joe q=1000/900 mq=10/8 OverQuota;");
  // Falling below clears qwhen and qwarn.
  ASSERT_EQ(mboxlist_changequota("user/joe", &mbd, 500 * 1024, 0, 1, &qd), 0);
  EXPECT_EQ(qd.qwhen, 0u);
  EXPECT_EQ(qd.qwarn, 0u);
  EXPECT_EQ(events(), "quota user/joe q=1000/900 mq=10/8 OverQuota;quota user/joe q=1000/400 mq=10/8 UnderQuota;");
  // Subtracting more than is used stops at zero, in the list and in mbd.
  ASSERT_EQ(mboxlist_changequota("user/joe", &mbd, UINT64_C(1) << 40, 20, 1, &qd), 0);
  EXPECT_EQ(qd.qrused, 0u);
  EXPECT_EQ(qd.msgqrused, 0u);
  EXPECT_EQ(mbd.qused, 0u);
  // Message counts cross too: 9 of 10.
  ASSERT_EQ(mboxlist_changequota("user/joe", &mbd, 1, 9, 0, &qd), 0);
  EXPECT_NE(qd.qwhen, 0u);
  // A folder without a quota record is not counted, and is no error.
  ASSERT_EQ(mboxlist_changequota("user/nobody", &mbd, 100, 1, 0, &qd), 0);
  EXPECT_EQ(qd.qrused, 0u);
  EXPECT_EQ(mboxlist_warnquota("user/nobody"), IMAP_QUOTAROOT_NONEXISTENT);
}

TEST_F(QuotaDb, OverQuotaStatusSwitchLogsWithoutDirectory) {
  TearDown();
  start("local.store.overquotastatus = on\n");
  create("user/amy", 100);
  quotadata qd;
  ASSERT_EQ(mboxlist_changequota("user/amy", nullptr, 100 * 1024, 1, 0, &qd), 0);
  // With the switch on, the threshold is 100 %.
  EXPECT_EQ(events(), "quota user/amy q=100/100 mq=4294967295/1 OverQuota;");
  EXPECT_EQ(set_overquotastatus("user/amy", "active", "overquota"), -1);
}

TEST_F(QuotaDb, ExpungeReportsItsMessagesAndFallingBelowTheThreshold) {
  create("user/joe", 10);
  append("user/joe", 3, 4000);
  ASSERT_NE(get("user/joe").qwhen, 0u);  // 11 KB of 10

  mailbox m;
  ASSERT_EQ(mailbox_open("user/joe", 0, nullptr, &m), 0);
  // A rewrite that only makes room for more records reports nothing.
  ASSERT_EQ(mailbox_expunge(&m, 0, 500, [](void*, const index_record*) { return -1; }, nullptr), 0);
  EXPECT_EQ(read_text_file(events_).find("expunge "), std::string::npos);
  // The first two go; the event names them and the usage left.
  auto first_two = [](void*, const index_record* r) { return r->uid <= 2 ? 1 : 0; };
  ASSERT_EQ(mailbox_expunge(&m, 0, 0, first_two, nullptr), 0);
  std::string all = read_text_file(events_);
  size_t at = all.find("expunge user/joe ");
  ASSERT_NE(at, std::string::npos) << all;
  std::string line = all.substr(at, all.find('\n', at) - at);
  EXPECT_NE(line.find(" exists=1 n=2 uid0=1 "), std::string::npos) << line;
  EXPECT_NE(line.find(" q=10/3 mq=4294967295/1 "), std::string::npos) << line;
  EXPECT_EQ(events(),
            "quota user/joe q=10/11 mq=4294967295/3 OverQuota;quota user/joe q=10/3 mq=4294967295/1 UnderQuota;");
  // Without notification the rest goes quietly.
  ASSERT_EQ(mailbox_expunge(
                &m, EXPUNGE_NONOTIFY, 0, [](void*, const index_record*) { return 1; }, nullptr),
            0);
  mailbox_close(&m);
  all = read_text_file(events_);
  EXPECT_EQ(all.find("expunge user/joe ", at + 1), std::string::npos) << all;
  EXPECT_EQ(get("user/joe").qrused, 0u);
}

TEST_F(QuotaDb, MovingTheInboxIntoASubfolderKeepsTheUsage) {
  create("user/joe", 1000);
  size_t size = append("user/joe", 2, 3000);
  ASSERT_EQ(get("user/joe").qrused, 2 * size);
  // The messages move into user/joe/old under the same root; the emptied
  // INBOX must not take them off the usage a second time.
  ASSERT_EQ(mboxlist_renamemailbox("user/joe", "user/joe/old", nullptr, nullptr, auth_dontCheckAcl), 0);
  quotadata qd = get("user/joe");
  EXPECT_EQ(qd.qrused, 2 * size);
  EXPECT_EQ(qd.msgqrused, 2u);
  int changed = -1;
  ASSERT_EQ(mboxlist_fixquota("user/joe", &changed), 0);
  EXPECT_EQ(changed, 0);
}

TEST_F(QuotaDb, FixquotaRecomputesFromTheFolders) {
  create("user/bob", 1000);
  create("user/bob/Sent");
  create("user/bob/Sent/Old");
  create("user/bobby");  // sorts after "user/bob/..." and is not counted
  mboxdata mbd;
  ASSERT_EQ(mboxlist_lookup("user/bob/Sent", &mbd, nullptr, nullptr, nullptr, nullptr), 0);
  // Skew the quota record, then repair it.
  quotadata qd;
  ASSERT_EQ(mboxlist_changequota("user/bob", nullptr, 5000, 3, 0, &qd), 0);
  int changed = -1;
  ASSERT_EQ(mboxlist_fixquota("user/bob", &changed), 0);
  EXPECT_EQ(changed, 1);
  qd = get("user/bob");
  EXPECT_EQ(qd.qrused, 0u);  // the folders are empty
  EXPECT_EQ(qd.msgqrused, 0u);
  EXPECT_EQ(qd.numshared, 0u);
  EXPECT_EQ(qd.qmax, 1000u);  // limits stay
  ASSERT_EQ(mboxlist_fixquota("user/bob", &changed), 0);
  EXPECT_EQ(changed, 0);
  // A reconstruction stamp forces the write.
  mboxlist_fixquota_reconstructed = 12345;
  ASSERT_EQ(mboxlist_fixquota("user/bob", &changed), 0);
  mboxlist_fixquota_reconstructed = 0;
  EXPECT_EQ(changed, 1);
  EXPECT_EQ(get("user/bob").lastdbrepair, 12345u);
  // A shared folder counts.
  ASSERT_EQ(mboxlist_setacl("user/bob/Sent", "ann", "lrs", nullptr, auth_dontCheckAcl), 0);
  ASSERT_EQ(mboxlist_fixquota("user/bob", &changed), 0);
  EXPECT_EQ(get("user/bob").numshared, 1u);
  // No folder record for the root: nothing written.
  ASSERT_EQ(mboxlist_fixquota("user/zed", &changed), 0);
  EXPECT_EQ(changed, 0);
}

}  // namespace
