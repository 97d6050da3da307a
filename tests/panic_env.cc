// Test helper for the end-to-end tests: joins the mailbox list of the
// instance in $ORV_CONFIG and marks its environment panicked, as the library
// does when a process dies inside it -- without the store daemon's check
// noticing, when the test has stopped the daemon.
// Usage: panic_env
#include <db.h>

#include <cstdio>

#include "common/bvlog.h"
#include "common/config.h"
#include "store/mboxlist.h"

int main() {
  if (configmsg_init(0, 0, "panic_env") != 0 || configmsg_initlog("admin", "panic_env") != 0) return 78;
  if (mboxlist_init() != 0) return 69;
  DB_ENV* env = mboxlist_env();
  int r = env->set_flags(env, DB_PANIC_ENVIRONMENT, 1);
  if (r != 0) {
    fprintf(stderr, "panic_env: %s\n", db_strerror(r));
    return 70;
  }
  // The handles of a panicked environment are left alone (closing waits on
  // its mutexes); the exit code tells the test it worked.
  fflush(nullptr);
  _exit(0);
}
