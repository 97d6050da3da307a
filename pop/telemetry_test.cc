#include "pop/telemetry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>

#include "common/fileio.h"
#include "common/test_util.h"

namespace {

// 2023-11-14 22:13:20 UTC.
constexpr time_t kLogin = 1700000000;

class UtcZone : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = getenv("TZ");
    saved_ = tz ? std::optional<std::string>(tz) : std::nullopt;
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  std::optional<std::string> saved_;
};

mode_t file_mode(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(TelemetryCreate, TakesTheFirstFreeNameOfTheSecond) {
  TempDir dir;
  mode_t old = umask(0);  // the file is private whatever the umask
  std::string p1, p2, p3;
  UniqueFd a = telemetry_create(dir.path(), kLogin, &p1);
  UniqueFd b = telemetry_create(dir.path(), kLogin, &p2);
  UniqueFd c = telemetry_create(dir.path(), kLogin + 1, &p3);
  umask(old);
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(p1, dir / "1700000000");
  EXPECT_EQ(p2, dir / "1700000000.1");
  EXPECT_EQ(p3, dir / "1700000001");
  EXPECT_EQ(file_mode(p1), 0600u);
  EXPECT_EQ(file_mode(p2), 0600u);

  // A planted link is a taken name: its target is never opened.
  write_text_file(dir / "target", "keep");
  ASSERT_EQ(symlink((dir / "target").c_str(), (dir / "1700000000.2").c_str()), 0);
  std::string p4;
  UniqueFd d = telemetry_create(dir.path(), kLogin, &p4);
  ASSERT_TRUE(d);
  EXPECT_EQ(p4, dir / "1700000000.3");
  EXPECT_EQ(read_text_file(dir / "target"), "keep");
}

TEST(TelemetryCreate, FailsCleanlyWithoutDirectoryOrFreeName) {
  TempDir dir;
  errno = 0;
  EXPECT_FALSE(telemetry_create(dir / "missing", kLogin, nullptr));
  EXPECT_EQ(errno, ENOENT);

  // Every name of the second taken: the search ends instead of looping.
  write_text_file(dir / "1700000000", "");
  for (unsigned n = 1; n < kTelemetryMaxTries; ++n) write_text_file(dir / ("1700000000." + std::to_string(n)), "");
  errno = 0;
  EXPECT_FALSE(telemetry_create(dir.path(), kLogin, nullptr));
  EXPECT_EQ(errno, EEXIST);
  EXPECT_TRUE(telemetry_create(dir.path(), kLogin + 1, nullptr));
}

using TelemetryFileTest = UtcZone;

TEST_F(TelemetryFileTest, RecordsLoginTrafficAndLogout) {
  TempDir inst;
  const std::string dir = inst / "data/telemetry/pop/joe";
  ASSERT_EQ(make_dirs(dir.c_str(), 0700), 0);
  TelemetryFile t;
  ASSERT_TRUE(t.open(inst.path(), "joe", kLogin));
  t.record("STAT\r\n");
  t.record("+OK 0 0\r\n");
  t.logout(kLogin + 3600 + 62);
  EXPECT_FALSE(t.active());
  EXPECT_EQ(read_text_file(dir + "/1700000000"),
            "LOGIN joe 2023/11/14 22:13:20\n"
            "STAT\r\n+OK 0 0\r\n"
            "LOGOUT joe 2023/11/14 22:13:20 - 2023/11/14 23:14:22\n");
  EXPECT_EQ(file_mode(dir + "/1700000000"), 0600u);
}

TEST_F(TelemetryFileTest, NoFileOutsideTheUsersDirectory) {
  TempDir inst;
  ASSERT_EQ(make_dirs((inst / "data/telemetry/pop").c_str(), 0700), 0);
  TelemetryFile t;
  EXPECT_FALSE(t.open(inst.path(), "ann", kLogin));  // no directory for ann
  EXPECT_FALSE(t.open(inst.path(), "..", kLogin));   // would be data/telemetry
  EXPECT_FALSE(t.open(inst.path(), "", kLogin));     // would be the pop directory
  ASSERT_EQ(make_dirs((inst / "data/telemetry/pop/ann/x").c_str(), 0700), 0);
  EXPECT_FALSE(t.open(inst.path(), "ann/x", kLogin));
  EXPECT_FALSE(t.open("", "ann", kLogin));  // no instance directory configured
  EXPECT_FALSE(t.active());
  EXPECT_FALSE(access((inst / "data/telemetry/1700000000").c_str(), F_OK) == 0);
  EXPECT_FALSE(access((inst / "data/telemetry/pop/1700000000").c_str(), F_OK) == 0);
  EXPECT_FALSE(access((inst / "data/telemetry/pop/ann/x/1700000000").c_str(), F_OK) == 0);
}

int fail_writes(fs_op op, const char*, size_t*) { return op == fs_op::write ? ENOSPC : 0; }

TEST_F(TelemetryFileTest, AFullDiskEndsTelemetryNotTheCaller) {
  TempDir inst;
  const std::string dir = inst / "data/telemetry/pop/joe";
  ASSERT_EQ(make_dirs(dir.c_str(), 0700), 0);
  TelemetryFile t;
  ASSERT_TRUE(t.open(inst.path(), "joe", kLogin));
  t.record("NOOP\r\n");
  fs_fault_hook old = fs_set_fault_hook(fail_writes);
  t.record("+OK\r\n");
  fs_set_fault_hook(old);
  EXPECT_FALSE(t.active());
  t.record("later\r\n");  // nothing more, and no failure
  t.logout(kLogin + 1);
  EXPECT_EQ(read_text_file(dir + "/1700000000"), "LOGIN joe 2023/11/14 22:13:20\nNOOP\r\n");
}

}  // namespace
