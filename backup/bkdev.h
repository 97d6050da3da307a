// BKDEV: the backup stream device.
//
// Turns a descriptor (tape drive, plain file, pipe, standard input/output)
// into a logical byte stream cut into fixed-size, numbered, self-identifying
// blocks.
//
// Block layout (every block, blksize = block factor * 512 bytes; all
// integers big-endian):
//
//   offset  size            field
//   0       4               check value, always 0x5ABACAB5 (5A BA CA B5)
//   4       8               block number: 0 for the first block of a backup,
//                           then consecutive, continuing across volumes
//   12      blksize - 12    the next LOG_BLKSIZE bytes of the logical stream
//
// The logical stream is the concatenation of the data areas in block-number
// order: stream offset L lies in block L / LOG_BLKSIZE at data position
// L % LOG_BLKSIZE.  The last block is written whole; its bytes after the end
// of the stream are whatever the ring slot held (zero on a slot's first use).
// When a volume fills, the block that did not fit is written again, unchanged
// and with the same number, as the first block of the next volume; a tape
// volume ends with a file mark.
//
// Threads.  A writing device on a tape owns a writer thread.  The main
// thread fills the ring slot it holds and hands a block over only when a
// further stream byte needs room (so no partly filled block is written
// except the last); the writer thread writes completed slots to the medium:
// one block per write on a tape, which keeps tape records a fixed size, and
// elsewhere every completed slot that is contiguous in the ring in one
// write.  Two counting semaphores carry the hand-over: "full" counts
// completed slots waiting for the writer, "empty" the slots the main thread
// may fill next; at most nblks - 1 completed blocks wait while one is being
// filled, so record building overlaps a slow tape until the ring (256 KiB)
// is full.  The medium-change callback runs on the writer thread.  The
// error flag is sticky and set by either thread.
//
// On anything else (a plain file, a pipe, standard output) the calling
// thread writes the blocks itself: completed slots collect in the ring, and
// when it is full they go out in one write of 256 KiB (at the end, whatever
// is there).  Handing every block to another thread cost a wake-up and two
// context switches per block, more than the write into the page cache or a
// pipe it overlapped; the kernel (or the reader at the other end of the
// pipe) already works alongside.  Blocks use the same slots in the same
// order either way, so the stream is the same byte for byte.  A pipe is
// grown to hold a whole ring where the system allows.  A caller may
// still ask for the writer thread (BkWriter::thread).  A reading device is
// used by one thread.
//
// Ownership.  The device never closes a descriptor: the caller owns the one
// it passes in, and a medium-change callback that returns a new descriptor
// is responsible for closing the old one.
//
// Failures are logged through bvlog (priority 59) by the function that sees
// them; calls return 1 for success and 0 for failure.
#pragma once

#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

inline constexpr uint32_t BK_CHECKSUM = 0x5ABACAB5;
inline constexpr unsigned BK_BLOCK_PREFIX = 12;
inline constexpr unsigned BK_BLOCK_UNIT = 512;
inline constexpr unsigned BK_DEFAULT_FACTOR = 20;
// Largest block factor accepted (2 MiB blocks).
inline constexpr unsigned BK_MAX_FACTOR = 4096;
// Bytes of blocks the writing ring holds (at least one slot).
inline constexpr size_t BK_RING_BYTES = 262144;

enum prompttape_type { blanktape = 0, nexttape = 1, prevtape = 2 };

// Medium-change callback: returns the descriptor of the new volume, or a
// negative value to cancel.  Writing asks with blanktape (on the writer
// thread), reading with nexttape or prevtape.
using prompttape_cb = int (*)(prompttape_type type, void* callerdata);

// Who writes the blocks of a writing device to the medium.
enum class BkWriter {
  automatic,  // a writer thread on a tape; the calling thread elsewhere
  thread,     // a writer thread whatever the medium
};

// The block check value: a fixed pattern, whatever the block holds.
uint32_t checksum(const char* buf, unsigned len);

// Writes len bytes of whole blocks.  1 when all were written.  Otherwise 0
// with *err set to the error; running out of room (a short write on a
// tape, a write that makes no progress elsewhere) reports ENOSPC.
// Interrupted writes are resumed.  On a non-tape a partial write is
// continued, so only a real lack of room counts as a full medium.  When
// written is given it receives the number of bytes that reached the medium.
int cos_write(int fd, const void* buf, size_t len, int* err, bool tape, size_t* written = nullptr);

// A source of logical stream bytes (the reading device, or memory in tests).
class BkInput {
 public:
  virtual ~BkInput() = default;
  // Copies the next len bytes to buf: 1 on success, 0 on failure (end of
  // data or a damaged stream, logged by the implementation).
  virtual int read(void* buf, unsigned len) = 0;
};

class BKDEV : public BkInput {
 public:
  // afd: the descriptor (>= 0); amode: O_RDONLY (reading) or O_RDWR
  // (writing); ablksize: block factor 1..BK_MAX_FACTOR, 0 for the default
  // 20; tapecb/cdata: the medium-change callback, kept only for tapes;
  // writer: who writes the blocks (writing only).
  // The caller checks error() afterwards.  A reading device has loaded the
  // first block and accepted its number as the base: a reader started on a
  // later volume counts from that volume's first block.
  BKDEV(int afd, int amode, unsigned ablksize, prompttape_cb tapecb, void* cdata,
        BkWriter writer = BkWriter::automatic);
  // Writing: finish() when not done yet (its result is lost: call finish()
  // to see it).  Always frees the buffers.
  ~BKDEV() override;
  BKDEV(const BKDEV&) = delete;
  BKDEV& operator=(const BKDEV&) = delete;

  // Writing: hands on the last block, waits until every block is on the
  // medium (writes those still in the ring when the caller writes them),
  // stops the writer and ends a tape volume with a file mark.
  // Returns 1 when all of it succeeded and no error was seen before; logs
  // "writeblk failed" when the last block could not be handed on.  A second
  // call returns the first one's result.  Reading: 1 unless error() is set.
  int finish();

  // Appends len stream bytes.  1, or 0 once the device has failed.
  int write(const void* buf, unsigned len);
  int writePRInt16(uint16_t v);
  int writePRInt32(uint32_t v);
  int writePRInt64(uint64_t v);
  // Appends a 16-bit big-endian length then the bytes (no terminator).  A
  // string of more than 65535 bytes is refused (0, nothing written): its
  // length would not fit and the stream would be corrupt.
  int writestring(const char* s);

  // Reading mode only.  Copies the next len stream bytes; 1 or 0.
  int read(void* buf, unsigned len) override;
  // Reading mode only.  Positions the stream at logical offset off (seeking
  // a file, spacing a tape, skipping blocks on a pipe); 1 or 0.
  int seek(uint64_t off);
  // Reads the next whole block into the buffer and checks its prefix.  first:
  // accept its number as the new base; c: a byte already taken from the
  // descriptor that starts the block, or -1.  1 or 0 (logged).
  int readblk(int first, int c);

  int error() const { return error_.load(std::memory_order_acquire); }
  int fd() const { return fd_; }
  int istape() const { return istape_; }
  size_t blksize() const { return blksize_; }
  unsigned logBlksize() const { return static_cast<unsigned>(blksize_) - BK_BLOCK_PREFIX; }
  int nblks() const { return nblks_; }
  // Writing: whether a writer thread writes the blocks.
  bool threaded() const { return !direct_; }
  uint64_t blkno() const { return blkno_; }
  uint64_t firstBlkno() const { return first_blkno_; }
  // Stream bytes already in the current block.
  unsigned logblkoff() const { return phyblkoff_ - BK_BLOCK_PREFIX; }
  // Stream offset of the current block's first data byte.
  uint64_t logrecoff() const { return blkno_ * logBlksize(); }
  // Current stream offset.
  uint64_t logoff() const { return logrecoff() + logblkoff(); }

 private:
  int writeblk_deferred();
  int writeblk(int n);
  int flushRing();
  static void* write_thread(void* self);
  int semWait(sem_t* s);
  void setError() { error_.store(1, std::memory_order_release); }
  int changeVolume(prompttape_type type);

  int fd_;
  int istape_ = 0;
  int mode_;
  uint64_t first_blkno_ = 0;
  uint64_t blkno_ = 0;
  uint32_t phyblkoff_ = BK_BLOCK_PREFIX;
  size_t blksize_;
  std::unique_ptr<char[]> rec_;
  std::atomic<int> error_{0};
  prompttape_cb prompttape_ = nullptr;
  void* callerdata_ = nullptr;
  int noseek_ = 0;
  int nblks_ = 0;
  pthread_t write_thread_id_{};
  bool thread_started_ = false;
  sem_t sema_writebuf_full_{};
  sem_t sema_writebuf_empty_{};
  bool semas_ready_ = false;
  int mth_rec_index_ = 0;
  int wth_rec_index_ = 0;
  // Writing without a writer thread: the calling thread writes, and
  // pending_ completed slots from wth_rec_index_ wait for it.
  bool direct_ = false;
  int pending_ = 0;
  std::atomic<int> write_thread_exit_{0};
  bool finished_ = false;
  int finish_result_ = 0;
};

// A BkInput over bytes in memory (borrowed; they must outlive the input).
class BkMemInput : public BkInput {
 public:
  BkMemInput(const void* data, size_t len) : p_(static_cast<const char*>(data)), left_(len) {}
  int read(void* buf, unsigned len) override;

 private:
  const char* p_;
  size_t left_;
};
