// orvbackup: writes all or part of the message store to a tape, a file or
// standard output.  See backup/backup.h.
#include <csignal>

#include "backup/backup.h"

int main(int argc, char** argv) {
  backup_options opts;
  int rc = backup_parse_options(argc, argv, &opts);
  if (rc != 0) return rc;
  // A closed reading end of "-f -" must fail the write (and the backup),
  // not kill the process before it reports.
  std::signal(SIGPIPE, SIG_IGN);
  return backup_run(opts, argv[0]);
}
