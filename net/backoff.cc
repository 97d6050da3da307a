#include "net/backoff.h"

int64_t Backoff::failed() {
  next_ = next_ == 0 ? first_ : (next_ >= cap_ / 2 ? cap_ : next_ * 2);
  if (next_ > cap_) next_ = cap_;
  return next_;
}

bool LogLimiter::allow(int64_t now_ms, uint64_t* suppressed) {
  if (any_ && now_ms - last_ < interval_) {
    ++held_;
    return false;
  }
  any_ = true;
  last_ = now_ms;
  *suppressed = held_;
  held_ = 0;
  return true;
}
