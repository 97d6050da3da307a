// Speed of a folder's index: open and read, cache items, expunge.
//
//   mailbox_bench [DIR] [MESSAGES]
//
// Builds a folder of MESSAGES (default 100,000) messages in DIR (default
// the current directory): real cache entries from parsed messages, index
// records, no message files (none of the measured operations reads them).
// Then measures, each the best of three runs:
//   open + read every record      mailbox_open_path and a record loop
//   one cache item per message    mailbox_cache_item(SUBJECT) for each
//   expunge 1 %                   mailbox_expunge of every 100th uid, on a
//                                 fresh copy of the index each time
//   cp of the index file          `cp` of the same store.idx, same run
// Sync levels are 0 for the expunge, as cp does not sync either.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "common/config.h"
#include "common/fileio.h"
#include "common/unique_fd.h"
#include "store/mailbox.h"
#include "store/mailbox_internal.h"
#include "store/mailbox_testutil.h"

namespace {

using Clock = std::chrono::steady_clock;

int open_folder(const std::string& dir, mailbox* m) {
  return mailbox_open_path("bench", 0, "p", dir.c_str(), nullptr, "", nullptr, m);
}

// Fills the folder with n messages: room first (one rewrite), then the
// cache entries appended and the records written in batches.
bool build(const std::string& dir, uint32_t n) {
  mailbox m;
  if (!mailbox_testutil::write_empty_index(dir) || open_folder(dir, &m) != 0) return false;
  bool ok = mailbox_lock_index(&m) == 0 &&
            mailbox_expunge(&m, EXPUNGE_LOCKED | EXPUNGE_NONOTIFY, static_cast<int>(n), expungenone, nullptr) == 0 &&
            lseek(m.index_fd, 0, SEEK_END) >= 0;
  std::vector<index_record> batch;
  uint32_t written = 0;
  for (uint32_t uid = 1; ok && uid <= n; ++uid) {
    std::string text = mailbox_testutil::message_text(uid, 5 + uid % 30);
    index_record r;
    r.uid = uid;
    r.internaldate = 1700000000 + uid;
    ok = message_parse_mapped(text.data(), text.size(), &m, nullptr, &r) == 0;
    m.mbd.qused += r.size;
    m.mbd.largest_msg = std::max(m.mbd.largest_msg, r.size);
    batch.push_back(r);
    if (batch.size() == 4096 || uid == n) {
      ok = ok && mailbox_append_index(&m, batch.data(), written + 1, static_cast<unsigned>(batch.size())) == 0;
      written += static_cast<uint32_t>(batch.size());
      batch.clear();
    }
  }
  m.mbd.exists = written;
  m.mbd.last_uid = written;
  m.mbd.oldest_uid = 1;
  m.mbd.oldest_msg = 1700000001;
  ok = ok && mailbox_write_index_fixed_header(&m) == 0;
  if (m.index_lock_count) mailbox_unlock_index(&m);
  mailbox_close(&m);
  return ok;
}

int every_hundredth(void*, const index_record* r) { return r->uid % 100 == 0 ? 1 : 0; }

}  // namespace

int main(int argc, char** argv) {
  std::string base = argc > 1 ? argv[1] : ".";
  uint32_t n = argc > 2 ? static_cast<uint32_t>(atol(argv[2])) : 100000;
  std::string dir = base + "/mailbox_bench.tmp";
  if (configmsg_init_text("local.log.target = stderr\nlocal.store.synclevel = 0\n", "bench", "mailbox_bench") != 0) {
    return 1;
  }
  mailbox_reloadconfig();
  mailbox_testutil::install_fake_list();
  (void)system(("rm -rf '" + dir + "'").c_str());
  auto t0 = Clock::now();
  if (!build(dir + "/master", n)) {
    fprintf(stderr, "building the folder failed\n");
    return 1;
  }
  struct stat st;
  stat((dir + "/master/store.idx").c_str(), &st);
  const double mb = static_cast<double>(st.st_size) / 1e6;
  printf("folder: %u messages, index %.1f MB, built in %.2f s\n", n, mb, bench_seconds_since(t0));

  double best_open = 1e9, best_cache = 1e9, best_exp = 1e9, best_cp = 1e9;
  double exp_mb = 0;
  for (int run = 0; run < 3; ++run) {
    mailbox m;
    t0 = Clock::now();
    if (open_folder(dir + "/master", &m) != 0) return 1;
    uint64_t sum = 0;
    for (uint32_t i = 1; i <= m.mbd.exists; ++i) {
      index_record r;
      if (mailbox_read_index_record(&m, i, &r) != 0) return 1;
      sum += r.uid;
    }
    best_open = std::min(best_open, bench_seconds_since(t0));
    t0 = Clock::now();
    for (uint32_t i = 1; i <= m.mbd.exists; ++i) {
      const unsigned char* p = mailbox_cache_item(m.index_map, "bench", i, CACHE_SUBJECT);
      if (!p) return 1;
      sum += p[3];
    }
    best_cache = std::min(best_cache, bench_seconds_since(t0));
    mailbox_close(&m);
    if (sum == 0) return 1;

    // cp and expunge on the same file system, alternating.
    std::string work = dir + "/work";
    (void)system(("rm -rf '" + work + "' && mkdir -p '" + work + "'").c_str());
    t0 = Clock::now();
    if (system(("cp '" + dir + "/master/store.idx' '" + work + "/store.idx'").c_str()) != 0) return 1;
    best_cp = std::min(best_cp, bench_seconds_since(t0));
    if (open_folder(work, &m) != 0) return 1;
    t0 = Clock::now();
    if (mailbox_expunge(&m, EXPUNGE_NONOTIFY, 0, every_hundredth, nullptr) != 0) return 1;
    best_exp = std::min(best_exp, bench_seconds_since(t0));
    struct stat nst;
    stat((work + "/store.idx").c_str(), &nst);
    exp_mb = static_cast<double>(nst.st_size) / 1e6;
    mailbox_close(&m);
  }
  printf("open + read every record: %.3f s, %.0f records/s\n", best_open, n / best_open);
  printf("one cache item of every message: %.3f s, %.0f items/s\n", best_cache, n / best_cache);
  printf("expunge 1%% (%u of %u): %.3f s, %.0f MB/s of index written (%.1f MB)\n", n / 100, n, best_exp,
         exp_mb / best_exp, exp_mb);
  printf("cp of the index file (%.1f MB): %.3f s, %.0f MB/s\n", mb, best_cp, mb / best_cp);
  printf("expunge / cp: %.2fx\n", best_exp / best_cp);
  (void)system(("rm -rf '" + dir + "'").c_str());
  configmsg_free();
  return 0;
}
