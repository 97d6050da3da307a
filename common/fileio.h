// Writing and syncing files, and the file-system seam.
//
// The store reaches the file system for writes, syncs, renames, links and
// removals only through the fs_* calls below.  They behave exactly like the
// system calls of the same name; tests install a fault hook
// (fs_set_fault_hook) that can make any of them fail with a chosen errno or
// make a write short, which is how ENOSPC, EIO, short writes and failed
// syncs are injected without test code in the store.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

enum class fs_op { open, write, writev, pwrite, fsync, fdatasync, rename, unlink, link, ftruncate, mkdir, syncfs };

// Called before each fs_* operation.  Return 0 to let it run, or an errno
// value to fail it without running.  For the write operations *count is the
// number of bytes about to be written and may be lowered to force a short
// write.  path is the (first) path of path operations, else null.
using fs_fault_hook = int (*)(fs_op op, const char* path, size_t* count);
// Installs hook (null removes it); returns the previous one.  Not
// thread-safe against running fs_* calls: install before the work starts.
fs_fault_hook fs_set_fault_hook(fs_fault_hook hook);

// All opens add O_CLOEXEC.
int fs_open(const char* path, int flags, mode_t mode = 0);
ssize_t fs_write(int fd, const void* buf, size_t n);
ssize_t fs_writev(int fd, const struct iovec* iov, int iovcnt);
ssize_t fs_pwrite(int fd, const void* buf, size_t n, off_t offset);
int fs_fsync(int fd);
int fs_fdatasync(int fd);
int fs_rename(const char* from, const char* to);
int fs_unlink(const char* path);
int fs_link(const char* from, const char* to);
int fs_ftruncate(int fd, off_t length);
int fs_mkdir(const char* path, mode_t mode);
// Flushes the whole file system that holds fd (data, inodes, directories).
int fs_syncfs(int fd);

// Writes all n bytes, retrying interrupted and partial writes.  Returns n, or
// -1 with errno (some bytes may have been written).  A write that makes no
// progress without an error fails with EIO rather than looping.
ssize_t retry_write(int fd, const void* buf, size_t n);
// The same for a vector; iov is not modified.  Returns the total.
ssize_t retry_writev(int fd, const struct iovec* iov, int iovcnt);

// Flushes fd to stable storage: level 0 does nothing, 1 fdatasync, 2 and up
// fsync.  0, or -1 with errno.  A failed sync must not be retried as if it
// had succeeded: the kernel may have dropped the dirty pages.
int sync_file(int fd, int level);
// Flushes directory dir, so the creations, renames and removals inside it
// last.  0, or -1 with errno.
int sync_dir(const char* dir);
// Syncs the directory that holds path (level 2 and up; lower levels do
// nothing), so a rename or create inside it survives a crash.
int sync_parent_dir(const char* path, int level);

// Copies the whole file from to to (created or truncated, mode 0666 before
// umask).  method 1 uses copy_file_range, 0 plain read/write; the store tries
// 1 first and falls back to 0.  A partial target is removed on failure.
// 0, or -1 with errno.
int copy_file(const char* from, const char* to, int method);

// Creates path and every missing parent with mode.  0 or -1 with errno.
int make_dirs(const char* path, mode_t mode);
