#include "store/deliver.h"

#include <cstring>
#include <ctime>

#include "common/auth.h"
#include "common/bvlog.h"
#include "common/config.h"
#include "common/imap_err.h"
#include "store/append.h"
#include "store/autocreate.h"
#include "store/mboxlist.h"
#include "store/mboxname.h"
#include "store/storeutil.h"
#include "store/userscan.h"

std::string deliver_canonicalize(std::string_view in) {
  if (in.substr(0, 5) == "From ") {
    size_t lf = in.find('\n');
    in = lf == std::string_view::npos ? std::string_view() : in.substr(lf + 1);
  }
  std::string out;
  out.reserve(in.size() + in.size() / 32 + 2);
  size_t start = 0;
  for (;;) {
    size_t lf = in.find('\n', start);
    if (lf == std::string_view::npos) {
      out.append(in.substr(start));
      break;
    }
    out.append(in.substr(start, lf - start));
    if (lf == start || in[lf - 1] != '\r') out += '\r';
    out += '\n';
    start = lf + 1;
  }
  return out;
}

int deliver_exit_status(int code) {
  switch (code) {
    case 0:
      return DELIVER_OK;
    case IMAP_MAILBOX_NONEXISTENT:
    case IMAP_INVALID_USER:
    case IMAP_MAILBOX_BADNAME:
    case IMAP_WRONG_MAILHOST:  // the directory keeps this user's mail elsewhere
      return DELIVER_NOUSER;
    case IMAP_MESSAGE_NOBLANKLINE:
    case IMAP_MESSAGE_CONTAINSNULL:
    case IMAP_MESSAGE_CONTAINSNL:
    case IMAP_MESSAGE_BADHEADER:
    case IMAP_MESSAGE_TOO_LARGE:
      return DELIVER_DATAERR;
    case IMAP_QUOTA_EXCEEDED_PERSISTENT:
    case IMAP_MAILBOX_FULL:  // no uid left: retrying cannot help
      return DELIVER_CANTCREAT;
    default:
      // Everything else may pass (a locked folder, a full disk, the store
      // restarting) or is ours to fix: the MTA keeps the mail and retries.
      return DELIVER_TEMPFAIL;
  }
}

int deliver_combine(int a, int b) {
  if (a == DELIVER_TEMPFAIL || b == DELIVER_TEMPFAIL) return DELIVER_TEMPFAIL;
  if (a != DELIVER_OK) return a;
  return b;
}

namespace {

// The folder to deliver to for user: the named folder when it exists, else
// the INBOX.  IMAP_MAILBOX_BADNAME for a user id that cannot name a folder.
int target_folder(const std::string& user, const char* folder, std::string* name) {
  if (user.empty() || user.find('/') != std::string::npos || user.size() >= MBOXNAME_OWNER_BUF)
    return IMAP_MAILBOX_BADNAME;
  std::string id = user;
  store_canonifyid(id.data());
  id.resize(strlen(id.c_str()));
  char buf[MBOXNAME_BUF];
  if (folder && *folder) {
    char internal[MBOXNAME_BUF];
    if (mboxname_tointernal(folder, 0, id.c_str(), internal) == 0 &&
        mboxlist_lookup(internal, nullptr, nullptr, nullptr, nullptr, nullptr) == 0) {
      *name = internal;
      return 0;
    }
  }
  *name = mboxname_toownedmailbox(nullptr, id.c_str(), buf);
  return 0;
}

// An INBOX the mailbox list does not know but whose folder is on a
// partition belongs to a user the list lost (a damaged or replaced
// database): the mail waits until the store daemon or `orvadm reconstruct
// -m` has rebuilt him, and is never bounced as if he did not exist.  0, or
// IMAP_MAILBOX_LOCKED (logged).
int lost_inbox(const std::string& name) {
  if (name.compare(0, 5, "user/") != 0 || name.find('/', 5) != std::string::npos) return 0;
  if (!userscan_inbox_on_disk(name.c_str() + 5, nullptr, nullptr)) return 0;
  bvlog(0, LOG_STORE_ERR, "Delivery to %s deferred: its INBOX is on disk but not in the mailbox list (run "
        "orvadm reconstruct -m)", name.c_str());
  return IMAP_MAILBOX_LOCKED;
}

// A directory user's INBOX comes to life on the first delivery to it: when
// name is a user's INBOX that does not exist and a directory is configured, it is
// provisioned from the user's entry.  0 otherwise or when made.
int provision_inbox(const std::string& name) {
  const char* host = config_get_string(config_getdefaultcache(), "local.ugldaphost", "");
  if (!host || !*host || name.compare(0, 5, "user/") != 0 || name.find('/', 5) != std::string::npos) return 0;
  if (mboxlist_lookup(name.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr) != IMAP_MAILBOX_NONEXISTENT) return 0;
  // Provisioning would adopt the INBOX's files and leave the rest of the
  // user's folders and his quota limits lost.
  if (int r = lost_inbox(name)) return r;
  return autocreate_from_directory(name.c_str() + 5, nullptr);
}

}  // namespace

int deliver_refusal(const char* base, size_t size) {
  if (size == 0) return IMAP_MESSAGE_NOBLANKLINE;
  if (memchr(base, '\0', size)) return IMAP_MESSAGE_CONTAINSNULL;
  if (size >= 0xFFFFFFFFull) return IMAP_MESSAGE_TOO_LARGE;
  return 0;
}

int deliver_resolve(const std::string& user, const char* folder, std::string* name) {
  if (int r = target_folder(user, folder, name)) return r;
  return provision_inbox(*name);
}

int deliver_check(const std::string& name, size_t size) {
  appendmbox ambox;
  long check = -static_cast<long>(size ? size : 1);
  int r = append_setup(&ambox, name.c_str(), 0, MBOX_VERSION, auth_dontCheckAcl, APPEND_ACL_NOCHECK, check);
  if (r == 0) append_finish(&ambox);
  if (r == IMAP_MAILBOX_NONEXISTENT && lost_inbox(name)) return IMAP_MAILBOX_LOCKED;
  return r;
}

int deliver_append(appendmsg* m, const std::string& name, time_t internaldate) {
  appendmbox ambox;
  int r = append_setup(&ambox, name.c_str(), 0, MBOX_VERSION, auth_dontCheckAcl, APPEND_ACL_NOCHECK,
                       -static_cast<long>(m->size));
  if (r == IMAP_MAILBOX_NONEXISTENT && lost_inbox(name)) return IMAP_MAILBOX_LOCKED;
  if (r) return r;
  m->currentPartition = ambox.mailbox->partition;
  r = append_msg(&ambox, m, internaldate, nullptr, 0, nullptr, 0, 0, 0, 0);
  m->currentPartition = nullptr;
  append_finish(&ambox);
  return r;
}

int deliver_message(const std::string& msg, const std::vector<std::string>& users, const char* folder,
                    time_t internaldate, FILE* err) {
  if (!internaldate) internaldate = time(nullptr);
  int refused = deliver_refusal(msg.data(), msg.size());

  appendmsg m;
  m.flags = APPENDMSG_CALLER_STORAGE;
  m.base = msg.data();
  m.size = msg.size();
  int status = DELIVER_OK;
  for (const std::string& user : users) {
    std::string name;
    int r = refused;
    if (!r) r = deliver_resolve(user, folder, &name);
    if (!r) r = deliver_append(&m, name, internaldate);
    int s = deliver_exit_status(r);
    if (r) fprintf(err, "orvdeliver: %s: %s\n", user.c_str(), error_message(r));
    status = deliver_combine(status, s);
  }
  append_freemsg(&m);
  return status;
}
