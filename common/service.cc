#include "common/service.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/config.h"
#include "common/fileio.h"
#include "common/lock.h"
#include "common/unique_fd.h"

namespace {

bool state_path(const char* name, std::string& path) {
  const char* dir = configmsg_get_storedir();
  if (!dir || !name || !*name || strchr(name, '/')) return false;
  path = std::string(dir) + "/session/" + name + ".state";
  return true;
}

// "<state> <pid>\n": the pid tells admins whom to signal.
int write_state(int fd, const char* state) {
  char text[64];
  int n = snprintf(text, sizeof text, "%s %ld\n", state, static_cast<long>(getpid()));
  if (fs_ftruncate(fd, 0) != 0) return -1;
  if (pwrite(fd, text, n, 0) != n) return -1;
  return 0;
}

}  // namespace

int store_session_ready_test(const char* name) {
  std::string path;
  if (!state_path(name, path)) return 0;
  UniqueFd fd(fs_open(path.c_str(), O_RDWR));
  if (!fd) return 0;
  char buf[16] = {0};
  ssize_t n = pread(fd.get(), buf, sizeof buf - 1, 0);
  if (n < 5 || strncmp(buf, "ready", 5) != 0) return 0;
  // Taking the lock means nobody holds it: the daemon is gone.
  if (lock_nonblocking(fd.get()) == 0) {
    lock_unlock(fd.get());
    return 0;
  }
  return errno == EWOULDBLOCK ? 1 : 0;
}

int service_announce(const char* name) {
  std::string path;
  if (!state_path(name, path)) {
    errno = EINVAL;
    return -1;
  }
  std::string dir = path.substr(0, path.rfind('/'));
  if (make_dirs(dir.c_str(), 0700) != 0) return -1;
  UniqueFd fd(fs_open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW, 0600));
  if (!fd) return -1;
  if (lock_nonblocking(fd.get()) != 0) return -1;
  if (write_state(fd.get(), "starting") != 0) return -1;
  return fd.release();
}

long service_pid(const char* name) {
  std::string path;
  if (!state_path(name, path)) return 0;
  UniqueFd fd(fs_open(path.c_str(), O_RDONLY));
  if (!fd) return 0;
  char buf[64] = {0};
  if (pread(fd.get(), buf, sizeof buf - 1, 0) <= 0) return 0;
  const char* sp = strchr(buf, ' ');
  return sp ? strtol(sp + 1, nullptr, 10) : 0;
}

int service_set_ready(int fd) { return write_state(fd, "ready"); }
int service_set_recovering(int fd) { return write_state(fd, "recovering"); }

void service_withdraw(const char* name, int fd) {
  std::string path;
  // Unlink while still holding the lock so no reader sees "ready" unlocked.
  if (state_path(name, path)) fs_unlink(path.c_str());
  if (fd >= 0) close(fd);
}
