// Snapshots of the mailbox list database: the writer, and a listing of the
// slots for administrators.
//
// A snapshot directory P (local.store.snapshotpath; relative paths lie under
// the store directory) holds up to five slots named "snap1".."snap5".  A
// slot is complete only when it holds ".snaptime", whose modification time
// is the snapshot's time; start-up recovery restores the newest complete
// slot.  Slot layout:
//   *.db            the databases, copied page by page through the cache
//   log.NNNNNNNNNN  the log files the copies need (from the checkpoint taken
//                   just before the copy on); never region files, never
//                   DB_CONFIG
//   .snaptime       written last; its text is a manifest, one line per file
//                   of the slot: "<name> <size in bytes>\n"
// P also holds ".snaplock" (the writers' flock lock, taken without waiting),
// ".snaptmp" (the slot being written) and ".snapdel" (a slot being removed).
//
// Crash safety: every file of a slot is synced, then the slot directory,
// then ".snaptime" is written and synced, then the directory again; only
// then is the slot renamed into place (and P synced).  A slot is retired by
// renaming it to ".snapdel" before its files go.  So a writer killed at any
// instant leaves either no new slot or a complete one; what it leaves in
// ".snaptmp" or ".snapdel" is removed by the next writer.  Names of six
// characters and more are never read as slots.
//
// Threads: a take runs Berkeley DB's hot backup on the environment handle
// it is given, with backup callbacks installed on that handle for its
// duration; takes in one process are serialised (a second one waits), takes
// in different processes exclude each other through ".snaplock" (the second
// reports busy).  Errors are ints: 0, errno values, or the codes below.
#pragma once

#include <db.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <string>
#include <vector>

// The writer's lock is held by another take (this or another process).
inline constexpr int kSnapshotBusy = EWOULDBLOCK;
// Nothing was written to the database since the snapshot at params.since.
inline constexpr int kSnapshotUnchanged = -1;

struct snapshot_params {
  int count = 3;  // slots kept, 1..5 (out-of-range values are clamped)
  // When set, skip the take while the log's end is still here (the
  // position snapshot_result.lsn reported by the previous take).
  const DB_LSN* since = nullptr;
  // Set from another thread to cut a take short (ECANCELED); may be null.
  const std::atomic<bool>* cancel = nullptr;
};

struct snapshot_result {
  std::string slot;  // "snapN"
  time_t time = 0;   // the slot's time
  DB_LSN lsn = {0, 0};  // end of the log right after the take's checkpoint
  long long bytes = 0;  // bytes copied into the slot
};

// The snapshot directory of the configuration, resolved ('/'-terminated) in
// *dir: 0; ENOENT when local.store.snapshotpath is unset or empty (snapshots
// are off); EINVAL for a path with ".." or without a store directory;
// ENAMETOOLONG.  Nothing is logged.
[[nodiscard]] int snapshot_dir(std::string* dir);
// The same for a configured value and store directory.
[[nodiscard]] int resolve_snapshot_path(const char* value, const char* storedir, std::string* out);

// Takes a snapshot of env (an open transactional environment) into dir,
// creating dir when missing: checkpoint, hot backup into dir/.snaptmp,
// ".snaptime" last, the oldest slots retired down to count-1, the new slot
// renamed into the first free name.  0 with *res filled; kSnapshotBusy;
// kSnapshotUnchanged (nothing taken); ECANCELED; else the errno or Berkeley
// DB error of the failing step, logged.  On any failure the slots that
// were complete before still are.
[[nodiscard]] int snapshot_take(DB_ENV* env, const std::string& dir, const snapshot_params& params,
                                snapshot_result* res);

// Removes the log files the mailbox list no longer needs
// (mboxlist_checkpoint300), unless a snapshot is being taken in dir (dir
// empty: snapshots are off): while one runs the logs it copies must stay.
// 0 done, 1 skipped, else the error of the removal.
int snapshot_remove_logs(const std::string& dir);

// One entry of the snapshot directory that start-up recovery would look at
// (a name shorter than six characters), or the slot being written.
struct snapshot_slot {
  std::string name;
  time_t time = 0;        // mtime of .snaptime (0 without one)
  long long time_ns = 0;  // the same in nanoseconds, for ordering
  bool complete = false;  // holds .snaptime and every file its manifest names, at its size
  std::string problem;    // why not complete, empty when complete
};

// The entries of dir, complete ones newest first, then the others by name.
// 0, or the errno of reading dir.
[[nodiscard]] int snapshot_list(const std::string& dir, std::vector<snapshot_slot>* slots);
