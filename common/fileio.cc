#include "common/fileio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "common/unique_fd.h"

namespace {

std::atomic<fs_fault_hook> g_hook{nullptr};

// Runs the hook; true when the operation may go ahead.
bool allowed(fs_op op, const char* path, size_t* count = nullptr) {
  fs_fault_hook h = g_hook.load(std::memory_order_relaxed);
  if (!h) return true;
  size_t dummy = 0;
  int e = h(op, path, count ? count : &dummy);
  if (e == 0) return true;
  errno = e;
  return false;
}

}  // namespace

fs_fault_hook fs_set_fault_hook(fs_fault_hook hook) { return g_hook.exchange(hook); }

int fs_open(const char* path, int flags, mode_t mode) {
  if (!allowed(fs_op::open, path)) return -1;
  return open(path, flags | O_CLOEXEC, mode);
}

ssize_t fs_write(int fd, const void* buf, size_t n) {
  if (!allowed(fs_op::write, nullptr, &n)) return -1;
  return write(fd, buf, n);
}

ssize_t fs_writev(int fd, const struct iovec* iov, int iovcnt) {
  size_t total = 0;
  for (int i = 0; i < iovcnt; ++i) total += iov[i].iov_len;
  size_t n = total;
  if (!allowed(fs_op::writev, nullptr, &n)) return -1;
  if (n >= total) return writev(fd, iov, iovcnt);
  // A forced short write: write only the first n bytes.
  struct iovec cut[64];
  int k = 0;
  for (int i = 0; i < iovcnt && k < 64 && n > 0; ++i) {
    size_t len = iov[i].iov_len < n ? iov[i].iov_len : n;
    cut[k++] = {iov[i].iov_base, len};
    n -= len;
  }
  return writev(fd, cut, k);
}

ssize_t fs_pwrite(int fd, const void* buf, size_t n, off_t offset) {
  if (!allowed(fs_op::pwrite, nullptr, &n)) return -1;
  return pwrite(fd, buf, n, offset);
}

int fs_fsync(int fd) { return allowed(fs_op::fsync, nullptr) ? fsync(fd) : -1; }
int fs_fdatasync(int fd) { return allowed(fs_op::fdatasync, nullptr) ? fdatasync(fd) : -1; }
int fs_rename(const char* from, const char* to) { return allowed(fs_op::rename, from) ? rename(from, to) : -1; }
int fs_unlink(const char* path) { return allowed(fs_op::unlink, path) ? unlink(path) : -1; }
int fs_link(const char* from, const char* to) { return allowed(fs_op::link, from) ? link(from, to) : -1; }
int fs_ftruncate(int fd, off_t length) { return allowed(fs_op::ftruncate, nullptr) ? ftruncate(fd, length) : -1; }
int fs_mkdir(const char* path, mode_t mode) { return allowed(fs_op::mkdir, path) ? mkdir(path, mode) : -1; }
int fs_syncfs(int fd) { return allowed(fs_op::syncfs, nullptr) ? syncfs(fd) : -1; }

ssize_t retry_write(int fd, const void* buf, size_t n) {
  const char* p = static_cast<const char*>(buf);
  size_t done = 0;
  while (done < n) {
    ssize_t w = fs_write(fd, p + done, n - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (w == 0) {
      errno = EIO;
      return -1;
    }
    done += static_cast<size_t>(w);
  }
  return static_cast<ssize_t>(n);
}

ssize_t retry_writev(int fd, const struct iovec* iov, int iovcnt) {
  size_t total = 0;
  for (int i = 0; i < iovcnt; ++i) total += iov[i].iov_len;
  // Work on a copy so the caller's vector stays as it was.
  constexpr int kMax = 64;
  struct iovec local[kMax];
  size_t done = 0;
  while (done < total) {
    int cnt = 0;
    size_t skip = done;
    int i = 0;
    // Find the first unwritten byte.
    for (; i < iovcnt && skip >= iov[i].iov_len; ++i) skip -= iov[i].iov_len;
    for (; i < iovcnt && cnt < kMax; ++i) {
      local[cnt].iov_base = static_cast<char*>(iov[i].iov_base) + skip;
      local[cnt].iov_len = iov[i].iov_len - skip;
      skip = 0;
      if (local[cnt].iov_len) ++cnt;
    }
    ssize_t w = fs_writev(fd, local, cnt);
    if (w < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (w == 0) {
      errno = EIO;
      return -1;
    }
    done += static_cast<size_t>(w);
  }
  return static_cast<ssize_t>(total);
}

int sync_file(int fd, int level) {
  if (level <= 0) return 0;
  return level == 1 ? fs_fdatasync(fd) : fs_fsync(fd);
}

int sync_parent_dir(const char* path, int level) {
  if (level < 2) return 0;
  std::string dir(path);
  size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
  return sync_dir(dir.c_str());
}

int sync_dir(const char* dir) {
  UniqueFd fd(fs_open(dir, O_RDONLY | O_DIRECTORY));
  if (!fd) return -1;
  return fs_fsync(fd.get());
}

int copy_file(const char* from, const char* to, int method) {
  UniqueFd in(fs_open(from, O_RDONLY));
  if (!in) return -1;
  UniqueFd out(fs_open(to, O_WRONLY | O_CREAT | O_TRUNC, 0666));
  if (!out) return -1;
  auto fail = [&] {
    int e = errno;
    out.reset();
    unlink(to);
    errno = e;
    return -1;
  };
  if (method == 1) {
    for (;;) {
      ssize_t n = copy_file_range(in.get(), nullptr, out.get(), nullptr, 1 << 30, 0);
      if (n < 0) {
        if (errno == EINTR) continue;
        return fail();
      }
      if (n == 0) break;
    }
  } else {
    char buf[65536];
    for (;;) {
      ssize_t n = read(in.get(), buf, sizeof buf);
      if (n < 0) {
        if (errno == EINTR) continue;
        return fail();
      }
      if (n == 0) break;
      if (retry_write(out.get(), buf, static_cast<size_t>(n)) < 0) return fail();
    }
  }
  if (close(out.release()) != 0) {
    int e = errno;
    unlink(to);
    errno = e;
    return -1;
  }
  return 0;
}

int make_dirs(const char* path, mode_t mode) {
  std::string p(path);
  if (p.empty()) {
    errno = ENOENT;
    return -1;
  }
  for (size_t pos = 1; pos <= p.size(); ++pos) {
    if (pos != p.size() && p[pos] != '/') continue;
    std::string part = p.substr(0, pos);
    if (fs_mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return -1;
  }
  struct stat st;
  if (stat(path, &st) != 0) return -1;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return -1;
  }
  return 0;
}
