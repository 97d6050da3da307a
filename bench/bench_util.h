// Helpers shared by the benchmark programs (not part of the system): the
// timer they all read and the configuration of a scratch store.
//
// Single-threaded; nothing here reports failure (a benchmark whose store
// does not start says so when it starts it).
#pragma once

#include <chrono>
#include <cstdlib>
#include <string>

#include "common/config.h"
#include "common/test_util.h"

// Seconds from t0 to now on the steady clock.
inline double bench_seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Writes work/orv.conf for a store under work (databases in store/, one
// partition "primary" in p1/, no syncing, log lines to standard error) and
// points ORV_CONFIG_ENV at it.  work must exist.
inline void bench_configure(const std::string& work) {
  std::string conf = work + "/orv.conf";
  write_text_file(conf, "local.store.dir = " + work + "/store\nlocal.servername = bench\nlocal.log.target = stderr\n" +
                            "local.store.synclevel = 0\nstore.partition.primary.path = " + work + "/p1\n");
  setenv(ORV_CONFIG_ENV, conf.c_str(), 1);
}
