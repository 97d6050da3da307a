// orvadm seen / access / reconstruct: a user's seen state of one folder,
// the users' last-access times, and the rebuild of a user's records after a
// database repair (folder records from the folder directories, seen state
// validated against the folders, usage recounted into the quota record).
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/auth.h"
#include "common/imap_err.h"
#include "store/mboxlist.h"
#include "store/mboxlist_internal.h"
#include "store/mboxlist_list.h"
#include "store/mboxlist_lright.h"
#include "store/mboxlist_repair.h"
#include "store/quota.h"
#include "store/quota_record.h"
#include "store/seen_db.h"
#include "tools/admin.h"

namespace {

int usage(FILE* err, const char* text) {
  fprintf(err, "Usage: orvadm %s\n", text);
  return 64;
}

std::string time_text(uint32_t t) {
  if (t == 0) return "never";
  time_t tt = static_cast<time_t>(t);
  struct tm tm;
  char buf[64];
  if (!gmtime_r(&tt, &tm) || strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm) == 0) return std::to_string(t);
  return std::to_string(t) + " (" + buf + ")";
}

// A folder's name, directory and highest UID, from its record.
struct FolderInfo {
  std::string name, path;
  uint32_t last_uid = 0;
  seen_folder view() const { return seen_folder{name.c_str(), path.c_str(), last_uid}; }
};

int find_folder(const char* name, FolderInfo* f) {
  mboxdata mbd;
  char* path = nullptr;
  int r = mboxlist_lookup(name, &mbd, nullptr, &path, nullptr, nullptr);
  if (r == 0) {
    f->name = name;
    f->path = path ? path : "";
    f->last_uid = mbd.last_uid;
  }
  free(path);
  return r;
}

// Owns a seen handle; closing releases its lock.
struct SeenCloser {
  void operator()(seen* s) const { seen_close(s); }
};
using SeenPtr = std::unique_ptr<seen, SeenCloser>;

struct SeenState {
  time_t lastread = 0, lastchange = 0;
  uint32_t lastuid = 0;
  std::string seen, second;  // the two UID sets
};

// Reads the state with the lock held; the lock stays with the handle.
int read_state(seen* s, SeenState* st) {
  char* uids = nullptr;
  int r = seen_lockread(s, &st->lastread, &st->lastuid, &st->lastchange, &uids);
  if (r) return r;
  std::string both = uids ? uids : " ";
  free(uids);
  size_t sp = both.find(' ');
  st->seen = both.substr(0, sp);
  st->second = sp == std::string::npos ? "" : both.substr(sp + 1);
  return 0;
}

// A UID set the folder can hold: the validation the store applies to
// stored states must leave it unchanged.
bool valid_uidset(const std::string& set, uint32_t last_uid) {
  if (set.find_first_of(" \t\r\n") != std::string::npos) return false;
  std::string text = "0 0 0 " + set + " ";
  char* fixed = nullptr;
  int f = seen_fixdata(&fixed, text.data(), text.data() + text.size(), last_uid, time(nullptr), 0, 0, "", nullptr,
                       nullptr);
  free(fixed);
  return f == 0;
}

int seen_show(const FolderInfo& f, const std::string& user, FILE* out, FILE* err) {
  seen* raw = nullptr;
  if (int r = seen_open_folder(f.view(), user.c_str(), &raw)) return adm_report(err, "cannot read seen state of", f.name.c_str(), r);
  SeenPtr s(raw);
  SeenState st;
  if (int r = read_state(s.get(), &st)) return adm_report(err, "cannot read seen state of", f.name.c_str(), r);
  fprintf(out, "folder:       %s\n", f.name.c_str());
  fprintf(out, "user:         %s\n", user.c_str());
  fprintf(out, "last read:    %s\n", time_text(static_cast<uint32_t>(st.lastread)).c_str());
  fprintf(out, "last uid:     %" PRIu32 "\n", st.lastuid);
  fprintf(out, "last change:  %s\n", time_text(static_cast<uint32_t>(st.lastchange)).c_str());
  fprintf(out, "seen:         %s\n", st.seen.c_str());
  fprintf(out, "second set:   %s\n", st.second.c_str());
  return 0;
}

// Replaces the seen set, keeping the second set and the UID mark (lowered
// to the folder's last UID if it lies beyond), in one locked cycle.
int seen_set(const FolderInfo& f, const std::string& user, const char* set, FILE* out, FILE* err) {
  if (!valid_uidset(set, f.last_uid)) {
    fprintf(err, "orvadm: \"%s\" is not a UID set of %s (numbers 1 to %" PRIu32 ", ',' and ':')\n", set,
            f.name.c_str(), f.last_uid);
    return 65;
  }
  seen* raw = nullptr;
  if (int r = seen_open_folder(f.view(), user.c_str(), &raw)) return adm_report(err, "cannot open seen state of", f.name.c_str(), r);
  SeenPtr s(raw);
  SeenState st;
  if (int r = read_state(s.get(), &st)) return adm_report(err, "cannot read seen state of", f.name.c_str(), r);
  time_t now = time(nullptr);
  uint32_t lastuid = st.lastuid > f.last_uid ? f.last_uid : st.lastuid;
  std::string both = std::string(set) + " " + st.second;
  int r = seen_write(s.get(), st.lastread ? st.lastread : now, lastuid, now, both.c_str());
  if (r) return adm_report(err, "cannot write seen state of", f.name.c_str(), r);
  fprintf(out, "%s: seen by %s: %s\n", f.name.c_str(), user.c_str(), set);
  return 0;
}

void print_access(const char* root, uint32_t lastuse, uint32_t imap, uint32_t http, void* rock) {
  FILE* out = static_cast<FILE*>(rock);
  fprintf(out, "%s\tpop %s\timap %s\thttp %s\n", root, time_text(lastuse).c_str(), time_text(imap).c_str(),
          time_text(http).c_str());
}

}  // namespace

int adm_seen(int argc, char** argv, FILE* out, FILE* err) {
  const char* text = "seen show FOLDER USER | seen set FOLDER USER UIDSET   (UIDSET like 1:5,7; \"\" for none)";
  bool show = argc == 4 && strcmp(argv[1], "show") == 0;
  bool set = argc == 5 && strcmp(argv[1], "set") == 0;
  if (!show && !set) return usage(err, text);
  std::string user;
  if (int s = adm_userid(argv[3], &user, err)) return s;
  if (int s = adm_start(err)) return s;
  FolderInfo f;
  if (int r = find_folder(argv[2], &f)) return adm_report(err, "no folder", argv[2], r);
  return show ? seen_show(f, user, out, err) : seen_set(f, user, argv[4], out, err);
}

int adm_access(int argc, char** argv, FILE* out, FILE* err) {
  const char* text = "access [USER] | access set USER pop|imap|http [TIME]   (TIME: seconds since 1970, default now)";
  if (argc <= 2) {
    if (int s = adm_start(err)) return s;
    if (argc == 1) {
      int r = mboxlist_getallaccess(print_access, out);
      if (r != DB_NOTFOUND) return adm_report(err, "cannot read", "access times", IMAP_IOERROR);
      return 0;
    }
    std::string user;
    if (int s = adm_userid(argv[1], &user, err)) return s;
    char name[AUTH_ID_MAX];
    snprintf(name, sizeof name, "%s", user.c_str());
    quotadata qd;
    if (int r = mboxlist_getlastaccess(name, &qd)) return adm_report(err, "no access record of", user.c_str(), r);
    std::string root = "user/" + std::string(name);
    print_access(root.c_str(), qd.lastuse, qd.lastimapaccess, qd.lasthttpaccess, out);
    return 0;
  }
  if ((argc == 4 || argc == 5) && strcmp(argv[1], "set") == 0) {
    const char* proto = argv[3];
    if (strcmp(proto, "pop") != 0 && strcmp(proto, "imap") != 0 && strcmp(proto, "http") != 0)
      return usage(err, text);
    time_t when = time(nullptr);
    if (argc == 5) {
      char* end = nullptr;
      unsigned long long v = strtoull(argv[4], &end, 10);
      if (end == argv[4] || *end || argv[4][0] == '-' || v > UINT32_MAX) return usage(err, text);
      when = static_cast<time_t>(v);
    }
    std::string user;
    if (int s = adm_userid(argv[2], &user, err)) return s;
    if (int s = adm_start(err)) return s;
    if (int r = mboxlist_setaccesstime(user.c_str(), when, proto))
      return adm_report(err, "cannot set the access time of", user.c_str(), r);
    fprintf(out, "user/%s: %s access at %s\n", user.c_str(), proto, time_text(static_cast<uint32_t>(when)).c_str());
    return 0;
  }
  return usage(err, text);
}

namespace {

// Prints what the rebuild of one user did.  0, or 75 when a step failed.
int report_rebuilt(const mboxlist_rebuilt& rb, const std::string& user, FILE* out, FILE* err) {
  for (const mboxlist_rebuilt::folder& f : rb.folders) {
    fprintf(out, "%s\t%s\n", f.name.c_str(), f.restored ? "restored" : "kept");
  }
  for (const std::string& p : rb.problems) fprintf(err, "orvadm: %s\n", p.c_str());
  fprintf(out, "quota user/%s: %llu bytes, %u messages\n", user.c_str(), rb.quota_used, rb.messages);
  return rb.problems.empty() ? 0 : 75;
}

// reconstruct -m: every user that needs a rebuild: on disk but not in the
// list, or not rebuilt since the last repair of the list.
int reconstruct_all(FILE* out, FILE* err) {
  if (int s = adm_start(err)) return s;
  mboxlist_user_census census;
  if (int r = mboxlist_census_users(true, &census)) return adm_report(err, "cannot read", "the users", r);
  int status = 0;
  for (const std::string& user : census.need_repair) {
    mboxlist_rebuilt rb;
    int r = mboxlist_reconstruct_user(user.c_str(), &rb);
    if (r == -1) {
      fprintf(err, "orvadm: reconstruct %s: no INBOX of the user on any partition\n", user.c_str());
      status = 75;
      continue;
    }
    if (r) {
      adm_report(err, "cannot reconstruct", user.c_str(), r);
      status = 75;
      continue;
    }
    fprintf(out, "user %s\n", user.c_str());
    if (report_rebuilt(rb, user, out, err)) status = 75;
  }
  if (int r = mboxlist_fixlright_all()) {
    adm_report(err, "cannot repair", "the shared-folder lists", r);
    status = 75;
  }
  fprintf(out, "reconstructed %zu users\n", census.need_repair.size());
  return status;
}

}  // namespace

// What an administrator runs for a user after the mailbox list database was
// repaired or rebuilt: every folder directory of the user on any partition
// that lost its record gets it back with the ACL its index keeps, the
// shared-folder lists learn the restored ACLs, the seen state of every
// folder is checked against the folder, subscriptions come back from
// "store.sub" when the database lost them, and the quota record is
// recounted.  -m does it for every user who needs it.
int adm_reconstruct(int argc, char** argv, FILE* out, FILE* err) {
  if (argc == 2 && strcmp(argv[1], "-m") == 0) return reconstruct_all(out, err);
  if (argc != 2) return usage(err, "reconstruct USER | reconstruct -m");
  std::string user;
  if (int s = adm_userid(argv[1], &user, err)) return s;
  if (int s = adm_start(err)) return s;
  mboxlist_rebuilt rb;
  int r = mboxlist_reconstruct_user(user.c_str(), &rb);
  if (r == -1) {
    fprintf(err, "orvadm: reconstruct %s: no INBOX of the user on any partition\n", user.c_str());
    return 79;
  }
  if (r) return adm_report(err, "cannot reconstruct", user.c_str(), r);
  int status = report_rebuilt(rb, user, out, err);
  // Lost or re-shared folders of this user leave no stale entry in
  // anybody's list.
  if (int lr = mboxlist_fixlright_all()) {
    adm_report(err, "cannot repair the shared-folder lists for", user.c_str(), lr);
    status = 75;
  }
  return status;
}
