// orvdeliver: local delivery agent for mail transfer agents' pipe
// transports.  Reads one message on standard input and appends it to the
// INBOX (or a named folder) of each user named on the command line.
#include <getopt.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/bvlog.h"
#include "common/config.h"
#include "common/service.h"
#include "store/mailbox.h"
#include "store/mboxlist.h"
#include "store/storenotify.h"
#include "store/userattr.h"
#include "store/deliver.h"

namespace {

void usage(FILE* f) {
  fprintf(f,
          "Usage: orvdeliver [-c CONFIG] [-m FOLDER] USER...\n"
          "Reads one message on standard input and delivers it to each USER's INBOX,\n"
          "or to FOLDER when the user has it.  Exit status: 0 delivered, 75 try again\n"
          "later, 67 unknown user, 65 message refused, 73 quota exceeded for good or\n"
          "folder full (its message uids are used up).\n");
}

}  // namespace

int main(int argc, char** argv) {
  // Every failure to start is temporary for the MTA: the operator fixes it
  // and the message is tried again.
  if (service_hygiene() != 0) return DELIVER_TEMPFAIL;
  const char* folder = nullptr;
  int opt;
  static const option longopts[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
  while ((opt = getopt_long(argc, argv, "+c:m:h", longopts, nullptr)) != -1) {
    switch (opt) {
      case 'c':
        setenv(ORV_CONFIG_ENV, optarg, 1);
        break;
      case 'm':
        folder = optarg;
        break;
      case 'h':
        usage(stdout);
        return 0;
      default:
        usage(stderr);
        return DELIVER_USAGE;
    }
  }
  if (optind >= argc) {
    usage(stderr);
    return DELIVER_USAGE;
  }
  std::vector<std::string> users(argv + optind, argv + argc);

  std::string raw;
  char buf[1 << 16];
  for (;;) {
    ssize_t n = read(0, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      perror("orvdeliver: reading the message");
      return DELIVER_TEMPFAIL;
    }
    raw.append(buf, static_cast<size_t>(n));
  }
  std::string msg = deliver_canonicalize(raw);
  raw.clear();
  raw.shrink_to_fit();

  // A configuration or store that cannot start is the operator's to fix:
  // the MTA keeps the message meanwhile.
  if (configmsg_init(0, 0, "orvdeliver") != 0) return DELIVER_TEMPFAIL;
  // The server user owns every file the store and its log are made of.
  if (configmsg_setuid() != 0) return DELIVER_TEMPFAIL;
  if (configmsg_initlog("deliver", "orvdeliver") != 0) return DELIVER_TEMPFAIL;
  mboxlist_set_fatal_handler([](int) { _exit(DELIVER_TEMPFAIL); });
  if (mboxlist_init() != 0) return DELIVER_TEMPFAIL;
  mailbox_reloadconfig();  // the configured sync levels
  storenotify_init("orvdeliver");
  int status = deliver_message(msg, users, folder, 0, stderr);
  userattr_exit();  // the directory connections, when a delivery needed them
  storenotify_shutdown();
  mboxlist_close();
  configmsg_free();
  return status;
}
