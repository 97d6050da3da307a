// The folders a restore has left but not yet flushed.
//
// A restore appends to each folder with its index header deferred
// (MAILBOX_OPEN_DEFERSYNC): the messages, records and cache entries are
// written but nothing counts them on disk yet.  Rather than flushing every
// folder when it is left (two journal commits each), the folder's append
// context, index lock and all, is handed to this batch, and the batch is
// flushed as a whole: one syncfs per file system for the files of every
// folder in it, then every header written, then one syncfs per file
// system for the headers (mailbox_flush_many).  The header on disk thus
// still never counts a record whose files could be lost, and a restore
// killed before the flush leaves those folders as they were, which the run
// again restores.
//
// The flush runs on a thread of the batch's own, so the restore goes on
// reading and writing the next folders while the disk takes the last ones:
// the batch due is handed to that thread, after the one it flushes is done
// (at most one batch in flight, so a disk slower than the restore holds the
// restore back).  flush() hands over what is pending and waits for it.
//
// Bounds: the batch is handed over when it holds `folders` folders, when
// `megabytes` of mail were appended since the last hand-over, or when its
// oldest folder has waited `seconds` (checked on every append), and it is
// flushed at the end of the restore.  A delivery or POP3 session to a
// folder in the batch thus waits for its index lock at most that long,
// plus one flush.
//
// Locks: every folder in the batch keeps its index lock, so the restore
// holds several at once and must never wait for another lock (another
// holder could be waiting for one of ours).  While the batch holds folders,
// the restore only tries locks (MailboxLockNoWait): a busy one flushes the
// batch, which lets every lock go, and the call is made again, waiting.
// The restore reaches a folder in the batch through the batch's handle
// (take, find), never by opening it again, which would wait for its own
// lock.  For a folder being flushed, take waits for the flush (which ends
// its append context) and the folder is opened again; find lends its
// handle under the flush's mutex, which the flush lets go while the disk
// works.
//
// Settings: local.restore.batchfolders (64; 1 flushes every folder on its
// own), local.restore.batchmb (64), local.restore.batchseconds (2).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/imap_err.h"
#include "store/append.h"

class RestoreBatch {
 public:
  // A folder's handle in the batch.  While one of a folder being flushed
  // lives, the flush leaves the handles alone: keep it short, and never
  // let the batch be handed over or flushed meanwhile.
  struct Held {
    mailbox* m = nullptr;
    std::unique_lock<std::mutex> lock;
  };

  RestoreBatch();
  // Flushes what is left (a failure is logged).
  ~RestoreBatch();
  RestoreBatch(const RestoreBatch&) = delete;
  RestoreBatch& operator=(const RestoreBatch&) = delete;

  // Takes over folder iname's append context (index lock held, header
  // deferred); hands the batch over when a bound is reached.  0, or the
  // error of a flush that ended meanwhile.
  [[nodiscard]] int add(const std::string& iname, std::unique_ptr<appendmbox> amb);
  // Folder iname's context taken back out of the batch (its appends go
  // on), or null when the batch does not hold it (after waiting for its
  // flush when it is being flushed).
  std::unique_ptr<appendmbox> take(const std::string& iname);
  // The handle of folder iname in the batch (index lock held, the view
  // with this restore's appends), or none.
  Held find(const std::string& iname);
  // Counts bytes appended to the folder being restored; hands the batch
  // (not that folder) over when a bound is reached.  0, or the error of a
  // flush that ended meanwhile.
  [[nodiscard]] int appended(uint64_t bytes);
  // Whether any flush of this batch that ended failed.
  bool failed() const { return failed_; }
  // Makes every folder in the batch durable and counted, and ends their
  // append contexts (locks released) whatever happens; returns when the
  // flush is done.  0, or IMAP_IOERROR when a flush failed (logged for
  // every folder in it; their headers stay unwritten).
  [[nodiscard]] int flush();

  // Runs f, which may wait for a lock: while the batch holds folders, f
  // only tries locks; when one is busy the batch is flushed and f runs
  // again, waiting.  f's result, or the flush's error.
  template <class F>
  int without_waiting(F f) {
    if (pending_.empty()) return f();
    int r;
    {
      MailboxLockNoWait nowait;
      r = f();
    }
    if (r != IMAP_MAILBOX_LOCKED) return r;
    if (int e = flush()) return e;
    return f();
  }

 private:
  struct Entry {
    std::string iname;
    std::unique_ptr<appendmbox> amb;
  };
  bool due() const;
  // Waits for the batch in flight, then gives the pending one to the
  // flusher.  0, or the error of the flush waited for.
  int hand_over();
  // Waits for the batch in flight.  0, or its flush's error.
  int wait_flushed();
  // Flushes the batch in flight and ends it; g holds mu_, and is let go
  // while the disk works.
  void flush_handed(std::unique_lock<std::mutex>& g);
  // The flusher's loop.
  void run();

  std::vector<Entry> pending_;
  uint64_t bytes_ = 0;
  bool failed_ = false;
  std::chrono::steady_clock::time_point oldest_;
  size_t max_folders_;
  uint64_t max_bytes_;
  std::chrono::milliseconds max_wait_;
  // Shared with the flusher: mu_ guards the fields below and the handles
  // of the batch in flight, except while the flush waits for the disk.
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Entry> handed_;  // the batch in flight
  bool busy_ = false;          // handed_ not yet flushed
  bool stop_ = false;
  int result_ = 0;  // the error of a flush not yet waited for
  std::thread flusher_;
};
