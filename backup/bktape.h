// Tape control for the backup stream device.
//
// The four operations the device and the driver need, realised with the
// Linux st driver's ioctls.  They go through a table of function pointers so
// tests can make a plain file behave like a tape (medium changes, file marks)
// without a drive; the table is process-wide and must be swapped only while
// no device is in use.  Results follow errno conventions described per call;
// nothing is logged here (the callers log with their context).
#pragma once

#include <cstdint>

struct BkTapeOps {
  // Non-zero when fd is a tape drive.
  int (*is_tape)(int fd);
  // Rewinds and ejects the tape; 0 on success, -1 with errno.
  int (*rewind_off_line)(int fd);
  // Moves so that the next block read is n blocks after the one last read
  // (n may be zero or negative: a block already read is read again).  0 on
  // success; 2 when the position lies on another volume (a file mark or the
  // end of the medium was met); -1 with errno on any other error.
  int (*set_tape_position)(int fd, int64_t n);
  // Ends the volume with a file mark (count -1 means one mark, the
  // device's default); 0 on success, -1 with errno.
  int (*write_file_mark)(int fd, int count);
};

// The operations in use (the st ioctls unless a test replaced them).
const BkTapeOps& bktape_ops();
// Installs ops (null restores the st ioctls); returns the previous table.
const BkTapeOps* bktape_set_ops(const BkTapeOps* ops);

inline int is_tape(int fd) { return bktape_ops().is_tape(fd); }
inline int rewind_off_line(int fd) { return bktape_ops().rewind_off_line(fd); }
inline int set_tape_position(int fd, int64_t n) { return bktape_ops().set_tape_position(fd, n); }
inline int write_file_mark(int fd, int count) { return bktape_ops().write_file_mark(fd, count); }
