// Append throughput beside a bare file-writing loop, and parser throughput.
//
//   append_bench [COUNT]      (default 10000 messages)
//
// A fixed-seed mix of messages of 2 to 500 KB (mostly small, as in real
// mail) is delivered into one folder and into 100 folders, with message
// sync on (level 1, the default) and off.  Beside each run a bare loop
// writes the same bytes to one new file per message with the same flush,
// so the ratio shows what the store adds; the two loops alternate in slices
// of 200 messages so both see the same load.  Then the messages are parsed in
// memory alone.  Everything happens under a temporary directory that is
// removed afterwards.
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

// Sizes: 70 % 2-20 KB, 25 % 20-100 KB, 5 % 100-500 KB.
size_t pick_size(std::mt19937_64& rng) {
  unsigned r = rng() % 100;
  if (r < 70) return 2048 + rng() % (18 * 1024);
  if (r < 95) return 20 * 1024 + rng() % (80 * 1024);
  return 100 * 1024 + rng() % (400 * 1024);
}

std::string make_message(std::mt19937_64& rng, size_t size, unsigned n) {
  std::string m;
  for (int i = 0; i < 4; ++i)
    m += "Received: from relay" + std::to_string(rng() % 50) + ".example.net (relay.example.net [192.0.2." +
         std::to_string(rng() % 250) + "])\r\n\tby mx.example.org with ESMTPS id " + std::to_string(rng()) +
         "\r\n\tfor <user@example.org>; Tue, 2 Jan 2024 09:00:0" + std::to_string(i) + " +0000\r\n";
  m += "From: \"Sender " + std::to_string(n) + "\" <sender" + std::to_string(n % 97) + "@example.com>\r\n";
  m += "To: user@example.org, \"Other Person\" <other@example.org>\r\n";
  m += "Subject: =?UTF-8?Q?Message_n=C2=B0" + std::to_string(n) + "?=\r\n";
  m += "Date: Tue, 2 Jan 2024 09:00:00 +0000\r\nMessage-ID: <" + std::to_string(rng()) + "@example.com>\r\n";
  m += "MIME-Version: 1.0\r\n";
  bool attach = size > 30 * 1024;
  if (attach) {
    m += "Content-Type: multipart/mixed; boundary=\"b" + std::to_string(n) + "\"\r\n\r\n--b" + std::to_string(n) +
         "\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n";
    for (int i = 0; i < 20; ++i) m += "Some text of the message, line " + std::to_string(i) + ".\r\n";
    m += "--b" + std::to_string(n) +
         "\r\nContent-Type: application/octet-stream; name=\"f.bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n";
    static const char b64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string line(76, 'A');
    while (m.size() + 80 < size) {
      for (char& c : line) c = b64[rng() % 64];
      m += line + "\r\n";
    }
    m += "--b" + std::to_string(n) + "--\r\n";
  } else {
    m += "Content-Type: text/plain; charset=utf-8\r\n\r\n";
    while (m.size() < size) m += "The quick brown fox jumps over the lazy dog, " + std::to_string(rng() % 1000) + ".\r\n";
  }
  return m;
}

struct Setup {
  std::string root;
  int sync;
};

bool start_store(const Setup& s) {
  std::string conf = "local.store.dir = " + s.root + "/store\nlocal.log.target = stderr\n" +
                     "store.partition.primary.path = " + s.root + "/part\nlocal.store.synclevel = " +
                     std::to_string(s.sync) + "\n";
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

// Both loops run in alternating slices of kSlice messages and their times
// are summed apart, so a change in the machine's load during a run (other
// processes sharing the disk) weighs on both sides alike.
constexpr size_t kSlice = 200;

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

// The same bytes into one new file each, with the same flush.
bool bare_slice(const std::vector<std::string>& msgs, size_t from, size_t to, const std::string& dir, int nfolders,
                int sync) {
  for (size_t i = from; i < to; ++i) {
    std::string d = dir + "/" + std::to_string(i % nfolders) + "/" + std::to_string(i / nfolders % 100);
    if (i < static_cast<size_t>(nfolders) * 100) make_dirs(d.c_str(), 0777);
    std::string p = d + "/" + std::to_string(i) + ".msg";
    int fd = fs_open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
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
    msgs.push_back(make_message(rng, pick_size(rng), static_cast<unsigned>(i)));
    total += msgs.back().size();
  }
  printf("%zu messages, %.1f MB, mean %.1f KB\n", count, total / 1e6, total / 1024.0 / count);

  char tmpl[] = "/tmp/append_bench.XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string base = tmpl;
  int status = 0;
  printf("%-28s %12s %12s %8s\n", "run", "append msg/s", "bare msg/s", "ratio");
  for (int sync : {1, 0}) {
    for (int nfolders : {1, 100}) {
      std::string root = base + "/run";
      std::filesystem::remove_all(root);
      Setup s{root, sync};
      if (!start_store(s)) {
        fprintf(stderr, "append_bench: the store did not start\n");
        return 1;
      }
      Folders f;
      double ta = 0, tb = 0;
      bool ok = make_folders(nfolders, &f);
      for (size_t from = 0; ok && from < msgs.size(); from += kSlice) {
        size_t to = std::min(msgs.size(), from + kSlice);
        auto t0 = Clock::now();
        ok = append_slice(msgs, from, to, f);
        ta += bench_seconds_since(t0);
        t0 = Clock::now();
        ok = ok && bare_slice(msgs, from, to, base + "/bare", nfolders, sync);
        tb += bench_seconds_since(t0);
      }
      stop_store();
      std::filesystem::remove_all(root);
      std::filesystem::remove_all(base + "/bare");
      double a = ok ? msgs.size() / ta : -1, b = ok ? msgs.size() / tb : -1;
      if (a < 0 || b < 0) {
        fprintf(stderr, "append_bench: run failed (%g, %g)\n", a, b);
        status = 1;
        continue;
      }
      char name[64];
      snprintf(name, sizeof name, "%d folder%s, sync %s", nfolders, nfolders > 1 ? "s" : "", sync ? "on" : "off");
      printf("%-28s %12.0f %12.0f %8.2f\n", name, a, b, a / b);
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
