#include "net/listen.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

#include "common/test_util.h"
#include "common/unique_fd.h"

namespace {

bool can_connect(const std::string& path) {
  sockaddr_un sun{};
  sun.sun_family = AF_UNIX;
  strncpy(sun.sun_path, path.c_str(), sizeof sun.sun_path - 1);
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  return connect(fd.get(), reinterpret_cast<sockaddr*>(&sun), sizeof sun) == 0;
}

// The socket file of a server that died is taken over; the socket of a live
// server, or a file that is no socket, never is.
TEST(ListenUnix, StaleSocketReplacedLiveOneKept) {
  TempDir dir;
  const std::string path = dir / "lmtp";
  {
    UniqueFd dead(listen_open_unix(path, 0660));
    ASSERT_TRUE(dead) << strerror(errno);
    ASSERT_TRUE(listen_start(dead.get()));
  }  // closed: the file stays, nobody accepts
  struct stat st;
  ASSERT_EQ(lstat(path.c_str(), &st), 0);

  UniqueFd live(listen_open_unix(path, 0660));
  ASSERT_TRUE(live) << strerror(errno);
  ASSERT_TRUE(listen_start(live.get()));
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  EXPECT_TRUE(can_connect(path));

  errno = 0;
  EXPECT_EQ(listen_open_unix(path, 0660), -1);
  EXPECT_EQ(errno, EADDRINUSE);
  EXPECT_TRUE(can_connect(path));  // still the first server's

  const std::string plain = dir / "file";
  write_text_file(plain, "x");
  errno = 0;
  EXPECT_EQ(listen_open_unix(plain, 0660), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(read_text_file(plain), "x");
}

TEST(ListenUnix, PathTooLong) {
  errno = 0;
  EXPECT_EQ(listen_open_unix("/tmp/" + std::string(200, 'a'), 0660), -1);
  EXPECT_EQ(errno, ENAMETOOLONG);
}

}  // namespace
