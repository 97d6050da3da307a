// orvadm list / subscribe / unsubscribe: a user's folders and subscriptions
// as the user sees them, and the store-wide listing by pattern.  The user's
// listing runs with the user's own identities, so it shows exactly the
// folders the user may see, shared ones under "Shared Folders/User/".
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/auth.h"
#include "common/imap_err.h"
#include "store/mboxlist.h"
#include "store/mboxlist_list.h"
#include "store/mboxname.h"
#include "tools/admin.h"

int adm_start(FILE* err) {
  if (mboxlist_init() != 0) {
    fprintf(err, "orvadm: cannot open the mailbox list\n");
    return 69;
  }
  return 0;
}

int adm_report(FILE* err, const char* what, const char* name, int r) {
  fprintf(err, "orvadm: %s %s: %s\n", what, name, error_message(r));
  return error_exit_status(r);
}

int adm_userid(const char* id, std::string* out, FILE* err) {
  char canon[AUTH_ID_MAX];
  if (auth_canonifyid(id, canon, sizeof canon) != 0 || strcmp(canon, "anyone") == 0 ||
      strncmp(canon, "group:", 6) == 0 || strchr(canon, '/')) {
    fprintf(err, "orvadm: \"%s\" is not a valid user id\n", id);
    return 65;
  }
  *out = canon;
  return 0;
}

namespace {

int usage(FILE* err, const char* text) {
  fprintf(err, "Usage: orvadm %s\n", text);
  return 64;
}

const char* childinfo_text(int childinfo) {
  switch (childinfo) {
    case mboxlist_noinferiors:
      return "noinferiors";
    case mboxlist_hasnochildren:
      return "hasnochildren";
    case mboxlist_haschildren:
      return "haschildren";
    default:
      return "-";
  }
}

// One line per listed name: the part the pattern reached (a folder below
// it shows as its matching ancestor, once), TAB, child information, and
// "noselect" when the name has no folder record of its own.
struct Printer {
  FILE* out = nullptr;
  std::string last;
  long count = 0;
  bool inbox = false;  // the user's INBOX was listed
  std::string text;    // the lines, when held back until the listing ends
  bool hold = false;
};

int print_entry(const char* name, int matchlen, int childinfo, const mboxdata* mbd, void* rock) {
  auto* p = static_cast<Printer*>(rock);
  size_t len = strlen(name);
  bool partial = matchlen > 0 && static_cast<size_t>(matchlen) < len;
  std::string shown(name, partial ? static_cast<size_t>(matchlen) : len);
  if (shown == p->last) return 0;  // a second folder below the same ancestor
  p->last = shown;
  ++p->count;
  if (shown == "INBOX") p->inbox = true;
  std::string line = shown + "\t" + childinfo_text(partial ? mboxlist_haschildren : childinfo) +
                     (partial || !mbd ? "\tnoselect" : "") + "\n";
  if (p->hold)
    p->text += line;
  else
    fputs(line.c_str(), p->out);
  return 0;
}

}  // namespace

int adm_list(int argc, char** argv, FILE* out, FILE* err) {
  const char* text =
      "list [--subscribed] [--regex] USER [PATTERN] | list --store [--regex] PATTERN\n"
      "  (PATTERN: '*' any text, '%' any text without '/'; default '*')";
  bool subscribed = false, store = false;
  int flags = MBOXLIST_FIND_CHILDINFO;
  int i = 1;
  for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
    if (strcmp(argv[i], "--subscribed") == 0) {
      subscribed = true;
    } else if (strcmp(argv[i], "--store") == 0) {
      store = true;
    } else if (strcmp(argv[i], "--regex") == 0) {
      flags |= MBOXLIST_FIND_REGEX;
    } else {
      return usage(err, text);
    }
  }
  int rest = argc - i;
  if (store ? (rest != 1 || subscribed) : (rest < 1 || rest > 2)) return usage(err, text);
  Printer p;
  p.out = out;
  if (store) {
    if (int s = adm_start(err)) return s;
    int r = mboxlist_findall(argv[i], flags, -1, nullptr, nullptr, print_entry, &p);
    if (r) return adm_report(err, "cannot list", argv[i], r == DB_NOTFOUND ? IMAP_IOERROR : r);
    return 0;
  }
  std::string user;
  if (int s = adm_userid(argv[i], &user, err)) return s;
  const char* pattern = rest == 2 ? argv[i + 1] : "*";
  auth_state* raw = nullptr;
  if (int r = auth_newstate(user.c_str(), nullptr, &raw)) return adm_report(err, "cannot act as", user.c_str(), r);
  AuthStatePtr auth(raw);
  if (int s = adm_start(err)) return s;
  // The user's own folders come from the list or, in the configured disk
  // listing mode ("local.store.listrecover"), from the folders on disk.
  // The lines are held back: a user without an INBOX (neither in the list
  // nor, for a disk listing, on disk) has nothing of his own to list, which
  // is said rather than shown as an empty listing that looks like a
  // healthy account.
  p.hold = true;
  int r = subscribed ? mboxlist_findsub(pattern, flags, 0, user.c_str(), auth.get(), print_entry, &p)
                     : mboxlist_findall_plus(pattern, flags, 0, user.c_str(), auth.get(), print_entry, &p, 0);
  if (r) return adm_report(err, "cannot list the folders of", user.c_str(), r > 0 ? r : IMAP_IOERROR);
  std::string inbox = "user/" + user;
  if (!p.inbox &&
      mboxlist_lookup(inbox.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr) == IMAP_MAILBOX_NONEXISTENT)
    return adm_report(err, "cannot list the folders of", user.c_str(), IMAP_MAILBOX_NONEXISTENT);
  fputs(p.text.c_str(), out);
  return 0;
}

// subscribe USER FOLDER | unsubscribe USER FOLDER.  FOLDER is an internal
// name; a subscription is only made to a folder that exists, while any
// subscription can be dropped (also one left behind by a deleted folder).
int adm_subscribe(int argc, char** argv, FILE* out, FILE* err) {
  bool add = strcmp(argv[0], "subscribe") == 0;
  if (argc != 3) return usage(err, add ? "subscribe USER FOLDER" : "unsubscribe USER FOLDER");
  std::string user;
  if (int s = adm_userid(argv[1], &user, err)) return s;
  const char* folder = argv[2];
  if (strlen(folder) >= MBOXNAME_MAX) return adm_report(err, "cannot subscribe to", folder, IMAP_MAILBOX_BADNAME);
  if (int s = adm_start(err)) return s;
  if (add) {
    int r = mboxlist_lookup(folder, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (r) return adm_report(err, "cannot subscribe to", folder, r);
  }
  int r = mboxlist_changesub(folder, user.c_str(), auth_dontCheckAcl, add ? 1 : 0);
  if (r) return adm_report(err, add ? "cannot subscribe to" : "cannot unsubscribe from", folder, r);
  fprintf(out, "%s %s %s\n", user.c_str(), add ? "subscribed to" : "unsubscribed from", folder);
  return 0;
}
