// Append throughput beside a bare file-writing loop, and parser throughput.
//
//   append_bench [COUNT]      (default 10000 messages)
//
// A fixed-seed mix of messages of 2 to 500 KB (mostly small, as in real
// mail) is delivered into one folder and into 100 folders, at sync level 1
// (the default: every message file flushed) and at level 0 (no flush, a
// row labelled as such).  Each is compared, with the shared A/B harness
// (alternating runs, BENCH_PAIRS pairs), against a bare loop that writes
// the same bytes to one new file per message with the same flush, spread
// over as many directories as there are folders (made once beforehand, as
// the store's folders are), so the ratio shows what the store adds.  Then
// the messages are parsed in memory alone.  Everything happens under a
// temporary directory that is removed afterwards.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_mail.h"
#include "bench/bench_util.h"
#include "common/auth.h"
#include "common/config.h"
#include "common/fileio.h"
#include "store/append.h"
#include "store/mboxlist.h"
#include "store/message_internal.h"
#include "store/quota_record.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Setup {
  std::string root;
  int sync;
};

bool start_store(const Setup& s) {
  std::string conf = "local.store.dir = " + s.root + "/store\nlocal.log.target = stderr\n" +
                     "store.partition.primary.path = " + s.root +
                     "/part\nlocal.store.synclevel = " + std::to_string(s.sync) + "\n";
  if (configmsg_init_text(conf, "bench", "append_bench") != 0) return false;
  mboxlist_set_fatal_handler([](int) {});
  if (mboxlist_recover() != 0) return false;
  mailbox_reloadconfig();
  return true;
}

void stop_store() {
  mboxlist_close();
  configmsg_free();
}

struct Folders {
  std::vector<std::string> names;
};

bool make_folders(int nfolders, Folders* f) {
  for (int i = 0; i < nfolders; ++i) {
    f->names.push_back(i == 0 ? "user/bench" : "user/bench/f" + std::to_string(i));
    if (mboxlist_createmailbox(f->names.back().c_str(), MBOX_VERSION, "primary", nullptr, auth_dontCheckAcl,
                               QUOTA_UNLIMITED, QUOTA_UNLIMITED, 0) != 0)
      return false;
  }
  return true;
}

// Delivers messages [from, to), round robin over the folders.
bool append_slice(const std::vector<std::string>& msgs, size_t from, size_t to, const Folders& f) {
  for (size_t i = from; i < to; ++i) {
    appendmbox ambox;
    if (append_setup(&ambox, f.names[i % f.names.size()].c_str(), 0, MBOX_VERSION, auth_dontCheckAcl,
                     APPEND_ACL_NOCHECK, -static_cast<long>(msgs[i].size())) != 0)
      return false;
    appendmsg m;
    m.flags = APPENDMSG_CALLER_STORAGE;
    m.base = msgs[i].data();
    m.size = msgs[i].size();
    int r = append_msg(&ambox, &m, 1, nullptr, 0, nullptr, 0, 0, 1, 0);
    append_finish(&ambox);
    if (r) return false;
  }
  return true;
}

// The same bytes into one new file each, with the same flush, round robin
// over the nfolders directories under dir that exist already.
bool bare_write(const std::vector<std::string>& msgs, const std::string& dir, int nfolders, int sync) {
  for (size_t i = 0; i < msgs.size(); ++i) {
    std::string p = dir + "/" + std::to_string(i % nfolders) + "/" + std::to_string(i) + ".msg";
    int fd = fs_open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    bool ok = retry_write(fd, msgs[i].data(), msgs[i].size()) == static_cast<ssize_t>(msgs[i].size()) &&
              sync_file(fd, sync) == 0;
    close(fd);
    if (!ok) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  size_t count = argc > 1 ? strtoul(argv[1], nullptr, 10) : 10000;
  std::mt19937_64 rng(20240102);
  std::vector<std::string> msgs;
  uint64_t total = 0;
  for (size_t i = 0; i < count; ++i) {
    msgs.push_back(bench_make_message(rng, bench_pick_size(rng), static_cast<unsigned>(i)));
    total += msgs.back().size();
  }
  printf("%zu messages, %.1f MB, mean %.1f KB\n", count, total / 1e6, total / 1024.0 / count);

  char tmpl[] = "/tmp/append_bench.XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string base = tmpl;
  int status = 0;
  for (int sync : {1, 0}) {
    for (int nfolders : {1, 100}) {
      const std::string root = base + "/run", bare = base + "/bare";
      bool running = false;
      Folders f;
      // A fresh store with its folders for every run of the store's side.
      BenchSide store{"store append", [&] { return append_slice(msgs, 0, msgs.size(), f); },
                      [&] {
                        if (running) stop_store();
                        running = false;
                        std::filesystem::remove_all(root);
                        f = Folders();
                        if (!start_store(Setup{root, sync})) {
                          fprintf(stderr, "append_bench: the store did not start\n");
                          return false;
                        }
                        running = true;
                        bool ok = make_folders(nfolders, &f);
                        ::sync();  // the other side's writes are not charged to this one
                        return ok;
                      }};
      BenchSide plain{"bare writer", [&] { return bare_write(msgs, bare, nfolders, sync); },
                      [&] {
                        std::filesystem::remove_all(bare);
                        for (int i = 0; i < nfolders; ++i) {
                          if (make_dirs((bare + "/" + std::to_string(i)).c_str(), 0777) != 0) return false;
                        }
                        ::sync();
                        return true;
                      }};
      char name[96];
      snprintf(name, sizeof name, "%zu messages into %d folder%s, sync level %d%s", msgs.size(), nfolders,
               nfolders > 1 ? "s" : "", sync, sync ? " (default)" : " (no flush)");
      BenchAbResult r = bench_ab(name, store, plain);
      if (running) stop_store();
      std::filesystem::remove_all(root);
      std::filesystem::remove_all(bare);
      if (!r.ok) {
        status = 1;
        continue;
      }
      printf("   messages/s: store %.0f, bare %.0f\n", msgs.size() / r.a_wall, msgs.size() / r.b_wall);
    }
  }
  std::filesystem::remove_all(base);

  // Parsing alone, and parsing with the cache texts built.
  auto t = Clock::now();
  size_t parts = 0;
  for (const std::string& m : msgs) {
    body b;
    message_parse_tree(m.data(), m.size(), &b);
    parts += b.subpart.size();
  }
  double parse = total / 1e6 / bench_seconds_since(t);
  t = Clock::now();
  size_t out = 0;
  for (const std::string& m : msgs) {
    body b;
    message_parse_tree(m.data(), m.size(), &b);
    out += message_envelope(b).size() + message_bodystructure(b, true).size() + message_section(b).size();
  }
  double parse_cache = total / 1e6 / bench_seconds_since(t);
  printf("parse: %.0f MB/s; parse and cache texts: %.0f MB/s (%zu parts, %zu bytes)\n", parse, parse_cache, parts, out);
  return status;
}
