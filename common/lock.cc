#include "common/lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/fileio.h"

namespace {

int ofd_lock(int fd, int cmd, short type, off_t start = 0, off_t len = 0) {
  struct flock fl = {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = len;  // 0: the whole file, however it grows
  fl.l_pid = 0;  // must be 0 for open-file-description locks
  for (;;) {
    if (fcntl(fd, cmd, &fl) == 0) return 0;
    if (errno == EINTR) continue;
    if (errno == EACCES) errno = EWOULDBLOCK;
    return -1;
  }
}

}  // namespace

int lock_blocking(int fd) { return ofd_lock(fd, F_OFD_SETLKW, F_WRLCK); }
int lock_nonblocking(int fd) { return ofd_lock(fd, F_OFD_SETLK, F_WRLCK); }
int lock_unlock(int fd) { return ofd_lock(fd, F_OFD_SETLK, F_UNLCK); }
int lock_held_elsewhere(int fd) {
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  if (fcntl(fd, F_OFD_GETLK, &fl) != 0) return -1;
  return fl.l_type == F_UNLCK ? 0 : 1;
}
int lock_flock_nonblocking(int fd) {
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
    if (errno != EINTR) return -1;
  }
}
int lock_flock_unlock(int fd) { return flock(fd, LOCK_UN); }
int lock_byte_blocking(int fd, off_t offset, int exclusive) {
  return ofd_lock(fd, F_OFD_SETLKW, exclusive ? F_WRLCK : F_RDLCK, offset, 1);
}

int lock_byte_nonblocking(int fd, off_t offset, int exclusive) {
  return ofd_lock(fd, F_OFD_SETLK, exclusive ? F_WRLCK : F_RDLCK, offset, 1);
}

int lock_reopen(int fd, const char* path, struct stat* sbuf, const char** failaction) {
  // A writer replaces a locked file by renaming a new one over it while
  // holding the lock; whoever waited on the old file then holds a lock on a
  // file nobody reaches by name any more, so compare inodes and follow.
  // Each round means another writer completed a replacement, so the loop
  // ends unless replacements never stop; give up after a generous bound.
  for (int round = 0; round < 1000; ++round) {
    if (lock_blocking(fd) != 0) {
      *failaction = "locking";
      int e = errno;
      close(fd);
      errno = e;
      return -1;
    }
    struct stat byname;
    if (fstat(fd, sbuf) != 0 || stat(path, &byname) != 0) {
      *failaction = "stating";  // ENOENT: removed while we waited
      int e = errno;
      close(fd);
      errno = e;
      return -1;
    }
    if (sbuf->st_ino == byname.st_ino && sbuf->st_dev == byname.st_dev) return fd;
    close(fd);
    fd = fs_open(path, O_RDWR);
    if (fd < 0) {
      *failaction = "opening";
      return -1;
    }
  }
  *failaction = "locking";
  close(fd);
  errno = EAGAIN;
  return -1;
}
