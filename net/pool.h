// The blocking-work pool of a server process (POP3, LMTP).
//
// Everything a session does that may block (name resolution, store
// opens, password checks, expunge, deliveries) runs here, so the event loop
// never waits.  submit() queues work; a pool thread runs it and posts the
// completion back to the event loop, where it runs like any other
// callback: a session's completion never runs beside its own I/O callbacks.
// Threads are started on demand up to the bound and stay for reuse.
//
// submit, in_flight and drain are called on the event-loop thread only.
// Work must not read the configuration (a refresh may free it meanwhile):
// it gets what it needs captured by value, with the settings snapshot it
// was started under.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "net/reactor.h"

class WorkPool {
 public:
  WorkPool(Reactor& loop, unsigned max_threads);
  // Joins the threads; drain() first when work may still run.
  ~WorkPool();

  // Runs work on a pool thread, then done on the event loop.
  void submit(std::function<void()> work, std::function<void()> done);
  // Work submitted whose completion has not run yet.
  unsigned in_flight() const { return in_flight_; }
  // Stops taking work and waits up to bound_ms for running work to end;
  // false when some is still running then (its threads are left behind,
  // the process is about to exit).  Completions are not run.
  bool drain(int64_t bound_ms);

 private:
  struct Job {
    std::function<void()> work;
    std::function<void()> done;
  };
  void worker();

  Reactor& loop_;
  unsigned max_threads_;
  unsigned in_flight_ = 0;  // event-loop thread only
  std::mutex mu_;
  std::condition_variable cv_;       // work queued or stopping
  std::condition_variable idle_cv_;  // a job finished
  std::deque<Job> queue_;
  unsigned idle_ = 0;
  unsigned running_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};
