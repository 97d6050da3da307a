// orvadm snapshot: a snapshot of the mailbox list now, and the list of the
// snapshot directory's slots as start-up recovery would see them.
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/config.h"
#include "store/mboxlist.h"
#include "store/snapshot.h"
#include "tools/admin.h"

namespace {

void snapshot_usage(FILE* err) {
  fprintf(err,
          "Usage: orvadm snapshot [take] | orvadm snapshot list\n"
          "take (the default) copies the mailbox list into a new slot of\n"
          "local.store.snapshotpath now; list shows the slots there.\n");
}

// The snapshot directory, or an exit status after telling err.
int configured_dir(std::string* dir, FILE* err) {
  int r = snapshot_dir(dir);
  if (r == 0) return 0;
  if (r == ENOENT) {
    fprintf(err, "orvadm: snapshots are not configured (set local.store.snapshotpath)\n");
  } else {
    fprintf(err, "orvadm: local.store.snapshotpath is unusable: %s\n", strerror(r));
  }
  return 78;
}

std::string utc(time_t t) {
  struct tm tm;
  char buf[32];
  if (!gmtime_r(&t, &tm) || strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm) == 0) return "?";
  return buf;
}

int snapshot_list_cmd(FILE* out, FILE* err) {
  std::string dir;
  if (int e = configured_dir(&dir, err)) return e;
  std::vector<snapshot_slot> slots;
  int r = snapshot_list(dir, &slots);
  if (r == ENOENT) {
    fprintf(out, "no snapshots in %s\n", dir.c_str());
    return 0;
  }
  if (r != 0) {
    fprintf(err, "orvadm: cannot read %s: %s\n", dir.c_str(), strerror(r));
    return 74;
  }
  fprintf(out, "snapshots in %s (recovery restores the newest complete one):\n", dir.c_str());
  for (const auto& s : slots) {
    std::string when = s.time ? utc(s.time) : "-";
    fprintf(out, "%-9s %-23s %s%s%s\n", s.name.c_str(), when.c_str(), s.complete ? "complete" : "incomplete",
            s.problem.empty() ? "" : ": ", s.problem.c_str());
  }
  return 0;
}

int snapshot_take_cmd(FILE* out, FILE* err) {
  std::string dir;
  if (int e = configured_dir(&dir, err)) return e;
  if (int e = adm_start(err)) return e;
  snapshot_params p;
  p.count = config_get_int(config_getdefaultcache(), "local.store.snapshotcount", 3);
  snapshot_result res;
  int r = snapshot_take(mboxlist_env(), dir, p, &res);
  if (r == kSnapshotBusy) {
    fprintf(err, "orvadm: another snapshot is being taken in %s; try again later\n", dir.c_str());
    return 75;
  }
  if (r != 0) {
    fprintf(err, "orvadm: the snapshot failed: %s; see the log for details\n",
            r > 0 ? strerror(r) : db_strerror(r));
    return 74;
  }
  fprintf(out, "snapshot taken: %s%s (%lld bytes, %s)\n", dir.c_str(), res.slot.c_str(), res.bytes,
          utc(res.time).c_str());
  return 0;
}

}  // namespace

int adm_snapshot(int argc, char** argv, FILE* out, FILE* err) {
  if (argc == 1 || (argc == 2 && strcmp(argv[1], "take") == 0)) return snapshot_take_cmd(out, err);
  if (argc == 2 && strcmp(argv[1], "list") == 0) return snapshot_list_cmd(out, err);
  snapshot_usage(err);
  return 64;
}
