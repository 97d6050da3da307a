// The first process of a POP3 service starts the others and keeps them
// running.
//
// Each extra process is this program started again (fork and exec, so no
// library state crosses the fork) as "orvpopd -0 [-d 0] [-D 0|1] [-x]",
// with the listening sockets as its descriptors 0 and 1.  A process that
// dies is reaped (SIGCHLD, through the server's signalfd), its counter slot
// released, so its sessions stop counting against the service's capacity,
// and a new one is started after a back-off (1 s doubling to 60 s; a process
// that ran for a minute starts the next one at 1 s again).  Children get
// SIGTERM when the first process dies, so none outlives it.  Runs on the
// first process's event loop.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/counters.h"
#include "net/backoff.h"
#include "net/reactor.h"

// The descriptors NSS passes to children for its shared TLS session cache,
// from the value of SSL_INHERITANCE ("<base64>,<fd>:<protection>..."),
// sorted; they must stay open across the exec.  Empty for null.
std::vector<int> tls_inherited_fds(const char* value);

class Supervisor {
 public:
  // plain_fd / tls_fd: the listening sockets (-1 when absent), borrowed.
  Supervisor(Reactor& loop, SharedCounters* counters, int plain_fd, int tls_fd, bool strict);
  // Starts n processes; logs "Unable to start slave daemons" and stops at
  // the first failure.  The number started.
  unsigned start(unsigned n);
  // SIGCHLD: reaps every child that ended and schedules its replacement.
  void reap();
  // Passes a signal on to every child (SIGHUP).
  void forward(int sig);
  // Stops the children: SIGTERM now; children() reaches 0 as they are
  // reaped.  kill_remaining() sends SIGKILL to those left.
  void stop();
  void kill_remaining();
  size_t children() const { return children_.size(); }

 private:
  pid_t spawn();

  Reactor& loop_;
  SharedCounters* counters_;
  int plain_fd_, tls_fd_;
  bool strict_;
  bool stopping_ = false;
  std::map<pid_t, int64_t> children_;  // pid -> start time (ms)
  Backoff restart_{1000, 60000};
};
