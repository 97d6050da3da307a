#include "common/service.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

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

std::string service_state_file(const char* name) {
  std::string path;
  return state_path(name, path) ? path : std::string();
}

int service_running_at(const std::string& path) {
  UniqueFd fd(fs_open(path.c_str(), O_RDONLY));
  if (!fd) return errno == ENOENT ? 0 : 1;
  return lock_held_elsewhere(fd.get()) == 0 ? 0 : 1;
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

int service_hygiene() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is this one.
    int null = open("/dev/null", O_RDWR);
    if (null < 0) return errno;
    if (null != fd) {
      close(null);
      return EBADF;
    }
  }
  umask(027);
  return 0;
}

namespace {

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};

// The first entry under path (path itself included, down to depth more
// levels, symbolic links not followed) whose owner is not uid; "" if none.
std::string foreign_entry(const std::string& path, uid_t uid, int depth, uid_t* owner) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return "";  // absent: created later, by us
  if (S_ISLNK(st.st_mode)) return "";
  if (st.st_uid != uid) {
    *owner = st.st_uid;
    return path;
  }
  if (!S_ISDIR(st.st_mode) || depth == 0) return "";
  std::unique_ptr<DIR, DirCloser> dir(opendir(path.c_str()));
  if (!dir) return "";  // ours but unreadable: its use will say so
  while (struct dirent* e = readdir(dir.get())) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    std::string found = foreign_entry(path + "/" + e->d_name, uid, depth - 1, owner);
    if (!found.empty()) return found;
  }
  return "";
}

std::string user_name(uid_t uid) {
  struct passwd pw;
  struct passwd* res = nullptr;
  char buf[4096];
  if (getpwuid_r(uid, &pw, buf, sizeof buf, &res) == 0 && res) return res->pw_name;
  return "uid " + std::to_string(uid);
}

}  // namespace

int service_check_owner(FILE* err) {
  uid_t uid = geteuid();
  const char* store = configmsg_get_storedir();
  if (uid == 0 || !store) return 0;
  config_cache* cfg = config_getdefaultcache();
  struct Tree {
    std::string path;
    int depth;
  };
  std::vector<Tree> trees = {{store, 3}};
  if (const char* logdir = config_get_string(cfg, "local.logdir", nullptr); logdir && *logdir) {
    trees.push_back({logdir, 1});
  }
  if (const char* tmp = config_get_string(cfg, "store.dbtmpdir", nullptr); tmp && *tmp) trees.push_back({tmp, 2});
  for (const Tree& t : trees) {
    uid_t owner = 0;
    std::string found = foreign_entry(t.path, uid, t.depth, &owner);
    if (found.empty()) continue;
    std::string me = user_name(uid);
    std::string them = user_name(owner);
    fprintf(err, "%s belongs to %s, not to %s, the user the store runs as; give the store to %s (chown -R %s %s)\n",
            found.c_str(), them.c_str(), me.c_str(), me.c_str(), me.c_str(), t.path.c_str());
    return EACCES;
  }
  return 0;
}
