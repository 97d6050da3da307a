// Test helper for the end-to-end tests: removes the folder records (and a
// user's quota record and subscriptions, as mboxlist_delete does) of the
// folders named on the command line, leaving their files on disk -- what a
// damaged and repaired mailbox list looks like to the store.  Joins the
// mailbox list of the instance in $ORV_CONFIG, so the store daemon must run.
// Usage: drop_records FOLDER...
#include <cstdio>

#include "common/bvlog.h"
#include "common/config.h"
#include "store/mboxlist.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "Usage: drop_records FOLDER...\n");
    return 64;
  }
  if (configmsg_init(0, 0, "drop_records") != 0 || configmsg_initlog("admin", "drop_records") != 0) return 78;
  if (mboxlist_init() != 0) return 69;
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    if (mboxlist_delete(argv[i]) != 0) {
      fprintf(stderr, "drop_records: cannot delete the record of %s\n", argv[i]);
      status = 74;
    }
  }
  mboxlist_close();
  configmsg_free();
  return status;
}
