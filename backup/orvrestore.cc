// orvrestore: puts a backup stream back into the store, or lists it (-t).
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "backup/bkcontext.h"
#include "backup/bkdev.h"
#include "backup/bklist.h"
#include "backup/restore.h"
#include "common/service.h"
#include "store/userattr.h"

namespace {

void usage_to(FILE* f, const char* prog) {
  std::fprintf(f,
               "USAGE: %s [-t] [-v] -f device [-b blockfactor] [-u namefile] [-m usermap] [-n folder] "
               "[-p answers] [name ...]\n",
               prog);
}

void usage(const char* prog) { usage_to(stderr, prog); }


constexpr const char* HELP =
    "\nPuts a backup volume written by orvbackup back into the store, or lists it.\n"
    "\n"
    "  -f device     tape drive, file, or - for standard input (required)\n"
    "  -t            list the records instead of restoring (one line each)\n"
    "  -v            with -t: every attribute; otherwise each restored object\n"
    "  -b factor     block size in 512-byte units (default: read from the volume)\n"
    "  -u namefile   restore the names listed in namefile, one per line\n"
    "  -m usermap    rename users: lines of old=new\n"
    "  -n folder     restore the messages into this folder instead\n"
    "  -p answers    read the answers to volume prompts from this file\n"
    "      --help    this text\n"
    "\n"
    "Names are object names as orvrestore -t shows them; without names the\n"
    "whole volume is restored.  The store daemon must be running unless -t.\n"
    "Exit status: 0 done; 64 usage; 65 damaged stream; 66 file cannot be read;\n"
    "69 start-up failed; 70 objects failed; 73 a folder is full (its message uids\n"
    "are used up); 74 device failure; 75 try again later.\n";

}  // namespace

int main(int argc, char** argv) {
  if (service_hygiene() != 0) return 70;
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    usage_to(stdout, "orvrestore");
    std::fputs(HELP, stdout);
    return 0;
  }
  const char* dev = nullptr;
  const char* userfile = nullptr;
  const char* usermap = nullptr;
  const char* into = nullptr;
  const char* answers = nullptr;
  int list = 0, verbose = 0, errflg = 0;
  unsigned factor = 0;
  int c;
  while ((c = getopt(argc, argv, "tvf:b:u:m:n:p:")) != -1) {
    switch (c) {
      case 't':
        list = 1;
        break;
      case 'v':
        verbose = 1;
        break;
      case 'f':
        if (dev) errflg++;
        dev = optarg;
        break;
      case 'u':
        userfile = optarg;
        break;
      case 'm':
        usermap = optarg;
        break;
      case 'n':
        into = optarg;
        break;
      case 'p':
        answers = optarg;
        break;
      case 'b': {
        char* end;
        unsigned long v = std::strtoul(optarg, &end, 10);
        if (*optarg == '\0' || *end != '\0' || v == 0 || v > BK_MAX_FACTOR) errflg++;
        factor = static_cast<unsigned>(v);
        break;
      }
      default:
        errflg++;
    }
  }
  if (errflg || !dev || (list && optind != argc)) {
    usage(argv[0]);
    return 64;
  }
  int fd = std::strcmp(dev, "-") == 0 ? 0 : open(dev, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::perror("Cannot open backup file");
    return 66;
  }
  if (factor == 0) factor = bklist_probe_factor(fd);
  FILE* ans = answers ? std::fopen(answers, "r") : nullptr;
  int rc;
  {
    BkContext ctx(argv[0], 0, list ? 0 : 1);
    if (!ctx.isvalid()) return 69;
    BkSession* bks = ctx.getSession(list ? BkMode::Other : BkMode::Restore, 1, 0);
    RestorePrompt prompt{list ? nullptr : bks, ans};
    auto d = std::make_unique<BKDEV>(fd, O_RDONLY, factor, restore_prompt_flushing, &prompt);
    if (d->error()) {
      std::fprintf(stderr, "Cannot read the backup volume\n");
      rc = 74;
    } else if (list) {
      rc = bklist_stream(*d, bks, verbose, stdout, stderr);
    } else {
      UserList names;
      UserHash users;
      for (int i = optind; i < argc; i++) (void)names.adduser(argv[i], nullptr);
      if (userfile && !names.load(userfile, nullptr, 1)) return 66;
      if (usermap && !users.load(usermap)) return 66;
      RestoreOptions opt;
      opt.names = names.count() ? &names : nullptr;
      opt.users = usermap ? &users : nullptr;
      opt.into = into;
      opt.verbose = verbose;
      RestoreCounts n;
      rc = restore_stream(*d, bks, opt, stdout, stderr, &n);
      userattr_exit();  // the directory connections, when an INBOX was provisioned
      std::fprintf(stderr, "%u folders, %u messages, %u links restored; %u skipped; %u failed\n", n.folders, n.messages,
                   n.links, n.skipped, n.failed);
      if (d->error() && rc == 0) rc = 74;
    }
  }
  if (ans) std::fclose(ans);
  if (fd > 0) close(fd);
  return rc;
}
