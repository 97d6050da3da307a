// orvconnutil: who is connected now (-c) and when each user last read mail
// (-a).  Exit statuses in connutil/connutil.h; an interrupted report
// returns 777, which a parent sees as 9.
#include <signal.h>
#include <stdio.h>

#include "common/bvlog.h"
#include "common/config.h"
#include "common/signals.h"
#include "connutil/connutil.h"
#include "store/mboxlist.h"
#include "store/pvm_prod.h"

int main(int argc, char** argv) {
  // Line-buffered so that a report cut short by a signal has printed every
  // line it finished.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  printf("\n");
  set_signal_handler(SIGINT, "interupt signal delayed while performing critical operations\n");
  set_signal_handler(SIGTERM, "SIGTERM signal delayed while performing critical operations\n");
  set_signal_handler(SIGHUP, "SIGHUP signal delayed while performing Critical operations\n");
  set_signal_handler(SIGTSTP, "SIGTSTP signal can not be honored. Execution will terminate shortly\n");

  connutil_options opts;
  if (connutil_parse(argc, argv, &opts, stderr) != 0) return CONNUTIL_USAGE;
  if (opts.help) {
    connutil_usage(stderr);
    return CONNUTIL_OK;
  }
  if (opts.version) {
    printf("orvconnutil: Version is %s\n", version());
    return CONNUTIL_OK;
  }
  if (configmsg_init(0, 16, argv[0]) != 0) {
    fprintf(stderr, "ERROR: Could not initialize config system.\n");
    return CONNUTIL_CONFIG;
  }
  if (configmsg_setuid() != 0) return CONNUTIL_CONFIG;
  if (configmsg_initlog("default", "orvconnutil") != 0) return CONNUTIL_CONFIG;
  if (mboxlist_init() != 0) return CONNUTIL_SYSERR;
  int status = connutil_run(opts);
  mboxlist_close();
  configmsg_free();
  return status;
}
