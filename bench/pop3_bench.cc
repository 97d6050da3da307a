// Session rate and idle footprint of a running POP3 server.
//
// Session mode: CONNS connections at a time (spread over THREADS threads,
// each with its own epoll loop; all sockets non-blocking), each one in a
// loop: connect, read the greeting, CAPA and its list (unless -n), QUIT and
// its +OK, wait for the server to close, close, start again, for SECONDS.
// Reports sessions/s, the latency of a whole session (p50, p99) and, for
// every server process given with -P and their descendants, the CPU time
// they used per session (from /proc/<pid>/stat, so the client's own CPU is
// not counted).
//
// Idle mode (-i N): opens N sessions, reads every greeting, and reports the
// server's resident memory per open session (the VmRSS of the same
// processes, after minus before), then closes them.  The caller raises the
// descriptor limit (this program raises its soft limit to the hard one).
//
// Run: pop3_bench -p PORT [-a ADDR] [-c CONNS] [-j THREADS] [-t SECONDS]
//                 [-n] [-P PID]... [-i N] [--csv FILE]
// Prints one table row (and appends it as a CSV line to FILE); exit status
// 1 when any session failed (a refused or reset connection, an unexpected
// answer).  CSV columns: "sessions", work, clients, sessions, seconds,
// sessions/s, p50 ms, p99 ms, server CPU us/session, failures; or "idle",
// sessions, RSS KiB before, after, KiB per session.
#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  sockaddr_in addr{};
  int conns = 1;
  int threads = 1;
  double seconds = 5;
  bool capa = true;
  std::vector<pid_t> pids;
  long idle = 0;
  std::string csv;  // file the CSV line is appended to, or ""
};

// Appends line to the CSV file, when one was named.
void write_csv(const Options& o, const std::string& line) {
  if (o.csv.empty()) return;
  std::ofstream f(o.csv, std::ios::app);
  f << line << '\n';
  if (!f) fprintf(stderr, "pop3_bench: cannot write %s\n", o.csv.c_str());
}

// -- server processes, from /proc --

// pid's parent and its user+system CPU ticks; false when it is gone.
bool proc_stat(pid_t pid, pid_t* ppid, unsigned long long* ticks) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string s;
  if (!std::getline(f, s)) return false;
  size_t close = s.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream rest(s.substr(close + 2));
  std::string field;
  std::vector<std::string> fields;
  while (rest >> field && fields.size() < 13) fields.push_back(field);
  if (fields.size() < 13 || fields[0] == "Z") return false;
  *ppid = static_cast<pid_t>(std::stol(fields[1]));
  *ticks = std::stoull(fields[11]) + std::stoull(fields[12]);
  return true;
}

// The given pids and all their live descendants.
std::set<pid_t> server_processes(const std::vector<pid_t>& roots) {
  std::set<pid_t> out(roots.begin(), roots.end());
  std::vector<std::pair<pid_t, pid_t>> all;  // (pid, parent)
  if (DIR* d = opendir("/proc")) {
    while (dirent* e = readdir(d)) {
      char* end;
      long pid = strtol(e->d_name, &end, 10);
      pid_t ppid;
      unsigned long long ticks;
      if (*end == '\0' && pid > 0 && proc_stat(static_cast<pid_t>(pid), &ppid, &ticks)) {
        all.emplace_back(static_cast<pid_t>(pid), ppid);
      }
    }
    closedir(d);
  }
  for (bool grew = true; grew;) {
    grew = false;
    for (auto [pid, ppid] : all) {
      if (out.count(ppid) && !out.count(pid)) grew = out.insert(pid).second;
    }
  }
  return out;
}

double server_cpu_seconds(const std::vector<pid_t>& roots) {
  unsigned long long total = 0;
  for (pid_t pid : server_processes(roots)) {
    pid_t ppid;
    unsigned long long ticks;
    if (proc_stat(pid, &ppid, &ticks)) total += ticks;
  }
  return static_cast<double>(total) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long server_rss_kb(const std::vector<pid_t>& roots) {
  long total = 0;
  for (pid_t pid : server_processes(roots)) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(f, line);) {
      if (line.rfind("VmRSS:", 0) == 0) total += std::stol(line.substr(6));
    }
  }
  return total;
}

// -- one session --

enum class Step { kConnect, kGreeting, kCapa, kQuit, kClose };

struct Session {
  int fd = -1;
  Step step = Step::kConnect;
  std::string in;
  Clock::time_point start;
};

struct Result {
  uint64_t sessions = 0;
  uint64_t failures = 0;
  std::string first_failure;
  std::vector<uint32_t> latency_us;
};

// Opens a non-blocking socket and starts connecting; -1 on failure.
int start_connect(const sockaddr_in& addr) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0 && errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  return fd;
}

bool send_all(int fd, const char* text) {
  size_t len = strlen(text);
  // Commands are a few bytes on an idle socket: one send takes them.
  return send(fd, text, len, MSG_NOSIGNAL) == static_cast<ssize_t>(len);
}

bool ends_with(const std::string& s, const char* tail) {
  size_t n = strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

class Loop {
 public:
  Loop(const Options& o, int conns) : o_(o), conns_(conns) {}

  Result run(Clock::time_point until) {
    ep_ = epoll_create1(EPOLL_CLOEXEC);
    sessions_.resize(static_cast<size_t>(conns_));
    for (auto& s : sessions_) begin(&s);
    epoll_event ev[64];
    Clock::time_point drain_until = until + std::chrono::seconds(5);
    while (active_ > 0) {
      Clock::time_point now = Clock::now();
      if (now >= until) stopping_ = true;
      if (now >= drain_until) break;
      int n = epoll_wait(ep_, ev, 64, 100);
      for (int i = 0; i < n; ++i) step(static_cast<Session*>(ev[i].data.ptr), ev[i].events);
    }
    for (auto& s : sessions_) {
      if (s.fd >= 0) close(s.fd);
    }
    close(ep_);
    return std::move(r_);
  }

 private:
  void begin(Session* s) {
    if (stopping_) return;
    s->fd = start_connect(o_.addr);
    if (s->fd < 0) {
      fail(s, std::string("connect: ") + strerror(errno));
      return;
    }
    s->step = Step::kConnect;
    s->in.clear();
    s->start = Clock::now();
    epoll_event ev{};
    ev.events = EPOLLOUT | EPOLLIN;
    ev.data.ptr = s;
    epoll_ctl(ep_, EPOLL_CTL_ADD, s->fd, &ev);
    ++active_;
  }

  void end(Session* s) {
    close(s->fd);
    s->fd = -1;
    --active_;
  }

  // Counts a failed session and drops it (it is not started again); false.
  bool fail(Session* s, const std::string& why) {
    if (r_.failures++ == 0) r_.first_failure = why;
    if (s->fd >= 0) end(s);
    return false;
  }

  void finish(Session* s) {
    ++r_.sessions;
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - s->start).count();
    r_.latency_us.push_back(static_cast<uint32_t>(std::min<int64_t>(us, UINT32_MAX)));
    end(s);
    begin(s);
  }

  void step(Session* s, uint32_t events) {
    if (s->step == Step::kConnect) {
      int err = 0;
      socklen_t len = sizeof err;
      getsockopt(s->fd, SOL_SOCKET, SO_ERROR, &err, &len);
      if (err != 0) {
        fail(s, std::string("connect: ") + strerror(err));
        return;
      }
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.ptr = s;
      epoll_ctl(ep_, EPOLL_CTL_MOD, s->fd, &ev);
      s->step = Step::kGreeting;
      if (!(events & EPOLLIN)) return;
    }
    char buf[4096];
    for (;;) {
      ssize_t n = recv(s->fd, buf, sizeof buf, 0);
      if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        if (errno == EINTR) continue;
        fail(s, std::string("read: ") + strerror(errno));
        return;
      }
      if (n == 0) {
        if (s->step == Step::kClose) {
          finish(s);
        } else {
          fail(s, "closed by the server after \"" + s->in.substr(0, 80) + "\"");
        }
        return;
      }
      s->in.append(buf, static_cast<size_t>(n));
      if (!advance(s)) return;
    }
  }

  // Moves on when the answer awaited is complete; false when the session
  // failed.
  bool advance(Session* s) {
    switch (s->step) {
      case Step::kGreeting:
        if (!ends_with(s->in, "\r\n")) return true;
        if (s->in.rfind("+OK", 0) != 0) return fail(s, "greeting: " + s->in.substr(0, 80));
        s->in.clear();
        s->step = o_.capa ? Step::kCapa : Step::kQuit;
        return send_all(s->fd, o_.capa ? "CAPA\r\n" : "QUIT\r\n") || fail(s, "write");
      case Step::kCapa:
        if (!ends_with(s->in, "\r\n.\r\n")) return true;
        if (s->in.rfind("+OK", 0) != 0) return fail(s, "CAPA: " + s->in.substr(0, 80));
        s->in.clear();
        s->step = Step::kQuit;
        return send_all(s->fd, "QUIT\r\n") || fail(s, "write");
      case Step::kQuit:
        if (!ends_with(s->in, "\r\n")) return true;
        if (s->in != "+OK\r\n") return fail(s, "QUIT: " + s->in.substr(0, 80));
        s->in.clear();
        s->step = Step::kClose;
        return true;
      case Step::kClose:
        return fail(s, "data after QUIT");
      case Step::kConnect:
        break;
    }
    return true;
  }

  const Options& o_;
  int conns_;
  int ep_ = -1;
  std::vector<Session> sessions_;
  int active_ = 0;
  bool stopping_ = false;
  Result r_;
};

double percentile_ms(std::vector<uint32_t>* v, double p) {
  if (v->empty()) return 0;
  size_t k = std::min(v->size() - 1, static_cast<size_t>(p * static_cast<double>(v->size())));
  std::nth_element(v->begin(), v->begin() + static_cast<long>(k), v->end());
  return (*v)[k] / 1000.0;
}

int run_sessions(const Options& o) {
  double cpu0 = server_cpu_seconds(o.pids);
  Clock::time_point t0 = Clock::now();
  Clock::time_point until = t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.seconds));
  int threads = std::max(1, std::min(o.threads, o.conns));
  std::vector<Result> results(static_cast<size_t>(threads));
  std::vector<std::thread> workers;
  for (int i = 0; i < threads; ++i) {
    int share = o.conns / threads + (i < o.conns % threads ? 1 : 0);
    workers.emplace_back([&, i, share] { results[static_cast<size_t>(i)] = Loop(o, share).run(until); });
  }
  for (auto& w : workers) w.join();
  double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
  double cpu = server_cpu_seconds(o.pids) - cpu0;
  Result all;
  for (auto& r : results) {
    all.sessions += r.sessions;
    if (r.failures && all.failures == 0) all.first_failure = r.first_failure;
    all.failures += r.failures;
    all.latency_us.insert(all.latency_us.end(), r.latency_us.begin(), r.latency_us.end());
  }
  double rate = static_cast<double>(all.sessions) / elapsed;
  double p50 = percentile_ms(&all.latency_us, 0.50);
  double p99 = percentile_ms(&all.latency_us, 0.99);
  double cpu_us = all.sessions && !o.pids.empty() ? cpu * 1e6 / static_cast<double>(all.sessions) : 0;
  const char* work = o.capa ? "greeting+CAPA+QUIT" : "greeting+QUIT";
  char line[256];
  snprintf(line, sizeof line, "sessions,%s,%d,%llu,%.2f,%.0f,%.3f,%.3f,%.1f,%llu", work, o.conns,
           static_cast<unsigned long long>(all.sessions), elapsed, rate, p50, p99, cpu_us,
           static_cast<unsigned long long>(all.failures));
  write_csv(o, line);
  printf("%-20s %6d %9llu %8.0f %8.3f %8.3f %10.1f %8llu\n", work, o.conns,
         static_cast<unsigned long long>(all.sessions), rate, p50, p99, cpu_us,
         static_cast<unsigned long long>(all.failures));
  if (all.failures) {
    fprintf(stderr, "pop3_bench: %llu failed sessions; first: %s\n", static_cast<unsigned long long>(all.failures),
            all.first_failure.c_str());
    return 1;
  }
  return 0;
}

// Reads one greeting on each blocking socket in turn.
int run_idle(const Options& o) {
  long before = server_rss_kb(o.pids);
  std::vector<int> fds;
  int status = 0;
  for (long i = 0; i < o.idle; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval tv{30, 0};
    if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&o.addr), sizeof o.addr) < 0) {
      fprintf(stderr, "pop3_bench: session %ld: %s\n", i + 1, strerror(errno));
      if (fd >= 0) close(fd);
      status = 1;
      break;
    }
    fds.push_back(fd);
    std::string line;
    char c;
    while (line.size() < 1024 && recv(fd, &c, 1, 0) == 1) {
      line += c;
      if (c == '\n') break;
    }
    if (line.rfind("+OK", 0) != 0) {
      fprintf(stderr, "pop3_bench: session %ld greeted with \"%s\"\n", i + 1, line.c_str());
      status = 1;
      break;
    }
  }
  long after = server_rss_kb(o.pids);
  double per = fds.empty() ? 0 : static_cast<double>(after - before) / static_cast<double>(fds.size());
  char line[128];
  snprintf(line, sizeof line, "idle,%zu,%ld,%ld,%.2f", fds.size(), before, after, per);
  write_csv(o, line);
  printf("idle sessions %zu: server RSS %ld KiB before, %ld KiB after, %.2f KiB per session\n", fds.size(), before,
         after, per);
  for (int fd : fds) close(fd);
  return status;
}

[[noreturn]] void usage() {
  fprintf(stderr,
          "usage: pop3_bench -p PORT [-a ADDR] [-c CONNS] [-j THREADS] [-t SECONDS] [-n] [-P PID]... "
          "[-i N] [--csv FILE]\n");
  exit(64);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  o.addr.sin_family = AF_INET;
  o.addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool have_port = false;
  static const option longs[] = {{"csv", required_argument, nullptr, 'C'}, {"help", no_argument, nullptr, 'h'}, {}};
  for (int c; (c = getopt_long(argc, argv, "p:a:c:j:t:nP:i:h", longs, nullptr)) != -1;) {
    switch (c) {
      case 'p':
        o.addr.sin_port = htons(static_cast<uint16_t>(atoi(optarg)));
        have_port = true;
        break;
      case 'a':
        if (inet_pton(AF_INET, optarg, &o.addr.sin_addr) != 1) usage();
        break;
      case 'c':
        o.conns = atoi(optarg);
        break;
      case 'j':
        o.threads = atoi(optarg);
        break;
      case 't':
        o.seconds = atof(optarg);
        break;
      case 'n':
        o.capa = false;
        break;
      case 'P':
        o.pids.push_back(static_cast<pid_t>(atoi(optarg)));
        break;
      case 'i':
        o.idle = atol(optarg);
        break;
      case 'C':
        o.csv = optarg;
        break;
      default:
        usage();
    }
  }
  if (!have_port || o.conns < 1 || o.seconds <= 0 || o.idle < 0) usage();
  rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  if (o.idle > 0) return run_idle(o);
  return run_sessions(o);
}
