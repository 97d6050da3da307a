// Back-off and log rate limiting for the servers' retry loops.
//
// Backoff gives the wait before the next try after a failure: the first
// delay, doubled on each further failure up to the cap; a success starts
// over.  The listener uses 10 ms to 1 s after a failed accept (descriptor
// exhaustion would otherwise make it spin), the supervisor 1 s to 60 s
// before it restarts a process that died.
//
// LogLimiter lets one line through per interval and counts the ones it held
// back, so a persistent failure is reported without flooding the log.
// Times are passed in by the caller (steady clock, milliseconds), which
// keeps both deterministic in tests.  Not thread-safe.
#pragma once

#include <cstdint>

class Backoff {
 public:
  Backoff(int64_t first_ms, int64_t cap_ms) : first_(first_ms), cap_(cap_ms) {}
  // A failure: the delay to wait before the next try.
  int64_t failed();
  // A success: the next failure waits the first delay again.
  void succeeded() { next_ = 0; }
  // Whether the last try failed (a delay is in force).
  bool backing_off() const { return next_ != 0; }

 private:
  int64_t first_, cap_;
  int64_t next_ = 0;
};

class LogLimiter {
 public:
  explicit LogLimiter(int64_t interval_ms) : interval_(interval_ms) {}
  // Whether a line may be written at now_ms; when it may, *suppressed is set
  // to the number of lines held back since the last one written.
  bool allow(int64_t now_ms, uint64_t* suppressed);

 private:
  int64_t interval_;
  int64_t last_ = 0;
  bool any_ = false;
  uint64_t held_ = 0;
};
