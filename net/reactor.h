// The event loop of a server process (POP3, LMTP).
//
// One thread runs the loop (run() until stop()); every socket, timer and
// deferred callback belongs to it, and every callback runs on it, one at a
// time, so the objects they touch need no locks.  The only call allowed
// from other threads is post(), which queues a callback and wakes the loop
// through an eventfd (the blocking-work pool hands its results back this
// way).
//
// Descriptors are registered with an IoHandler that lives at least until it
// is removed; a handler removed or closed during a batch of events may
// still be called for an event of that batch, so handlers ignore events
// once they are closed.  Timers are one-shot; cancel() of an unknown or
// fired timer is harmless.  defer() runs a callback after the current batch
// of events (used to continue work without starving other sessions, and to
// free objects no pending event can name any more).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/unique_fd.h"

class IoHandler {
 public:
  virtual void on_io(uint32_t events) = 0;

 protected:
  ~IoHandler() = default;
};

class Reactor {
 public:
  using Callback = std::function<void()>;
  using TimerId = uint64_t;

  // Null with *err (text) when epoll or the eventfd cannot be made.
  static std::unique_ptr<Reactor> create(std::string* err);
  ~Reactor();

  // epoll_ctl ADD / MOD / DEL; false with errno on failure.
  bool add(int fd, uint32_t events, IoHandler* handler);
  bool modify(int fd, uint32_t events, IoHandler* handler);
  void remove(int fd);

  TimerId after(int64_t ms, Callback fn);
  void cancel(TimerId id);

  void defer(Callback fn);
  // Thread-safe.
  void post(Callback fn);

  void run();
  void stop() { stopped_ = true; }
  bool stopped() const { return stopped_; }

  // Milliseconds of the monotonic clock.
  static int64_t now_ms();

 private:
  class Wakeup;
  Reactor() = default;
  int next_timeout() const;
  void run_timers();
  void run_posted();

  UniqueFd epfd_;
  UniqueFd eventfd_;
  std::unique_ptr<Wakeup> wakeup_;
  bool stopped_ = false;
  TimerId next_id_ = 1;
  std::map<std::pair<int64_t, TimerId>, Callback> timers_;
  std::unordered_map<TimerId, int64_t> timer_due_;
  std::vector<Callback> deferred_;
  std::mutex post_mu_;
  std::vector<Callback> posted_;
};
