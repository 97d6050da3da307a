#include "net/reactor.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/assert.h"
#include "common/bvlog.h"

class Reactor::Wakeup final : public IoHandler {
 public:
  explicit Wakeup(Reactor* r) : r_(r) {}
  void on_io(uint32_t) override {
    uint64_t v;
    while (read(r_->eventfd_.get(), &v, sizeof v) > 0) {
    }
    r_->run_posted();
  }

 private:
  Reactor* r_;
};

std::unique_ptr<Reactor> Reactor::create(std::string* err) {
  std::unique_ptr<Reactor> r(new Reactor());
  r->epfd_.reset(epoll_create1(EPOLL_CLOEXEC));
  if (!r->epfd_) {
    *err = std::string("epoll_create1: ") + strerror(errno);
    return nullptr;
  }
  r->eventfd_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!r->eventfd_) {
    *err = std::string("eventfd: ") + strerror(errno);
    return nullptr;
  }
  r->wakeup_ = std::make_unique<Wakeup>(r.get());
  if (!r->add(r->eventfd_.get(), EPOLLIN, r->wakeup_.get())) {
    *err = std::string("epoll_ctl: ") + strerror(errno);
    return nullptr;
  }
  return r;
}

Reactor::~Reactor() = default;

bool Reactor::add(int fd, uint32_t events, IoHandler* handler) {
  epoll_event ev{};
  ev.events = events;
  ev.data.ptr = handler;
  return epoll_ctl(epfd_.get(), EPOLL_CTL_ADD, fd, &ev) == 0;
}

bool Reactor::modify(int fd, uint32_t events, IoHandler* handler) {
  epoll_event ev{};
  ev.events = events;
  ev.data.ptr = handler;
  return epoll_ctl(epfd_.get(), EPOLL_CTL_MOD, fd, &ev) == 0;
}

void Reactor::remove(int fd) { epoll_ctl(epfd_.get(), EPOLL_CTL_DEL, fd, nullptr); }

int64_t Reactor::now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

Reactor::TimerId Reactor::after(int64_t ms, Callback fn) {
  TimerId id = next_id_++;
  int64_t due = now_ms() + (ms < 0 ? 0 : ms);
  timers_.emplace(std::make_pair(due, id), std::move(fn));
  timer_due_.emplace(id, due);
  return id;
}

void Reactor::cancel(TimerId id) {
  auto it = timer_due_.find(id);
  if (it == timer_due_.end()) return;
  timers_.erase(std::make_pair(it->second, id));
  timer_due_.erase(it);
}

void Reactor::defer(Callback fn) { deferred_.push_back(std::move(fn)); }

void Reactor::post(Callback fn) {
  {
    std::lock_guard lk(post_mu_);
    posted_.push_back(std::move(fn));
  }
  uint64_t one = 1;
  // A full counter (never in practice) still leaves the descriptor readable.
  (void)!write(eventfd_.get(), &one, sizeof one);
}

void Reactor::run_posted() {
  std::vector<Callback> work;
  {
    std::lock_guard lk(post_mu_);
    work.swap(posted_);
  }
  for (auto& fn : work) fn();
}

int Reactor::next_timeout() const {
  if (!deferred_.empty()) return 0;
  if (timers_.empty()) return -1;
  int64_t wait = timers_.begin()->first.first - now_ms();
  if (wait <= 0) return 0;
  return wait > 60000 ? 60000 : static_cast<int>(wait);
}

void Reactor::run_timers() {
  int64_t now = now_ms();
  while (!timers_.empty() && timers_.begin()->first.first <= now) {
    auto node = timers_.extract(timers_.begin());
    timer_due_.erase(node.key().second);
    node.mapped()();
  }
}

void Reactor::run() {
  constexpr int kBatch = 256;
  epoll_event events[kBatch];
  while (!stopped_) {
    int n = epoll_wait(epfd_.get(), events, kBatch, next_timeout());
    if (n < 0) {
      ORV_ASSERT(errno == EINTR);
      n = 0;
    }
    for (int i = 0; i < n; ++i) static_cast<IoHandler*>(events[i].data.ptr)->on_io(events[i].events);
    run_timers();
    // Callbacks deferred by these run in the next round, after new events.
    std::vector<Callback> work;
    work.swap(deferred_);
    for (auto& fn : work) fn();
  }
}
