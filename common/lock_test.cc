#include "common/lock.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "common/test_util.h"
#include "common/unique_fd.h"

namespace {

int open_rw(const std::string& path) { return open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600); }

TEST(Lock, ExcludesAnotherProcessUntilReleased) {
  TempDir dir;
  std::string path = dir / "lockfile";
  UniqueFd fd(open_rw(path));
  ASSERT_TRUE(fd);
  ASSERT_EQ(lock_blocking(fd.get()), 0);

  int pipefd[2];
  ASSERT_EQ(pipe(pipefd), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int cfd = open_rw(path);
    int busy = lock_nonblocking(cfd) == -1 && errno == EWOULDBLOCK;
    char c = busy ? 'b' : 'f';
    (void)!write(pipefd[1], &c, 1);
    // Then wait for the parent's release.
    int got = lock_blocking(cfd) == 0;
    _exit(got ? 0 : 1);
  }
  close(pipefd[1]);
  char c = 0;
  ASSERT_EQ(read(pipefd[0], &c, 1), 1);
  close(pipefd[0]);
  EXPECT_EQ(c, 'b') << "the child took a lock the parent holds";
  ASSERT_EQ(lock_unlock(fd.get()), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(Lock, ThreadsWithTheirOwnDescriptorsExcludeEachOther) {
  TempDir dir;
  std::string path = dir / "lockfile";
  UniqueFd a(open_rw(path)), b(open_rw(path));
  ASSERT_EQ(lock_blocking(a.get()), 0);
  std::atomic<bool> got{false};
  std::thread t([&] {
    ASSERT_EQ(lock_blocking(b.get()), 0);
    got = true;
    lock_unlock(b.get());
  });
  // The other thread must still be waiting; a process-owned lock would have
  // let it through at once.
  EXPECT_EQ(lock_nonblocking(b.get()), -1);
  EXPECT_FALSE(got.load());
  ASSERT_EQ(lock_unlock(a.get()), 0);
  t.join();
  EXPECT_TRUE(got.load());
}

TEST(Lock, ClosingAnotherDescriptorKeepsTheLock) {
  TempDir dir;
  std::string path = dir / "lockfile";
  UniqueFd a(open_rw(path));
  ASSERT_EQ(lock_blocking(a.get()), 0);
  { UniqueFd other(open_rw(path)); }  // opened and closed by the same process
  UniqueFd b(open_rw(path));
  EXPECT_EQ(lock_nonblocking(b.get()), -1);
  EXPECT_EQ(errno, EWOULDBLOCK);
}

TEST(Lock, ReopenFollowsAFileReplacedWhileWaiting) {
  TempDir dir;
  std::string path = dir / "store.exp";
  UniqueFd holder(open_rw(path));
  ASSERT_EQ(lock_blocking(holder.get()), 0);

  int waiter_fd = open_rw(path);
  std::atomic<int> result_fd{-2};
  struct stat st;
  const char* failaction = nullptr;
  std::thread t([&] { result_fd = lock_reopen(waiter_fd, path.c_str(), &st, &failaction); });

  // Replace the file the way writers do (new file renamed over the old one,
  // lock on the new one taken before the rename), then release the old one.
  std::string tmp = dir / "store.exp.new";
  UniqueFd repl(open_rw(tmp));
  ASSERT_EQ(write(repl.get(), "EXPVER01", 8), 8);
  ASSERT_EQ(lock_blocking(repl.get()), 0);
  ASSERT_EQ(rename(tmp.c_str(), path.c_str()), 0);
  ASSERT_EQ(lock_unlock(holder.get()), 0);
  EXPECT_EQ(result_fd.load(), -2);  // still waits: the new file is locked
  ASSERT_EQ(lock_unlock(repl.get()), 0);
  t.join();
  ASSERT_GE(result_fd.load(), 0) << failaction;
  struct stat byname;
  ASSERT_EQ(stat(path.c_str(), &byname), 0);
  EXPECT_EQ(st.st_ino, byname.st_ino);
  EXPECT_EQ(st.st_size, 8);
  // The returned descriptor holds the lock on the new file.
  UniqueFd probe(open_rw(path));
  EXPECT_EQ(lock_nonblocking(probe.get()), -1);
  close(result_fd);
}

TEST(Lock, ReopenReportsARemovedFile) {
  TempDir dir;
  std::string path = dir / "gone";
  int fd = open_rw(path);
  ASSERT_EQ(unlink(path.c_str()), 0);
  struct stat st;
  const char* failaction = nullptr;
  EXPECT_EQ(lock_reopen(fd, path.c_str(), &st, &failaction), -1);
  EXPECT_STREQ(failaction, "stating");
}

TEST(Lock, GuardReleasesOnScopeExit) {
  TempDir dir;
  std::string path = dir / "lockfile";
  UniqueFd a(open_rw(path)), b(open_rw(path));
  {
    LockGuard g(a.get());
    ASSERT_TRUE(g.ok());
    EXPECT_EQ(lock_nonblocking(b.get()), -1);
  }
  EXPECT_EQ(lock_nonblocking(b.get()), 0);
}

}  // namespace
