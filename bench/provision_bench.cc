// First deliveries against deliveries to existing users: what provisioning
// an account from the directory adds to its first delivery (one directory
// search, the INBOX creation and the welcome message).
//
// Usage: provision_bench [N [BATCH]]  (default 1000 and 100)
// Runs against the store and directory the configuration (ORV_CONFIG) names,
// with the store daemon running; bench/provision_bench.sh sets all that up.
// The directory must hold the users new0 .. new<N-1> (no INBOX yet) and
// old0 .. old<BATCH-1>.  The old users are provisioned first (not timed);
// then batches of BATCH first deliveries (A) alternate with batches of
// BATCH deliveries to the old users (B), A B A B ..., so both kinds see the
// same machine load and store size.  Prints both rates and their ratio.
// Exit status 1 when any delivery fails.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "bench/bench_util.h"
#include "common/config.h"
#include "store/mailbox.h"
#include "store/mboxlist.h"
#include "store/userattr.h"
#include "store/deliver.h"

namespace {

const std::string kMessage = deliver_canonicalize(
    "From: bench@example.org\nTo: someone@example.com\nSubject: provision bench\n"
    "Date: Mon, 7 Dec 2026 04:12:24 +0000\n\nA short message, as most are.\n");

// Delivers to one user; counts a failure.
bool deliver_one(const std::string& user, unsigned* failed) {
  int st = deliver_message(kMessage, {user}, nullptr, 0, stderr);
  if (st != DELIVER_OK) {
    ++*failed;
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const long n = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000;
  const long batch = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 100;
  if (n <= 0 || batch <= 0 || n % batch != 0) {
    std::fprintf(stderr, "usage: provision_bench [N [BATCH]]  (N a multiple of BATCH)\n");
    return 64;
  }
  if (configmsg_init(0, 0, "provision_bench") != 0) return 69;
  mboxlist_set_fatal_handler([](int) { std::_Exit(75); });
  if (mboxlist_init() != 0) {
    std::fprintf(stderr, "provision_bench: the store is not running\n");
    return 69;
  }
  mailbox_reloadconfig();

  unsigned failed = 0;
  for (long i = 0; i < batch; ++i) deliver_one("old" + std::to_string(i), &failed);
  if (failed) {
    std::fprintf(stderr, "provision_bench: %u of the existing users could not be set up\n", failed);
    return 1;
  }

  double first_s = 0, existing_s = 0;
  for (long b = 0; b < n / batch; ++b) {
    auto t0 = std::chrono::steady_clock::now();
    for (long i = 0; i < batch; ++i) deliver_one("new" + std::to_string(b * batch + i), &failed);
    first_s += bench_seconds_since(t0);
    t0 = std::chrono::steady_clock::now();
    for (long i = 0; i < batch; ++i) deliver_one("old" + std::to_string(i), &failed);
    existing_s += bench_seconds_since(t0);
  }
  userattr_exit();
  mboxlist_close();
  configmsg_free();

  std::printf("first deliveries (provisioning): %ld in %.3f s, %.1f/s, %.3f ms each\n", n, first_s, n / first_s,
              1000 * first_s / n);
  std::printf("deliveries to existing users:    %ld in %.3f s, %.1f/s, %.3f ms each\n", n, existing_s, n / existing_s,
              1000 * existing_s / n);
  std::printf("ratio: a first delivery takes %.2f times as long\n", first_s / existing_s);
  if (failed) {
    std::fprintf(stderr, "provision_bench: %u deliveries failed\n", failed);
    return 1;
  }
  return 0;
}
