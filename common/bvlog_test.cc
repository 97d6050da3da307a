#include "common/bvlog.h"

#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "common/config.h"
#include "common/test_util.h"

namespace {

TEST(Bvlog, PriorityEncoding) {
  EXPECT_EQ(bvlog_priority(7, LOG_SEV_ERR), 59);
  EXPECT_EQ(bvlog_priority(7, LOG_SEV_DEBUG), 63);
  EXPECT_EQ(bvlog_priority(4, LOG_SEV_NOTICE), 37);
  EXPECT_EQ(bvlog_category(58), 7);
  EXPECT_EQ(bvlog_severity(58), 2);
  EXPECT_EQ(bvlog_severity(46), 6);
  EXPECT_EQ(bvlog_category(20), 2);
  EXPECT_EQ(bvlog_severity(20), 4);
}

class BvlogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string conf = "local.store.dir = " + dir_.path() + "\nlocal.log.level = 6\n";
    ASSERT_EQ(configmsg_init_text(conf, "test", "logtest"), 0);
    ASSERT_EQ(configmsg_initlog("unit", "/bin/logtest"), 0);
  }
  void TearDown() override {
    configmsg_free();
    bvlog_to_stderr(LOG_SEV_DEBUG);
  }
  std::string log() { return read_text_file(dir_.path() + "/log/unit.log"); }
  TempDir dir_;
};

TEST_F(BvlogFile, LinesCarryProgramPidSeverityAndErrnoText) {
  errno = ENOSPC;
  bvlog(0, LOG_STORE_WRITEFAIL, "Unable to write %s: %m", "store.idx");
  EXPECT_EQ(errno, ENOSPC);  // logging leaves errno alone
  bvlog(0, LOG_STORE_ERR, "100%% sure, %%m stays");
  std::string text = log();
  std::string pid = "logtest[" + std::to_string(getpid()) + "] ";
  EXPECT_NE(text.find(pid + "crit: Unable to write store.idx: " + strerror(ENOSPC) + "\n"), std::string::npos) << text;
  EXPECT_NE(text.find("error: 100% sure, %m stays\n"), std::string::npos) << text;
}

TEST_F(BvlogFile, DebugLinesBelowTheLevelAreDropped) {
  bvlog(0, LOG_STORE_DEBUG, "trace line");
  bvlog(0, LOG_STORE_STARTUP, "startup line");
  std::string text = log();
  EXPECT_EQ(text.find("trace line"), std::string::npos);
  EXPECT_NE(text.find("info: startup line"), std::string::npos);
}

TEST_F(BvlogFile, OneLinePerCallEvenWithLineBreaksInData) {
  bvlog(0, LOG_STORE_ERR, "user %s failed", "evil\nforged: line");
  std::string text = log();
  EXPECT_NE(text.find("user evil forged: line failed\n"), std::string::npos) << text;
  std::string big(10000, 'x');
  bvlog(0, LOG_STORE_ERR, "%s", big.c_str());
  text = log();
  EXPECT_EQ(text.back(), '\n');
}

TEST(BvlogConfig, UnknownTargetIsRefused) {
  ASSERT_EQ(configmsg_init_text("local.log.target = carrier-pigeon\n", "test", "t"), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(configmsg_initlog(nullptr, "t"), EINVAL);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("carrier-pigeon"), std::string::npos);
  configmsg_free();
}

}  // namespace
