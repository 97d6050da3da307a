#include "common/fileio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "common/prot.h"
#include "common/test_util.h"
#include "common/unique_fd.h"

namespace {

// Forces every write to take at most 3 bytes: retry loops must finish the job.
int short_writes(fs_op op, const char*, size_t* count) {
  if ((op == fs_op::write || op == fs_op::writev) && *count > 3) *count = 3;
  return 0;
}
int no_space(fs_op op, const char*, size_t*) { return op == fs_op::write || op == fs_op::writev ? ENOSPC : 0; }
int failing_sync(fs_op op, const char*, size_t*) { return op == fs_op::fsync || op == fs_op::fdatasync ? EIO : 0; }

class FaultHook {
 public:
  explicit FaultHook(fs_fault_hook h) : old_(fs_set_fault_hook(h)) {}
  ~FaultHook() { fs_set_fault_hook(old_); }

 private:
  fs_fault_hook old_;
};

std::string drain(int fd) {
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

TEST(RetryWrite, PartialWritesThroughAPipeDeliverEveryByte) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  UniqueFd rd(p[0]), wr(p[1]);
  // Larger than a pipe's buffer, so the kernel itself returns short writes
  // while the reader catches up.
  std::string a(100000, 'a'), b = "middle", c(150000, 'c');
  std::string got;
  std::thread reader([&] { got = drain(rd.get()); });
  struct iovec iov[4] = {{a.data(), a.size()}, {nullptr, 0}, {b.data(), b.size()}, {c.data(), c.size()}};
  EXPECT_EQ(retry_writev(wr.get(), iov, 4), static_cast<ssize_t>(a.size() + b.size() + c.size()));
  EXPECT_EQ(iov[0].iov_len, a.size());  // the caller's vector is untouched
  wr.reset();
  reader.join();
  EXPECT_EQ(got, a + b + c);
}

TEST(RetryWrite, ForcedShortWritesAreResumedAcrossIovecBoundaries) {
  TempDir dir;
  UniqueFd fd(open((dir / "f").c_str(), O_RDWR | O_CREAT, 0600));
  FaultHook hook(short_writes);
  char x[] = "ab", y[] = "cdefg", z[] = "h";
  struct iovec iov[3] = {{x, 2}, {y, 5}, {z, 1}};
  ASSERT_EQ(retry_writev(fd.get(), iov, 3), 8);
  ASSERT_EQ(retry_write(fd.get(), "0123456789", 10), 10);
  EXPECT_EQ(read_text_file(dir / "f"), "abcdefgh0123456789");
}

TEST(RetryWrite, ErrorsAreReported) {
  TempDir dir;
  UniqueFd fd(open((dir / "f").c_str(), O_RDWR | O_CREAT, 0600));
  FaultHook hook(no_space);
  EXPECT_EQ(retry_write(fd.get(), "abc", 3), -1);
  EXPECT_EQ(errno, ENOSPC);
}

TEST(SyncFile, LevelsAndFailures) {
  TempDir dir;
  UniqueFd fd(open((dir / "f").c_str(), O_RDWR | O_CREAT, 0600));
  EXPECT_EQ(sync_file(fd.get(), 0), 0);
  EXPECT_EQ(sync_file(fd.get(), 1), 0);
  EXPECT_EQ(sync_file(fd.get(), 2), 0);
  EXPECT_EQ(sync_parent_dir((dir / "f").c_str(), 2), 0);
  FaultHook hook(failing_sync);
  EXPECT_EQ(sync_file(fd.get(), 0), 0);  // level 0 asks for nothing
  EXPECT_EQ(sync_file(fd.get(), 1), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(sync_file(fd.get(), 3), -1);
}

TEST(CopyFile, BothMethodsCopyWholeFiles) {
  TempDir dir;
  std::string data;
  for (int i = 0; i < 300000; ++i) data += static_cast<char>(i * 7);
  write_text_file(dir / "from", data);
  for (int method : {1, 0}) {
    std::string to = dir / ("to" + std::to_string(method));
    write_text_file(to, std::string(500000, 'x'));  // an older, longer target
    ASSERT_EQ(copy_file((dir / "from").c_str(), to.c_str(), method), 0);
    EXPECT_EQ(read_text_file(to), data);
  }
  EXPECT_EQ(copy_file((dir / "absent").c_str(), (dir / "t").c_str(), 1), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST(CopyFile, AFailedCopyLeavesNoPartialTarget) {
  TempDir dir;
  write_text_file(dir / "from", std::string(100000, 'q'));
  FaultHook hook(no_space);
  EXPECT_EQ(copy_file((dir / "from").c_str(), (dir / "to").c_str(), 0), -1);
  EXPECT_EQ(access((dir / "to").c_str(), F_OK), -1);
}

TEST(MakeDirs, CreatesParentsAndRefusesFiles) {
  TempDir dir;
  ASSERT_EQ(make_dirs((dir / "a/b/c").c_str(), 0755), 0);
  ASSERT_EQ(make_dirs((dir / "a/b/c").c_str(), 0755), 0);
  write_text_file(dir / "file", "x");
  EXPECT_EQ(make_dirs((dir / "file/sub").c_str(), 0755), -1);
  EXPECT_EQ(make_dirs((dir / "file").c_str(), 0755), -1);
  EXPECT_EQ(errno, ENOTDIR);
}

TEST(Prot, BuffersCountsAndKeepsTheFirstError) {
  TempDir dir;
  UniqueFd fd(open((dir / "out").c_str(), O_RDWR | O_CREAT, 0600));
  ProtPtr s(prot_file(fd.get(), 1));
  ASSERT_TRUE(s);
  std::string big(200000, 'b');
  EXPECT_EQ(prot_write(s.get(), "head:", 5), 0);
  EXPECT_EQ(prot_write(s.get(), big.data(), big.size()), 0);
  EXPECT_EQ(prot_printf(s.get(), ":%d:", 42), 0);
  EXPECT_EQ(prot_numbytes(s.get()), static_cast<long>(5 + big.size() + 4));
  EXPECT_EQ(prot_flush(s.get()), 0);
  EXPECT_EQ(prot_error(s.get()), nullptr);
  EXPECT_EQ(read_text_file(dir / "out"), "head:" + big + ":42:");

  FaultHook hook(no_space);
  EXPECT_EQ(prot_write(s.get(), "x", 1), 0);  // buffered
  EXPECT_EQ(prot_flush(s.get()), -1);
  ASSERT_NE(prot_error(s.get()), nullptr);
  EXPECT_STREQ(prot_error(s.get()), strerror(ENOSPC));
  EXPECT_EQ(prot_write(s.get(), "y", 1), -1);
}

}  // namespace
