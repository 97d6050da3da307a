// The store daemon: brings the mailbox list database up (recovery mode),
// tells the other store processes it is ready, runs the database
// maintenance on timers, keeps the plain-file copies of seen state and
// subscriptions (store.usr, store.sub) up to date, from which a rebuilt
// database is reloaded, removes the files of expunged messages, and shuts
// the database down cleanly.
//
// Processes that die while using the database are dealt with here: every
// deadlock_interval seconds, on a thread of its own, the daemon runs
// Berkeley DB's failure check, which aborts a dead process's transactions
// and releases its locks.  When a process died inside the library (or the
// check itself is stuck on a mutex such a process held), the daemon takes
// readiness back ("recovering" in its state file), rebuilds the
// environment through recovery and becomes ready again.  Stopping never
// waits without a bound: a final file checkpoint that cannot finish within
// seconds is left to the next start.
//
// One daemon per store: a second one finds the state file locked and
// refuses to start.  Client processes (POP3 server, backup, admin commands)
// refuse to start until the daemon reports ready.
#pragma once

#include <cstdio>

struct stored_options {
  // Seconds between the maintenance steps.
  int trickle_interval = 15;
  int checkpoint_interval = 60;
  int log_removal_interval = 300;
  int deadlock_interval = 5;  // failure check and deadlock detection
  // Copy of changed seen state and subscriptions into the folders' plain
  // files ("local.store.filecheckpointinterval"; 0 turns it off).
  int file_checkpoint_interval = 600;
  // Removal of the files of expunged messages
  // ("local.store.expungecleanupinterval"; 0 turns it off), for messages
  // expunged more than expunge_cleanup_age seconds before the round starts
  // ("local.store.expungecleanupage").
  int expunge_cleanup_interval = 3600;
  int expunge_cleanup_age = 0;
  // Snapshots of the mailbox list into local.store.snapshotpath (none
  // while it is unset): every snapshot_interval seconds
  // ("local.store.snapshotinterval"; 0 turns them off), on a thread of
  // their own, keeping snapshot_count slots ("local.store.snapshotcount",
  // 1..5).  A round in which nothing was written is skipped.
  int snapshot_interval = 3600;
  int snapshot_count = 3;
  // Called once the store is ready (after recovery), e.g. to let a parent
  // that waits for start-up go.  May be null.
  void (*on_ready)(void* arg) = nullptr;
  void* on_ready_arg = nullptr;
};

// Runs the daemon until SIGTERM or SIGINT.  The configuration and log must
// be open.  Returns the exit status: 0 after a clean stop, 75 when another
// daemon runs on the store or store processes still use the environment
// (they are named in the log), 1 when the database cannot be brought up at
// start (after a later recovery that fails it keeps trying, not ready
// meanwhile), 78 for configuration problems.  Messages for the operator go to err.
int stored_run(const stored_options& opts, FILE* err);
