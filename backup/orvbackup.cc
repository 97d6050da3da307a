// orvbackup: writes all or part of the message store to a tape, a file or
// standard output.  See backup/backup.h.
#include <csignal>
#include <cstdio>
#include <cstring>

#include "backup/backup.h"
#include "common/service.h"
#include "store/mboxlist.h"

namespace {

constexpr const char* HELP =
    "Usage: orvbackup -f device [-b blockfactor] [-d date] [-m link_count] [-e encoding]\n"
    "                 [-u file] [-n path] [-ivlg] [name ...]\n"
    "Writes the message store, or the named parts of it, to a tape, a file or a pipe.\n"
    "\n"
    "  -f device       tape drive, file, or - for standard output (required)\n"
    "  -b blockfactor  block size in 512-byte units, 1-4096 (default 20)\n"
    "  -d date         incremental: only folders and messages changed since\n"
    "                  YYYYMMDD or YYYYMMDD:HHMMSS (local time)\n"
    "  -m link_count   a file with more links than this is saved once and\n"
    "                  referred to afterwards (default 1)\n"
    "  -i              save every message whole, without link detection\n"
    "  -e encoding     character set of the names given (default UTF-8)\n"
    "  -u file         read the names to save from file, one per line\n"
    "  -n path         names are relative to this save path (local.store.backupdir);\n"
    "                  implies -i\n"
    "  -l              load the next tape automatically when one is full\n"
    "  -v              list every saved object on standard error\n"
    "  -g              log the start and end of the run\n"
    "      --help      this text\n"
    "\n"
    "Names: / (the whole store), /partition, /partition/group,\n"
    "/partition/group/user, .../user/folder, .../folder/uid.\n"
    "The store daemon (orvstored) must be running.  orvrestore -t lists a volume.\n"
    "Exit status: 0 done; 64 usage; 65 invalid name; 66 nothing to save;\n"
    "69 start-up failed; 70 an object could not be saved; 73 device cannot be\n"
    "created; 74 device failure; 75 try again later; 79 a name does not exist.\n";

}  // namespace

int main(int argc, char** argv) {
  // Descriptors 0-2 open before anything: with standard output closed the
  // backup file itself would become descriptor 1.
  if (service_hygiene() != 0) return 70;
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(HELP, stdout);
    return 0;
  }
  backup_options opts;
  int rc = backup_parse_options(argc, argv, &opts);
  if (rc != 0) return rc;
  // A closed reading end of "-f -" must fail the write (and the backup),
  // not kill the process before it reports.
  std::signal(SIGPIPE, SIG_IGN);
  // A store that cannot start ends the run through the normal way out, so a
  // target file made for it is not left behind; the status stays the one
  // start-up chose (75: try again later).
  static int startup_status = 0;
  mboxlist_set_fatal_handler([](int status) { startup_status = status; });
  rc = backup_run(opts, argv[0]);
  return startup_status ? startup_status : rc;
}
