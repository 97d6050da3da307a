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
