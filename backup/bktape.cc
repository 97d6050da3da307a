// Tape control through the Linux st driver.
#include "backup/bktape.h"

#include <sys/ioctl.h>
#include <sys/mtio.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <climits>

namespace {

int st_op(int fd, short op, int count) {
  struct mtop mt {};
  mt.mt_op = op;
  mt.mt_count = count;
  return ioctl(fd, MTIOCTOP, &mt);
}

// A character device that answers MTIOCGET is a tape drive.
int st_is_tape(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
  struct mtget mg {};
  return ioctl(fd, MTIOCGET, &mg) == 0;
}

int st_rewind_off_line(int fd) { return st_op(fd, MTOFFL, 1) == 0 ? 0 : -1; }

// The drive stands after the block last read, so reaching block n after it
// means spacing n - 1 records forward, or 1 - n records back.  Spacing over a
// file mark or off the end of the data fails with EIO (or ENOSPC at the end
// of the medium): the target is on another volume.
int st_set_tape_position(int fd, int64_t n) {
  int64_t count = n - 1;
  if (count == 0) return 0;
  short op = count > 0 ? MTFSR : MTBSR;
  int64_t left = count > 0 ? count : -count;
  while (left > 0) {
    int step = left > INT_MAX ? INT_MAX : static_cast<int>(left);
    if (st_op(fd, op, step) != 0) return errno == EIO || errno == ENOSPC ? 2 : -1;
    left -= step;
  }
  return 0;
}

int st_write_file_mark(int fd, int count) { return st_op(fd, MTWEOF, count < 0 ? 1 : count) == 0 ? 0 : -1; }

const BkTapeOps st_ops = {st_is_tape, st_rewind_off_line, st_set_tape_position, st_write_file_mark};
std::atomic<const BkTapeOps*> current{&st_ops};

}  // namespace

const BkTapeOps& bktape_ops() { return *current.load(std::memory_order_acquire); }

const BkTapeOps* bktape_set_ops(const BkTapeOps* ops) {
  return current.exchange(ops ? ops : &st_ops, std::memory_order_acq_rel);
}
