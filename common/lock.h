// Advisory whole-file locks.
//
// All locks are exclusive write locks on the whole file, taken with
// open-file-description locks (F_OFD_SETLK / F_OFD_SETLKW).  Unlike classic
// fcntl locks they belong to the open file description, not the process:
// two threads with their own descriptors exclude each other, and closing an
// unrelated descriptor of the same file does not drop the lock.  A lock ends
// with lock_unlock or when the last descriptor sharing the description is
// closed.
//
// Lock order in the store: index lock, then the per-user (seen) lock, then
// the expunge log.  Never wait for a file lock while holding a Berkeley DB
// transaction open unless the caller documents why it cannot deadlock.
//
// Failures return -1 with errno set; nothing is logged here.
#pragma once

#include <sys/stat.h>

// Waits until the lock is held (retrying EINTR).  0 or -1.
int lock_blocking(int fd);
// Takes the lock if it is free.  0, or -1 with errno EWOULDBLOCK when another
// description holds it.
int lock_nonblocking(int fd);
// Releases the lock.  0 or -1.
int lock_unlock(int fd);
// Whether another open file description holds a lock on the file, asked
// without taking one (taking it, even for a moment, could make its rightful
// owner fail to lock).  1 or 0; -1 with errno.
int lock_held_elsewhere(int fd);
// Waits for a shared (exclusive 0) or exclusive lock on the single byte at
// offset, which need not exist in the file.  Byte locks of one description
// end together when it is closed.  0 or -1.
int lock_byte_blocking(int fd, off_t offset, int exclusive);
// The same without waiting: -1 with errno EAGAIN or EACCES while another
// description holds a conflicting lock.
int lock_byte_nonblocking(int fd, off_t offset, int exclusive);

// Locks fd, which was opened on path, and follows a replacement: when the
// file path names is no longer the one locked (renamed over while waiting),
// the descriptor is closed, path re-opened read-write and locked again.
// Returns the descriptor to use from then on (fd or a new one), locked, with
// *sbuf describing it; -1 on failure with *failaction naming the step
// ("locking", "stating", "opening") and fd closed.
int lock_reopen(int fd, const char* path, struct stat* sbuf, const char** failaction);

// The same locks for files that belong to the store itself (session lock
// files); kept apart so their callers read as the store's own.
inline int lock_nonblocking_fs(int fd) { return lock_nonblocking(fd); }
inline int lock_unlock_fs(int fd) { return lock_unlock(fd); }

// A flock(2) lock, for lock files whose format fixes that kind (the
// snapshot writers' lock, which tools outside the store may also take).
// Like the locks above it belongs to the open file description and ends
// when the kernel closes it, also after a kill.  Taken without waiting:
// 0, or -1 with errno EWOULDBLOCK while another description holds it.
int lock_flock_nonblocking(int fd);
int lock_flock_unlock(int fd);

// Holds a lock on fd for a scope.  The descriptor is borrowed.
class LockGuard {
 public:
  LockGuard() = default;
  // Takes the lock, waiting; ok() tells whether it is held.
  explicit LockGuard(int fd) : fd_(lock_blocking(fd) == 0 ? fd : -1) {}
  // Adopts a lock already held on fd.
  static LockGuard adopt(int fd) {
    LockGuard g;
    g.fd_ = fd;
    return g;
  }
  LockGuard(LockGuard&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  LockGuard& operator=(LockGuard&& o) noexcept {
    if (this != &o) {
      unlock();
      fd_ = o.fd_;
      o.fd_ = -1;
    }
    return *this;
  }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;
  ~LockGuard() { unlock(); }

  bool ok() const { return fd_ >= 0; }
  void unlock() {
    if (fd_ >= 0) lock_unlock(fd_);
    fd_ = -1;
  }
  // Stops owning the lock without releasing it.
  void release() { fd_ = -1; }

 private:
  int fd_ = -1;
};
