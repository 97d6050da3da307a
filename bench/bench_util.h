// Helpers shared by the benchmark programs (not part of the system): the
// timer they all read, the configuration of a scratch store, and the A/B
// harness that runs a product side and its baseline alternately.
//
// Single-threaded; nothing here reports failure except bench_ab (a
// benchmark whose store does not start says so when it starts it).
#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "common/config.h"
#include "common/test_util.h"

// Seconds from t0 to now on the steady clock.
inline double bench_seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Writes work/orv.conf for a store under work (databases in store/, one
// partition "primary" in p1/, log lines to standard error) and points
// ORV_CONFIG_ENV at it.  synclevel -1 leaves the store's default sync level
// (every file flushed); 0 turns syncing off, for building a store whose
// writing is not measured.  work must exist.
inline void bench_configure(const std::string& work, int synclevel = -1) {
  std::string conf = work + "/orv.conf";
  std::string text = "local.store.dir = " + work + "/store\nlocal.servername = bench\nlocal.log.target = stderr\n" +
                     "store.partition.primary.path = " + work + "/p1\n";
  if (synclevel >= 0) text += "local.store.synclevel = " + std::to_string(synclevel) + "\n";
  write_text_file(conf, text);
  setenv(ORV_CONFIG_ENV, conf.c_str(), 1);
}

// ---- A/B harness ----
//
// A comparison runs side A (the product) and side B (its baseline) in
// alternation, A B A B ..., so that a change in the machine's load (other
// processes sharing the disk and the CPUs) weighs on both alike.  Each
// side's prepare step (wiping its output, syncing earlier writes) runs
// untimed just before its timed step.  Every pair is printed with wall time
// and CPU time (user + system of this process and of the children it
// waited for during the step), then the medians and the ratio A/B of the
// medians.  The number of pairs is BENCH_PAIRS from the environment
// (default 3).

struct BenchSide {
  std::string name;
  std::function<bool()> run;      // the timed work; false when it failed
  std::function<bool()> prepare;  // untimed, before each run; may be empty
};

struct BenchAbResult {
  bool ok = false;
  double a_wall = 0, a_cpu = 0, b_wall = 0, b_cpu = 0;  // medians, seconds
  double wall_ratio() const { return b_wall > 0 ? a_wall / b_wall : 0; }
  double cpu_ratio() const { return b_cpu > 0 ? a_cpu / b_cpu : 0; }
};

inline int bench_pairs() {
  const char* s = getenv("BENCH_PAIRS");
  int n = s ? atoi(s) : 3;
  return n > 0 ? n : 3;
}

inline double bench_cpu_seconds() {
  double t = 0;
  for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    struct rusage ru {};
    getrusage(who, &ru);
    t += static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  }
  return t;
}

inline double bench_median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Runs one side once: prepare, then the timed run; false when either failed.
inline bool bench_side_once(const BenchSide& s, double* wall, double* cpu) {
  if (s.prepare && !s.prepare()) return false;
  double c0 = bench_cpu_seconds();
  auto t0 = std::chrono::steady_clock::now();
  bool ok = s.run();
  *wall = bench_seconds_since(t0);
  *cpu = bench_cpu_seconds() - c0;
  return ok;
}

// The comparison described above, under the title row; prints as it goes.
// The result's ok is false (and the row says FAILED) when any run failed.
inline BenchAbResult bench_ab(const std::string& row, const BenchSide& a, const BenchSide& b,
                              int pairs = bench_pairs()) {
  BenchAbResult res;
  std::vector<double> aw, ac, bw, bc;
  printf("== %s: A = %s, B = %s\n", row.c_str(), a.name.c_str(), b.name.c_str());
  printf("   %-6s %10s %10s %10s %10s\n", "pair", "A wall s", "A cpu s", "B wall s", "B cpu s");
  fflush(stdout);
  bool ok = true;
  for (int p = 1; ok && p <= pairs; p++) {
    double w1 = 0, c1 = 0, w2 = 0, c2 = 0;
    ok = bench_side_once(a, &w1, &c1) && bench_side_once(b, &w2, &c2);
    if (!ok) break;
    aw.push_back(w1), ac.push_back(c1), bw.push_back(w2), bc.push_back(c2);
    printf("   %-6d %10.3f %10.3f %10.3f %10.3f\n", p, w1, c1, w2, c2);
    fflush(stdout);
  }
  if (!ok) {
    printf("   FAILED\n");
    return res;
  }
  res.ok = true;
  res.a_wall = bench_median(aw), res.a_cpu = bench_median(ac);
  res.b_wall = bench_median(bw), res.b_cpu = bench_median(bc);
  printf("   %-6s %10.3f %10.3f %10.3f %10.3f   ratio A/B: wall %.2f, cpu %.2f\n", "median", res.a_wall, res.a_cpu,
         res.b_wall, res.b_cpu, res.wall_ratio(), res.cpu_ratio());
  fflush(stdout);
  return res;
}
