// The serving side of orvlmtpd: listeners, LMTP sessions, signals and
// shutdown, on the net layer's event loop and blocking-work pool.
//
// Everything here runs on the event loop's thread; recipient checks and
// deliveries run on the pool and hand their results back to the loop.  A
// session never blocks on its client: it reads what is there, and while a
// piece of its work is on the pool it stops reading (the client's
// pipelined commands wait in the socket), and while its replies are not
// written it stops reading too, so a client that does not read cannot make
// the server buffer without bound.
//
// Message data is written, as it arrives, to an unnamed file in the spool
// directory (the first partition's message root, so the folder's copy is
// made on the same disk); it has no name, so a session or a process that
// dies leaves nothing behind.  After the final "." the delivery appends it
// to each recipient's folder (store/deliver.h: one file per partition,
// hard links for the others) and only then, once the store has made it
// durable, is each recipient's reply sent.  A client that goes away or
// stays silent past the time-out before that loses the message: nothing is
// stored.
//
// Stopping (SIGTERM, SIGINT): the listeners close; a session waiting for a
// command, or in the middle of its data, gets "421" and ends (nothing it
// sent was acknowledged); a session whose delivery runs ends after sending
// its replies; run() returns when every session ended and the pool is idle
// (bounded).  SIGHUP re-opens the log.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/unique_fd.h"
#include "lmtp/settings.h"
#include "net/backoff.h"
#include "net/pool.h"
#include "net/reactor.h"

class LmtpSession;

class LmtpServer {
 public:
  LmtpServer(const LmtpSettings& settings, Reactor& loop, WorkPool& pool);
  ~LmtpServer();

  // Takes a listening socket (made non-blocking here).
  void add_listener(UniqueFd fd);
  // The signalfd for SIGTERM, SIGINT and SIGHUP (blocked by the caller);
  // false with errno.
  bool watch_signals();
  // Runs until the service has stopped.
  void run();
  void begin_shutdown();

  // For sessions.
  const LmtpSettings& settings() const { return settings_; }
  Reactor& loop() { return loop_; }
  WorkPool& pool() { return pool_; }
  bool shutting_down() const { return shutting_down_; }
  // Runs fn on the session with this id if it still lives.
  void with_session(uint64_t id, const std::function<void(LmtpSession&)>& fn);
  void session_ended(uint64_t id);

 private:
  class Listener;
  class SignalWatch;
  void accept_from(Listener& l);
  void set_polling(bool on);
  void shutdown_tick();

  LmtpSettings settings_;
  Reactor& loop_;
  WorkPool& pool_;
  std::vector<std::unique_ptr<Listener>> listeners_;
  std::unique_ptr<SignalWatch> signals_;
  std::unordered_map<uint64_t, std::unique_ptr<LmtpSession>> sessions_;
  size_t live_ = 0;
  uint64_t next_id_ = 1;
  bool shutting_down_ = false;
  int64_t shutdown_started_ = 0;
  LogLimiter accept_log_{1000};
};
