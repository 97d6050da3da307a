// orvadm check: a read-only consistency report on one folder's files.
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/imap_err.h"
#include "store/mailbox_check.h"
#include "store/mboxlist.h"
#include "tools/admin.h"

namespace {

void check_usage(FILE* err) {
  fprintf(err,
          "Usage: orvadm check [--msgpath DIR] FOLDER\n"
          "FOLDER is a folder name (looked up in the mailbox list) or the folder's\n"
          "index directory (a path starting with '/' or '.').\n");
}

}  // namespace

int adm_check(int argc, char** argv, FILE* out, FILE* err) {
  std::string msgpath;
  int i = 1;
  if (i + 1 < argc && strcmp(argv[i], "--msgpath") == 0) {
    msgpath = argv[i + 1];
    i += 2;
  }
  if (i + 1 != argc) {
    check_usage(err);
    return 64;
  }
  const char* target = argv[i];
  std::string path;
  std::string name = target;
  const bool by_path = target[0] == '/' || target[0] == '.';
  if (by_path) {
    path = target;
  } else {
    if (mboxlist_init() != 0) {
      fprintf(err, "Cannot open the mailbox list to find %s\n", target);
      return 69;
    }
    char *p = nullptr, *mp = nullptr;
    int r = mboxlist_lookup(target, nullptr, nullptr, &p, &mp, nullptr);
    if (r) {
      fprintf(err, "Folder %s: %s\n", target, error_message(r));
      return r == IMAP_MAILBOX_NONEXISTENT ? 79 : 69;
    }
    path = p;
    if (mp && *mp && msgpath.empty()) msgpath = mp;
    free(p);
    free(mp);
  }
  mailbox_check_report rep;
  if (int e = mailbox_check(path.c_str(), msgpath.empty() ? nullptr : msgpath.c_str(), &rep)) {
    fprintf(err, "Folder %s: cannot open its index in %s: %s\n", name.c_str(), path.c_str(), strerror(e));
    return 66;
  }
  // A folder named by its list entry is also checked against the list.
  if (!by_path) {
    if (int r = mailbox_check_usage(target, &rep)) {
      fprintf(err, "Folder %s: cannot compare its usage with the mailbox list: %s\n", target, error_message(r));
      return r == IMAP_MAILBOX_NONEXISTENT ? 79 : 69;
    }
  }
  fprintf(out, "folder:        %s\n", name.c_str());
  fprintf(out, "index:         %s/store.idx (%llu bytes)\n", path.c_str(),
          static_cast<unsigned long long>(rep.file_size));
  if (rep.readable) {
    fprintf(out, "version:       0x%x\n", rep.mbd.version);
    fprintf(out, "messages:      %u (last uid %u, uid validity %u)\n", rep.mbd.exists, rep.mbd.last_uid,
            rep.mbd.uid_validity);
    fprintf(out, "offsets:       records at %u, cache at %u\n", rep.start_offset, rep.cache_offset);
  }
  for (const auto& p : rep.problems) fprintf(out, "problem:       %s\n", p.c_str());
  if (rep.problems.empty()) {
    fprintf(out, "consistent\n");
    return 0;
  }
  fprintf(out, "%zu problem%s\n", rep.problems.size(), rep.problems.size() == 1 ? "" : "s");
  return 65;
}
