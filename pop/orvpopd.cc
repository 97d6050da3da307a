// orvpopd: the POP3 server.
#include <cstdio>

#include "common/config.h"
#include "common/service.h"
#include "pop/popd.h"
#include "pop/settings.h"

namespace {

void help() {
  printf(
      "Usage: orvpopd [-1] [-x] [-d FD] [-D FD] [-p PORT] [-P PORT] [-a ADDRESS]\n"
      "The POP3 server of the message store.  It runs in the foreground; the store\n"
      "daemon (orvstored) must be ready.  The configuration file is $%s, else %s.\n\n"
      "  -p PORT     plain POP3 port (default service.pop.port, 110)\n"
      "  -P PORT     POP3 over TLS port (default service.pop.sslport, 995)\n"
      "  -a ADDRESS  listen address (default service.listenaddr: every address)\n"
      "  -d FD       serve the plain port on this inherited listening socket\n"
      "  -D FD       serve the TLS port on this inherited listening socket\n"
      "              (with -d or -D no other port is opened)\n"
      "  -1          serve one session, then stop\n"
      "  -x          strict protocol: GURL is not a command\n"
      "  -0          extra process started by the first one (internal)\n"
      "  --help      this text\n\n"
      "service.pop.numprocesses processes share the sockets; the first starts and\n"
      "supervises the others.  SIGTERM or SIGINT stops the service, SIGHUP re-reads\n"
      "the configuration and reopens the log file, SIGUSR1 reopens the log file.\n"
      "Exit status: 0 stopped, 64 usage or listen address,\n"
      "75 store daemon not ready or another orvpopd on this store, 77 a port cannot\n"
      "be opened or the server user cannot be taken on, 78 configuration.\n",
      ORV_CONFIG_ENV, ORV_DEFAULT_CONFIG);
}

}  // namespace

int main(int argc, char** argv) {
  PopOptions opts;
  int r = parse_pop_options(argc, argv, &opts);
  if (r == 1) {
    help();
    return 0;
  }
  if (r != 0) {
    fputs(kPopUsage, stderr);
    return 64;
  }
  if (service_hygiene() != 0) return 70;
  if (configmsg_init(0, 4, "popd") != 0) {
    fputs("ERROR: Configuration database initialization failed - see default logfile\n", stderr);
    return 78;
  }
  int status = popd_run(opts);
  configmsg_free();
  return status;
}
