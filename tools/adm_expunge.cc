// orvadm expunge / cleanup: removing messages as an administrator.
//
// Expunge rewrites a folder's index without the chosen messages through
// the store (quota usage, expunge event and log as for any expunge); the
// message files stay until the clean-up, as a reader may still have them
// open.  The store daemon runs the clean-up on its timer; `cleanup` runs
// it now.
#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "common/auth.h"
#include "common/config.h"
#include "common/imap_err.h"
#include "store/append.h"
#include "store/mailbox.h"
#include "store/mboxlist.h"
#include "store/mboxlist_list.h"
#include "tools/admin.h"

namespace {

using UidRanges = std::vector<std::pair<uint32_t, uint32_t>>;

bool parse_uid(const char* s, const char** end, uint32_t* out) {
  if (*s == '*') {
    *out = UINT32_MAX;
    *end = s + 1;
    return true;
  }
  if (*s < '1' || *s > '9') return false;
  uint64_t v = 0;
  while (*s >= '0' && *s <= '9') {
    v = v * 10 + static_cast<uint64_t>(*s++ - '0');
    if (v > UINT32_MAX) return false;
  }
  *out = static_cast<uint32_t>(v);
  *end = s;
  return true;
}

// An IMAP uid set: "1:10,15,20:*" ('*' is the largest uid; a range may be
// written either way round).
bool parse_uidset(const char* s, UidRanges* out) {
  if (!*s) return false;
  for (;;) {
    uint32_t lo = 0, hi = 0;
    if (!parse_uid(s, &s, &lo)) return false;
    hi = lo;
    if (*s == ':' && !parse_uid(s + 1, &s, &hi)) return false;
    out->emplace_back(std::min(lo, hi), std::max(lo, hi));
    if (*s == '\0') return true;
    if (*s++ != ',') return false;
  }
}

struct Choice {
  const UidRanges* uids = nullptr;  // null: the messages flagged deleted
  unsigned count = 0;
};

int choose(void* rock, const index_record* rec) {
  auto* c = static_cast<Choice*>(rock);
  bool pick = false;
  if (!c->uids) {
    pick = (rec->system_flags & FLAG_DELETED) != 0;
  } else {
    for (const auto& [lo, hi] : *c->uids) pick = pick || (rec->uid >= lo && rec->uid <= hi);
  }
  if (pick) c->count++;
  return pick ? 1 : 0;
}

// Files expunged more than local.store.expungecleanupage seconds ago.
time_t cleanup_cutoff() {
  return time(nullptr) - config_get_int(config_getdefaultcache(), "local.store.expungecleanupage", 0);
}

}  // namespace

int adm_expunge(int argc, char** argv, FILE* out, FILE* err) {
  const char* text = "expunge FOLDER UIDSET | expunge --deleted FOLDER";
  UidRanges uids;
  Choice choice;
  const char* name = nullptr;
  if (argc == 3 && strcmp(argv[1], "--deleted") == 0) {
    name = argv[2];
  } else if (argc == 3 && argv[1][0] != '-') {
    name = argv[1];
    if (!parse_uidset(argv[2], &uids)) {
      fprintf(err, "orvadm: \"%s\" is not a uid set (such as 1:10,15,20:*)\n", argv[2]);
      return 64;
    }
    choice.uids = &uids;
  } else {
    fprintf(err, "Usage: orvadm %s\n", text);
    return 64;
  }
  if (int s = adm_start(err)) return s;
  mailbox m;
  if (int r = mailbox_open(name, 0, auth_dontCheckAcl, &m)) return adm_report(err, "cannot open", name, r);
  // '*' is the uid of the folder's last message.
  index_record last;
  if (m.mbd.exists > 0 && mailbox_read_index_record(&m, m.mbd.exists, &last) == 0) {
    for (auto& [lo, hi] : uids) {
      const uint32_t a = lo == UINT32_MAX ? last.uid : lo;
      const uint32_t b = hi == UINT32_MAX ? last.uid : hi;
      lo = std::min(a, b);
      hi = std::max(a, b);
    }
  }
  int r = mailbox_expunge(&m, 0, 0, choose, &choice);
  mailbox_close(&m);
  if (r) return adm_report(err, "cannot expunge", name, r);
  fprintf(out, "%s: %u message%s expunged\n", name, choice.count, choice.count == 1 ? "" : "s");
  return 0;
}

int adm_cleanup(int argc, char** argv, FILE* out, FILE* err) {
  if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
    fprintf(err, "Usage: orvadm cleanup [FOLDER]\n");
    return 64;
  }
  if (int s = adm_start(err)) return s;
  const time_t before = cleanup_cutoff();
  if (argc == 2) {
    if (int r = mboxlist_clean_expunged_folder(argv[1], before)) return adm_report(err, "cannot clean up", argv[1], r);
    fprintf(out, "%s: expunged files removed\n", argv[1]);
    return 0;
  }
  std::string from;
  int failed = 0;
  do {
    int f = mboxlist_clean_expunged(before, &from, 1000);
    if (f < 0) {
      fprintf(err, "orvadm: cannot list the folders to clean up\n");
      return 75;
    }
    failed += f;
  } while (!from.empty());
  if (failed) {
    fprintf(err, "orvadm: the clean-up of %d folder%s failed; see the log\n", failed, failed == 1 ? "" : "s");
    return 75;
  }
  fprintf(out, "expunged files removed\n");
  return 0;
}
