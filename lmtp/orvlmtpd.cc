// orvlmtpd: the LMTP delivery server of the message store.
#include <cstdio>

#include "common/config.h"
#include "common/service.h"
#include "lmtp/lmtpd.h"
#include "lmtp/settings.h"

namespace {

void help() {
  printf(
      "Usage: orvlmtpd [-s PATH] [-p PORT] [-d FD]\n"
      "The LMTP delivery server of the message store (RFC 2033): a mail transfer\n"
      "agent hands it messages for local users, one reply per recipient.  It runs\n"
      "in the foreground; the store daemon (orvstored) must be ready.  The\n"
      "configuration file is $%s, else %s.\n\n"
      "  -s PATH     Unix socket (default service.lmtp.socket, <store dir>/lmtp)\n"
      "  -p PORT     also listen on this TCP port of 127.0.0.1 (default\n"
      "              service.lmtp.port; 0 = none)\n"
      "  -d FD       serve this inherited listening socket (no other is opened)\n"
      "  -h, --help  this text\n\n"
      "service.lmtp.maxrecipients (100) bounds the recipients of one message,\n"
      "service.lmtp.maxmessagesize (0 = no limit) is announced with SIZE,\n"
      "service.lmtp.timeout (300 s) drops a silent client.\n"
      "SIGTERM or SIGINT stops the server; SIGHUP or SIGUSR1 reopens the log.\n"
      "Exit status: 0 stopped, 64 usage, 75 store daemon not ready or another\n"
      "orvlmtpd on this store, 77 a socket cannot be opened or the server user\n"
      "cannot be taken on, 78 configuration.\n",
      ORV_CONFIG_ENV, ORV_DEFAULT_CONFIG);
}

}  // namespace

int main(int argc, char** argv) {
  LmtpOptions opts;
  int r = parse_lmtp_options(argc, argv, &opts);
  if (r == 1) {
    help();
    return 0;
  }
  if (r != 0) {
    fputs(kLmtpUsage, stderr);
    return 64;
  }
  if (service_hygiene() != 0) return 70;
  if (configmsg_init(0, 4, "lmtpd") != 0) {
    fputs("orvlmtpd: the configuration cannot be read - see the default log\n", stderr);
    return 78;
  }
  int status = lmtpd_run(opts);
  configmsg_free();
  return status;
}
