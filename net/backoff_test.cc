// Back-off and log rate limiting.
#include "net/backoff.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(Backoff, AcceptDelaysDoubleUpToOneSecond) {
  Backoff b(10, 1000);
  std::vector<int64_t> got;
  for (int i = 0; i < 10; ++i) got.push_back(b.failed());
  EXPECT_EQ(got, (std::vector<int64_t>{10, 20, 40, 80, 160, 320, 640, 1000, 1000, 1000}));
  EXPECT_TRUE(b.backing_off());
  b.succeeded();
  EXPECT_FALSE(b.backing_off());
  EXPECT_EQ(b.failed(), 10);
}

TEST(Backoff, RestartDelays) {
  Backoff b(1000, 60000);
  std::vector<int64_t> got;
  for (int i = 0; i < 8; ++i) got.push_back(b.failed());
  EXPECT_EQ(got, (std::vector<int64_t>{1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000}));
}

TEST(LogLimiter, OneLinePerIntervalWithTheCountHeldBack) {
  LogLimiter l(1000);
  uint64_t held = 99;
  EXPECT_TRUE(l.allow(5000, &held));
  EXPECT_EQ(held, 0u);
  // A spinning failure: thousands of attempts inside one second.
  for (int i = 0; i < 5000; ++i) EXPECT_FALSE(l.allow(5000 + i % 1000, &held));
  EXPECT_TRUE(l.allow(6000, &held));
  EXPECT_EQ(held, 5000u);
  EXPECT_FALSE(l.allow(6999, &held));
  EXPECT_TRUE(l.allow(7000, &held));
  EXPECT_EQ(held, 1u);
}

}  // namespace
