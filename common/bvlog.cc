#include "common/bvlog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "common/config.h"
#include "common/fileio.h"
#include "common/signals.h"

namespace {

enum class Target { stderr_, file, syslog_ };

struct LogState {
  std::mutex mu;
  Target target = Target::stderr_;
  int fd = -1;  // the log file with Target::file
  std::string path;  // its name, for reopening after a rotation
  int min_severity = LOG_SEV_DEBUG;
  std::string progname = "corvane";
};

LogState& state() {
  static LogState s;
  return s;
}

const char* severity_name(int sev) {
  static const char* const names[] = {"emerg", "alert", "crit", "error", "warning", "notice", "info", "debug"};
  return names[sev & 7];
}

// Replaces each %m by the text of err; %% stays as it is for vsnprintf.
std::string expand_m(const char* format, int err) {
  std::string out;
  for (const char* p = format; *p; ++p) {
    if (p[0] == '%' && p[1] == '%') {
      out += "%%";
      ++p;
    } else if (p[0] == '%' && p[1] == 'm') {
      for (const char* t = strerror(err); *t; ++t) {
        if (*t == '%') out += '%';
        out += *t;
      }
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

// Set from signal handlers: the next line (or bvlog_reopen_pending) opens
// the log file again by name.
std::atomic<bool> g_reopen{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void on_reopen_signal(int) { g_reopen.store(true, std::memory_order_relaxed); }

int open_log(const std::string& path) {
  return open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640);
}

void close_locked(LogState& s) {
  if (s.fd >= 0) close(s.fd);
  if (s.target == Target::syslog_) closelog();
  s.fd = -1;
  s.path.clear();
  s.target = Target::stderr_;
}

// Swaps the log file for a fresh open of its name (the old one was renamed
// by a rotation).  Lines are written under the same lock, so each goes
// whole to the old file or to the new one.  When the name cannot be opened
// the old file is kept: a line in a renamed file beats a lost one.
void reopen_locked(LogState& s) {
  g_reopen.store(false, std::memory_order_relaxed);
  if (s.target != Target::file || s.path.empty()) return;
  int fd = open_log(s.path);
  if (fd < 0) return;
  close(s.fd);
  s.fd = fd;
}

}  // namespace

void bvlogv(int, int priority, const char* format, va_list ap) {
  int saved_errno = errno;
  LogState& s = state();
  int sev = bvlog_severity(priority < 0 ? 0 : priority);
  if (sev > s.min_severity) {
    errno = saved_errno;
    return;
  }
  std::string fmt = expand_m(format, saved_errno);
  char msg[4096];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  int n = vsnprintf(msg, sizeof msg, fmt.c_str(), ap);
#pragma GCC diagnostic pop
  if (n < 0) snprintf(msg, sizeof msg, "(unformattable log line: %s)", format);
  // One line per call: a line break inside the text would let one message
  // pose as another.
  for (char* c = msg; *c; ++c) {
    if (*c == '\n' || *c == '\r') *c = ' ';
  }

  std::lock_guard lk(s.mu);
  if (g_reopen.load(std::memory_order_relaxed)) reopen_locked(s);
  if (s.target == Target::syslog_) {
    syslog(sev, "%s", msg);
  } else {
    char stamp[32];
    time_t now = time(nullptr);
    struct tm tm;
    gmtime_r(&now, &tm);
    strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm);
    char line[4300];
    int len = snprintf(line, sizeof line, "%s %s[%ld] %s: %s\n", stamp, s.progname.c_str(), static_cast<long>(getpid()),
                       severity_name(sev), msg);
    if (len > static_cast<int>(sizeof line) - 1) {
      len = sizeof line - 1;
      line[len - 1] = '\n';
    }
    int fd = s.target == Target::file ? s.fd : STDERR_FILENO;
    // Logging must not fail the caller; a lost log line is all that can go wrong.
    (void)!write(fd, line, len);
  }
  errno = saved_errno;
}

void bvlog(int reserved, int priority, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  bvlogv(reserved, priority, format, ap);
  va_end(ap);
}

int configmsg_initlog(const char* facility, const char* progname) {
  config_cache* cfg = config_getdefaultcache();
  std::string target = config_get_string(cfg, "local.log.target", "file");
  int level = config_get_int(cfg, "local.log.level", LOG_SEV_INFO);
  if (!facility || !*facility) facility = "default";

  LogState& s = state();
  std::lock_guard lk(s.mu);
  close_locked(s);
  if (progname && *progname) {
    const char* slash = strrchr(progname, '/');
    s.progname = slash ? slash + 1 : progname;
  }
  s.min_severity = level < 0 ? 0 : level > 7 ? 7 : level;
  if (target == "stderr") return 0;
  if (target == "syslog") {
    openlog(s.progname.c_str(), LOG_PID, LOG_MAIL);
    s.target = Target::syslog_;
    return 0;
  }
  if (target != "file") {
    fprintf(stderr, "local.log.target must be file, syslog or stderr, not \"%s\"\n", target.c_str());
    return EINVAL;
  }
  std::string dir = config_get_string(cfg, "local.logdir", "");
  if (dir.empty()) {
    const char* store = configmsg_get_storedir();
    if (!store) return 0;  // nowhere to put a file: keep standard error
    dir = std::string(store) + "/log";
  }
  if (make_dirs(dir.c_str(), 0755) != 0) {
    int e = errno;
    fprintf(stderr, "Cannot create log directory %s: %s\n", dir.c_str(), strerror(e));
    return e;
  }
  std::string path = dir + "/" + facility + ".log";
  int fd = open_log(path);
  if (fd < 0) {
    int e = errno;
    fprintf(stderr, "Cannot open log file %s: %s\n", path.c_str(), strerror(e));
    return e;
  }
  s.fd = fd;
  s.path = path;
  s.target = Target::file;
  return 0;
}

void bvlog_close() {
  LogState& s = state();
  std::lock_guard lk(s.mu);
  close_locked(s);
}

void bvlog_to_stderr(int min_severity) {
  LogState& s = state();
  std::lock_guard lk(s.mu);
  close_locked(s);
  s.min_severity = min_severity;
}

void bvlog_reopen() {
  LogState& s = state();
  std::lock_guard lk(s.mu);
  reopen_locked(s);
}

void bvlog_reopen_pending() {
  if (g_reopen.load(std::memory_order_relaxed)) bvlog_reopen();
}

int bvlog_reopen_on_signal(int sig) { return install_signal_handler(sig, on_reopen_signal); }
