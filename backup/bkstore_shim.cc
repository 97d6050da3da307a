// Link-time stand-ins for store functions that are declared by the store's
// headers but not defined in the store library yet (the folder-handle
// forms of the seen module and the disk recovery of folder records).  They
// are weak: the store's own definitions replace them as soon as they exist,
// and this file is then deleted.  Until then the folder-handle forms
// forward to the seen module's folder forms, which behave the same.
#include "store/mailbox.h"
#include "store/mboxlist_list.h"
#include "store/seen_db.h"

namespace {
seen_folder folder_of(const mailbox* m) {
  seen_folder f;
  f.name = m->name;
  f.path = m->path;
  f.last_uid = m->mbd.last_uid;
  return f;
}
}  // namespace

__attribute__((weak)) int seen_open(mailbox* m, const char* user, seen** seendb) {
  return seen_open_folder(folder_of(m), user, seendb);
}
__attribute__((weak)) int seen_create(mailbox* m) { return seen_create_folder(m->name); }
__attribute__((weak)) int seen_delete(mailbox* m, int rmusrfile) { return seen_delete_folder(folder_of(m), rmusrfile); }
__attribute__((weak)) int mboxlist_recover_folders_from_disk(const char*) { return -1; }
