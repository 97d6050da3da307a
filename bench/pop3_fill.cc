// Fills POP3 maildrops for the benchmarks, fast: COUNT generated messages
// for each USER, delivered in this one process through the same delivery
// call orvdeliver makes (no process start per message), and/or written as
// Maildir files (LF line ends, the way a delivery agent stores them, with
// the ",S=<size>,W=<size with CRLF>" name fields) for a peer server to read.
//
// Run: pop3_fill [--store] [--maildir DIR] [--seed N] COUNT SIZE USER...
//   --store        deliver into our store (ORV_CONFIG names it; its daemon
//                  must run, as for orvdeliver)
//   --maildir DIR  write DIR/USER/{new,cur,tmp}/..., messages in new/
//   SIZE           mean message size in bytes (each varies by +-25 %)
// Message n is the same text for every user, in every target and every run
// with the same seed.  Prints the time each target took; exit status 1 when
// a delivery or a write failed.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "common/bvlog.h"
#include "common/config.h"
#include "store/mailbox.h"
#include "store/mboxlist.h"
#include "store/deliver.h"

namespace {

// Message n: a few header lines and text lines up to about size bytes,
// CRLF line ends (the stored form).
std::string make_message(unsigned long seed, unsigned long n, size_t size) {
  std::mt19937_64 rng(seed * 1000003 + n);
  size_t want = size * 3 / 4 + rng() % (size / 2 + 1);
  std::string m = "Received: from relay" + std::to_string(rng() % 50) + ".example.net (relay.example.net [192.0.2." +
                  std::to_string(rng() % 250) + "])\r\n\tby mx.example.org; Tue, 2 Jan 2024 09:00:00 +0000\r\n";
  m += "From: \"Sender " + std::to_string(n) + "\" <sender" + std::to_string(n % 97) + "@example.com>\r\n";
  m += "To: user@example.org\r\nSubject: Message " + std::to_string(n) + "\r\n";
  m += "Date: Tue, 2 Jan 2024 09:00:00 +0000\r\nMessage-ID: <" + std::to_string(seed) + "." + std::to_string(n) +
       "@example.com>\r\nMIME-Version: 1.0\r\n";
  m += "Content-Type: text/plain; charset=utf-8\r\n\r\n";
  while (m.size() < want)
    m += "The quick brown fox jumps over the lazy dog, " + std::to_string(rng() % 100000) + ".\r\n";
  return m;
}

bool write_file(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return close(fd) == 0 && done == text.size();
}

[[noreturn]] void usage() {
  fprintf(stderr, "usage: pop3_fill [--store] [--maildir DIR] [--seed N] COUNT SIZE USER...\n");
  exit(64);
}

}  // namespace

int main(int argc, char** argv) {
  bool store = false;
  std::string maildir;
  unsigned long seed = 1;
  static const option longs[] = {{"store", no_argument, nullptr, 's'},
                                 {"maildir", required_argument, nullptr, 'm'},
                                 {"seed", required_argument, nullptr, 'S'},
                                 {}};
  for (int c; (c = getopt_long(argc, argv, "", longs, nullptr)) != -1;) {
    switch (c) {
      case 's':
        store = true;
        break;
      case 'm':
        maildir = optarg;
        break;
      case 'S':
        seed = strtoul(optarg, nullptr, 10);
        break;
      default:
        usage();
    }
  }
  if (argc - optind < 3 || (!store && maildir.empty())) usage();
  unsigned long count = strtoul(argv[optind], nullptr, 10);
  size_t size = strtoul(argv[optind + 1], nullptr, 10);
  std::vector<std::string> users(argv + optind + 2, argv + argc);
  if (count == 0 || size < 64) usage();

  int status = 0;
  if (store) {
    // As orvdeliver: the server user owns what the store writes.
    if (configmsg_init(0, 0, "pop3_fill") != 0 || configmsg_setuid() != 0 ||
        configmsg_initlog("deliver", "pop3_fill") != 0) {
      fprintf(stderr, "pop3_fill: no configuration\n");
      return 1;
    }
    mboxlist_set_fatal_handler([](int) { _exit(75); });
    if (mboxlist_init() != 0) {
      fprintf(stderr, "pop3_fill: the store did not open\n");
      return 1;
    }
    mailbox_reloadconfig();
    auto t0 = std::chrono::steady_clock::now();
    for (unsigned long n = 0; n < count && status == 0; ++n) {
      std::string msg = make_message(seed, n, size);
      // One user per call: separate files, as separate deliveries make.
      for (const std::string& u : users) {
        if (deliver_message(msg, {u}, nullptr, 0, stderr) != DELIVER_OK) {
          fprintf(stderr, "pop3_fill: delivery of message %lu to %s failed\n", n, u.c_str());
          status = 1;
          break;
        }
      }
    }
    double t = bench_seconds_since(t0);
    mboxlist_close();
    configmsg_free();
    printf("store: %lu messages x %zu users in %.2f s (%.0f deliveries/s)\n", count, users.size(), t,
           static_cast<double>(count * users.size()) / t);
  }
  if (!maildir.empty() && status == 0) {
    auto t0 = std::chrono::steady_clock::now();
    mkdir(maildir.c_str(), 0755);
    for (const std::string& u : users) {
      std::string box = maildir + "/" + u;
      for (const char* sub : {"", "/new", "/cur", "/tmp"}) mkdir((box + sub).c_str(), 0755);
    }
    for (unsigned long n = 0; n < count && status == 0; ++n) {
      std::string crlf = make_message(seed, n, size);
      std::string lf;
      lf.reserve(crlf.size());
      for (size_t i = 0; i < crlf.size(); ++i) {
        if (!(crlf[i] == '\r' && i + 1 < crlf.size() && crlf[i + 1] == '\n')) lf += crlf[i];
      }
      char name[128];
      snprintf(name, sizeof name, "/new/%lu.M%luP%d.bench,S=%zu,W=%zu", 1700000000 + n, n, getpid(), lf.size(),
               crlf.size());
      for (const std::string& u : users) {
        if (!write_file(maildir + "/" + u + name, lf)) {
          perror(("pop3_fill: " + maildir + "/" + u + name).c_str());
          status = 1;
          break;
        }
      }
    }
    double t = bench_seconds_since(t0);
    printf("maildir: %lu messages x %zu users in %.2f s\n", count, users.size(), t);
  }
  return status;
}
