// orvrestore: the reading side of backup volumes.  -t lists a volume.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "backup/bkcontext.h"
#include "backup/bkdev.h"
#include "backup/bklist.h"

namespace {

void usage(const char* prog) { std::fprintf(stderr, "USAGE: %s: -t -f device [-b blockfactor] [-v]\n", prog); }

}  // namespace

int main(int argc, char** argv) {
  const char* dev = nullptr;
  int list = 0, verbose = 0, errflg = 0;
  unsigned factor = 0;
  int c;
  while ((c = getopt(argc, argv, "tvf:b:")) != -1) {
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
  // Restoring into the store is not available yet: only the listing.
  if (errflg || !dev || !list || optind != argc) {
    usage(argv[0]);
    return 64;
  }
  int fd = std::strcmp(dev, "-") == 0 ? 0 : open(dev, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::perror("Cannot open backup file");
    return 66;
  }
  if (factor == 0) factor = bklist_probe_factor(fd);
  int rc;
  {
    BkContext ctx(argv[0], 0, 0);
    if (!ctx.isvalid()) return 69;
    BkSession* bks = ctx.getSession(BkMode::Other, 0, 0);
    auto d = std::make_unique<BKDEV>(fd, O_RDONLY, factor, nullptr, nullptr);
    if (d->error()) {
      std::fprintf(stderr, "Cannot read the backup volume\n");
      rc = 74;
    } else {
      rc = bklist_stream(*d, bks, verbose, stdout, stderr);
    }
  }
  if (fd > 0) close(fd);
  return rc;
}
