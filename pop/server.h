// The serving side of one POP3 server process: listeners, accept, the
// session manager, admission counts, signals, refresh and shutdown.
//
// Everything here runs on the process's event loop.  Signals arrive
// through a signalfd (the caller blocks them before any thread starts):
// SIGTERM and SIGINT stop the service, SIGHUP refreshes the settings and
// reopens the log file, SIGUSR1 only reopens the log (both are passed on to
// the other processes by the first one), SIGCHLD lets the supervisor reap.  A refresh builds a new settings snapshot through the
// caller's reload function and swaps it in; sessions read the current
// snapshot whenever they act, so a refresh takes effect at their next step.
//
// Accepting: listeners are polled with EPOLLEXCLUSIVE, so one process is
// woken per connection.  A process with as many sessions as
// service.pop.maxsessions stops polling while another process has room
// (checked again every 200 ms), and polls again (to accept and refuse)
// when the whole service is full.  A failed accept stops polling for a
// back-off delay (10 ms doubling to 1 s) and is logged at most once a
// second, so descriptor exhaustion never makes the loop spin.
//
// Stopping: every session gets "-ERR Server shutting down" and ends, work
// on the pool is waited for (bounded), the other processes are stopped
// (bounded, then killed), and run() returns.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/counters.h"
#include "common/unique_fd.h"
#include "net/backoff.h"
#include "net/pool.h"
#include "net/reactor.h"
#include "pop/settings.h"

class Session;
struct saslglue_ctx;
class Supervisor;

class PopServer {
 public:
  using Reload = std::function<std::shared_ptr<const PopSettings>()>;

  // counters may be null (the service then runs without shared counts);
  // slot is this process's counter slot.
  PopServer(const PopStartup& startup, std::shared_ptr<const PopSettings> settings, Reactor& loop, WorkPool& pool,
            SharedCounters* counters, int slot, Reload reload);
  ~PopServer();

  // Takes a listening socket (made non-blocking here).
  void add_listener(UniqueFd fd, bool tls_port);
  // The signalfd for SIGTERM, SIGINT, SIGHUP, SIGUSR1 and SIGCHLD; false with errno.
  bool watch_signals();
  void set_supervisor(Supervisor* sup) { supervisor_ = sup; }
  void set_tls_available(bool on) { tls_available_ = on; }
  // The process's SASL set-up (borrowed; null: no login is possible).
  void set_sasl(saslglue_ctx* ctx) { sasl_ = ctx; }

  // Runs until the service has stopped.
  void run();
  void begin_shutdown();
  void refresh();

  // For sessions.
  const std::shared_ptr<const PopSettings>& settings() const { return settings_; }
  const PopStartup& startup() const { return startup_; }
  Reactor& loop() { return loop_; }
  WorkPool& pool() { return pool_; }
  bool shutting_down() const { return shutting_down_; }
  bool tls_available() const { return tls_available_; }
  saslglue_ctx* sasl() const { return sasl_; }
  // Counts a completed (good) or failed login.
  void count_login(bool good);
  uint64_t next_challenge_counter() { return ++challenges_; }
  // Counts an admitted session; true when the service is over capacity.
  bool count_admitted();
  void count_ended();
  void count_failed_connection();
  bool ip_acquire(const ClientAddr& addr, unsigned limit);
  void ip_release(const ClientAddr& addr);
  // Runs fn on the session with this id if it still exists.
  void with_session(uint64_t id, const std::function<void(Session&)>& fn);
  // A session has ended: it is freed once no event can name it.
  void session_ended(uint64_t id);

 private:
  class Listener;
  class SignalWatch;
  void accept_from(Listener& l);
  void update_polling();
  void on_signal(int sig);
  void shutdown_tick();

  PopStartup startup_;
  std::shared_ptr<const PopSettings> settings_;
  Reactor& loop_;
  WorkPool& pool_;
  SharedCounters* counters_;
  int slot_;
  Reload reload_;
  Supervisor* supervisor_ = nullptr;
  bool tls_available_ = false;
  saslglue_ctx* sasl_ = nullptr;
  std::vector<std::unique_ptr<Listener>> listeners_;
  std::unique_ptr<SignalWatch> signals_;
  std::unordered_map<uint64_t, std::unique_ptr<Session>> sessions_;
  size_t live_sessions_ = 0;  // sessions not yet ended
  size_t live_admitted_ = 0;  // of those, the ones counted at admission
  uint64_t next_id_ = 1;
  uint64_t challenges_ = 0;
  bool shutting_down_ = false;
  bool single_done_ = false;  // -1: the one session was accepted
  int64_t shutdown_started_ = 0;
  bool recheck_armed_ = false;
  LogLimiter accept_log_{1000};
};
