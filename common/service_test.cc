#include "common/service.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/config.h"
#include "common/test_util.h"

namespace {

// The check runs in a child that gives up root for an unprivileged uid, as
// the store daemon does after switching to its server user.
TEST(ServiceCheckOwner, NamesTheFirstFileOfAnotherOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to own files apart from the checking user";
  constexpr uid_t kUser = 65534;
  TempDir dir;
  std::string store = dir.path() + "/store";
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(mkdir(store.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((store + "/session").c_str(), 0700), 0);
  write_text_file(store + "/session/stored.state", "ready 1\n");  // left by a run as root
  ASSERT_EQ(chown(store.c_str(), kUser, kUser), 0);
  ASSERT_EQ(chown((store + "/session").c_str(), kUser, kUser), 0);

  auto check_as_user = [&](std::string* err) {
    std::string out = dir.path() + "/err";
    pid_t pid = fork();
    if (pid == 0) {
      FILE* f = fopen(out.c_str(), "w");
      if (!f || setgid(kUser) != 0 || setuid(kUser) != 0) _exit(90);
      if (configmsg_init_text("local.store.dir = " + store + "\n", "test", "t") != 0) _exit(91);
      int r = service_check_owner(f);
      fclose(f);
      _exit(r == EACCES ? 1 : r == 0 ? 0 : 92);
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    *err = read_text_file(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  std::string err;
  EXPECT_EQ(check_as_user(&err), 1);
  EXPECT_NE(err.find(store + "/session/stored.state belongs to root, not to "), std::string::npos) << err;
  ASSERT_EQ(chown((store + "/session/stored.state").c_str(), kUser, kUser), 0);
  EXPECT_EQ(check_as_user(&err), 0) << err;
  EXPECT_EQ(err, "");
}

}  // namespace
