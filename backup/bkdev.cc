// The backup stream device: block writer with its ring and writer thread,
// block reader with medium changes and positioning.
#include "backup/bkdev.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "backup/bktape.h"
#include "backup/bkutils.h"
#include "common/assert.h"
#include "common/bvlog.h"
#include "common/fileio.h"
#include "common/signals.h"

namespace {

constexpr int LOG_BKDEV = LOG_STORE_ERR;  // 59
// Consecutive zero-length reads that mean the volume has ended.
constexpr int MAX_ZERO_READS = 5;
// Volume changes one seek may ask for before it gives up.
constexpr int MAX_SEEK_VOLUMES = 64;

}  // namespace

uint32_t checksum(const char* /*buf*/, unsigned /*len*/) { return BK_CHECKSUM; }

int cos_write(int fd, const void* buf, size_t len, int* err, bool tape, size_t* written) {
  const char* p = static_cast<const char*>(buf);
  size_t left = len;
  int ok = 1;
  while (left > 0) {
    errno = 0;
    ssize_t n = fs_write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      *err = errno ? errno : ENOSPC;
      ok = 0;
      break;
    }
    // A tape record must go out in one piece: a short write means the end
    // of the medium.  Elsewhere a partial write is continued; a write that
    // makes no progress means there is no room.
    if (n == 0 || (tape && static_cast<size_t>(n) != left)) {
      if (n > 0) p += n;
      *err = ENOSPC;
      ok = 0;
      break;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (written) *written = static_cast<size_t>(p - static_cast<const char*>(buf));
  return ok;
}

BKDEV::BKDEV(int afd, int amode, unsigned ablksize, prompttape_cb tapecb, void* cdata, BkWriter writer)
    : fd_(afd), mode_(amode) {
  ORV_ASSERT(afd >= 0);
  ORV_ASSERT(amode == O_RDONLY || amode == O_RDWR);
  if (ablksize == 0) ablksize = BK_DEFAULT_FACTOR;
  ORV_ASSERT(ablksize <= BK_MAX_FACTOR);
  istape_ = is_tape(fd_) ? 1 : 0;
  blksize_ = static_cast<size_t>(ablksize) * BK_BLOCK_UNIT;
  if (istape_) {
    prompttape_ = tapecb;
    callerdata_ = cdata;
  }

  if (mode_ == O_RDONLY) {
    rec_ = std::make_unique<char[]>(blksize_);
    struct stat st;
    if (fd_ == 0) {
      noseek_ = 1;
    } else if (fstat(fd_, &st) != 0) {
      bvlog(0, LOG_BKDEV, "Error in fstat: %s", strerror(errno));
    } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
      noseek_ = 1;
    }
    // readblk(1, ...) accepts the first block's number as the base, so
    // positions stay absolute stream offsets even when reading starts on a
    // later volume.
    if (!readblk(1, -1)) setError();
    phyblkoff_ = BK_BLOCK_PREFIX;
    return;
  }

  nblks_ = std::max<int>(1, static_cast<int>(BK_RING_BYTES / blksize_));
  rec_ = std::make_unique<char[]>(static_cast<size_t>(nblks_) * blksize_);  // zeroed
  // Only a tape gains from a writer thread of its own (see the header).
  direct_ = !istape_ && writer == BkWriter::automatic;
  if (direct_) {
    // A pipe of the default 64 KiB would make each ring write wait for the
    // reader four times; a pipe that holds a ring takes it at once.  Only
    // ever grown, and a refusal (a limit on pipe memory) changes nothing.
    struct stat st;
    if (fstat(fd_, &st) == 0 && S_ISFIFO(st.st_mode)) {
      int size = fcntl(fd_, F_GETPIPE_SZ);
      if (size >= 0 && static_cast<size_t>(size) < BK_RING_BYTES)
        (void)fcntl(fd_, F_SETPIPE_SZ, static_cast<int>(BK_RING_BYTES));
    }
    return;
  }
  if (sem_init(&sema_writebuf_full_, 0, 0) != 0 ||
      sem_init(&sema_writebuf_empty_, 0, static_cast<unsigned>(nblks_ - 1)) != 0) {
    bvlog(0, LOG_BKDEV, "Error initializing semaphore: %s", strerror(errno));
    setError();
    return;
  }
  semas_ready_ = true;
  // The writer thread runs with the asynchronous signals blocked: interrupts
  // are recorded and polled by the main thread, and must not cut a block
  // write short.
  int rc;
  {
    SignalsBlocked blocked;
    rc = pthread_create(&write_thread_id_, nullptr, &BKDEV::write_thread, this);
  }
  if (rc != 0) {
    bvlog(0, LOG_BKDEV, "Error creating write thread: %s", strerror(rc));
    setError();
    return;
  }
  thread_started_ = true;
}

BKDEV::~BKDEV() {
  if (mode_ == O_RDWR) (void)finish();
}

int BKDEV::semWait(sem_t* s) {
  while (sem_wait(s) != 0) {
    if (errno != EINTR) return 0;
  }
  return 1;
}

int BKDEV::finish() {
  if (mode_ != O_RDWR) return error() ? 0 : 1;
  if (finished_) return finish_result_;
  finished_ = true;
  bool ok = !error();
  // 1. The block being filled goes out even when it is only partly filled.
  if (ok && logblkoff() != 0 && !writeblk_deferred()) {
    bvlog(0, LOG_BKDEV, "writeblk failed");
    setError();
    ok = false;
  }
  //    Without a writer thread the blocks still in the ring go out now.
  if (direct_ && ok && !error() && pending_ > 0 && !flushRing()) ok = false;
  // 2. Once the main thread has taken nblks - 1 more empty slots, the writer
  //    has written every completed one.  A writer failure posts "empty" once,
  //    so this never waits for a thread that has ended.
  if (thread_started_) {
    for (int i = 0; i < nblks_ - 1 && !error(); i++) {
      if (!semWait(&sema_writebuf_empty_)) {
        bvlog(0, LOG_BKDEV, "sema_wait failed: %s", strerror(errno));
        setError();
      }
    }
    // 3. Stop and join the writer (it may already have ended on an error).
    write_thread_exit_.store(1, std::memory_order_release);
    if (sem_post(&sema_writebuf_full_) != 0) bvlog(0, LOG_BKDEV, "sema_post failed: %s", strerror(errno));
    int rc = pthread_join(write_thread_id_, nullptr);
    if (rc != 0) bvlog(0, LOG_BKDEV, "thread join failed: %s", strerror(rc));
    thread_started_ = false;
  }
  if (semas_ready_) {
    if (sem_destroy(&sema_writebuf_full_) != 0 || sem_destroy(&sema_writebuf_empty_) != 0)
      bvlog(0, LOG_BKDEV, "sema_destroy failed: %s", strerror(errno));
    semas_ready_ = false;
  }
  // 4. A tape volume ends with a file mark; without it the last volume
  //    cannot be told from a damaged one, so a failure is an error.
  if (istape_ && !error() && write_file_mark(fd_, -1) != 0) {
    bvlog(0, LOG_BKDEV, "Error writing file mark: %s", strerror(errno));
    setError();
  }
  finish_result_ = ok && !error() ? 1 : 0;
  return finish_result_;
}

int BKDEV::write(const void* buf, unsigned len) {
  ORV_ASSERT(mode_ == O_RDWR);
  if (error() || finished_) return 0;
  const char* p = static_cast<const char*>(buf);
  const unsigned logsize = logBlksize();
  while (len > 0) {
    unsigned logavail = static_cast<unsigned>(blksize_) - phyblkoff_;
    ORV_ASSERT(logavail <= logsize);
    ORV_ASSERT((logoff() + logavail) % logsize == 0);
    if (logavail == 0) {
      if (!writeblk_deferred()) return 0;
      logavail = logsize;
    }
    unsigned n = std::min(len, logavail);
    std::memcpy(rec_.get() + static_cast<size_t>(mth_rec_index_) * blksize_ + (blksize_ - logavail), p, n);
    phyblkoff_ += n;
    ORV_ASSERT(phyblkoff_ <= blksize_);
    p += n;
    len -= n;
  }
  return 1;
}

int BKDEV::writePRInt16(uint16_t v) {
  char b[2];
  ::writePRInt16(b, v);
  return write(b, sizeof b);
}

int BKDEV::writePRInt32(uint32_t v) {
  char b[4];
  ::writePRInt32(b, v);
  return write(b, sizeof b);
}

int BKDEV::writePRInt64(uint64_t v) {
  char b[8];
  ::writePRInt64(b, v);
  return write(b, sizeof b);
}

int BKDEV::writestring(const char* s) {
  size_t n = std::strlen(s);
  if (n > 0xFFFF) {
    bvlog(0, LOG_BKDEV, "String of %zu bytes is too long for the backup stream", n);
    return 0;
  }
  if (!writePRInt16(static_cast<uint16_t>(n))) return 0;
  return n == 0 ? 1 : write(s, static_cast<unsigned>(n));
}

int BKDEV::writeblk_deferred() {
  if (error()) return 0;
  char* slot = rec_.get() + static_cast<size_t>(mth_rec_index_) * blksize_;
  ::writePRInt32(slot, checksum(slot, static_cast<unsigned>(blksize_)));
  ::writePRInt64(slot + 4, blkno_);
  if (direct_) {
    // The slot is needed again only once the ring has gone round: the ring
    // is written then, in one piece.
    if (++pending_ == nblks_ && !flushRing()) return 0;
  } else if (sem_post(&sema_writebuf_full_) != 0) {
    bvlog(0, LOG_BKDEV, "sema_post failed: %s", strerror(errno));
    setError();
    return 0;
  }
  if (!direct_ && !semWait(&sema_writebuf_empty_)) {
    bvlog(0, LOG_BKDEV, "sema_wait failed: %s", strerror(errno));
    setError();
    return 0;
  }
  if (error()) return 0;
  mth_rec_index_ = (mth_rec_index_ + 1) % nblks_;
  blkno_++;
  phyblkoff_ = BK_BLOCK_PREFIX;
  return 1;
}

void* BKDEV::write_thread(void* self) {
  auto* d = static_cast<BKDEV*>(self);
  for (;;) {
    if (!d->semWait(&d->sema_writebuf_full_)) {
      bvlog(0, LOG_BKDEV, "sema_wait failed: %s", strerror(errno));
      d->setError();
      (void)sem_post(&d->sema_writebuf_empty_);
      return nullptr;
    }
    if (d->write_thread_exit_.load(std::memory_order_acquire)) return nullptr;
    // Take every further completed slot up to the end of the ring.  The
    // stop request is posted only after every block was written, so it is
    // never taken for a block here.
    int n = 1;
    if (!d->istape_)
      while (d->wth_rec_index_ + n < d->nblks_ && sem_trywait(&d->sema_writebuf_full_) == 0) n++;
    if (!d->writeblk(n)) {
      d->setError();
      // Wake the main thread, which waits for an empty slot.
      (void)sem_post(&d->sema_writebuf_empty_);
      return nullptr;
    }
  }
}

// Without a writer thread: writes the completed slots waiting in the ring
// (contiguous: they are taken only when the ring is full, or at the end).
// 1, or 0 with the error flag set.
int BKDEV::flushRing() {
  ORV_ASSERT(direct_ && wth_rec_index_ + pending_ <= nblks_);
  int n = pending_;
  pending_ = 0;
  if (writeblk(n)) return 1;
  setError();
  return 0;
}

// Writes the n completed slots from wth_rec_index_ (contiguous in the ring)
// and gives each back as it reaches the medium.
int BKDEV::writeblk(int n) {
  while (n > 0) {
    char* slot = rec_.get() + static_cast<size_t>(wth_rec_index_) * blksize_;
    int err = 0;
    size_t done = 0;
    int ok = cos_write(fd_, slot, static_cast<size_t>(n) * blksize_, &err, istape_ != 0, &done);
    int whole = ok ? n : static_cast<int>(done / blksize_);
    for (int i = 0; i < whole; i++) {
      wth_rec_index_ = (wth_rec_index_ + 1) % nblks_;
      if (!direct_ && sem_post(&sema_writebuf_empty_) != 0) {
        bvlog(0, LOG_BKDEV, "vela_sema_post error: %d", errno);
        return 0;
      }
    }
    n -= whole;
    if (ok) return 1;
    // The slot at wth_rec_index_ did not (wholly) reach the medium.
    slot = rec_.get() + static_cast<size_t>(wth_rec_index_) * blksize_;
    if (err == ENOSPC || err == EFBIG || (err == EIO && istape_)) {
      if (!istape_) bvlog(0, LOG_BKDEV, "device full: %s", strerror(err));
      int nfd = prompttape_ ? prompttape_(blanktape, callerdata_) : -1;
      if (nfd < 0) {
        bvlog(0, LOG_BKDEV, "Backup cancelled: %s", strerror(err));
        return 0;
      }
      // The block that did not fit goes first on the new volume, unchanged.
      fd_ = nfd;
      first_blkno_ = readPRInt64(slot + 4);
      continue;
    }
    bvlog(0, LOG_BKDEV, "Error writing block: %s", strerror(err));
    return 0;
  }
  return 1;
}

int BKDEV::changeVolume(prompttape_type type) {
  int nfd = prompttape_ ? prompttape_(type, callerdata_) : -1;
  if (nfd < 0) return -1;
  fd_ = nfd;
  return nfd;
}

int BKDEV::readblk(int first, int c) {
  if (error()) return 0;
  char* buf = rec_.get();
  // Set when the previous volume ended in the middle of sequential reading:
  // the next volume must carry on with the expected block.
  bool continuing = false;
  int volumes = 0;
  for (;;) {
    size_t got = 0;
    if (c != -1) {
      buf[0] = static_cast<char>(c);
      got = 1;
      c = -1;
    }
    int zeros = 0;
    int rerr = 0;
    while (got < blksize_) {
      ssize_t n = ::read(fd_, buf + got, blksize_ - got);
      if (n < 0) {
        if (errno == EINTR) continue;
        rerr = errno;
        break;
      }
      if (n == 0) {
        if (++zeros >= MAX_ZERO_READS) break;
        continue;
      }
      zeros = 0;
      got += static_cast<size_t>(n);
    }
    if (got < blksize_) {
      // The volume is exhausted (a partial block at its end is one the
      // writer repeats on the next volume).
      if (++volumes > MAX_SEEK_VOLUMES || changeVolume(nexttape) < 0) {
        if (rerr)
          bvlog(0, LOG_BKDEV, "Restore cancelled: %s", strerror(rerr));
        else
          bvlog(0, LOG_BKDEV, "Restore cancelled: end of volume after block %llu (%zu bytes of a block left over)",
                static_cast<unsigned long long>(blkno_), got);
        setError();
        return 0;
      }
      continuing = continuing || !first;
      first = 1;
      continue;
    }
    uint32_t sum = readPRInt32(buf);
    uint64_t num = readPRInt64(buf + 4);
    if (sum != checksum(buf, static_cast<unsigned>(blksize_))) {
      bvlog(0, LOG_BKDEV, "Incorrect checksum for block %llu", static_cast<unsigned long long>(blkno_ + 1));
      setError();
      return 0;
    }
    if (continuing) {
      // A new volume repeats the block that did not fit on the last one.
      // When that block was read whole from the old volume after all, its
      // copy is skipped; otherwise the volume must go on where the last
      // one stopped (a wrong volume would splice foreign data in).
      first_blkno_ = num;
      continuing = false;
      first = 0;
      if (num == blkno_) continue;
    }
    if (first) {
      blkno_ = first_blkno_ = num;
    } else {
      blkno_++;
      if (num != blkno_) {
        bvlog(0, LOG_BKDEV, "Incorrect block number read (%llu). Should have been %llu",
              static_cast<unsigned long long>(num), static_cast<unsigned long long>(blkno_));
        setError();
        return 0;
      }
    }
    phyblkoff_ = BK_BLOCK_PREFIX;
    return 1;
  }
}

int BKDEV::read(void* buf, unsigned len) {
  ORV_ASSERT(mode_ == O_RDONLY);
  ORV_ASSERT(buf != nullptr);
  if (error()) return 0;
  char* p = static_cast<char*>(buf);
  const unsigned logsize = logBlksize();
  while (len > 0) {
    unsigned logavail = static_cast<unsigned>(blksize_) - phyblkoff_;
    ORV_ASSERT(logavail <= logsize);
    if (logavail == 0) {
      if (!readblk(0, -1)) return 0;
      logavail = logsize;
    }
    unsigned n = std::min(len, logavail);
    std::memcpy(p, rec_.get() + (blksize_ - logavail), n);
    phyblkoff_ += n;
    p += n;
    len -= n;
  }
  return 1;
}

int BKDEV::seek(uint64_t off) {
  ORV_ASSERT(mode_ == O_RDONLY);
  if (error()) return 0;
  const uint64_t logsize = logBlksize();
  const uint64_t recno = off / logsize;
  const uint64_t recof = recno * logsize;
  int c = -1;
  for (int volumes = 0;; volumes++) {
    const int64_t delta = static_cast<int64_t>(recno - blkno_);
    if (delta == 0) break;
    if (istape_) {
      if (delta != 1) {
        int r = set_tape_position(fd_, delta);
        if (r == 2) {
          if (volumes >= MAX_SEEK_VOLUMES || changeVolume(delta < 0 ? prevtape : nexttape) < 0) return 0;
          if (!readblk(1, -1)) return 0;
          continue;
        }
        if (r != 0) {
          bvlog(0, LOG_BKDEV, "Error seeking record: %s", strerror(errno));
          setError();
          return 0;
        }
        blkno_ += static_cast<uint64_t>(delta - 1);
      } else {
        // The next block read is the target.
      }
    } else {
      bool piped = noseek_ != 0;
      if (!piped) {
        if (recno < first_blkno_) {
          bvlog(0, LOG_BKDEV, "Error seeking file: offset %llu lies before this volume",
                static_cast<unsigned long long>(off));
          return 0;
        }
        off_t pos = static_cast<off_t>((recno - first_blkno_) * blksize_);
        if (lseek(fd_, pos, SEEK_SET) < 0) {
          if (errno != ESPIPE) {
            bvlog(0, LOG_BKDEV, "Error seeking file: %s", strerror(errno));
            return 0;
          }
          noseek_ = 1;
          piped = true;
        } else {
          char b;
          ssize_t r;
          do r = ::read(fd_, &b, 1);
          while (r < 0 && errno == EINTR);
          if (r < 0) {
            bvlog(0, LOG_BKDEV, "Error seeking file: %s", strerror(errno));
            return 0;
          }
          if (r == 0) {
            bvlog(0, LOG_BKDEV, "Error seeking file: offset %llu lies beyond the end of this volume",
                  static_cast<unsigned long long>(off));
            return 0;
          }
          ORV_ASSERT(r == 1);
          c = static_cast<unsigned char>(b);
          blkno_ = recno - 1;
        }
      }
      if (piped) {
        if (delta < 0) {
          bvlog(0, LOG_BKDEV, "Error: cannot seek backwards on a pipe");
          return 0;
        }
        while (logrecoff() + logsize < recof)
          if (!readblk(0, -1)) return 0;
      }
      ORV_ASSERT(logrecoff() + logsize == recof);
    }
    if (!readblk(0, c)) {
      bvlog(0, LOG_BKDEV, "Error reading..: %s", errno ? strerror(errno) : "damaged or missing block");
      return 0;
    }
    ORV_ASSERT(logrecoff() == recof);
    break;
  }
  phyblkoff_ = static_cast<uint32_t>(off - recof + BK_BLOCK_PREFIX);
  ORV_ASSERT(logoff() == off);
  return 1;
}
