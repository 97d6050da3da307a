#include "pop/supervisor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/bvlog.h"

std::vector<int> tls_inherited_fds(const char* v) {
  std::vector<int> fds;
  if (v == nullptr) return fds;
  for (const char* p = v; *p;) {
    if (*p >= '0' && *p <= '9' && (p == v || p[-1] == ',' || p[-1] == ' ')) {
      char* end = nullptr;
      long fd = strtol(p, &end, 10);
      if (*end == ':' && fd >= 0 && fd < (1L << 20)) fds.push_back(static_cast<int>(fd));
      p = end;
      continue;
    }
    ++p;
  }
  std::sort(fds.begin(), fds.end());
  return fds;
}

Supervisor::Supervisor(Reactor& loop, SharedCounters* counters, int plain_fd, int tls_fd, bool strict)
    : loop_(loop), counters_(counters), plain_fd_(plain_fd), tls_fd_(tls_fd), strict_(strict) {}

pid_t Supervisor::spawn() {
  // Everything the child needs is prepared before fork: between fork and
  // exec only async-signal-safe calls are allowed.
  std::vector<std::string> args = {"orvpopd", "-0"};
  int plain_target = -1, tls_target = -1;
  if (plain_fd_ >= 0) {
    plain_target = 0;
    args.insert(args.end(), {"-d", "0"});
  }
  if (tls_fd_ >= 0) {
    tls_target = plain_fd_ >= 0 ? 1 : 0;
    args.insert(args.end(), {"-D", std::to_string(tls_target)});
  }
  if (strict_) args.push_back("-x");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t parent = getpid();
  std::vector<int> keep = tls_inherited_fds(getenv("SSL_INHERITANCE"));

  pid_t pid = fork();
  if (pid != 0) return pid;
  // Child.  The control signals stay blocked through exec: the new process
  // takes them through its signalfd, and a SIGHUP passed on before it got
  // there would otherwise kill it (their default action).
  sigset_t ctl;
  sigemptyset(&ctl);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGCHLD}) sigaddset(&ctl, sig);
  sigprocmask(SIG_SETMASK, &ctl, nullptr);
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) _exit(0);
  // Move the sockets out of the way first: either may be descriptor 0 or 1.
  int p = plain_fd_ >= 0 ? fcntl(plain_fd_, F_DUPFD, 10) : -1;
  int t = tls_fd_ >= 0 ? fcntl(tls_fd_, F_DUPFD, 10) : -1;
  if ((plain_fd_ >= 0 && p < 0) || (tls_fd_ >= 0 && t < 0)) _exit(71);
  if (p >= 0 && dup2(p, plain_target) < 0) _exit(71);
  if (t >= 0 && dup2(t, tls_target) < 0) _exit(71);
  int first_free = (p >= 0 && t >= 0) ? 2 : (p >= 0 || t >= 0 ? 1 : 0);
  if (first_free < 2) {
    // Keep 0 and 1 open (on /dev/null) when no socket takes them.
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      for (int fd = first_free; fd < 2; ++fd) dup2(null, fd);
      if (null > 2) close(null);
    }
  }
  // Nothing else of this process may leak into the child but the TLS
  // session cache's shared memory, which the child attaches to.
  unsigned from = 3;
  for (int fd : keep) {
    if (fd < 3) continue;
    if (static_cast<unsigned>(fd) > from) close_range(from, static_cast<unsigned>(fd) - 1, 0);
    from = static_cast<unsigned>(fd) + 1;
  }
  close_range(from, ~0U, 0);
  execv("/proc/self/exe", argv.data());
  _exit(127);
}

unsigned Supervisor::start(unsigned n) {
  unsigned started = 0;
  for (; started < n; ++started) {
    pid_t pid = spawn();
    if (pid < 0) {
      bvlog(0, LOG_SEV_CRIT, "Unable to start slave daemons");
      break;
    }
    children_[pid] = Reactor::now_ms();
  }
  return started;
}

void Supervisor::reap() {
  for (;;) {
    int status = 0;
    pid_t pid = waitpid(-1, &status, WNOHANG);
    if (pid <= 0) return;
    auto it = children_.find(pid);
    if (it == children_.end()) continue;
    int64_t lived = Reactor::now_ms() - it->second;
    children_.erase(it);
    // Its sessions are gone with it: they no longer count against capacity.
    if (counters_) counters_->release_pid(pid);
    if (stopping_) continue;
    char how[64];
    if (WIFSIGNALED(status))
      snprintf(how, sizeof how, "killed by signal %d", WTERMSIG(status));
    else
      snprintf(how, sizeof how, "exit status %d", WEXITSTATUS(status));
    if (lived >= 60000) restart_.succeeded();
    int64_t delay = restart_.failed();
    bvlog(0, LOG_SEV_ERR, "POP3 process %ld ended (%s); starting another in %lld ms", static_cast<long>(pid), how,
          static_cast<long long>(delay));
    loop_.after(delay, [this] {
      if (stopping_) return;
      pid_t p = spawn();
      if (p < 0) {
        bvlog(0, LOG_SEV_CRIT, "Unable to start slave daemons");
        return;
      }
      children_[p] = Reactor::now_ms();
    });
  }
}

void Supervisor::forward(int sig) {
  for (auto& [pid, started] : children_) kill(pid, sig);
}

void Supervisor::stop() {
  stopping_ = true;
  forward(SIGTERM);
}

void Supervisor::kill_remaining() {
  for (auto& [pid, started] : children_) {
    bvlog(0, LOG_SEV_ERR, "POP3 process %ld did not stop; killing it", static_cast<long>(pid));
    kill(pid, SIGKILL);
  }
}
