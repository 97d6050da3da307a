#include "pop/server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/bvlog.h"
#include "pop/session.h"
#include "pop/supervisor.h"

namespace {

constexpr int kLogAccept = 20;  // category 16, warning
constexpr int kAcceptsPerWakeup = 64;
constexpr int64_t kRecheckMs = 200;
constexpr int64_t kShutdownTickMs = 100;
constexpr int64_t kSessionDrainMs = 2000;   // sessions get this long to send their last line
constexpr int64_t kShutdownBoundMs = 30000; // pool work and other processes

// Errors that concern one connection only (it was reset before we took
// it): take the next one at once.
bool accept_retry_now(int e) {
  switch (e) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
      return true;
    default:
      return false;
  }
}

// Shortages that pass on their own; counted and logged like the others
// only when they are not of this kind.
bool accept_transient(int e) { return e == ENOMEM || e == ENOBUFS || e == ENOSR; }

sockaddr_storage to_sockaddr(const ClientAddr& a, socklen_t* len) {
  sockaddr_storage ss{};
  if (a.family == AF_INET6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&ss);
    in6->sin6_family = AF_INET6;
    memcpy(&in6->sin6_addr, a.bytes, 16);
    *len = sizeof(sockaddr_in6);
  } else {
    auto* in = reinterpret_cast<sockaddr_in*>(&ss);
    in->sin_family = AF_INET;
    memcpy(&in->sin_addr, a.bytes, 4);
    *len = sizeof(sockaddr_in);
  }
  return ss;
}

}  // namespace

class PopServer::Listener final : public IoHandler {
 public:
  Listener(PopServer& s, UniqueFd sock, bool on_tls_port) : server(s), fd(std::move(sock)), tls_port(on_tls_port) {}
  void on_io(uint32_t) override { server.accept_from(*this); }

  PopServer& server;
  UniqueFd fd;
  bool tls_port;
  bool polling = false;
  bool paused_by_error = false;
  Backoff backoff{10, 1000};
};

class PopServer::SignalWatch final : public IoHandler {
 public:
  SignalWatch(PopServer& s, UniqueFd sfd) : server(s), fd(std::move(sfd)) {}
  void on_io(uint32_t) override {
    signalfd_siginfo si;
    while (read(fd.get(), &si, sizeof si) == static_cast<ssize_t>(sizeof si)) server.on_signal(static_cast<int>(si.ssi_signo));
  }

  PopServer& server;
  UniqueFd fd;
};

PopServer::PopServer(const PopStartup& startup, std::shared_ptr<const PopSettings> settings, Reactor& loop,
                     WorkPool& pool, SharedCounters* counters, int slot, Reload reload)
    : startup_(startup),
      settings_(std::move(settings)),
      loop_(loop),
      pool_(pool),
      counters_(counters),
      slot_(slot),
      reload_(std::move(reload)) {}

PopServer::~PopServer() {
  for (auto& l : listeners_)
    if (l->polling) loop_.remove(l->fd.get());
  if (signals_) loop_.remove(signals_->fd.get());
}

void PopServer::add_listener(UniqueFd fd, bool tls_port) {
  int fl = fcntl(fd.get(), F_GETFL);
  if (fl >= 0) fcntl(fd.get(), F_SETFL, fl | O_NONBLOCK);
  fcntl(fd.get(), F_SETFD, FD_CLOEXEC);
  listeners_.push_back(std::make_unique<Listener>(*this, std::move(fd), tls_port));
}

bool PopServer::watch_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGCHLD}) sigaddset(&set, sig);
  UniqueFd fd(signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
  if (!fd) return false;
  signals_ = std::make_unique<SignalWatch>(*this, std::move(fd));
  return loop_.add(signals_->fd.get(), EPOLLIN, signals_.get());
}

void PopServer::run() {
  update_polling();
  loop_.run();
}

void PopServer::on_signal(int sig) {
  switch (sig) {
    case SIGTERM:
    case SIGINT:
      begin_shutdown();
      break;
    case SIGHUP:
      refresh();
      bvlog_reopen();  // also when the refresh failed
      if (supervisor_) supervisor_->forward(SIGHUP);
      break;
    case SIGUSR1:  // after a log rotation
      bvlog_reopen();
      if (supervisor_) supervisor_->forward(SIGUSR1);
      break;
    case SIGCHLD:
      if (supervisor_) supervisor_->reap();
      break;
    default:
      break;
  }
}

void PopServer::refresh() {
  if (!reload_) return;
  if (auto fresh = reload_()) settings_ = std::move(fresh);
}

bool PopServer::count_admitted() {
  ++live_admitted_;
  unsigned procs = startup_.numprocesses ? startup_.numprocesses : 1;
  if (counters_) {
    counters_->admitted(slot_, time(nullptr));
    return counters_->current() > static_cast<int64_t>(procs) * startup_.maxsessions;
  }
  return live_admitted_ > startup_.maxsessions;
}

void PopServer::count_ended() {
  --live_admitted_;
  if (counters_) counters_->ended(slot_);
}

void PopServer::count_login(bool good) {
  if (counters_) counters_->add(slot_, good ? kNumGoodLogins : kNumFailedLogins, 1);
}

void PopServer::count_failed_connection() {
  if (counters_) counters_->add(slot_, kNumFailedConnections, 1);
}

bool PopServer::ip_acquire(const ClientAddr& addr, unsigned limit) {
  socklen_t len = 0;
  sockaddr_storage ss = to_sockaddr(addr, &len);
  if (!counters_) return true;
  return counters_->ip_acquire(slot_, reinterpret_cast<const sockaddr*>(&ss), limit);
}

void PopServer::ip_release(const ClientAddr& addr) {
  socklen_t len = 0;
  sockaddr_storage ss = to_sockaddr(addr, &len);
  if (counters_) counters_->ip_release(slot_, reinterpret_cast<const sockaddr*>(&ss));
}

void PopServer::with_session(uint64_t id, const std::function<void(Session&)>& fn) {
  auto it = sessions_.find(id);
  if (it != sessions_.end() && !it->second->ended()) fn(*it->second);
}

void PopServer::session_ended(uint64_t id) {
  --live_sessions_;
  // Events of the current batch may still name the session: free it after.
  loop_.defer([this, id] { sessions_.erase(id); });
  if (startup_.single && !shutting_down_) {
    begin_shutdown();
    return;
  }
  update_polling();
}

void PopServer::accept_from(Listener& l) {
  for (int i = 0; i < kAcceptsPerWakeup && !shutting_down_; ++i) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    int fd = accept4(l.fd.get(), reinterpret_cast<sockaddr*>(&ss), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      int e = errno;
      if (e == EAGAIN || e == EWOULDBLOCK) break;
      if (accept_retry_now(e)) continue;
      if (!accept_transient(e)) {
        count_failed_connection();
        uint64_t held = 0;
        if (accept_log_.allow(Reactor::now_ms(), &held)) {
          if (held)
            bvlog(0, kLogAccept, "Unable to accept client connection: %s (%llu more since the last report)",
                  strerror(e), static_cast<unsigned long long>(held));
          else
            bvlog(0, kLogAccept, "Unable to accept client connection: %s", strerror(e));
        }
      }
      // Descriptor exhaustion and memory shortages leave the listener
      // readable: wait before trying again instead of spinning.
      int64_t delay = l.backoff.failed();
      l.paused_by_error = true;
      Listener* lp = &l;
      loop_.after(delay, [this, lp] {
        lp->paused_by_error = false;
        update_polling();
      });
      update_polling();
      return;
    }
    l.backoff.succeeded();
    UniqueFd conn(fd);
    // Every answer is complete when it is written: held back for the
    // client's delayed acknowledgement, the ".\r\n" that follows a message
    // sent by sendfile would cost 40 ms per RETR.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ClientAddr addr = ClientAddr::from_sockaddr(reinterpret_cast<sockaddr*>(&ss), len);
    uint64_t id = next_id_++;
    auto session = std::make_unique<Session>(*this, id, std::move(conn), addr, l.tls_port);
    Session* s = session.get();
    sessions_.emplace(id, std::move(session));
    ++live_sessions_;
    if (startup_.single) single_done_ = true;
    s->start();
    if (single_done_ || live_sessions_ >= startup_.maxsessions) break;
  }
  update_polling();
}

void PopServer::update_polling() {
  bool full_here = live_sessions_ >= startup_.maxsessions;
  bool service_full = true;
  if (full_here && counters_) {
    unsigned procs = startup_.numprocesses ? startup_.numprocesses : 1;
    service_full = counters_->current() >= static_cast<int64_t>(procs) * startup_.maxsessions;
  }
  for (auto& l : listeners_) {
    bool want = !shutting_down_ && !single_done_ && !l->paused_by_error && (!full_here || service_full);
    if (want == l->polling) continue;
    if (want) {
      // EPOLLEXCLUSIVE: of the processes polling a shared listener, one is
      // woken per connection.  It can only be given when adding.
      if (!loop_.add(l->fd.get(), EPOLLIN | EPOLLEXCLUSIVE, l.get())) {
        bvlog(0, LOG_SEV_ERR, "cannot watch a listening socket: %m");
        continue;
      }
    } else {
      loop_.remove(l->fd.get());
    }
    l->polling = want;
  }
  // At the limit while others have room: look again shortly, since their
  // sessions changing tells this process nothing.
  if (full_here && !service_full && !shutting_down_ && !recheck_armed_) {
    recheck_armed_ = true;
    loop_.after(kRecheckMs, [this] {
      recheck_armed_ = false;
      update_polling();
    });
  }
}

void PopServer::begin_shutdown() {
  if (shutting_down_) return;
  shutting_down_ = true;
  shutdown_started_ = Reactor::now_ms();
  bvlog(0, LOG_SEV_WARNING, "Corvane POP3 %s shutting down", startup_.version.c_str());
  update_polling();
  // The listener objects stay: this may run from inside one of them.
  for (auto& l : listeners_) l->fd.reset();
  std::vector<uint64_t> ids;
  for (auto& [id, s] : sessions_) ids.push_back(id);
  for (uint64_t id : ids) with_session(id, [](Session& s) { s.server_stopping(); });
  if (supervisor_) supervisor_->stop();
  shutdown_tick();
}

void PopServer::shutdown_tick() {
  int64_t elapsed = Reactor::now_ms() - shutdown_started_;
  if (elapsed >= kSessionDrainMs && live_sessions_ > 0) {
    std::vector<uint64_t> ids;
    for (auto& [id, s] : sessions_) ids.push_back(id);
    for (uint64_t id : ids) with_session(id, [](Session& s) { s.abort(); });
  }
  bool children_done = !supervisor_ || supervisor_->children() == 0;
  if (live_sessions_ == 0 && pool_.in_flight() == 0 && children_done) {
    loop_.stop();
    return;
  }
  if (elapsed >= kShutdownBoundMs) {
    if (pool_.in_flight() > 0)
      bvlog(0, LOG_SEV_ERR, "stopping with %u blocking operations still running", pool_.in_flight());
    if (!children_done) supervisor_->kill_remaining();
    loop_.stop();
    return;
  }
  loop_.after(kShutdownTickMs, [this] { shutdown_tick(); });
}
