#include "net/pool.h"

#include <chrono>

#include "common/bvlog.h"

WorkPool::WorkPool(Reactor& loop, unsigned max_threads) : loop_(loop), max_threads_(max_threads ? max_threads : 1) {}

WorkPool::~WorkPool() {
  {
    std::lock_guard lk(mu_);
    stopping_ = true;
    queue_.clear();
  }
  cv_.notify_all();
  for (auto& t : threads_) {
    if (t.joinable()) t.join();
  }
}

void WorkPool::submit(std::function<void()> work, std::function<void()> done) {
  ++in_flight_;
  // The completion reaches the loop through post(); the count is kept on
  // the loop thread only.
  auto finish = [this, done = std::move(done)]() mutable {
    --in_flight_;
    if (done) done();
  };
  std::lock_guard lk(mu_);
  queue_.push_back(Job{std::move(work), std::move(finish)});
  if (idle_ == 0 && threads_.size() < max_threads_) {
    threads_.emplace_back([this] { worker(); });
  } else {
    cv_.notify_one();
  }
}

void WorkPool::worker() {
  std::unique_lock lk(mu_);
  for (;;) {
    ++idle_;
    cv_.wait(lk, [this] { return stopping_ || !queue_.empty(); });
    --idle_;
    if (queue_.empty()) return;  // stopping
    Job job = std::move(queue_.front());
    queue_.pop_front();
    ++running_;
    lk.unlock();
    job.work();
    loop_.post(std::move(job.done));
    lk.lock();
    --running_;
    idle_cv_.notify_all();
  }
}

bool WorkPool::drain(int64_t bound_ms) {
  std::unique_lock lk(mu_);
  stopping_ = true;
  queue_.clear();
  cv_.notify_all();
  bool done = idle_cv_.wait_for(lk, std::chrono::milliseconds(bound_ms), [this] { return running_ == 0; });
  if (!done) {
    // Threads still inside blocking work cannot be joined: let them go.
    for (auto& t : threads_) t.detach();
    threads_.clear();
  }
  return done;
}
