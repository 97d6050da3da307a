// Fills a store, or writes message files, for bench/vs-peers.sh: the
// generated mail of bench/bench_mail.h, the same for one seed on every run.
//
//   peer_fill store --seed S (--mb MB | --count N) --users U
//       delivers messages into the store ORV_CONFIG names (its daemon must
//       run, as for orvdeliver) through the delivery call orvdeliver makes,
//       all in this process, until MB megabytes or N messages were
//       delivered; users u0 .. u(U-1) (their INBOXes must exist).  One
//       message in ten goes to 2 to 5 users at once, who then share its
//       file; the others go to one user.
//   peer_fill files --seed S --count N DIR
//       writes N messages as DIR/0.eml ... with LF line ends, the way a
//       mail transfer agent hands them to a delivery program.
//
// Prints what it made; exit status 1 when a delivery or a write failed, 64
// for a bad command line.
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_mail.h"
#include "bench/bench_util.h"
#include "common/bvlog.h"
#include "common/config.h"
#include "store/mailbox.h"
#include "store/mboxlist.h"
#include "store/deliver.h"

namespace {

[[noreturn]] void usage() {
  fprintf(stderr,
          "usage: peer_fill store --seed S (--mb MB | --count N) --users U\n"
          "       peer_fill files --seed S --count N DIR\n");
  exit(64);
}

int fill_store(unsigned long seed, double mb, unsigned long count, unsigned users) {
  if (configmsg_init(0, 0, "peer_fill") != 0 || configmsg_setuid() != 0 ||
      configmsg_initlog("deliver", "peer_fill") != 0) {
    fprintf(stderr, "peer_fill: no configuration\n");
    return 1;
  }
  mboxlist_set_fatal_handler([](int) { _exit(75); });
  if (mboxlist_init() != 0) {
    fprintf(stderr, "peer_fill: the store did not open\n");
    return 1;
  }
  mailbox_reloadconfig();
  std::mt19937_64 rng(seed);
  uint64_t bytes = 0, stored = 0;
  unsigned long n = 0, shared = 0;
  int status = 0;
  auto t0 = std::chrono::steady_clock::now();
  for (; status == 0 && (count ? n < count : static_cast<double>(bytes) < mb * 1e6); ++n) {
    std::string msg = bench_make_message(rng, bench_pick_size(rng), static_cast<unsigned>(n));
    std::vector<std::string> to{"u" + std::to_string(rng() % users)};
    if (rng() % 10 == 0 && users > 1) {
      shared++;
      unsigned k = 2 + static_cast<unsigned>(rng() % 4);
      while (to.size() < k && to.size() < users) {
        std::string u = "u" + std::to_string(rng() % users);
        bool dup = false;
        for (const std::string& t : to) dup = dup || t == u;
        if (!dup) to.push_back(u);
      }
    }
    if (deliver_message(msg, to, nullptr, 0, stderr) != DELIVER_OK) {
      fprintf(stderr, "peer_fill: delivery of message %lu failed\n", n);
      status = 1;
    }
    bytes += msg.size();
    stored += msg.size() * to.size();
  }
  double t = bench_seconds_since(t0);
  mboxlist_close();
  configmsg_free();
  printf("store: %lu messages (%lu to several users), %.1f MB of files, %.1f MB as the users see it, %.1f s\n", n,
         shared, static_cast<double>(bytes) / 1e6, static_cast<double>(stored) / 1e6, t);
  return status;
}

int write_files(unsigned long seed, unsigned long count, const std::string& dir) {
  mkdir(dir.c_str(), 0755);
  std::mt19937_64 rng(seed);
  for (unsigned long n = 0; n < count; ++n) {
    std::string crlf = bench_make_message(rng, bench_pick_size(rng), static_cast<unsigned>(n));
    std::string lf;
    lf.reserve(crlf.size());
    for (size_t i = 0; i < crlf.size(); ++i) {
      if (!(crlf[i] == '\r' && i + 1 < crlf.size() && crlf[i + 1] == '\n')) lf += crlf[i];
    }
    write_text_file(dir + "/" + std::to_string(n) + ".eml", lf);
  }
  printf("files: %lu messages in %s\n", count, dir.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) usage();
  std::string mode = argv[1];
  unsigned long seed = 1, count = 0;
  double mb = 0;
  unsigned users = 0;
  static const option longs[] = {{"seed", required_argument, nullptr, 's'},
                                 {"mb", required_argument, nullptr, 'm'},
                                 {"count", required_argument, nullptr, 'c'},
                                 {"users", required_argument, nullptr, 'u'},
                                 {}};
  optind = 2;
  for (int c; (c = getopt_long(argc, argv, "", longs, nullptr)) != -1;) {
    switch (c) {
      case 's':
        seed = strtoul(optarg, nullptr, 10);
        break;
      case 'm':
        mb = strtod(optarg, nullptr);
        break;
      case 'c':
        count = strtoul(optarg, nullptr, 10);
        break;
      case 'u':
        users = static_cast<unsigned>(strtoul(optarg, nullptr, 10));
        break;
      default:
        usage();
    }
  }
  if (mode == "store" && optind == argc && users > 0 && (mb > 0) != (count > 0))
    return fill_store(seed, mb, count, users);
  if (mode == "files" && optind + 1 == argc && count > 0) return write_files(seed, count, argv[optind]);
  usage();
}
