// orvadm stats: the POP3 server's shared counters, for people and for a
// metrics collector.
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <ctime>
#include <string>

#include "common/counters.h"
#include "tools/admin.h"

namespace {

struct Metric {
  PopCounter counter;
  const char* name;
  const char* type;
  const char* help;
};

// The counters named as a metrics collector expects; those that only grow
// while the service runs are counters (they restart from 0 with the
// service, which collectors take as a reset).
const Metric kMetrics[] = {
    {kCurrentStartTime, "corvane_pop_start_time_seconds", "gauge",
     "Time the POP3 service started, in seconds since the epoch."},
    {kLastConnectionTime, "corvane_pop_last_connection_time_seconds", "gauge",
     "Time the last POP3 connection was admitted, in seconds since the epoch (0: none since the start)."},
    {kNumCurrentConnections, "corvane_pop_current_connections", "gauge",
     "POP3 sessions open now in all server processes."},
    {kNumConnections, "corvane_pop_connections_total", "counter", "POP3 connections admitted since the start."},
    {kMaxConnections, "corvane_pop_max_connections", "gauge", "Most POP3 sessions open at once, kept across restarts."},
    {kNumFailedConnections, "corvane_pop_failed_connections_total", "counter",
     "Failed accepts, refused sessions and sessions ended by a network error since the start."},
    {kNumFailedLogins, "corvane_pop_failed_logins_total", "counter",
     "Failed POP3 authentications and logins since the start."},
    {kNumGoodLogins, "corvane_pop_logins_total", "counter", "Completed POP3 logins since the start."},
};
static_assert(sizeof kMetrics / sizeof kMetrics[0] == kPopCounterCount);

bool is_time(int counter) { return counter == kCurrentStartTime || counter == kLastConnectionTime; }

std::string utc(int64_t t) {
  if (t == 0) return "never";
  const time_t tt = static_cast<time_t>(t);
  struct tm tm;
  char buf[64];
  if (!gmtime_r(&tt, &tm) || strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm) == 0) return "?";
  return buf;
}

void stats_usage(FILE* f) {
  fprintf(f,
          "Usage: orvadm stats pop [--prometheus]\n"
          "Prints the POP3 server's counters, one \"name value\" line each (times in seconds\n"
          "since the epoch, then in UTC).  With --prometheus, prints them in the Prometheus\n"
          "text format for a node exporter's textfile collector (write to a temporary file\n"
          "in its directory, then rename it to NAME.prom).\n");
}

}  // namespace

std::string adm_stats_format(const PopStatSnapshot& s, bool prometheus) {
  std::string text;
  char line[512];
  if (!prometheus) {
    for (int k = 0; k < kPopCounterCount; ++k) {
      snprintf(line, sizeof line, "%s %" PRId64, kPopCounterNames[k], s.value[k]);
      text += line;
      if (is_time(k)) text += " (" + utc(s.value[k]) + ")";
      text += '\n';
    }
    text += "processes " + std::to_string(s.live_slots) + "\n";
    return text;
  }
  for (const Metric& m : kMetrics) {
    snprintf(line, sizeof line, "# HELP %s %s\n# TYPE %s %s\n%s %" PRId64 "\n", m.name, m.help, m.name, m.type, m.name,
             s.value[m.counter]);
    text += line;
  }
  text +=
      "# HELP corvane_pop_processes POP3 server processes counted now.\n"
      "# TYPE corvane_pop_processes gauge\n"
      "corvane_pop_processes " +
      std::to_string(s.live_slots) + "\n";
  return text;
}

int adm_stats(int argc, char** argv, FILE* out, FILE* err) {
  bool prometheus = false;
  if (argc >= 2 && strcmp(argv[1], "--help") == 0) {
    stats_usage(out);
    return 0;
  }
  if (argc == 3 && strcmp(argv[2], "--prometheus") == 0) {
    prometheus = true;
  } else if (argc != 2) {
    stats_usage(err);
    return 64;
  }
  if (strcmp(argv[1], "pop") != 0) {
    fprintf(err, "orvadm: no counters for service \"%s\" (known: pop)\n", argv[1]);
    return 64;
  }
  const std::string path = popstat_path();
  if (path.empty()) {
    fprintf(err, "The configuration sets no store directory (local.store.dir)\n");
    return 78;
  }
  std::string why;
  auto counters = SharedCounters::open_readonly(path, &why);
  if (!counters) {
    const int e = errno;
    if (e == ENOENT) {
      fprintf(err, "orvadm: no POP3 counters in %s: the POP3 server has not run on this instance\n", path.c_str());
      return 69;
    }
    fprintf(err, "orvadm: cannot read the POP3 counters: %s\n", why.c_str());
    return e == EACCES || e == EPERM ? 77 : 65;
  }
  fputs(adm_stats_format(counters->snapshot(), prometheus).c_str(), out);
  return 0;
}
