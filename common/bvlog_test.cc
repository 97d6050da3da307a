#include "common/bvlog.h"

#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

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

size_t count_lines(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A rotation under load: writers keep logging while the file is renamed
// and the signal arrives.  Every line lands whole in one of the two files,
// and the lines after the signal in the new one.
TEST_F(BvlogFile, RotationBySignalLosesNoLine) {
  ASSERT_EQ(bvlog_reopen_on_signal(SIGUSR1), 0);
  constexpr int kWriters = 4, kLines = 3000;
  std::atomic<int> written{0};
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w)
    writers.emplace_back([w, &written] {
      for (int i = 0; i < kLines; ++i) {
        bvlog(0, LOG_STORE_NOTICE, "writer %d line %d", w, i);
        written.fetch_add(1);
      }
    });
  // Rotate once a good part is written, while the writers are still busy.
  while (written.load() < kWriters * kLines / 3) std::this_thread::yield();
  std::string path = dir_.path() + "/log/unit.log";
  ASSERT_EQ(rename(path.c_str(), (path + ".1").c_str()), 0);
  ASSERT_EQ(raise(SIGUSR1), 0);
  bvlog(0, LOG_STORE_NOTICE, "after the signal");
  for (auto& t : writers) t.join();
  signal(SIGUSR1, SIG_DFL);

  std::string old_text = read_text_file(path + ".1");
  std::string new_text = read_text_file(path);
  EXPECT_EQ(count_lines(old_text, "] notice: writer ") + count_lines(new_text, "] notice: writer "),
            static_cast<size_t>(kWriters * kLines));
  EXPECT_GE(count_lines(old_text, "] notice: writer "), static_cast<size_t>(kWriters * kLines / 3));
  EXPECT_EQ(count_lines(new_text, "after the signal"), 1u);
  EXPECT_EQ(count_lines(old_text, "after the signal"), 0u);
  // Whole lines only: each file is a run of complete lines.
  for (const std::string* t : {&old_text, &new_text}) {
    EXPECT_EQ(count_lines(*t, "\n"), count_lines(*t, " logtest["));
    if (!t->empty()) {
      EXPECT_EQ(t->back(), '\n');
    }
  }
}

// Without a rotation a reopen appends to the same file, and bvlog_reopen
// itself (the event-loop daemons' way) follows a rename.
TEST_F(BvlogFile, ReopenAppendsAndFollowsARename) {
  bvlog(0, LOG_STORE_NOTICE, "one");
  bvlog_reopen();
  bvlog(0, LOG_STORE_NOTICE, "two");
  std::string path = dir_.path() + "/log/unit.log";
  ASSERT_EQ(rename(path.c_str(), (path + ".1").c_str()), 0);
  bvlog(0, LOG_STORE_NOTICE, "three");
  bvlog_reopen();
  bvlog(0, LOG_STORE_NOTICE, "four");
  std::string old_text = read_text_file(path + ".1");
  EXPECT_NE(old_text.find("notice: one\n"), std::string::npos) << old_text;
  EXPECT_NE(old_text.find("notice: two\n"), std::string::npos) << old_text;
  EXPECT_NE(old_text.find("notice: three\n"), std::string::npos) << old_text;
  EXPECT_EQ(count_lines(read_text_file(path), "notice: four\n"), 1u);
  EXPECT_EQ(count_lines(read_text_file(path), "logtest["), 1u);
}

TEST(BvlogConfig, UnknownTargetIsRefused) {
  ASSERT_EQ(configmsg_init_text("local.log.target = carrier-pigeon\n", "test", "t"), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(configmsg_initlog(nullptr, "t"), EINVAL);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("carrier-pigeon"), std::string::npos);
  configmsg_free();
}

}  // namespace
