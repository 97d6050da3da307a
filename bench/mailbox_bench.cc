// Speed of a folder's index: open and read, cache items, expunge.
//
//   mailbox_bench [DIR] [MESSAGES]
//
// Builds a folder of MESSAGES (default 100,000) messages in DIR (default
// the current directory): message files, real cache entries from parsed
// messages, index records.  Then measures, each the median of BENCH_PAIRS
// (default 3) runs:
//   open + read every record      mailbox_open_path and a record loop
//   one cache item per message    mailbox_cache_item(SUBJECT) for each
// and compares with the shared A/B harness (alternating runs):
//   expunge 1 %                   mailbox_expunge of every 100th uid, the
//                                 index restored before each run
//   against a copy of the index   store.idx copied in this process
//                                 (copy_file_range), no shell or exec
// at the default sync level (the copy then flushed with fdatasync, as the
// expunge flushes its new index) and, in a row labelled as such, at level 0
// against the copy without a flush.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

// Writes every message file of the folder in dir (uids 1..n), the texts
// build() parsed.
bool write_messages(const std::string& dir, uint32_t n) {
  mailbox m;
  if (open_folder(dir, &m) != 0) return false;
  bool ok = true;
  for (uint32_t uid = 1; ok && uid <= n; ++uid) {
    char rel[MAILBOX_FNAME_LEN];
    mailbox_message_fname(&m, uid, rel);
    if (uid == 1 || uid % 100 == 0) (void)make_dirs((dir + "/" + std::string(rel, 2)).c_str(), 0777);
    std::string text = mailbox_testutil::message_text(uid, 5 + uid % 30);
    UniqueFd fd(open((dir + "/" + rel).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    ok = fd && retry_write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }
  mailbox_close(&m);
  return ok;
}

// Copies from to to in this process (copy_file_range, read/write when the
// file system cannot), then fdatasync when flush is set.
bool copy_in_process(const std::string& from, const std::string& to, bool flush) {
  UniqueFd in(open(from.c_str(), O_RDONLY | O_CLOEXEC));
  UniqueFd out(open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!in || !out) return false;
  for (;;) {
    ssize_t n = copy_file_range(in.get(), nullptr, out.get(), nullptr, 1 << 30, 0);
    if (n == 0) break;
    if (n > 0) continue;
    if (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL) return false;
    char buf[1 << 16];
    ssize_t r;
    while ((r = read(in.get(), buf, sizeof buf)) > 0) {
      if (retry_write(out.get(), buf, static_cast<size_t>(r)) != r) return false;
    }
    if (r < 0) return false;
    break;
  }
  return !flush || fdatasync(out.get()) == 0;
}

// Switches the process to the default sync level (every file flushed) or
// to level 0.
bool use_sync_level(bool flush) {
  configmsg_free();
  std::string conf = "local.log.target = stderr\n";
  if (!flush) conf += "local.store.synclevel = 0\n";
  if (configmsg_init_text(conf, "bench", "mailbox_bench") != 0) return false;
  mailbox_reloadconfig();
  return true;
}

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

  if (!write_messages(dir + "/master", n)) {
    fprintf(stderr, "writing the message files failed\n");
    return 1;
  }
  const std::string idx = dir + "/master/store.idx", pristine = dir + "/pristine.idx", copy = dir + "/copy.idx";
  if (!copy_in_process(idx, pristine, false)) return 1;

  std::vector<double> opens, caches;
  for (int run = 0; run < bench_pairs(); ++run) {
    mailbox m;
    t0 = Clock::now();
    if (open_folder(dir + "/master", &m) != 0) return 1;
    uint64_t sum = 0;
    for (uint32_t i = 1; i <= m.mbd.exists; ++i) {
      index_record r;
      if (mailbox_read_index_record(&m, i, &r) != 0) return 1;
      sum += r.uid;
    }
    opens.push_back(bench_seconds_since(t0));
    t0 = Clock::now();
    for (uint32_t i = 1; i <= m.mbd.exists; ++i) {
      const unsigned char* p = mailbox_cache_item(m.index_map, "bench", i, CACHE_SUBJECT);
      if (!p) return 1;
      sum += p[3];
    }
    caches.push_back(bench_seconds_since(t0));
    mailbox_close(&m);
    if (sum == 0) return 1;
  }
  double open_s = bench_median(opens), cache_s = bench_median(caches);
  printf("open + read every record: %.3f s, %.0f records/s\n", open_s, n / open_s);
  printf("one cache item of every message: %.3f s, %.0f items/s\n", cache_s, n / cache_s);

  // The folder's index put back as built, the expunge log removed and
  // everything on disk, so that each expunge starts from the same folder.
  auto restore_folder = [&] {
    unlink((dir + "/master/store.exp").c_str());
    bool ok = copy_in_process(pristine, idx, false);
    sync();
    return ok;
  };
  int status = 0;
  for (bool flush : {true, false}) {
    if (!use_sync_level(flush)) return 1;
    BenchSide expunge{"expunge 1 %",
                      [&] {
                        mailbox m;
                        if (open_folder(dir + "/master", &m) != 0) return false;
                        int r = mailbox_expunge(&m, EXPUNGE_NONOTIFY, 0, every_hundredth, nullptr);
                        mailbox_close(&m);
                        return r == 0;
                      },
                      restore_folder};
    BenchSide cp{flush ? "copy of the index + fdatasync" : "copy of the index",
                 [&] { return copy_in_process(pristine, copy, flush); },
                 [&] {
                   unlink(copy.c_str());
                   sync();
                   return true;
                 }};
    char row[112];
    snprintf(row, sizeof row, "expunge %u of %u (index %.1f MB), sync level %s", n / 100, n, mb,
             flush ? "default" : "0 (no flush)");
    if (!bench_ab(row, expunge, cp).ok) status = 1;
  }
  (void)system(("rm -rf '" + dir + "'").c_str());
  configmsg_free();
  return status;
}
