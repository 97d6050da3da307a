#include "common/signals.h"

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

TEST(Signals, RecordedInsteadOfActedUpon) {
  ASSERT_EQ(set_signal_handler(SIGTERM, nullptr), 0);
  EXPECT_EQ(check_signal_handler(SIGTERM), 0);
  ASSERT_EQ(raise(SIGTERM), 0);  // would end the test program without the handler
  EXPECT_NE(check_signal_handler(SIGTERM), 0);
  EXPECT_EQ(check_signal_handler(SIGINT), 0);
  unset_signal_handler(SIGTERM);
  EXPECT_EQ(check_signal_handler(SIGTERM), 0);
  EXPECT_EQ(set_signal_handler(0, nullptr), -1);
  EXPECT_EQ(set_signal_handler(SIGKILL, nullptr), -1);
}

TEST(Signals, TextIsPrintedWhenTheSignalArrives) {
  testing::internal::CaptureStderr();
  ASSERT_EQ(set_signal_handler(SIGINT, "interrupt noted\n"), 0);
  ASSERT_EQ(raise(SIGINT), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "interrupt noted\n");
  unset_signal_handler(SIGINT);
}

}  // namespace
